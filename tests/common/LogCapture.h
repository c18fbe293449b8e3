// Test helper: records every expanded log line while it is alive, in call order.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "support/DMLog.h"

class LogCapture {
public:
    LogCapture() { DMLogSetSink(&LogCapture::Sink, this); }
    ~LogCapture() { DMLogSetSink(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }
    bool Contains(const std::string& line) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& l : m_lines)
            if (l == line)
                return true;
        return false;
    }
    // Index of the first line equal to `line` at or after `from`, or -1.
    int IndexOf(const std::string& line, int from = 0) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (size_t i = static_cast<size_t>(from); i < m_lines.size(); ++i)
            if (m_lines[i] == line)
                return static_cast<int>(i);
        return -1;
    }

private:
    static void Sink(const char* line, void* ctx) {
        auto* self = static_cast<LogCapture*>(ctx);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_lines.emplace_back(line);
    }

    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};
