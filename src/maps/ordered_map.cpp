#include "maps/ordered_map.hpp"

#include <bit>
#include <random>

namespace vx {

namespace {

void sip_round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) {
    v0 += v1, v1 = std::rotl(v1, 13), v1 ^= v0, v0 = std::rotl(v0, 32);
    v2 += v3, v3 = std::rotl(v3, 16), v3 ^= v2;
    v0 += v3, v3 = std::rotl(v3, 21), v3 ^= v0;
    v2 += v1, v1 = std::rotl(v1, 17), v1 ^= v2, v2 = std::rotl(v2, 32);
}

}  // namespace

// SipHash-1-3: one round per 8-byte word, three to finish.
std::uint64_t KeyedHash::operator()(std::string_view bytes) const {
    std::uint64_t v0 = k0 ^ 0x736f6d6570736575, v1 = k1 ^ 0x646f72616e646f6d;
    std::uint64_t v2 = k0 ^ 0x6c7967656e657261, v3 = k1 ^ 0x7465646279746573;
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::size_t n = bytes.size(), whole = n & ~std::size_t(7);
    for (std::size_t i = 0; i < whole; i += 8) {
        const std::uint64_t m = get_u64(p + i);
        v3 ^= m;
        sip_round(v0, v1, v2, v3);
        v0 ^= m;
    }
    std::uint64_t last = std::uint64_t(n) << 56;
    for (std::size_t i = whole; i < n; ++i) last |= std::uint64_t(p[i]) << (8 * (i - whole));
    v3 ^= last;
    sip_round(v0, v1, v2, v3);
    v0 ^= last;
    v2 ^= 0xff;
    for (int r = 0; r < 3; ++r) sip_round(v0, v1, v2, v3);
    return v0 ^ v1 ^ v2 ^ v3;
}

std::uint64_t KeyedHash::operator()(std::uint64_t id) const {
    std::uint8_t bytes[8];
    put_u64(bytes, id);
    return (*this)(std::string_view(reinterpret_cast<const char*>(bytes), 8));
}

KeyedHash KeyedHash::fresh() {
    std::random_device device;
    auto word = [&] { return std::uint64_t(device()) << 32 | device(); };
    const std::uint64_t k0 = word();
    return {k0, word()};
}

const char* error_text(MapLimit e) {
    switch (e) {
        case MapLimit::Keys: return "a map holds at most 4294967295 (2**32 - 1) keys";
        case MapLimit::KeyBytes: return "a key is at most 4294967295 (2**32 - 1) bytes of UTF-8";
        case MapLimit::Replicas: return "a ReplicatedSum holds at most 4294967295 (2**32 - 1) replicas";
    }
    return "a map holds at most 4294967295 (2**32 - 1) entries";
}

}  // namespace vx
