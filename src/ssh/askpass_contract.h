#pragma once

// What the program and the askpass helper agree on. The helper includes only this header of the SSH
// code, so it stays free of everything but the protection layer.
namespace askpass {

// File name of the helper, beside the main program.
inline constexpr char kProgramName[] = "nimbara-ssh-askpass";
#if defined(_WIN32)
inline constexpr char kProgramFileName[] = "nimbara-ssh-askpass.exe";
#else
inline constexpr char kProgramFileName[] = "nimbara-ssh-askpass";
#endif
// Environment variable with the Base64 text of the protected password.
inline constexpr char kPasswordVariable[] = "TOLV_SSH_PASSWORD_DPAPI";
// Description stored in the protected blob; the helper opens no blob made for another purpose.
inline constexpr char kBlobDescription[] = "NIMBARA SSH AskPass";

} // namespace askpass
