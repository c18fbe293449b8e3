// Shared pieces of the fuzz targets: a check that stops the run with a message (so a broken
// property is a finding like a crash), splitting an input into parts, and an in-memory file that
// code reading a path can be pointed at.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// A property every input must keep. On failure the input is reported like a crash.
#define NV_FUZZ_CHECK(cond)                                                                  \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)

namespace nvfuzz {

inline std::string AsText(const uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// Takes the first byte of the input (0 when empty) and advances past it.
inline uint8_t TakeByte(const uint8_t*& data, std::size_t& size) {
    if (size == 0)
        return 0;
    uint8_t b = data[0];
    ++data;
    --size;
    return b;
}

// Splits text at the first occurrence of sep: the part before and the part after (empty when sep
// does not occur).
inline void SplitAt(const std::string& text, char sep, std::string& first, std::string& second) {
    std::size_t pos = text.find(sep);
    first = text.substr(0, pos);
    second = pos == std::string::npos ? std::string() : text.substr(pos + 1);
}

// An anonymous in-memory file reachable through a path (/proc/self/fd/N), rewritten for every
// input: code under test opens it with fopen like any file, without disk traffic.
class CMemFile {
public:
    CMemFile() {
        m_fd = memfd_create("nv-fuzz", MFD_CLOEXEC);
        if (m_fd < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        m_path = "/proc/self/fd/" + std::to_string(m_fd);
    }
    ~CMemFile() { close(m_fd); }
    CMemFile(const CMemFile&) = delete;
    CMemFile& operator=(const CMemFile&) = delete;

    void Write(const std::string& content) {
        if (ftruncate(m_fd, 0) != 0)
            std::abort();
        std::size_t done = 0;
        while (done < content.size()) {
            ssize_t n = pwrite(m_fd, content.data() + done, content.size() - done,
                               static_cast<off_t>(done));
            if (n <= 0)
                std::abort();
            done += static_cast<std::size_t>(n);
        }
    }
    const std::string& Path() const { return m_path; }

private:
    int m_fd = -1;
    std::string m_path;
};

}  // namespace nvfuzz
