#include "matrix/covmat.hpp"

#include <new>

#include "base/assertion.hpp"
#include "base/bytes_le.hpp"
#include "base/memory.hpp"

namespace vx {

namespace {

constexpr std::uint64_t kHeaderBytes = 5;  // d as u32, then the poisoned byte
constexpr std::uint64_t kMaxDim = std::uint64_t(1) << 32;

// a·b + c, absent on overflow of 64 bits.
std::optional<std::uint64_t> mul_add(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
    std::uint64_t p, s;
    if (__builtin_mul_overflow(a, b, &p) || __builtin_add_overflow(p, c, &s)) return std::nullopt;
    return s;
}

// Bytes of the in-memory state of dimension d < 2^32: (d + 1) sums and
// d(d+1)/2 + d products (below 2^63 entries, so only the byte products can
// overflow).
std::optional<std::uint64_t> state_bytes(std::uint64_t d) {
    auto sums = mul_add(d + 1, sizeof(SumF64), 0);
    if (!sums) return std::nullopt;
    return mul_add(cross_len(d), sizeof(DotF64), *sums);
}

// A subtraction that would fail on entry `o` of the subtrahend.
bool refuses(const SumF64& self, const SumF64& o) { return o.flags != 0 || o.count > self.count; }
bool refuses(const DotF64& self, const DotF64& o) {
    return o.exactness_lost || refuses(self.sum, o.sum);
}

}  // namespace

const char* error_text(DimError e) {
    return e == DimError::HeaderOverflow ? "dimension must be below 2**32"
                                         : "dimension too large for memory";
}

std::optional<std::uint64_t> encoded_size(std::uint64_t d) {
    auto sums = mul_add(d + 1, kSumBytes, kHeaderBytes);
    if (!sums || d >= kMaxDim) return std::nullopt;
    return mul_add(cross_len(d), kDotBytes, *sums);
}

Expected<CovMatrixF64, DimError> try_make_covmat(std::uint64_t d) {
    if (d >= kMaxDim) return fail(DimError::HeaderOverflow);
    auto bytes = state_bytes(d);
    if (!bytes || *bytes > physical_memory()) return fail(DimError::NoMemory);
    try {
        CovMatrixF64 m;
        m.dim = d;
        m.sums.resize(d + 1);
        m.cross.resize(cross_len(d));
        return m;
    } catch (const std::bad_alloc&) {
        return fail(DimError::NoMemory);
    }
}

void add(CovMatrixF64& m, std::span<const double> row, double y) {
    assert_equal(row.size(), m.dim, "row length must equal dim()");
    const std::size_t d = m.dim;
    for (std::size_t i = 0; i < d; ++i) add(m.sums[i], row[i]);
    add(m.sums[d], y);
    DotF64* c = m.cross.data();
    for (std::size_t i = 0; i < d; ++i)
        for (std::size_t j = i; j < d; ++j) push(*c++, row[i], row[j]);
    for (std::size_t i = 0; i < d; ++i) push(*c++, row[i], y);
}

void merge(CovMatrixF64& m, const CovMatrixF64& other) {
    if (m.dim != other.dim) {
        m.poisoned = true;
        return;
    }
    m.poisoned |= other.poisoned;
    for (std::size_t i = 0; i < m.sums.size(); ++i) merge(m.sums[i], other.sums[i]);
    for (std::size_t i = 0; i < m.cross.size(); ++i) merge(m.cross[i], other.cross[i]);
}

// Every entry is checked before any is changed, so no copy of the state is
// needed for all-or-nothing; after the checks each unmerge succeeds.
Stat<std::monostate> try_sub(CovMatrixF64& m, const CovMatrixF64& other) {
    if (m.dim != other.dim || m.poisoned || other.poisoned) return fail(StatsError::Degenerate);
    for (std::size_t i = 0; i < m.sums.size(); ++i)
        if (refuses(m.sums[i], other.sums[i])) return fail(StatsError::Degenerate);
    for (std::size_t i = 0; i < m.cross.size(); ++i)
        if (refuses(m.cross[i], other.cross[i])) return fail(StatsError::Degenerate);
    for (std::size_t i = 0; i < m.sums.size(); ++i) try_unmerge(m.sums[i], other.sums[i]);
    for (std::size_t i = 0; i < m.cross.size(); ++i) try_unmerge(m.cross[i].sum, other.cross[i].sum);
    return std::monostate{};
}

// Every entry encodes in fewer bytes than it occupies in memory (281 < 288,
// 282 < 296, and the 5 header bytes fit in the difference of one sum), so the
// encoded size of a state that exists cannot overflow.
static_assert(sizeof(SumF64) >= kSumBytes + kHeaderBytes && sizeof(DotF64) >= kDotBytes);

std::vector<std::uint8_t> encode(const CovMatrixF64& m) {
    std::vector<std::uint8_t> out(*encoded_size(m.dim));
    std::uint8_t* p = out.data();
    put_u32(p, std::uint32_t(m.dim));
    p[4] = m.poisoned;
    p += kHeaderBytes;
    for (const SumF64& s : m.sums) write_sum(s, p), p += kSumBytes;
    for (const DotF64& c : m.cross) write_dot(c, p), p += kDotBytes;
    return out;
}

std::optional<CovMatrixF64> decode_covmat(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderBytes || bytes[4] > 1) return std::nullopt;
    const std::uint64_t d = get_u32(bytes.data());
    // The length matches only when the input holds every entry, so the
    // allocation below is bounded by the input's own size.
    if (encoded_size(d) != bytes.size()) return std::nullopt;
    CovMatrixF64 m;
    m.dim = d;
    m.poisoned = bytes[4];
    m.sums.reserve(d + 1);
    m.cross.reserve(cross_len(d));
    const std::uint8_t* p = bytes.data() + kHeaderBytes;
    for (std::uint64_t i = 0; i <= d; ++i, p += kSumBytes) {
        auto s = read_sum(p);
        if (!s) return std::nullopt;
        m.sums.push_back(*s);
    }
    for (std::uint64_t i = 0; i < cross_len(d); ++i, p += kDotBytes) {
        auto c = read_dot(p);
        if (!c) return std::nullopt;
        m.cross.push_back(*c);
    }
    return m;
}

}  // namespace vx
