#pragma once

// The few FreeRDP calls whose names or arguments differ between FreeRDP 2 and 3. The session is written
// against the 3.x names; this header maps them onto what the installed library offers.

#include <freerdp/freerdp.h>
#include <freerdp/input.h>
#include <freerdp/version.h>
#include <winpr/input.h>

namespace freerdp_compat {

#if FREERDP_VERSION_MAJOR >= 3

inline BOOL abortConnect(rdpContext* context)
{
    return freerdp_abort_connect_context(context);
}

inline BOOL shallDisconnect(rdpContext* context)
{
    return freerdp_shall_disconnect_context(context);
}

inline BOOL sendKeyboardEvent(rdpInput* input, BOOL down, BOOL repeat, UINT32 rdpScanCode)
{
    return freerdp_input_send_keyboard_event_ex(input, down, repeat, rdpScanCode);
}

inline constexpr auto kKeyboardTypeIbmEnhanced = WINPR_KBD_TYPE_IBM_ENHANCED;

#else

inline BOOL abortConnect(rdpContext* context)
{
    return freerdp_abort_connect(context->instance);
}

inline BOOL shallDisconnect(rdpContext* context)
{
    return freerdp_shall_disconnect(context->instance);
}

// FreeRDP 2 has no repeat flag: an auto-repeated key is simply another key-down.
inline BOOL sendKeyboardEvent(rdpInput* input, BOOL down, BOOL /*repeat*/, UINT32 rdpScanCode)
{
    return freerdp_input_send_keyboard_event_ex(input, down, rdpScanCode);
}

// The IBM enhanced (101/102-key) keyboard; winpr 2 takes the plain number.
inline constexpr DWORD kKeyboardTypeIbmEnhanced = 4;

#endif

// VerifyCertificateEx and VerifyChangedCertificateEx share their first seven arguments (instance, host,
// port, common name, subject, issuer, fingerprint) in every version; whatever follows differs. This
// adapts one check on those seven arguments to the exact callback type of the installed library.
using CertificateCheck = DWORD (*)(freerdp* instance, const char* host, UINT16 port, const char* commonName,
                                   const char* subject, const char* issuer, const char* fingerprint);

template <typename Callback> struct CertificateCallback;

template <typename... Rest>
struct CertificateCallback<DWORD (*)(freerdp*, const char*, UINT16, const char*, const char*, const char*,
                                     const char*, Rest...)>
{
    template <CertificateCheck Check>
    static DWORD call(freerdp* instance, const char* host, UINT16 port, const char* commonName,
                      const char* subject, const char* issuer, const char* fingerprint, Rest...)
    {
        return Check(instance, host, port, commonName, subject, issuer, fingerprint);
    }
};

} // namespace freerdp_compat
