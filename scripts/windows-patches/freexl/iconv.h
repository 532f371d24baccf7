/* The part of iconv that FreeXL uses, for Windows, where the C library has none: conversions from
 * the code pages of old workbooks and from UTF-16LE to UTF-8, done by the system's own code page
 * tables (MultiByteToWideChar). */
#ifndef NIMBARA_ICONV_H
#define NIMBARA_ICONV_H

#include <stddef.h>

typedef struct nimbara_iconv* iconv_t;

iconv_t iconv_open(const char* to, const char* from);
size_t iconv(iconv_t cd, char** in, size_t* inLeft, char** out, size_t* outLeft);
int iconv_close(iconv_t cd);

#endif
