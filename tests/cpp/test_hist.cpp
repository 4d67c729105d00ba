// 2^32 edges cannot be encoded: the histogram refuses them from the count alone.  The edges lie in memory that
// cannot be read, so any read of an edge would fault.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include "hist/hist.hpp"

TEST(Histogram, TooManyEdgesAreRefusedUnread) {
    const std::size_t n = std::size_t(vx::kMaxEdges) + 1, len = n * sizeof(double);
    void* p = mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    EXPECT_FALSE(vx::make_histogram(std::span(static_cast<const double*>(p), n)).has_value());
    munmap(p, len);
}
