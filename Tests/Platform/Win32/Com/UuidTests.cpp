#include "Platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

TEST(UuidCreate, MakesDistinctVersion4Uuids) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        UUID uuid{};
        ASSERT_EQ(UuidCreate(&uuid), RPC_S_OK);
        EXPECT_EQ(uuid.Data3 & 0xF000, 0x4000);
        EXPECT_EQ(uuid.Data4[0] & 0xC0, 0x80);
        seen.emplace(reinterpret_cast<const char*>(&uuid), sizeof(uuid));
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(UuidCreate, RandomBitsVary) {
    // Every bit outside the version and variant fields takes both values over 200 UUIDs.
    unsigned char ones[16] = {};
    unsigned char zeros[16] = {};
    for (int i = 0; i < 200; ++i) {
        UUID uuid{};
        ASSERT_EQ(UuidCreate(&uuid), RPC_S_OK);
        unsigned char bytes[16];
        std::memcpy(bytes, &uuid, 16);
        for (int b = 0; b < 16; ++b) {
            ones[b] |= bytes[b];
            zeros[b] |= static_cast<unsigned char>(~bytes[b]);
        }
    }
    // Data3 is bytes 6-7 (little endian: the version nibble is the high nibble of byte 7);
    // the variant is the top two bits of byte 8.
    for (int b = 0; b < 16; ++b) {
        unsigned char fixed = b == 7 ? 0xF0 : b == 8 ? 0xC0 : 0x00;
        EXPECT_EQ(ones[b] & zeros[b] & ~fixed, 0xFF & ~fixed) << "byte " << b;
    }
}

TEST(UuidCreate, RejectsNull) {
    EXPECT_EQ(UuidCreate(nullptr), RPC_S_INVALID_ARG);
}
