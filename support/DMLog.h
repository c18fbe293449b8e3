// The daemon's log facility. Every subsystem reports through DMlogprint; the daemon must stay silent
// on the desktop, so the printer writes nothing, and composes nothing either, unless a reader is
// installed. Tests observe the expanded lines through the sink seam at the end of this header.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdarg>

// Log one message. The format and arguments are those of printf. Returns 0, or -1 when no printer
// could be made.
extern "C" int DMlogprint(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The platform printer's interface.
class IDMLogPrinter {
public:
    virtual ~IDMLogPrinter() = default;
    virtual int PrintLOG(const char* fmt, va_list args) = 0;
};

// The Linux printer: while a reader exists (a sink, or the standard error of the test build), composes
// "[hh:mm:ss.mmm(pid)] <format>\n" into its own buffer under its lock and hands the expanded line
// on; otherwise it returns at once, without the lock. Created once by CDMLog and never destroyed.
class CDMLogPrinterLINUX : public IDMLogPrinter {
public:
    CDMLogPrinterLINUX();
    ~CDMLogPrinterLINUX() override = default;
    CDMLogPrinterLINUX(const CDMLogPrinterLINUX&) = delete;
    CDMLogPrinterLINUX& operator=(const CDMLogPrinterLINUX&) = delete;

    int PrintLOG(const char* fmt, va_list args) override;
    // Time of day in UTC as "hh:mm:ss.mmm"; null when buf is null.
    char* GetTimeStr(char* buf);

    // True when some reader takes the lines: a sink is installed, or this is the test build that
    // writes them to standard error.
    static bool HasReader();
    // The record composed last (for tests).
    const char* LastRecord() const { return m_szLogBuf; }

private:
    int Output(const char* fmt, va_list args);

    pthread_mutex_t m_mutex;
    char m_szLogBuf[4096];
    char m_szTimeBuf[32];
};

// The process-wide log object, created on the first DMlogprint call and kept for the life of the
// process (log calls may come from any thread up to the very end).
class CDMLog {
public:
    virtual ~CDMLog() = default;
    CDMLog(const CDMLog&) = delete;
    CDMLog& operator=(const CDMLog&) = delete;

    static CDMLog* GetDMLogInstance();
    int DMLogPrint(const char* fmt, va_list args);
    IDMLogPrinter* MakeLogPrinter();

    IDMLogPrinter* Printer() const { return m_pLogPrinter.load(); }

    static CDMLog* m_pDMLog;

private:
    CDMLog() = default;
    std::atomic<IDMLogPrinter*> m_pLogPrinter{nullptr};
};

// Test seam: when a sink is installed, the printer also expands each call (format with its
// arguments) and hands the line to the sink, under the printer's lock, so lines arrive in call
// order. Installed by tests and by the test build of the daemon; the product never installs one.
using DMLogSink = void (*)(const char* line, void* ctx);
void DMLogSetSink(DMLogSink sink, void* ctx);
