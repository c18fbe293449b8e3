// Protocol records: copying and wiping on destruction (reading a request into a record is tested
// with the protocol, tests/protocol/request_header_test.cpp).
//
// This file is its own test program: it replaces the global operator new/delete to look at heap
// buffers at the moment they are released, which must not disturb other tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "tasks/ProtocolRecords.h"

// --- Release watch: which watched buffers were all zero bytes when they were released -----------

namespace {

struct Watch {
    const void* pBuffer;
    std::size_t nLength;
    bool bReleased;
    bool bZeroAtRelease;
};
constexpr int kMaxWatches = 32;
Watch g_watches[kMaxWatches];
int g_nWatches = 0;

void InspectRelease(void* ptr) {
    for (int i = 0; i < g_nWatches; ++i) {
        Watch& w = g_watches[i];
        if (w.pBuffer != ptr || w.bReleased)
            continue;
        const auto* bytes = static_cast<const unsigned char*>(ptr);
        bool zero = true;
        for (std::size_t k = 0; k < w.nLength; ++k)
            zero = zero && bytes[k] == 0;
        w.bReleased = true;
        w.bZeroAtRelease = zero;
    }
}

// Watches the heap buffer of a string (it must be longer than the in-object buffer).
int WatchHeapText(const std::string& text) {
    EXPECT_GT(text.capacity(), 15u) << "text is held inside the string object, not on the heap";
    g_watches[g_nWatches] = Watch{text.data(), text.size(), false, false};
    return g_nWatches++;
}

void ResetWatches() {
    g_nWatches = 0;
}

}  // namespace

void* operator new(std::size_t size) {
    void* ptr = std::malloc(size != 0 ? size : 1);
    if (ptr == nullptr)
        throw std::bad_alloc();
    return ptr;
}
void* operator new[](std::size_t size) {
    return ::operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size != 0 ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size != 0 ? size : 1);
}
void operator delete(void* ptr) noexcept {
    InspectRelease(ptr);
    std::free(ptr);
}
void operator delete[](void* ptr) noexcept {
    ::operator delete(ptr);
}
void operator delete(void* ptr, std::size_t) noexcept {
    ::operator delete(ptr);
}
void operator delete[](void* ptr, std::size_t) noexcept {
    ::operator delete(ptr);
}
void operator delete(void* ptr, const std::nothrow_t&) noexcept {
    ::operator delete(ptr);
}
void operator delete[](void* ptr, const std::nothrow_t&) noexcept {
    ::operator delete(ptr);
}

namespace {

const std::string kLong = "0123456789abcdefghijklmnopqrstuvwxyz";  // lives on the heap

_PROTOCOL_HEADER FullHeader(const std::string& base) {
    _PROTOCOL_HEADER h;
    h.init = base + "init";
    h.id = base + "id";
    h.tabid = base + "tabid";
    h.cmd = base + "cmd";
    h.origin = base + "origin";
    h.session_id = base + "session_id";
    h.callback = base + "callback";
    h.module = base + "module";
    h.m = base + "m";
    h.use_getresult = base + "use_getresult";
    return h;
}

std::vector<std::string> Fields(const _PROTOCOL_HEADER& h) {
    return {h.init,       h.id,       h.tabid,  h.cmd, h.origin,
            h.session_id, h.callback, h.module, h.m,   h.use_getresult};
}

}  // namespace

// --- Construction, copy and assignment ------------------------------------------------------------

TEST(ProtocolRecords, Header_Default_AllEmptyButUseGetResultFalse) {
    const _PROTOCOL_HEADER h;
    EXPECT_EQ(Fields(h), (std::vector<std::string>{"", "", "", "", "", "", "", "", "", "FALSE"}));
    const _PROTOCOL_RESPONSE r;
    EXPECT_EQ(r.status, "");
    EXPECT_EQ(r.reply, "");
}

TEST(ProtocolRecords, HeaderCopy_AllTenFields_CopiedAndIndependent) {
    const _PROTOCOL_HEADER original = FullHeader("x-");
    _PROTOCOL_HEADER copy(original);
    EXPECT_EQ(Fields(copy), Fields(original));
    copy.id = "changed";
    EXPECT_EQ(original.id, "x-id");

    _PROTOCOL_HEADER assigned = FullHeader(kLong);
    assigned = original;
    EXPECT_EQ(Fields(assigned), Fields(original));
}

TEST(ProtocolRecords, ResponseAssignment_BothFields_Copied) {
    _PROTOCOL_RESPONSE source;
    source.status = "TRUE";
    source.reply = "{\"a\":1}";
    _PROTOCOL_RESPONSE target;
    target.status = "RUNNING";
    target.reply = kLong;
    target = source;
    EXPECT_EQ(target.status, "TRUE");
    EXPECT_EQ(target.reply, "{\"a\":1}");
    const _PROTOCOL_RESPONSE copied(source);
    EXPECT_EQ(copied.reply, source.reply);
}

// --- Wiping -------------------------------------------------------------------------------------

TEST(ProtocolRecordsWipe, HeaderDestructor_HeapFields_ZeroBeforeRelease) {
    ResetWatches();
    {
        _PROTOCOL_HEADER h = FullHeader(kLong);
        for (const std::string* field : {&h.init, &h.id, &h.tabid, &h.cmd, &h.origin, &h.session_id,
                                         &h.callback, &h.module, &h.m}) {
            WatchHeapText(*field);
        }
        WatchHeapText(h.use_getresult);
    }
    ASSERT_EQ(g_nWatches, 10);
    for (int i = 0; i < 9; ++i) {
        EXPECT_TRUE(g_watches[i].bReleased) << "field " << i + 1;
        EXPECT_TRUE(g_watches[i].bZeroAtRelease) << "field " << i + 1;
    }
    // use_getresult is only a flag and is released as it is; this also shows the watch can see text.
    EXPECT_TRUE(g_watches[9].bReleased);
    EXPECT_FALSE(g_watches[9].bZeroAtRelease);
    ResetWatches();
}

namespace {
bool StorageContains(const unsigned char* storage, std::size_t size, const std::string& text) {
    const auto* begin = reinterpret_cast<const char*>(storage);
    return std::search(begin, begin + size, text.begin(), text.end()) != begin + size;
}
}  // namespace

TEST(ProtocolRecordsWipe, HeaderDestructor_ShortFieldsInsideTheObject_Zeroed) {
    // Short texts live inside the string objects, so the record's own storage shows the wipe once
    // the destructor has run; a plain memset here could be dropped as a dead store.
    alignas(_PROTOCOL_HEADER) unsigned char storage[sizeof(_PROTOCOL_HEADER)];
    auto* h = new (storage) _PROTOCOL_HEADER();
    h->id = "SECRET-ID";
    h->origin = "SECRET-ORIGIN";
    h->session_id = "\"SECRET-TAB\"";
    h->use_getresult = "KEPT-FLAG";
    ASSERT_TRUE(StorageContains(storage, sizeof storage, "SECRET-ORIGIN"));
    h->~_PROTOCOL_HEADER();
    EXPECT_FALSE(StorageContains(storage, sizeof storage, "SECRET"));
    EXPECT_TRUE(StorageContains(storage, sizeof storage, "KEPT-FLAG"));
}

TEST(ProtocolRecordsWipe, ResponseDestructor_BothFields_ZeroBeforeRelease) {
    ResetWatches();
    {
        _PROTOCOL_RESPONSE r;
        r.status = "TRUE" + kLong;
        r.reply = "{\"reply\":\"" + kLong + "\"}";
        WatchHeapText(r.status);
        WatchHeapText(r.reply);
    }
    ASSERT_EQ(g_nWatches, 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(g_watches[i].bReleased);
        EXPECT_TRUE(g_watches[i].bZeroAtRelease);
    }
    ResetWatches();
}

TEST(ProtocolRecordsWipe, ResponseAssignment_ReplacedLongerText_ZeroBeforeRelease) {
    ResetWatches();
    _PROTOCOL_RESPONSE target;
    target.reply = kLong + kLong;
    WatchHeapText(target.reply);
    _PROTOCOL_RESPONSE source;
    source.reply = kLong + kLong + kLong;  // needs a bigger buffer, so the old one is released
    target = source;
    EXPECT_TRUE(g_watches[0].bReleased);
    EXPECT_TRUE(g_watches[0].bZeroAtRelease);
    ResetWatches();
}
