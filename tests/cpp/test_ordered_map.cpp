// The ordered map under small limits: each limit refuses with its own error value, and a merge
// counts only the keys it would add.  (fuzz_maps checks that refusals change no byte and that
// merges agree both ways.)
#include <gtest/gtest.h>

#include <string>

#include "maps/keyed.hpp"
#include "maps/replicated.hpp"

using vx::MapLimit;

TEST(OrderedMap, EachLimitRefusesWithItsOwnError) {
    vx::OrderedMap<std::string, vx::SumF64, 2, 3> m, a, b;  // two keys of at most three bytes
    ASSERT_TRUE(vx::add_under(m, "abc", 1.0) && vx::add_under(m, "a", 1.0) && vx::add_under(a, "a", 1.0));
    ASSERT_TRUE(vx::add_under(b, "b", 1.0));
    EXPECT_EQ(vx::add_under(m, "b", 1.0).error(), MapLimit::Keys);
    EXPECT_EQ(vx::add_under(m, "abcd", 1.0).error(), MapLimit::KeyBytes);
    EXPECT_TRUE(vx::add_under(m, "a", 1.0) && vx::merge_maps(m, a));  // present keys stay open
    EXPECT_EQ(vx::merge_maps(m, b).error(), MapLimit::Keys);
    vx::OrderedMap<std::uint64_t, vx::SumF64, 1> r, s;  // one replica
    ASSERT_TRUE(vx::add_under(r, 9, 1.0) && vx::add_under(s, 1, 1.0));
    EXPECT_EQ(vx::add_under(r, 3, 1.0).error(), MapLimit::Replicas);
    EXPECT_EQ(vx::join(r, s).error(), MapLimit::Replicas);
    EXPECT_EQ(vx::value(*m.find("a")), 3.0);
}

TEST(OrderedMap, CountSaturatesAndLookupsCreateNothing) {
    vx::SumMap m;
    for (const char* key : {"a", "z", "\xc3\xa9"}) ASSERT_TRUE(vx::add_under(m, key, 1.0));
    for (const char* key : {"a", "z"}) (*m.entry(key).value()).count = UINT64_MAX - 1;
    EXPECT_EQ(vx::count(m), UINT64_MAX);
    EXPECT_FALSE(vx::value(m, "absent"));
    EXPECT_EQ(m.size(), 3u);
}

// SipHash-1-3 under the zero secret, as CPython hashes bytes with PYTHONHASHSEED=0.
TEST(OrderedMap, IndexHashIsSipHash13) {
    const vx::KeyedHash zero{0, 0};
    EXPECT_EQ(zero(std::string_view("a")), 4644417185603328019u);
    EXPECT_EQ(zero(std::string_view("0123456789abcdef!")), 10692498308448420554u);
}
