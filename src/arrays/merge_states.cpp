#include "arrays/merge_states.hpp"

#include "exact/acc.hpp"

namespace vx {

void merge(ExtremaF64& s, const ExtremaF64& other) {
    if (other.has_value) {
        if (!s.has_value || order_key(other.min) < order_key(s.min)) s.min = other.min;
        if (!s.has_value || order_key(other.max) > order_key(s.max)) s.max = other.max;
        s.has_value = true;
    }
    s.nan = s.nan || other.nan;
    s.count = saturating_add(s.count, other.count);
}

bool try_merge(HistogramF64& h, const HistogramF64& other) {
    // Equal keys are equal bit patterns: the key map is a bijection.
    if (h.edge_keys != other.edge_keys) return false;
    for (std::size_t i = 0; i < h.counts.size(); ++i)
        h.counts[i] = saturating_add(h.counts[i], other.counts[i]);
    h.nan_count = saturating_add(h.nan_count, other.nan_count);
    h.undefined = h.undefined || other.undefined;
    return true;
}

}  // namespace vx
