// Lets the compiler check printf-style format strings of our own functions.
#pragma once

#if defined(__GNUC__)
#define ZR_PRINTF_FORMAT(formatIndex, firstArg) __attribute__((format(printf, formatIndex, firstArg)))
#else
#define ZR_PRINTF_FORMAT(formatIndex, firstArg)
#endif
