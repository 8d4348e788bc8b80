// One-line diagnostic messages. Every message reaches the current sink with the
// caller's source file, line and function; there is no filtering.
#pragma once

#include <cstdio>

#include "core/printf_format.h"

inline constexpr int ZR_LOG_VERBOSE = 1;
inline constexpr int ZR_LOG_DEBUG = 2;
inline constexpr int ZR_LOG_INFO = 3;
inline constexpr int ZR_LOG_WARN = 4;
inline constexpr int ZR_LOG_ERROR = 5;
inline constexpr int ZR_LOG_CRITICAL = 6;

// Receives one message. file is the source file without directories, module is
// always 0 here, message carries no trailing line feed. Called on the thread
// that logs, possibly on several threads at once.
typedef void (*ZR_LogSink)(void* context, const char* file, int line, const char* function, int module,
                           int level, const char* message);

// Replaces the sink; a null sink drops every message. Safe from any thread. The
// default, before any call, is ZR_logConsoleSink with a null context.
void ZR_logSetSink(ZR_LogSink sink, void* context);

// The current sink, and its context through context when that is not null.
ZR_LogSink ZR_logGetSink(void** context);

// "VERBOSE" ... "CRITICAL" for levels 1 to 6, "?" for any other level.
const char* ZR_logLevelName(int level);

// Formats the message (cut to 4095 bytes, one trailing LF and a CR before it
// removed) and hands it to the sink at level INFO, module 0. Messages that
// cannot be allocated are dropped.
void ZR_log(const char* file, int line, const char* function, const char* format, ...) ZR_PRINTF_FORMAT(4, 5);

#define ZR_LOG(...) ZR_log(__FILE__, __LINE__, __func__, __VA_ARGS__)

// Writes "[file][line][function][LEVEL]: message\n" to stdout; ignores context
// and module. Each line goes out in one stdio call, so lines from several
// threads do not mix.
void ZR_logConsoleSink(void* context, const char* file, int line, const char* function, int module, int level,
                       const char* message);

// The same line to the FILE* given as context (stderr when it is null).
void ZR_logFileSink(void* context, const char* file, int line, const char* function, int module, int level,
                    const char* message);
