// Log facility: record format, the silent output and the capture seam.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "nv_config.h"
#include "support/DMLog.h"

namespace {
CDMLogPrinterLINUX* Printer() {
    DMlogprint("warm-up");
    return dynamic_cast<CDMLogPrinterLINUX*>(CDMLog::GetDMLogInstance()->Printer());
}

int CallPrintLOG(CDMLogPrinterLINUX* printer, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int r = printer->PrintLOG(fmt, args);
    va_end(args);
    return r;
}
}  // namespace

TEST(DMLog, Singleton_RepeatedCalls_ReuseOneLogAndOnePrinter) {
    DMlogprint("first");
    CDMLog* log = CDMLog::GetDMLogInstance();
    IDMLogPrinter* printer = log->Printer();
    ASSERT_NE(printer, nullptr);
    DMlogprint("second %d", 2);
    EXPECT_EQ(CDMLog::GetDMLogInstance(), log);
    EXPECT_EQ(log->Printer(), printer);
    EXPECT_NE(dynamic_cast<CDMLogPrinterLINUX*>(printer), nullptr);
}

TEST(DMLog, Record_FormatIsKeptUnexpanded_WithTimeStampAndPid) {
    CDMLogPrinterLINUX* printer = Printer();
    ASSERT_NE(printer, nullptr);
    LogCapture capture;  // records are composed only while someone reads them
    EXPECT_EQ(DMlogprint("a %d", 5), 0);
    std::string record = printer->LastRecord();
    std::regex shape(R"(^\[\d\d:\d\d:\d\d\.\d\d\d\((\d+)\)\] a %d\n$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(record, m, shape)) << record;
    EXPECT_EQ(std::stoi(m[1].str()), static_cast<int>(getpid()));
}

TEST(DMLog, Record_LongFormat_IsCutTo4094CharactersWithoutLineFeed) {
    CDMLogPrinterLINUX* printer = Printer();
    LogCapture capture;
    std::string longFmt(5000, 'x');
    CallPrintLOG(printer, longFmt.c_str());
    std::string record = printer->LastRecord();
    EXPECT_EQ(record.size(), 4094u);
    EXPECT_NE(record.back(), '\n');
}

TEST(DMLog, GetTimeStr_NullBuffer_ReturnsNull) {
    CDMLogPrinterLINUX printer;
    EXPECT_EQ(printer.GetTimeStr(nullptr), nullptr);
}

TEST(DMLog, GetTimeStr_IsUtcTimeOfDay_WhateverTheTimeZone) {
    setenv("TZ", "Asia/Kathmandu", 1);  // +05:45: any local offset would show in the minutes
    tzset();
    CDMLogPrinterLINUX printer;
    char buf[32] = {0};
    time_t before = time(nullptr);
    ASSERT_EQ(printer.GetTimeStr(buf), buf);
    time_t after = time(nullptr);
    ASSERT_EQ(std::strlen(buf), 12u);
    int h = 0, mi = 0, s = 0, ms = 0;
    ASSERT_EQ(std::sscanf(buf, "%d:%d:%d.%d", &h, &mi, &s, &ms), 4);
    long got = h * 3600L + mi * 60L + s;
    bool matches = false;
    for (time_t t = before; t <= after; ++t)
        if (got == static_cast<long>(t % 86400))
            matches = true;
    EXPECT_TRUE(matches) << buf;
    unsetenv("TZ");
    tzset();
}

TEST(DMLog, Output_WithoutSink_WritesNothingToStdoutOrStderr) {
    CDMLogPrinterLINUX* printer = Printer();
    {
        LogCapture capture;
        DMlogprint("read %d", 1);
    }
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    DMlogprint("quiet %s", "please");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
#ifndef NV_LOG_TO_STDERR
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    // Nobody reads the record, so the last one composed is still the one made under the sink.
    EXPECT_NE(std::string(printer->LastRecord()).find("read %d"), std::string::npos);
#else
    testing::internal::GetCapturedStderr();
#endif
}

TEST(DMLog, Sink_ReceivesExpandedLinesInCallOrder) {
    LogCapture capture;
    DMlogprint("[%s] Param : %s\n", "CreateTask", "{}");
    DMlogprint("CDMServer::StartDMServer Port = [%d]", 4442);
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[CreateTask] Param : {}\n");
    EXPECT_EQ(lines[1], "CDMServer::StartDMServer Port = [4442]");
}

TEST(DMLog, Sink_ConcurrentCallers_EveryLineArrivesWhole) {
    LogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                DMlogprint("thread %d line %d", t, i);
        });
    for (auto& th : threads)
        th.join();
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 800u);
    for (int t = 0; t < 4; ++t) {
        int last = -1;
        for (const auto& l : lines) {
            int tt = -1, i = -1;
            ASSERT_EQ(std::sscanf(l.c_str(), "thread %d line %d", &tt, &i), 2) << l;
            if (tt == t) {
                EXPECT_EQ(i, last + 1);  // each thread's lines stay in its own order
                last = i;
            }
        }
    }
}
