// Wipe helpers.
#include "support/Wipe.h"

#include <string.h>

#include <cstdlib>
#include <cstring>

void WipeBuffer(void* buf, std::size_t len) {
    if (buf != nullptr && len > 0)
        explicit_bzero(buf, len);
}

void WipeString(std::string& text) {
    // The whole capacity, so that bytes left behind by an earlier, longer content go too.
    if (text.capacity() > 0)
        WipeBuffer(&text[0], text.capacity());
    text.clear();
}

void CWipedBuffer::Free() {
    WipeBuffer(m_p, m_nLen);
    std::free(m_p);
    m_p = nullptr;
    m_nLen = 0;
}

bool CWipedBuffer::Allocate(std::size_t len) {
    Free();
    m_p = std::calloc(len, 1);
    m_nLen = m_p != nullptr ? len : 0;
    return m_p != nullptr;
}

bool CWipedBuffer::Grow(std::size_t len) {
    if (len <= m_nLen)
        return true;
    void* bigger = std::calloc(len, 1);
    if (bigger == nullptr)
        return false;
    if (m_p != nullptr)
        std::memcpy(bigger, m_p, m_nLen);
    Free();
    m_p = bigger;
    m_nLen = len;
    return true;
}
