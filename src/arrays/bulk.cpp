#include "arrays/bulk.hpp"

#include <algorithm>
#include <cmath>

#include "exact/fast.hpp"

namespace vx {

void add_all(SumF64& s, std::span<const double> xs) {
    s.count = count_up(s.count, xs.size());
    s.flags |= banked_sum(xs, s.limbs);
}

void add_all(MomentsF64& m, std::span<const double> xs) {
    add_all(m.sum_x, xs);
    extend_from_slices(m.sum_xx, xs, xs);
}

// A block at a time: the rounded squares p and their residuals e, exactly as
// the single add forms them, then each product term of Σx³ = Σ(x·p + x·e)
// and Σx⁴ = Σ(p·p + 2·p·e + e·e) as one run of pushes.
void add_all(Moments4F64& m, std::span<const double> xs) {
    constexpr std::size_t kBlock = 1024;
    double p[kBlock], e[kBlock];
    add_all(m.sum_x, xs);
    extend_from_slices(m.sum_x2, xs, xs);
    for (std::size_t base = 0; base < xs.size(); base += kBlock) {
        const std::size_t n = std::min(kBlock, xs.size() - base);
        const std::span<const double> x = xs.subspan(base, n), sp(p, n), se(e, n);
        bool tiny = false;
        for (std::size_t i = 0; i < n; ++i) {
            p[i] = x[i] * x[i];
            e[i] = std::fma(x[i], x[i], -p[i]);
            tiny |= square_is_tiny(x[i], p[i]);
        }
        m.tiny_square = m.tiny_square || tiny;
        extend_from_slices(m.sum_x3, x, sp);
        extend_from_slices(m.sum_x3, x, se);
        extend_from_slices(m.sum_x4, sp, sp);
        extend_from_slices(m.sum_x4, sp, se);
        extend_from_slices(m.sum_x4, sp, se);
        extend_from_slices(m.sum_x4, se, se);
    }
}

}  // namespace vx
