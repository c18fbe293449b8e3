// Log facility: record composition and the silent output step.
#include "support/DMLog.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "nv_config.h"

namespace {
std::atomic<DMLogSink> g_sink{nullptr};
std::atomic<void*> g_sinkCtx{nullptr};
}  // namespace

CDMLog* CDMLog::m_pDMLog = nullptr;

void DMLogSetSink(DMLogSink sink, void* ctx) {
    g_sinkCtx.store(ctx);
    g_sink.store(sink);
}

extern "C" int DMlogprint(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int result = CDMLog::GetDMLogInstance()->DMLogPrint(fmt, args);
    va_end(args);
    return result;
}

CDMLog* CDMLog::GetDMLogInstance() {
    // In the daemon the first call comes from the main thread before any other thread exists, but
    // a library user (or a test) may log first from several threads at once: create under a lock
    // so that exactly one log object is ever made. Once it exists, callers take no lock.
    static std::atomic<CDMLog*> published{nullptr};
    CDMLog* log = published.load(std::memory_order_acquire);
    if (log != nullptr)
        return log;
    static std::mutex creation;
    std::lock_guard<std::mutex> lock(creation);
    if (m_pDMLog == nullptr)
        m_pDMLog = new CDMLog();
    published.store(m_pDMLog, std::memory_order_release);
    return m_pDMLog;
}

int CDMLog::DMLogPrint(const char* fmt, va_list args) {
    IDMLogPrinter* printer = m_pLogPrinter.load(std::memory_order_acquire);
    if (printer == nullptr) {
        static std::mutex creation;
        std::lock_guard<std::mutex> lock(creation);
        printer = m_pLogPrinter.load(std::memory_order_relaxed);
        if (printer == nullptr) {
            printer = MakeLogPrinter();  // may be null; the next call tries again
            m_pLogPrinter.store(printer, std::memory_order_release);
        }
    }
    if (printer == nullptr)
        return -1;
    printer->PrintLOG(fmt, args);
    return 0;
}

IDMLogPrinter* CDMLog::MakeLogPrinter() {
    return new (std::nothrow) CDMLogPrinterLINUX();
}

CDMLogPrinterLINUX::CDMLogPrinterLINUX() {
    std::memset(&m_mutex, 0, sizeof(m_mutex));
}

char* CDMLogPrinterLINUX::GetTimeStr(char* buf) {
    if (buf == nullptr)
        return nullptr;
    // Wall clock with milliseconds (what ftime gave, without the deprecated call).
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    long seconds = static_cast<long>(ts.tv_sec);
    int millis = static_cast<int>(ts.tv_nsec / 1000000);
    // Epoch seconds alone: UTC, no time zone or daylight-saving offset.
    std::sprintf(buf, "%02ld:%02ld:%02ld.%03d", (seconds / 3600) % 24, (seconds / 60) % 60,
                 seconds % 60, millis);
    return buf;
}

bool CDMLogPrinterLINUX::HasReader() {
#ifdef NV_LOG_TO_STDERR
    return true;
#else
    return g_sink.load(std::memory_order_acquire) != nullptr;
#endif
}

int CDMLogPrinterLINUX::PrintLOG(const char* fmt, va_list args) {
    // A record that nothing reads is not composed, and costs no lock: the product installs no
    // sink, and every worker thread logs several times per request.
    if (!HasReader())
        return 0;
    pthread_mutex_lock(&m_mutex);
    int pid = static_cast<int>(getpid());
    GetTimeStr(m_szTimeBuf);
    // The caller's format goes into the record unexpanded; the arguments are not read here.
    std::snprintf(m_szLogBuf, 4095, "[%s(%d)] %s\n", m_szTimeBuf, pid, fmt);
    m_szLogBuf[4095] = 0;
    int result = Output(fmt, args);
    pthread_mutex_unlock(&m_mutex);
    return result;
}

int CDMLogPrinterLINUX::Output(const char* fmt, va_list args) {
    DMLogSink sink = g_sink.load();
#ifdef NV_LOG_TO_STDERR
    constexpr bool toStderr = true;
#else
    constexpr bool toStderr = false;
#endif
    if (sink == nullptr && !toStderr)
        return 0;  // the product writes nothing
    char line[4096];
    va_list copy;
    va_copy(copy, args);
    std::vsnprintf(line, sizeof(line), fmt, copy);
    va_end(copy);
    if (sink != nullptr)
        sink(line, g_sinkCtx.load());
    if (toStderr) {
        std::fputs(line, stderr);
        std::fputc('\n', stderr);
    }
    return 0;
}
