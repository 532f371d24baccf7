#include "platform/windows/dpapi_data_protection.h"

#include <sodium.h>

#include <windows.h>

#include <dpapi.h>
#include <wincrypt.h>

namespace {

DATA_BLOB blobOf(const QByteArray& bytes)
{
    DATA_BLOB blob;
    blob.cbData = static_cast<DWORD>(bytes.size());
    blob.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(bytes.constData()));
    return blob;
}

thread_local DWORD t_lastError = 0;

} // namespace

QByteArray DpapiDataProtection::protect(const QByteArray& plaintext, const QString& description)
{
    DATA_BLOB input = blobOf(plaintext);
    DATA_BLOB output{};
    const std::wstring name = description.toStdWString();
    if (!CryptProtectData(&input, name.c_str(), nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                          &output)) {
        t_lastError = GetLastError();
        return QByteArray();
    }
    QByteArray result(reinterpret_cast<const char*>(output.pbData), static_cast<qsizetype>(output.cbData));
    LocalFree(output.pbData);
    return result;
}

bool DpapiDataProtection::unprotect(const QByteArray& blob, QByteArray* plaintext, QString* description)
{
    plaintext->clear();
    if (blob.isEmpty()) {
        t_lastError = ERROR_INVALID_DATA;
        return false;
    }
    DATA_BLOB input = blobOf(blob);
    DATA_BLOB output{};
    LPWSTR name = nullptr;
    if (!CryptUnprotectData(&input, &name, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &output)) {
        t_lastError = GetLastError();
        return false;
    }
    *plaintext =
        QByteArray(reinterpret_cast<const char*>(output.pbData), static_cast<qsizetype>(output.cbData));
    // DPAPI's own copy of the secret is wiped before it goes back to the heap.
    sodium_memzero(output.pbData, output.cbData);
    LocalFree(output.pbData);
    if (description) {
        *description = name != nullptr ? QString::fromWCharArray(name) : QString();
    }
    if (name != nullptr) {
        LocalFree(name);
    }
    return true;
}

unsigned long DpapiDataProtection::lastError()
{
    return t_lastError;
}
