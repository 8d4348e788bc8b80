#include "core/log.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Recorded {
    std::string file, function, message;
    int line = 0, module = -1, level = 0;
};

void recordingSink(void* context, const char* file, int line, const char* function, int module, int level,
                   const char* message)
{
    *static_cast<Recorded*>(context) = {file, function, message, line, module, level};
}

// Every test leaves the process-wide sink as it found it.
class Log : public testing::Test {
protected:
    void SetUp() override { savedSink = ZR_logGetSink(&savedContext); }
    void TearDown() override { ZR_logSetSink(savedSink, savedContext); }

    Recorded record(const char* file, const std::string& text)
    {
        Recorded r;
        ZR_logSetSink(recordingSink, &r);
        ZR_log(file, 12, "fn", "%s", text.c_str());
        return r;
    }

    std::string fileSinkOutput(void (*emit)())
    {
        FILE* out = std::tmpfile();
        ZR_logSetSink(ZR_logFileSink, out);
        emit();
        std::string text(size_t(std::ftell(out)), '\0');
        std::rewind(out);
        EXPECT_EQ(std::fread(text.data(), 1, text.size(), out), text.size());
        std::fclose(out);
        return text;
    }

    ZR_LogSink savedSink = nullptr;
    void* savedContext = nullptr;
};

TEST_F(Log, DefaultSinkPrintsTheFileSinksLineOnStdout)
{
    void* context = &context;
    EXPECT_EQ(ZR_logGetSink(&context), ZR_logConsoleSink);
    EXPECT_EQ(context, nullptr);
    testing::internal::CaptureStdout();
    ZR_log("main", 7, "start", "ok");
    std::fflush(stdout);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, fileSinkOutput([] { ZR_log("main", 7, "start", "ok"); }));
}

TEST_F(Log, MessageAndFileAreTrimmed)
{
    Recorded r = record("..\\common_k52\\ZR_Machine", "a\r\n");
    EXPECT_EQ(r.file, "ZR_Machine");
    EXPECT_EQ(r.message, "a");
    EXPECT_EQ(r.function, "fn");
    EXPECT_EQ(r.line, 12);
    EXPECT_EQ(r.module, 0);
    EXPECT_EQ(r.level, ZR_LOG_INFO);
    EXPECT_EQ(record("f", "a\n\n").message, "a\n");
    EXPECT_EQ(record("f", "a\r").message, "a\r");
    EXPECT_EQ(record("f", std::string(5000, 'm')).message, std::string(4095, 'm'));
    EXPECT_EQ(record("/home/dev/core/stream.cpp", "").file, "stream.cpp");
    EXPECT_EQ(record("a\\b/c", "").file, "c");
    EXPECT_EQ(record("main", "").file, "main");
}

TEST_F(Log, LineFormat)
{
    EXPECT_EQ(fileSinkOutput([] { ZR_log("main", 7, "start", "%s", ""); }),
              "[    main][    7][               start][INFO]: \n");
    EXPECT_EQ(fileSinkOutput([] { ZR_log("longer_name.cpp", 123456, "aVeryLongFunctionNameIndeed", "x"); }),
              "[longer_name.cpp][123456][aVeryLongFunctionNameIndeed][INFO]: x\n");
    for (int level : {-1, 0, 7, 1000})
        EXPECT_STREQ(ZR_logLevelName(level), "?") << level;
}

TEST_F(Log, LinesFromManyThreadsStayWhole)
{
    std::string text = fileSinkOutput([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < 500; ++i)
                    ZR_log("thread", t, "worker", "%s", std::string(300, char('a' + t)).c_str());
            });
        for (auto& thread : threads)
            thread.join();
    });
    // Whole lines: each ends in one thread's 300 letters, and every thread's
    // 500 lines are there.
    std::map<char, int> linesOf;
    for (size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1) {
        const std::string line = text.substr(pos, end - pos);
        ASSERT_GE(line.size(), 302u) << line;
        const char fill = line.back();
        EXPECT_EQ(line.substr(line.size() - 302), ": " + std::string(300, fill)) << line;
        ++linesOf[fill];
    }
    EXPECT_EQ(linesOf, (std::map<char, int>{{'a', 500}, {'b', 500}, {'c', 500}, {'d', 500}}));
}

} // namespace
