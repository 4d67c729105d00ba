// Operation programs over keyed maps and replicated sums, with small limits so that refusals are frequent.
// Every encoding must parse with strictly ascending keys; a refused step leaves its target's bytes unchanged; a
// merge equals the merge in the other direction; a join repeated changes nothing; and each keyed map equals the
// map rebuilt from the (key, x) pairs it absorbed, added in reverse order without merges.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "maps/keyed.hpp"
#include "maps/replicated.hpp"
#include "program.hpp"

namespace {

// A key of up to four arbitrary bytes: the limit is three.
std::string read_key(Reader& in) {
    std::string k(in.byte() % 5, '\0');
    for (char& c : k) c = char(in.byte());
    return k;
}

// The encoding, parsed: a count, then per entry the key (u32 length and bytes, or a little-endian u64 id), the
// value's u32 length N and the value.
template <class M, std::size_t N, auto Write>
std::vector<std::uint8_t> encoding(const M& m) {
    const auto b = vx::MapEncoding<M, N, Write>{&m}.bytes();
    auto u32 = [&](std::size_t at) { return std::uint32_t(b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16) |
                                            std::uint32_t(b.at(at + 3)) << 24; };
    constexpr bool text = std::is_same_v<typename M::View, std::string_view>;
    std::size_t p = 4;
    std::basic_string<std::uint8_t> previous, key;  // unsigned bytes: compared as the map orders them
    for (std::uint32_t i = 0; i < u32(0); ++i, previous = key) {
        const std::size_t len = text ? u32(p) : 8, at = p + (text ? 4 : 0);
        check(at + len <= b.size());
        key.assign(b.begin() + at, b.begin() + at + len);
        if (!text) std::reverse(key.begin(), key.end());  // an id compares as its big-endian bytes
        check((i == 0 || previous < key) && u32(at + len) == N);
        p = at + len + 4 + N;
    }
    check(p == b.size());
    return b;
}

// A keyed map and the (key, x) pairs it absorbed by add or merge.
template <class V, std::size_t N, void (*Write)(const V&, std::uint8_t*)>
struct Tracked {
    using M = vx::OrderedMap<std::string, V, 5, 3>;
    M map;
    std::vector<std::pair<std::string, double>> pairs;
    bool tracked = true;  // merging back and forth doubles the pairs: past a bound, no rebuild

    static auto bytes(const M& m) { return encoding<M, N, Write>(m); }
    void add(std::string key, double x) {
        const auto before = bytes(map);
        const bool ok = bool(vx::add_under(map, key, x));
        check(ok || bytes(map) == before);
        if (ok) pairs.emplace_back(std::move(key), x);
    }
    void merge(const Tracked& other) {  // both directions hold the same union of keys
        const auto before = bytes(map);
        M other_way = other.map;
        const bool ok_other_way = bool(vx::merge_maps(other_way, map)), ok = bool(vx::merge_maps(map, other.map));
        check(ok == ok_other_way && (ok ? bytes(other_way) == bytes(map) : bytes(map) == before));
        tracked = tracked && other.tracked && pairs.size() + other.pairs.size() <= 4096;
        if (ok && tracked) pairs.insert(pairs.end(), other.pairs.begin(), other.pairs.end());
    }
    void check_rebuild() const {
        M fresh;
        for (auto it = pairs.rbegin(); tracked && it != pairs.rend(); ++it)
            check(bool(vx::add_under(fresh, it->first, it->second)));
        check(!tracked || bytes(fresh) == bytes(map));
    }
};

using Replicas = vx::OrderedMap<std::uint64_t, vx::SumF64, 4>;
const auto replica_bytes = encoding<Replicas, vx::kSumBytes, &vx::write_sum>;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in{data, size};
    Tracked<vx::SumF64, vx::kSumBytes, &vx::write_sum> sums[2];
    Tracked<vx::MomentsF64, vx::kMomentsBytes, &vx::write_moments> moments[2];
    Replicas replicas[2];
    for (int steps = 0; in.n && steps < 64; ++steps) {
        const std::uint8_t op = in.byte();
        const int i = op >> 7, j = 1 - i;
        std::string key = op % 6 < 2 ? read_key(in) : std::string();  // read before the value
        const auto before = replica_bytes(replicas[i]);
        switch (op % 6) {
            case 0: sums[i].add(key, std::bit_cast<double>(in.word())); break;
            case 1: moments[i].add(key, std::bit_cast<double>(in.word())); break;
            case 2: sums[i].merge(sums[j]); break;
            case 3: moments[i].merge(moments[j]); break;
            case 4:  // a replica writes; lookups never create keys
                if (!vx::add_under(replicas[i], std::uint64_t(in.byte() % 6), std::bit_cast<double>(in.word())))
                    check(replica_bytes(replicas[i]) == before);
                check(!sums[i].map.find("\xff\xff\xff\xff") && sums[i].map.size() <= 5);
                break;
            default:
                if (!vx::join(replicas[i], replicas[j])) {
                    check(replica_bytes(replicas[i]) == before);
                } else {
                    const auto once = replica_bytes(replicas[i]);
                    check(vx::join(replicas[i], replicas[j]) && replica_bytes(replicas[i]) == once);
                }
        }
    }
    for (int k = 0; k < 2; ++k) sums[k].check_rebuild(), moments[k].check_rebuild();
    return 0;
}
