// Histogram and extrema core: the total-order key against numeric comparison and the sign bit,
// the edge-count limit, and the decoders on arbitrary bytes (what a fuzz target feeds them).
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "hist/hist.hpp"
#include "hist/lattice.hpp"

namespace {

TEST(OrderKey, AgreesWithNumericOrderAndPlacesNaNsOutside) {
    std::mt19937_64 r(1);
    const std::uint64_t near[] = {0, 1, 0x7FEFFFFFFFFFFFFF, 0x7FF0000000000000, 0x7FF8000000000000};
    auto any = [&] {
        const std::uint64_t b = r() % 3 ? r() : near[r() % 5] + r() % 3 - 1;
        return std::bit_cast<double>(b ^ (r() & 1) << 63);
    };
    for (int i = 0; i < 200000; ++i) {
        const double a = any(), b = i % 4 ? any() : -a;
        const std::int64_t ka = vx::order_key(a), kb = vx::order_key(b);
        if (std::isnan(a)) {
            EXPECT_TRUE(std::signbit(a) ? ka < vx::order_key(-INFINITY) : ka > vx::order_key(INFINITY));
        } else if (!std::isnan(b)) {  // numeric order, and -0.0 below +0.0
            ASSERT_EQ(ka < kb, a < b || (a == b && std::signbit(a) && !std::signbit(b))) << a << " " << b;
            ASSERT_EQ(std::bit_cast<std::uint64_t>(vx::from_order_key(ka)), std::bit_cast<std::uint64_t>(a));
        }
    }
}

// 2^32 edges cannot be encoded: refused from the count alone.  The edges lie in memory that
// cannot be read, so any read of an edge would fault.
TEST(Histogram, TooManyEdgesAreRefusedUnread) {
    const std::size_t n = std::size_t(vx::kMaxEdges) + 1, len = n * sizeof(double);
    void* p = mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    EXPECT_FALSE(vx::make_histogram(std::span(static_cast<const double*>(p), n)).has_value());
    munmap(p, len);
}

// Any bytes either decode to a state that re-encodes to the same bytes, or are refused.
TEST(Decoders, AcceptExactlyTheWellFormedBytes) {
    std::mt19937_64 r(3);
    int accepted[2] = {0, 0};
    for (int i = 0; i < 20000; ++i) {
        const unsigned m = 1 + r() % 4;  // lengths of m edges, or anything below 90
        std::vector<std::uint8_t> b(r() % 2 ? 21 + 16 * m : r() % 90);
        for (auto& c : b) c = std::uint8_t(r() % 4 ? r() % 3 : r());
        if (b.size() >= 4 && r() % 2) b[0] = std::uint8_t(m), b[1] = b[2] = 0, b[3] = r() % 4 ? 0 : 0x10;
        const std::uint64_t n = b.size() < 4 ? 0 : b[0] | b[1] << 8 | b[2] << 16 | std::uint64_t(b[3]) << 24;
        const auto h = vx::decode_bytes(b);
        ASSERT_EQ(h.has_value(), b.size() >= 5 && b[4] <= 1 && n >= 1 && b.size() == 21 + 16 * n);
        accepted[0] += h.has_value();
        EXPECT_TRUE(!h || vx::encode_bytes(*h) == b);
        if (b.size() < vx::kExtremaBytes) continue;
        const auto e = vx::from_bytes(b.data());
        const bool blank = std::all_of(b.begin(), b.begin() + 16, [](auto c) { return c == 0; });
        ASSERT_EQ(e.has_value(), b[16] <= 3 && (b[16] & 2 || blank));
        accepted[1] += e.has_value();
        EXPECT_TRUE(!e || std::equal(b.begin(), b.begin() + 25, vx::to_bytes(*e).begin()));
    }
    EXPECT_GT(accepted[0], 100);
    EXPECT_GT(accepted[1], 1000);
}

}  // namespace
