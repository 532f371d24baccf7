/* FreeXL includes it on Windows; the function lives in the iconv replacement beside it. */
const char* locale_charset(void);
