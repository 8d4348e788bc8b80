#include "core/log.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr size_t kMessageBuffer = 4096;

// The pair is read as one, so a message never reaches a new sink with the old
// sink's context. The lock covers only the copy; the sink runs outside it and
// may itself log or replace the sink.
constinit std::mutex sinkLock;
constinit ZR_LogSink currentSink = ZR_logConsoleSink;
constinit void* currentContext = nullptr;

// Source paths come from __FILE__ of either platform's compiler.
const char* baseName(const char* path)
{
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/')
            name = p + 1;
    return name;
}

const char* orEmpty(const char* text) { return text ? text : ""; }

void writeLine(FILE* out, const char* file, int line, const char* function, int level, const char* message)
{
    std::fprintf(out, "[%8s][%5d][%20s][%s]: %s\n", orEmpty(file), line, orEmpty(function), ZR_logLevelName(level),
                 orEmpty(message));
}

} // namespace

void ZR_logSetSink(ZR_LogSink sink, void* context)
{
    std::lock_guard lock(sinkLock);
    currentSink = sink;
    currentContext = context;
}

ZR_LogSink ZR_logGetSink(void** context)
{
    std::lock_guard lock(sinkLock);
    if (context)
        *context = currentContext;
    return currentSink;
}

const char* ZR_logLevelName(int level)
{
    static const char* const names[] = {"VERBOSE", "DEBUG", "INFO", "WARN", "ERROR", "CRITICAL"};
    return (level >= ZR_LOG_VERBOSE && level <= ZR_LOG_CRITICAL) ? names[level - 1] : "?";
}

void ZR_log(const char* file, int line, const char* function, const char* format, ...)
{
    void* context = nullptr;
    ZR_LogSink sink = ZR_logGetSink(&context);
    if (!sink)
        return;
    auto* message = static_cast<char*>(std::malloc(kMessageBuffer));
    if (!message)
        return;
    message[0] = 0;
    if (format) {
        va_list args;
        va_start(args, format);
        if (std::vsnprintf(message, kMessageBuffer, format, args) < 0)
            message[0] = 0;
        va_end(args);
    }
    size_t length = std::strlen(message);
    if (length && message[length - 1] == '\n') {
        message[--length] = 0;
        if (length && message[length - 1] == '\r')
            message[--length] = 0;
    }
    sink(context, baseName(orEmpty(file)), line, orEmpty(function), 0, ZR_LOG_INFO, message);
    std::free(message);
}

void ZR_logConsoleSink(void*, const char* file, int line, const char* function, int, int level, const char* message)
{
    writeLine(stdout, file, line, function, level, message);
}

void ZR_logFileSink(void* context, const char* file, int line, const char* function, int, int level,
                    const char* message)
{
    writeLine(context ? static_cast<FILE*>(context) : stderr, file, line, function, level, message);
}
