#include "support/user_only_access.h"

#include <QDir>

#include <string>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

bool onlyCurrentUserMayEnter(const QString& path)
{
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    if (GetNamedSecurityInfoW(native.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &acl, nullptr, &descriptor) != ERROR_SUCCESS ||
        acl == nullptr) {
        return false;
    }
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    char buffer[256];
    DWORD size = sizeof(buffer);
    const bool haveUser = GetTokenInformation(token, TokenUser, buffer, size, &size);
    CloseHandle(token);
    bool userAllowed = false;
    bool othersAllowed = false;
    for (WORD i = 0; haveUser && i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(acl, i, reinterpret_cast<void**>(&ace)) ||
            ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) {
            continue;
        }
        PSID sid = &ace->SidStart;
        LPWSTR text = nullptr;
        ConvertSidToStringSidW(sid, &text);
        const QString name = text ? QString::fromWCharArray(text) : QString();
        LocalFree(text);
        if (EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid)) {
            userAllowed = true;
        } else if (name == u"S-1-1-0" || name == u"S-1-5-32-545" || name == u"S-1-5-11") {
            othersAllowed = true;
        }
    }
    LocalFree(descriptor);
    return userAllowed && !othersAllowed;
}
