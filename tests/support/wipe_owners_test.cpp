// The wiped heap buffer and the descriptor owner of support.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "support/Owners.h"
#include "support/Wipe.h"

TEST(WipedBuffer, AllocateGrowRelease_ContentKeptNewBytesZeroOwnershipHandedOver) {
    CWipedBuffer buffer;
    ASSERT_TRUE(buffer.Allocate(4));
    EXPECT_EQ(std::string(4, '\0'), std::string(buffer.Data(), 4));
    std::memcpy(buffer.Data(), "abcd", 4);

    ASSERT_TRUE(buffer.Grow(2));  // never shrinks
    EXPECT_EQ(4u, buffer.Size());
    ASSERT_TRUE(buffer.Grow(8));
    EXPECT_EQ(8u, buffer.Size());
    EXPECT_EQ(std::string("abcd\0\0\0\0", 8), std::string(buffer.Data(), 8));

    void* released = buffer.Release();
    EXPECT_EQ(nullptr, buffer.Data());
    EXPECT_EQ(0u, buffer.Size());
    CWipedBuffer adopted(released, 8);  // freed (wiped) by its new owner
    EXPECT_EQ(std::string("abcd"), std::string(adopted.Data(), 4));
}

TEST(WipedBuffer, ScopedWipe_RegionAndString_ZeroedAtScopeEnd) {
    char region[6] = "hello";
    std::string text = "secret text longer than the small-string buffer";
    {
        CScopedWipe wipeRegion(region, sizeof(region));
        CScopedWipe wipeText(text);
    }
    EXPECT_EQ(std::string(6, '\0'), std::string(region, 6));
    EXPECT_TRUE(text.empty());
}

TEST(UniqueFd, ResetReleaseClose_DescriptorClosedExactlyWhenOwned) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    CUniqueFd readEnd(fds[0]);
    {
        CUniqueFd writeEnd(fds[1]);
        CUniqueFd moved(std::move(writeEnd));
        EXPECT_FALSE(writeEnd.Valid());
        EXPECT_EQ(fds[1], moved.Get());
    }
    EXPECT_EQ(-1, fcntl(fds[1], F_GETFD));  // closed once, by the owner it was moved to

    const int raw = readEnd.Release();
    EXPECT_FALSE(readEnd.Valid());
    EXPECT_NE(-1, fcntl(raw, F_GETFD));  // released, not closed
    readEnd.Reset(raw);
    EXPECT_EQ(0, readEnd.Close());
    EXPECT_EQ(-1, fcntl(raw, F_GETFD));
    EXPECT_EQ(0, readEnd.Close());  // nothing held
}
