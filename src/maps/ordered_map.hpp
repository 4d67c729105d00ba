// One ordered map from keys to mergeable states, shared by the keyed maps
// (text keys) and the replicated sum (64-bit replica ids).
//
// The map is a balanced search tree ordered by the key's natural order:
// - text keys are held as their UTF-8 bytes and compared byte by byte as
//   unsigned values, a prefix before any longer key ('B' < 'a' < 'aa' < 'é');
//   std::char_traits<char> compares as unsigned char, so std::string's order
//   is exactly this one;
// - replica ids compare as unsigned 64-bit integers.
// Lookups go through a hash index of views into the tree's keys: a lookup by
// std::string_view never builds a std::string, so a key is copied only when
// it is inserted.
//
// No state may exist that its encoding cannot hold.  The encodings state the
// number of entries and each key's length in unsigned 32-bit fields, so a
// map holds at most 2^32 - 1 entries and a text key at most 2^32 - 1 bytes.
// Every operation that would pass a limit is refused before anything
// changes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "base/bytes_le.hpp"
#include "base/expected.hpp"

namespace vx {

// The largest value an unsigned 32-bit count or length field can hold.
inline constexpr std::uint64_t kMaxField = 0xFFFFFFFF;

// Why an operation that would outgrow the encoding was refused.
enum class MapLimit { Keys, KeyBytes, Replicas };
const char* error_text(MapLimit e);

// An operation that either happened or was refused as a whole.
using Done = Expected<std::monostate, MapLimit>;
inline Done done() { return std::monostate{}; }

// The hash of the index.  Keys may come from anyone: a fixed hash would let
// chosen keys collide and turn each lookup into a walk of all of them, so
// every map draws its own secret (SipHash, keyed from std::random_device).
// The hash only places keys in the index; no result depends on it.
struct KeyedHash {
    std::uint64_t k0 = 0, k1 = 0;
    std::uint64_t operator()(std::string_view bytes) const;
    std::uint64_t operator()(std::uint64_t id) const;
    static KeyedHash fresh();
};

// How a key type is looked up, limited and encoded.
template <class K>
struct KeyTraits;

template <>
struct KeyTraits<std::string> {
    using View = std::string_view;
    static constexpr MapLimit kFull = MapLimit::Keys;
    static std::uint64_t length(View k) { return k.size(); }
    static std::size_t encoded_size(View k) { return 4 + k.size(); }
    // u32 length, then the UTF-8 bytes.
    static std::uint8_t* write(View k, std::uint8_t* out) {
        put_u32(out, std::uint32_t(k.size()));
        return std::copy(k.begin(), k.end(), out + 4);
    }
};

template <>
struct KeyTraits<std::uint64_t> {
    using View = std::uint64_t;
    static constexpr MapLimit kFull = MapLimit::Replicas;
    static std::uint64_t length(View) { return 0; }
    static std::size_t encoded_size(View) { return 8; }
    static std::uint8_t* write(View k, std::uint8_t* out) {
        put_u64(out, k);
        return out + 8;
    }
};

// Limits are parameters so that tests can reach them with small maps; the
// module uses the defaults, which are the encoding's.
template <class K, class V, std::uint64_t MaxEntries = kMaxField,
          std::uint64_t MaxKeyLength = kMaxField>
class OrderedMap {
public:
    using Traits = KeyTraits<K>;
    using View = typename Traits::View;
    using Tree = std::map<K, V, std::less<>>;
    using Index = std::unordered_map<View, V*, KeyedHash>;

    OrderedMap() : index_(0, KeyedHash::fresh()) {}
    OrderedMap(const OrderedMap& other)
        : tree_(other.tree_), index_(0, other.index_.hash_function()),
          key_bytes_(other.key_bytes_) {
        reindex();
    }
    OrderedMap(OrderedMap&& other) noexcept
        : tree_(std::move(other.tree_)), index_(std::move(other.index_)),
          key_bytes_(std::exchange(other.key_bytes_, 0)) {
        other.tree_.clear();
        other.index_.clear();
    }
    OrderedMap& operator=(OrderedMap other) noexcept {
        tree_.swap(other.tree_);
        index_.swap(other.index_);
        std::swap(key_bytes_, other.key_bytes_);
        return *this;
    }

    std::uint64_t size() const { return tree_.size(); }

    const V* find(View key) const {
        auto it = index_.find(key);
        return it == index_.end() ? nullptr : it->second;
    }

    // The state under `key`, inserted empty when absent; refused when a new
    // key would be too long or one entry too many.
    Expected<V*, MapLimit> entry(View key) {
        if (auto it = index_.find(key); it != index_.end()) return it->second;
        if (Traits::length(key) > MaxKeyLength) return fail(MapLimit::KeyBytes);
        if (tree_.size() >= MaxEntries) return fail(Traits::kFull);
        return insert(tree_.lower_bound(key), K(key), V{});
    }

    // Folds `other` in key by key: `combine(mine, theirs)` where both hold the
    // key, a copy of other's key and state where only `other` does.
    //
    // All or nothing.  Every allocation comes first, into storage of its own:
    // the copies of the missing entries go into a tree and an index aside, and
    // this map's index is grown to hold them.  Only then does the map change,
    // by steps that cannot fail: `combine` (limb adds and copies of value
    // states), and splicing the aside nodes into the tree and the index
    // (node handles and std::unordered_map::merge move nodes and throw only
    // when the comparison or the hash does; ours do not, and the index has
    // room for them, so it does not rehash).  A MemoryError therefore finds
    // the map as it was, and a retried merge counts `other` once.
    //
    // Both trees are walked once in ascending order, so the cost is linear;
    // the position each of other's keys has in this tree is kept from the
    // walk, so that each splice lands at its hint.  Other's keys are within
    // the length limit already.
    template <class Combine>
    Done fold_in(const OrderedMap& other, Combine combine) {
        // Per key of `other`: this map's first key not below it, and whether
        // that is the same key.
        std::vector<std::pair<typename Tree::iterator, bool>> at;
        at.reserve(other.tree_.size());
        Tree aside;
        // Buckets for every key of `other` at most, so that it never rehashes;
        // this map's secret, as the nodes keep their hash codes when they move.
        Index aside_index(other.tree_.size(), index_.hash_function());
        std::size_t aside_bytes = 0;
        auto it = tree_.begin();
        for (const auto& entry : other.tree_) {
            while (it != tree_.end() && tree_.key_comp()(it->first, entry.first)) ++it;
            at.emplace_back(it, it != tree_.end() && !tree_.key_comp()(entry.first, it->first));
            if (at.back().second) continue;
            if (aside.size() >= MaxEntries - size()) return fail(Traits::kFull);
            auto copy = aside.emplace_hint(aside.end(), entry);
            aside_index.emplace(View(copy->first), &copy->second);
            aside_bytes += Traits::encoded_size(copy->first);
        }
        // An index of n entries in B buckets takes more without a rehash while
        // n stays within max_load_factor() * B; only past that is it grown (a
        // reserve below the present capacity would rehash for nothing).
        if (const auto n = index_.size() + aside_index.size(); n >= index_.max_load_factor() * index_.bucket_count())
            index_.reserve(n);
        // Nothing below allocates or fails.  The positions kept are nodes of
        // this tree as it was (or its end), which the splices leave in place.
        auto pos = at.begin();
        for (const auto& entry : other.tree_) {
            const auto [mine, held] = *pos++;
            if (held)
                combine(mine->second, entry.second);
            else
                tree_.insert(mine, aside.extract(aside.begin()));
        }
        index_.merge(aside_index);
        key_bytes_ += aside_bytes;
        return done();
    }

    // u32 number of entries, then per entry in ascending key order: the key
    // (KeyTraits::write), the u32 length N of the state's encoding and the N
    // bytes `Write` produces.  The keys' part is kept up to date on
    // insertion, so the size costs no walk of the tree.
    template <std::size_t N>
    std::size_t encoded_size() const {
        return 4 + key_bytes_ + tree_.size() * (4 + N);
    }

    // Writes exactly encoded_size<N>() bytes.
    // Tree nodes lie in memory in insertion order, not key order: the walk
    // asks for the state a few entries ahead while it writes the current
    // one, so that its cache misses overlap instead of queueing.
    template <std::size_t N, void (*Write)(const V&, std::uint8_t*)>
    void write(std::uint8_t* p) const {
        constexpr int kAhead = 8;
        put_u32(p, std::uint32_t(tree_.size()));
        p += 4;
        auto ahead = tree_.begin();
        for (int k = 0; k < kAhead && ahead != tree_.end(); ++k) ++ahead;
        for (const auto& [key, value] : tree_) {
            if (ahead != tree_.end()) {
                const char* next = reinterpret_cast<const char*>(&*ahead++);
                for (std::size_t line = 0; line < sizeof(*ahead); line += 64)
                    __builtin_prefetch(next + line);
            }
            p = Traits::write(key, p);
            put_u32(p, std::uint32_t(N));
            Write(value, p + 4);
            p += 4 + N;
        }
    }

    auto begin() const { return tree_.cbegin(); }
    auto end() const { return tree_.cend(); }

private:
    // Inserts at the hint and indexes the new entry; on failure to index,
    // the entry is taken out again so that tree and index always agree.
    V* insert(typename Tree::iterator hint, K key, const V& value) {
        auto it = tree_.emplace_hint(hint, std::move(key), value);
        try {
            index_.emplace(View(it->first), &it->second);
        } catch (...) {
            tree_.erase(it);
            throw;
        }
        key_bytes_ += Traits::encoded_size(it->first);
        return &it->second;
    }

    void reindex() {
        index_.reserve(tree_.size());
        for (auto& [key, value] : tree_) index_.emplace(View(key), &value);
    }

    // The tree keeps the order; the index finds a present key with one hash
    // and about one probe, where the tree descent costs a cache miss per
    // level (17 levels for 10^5 keys).  Tree nodes never move, so the views
    // of their keys and the pointers to their states stay valid as the tree
    // grows.
    Tree tree_;
    Index index_;
    std::size_t key_bytes_ = 0;  // the sum of Traits::encoded_size over the keys
};

// The encoding of a map, not yet written: its size is known first, so that
// a caller can write it straight into storage of its own (one allocation,
// no copy: a map of 10^5 sums encodes to about 30 MB).
template <class M, std::size_t N, auto Write>
struct MapEncoding {
    const M* map;
    std::size_t size() const { return map->template encoded_size<N>(); }
    void write_to(std::uint8_t* out) const { map->template write<N, Write>(out); }
    std::vector<std::uint8_t> bytes() const {
        std::vector<std::uint8_t> out(size());
        write_to(out.data());
        return out;
    }
};

// Adds x to the state under `key`, creating it empty when absent.  A NaN or
// an infinity creates the key like any other value.
template <class K, class V, std::uint64_t E, std::uint64_t L>
Done add_under(OrderedMap<K, V, E, L>& m, typename KeyTraits<K>::View key, double x) {
    auto entry = m.entry(key);
    if (!entry) return fail(entry.error());
    add(*entry.value(), x);
    return done();
}

}  // namespace vx
