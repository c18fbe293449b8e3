// Owners for the C handles the daemon holds: FILE* and DIR* streams, file descriptors and dlopen
// handles, and the typed lookup of a function in a loaded library. One definition each, so that
// every handle is released the same way on every path.
#pragma once

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

struct CFileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
// A stdio stream, closed when its owner goes away (the result of that fclose is not looked at:
// use it for streams that are read, or check ferror and fflush before letting it go).
using FilePtr = std::unique_ptr<FILE, CFileCloser>;

struct CDirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, CDirCloser>;

struct CDlCloser {
    void operator()(void* handle) const {
        if (handle != nullptr)
            dlclose(handle);
    }
};
// A dlopen handle, unloaded when its owner goes away.
using CDlHandle = std::unique_ptr<void, CDlCloser>;

// Looks a function up in a loaded library; null when the symbol is missing.
template <typename Fn>
Fn DlFunction(void* handle, const char* name) {
    // POSIX guarantees that dlsym results convert to function pointers.
    return reinterpret_cast<Fn>(dlsym(handle, name));
}

// A file descriptor, closed when its owner goes away. -1 holds nothing. Not copyable; movable.
class CUniqueFd {
public:
    CUniqueFd() = default;
    explicit CUniqueFd(int fd) : m_fd(fd) {}
    ~CUniqueFd() { Reset(); }
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;
    CUniqueFd(CUniqueFd&& other) noexcept : m_fd(other.Release()) {}
    CUniqueFd& operator=(CUniqueFd&& other) noexcept {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    // Closes the descriptor held (if any) and holds fd instead.
    void Reset(int fd = -1) {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = fd;
    }
    // Gives the descriptor up without closing it.
    int Release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes now and returns close's result, for callers that must know the write reached the
    // file (0 when nothing was held).
    int Close() {
        int fd = Release();
        return fd >= 0 ? close(fd) : 0;
    }

private:
    int m_fd = -1;
};
