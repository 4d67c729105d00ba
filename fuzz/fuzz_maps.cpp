// Operation programs over keyed maps and replicated sums.
//
// The input is a program: each step picks an operation, a target and its
// arguments from the next bytes.  Maps with small limits make refusals
// frequent.  After every step the encodings must parse (counts, lengths,
// strictly ascending keys); a refused step must leave its target's bytes
// unchanged; a merge must equal the merge in the other direction; a join
// with an equal copy must change nothing.  At the end every keyed map must
// equal a map rebuilt from the (key, x) pairs it absorbed, added in another
// order: the state cannot depend on order or grouping.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "maps/keyed.hpp"
#include "maps/replicated.hpp"

namespace {

struct Input {
    const std::uint8_t* p;
    std::size_t n;
    std::uint8_t byte() { return n ? (--n, *p++) : 0; }
    double real() {
        std::uint64_t bits = 0;
        for (int k = 0; k < 8; ++k) bits |= std::uint64_t(byte()) << (8 * k);
        return std::bit_cast<double>(bits);
    }
    std::string key() {
        std::string k(byte() % 5, '\0');
        for (char& c : k) c = char(byte());
        return k;
    }
};

void require(bool ok) {
    if (!ok) std::abort();
}

// Parses an encoding: the entry count, then key, value length and value per
// entry; keys strictly ascending (unsigned bytes, prefix first).
void check_layout(const std::vector<std::uint8_t>& b, bool text_keys, std::uint32_t value_bytes) {
    auto u32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (int k = 0; k < 4; ++k) v |= std::uint32_t(b.at(at + k)) << (8 * k);
        return v;
    };
    auto below = [](char x, char y) { return std::uint8_t(x) < std::uint8_t(y); };
    std::size_t p = 4;
    std::string previous;
    for (std::uint32_t i = 0, n = u32(0); i < n; ++i) {
        const std::size_t len = text_keys ? u32(p) : 8, start = p + (text_keys ? 4 : 0);
        require(start + len <= b.size());
        std::string key(b.begin() + start, b.begin() + start + len);
        if (!text_keys) std::reverse(key.begin(), key.end());  // little-endian id, compared big-endian
        require(i == 0 || std::lexicographical_compare(previous.begin(), previous.end(), key.begin(),
                                                       key.end(), below));
        previous = key;
        p = start + len;
        require(u32(p) == value_bytes);
        p += 4 + value_bytes;
    }
    require(p == b.size());
}

// A keyed map and every (key, x) pair it has absorbed, by add or merge.
template <class V, std::size_t N, void (*Write)(const V&, std::uint8_t*)>
struct Tracked {
    using M = vx::OrderedMap<std::string, V, 5, 3>;
    M map;
    std::vector<std::pair<std::string, double>> pairs;
    bool tracked = true;

    static std::vector<std::uint8_t> encoding(const M& m) { return vx::MapEncoding<M, N, Write>{&m}.bytes(); }

    void add(std::string key, double x) {
        const auto before = encoding(map);
        if (vx::add_under(map, key, x))
            pairs.emplace_back(std::move(key), x);
        else
            require(encoding(map) == before);
    }

    // Both directions hold the same union of keys: both succeed, with equal
    // bytes, or both are refused and change nothing.
    void merge(const Tracked& other) {
        const auto before = encoding(map);
        M other_way = other.map;
        const bool ok_other_way = bool(vx::merge_maps(other_way, map));
        const bool ok = bool(vx::merge_maps(map, other.map));
        require(ok == ok_other_way);
        if (!ok) return require(encoding(map) == before);
        require(encoding(other_way) == encoding(map));
        // Merging back and forth doubles the pairs: past a bound the map is
        // no longer rebuilt, only checked step by step.
        tracked = tracked && other.tracked && pairs.size() + other.pairs.size() <= 4096;
        if (tracked) pairs.insert(pairs.end(), other.pairs.begin(), other.pairs.end());
    }

    // The same pairs added in reverse order, without merges.
    void check() const {
        check_layout(encoding(map), true, N);
        if (!tracked) return;
        M fresh;
        for (auto it = pairs.rbegin(); it != pairs.rend(); ++it)
            require(bool(vx::add_under(fresh, it->first, it->second)));
        require(encoding(fresh) == encoding(map));
    }
};

using Sums = Tracked<vx::SumF64, vx::kSumBytes, &vx::write_sum>;
using Moments = Tracked<vx::MomentsF64, vx::kMomentsBytes, &vx::write_moments>;
using Replicas = vx::OrderedMap<std::uint64_t, vx::SumF64, 4>;

std::vector<std::uint8_t> encoding(const Replicas& r) {
    return vx::MapEncoding<Replicas, vx::kSumBytes, &vx::write_sum>{&r}.bytes();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in{data, size};
    Sums sums[2];
    Moments moments[2];
    Replicas replicas[2];
    for (int steps = 0; in.n && steps < 64; ++steps) {
        const std::uint8_t op = in.byte();
        const int i = op >> 7, j = 1 - i;
        switch (op % 7) {
            case 0: {
                std::string key = in.key();
                sums[i].add(std::move(key), in.real());
                break;
            }
            case 1: {
                std::string key = in.key();
                moments[i].add(std::move(key), in.real());
                break;
            }
            case 2: sums[i].merge(sums[j]); break;
            case 3: moments[i].merge(moments[j]); break;
            case 4: {  // a replica writes
                const std::uint64_t id = in.byte() % 6;
                const auto before = encoding(replicas[i]);
                if (!vx::add_under(replicas[i], id, in.real())) require(encoding(replicas[i]) == before);
                break;
            }
            case 5: {  // join, then join the same state again: idempotent
                const auto before = encoding(replicas[i]);
                if (!vx::join(replicas[i], replicas[j])) {
                    require(encoding(replicas[i]) == before);
                    break;
                }
                const auto once = encoding(replicas[i]);
                require(vx::join(replicas[i], replicas[j]) && encoding(replicas[i]) == once);
                break;
            }
            default:  // lookups never create keys
                require(!sums[i].map.find("\xff\xff\xff\xff") && sums[i].map.size() <= 5);
        }
        for (int k = 0; k < 2; ++k) check_layout(encoding(replicas[k]), false, vx::kSumBytes);
    }
    for (int k = 0; k < 2; ++k) {
        sums[k].check();
        moments[k].check();
    }
    return 0;
}
