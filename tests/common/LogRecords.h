// Test helper: the log records of the program's log-to-stderr build ("NVLOG " and the expanded line
// with backslash and newline escaped), decoded back to the exact lines, trailing newlines included.
#pragma once

#include <sstream>
#include <string>
#include <vector>

namespace nvtest {

// Every "NVLOG " record of text, unescaped, in order; other output is skipped.
inline std::vector<std::string> DecodeLogRecords(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string record;
    while (std::getline(in, record)) {
        if (record.rfind("NVLOG ", 0) != 0)
            continue;
        std::string line;
        for (std::size_t i = 6; i < record.size(); ++i) {
            if (record[i] == '\\' && i + 1 < record.size()) {
                ++i;
                line += record[i] == 'n' ? '\n' : record[i];
            } else {
                line += record[i];
            }
        }
        lines.push_back(line);
    }
    return lines;
}

}  // namespace nvtest
