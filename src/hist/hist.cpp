#include "hist/hist.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "base/bytes_le.hpp"
#include "base/fpenv.hpp"
#include "exact/acc.hpp"

namespace vx {

std::optional<HistogramF64> make_histogram(std::span<const double> edges) {
    if (edges.empty() || edges.size() > kMaxEdges) return std::nullopt;
    for (std::size_t i = 0; i < edges.size(); ++i) {
        if (!is_finite_bits(edges[i])) return std::nullopt;
        if (i > 0 && order_key(edges[i - 1]) >= order_key(edges[i])) return std::nullopt;
    }
    HistogramF64 h;
    h.edge_keys.resize(edges.size());
    std::transform(edges.begin(), edges.end(), h.edge_keys.begin(), order_key);
    h.counts.assign(edges.size() + 1, 0);
    h.index = index_edges(h.edge_keys);
    return h;
}

namespace {

// The table takes 64 bytes an edge (16 cells of 4 bytes): at most a megabyte.
constexpr std::size_t kMaxTableEdges = std::size_t(1) << 14;

// Whether g(e[j]) = j for every edge j (see EdgeIndex), with e0 and scale.
bool uniform_guess_holds(std::span<const std::int64_t> keys, double lo, double scale) {
    if (!(scale > 0 && scale < kInfinity)) return false;  // also NaN: edges spanning an overflow or a NaN
    for (std::size_t j = 0; j < keys.size(); ++j) {
        const double g = (from_order_key(keys[j]) - lo) * scale + 0.5;
        if (!(g >= double(j) && g < double(j + 1))) return false;
    }
    return true;
}

// The table of the cells cell(key) < cells of a monotone map, unless a cell
// holds more than kCellEdges edges.
template <class Cell>
bool fill_table(EdgeIndex& ix, std::span<const std::int64_t> keys, std::size_t cells, Cell cell) {
    std::vector<std::uint32_t> first(cells + 1, 0);
    for (std::int64_t key : keys) ++first[cell(key) + 1];  // counts per cell, then their running sums
    if (!std::all_of(first.begin(), first.end(), [](std::uint32_t m) { return m <= kCellEdges; })) return false;
    for (std::size_t c = 1; c <= cells; ++c) first[c] += first[c - 1];
    first.pop_back();
    ix.first = std::move(first);
    ix.tree.assign(keys.begin(), keys.end());
    ix.tree.resize(keys.size() + kCellEdges, kAboveEveryValue);
    return true;
}

// Fills the subtree of node i with keys[next...] in order, padding past the end.
void fill_tree(std::vector<std::int64_t>& tree, std::size_t i, std::span<const std::int64_t> keys,
               std::size_t& next) {
    if (i >= tree.size()) return;
    fill_tree(tree, 2 * i, keys, next);
    tree[i] = next < keys.size() ? keys[next] : kAboveEveryValue;
    ++next;
    fill_tree(tree, 2 * i + 1, keys, next);
}

}  // namespace

EdgeIndex index_edges(std::span<const std::int64_t> keys) {
    EdgeIndex ix;
    for (std::size_t i = 1; i < keys.size(); ++i)
        if (keys[i - 1] >= keys[i]) return ix;  // out of order: the plain search
    const std::size_t n = keys.size();
    if (n >= 2) {
        const DefaultFpEnv env;  // the guess as it will be made
        const double lo = from_order_key(keys[0]), hi = from_order_key(keys[n - 1]);
        const double scale = double(n - 1) / (hi - lo);
        if (uniform_guess_holds(keys, lo, scale)) {
            ix.kind = EdgeIndex::Kind::Uniform;
            ix.lo = lo;
            ix.scale = scale;
            return ix;
        }
    }
    if (n >= 2 && n <= kMaxTableEdges) {
        const std::size_t cells = 16 * n;
        const DefaultFpEnv env;
        const double lo = from_order_key(keys[0]), hi = from_order_key(keys[n - 1]);
        const double scale = double(cells) / (hi - lo), last = double(cells - 1);
        if (scale > 0 && scale < kInfinity && fill_table(ix, keys, cells, [&](std::int64_t key) {
                double c = (from_order_key(key) - lo) * scale;
                c = c >= 0 ? c : 0;
                return std::size_t(c <= last ? c : last);
            })) {
            ix.kind = EdgeIndex::Kind::Table;
            ix.lo = lo;
            ix.scale = scale;
            ix.last_cell = last;
            return ix;
        }
        // f < 2^64 needs a span of at least M keys.
        const unsigned __int128 span = std::uint64_t(keys[n - 1]) - std::uint64_t(keys[0]);
        if (span >= cells) {
            ix.key_lo = keys[0];
            ix.key_hi = keys[n - 1];
            ix.key_factor = std::uint64_t(((unsigned __int128)cells << 64) / (span + 1));
            if (fill_table(ix, keys, cells, [&](std::int64_t key) { return key_cell(ix, key); })) {
                ix.kind = EdgeIndex::Kind::KeyTable;
                return ix;
            }
        }
    }
    ix.kind = EdgeIndex::Kind::Tree;
    ix.depth = std::bit_width(n);  // 2^d - 1 >= n nodes
    ix.tree.resize(std::size_t(1) << ix.depth);
    std::size_t next = 0;
    fill_tree(ix.tree, 1, keys, next);
    return ix;
}

void add(HistogramF64& h, double x) {
    if (is_nan_bits(x)) {
        h.nan_count = saturating_inc(h.nan_count);
        return;
    }
    const DefaultFpEnv env;
    std::uint64_t& c = h.counts[bin_of(h, x)];
    c = saturating_inc(c);
}

namespace {

constexpr std::size_t kSide = 16;  // searches side by side

// The tree's bins of kSide values, level by level across them: the loads of
// one level are independent, and wide vector units gather them at once.
VX_VECTOR_CLONES
void tree_bins(const std::int64_t* t, int depth, const double* x, std::uint64_t* bins) {
    std::int64_t keys[kSide];
    for (std::size_t i = 0; i < kSide; ++i) keys[i] = order_key(x[i]), bins[i] = 1;
    for (int level = 0; level < depth; ++level)
        for (std::size_t i = 0; i < kSide; ++i) bins[i] = 2 * bins[i] + (t[bins[i]] <= keys[i]);
    for (std::size_t i = 0; i < kSide; ++i) bins[i] -= std::uint64_t(1) << depth;
}

// The guessed bins of kSide values on equally spaced edges (see bin_of).
VX_VECTOR_CLONES
void uniform_bins(const std::int64_t* edge_keys, double lo, double scale, double last, const double* x,
                  std::uint64_t* bins) {
    for (std::size_t i = 0; i < kSide; ++i) {
        double g = (x[i] - lo) * scale + 0.5;
        g = g >= 0 ? g : 0;  // below e0, and NaN
        g = g <= last ? g : last;
        bins[i] = std::uint64_t(std::int64_t(g));
    }
    for (std::size_t i = 0; i < kSide; ++i) bins[i] += edge_keys[bins[i]] <= order_key(x[i]);
}

// The table's bins of kSide values (see bin_of).
void table_bins(const EdgeIndex& ix, const double* x, std::uint64_t* bins) {
    const double lo = ix.lo, scale = ix.scale, last = ix.last_cell;
    const std::uint32_t* first = ix.first.data();
    const std::int64_t* keys = ix.tree.data();
    for (std::size_t i = 0; i < kSide; ++i) {
        double c = (x[i] - lo) * scale;
        c = c >= 0 ? c : 0;
        c = c <= last ? c : last;
        const std::uint64_t f = first[std::size_t(std::int64_t(c))];
        const std::int64_t k = order_key(x[i]);
        std::uint64_t b = f;
        for (std::size_t j = 0; j < kCellEdges; ++j) b += keys[f + j] <= k;
        bins[i] = b;
    }
}

// The key table's bins of kSide values (see bin_of).
void key_table_bins(const EdgeIndex& ix, const double* x, std::uint64_t* bins) {
    const std::uint32_t* first = ix.first.data();
    const std::int64_t* keys = ix.tree.data();
    for (std::size_t i = 0; i < kSide; ++i) {
        const std::int64_t k = order_key(x[i]);
        const std::uint64_t f = first[key_cell(ix, k)];
        std::uint64_t b = f;
        for (std::size_t j = 0; j < kCellEdges; ++j) b += keys[f + j] <= k;
        bins[i] = b;
    }
}

}  // namespace

void add_run(HistogramF64& h, std::span<const double> xs) {
    const DefaultFpEnv env;
    std::uint64_t bins[kSide];
    const EdgeIndex& ix = h.index;
    for (std::size_t base = 0; base < xs.size(); base += kSide) {
        const std::size_t m = std::min(kSide, xs.size() - base);
        const double* x = xs.data() + base;
        if (ix.kind == EdgeIndex::Kind::Tree && m == kSide) {
            tree_bins(ix.tree.data(), ix.depth, x, bins);
        } else if (ix.kind == EdgeIndex::Kind::Uniform && m == kSide) {
            uniform_bins(h.edge_keys.data(), ix.lo, ix.scale, double(h.edge_keys.size() - 1), x, bins);
        } else if (ix.kind == EdgeIndex::Kind::Table && m == kSide) {
            table_bins(ix, x, bins);
        } else if (ix.kind == EdgeIndex::Kind::KeyTable && m == kSide) {
            key_table_bins(ix, x, bins);
        } else {
            for (std::size_t i = 0; i < m; ++i) bins[i] = bin_of(h, x[i]);
        }
        for (std::size_t i = 0; i < m; ++i) {
            if (is_nan_bits(x[i])) [[unlikely]] {
                h.nan_count = saturating_inc(h.nan_count);
                continue;
            }
            std::uint64_t& c = h.counts[bins[i]];
            c = saturating_inc(c);
        }
    }
}

std::vector<double> edges(const HistogramF64& h) {
    std::vector<double> out(h.edge_keys.size());
    std::transform(h.edge_keys.begin(), h.edge_keys.end(), out.begin(), from_order_key);
    return out;
}

std::optional<std::vector<std::uint64_t>> try_counts(const HistogramF64& h) {
    if (h.undefined) return std::nullopt;
    return h.counts;
}

std::uint64_t total(const HistogramF64& h) {
    std::uint64_t t = 0;
    for (std::uint64_t c : h.counts) t = saturating_add(t, c);
    return t;
}

std::uint64_t quantile_rank(double q, std::uint64_t total) {
    const DefaultFpEnv env;  // q*T rounded to nearest, whatever mode the caller set
    constexpr std::uint64_t kExactLimit = std::uint64_t(1) << 53;
    std::uint64_t r;
    if (total <= kExactLimit) {
        // q*T <= T <= 2^53: the rounded product and its ceiling fit a u64.
        r = std::uint64_t(std::ceil(q * double(total)));
    } else if (q == 1.0) {
        r = total;
    } else {
        // 0 <= q < 1 is m * 2^-s with a 53-bit m and s >= 53 (m < 2^52 and
        // s = 1074 for a subnormal or zero; -0.0 passes the range check and
        // has m = 0).  m*T < 2^117 fits 128 bits, and ceil(m*T / 2^s) is the
        // quotient plus one for a non-zero remainder.
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(q);
        const unsigned e = unsigned(bits >> 52) & 0x7FF;
        const std::uint64_t frac = bits & ((std::uint64_t(1) << 52) - 1);
        const std::uint64_t m = e ? frac | (std::uint64_t(1) << 52) : frac;
        const unsigned s = e ? 1075 - e : 1074;
        const unsigned __int128 p = (unsigned __int128)m * total;
        if (s >= 128) {
            r = p != 0;
        } else {
            const unsigned __int128 low = p & (((unsigned __int128)1 << s) - 1);
            r = std::uint64_t(p >> s) + (low != 0);
        }
    }
    return r == 0 ? 1 : std::min(r, total);
}

std::optional<std::pair<double, double>> quantile_bounds(const HistogramF64& h, double q) {
    if (h.undefined || !(q >= 0.0 && q <= 1.0)) return std::nullopt;
    const std::uint64_t t = total(h);
    if (t == 0) return std::nullopt;
    const std::uint64_t r = quantile_rank(q, t);
    // r <= t and the running sum over all n + 1 bins is t: the walk stops by bin n.
    std::size_t i = 0;
    for (std::uint64_t run = h.counts[0]; run < r;) run = saturating_add(run, h.counts[++i]);
    const std::size_t n = h.edge_keys.size();
    if (i == 0 || i == n) return std::nullopt;
    return std::pair{from_order_key(h.edge_keys[i - 1]), from_order_key(h.edge_keys[i])};
}

std::vector<std::uint8_t> encode_bytes(const HistogramF64& h) {
    const std::uint64_t n = h.edge_keys.size();
    std::vector<std::uint8_t> out(hist_bytes(n));
    for (int k = 0; k < 4; ++k) out[k] = std::uint8_t(n >> (8 * k));
    out[4] = h.undefined;
    std::uint8_t* p = out.data() + kHistHeader;
    for (std::int64_t k : h.edge_keys) put_u64(p, std::uint64_t(flip_below_zero(k))), p += 8;
    for (std::uint64_t c : h.counts) put_u64(p, c), p += 8;
    put_u64(p, h.nan_count);
    return out;
}

std::optional<HistogramF64> decode_bytes(std::span<const std::uint8_t> b) {
    if (b.size() < kHistHeader || b[4] > 1) return std::nullopt;
    const std::uint64_t n = b[0] | b[1] << 8 | b[2] << 16 | std::uint64_t(b[3]) << 24;
    if (n == 0 || b.size() != hist_bytes(n)) return std::nullopt;
    HistogramF64 h;
    h.undefined = b[4];
    const std::uint8_t* p = b.data() + kHistHeader;
    h.edge_keys.resize(n);
    for (std::int64_t& k : h.edge_keys) k = flip_below_zero(std::int64_t(get_u64(p))), p += 8;
    h.counts.resize(n + 1);
    for (std::uint64_t& c : h.counts) c = get_u64(p), p += 8;
    h.nan_count = get_u64(p);
    h.index = index_edges(h.edge_keys);
    return h;
}

}  // namespace vx
