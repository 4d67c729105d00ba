// Histogram and extrema core: the total-order key against numeric comparison and the sign bit,
// bins against std::upper_bound, the edge-count limit, and the decoder on arbitrary bytes.
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

using Rng = std::mt19937_64;
double dbl(std::uint64_t b) { return std::bit_cast<double>(b); }

// Total order of non-NaN values: numeric order, and -0.0 below +0.0.
bool below(double a, double b) { return a < b || (a == b && std::signbit(a) && !std::signbit(b)); }

// Patterns of every kind: any bits, or near zero, the infinities and the NaN boundaries.
double any_value(Rng& r) {
    static const std::uint64_t near[] = {0, 1, 0x7FEFFFFFFFFFFFFF, 0x7FF0000000000000, 0x7FF0000000000001,
                                         0x7FF8000000000000, 0x0010000000000000, 0x3FF0000000000000};
    const std::uint64_t b = r() % 3 ? r() : near[r() % 8] + (r() % 3) - 1;
    return dbl(b ^ (r() & 1) << 63);
}

TEST(OrderKey, AgreesWithNumericOrderAndPlacesNaNsOutside) {
    Rng r(1);
    const std::int64_t lowest = vx::order_key(-INFINITY), highest = vx::order_key(INFINITY);
    for (int i = 0; i < 200000; ++i) {
        const double a = any_value(r), b = i % 4 ? any_value(r) : -a;
        if (std::isnan(a)) {
            const std::int64_t k = vx::order_key(a);
            EXPECT_TRUE(std::signbit(a) ? k < lowest : k > highest);
        } else if (!std::isnan(b)) {
            ASSERT_EQ(vx::order_key(a) < vx::order_key(b), below(a, b)) << a << " " << b;
            ASSERT_EQ(vx::order_key(a) == vx::order_key(b), std::bit_cast<std::uint64_t>(a) ==
                                                                std::bit_cast<std::uint64_t>(b));
        }
    }
    EXPECT_EQ(vx::order_key(-0.0) + 1, vx::order_key(0.0));
}

TEST(Histogram, BinsAreUpperBoundsInTheTotalOrder) {
    Rng r(2);
    for (int round = 0; round < 2000; ++round) {
        std::vector<double> edges;
        for (int k = 1 + int(r() % 20); k > 0; --k) {
            const double e = any_value(r);
            if (std::isfinite(e)) edges.push_back(e);
        }
        std::sort(edges.begin(), edges.end(), below);
        edges.erase(std::unique(edges.begin(), edges.end(),
                                [](double a, double b) { return !below(a, b) && !below(b, a); }),
                    edges.end());
        const auto h = vx::make_histogram(edges);
        ASSERT_EQ(h.has_value(), !edges.empty());
        if (!h) continue;
        for (int k = 0; k < 50; ++k) {
            const double x = k % 3 ? any_value(r) : edges[r() % edges.size()];
            if (std::isnan(x)) continue;
            const auto want = std::upper_bound(edges.begin(), edges.end(), x, below) - edges.begin();
            ASSERT_EQ(vx::bin_of(*h, x), std::size_t(want));
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

// What a fuzz target does: any bytes either decode to a state that re-encodes to the same
// bytes, or are refused; the length rule is computed in 64 bits.
TEST(Decoders, AcceptExactlyTheWellFormedBytes) {
    Rng r(3);
    int accepted[2] = {0, 0};
    for (int i = 0; i < 20000; ++i) {
        const unsigned m = 1 + r() % 4;  // lengths of m edges, or anything below 90
        std::vector<std::uint8_t> b(r() % 2 ? 21 + 16 * m : r() % 90);
        for (auto& c : b) c = std::uint8_t(r() % 4 ? r() % 3 : r());
        if (b.size() >= 4 && r() % 2) b[0] = std::uint8_t(m), std::fill(b.begin() + 1, b.begin() + 4, 0);
        if (b.size() >= 4 && r() % 4 == 0) b[3] = 0x10;  // 2^28 + small n: wraps in 32 bits
        const std::uint64_t n = b.size() < 4 ? 0 : b[0] | b[1] << 8 | b[2] << 16 | std::uint64_t(b[3]) << 24;
        const bool ok = b.size() >= 5 && b[4] <= 1 && n >= 1 && b.size() == 21 + 16 * n;
        const auto h = vx::decode_bytes(b);
        ASSERT_EQ(h.has_value(), ok);
        if (h) {
            ++accepted[0];
            EXPECT_EQ(vx::encode_bytes(*h), b);
        }
        if (b.size() >= vx::kExtremaBytes) {
            const auto e = vx::from_bytes(b.data());
            const bool blank = std::all_of(b.begin(), b.begin() + 16, [](auto c) { return c == 0; });
            ASSERT_EQ(e.has_value(), b[16] <= 3 && (b[16] & 2 || blank));
            if (e) {
                ++accepted[1];
                EXPECT_TRUE(std::equal(b.begin(), b.begin() + 25, vx::to_bytes(*e).begin()));
            }
        }
    }
    EXPECT_GT(accepted[0], 100);
    EXPECT_GT(accepted[1], 1000);
    std::vector<std::uint8_t> wrapped(37);
    wrapped[0] = 1, wrapped[3] = 0x10;  // n = 0x10000001: 16 n + 21 = 37 modulo 2^32
    EXPECT_FALSE(vx::decode_bytes(wrapped).has_value());
}

}  // namespace
