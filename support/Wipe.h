// Wiping of text that may carry request, reply or credential data: one helper (WipeBuffer), a
// scope guard for strings and regions, and one heap buffer type that wipes itself. explicit_bzero
// is used so that the compiler cannot drop the writes as dead stores before the memory is released.
#pragma once

#include <cstddef>
#include <string>

void WipeBuffer(void* buf, std::size_t len);
// Overwrites every character (and the spare capacity) with zero bytes, then clears the string.
void WipeString(std::string& text);

// Wipes a string, or a stack or borrowed region, when the scope ends, on every return path.
class CScopedWipe {
public:
    explicit CScopedWipe(std::string& text) : m_pText(&text) {}
    CScopedWipe(void* region, std::size_t len) : m_pRegion(region), m_nLen(len) {}
    ~CScopedWipe() {
        if (m_pText != nullptr)
            WipeString(*m_pText);
        else
            WipeBuffer(m_pRegion, m_nLen);
    }
    CScopedWipe(const CScopedWipe&) = delete;
    CScopedWipe& operator=(const CScopedWipe&) = delete;

private:
    std::string* m_pText = nullptr;
    void* m_pRegion = nullptr;
    std::size_t m_nLen = 0;
};

// A heap buffer that may hold secrets or page data: zeroed when allocated and wiped whole before
// its memory is released, on every path, including the smaller storage it leaves behind when it
// grows. The memory comes from malloc, so Release can hand it to C callers, who wipe and free() it.
// Not copyable; one thread at a time.
class CWipedBuffer {
public:
    CWipedBuffer() = default;
    // Adopts len bytes at p, which must come from malloc.
    CWipedBuffer(void* p, std::size_t len) : m_p(p), m_nLen(p != nullptr ? len : 0) {}
    ~CWipedBuffer() { Free(); }
    CWipedBuffer(const CWipedBuffer&) = delete;
    CWipedBuffer& operator=(const CWipedBuffer&) = delete;

    // len zero bytes in place of what is held (which is wiped first); false when there is no
    // memory, and the buffer then holds nothing.
    bool Allocate(std::size_t len);
    // At least len bytes, the content kept and the new bytes zero; the old storage is wiped before
    // it is released. False when there is no memory (the content is then kept as it was).
    bool Grow(std::size_t len);

    char* Data() const { return static_cast<char*>(m_p); }
    unsigned char* Bytes() const { return static_cast<unsigned char*>(m_p); }
    std::size_t Size() const { return m_nLen; }
    // Gives the memory up unwiped; the caller owns it.
    void* Release() {
        void* p = m_p;
        m_p = nullptr;
        m_nLen = 0;
        return p;
    }

private:
    void Free();

    void* m_p = nullptr;
    std::size_t m_nLen = 0;
};
