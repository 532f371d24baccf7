#include "iconv.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#define UTF16LE_PAGE 1200

struct nimbara_iconv
{
    UINT codePage;
};

/* "UTF-8" is the only target; sources are "UTF-16LE", "ASCII", "MacRoman" and "CPnnnn". */
__declspec(dllexport) iconv_t iconv_open(const char* to, const char* from)
{
    UINT page = 0;
    if (_stricmp(to, "UTF-8") == 0) {
        if (_stricmp(from, "UTF-16LE") == 0) {
            page = UTF16LE_PAGE;
        } else if (_stricmp(from, "ASCII") == 0) {
            page = 20127;
        } else if (_stricmp(from, "MacRoman") == 0) {
            page = 10000;
        } else if (_strnicmp(from, "CP", 2) == 0) {
            page = (UINT)strtoul(from + 2, NULL, 10);
        }
    }
    if (page == 0 || (page != UTF16LE_PAGE && !IsValidCodePage(page))) {
        errno = EINVAL;
        return (iconv_t)-1;
    }
    struct nimbara_iconv* cd = malloc(sizeof *cd);
    if (!cd) {
        errno = ENOMEM;
        return (iconv_t)-1;
    }
    cd->codePage = page;
    return cd;
}

/* Converts the whole input at once (FreeXL hands over complete strings). */
__declspec(dllexport) size_t iconv(iconv_t cd, char** in, size_t* inLeft, char** out, size_t* outLeft)
{
    if (in == NULL || *in == NULL || *inLeft == 0) {
        return 0;
    }
    if (*inLeft > 0x3fffffff) {
        errno = EINVAL;
        return (size_t)-1;
    }
    int wideCount;
    WCHAR* wide;
    if (cd->codePage == UTF16LE_PAGE) {
        if (*inLeft % 2 != 0) {
            errno = EINVAL;
            return (size_t)-1;
        }
        wideCount = (int)(*inLeft / 2);
        wide = malloc((size_t)wideCount * sizeof(WCHAR));
        if (!wide) {
            errno = ENOMEM;
            return (size_t)-1;
        }
        memcpy(wide, *in, *inLeft);
    } else {
        wideCount = MultiByteToWideChar(cd->codePage, MB_ERR_INVALID_CHARS, *in, (int)*inLeft, NULL, 0);
        if (wideCount <= 0) {
            errno = EILSEQ;
            return (size_t)-1;
        }
        wide = malloc((size_t)wideCount * sizeof(WCHAR));
        if (!wide) {
            errno = ENOMEM;
            return (size_t)-1;
        }
        MultiByteToWideChar(cd->codePage, MB_ERR_INVALID_CHARS, *in, (int)*inLeft, wide, wideCount);
    }
    const int needed = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, wideCount, NULL, 0, NULL, NULL);
    if (needed <= 0) {
        free(wide);
        errno = EILSEQ;
        return (size_t)-1;
    }
    if ((size_t)needed > *outLeft) {
        free(wide);
        errno = E2BIG;
        return (size_t)-1;
    }
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, wideCount, *out, needed, NULL, NULL);
    free(wide);
    *in += *inLeft;
    *inLeft = 0;
    *out += needed;
    *outLeft -= (size_t)needed;
    return 0;
}

__declspec(dllexport) int iconv_close(iconv_t cd)
{
    free(cd);
    return 0;
}

/* FreeXL's configure asks for it on Windows; FreeXL itself does not call it. */
__declspec(dllexport) const char* locale_charset(void)
{
    static char name[16];
    snprintf(name, sizeof name, "CP%u", GetACP());
    return name;
}
