// 2^32 edges cannot be encoded: the histogram refuses them from the count alone.  The edges lie in memory that
// cannot be read, so any read of an edge would fault.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cfenv>
#include <cfloat>
#include <cmath>
#include <random>
#include <vector>

#include "hist/hist.hpp"

TEST(Histogram, TooManyEdgesAreRefusedUnread) {
    const std::size_t n = std::size_t(vx::kMaxEdges) + 1, len = n * sizeof(double);
    void* p = mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    EXPECT_FALSE(vx::make_histogram(std::span(static_cast<const double*>(p), n)).has_value());
    munmap(p, len);
}

// The arithmetic guess, the tables and the tree find the plain binary search's bin for every value, on edges equally
// spaced (exactly, or as rounded progressions computed three ways, some edges nudged by an ulp, or moved by up to
// half a step, so that their guesses lie near either end of their interval), random, in geometric progression, or
// half of them in a cluster, and that reach from subnormals to near overflow, with -0.0 beside 0.0; values are the
// edges, their neighbours, signed zeros, infinities, NaNs and random values in and around the range.  add_run and
// add count alike in every rounding mode and with flush-to-zero.
namespace {

double nudge(double x, int ulps) {  // ulps steps up (or down) the line of doubles
    for (; ulps; ulps -= ulps > 0 ? 1 : -1) x = std::nextafter(x, ulps > 0 ? INFINITY : -INFINITY);
    return x;
}

}  // namespace

void set_flush_to_zero();  // in test_core.cpp

TEST(Histogram, EverySearchFindsThePlainSearchBin) {
    std::mt19937_64 r(18);
    int kinds[5] = {};
    for (int trial = 0; trial < 3000; ++trial) {
        const int n = trial < 40 ? trial / 2 + 1 : int(r() % 300) + 1, way = int(r() % 10);
        const int e = int(r() % 2000) - 1040;  // the spacing's binade, subnormal to near overflow
        const double h = std::ldexp(1.0 + double(r() % 1024) / 1024, e), lo = -h * double(r() % (2 * n + 1));
        std::vector<double> edges(std::size_t(n), 0.0);
        for (int j = 0; j < n; ++j) {
            const double t = double(j) / std::max(1, n - 1), hi = lo + h * (n - 1);
            edges[j] = way == 0 ? lo + h * j : way == 1 ? lo * (1 - t) + hi * t : way == 2 ? lo + (hi - lo) * t
                     : way == 3 ? std::ldexp(double(r() >> 11), e - 53) : way == 8 ? std::ldexp(1.0 + j % 7, j - n / 2)
                     : way == 9 && j < n / 2 ? 1 + j * 0x1p-40 : double(j) - double(n / 2);  // 9: half in a cluster
            if (way == 4 && r() % 4 == 0) edges[j] = nudge(edges[j], int(r() % 5) - 2);
            if ((way == 6 || way == 7) && j > 0 && j < n - 1)  // guesses anywhere in [j, j+1), or by its ends
                edges[j] = way == 6 ? edges[j] + h * (double(r() % 981) / 1000 - 0.49)
                                    : nudge(lo + (hi - lo) * t + (r() % 2 ? 0.5 : -0.5) * h, int(r() % 9) - 4);
        }
        const auto key = [](double a) { return vx::order_key(a); };  // -0.0 below 0.0: equal keys, equal bits
        std::ranges::sort(edges, {}, key);
        edges.erase(std::ranges::unique(edges, {}, key).begin(), edges.end());
        if (way == 5 && edges.size() > 2 && r() % 2) edges.insert(edges.begin() + long(edges.size() / 2), -0.0);
        auto made = vx::make_histogram(edges);
        if (!made) continue;  // -0.0 beside -0.0 after the insertion
        vx::HistogramF64 plain = *made;
        ++kinds[int(made->index.kind)];
        std::vector<double> xs = {0.0, -0.0, INFINITY, -INFINITY, NAN, -NAN, DBL_MAX, -DBL_MAX, 5e-324, -5e-324};
        for (double edge : edges)
            for (int d = -2; d <= 2; ++d) xs.push_back(nudge(edge, d));
        for (int k = 0; k < 200; ++k)
            xs.push_back(edges.front() + (edges.back() - edges.front()) * (double(r() % 2400) / 2000 - 0.1));
        for (double x : xs) {
            const std::size_t bin = vx::plain_bin_of(plain, vx::order_key(x));
            ASSERT_TRUE(vx::is_nan_bits(x) || vx::bin_of(*made, x) == bin) << trial;
            ++(vx::is_nan_bits(x) ? plain.nan_count : plain.counts[bin]);
        }
        // Made and fed under each mode (every fourth trial); the guess is made in the default one all the same.
        for (int mode : {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, -1}) {
            if (mode != FE_TONEAREST && trial % 4) break;
            std::fenv_t saved;
            std::fegetenv(&saved);
            mode >= 0 ? void(std::fesetround(mode)) : set_flush_to_zero();
            vx::HistogramF64 hist = *vx::make_histogram(edges), one_by_one = hist;
            vx::add_run(hist, xs);
            for (double x : xs) vx::add(one_by_one, x);
            std::fesetenv(&saved);
            ASSERT_TRUE(hist.counts == plain.counts && hist.nan_count == plain.nan_count) << trial << " " << mode;
            ASSERT_TRUE(one_by_one.counts == plain.counts && one_by_one.nan_count == plain.nan_count) << trial;
        }
    }
    EXPECT_EQ(kinds[int(vx::EdgeIndex::Kind::Unordered)], 0);
    using enum vx::EdgeIndex::Kind;
    for (auto kind : {Uniform, Table, KeyTable, Tree}) EXPECT_GT(kinds[int(kind)], 150) << int(kind);  // each tested
}
