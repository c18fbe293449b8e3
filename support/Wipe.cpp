// Wipe helpers.
#include "support/Wipe.h"

#include <string.h>

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
