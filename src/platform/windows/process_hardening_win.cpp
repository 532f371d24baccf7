// ProcessHardening on Windows: no crash dump through Windows Error Reporting, and an access list on
// the process that lets other processes of the same user stop it or wait for it, not read its
// memory, write it or inject a thread into it.
#include "platform/process_hardening.h"

#include "platform/windows/user_only_acl.h"

#include <QStringList>

#include <windows.h>

#include <aclapi.h>

#include <memory>

namespace {

bool restrictProcessAccess(DWORD* code)
{
    const std::unique_ptr<char[]> user = UserOnlyAcl::currentUser(code);
    if (!user) {
        return false;
    }
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_USER;
    access.Trustee.ptstrName = static_cast<LPWSTR>(reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid);
    PACL acl = nullptr;
    *code = SetEntriesInAclW(1, &access, nullptr, &acl);
    if (*code != ERROR_SUCCESS) {
        return false;
    }
    *code = SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            acl, nullptr);
    LocalFree(acl);
    return *code == ERROR_SUCCESS;
}

} // namespace

bool ProcessHardening::apply(QString* error)
{
    QStringList failures;
    // No "program stopped working" box and no report with a memory dump.
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    DWORD code = ERROR_SUCCESS;
    if (!restrictProcessAccess(&code)) {
        failures << QStringLiteral("process access: %1").arg(UserOnlyAcl::errorText(code));
    }
    if (!failures.isEmpty() && error) {
        *error = failures.join(QStringLiteral("; "));
    }
    return failures.isEmpty();
}

mode_t ProcessHardening::originalUmask()
{
    return 0;
}

mode_t ProcessHardening::publicFileMode()
{
    // Not private: the file takes the access list of the folder the user chose.
    return 0666;
}
