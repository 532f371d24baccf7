#include "platform/windows/user_only_acl.h"

#include <QDir>

#include <windows.h>

#include <aclapi.h>

#include <memory>

std::unique_ptr<char[]> UserOnlyAcl::currentUser(unsigned long* error)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        *error = GetLastError();
        return nullptr;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    auto buffer = std::make_unique<char[]>(size > 0 ? size : 1);
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.get(), size, &size)) {
        *error = GetLastError();
        CloseHandle(token);
        return nullptr;
    }
    CloseHandle(token);
    return buffer;
}

bool UserOnlyAcl::apply(const QString& path, bool directory, QString* error)
{
    DWORD code = ERROR_SUCCESS;
    const std::unique_ptr<char[]> user = currentUser(&code);
    if (!user) {
        if (error) {
            *error = errorText(code);
        }
        return false;
    }
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = GENERIC_ALL;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = directory ? (SUB_CONTAINERS_AND_OBJECTS_INHERIT) : NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_USER;
    access.Trustee.ptstrName = static_cast<LPWSTR>(reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid);
    PACL acl = nullptr;
    code = SetEntriesInAclW(1, &access, nullptr, &acl);
    if (code == ERROR_SUCCESS) {
        std::wstring native = QDir::toNativeSeparators(path).toStdWString();
        code = SetNamedSecurityInfoW(native.data(), SE_FILE_OBJECT,
                                     DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                     nullptr, acl, nullptr);
        LocalFree(acl);
    }
    if (code != ERROR_SUCCESS && error) {
        *error = errorText(code);
    }
    return code == ERROR_SUCCESS;
}

QString UserOnlyAcl::errorText(unsigned long code)
{
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    QString result = length > 0 ? QString::fromWCharArray(text, int(length)).trimmed()
                                : QStringLiteral("Windows 错误 %1").arg(code);
    if (text != nullptr) {
        LocalFree(text);
    }
    return result;
}
