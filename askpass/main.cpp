// nimbara-ssh-askpass: ssh runs it (SSH_ASKPASS) to answer a password prompt. It prints the password
// that the program protected for the current user into TOLV_SSH_PASSWORD_DPAPI, whatever the prompt
// (its arguments) says; ssh is started with StrictHostKeyChecking=accept-new and a single password
// prompt, so no other question reaches it.
//
// Exit codes: 0 written, 1 nothing to write (variable missing, not Base64, blob not ours or made for
// another purpose), 2 writing failed. Standard output carries the password only: nothing else is
// ever printed.

#include "platform/posix_io.h"
#include "platform/process_hardening.h"
#include "platform/secure_memory.h"
#if defined(_WIN32)
#include "platform/windows/dpapi_data_protection.h"
#else
#include "platform/user_data_protection.h"
#endif
#include "ssh/askpass_contract.h"

#include <QByteArray>
#include <QString>

#include <sodium.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

#if defined(_WIN32)
using NativeDataProtection = DpapiDataProtection;
constexpr int kStandardOutput = 1;
#else
using NativeDataProtection = UserDataProtection;
constexpr int kStandardOutput = STDOUT_FILENO;
#endif

} // namespace

int main()
{
    // The password passes through this process: no core file, no other process of the user reading it.
    ProcessHardening::apply();
#if defined(SIGPIPE)
    // A reader that went away is a failed write (exit 2), not a silent death by SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
#endif
#if defined(_WIN32)
    // The password is bytes: no CR before the line end.
    _setmode(kStandardOutput, _O_BINARY);
#endif
    if (sodium_init() < 0) {
        return 1;
    }

    char* value = std::getenv(askpass::kPasswordVariable);
    if (value == nullptr || *value == '\0') {
        return 1;
    }
    QByteArray text(value);
    sodium_memzero(value, std::strlen(value));

    auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    SecureMemory::wipe(text);
    if (!decoded || decoded.decoded.isEmpty()) {
        SecureMemory::wipe(decoded.decoded);
        return 1;
    }

    QByteArray plaintext;
    QString description;
    NativeDataProtection protection;
    const bool opened = protection.unprotect(decoded.decoded, &plaintext, &description);
    SecureMemory::wipe(decoded.decoded);
    // Other blobs of the same user (the database key, say) are not for ssh.
    if (!opened || description != QLatin1String(askpass::kBlobDescription)) {
        SecureMemory::wipe(plaintext);
        return 1;
    }

    const bool written =
        PosixIo::writeAll(kStandardOutput, plaintext.constData(), static_cast<size_t>(plaintext.size())) &&
        PosixIo::writeAll(kStandardOutput, "\n", 1);
    SecureMemory::wipe(plaintext);
    return written ? 0 : 2;
}
