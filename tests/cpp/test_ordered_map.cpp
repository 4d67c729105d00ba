// The ordered map under small limits: refusals change nothing, merges count
// new keys before they insert; the map's count saturates.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "maps/keyed.hpp"
#include "maps/replicated.hpp"

namespace {

using vx::MapLimit;
using Small = vx::OrderedMap<std::string, vx::SumF64, 3, 4>;
using SmallReplicas = vx::OrderedMap<std::uint64_t, vx::SumF64, 2>;

template <class M>
std::vector<std::uint8_t> bytes(const M& m) {
    return vx::MapEncoding<M, vx::kSumBytes, &vx::write_sum>{&m}.bytes();
}

template <class M, class K>
M filled(std::initializer_list<K> keys) {
    M m;
    for (const K& k : keys) EXPECT_TRUE(vx::add_under(m, k, 1.0));
    return m;
}

TEST(OrderedMap, RefusalsLeaveTheMapAsItWas) {
    Small m = filled<Small, std::string>({"ccc", "a", "dddd"});
    const auto before = bytes(m);
    EXPECT_EQ(vx::add_under(m, "b", 1.0).error(), MapLimit::Keys);      // a fourth key
    EXPECT_EQ(vx::add_under(m, "eeeee", 1.0).error(), MapLimit::KeyBytes);
    EXPECT_EQ(bytes(m), before);
    EXPECT_TRUE(vx::add_under(m, "a", 2.0));                             // existing keys stay open
    ASSERT_NE(m.find("a"), nullptr);
    EXPECT_EQ(vx::value(*m.find("a")), 3.0);

    Small few = filled<Small, std::string>({"a"}), other = filled<Small, std::string>({"a", "b", "c"});
    EXPECT_TRUE(vx::merge_maps(few, other));                            // 3 keys: exactly at the limit
    Small more = filled<Small, std::string>({"x"});
    const auto kept = bytes(more);
    EXPECT_EQ(vx::merge_maps(more, other).error(), MapLimit::Keys);
    EXPECT_EQ(bytes(more), kept);

    SmallReplicas r = filled<SmallReplicas, std::uint64_t>({9}), s = filled<SmallReplicas, std::uint64_t>({1, 2});
    EXPECT_EQ(vx::add_under(s, std::uint64_t(3), 1.0).error(), MapLimit::Replicas);
    EXPECT_EQ(r.fold_in(s, [](auto&, const auto&) {}).error(), MapLimit::Replicas);
    EXPECT_EQ(r.size(), 1u);
}

TEST(OrderedMap, CountSaturatesAndLookupsCreateNothing) {
    vx::SumMap m = filled<vx::SumMap, std::string>({"a", "z", "\xc3\xa9"});
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

}  // namespace
