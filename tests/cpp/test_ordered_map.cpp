// The ordered map under small limits: each limit refuses with its own error value, and a merge counts only the keys
// it would add (fuzz_maps checks that refusals change no byte and that merges agree both ways); the total count
// saturates, and a lookup creates no entry.
#include <gtest/gtest.h>

#include <string>

#include "maps/keyed.hpp"
#include "maps/replicated.hpp"

using vx::MapLimit;

TEST(OrderedMap, LimitsRefuseCountsSaturateLookupsCreateNothing) {
    vx::OrderedMap<std::string, vx::SumF64, 2, 3> m, a, b;  // two keys of at most three bytes
    ASSERT_TRUE(vx::add_under(m, "abc", 1.0) && vx::add_under(m, "a", 1.0) && vx::add_under(a, "a", 1.0));
    ASSERT_TRUE(vx::add_under(b, "b", 1.0));
    EXPECT_EQ(vx::add_under(m, "b", 1.0).error(), MapLimit::Keys);
    EXPECT_EQ(vx::add_under(m, "abcd", 1.0).error(), MapLimit::KeyBytes);
    EXPECT_TRUE(vx::add_under(m, "a", 1.0) && vx::merge_maps(m, a));  // present keys stay open
    EXPECT_EQ(vx::merge_maps(m, b).error(), MapLimit::Keys);
    EXPECT_EQ(vx::value(*m.find("a")), 3.0);
    vx::OrderedMap<std::uint64_t, vx::SumF64, 1> r, s;  // one replica
    ASSERT_TRUE(vx::add_under(r, 9, 1.0) && vx::add_under(s, 1, 1.0));
    EXPECT_EQ(vx::add_under(r, 3, 1.0).error(), MapLimit::Replicas);
    EXPECT_EQ(vx::join(r, s).error(), MapLimit::Replicas);
    vx::SumMap sums;
    for (const char* key : {"a", "z", "\xc3\xa9"}) ASSERT_TRUE(vx::add_under(sums, key, 1.0));
    for (const char* key : {"a", "z"}) (*sums.entry(key).value()).count = UINT64_MAX - 1;
    EXPECT_EQ(vx::count(sums), UINT64_MAX);
    EXPECT_FALSE(vx::value(sums, "absent"));
    EXPECT_EQ(sums.size(), 3u);
}

namespace {

// SipHash-c-d as its paper defines it (Aumasson and Bernstein, 2012), written apart from the product: the key as
// two little-endian words, c rounds per 8-byte message word, the last word holding the length in its top byte,
// d rounds after 0xff is xored into v2.
std::uint64_t sip_reference(int c, int d, std::uint64_t k0, std::uint64_t k1, const std::string& m) {
    auto rotl = [](std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
    std::uint64_t v[4] = {k0 ^ 0x736f6d6570736575, k1 ^ 0x646f72616e646f6d, k0 ^ 0x6c7967656e657261,
                          k1 ^ 0x7465646279746573};
    auto rounds = [&](int r) {
        for (; r > 0; --r) {
            v[0] += v[1], v[2] += v[3], v[1] = rotl(v[1], 13) ^ v[0], v[3] = rotl(v[3], 16) ^ v[2];
            v[0] = rotl(v[0], 32), v[2] += v[1], v[0] += v[3], v[1] = rotl(v[1], 17) ^ v[2];
            v[3] = rotl(v[3], 21) ^ v[0], v[2] = rotl(v[2], 32);
        }
    };
    std::string padded = m + std::string(7 - m.size() % 8, '\0') + char(m.size() & 0xff);
    for (std::size_t w = 0; w < padded.size(); w += 8) {
        std::uint64_t word = 0;
        for (int b = 7; b >= 0; --b) word = word << 8 | std::uint8_t(padded[w + b]);
        v[3] ^= word, rounds(c), v[0] ^= word;
    }
    v[2] ^= 0xff, rounds(d);
    return v[0] ^ v[1] ^ v[2] ^ v[3];
}

}  // namespace

// The index hash is SipHash-1-3: under the zero secret as CPython hashes bytes with PYTHONHASHSEED=0, and under
// the test vectors' key 00..0f for the messages 00, 00 01, .. of 0 to 63 bytes (every tail length) against the
// reference above, itself checked on the paper's SipHash-2-4 vectors and on CPython's SipHash-1-3.
TEST(OrderedMap, IndexHashIsSipHash13) {
    const vx::KeyedHash zero{0, 0};
    EXPECT_EQ(zero(std::string_view("a")), 4644417185603328019u);
    EXPECT_EQ(zero(std::string_view("0123456789abcdef!")), 10692498308448420554u);
    EXPECT_EQ(sip_reference(1, 3, 0, 0, "0123456"), 9298437322660316025u);
    const std::uint64_t k0 = 0x0706050403020100, k1 = 0x0f0e0d0c0b0a0908;
    std::string m;
    EXPECT_EQ(sip_reference(2, 4, k0, k1, m), 0x726fdb47dd0e0e31u);
    for (int n = 0; n < 64; m += char(n++)) {
        EXPECT_TRUE(n != 15 || sip_reference(2, 4, k0, k1, m) == 0xa129ca6149be45e5u);
        EXPECT_EQ((vx::KeyedHash{k0, k1}(std::string_view(m))), sip_reference(1, 3, k0, k1, m)) << n;
    }
}
