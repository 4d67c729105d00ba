#include "arrays/bulk.hpp"

#include <algorithm>
#include <cmath>

namespace vx {

// A block at a time: the rounded squares p and their residuals e, exactly as
// the single add forms them, then each product term of Σx³ = Σ(x·p + x·e)
// and Σx⁴ = Σ(p·p + 2·p·e + e·e) as one run of pushes.
void Feed<Moments4F64>::take(std::span<const double> xs) {
    constexpr std::size_t kBlock = 1024;
    double p[kBlock], e[kBlock];
    sum_x_.take(xs);
    extend_from_slices(m_.sum_x2, xs, xs);
    for (std::size_t base = 0; base < xs.size(); base += kBlock) {
        const std::size_t n = std::min(kBlock, xs.size() - base);
        const std::span<const double> x = xs.subspan(base, n), sp(p, n), se(e, n);
        bool tiny = false;
        for (std::size_t i = 0; i < n; ++i) {
            p[i] = x[i] * x[i];
            e[i] = std::fma(x[i], x[i], -p[i]);
            tiny |= square_is_tiny(x[i], p[i]);
        }
        m_.tiny_square = m_.tiny_square || tiny;
        extend_from_slices(m_.sum_x3, x, sp);
        extend_from_slices(m_.sum_x3, x, se);
        extend_from_slices(m_.sum_x4, sp, sp);
        extend_from_slices(m_.sum_x4, sp, se);
        extend_from_slices(m_.sum_x4, sp, se);
        extend_from_slices(m_.sum_x4, se, se);
    }
}

}  // namespace vx
