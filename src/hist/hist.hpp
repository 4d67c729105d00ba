// A histogram over fixed edges: exact integer counts, so the state (and its
// encoding and hash) depends only on the multiset of values offered.
//
// n edges split the total order of binary64 into n + 1 bins: bin 0 holds the
// values below edges[0], bin i the values in [edges[i-1], edges[i]), bin n
// the values at or above edges[n-1].  NaNs are counted apart.  Every count
// saturates at 2^64 - 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "hist/order_key.hpp"
#include "receipt/receipt.hpp"

namespace vx {

// The encoding holds the edge count in 32 bits, so no histogram has more.
inline constexpr std::uint64_t kMaxEdges = UINT32_MAX;
// The header: n (u32) and the flag byte.
inline constexpr std::size_t kHistHeader = 4 + 1;
// Besides 8 bytes per edge and per count for the first n counts: the header,
// count n + 1 and the NaN count.
inline constexpr std::size_t kHistFixed = kHistHeader + 8 + 8;
// 21 + 16 n bytes, computed in 64 bits: n < 2^32 keeps it below 2^37, where
// 32-bit arithmetic would wrap (n = 0x10000001 would claim 37 bytes).
inline constexpr std::uint64_t hist_bytes(std::uint64_t n) { return kHistFixed + 16 * n; }
static_assert(hist_bytes(1) == 37 && hist_bytes(kMaxEdges) < (std::uint64_t(1) << 37));

// How the bin of a value is found, chosen from the edges when a histogram is
// made or decoded (derived from them, not part of the state).
//
// Equally spaced edges: the guess g(x) = floor((x - e0)·scale + 1/2), with
// scale = (n-1) / (e[n-1] - e0) and each operation rounded to nearest, is
// monotone in x (rounding is), and it is used only if g(e[j]) = j for every
// edge j, checked when made.  A value x of bin b (e[b-1] <= x < e[b] in the
// total order, so e[b-1] <= x <= e[b] as numbers) then has b-1 <= g(x) <= b;
// clamped to [0, n-1], one comparison with edge g settles it:
// b = g + (x >= e[g]).  The check fails whenever rounding puts an edge on a
// neighbour's guess (edges far from e0 + j·h, -0.0 beside 0.0), and those
// edges take the tree.
//
// Other increasing edges (up to 2^14) spread evenly enough: a table of
// M = 16n equal cells over [e0, e[n-1]].  The cell c(x) = floor((x - e0)·M / (e[n-1] - e0)),
// clamped to [0, M-1], is monotone too, so an edge in an earlier cell than
// x's is below x and one in a later cell above it; with first[c] the number
// of edges in cells before c, the bin is first[c] plus the number of edges
// of x's own cell that are <= x.  Taken when no cell holds more than
// kCellEdges edges: a fixed scan of the kCellEdges keys from first[c] counts
// them, the keys being padded above every value, since the edges past x's
// cell compare above x anyway.
//
// Edges spread evenly on the line of keys rather than of values (evenly in
// the logarithm, say) take the same table over the keys: the cell
// (k - k0)·f / 2^64 of a key k clamped to [k0, k[n-1]], with
// f = floor(M·2^64 / (k[n-1] - k0 + 1)), is monotone and exact.
//
// Other increasing edges: an Eytzinger tree, the keys in breadth-first order
// of a complete binary search tree of 2^d - 1 nodes (node i has children 2i
// and 2i+1), padded with keys above every value's.  Every search takes d
// steps i -> 2i + (node i <= x) from i = 1, each one load and one comparison,
// and the final i - 2^d is the number of keys <= x.  The top levels, which
// every search reads, share a few cache lines.
//
// Edges out of order (a decoded state) keep the plain binary search, whose
// probes decide the bins of such a state.
inline constexpr std::size_t kCellEdges = 2;

struct EdgeIndex {
    enum class Kind : std::uint8_t { Unordered, Uniform, Table, KeyTable, Tree };
    Kind kind = Kind::Unordered;
    int depth = 0;                    // Tree: d
    double lo = 0, scale = 0;         // Uniform: e0 and (n-1) / (e[n-1] - e0); Table: e0 and M / (e[n-1] - e0)
    double last_cell = 0;             // Table: M - 1
    std::vector<std::int64_t> tree;   // Tree: 2^d entries, tree[0] unused; tables: the keys, kCellEdges pads
    std::int64_t key_lo = 0, key_hi = 0;  // KeyTable: k0 and k[n-1]
    std::uint64_t key_factor = 0;         // KeyTable: f
    std::vector<std::uint32_t> first;     // Table, KeyTable: first[c] for each cell
};

// The cell of key k in a KeyTable.
inline std::size_t key_cell(const EdgeIndex& ix, std::int64_t k) {
    k = k < ix.key_lo ? ix.key_lo : k;
    k = k > ix.key_hi ? ix.key_hi : k;
    const std::uint64_t d = std::uint64_t(k) - std::uint64_t(ix.key_lo);
    return std::size_t((unsigned __int128)d * ix.key_factor >> 64);
}

struct HistogramF64 {
    // The n >= 1 edges, held as their total-order keys (one bijection of bit
    // patterns, see from_order_key), so that a probe of the search is one
    // load and one compare.
    std::vector<std::int64_t> edge_keys;
    std::vector<std::uint64_t> counts;  // n + 1 bins
    std::uint64_t nan_count = 0;
    bool undefined = false;  // only a decoded state can carry it
    EdgeIndex index;         // derived from edge_keys
};

// Absent unless 1 <= n <= kMaxEdges and the edges are finite and strictly
// increasing in the total order ([-0.0, 0.0] is increasing, [0.0, 0.0] not).
// The count is checked first: no edge is read when there are too many.
std::optional<HistogramF64> make_histogram(std::span<const double> edges);

// The search for these edge keys: arithmetic, the table, the tree, or (keys
// out of order) the plain search.
EdgeIndex index_edges(std::span<const std::int64_t> keys);

// The bin of key k by the plain binary search: for increasing edges, the
// number of edges e with key(e) <= k.  It narrows [base, base + size) to the
// last edge not above k; on edges stored out of order (a decoded state) it
// takes the same probes and still selects one of the n + 1 bins.
inline std::size_t plain_bin_of(const HistogramF64& h, std::int64_t k) {
    const std::int64_t* e = h.edge_keys.data();
    std::size_t base = 0, size = h.edge_keys.size();
    while (size > 1) {
        const std::size_t half = size / 2;
        base = e[base + half] > k ? base : base + half;
        size -= half;
    }
    return base + (e[base] <= k);
}

// The bin of x by the histogram's index: the plain search's bin.  The
// uniform guess needs the default floating-point environment, which the
// caller holds; a NaN x gets some bin, which the caller does not count.
inline std::size_t bin_of(const HistogramF64& h, double x) {
    const std::int64_t k = order_key(x);
    const EdgeIndex& ix = h.index;
    if (ix.kind == EdgeIndex::Kind::Uniform) {
        const double last = double(h.edge_keys.size() - 1);
        double g = (x - ix.lo) * ix.scale + 0.5;
        g = g >= 0 ? g : 0;  // below e0, and NaN
        g = g <= last ? g : last;
        const std::size_t i = std::size_t(g);
        return i + (h.edge_keys[i] <= k);
    }
    if (ix.kind == EdgeIndex::Kind::Table) {
        double c = (x - ix.lo) * ix.scale;
        c = c >= 0 ? c : 0;
        c = c <= ix.last_cell ? c : ix.last_cell;
        const std::size_t f = ix.first[std::size_t(c)];
        std::size_t b = f;
        for (std::size_t j = 0; j < kCellEdges; ++j) b += ix.tree[f + j] <= k;
        return b;
    }
    if (ix.kind == EdgeIndex::Kind::KeyTable) {
        const std::size_t f = ix.first[key_cell(ix, k)];
        std::size_t b = f;
        for (std::size_t j = 0; j < kCellEdges; ++j) b += ix.tree[f + j] <= k;
        return b;
    }
    if (ix.kind == EdgeIndex::Kind::Tree) {
        const std::int64_t* t = ix.tree.data();
        std::size_t i = 1;
        for (int level = 0; level < ix.depth; ++level) i = 2 * i + (t[i] <= k);
        return i - (std::size_t(1) << ix.depth);
    }
    return plain_bin_of(h, k);
}

void add(HistogramF64& h, double x);
// Adds every value of xs, as add does one by one; the searches of a block
// of values run side by side, so that they overlap.
void add_run(HistogramF64& h, std::span<const double> xs);

std::vector<double> edges(const HistogramF64& h);
// Absent when the state is flagged undefined.
std::optional<std::vector<std::uint64_t>> try_counts(const HistogramF64& h);
// The saturating sum of all n + 1 counts (NaNs excluded).
std::uint64_t total(const HistogramF64& h);

// The rank of quantile q among T counted values, 1 <= r <= T, for q in
// [0, 1] and T >= 1.  Up to T = 2^53, T converts to binary64 exactly and the
// rank is q*T rounded to binary64, then up to an integer.  Above 2^53 the
// conversion would round T itself (with counts [0, 2^53, 1, 0], q = 1 would
// miss the last value), so the rank is ceil(q*T) computed exactly from q's
// binary value.
std::uint64_t quantile_rank(double q, std::uint64_t total);

// The edges around the bin holding the rank of q.  Absent when the state is
// undefined, q is outside [0, 1] or NaN, nothing was counted, or the rank
// lies in an open-ended bin (below the first edge or at or above the last;
// with one edge it always does).
std::optional<std::pair<double, double>> quantile_bounds(const HistogramF64& h, double q);

// n (u32), the flag byte, the edges' bit patterns, the counts, the NaN
// count; all little-endian.  The canonical encoding.
std::vector<std::uint8_t> encode_bytes(const HistogramF64& h);
// Absent unless the length is exactly 21 + 16 n for a header n >= 1 and the
// flag byte is 0 or 1.  Edges and counts are taken as stored.
std::optional<HistogramF64> decode_bytes(std::span<const std::uint8_t> b);

inline Digest state_hash(const HistogramF64& h) { return sha256(encode_bytes(h)); }

}  // namespace vx
