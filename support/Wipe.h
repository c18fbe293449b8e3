// Wiping of text that may carry request, reply or credential data. explicit_bzero is used so that
// the compiler cannot drop the writes as dead stores before the memory is released.
#pragma once

#include <cstddef>
#include <string>

void WipeBuffer(void* buf, std::size_t len);
// Overwrites every character (and the spare capacity) with zero bytes, then clears the string.
void WipeString(std::string& text);

// Wipes a string when the scope ends, on every return path.
class CScopedWipe {
public:
    explicit CScopedWipe(std::string& text) : m_text(text) {}
    ~CScopedWipe() { WipeString(m_text); }
    CScopedWipe(const CScopedWipe&) = delete;
    CScopedWipe& operator=(const CScopedWipe&) = delete;

private:
    std::string& m_text;
};
