// Receipts: the contract every accumulator type fulfils, and the state hash.
//
// A Mergeable state can absorb another state of its type (`merge`) and has a
// canonical encoding (`encode`) that depends only on the state's value, never
// on the order of inputs, the grouping of merges or the machine.  The state
// hash is SHA-256 over exactly those bytes: no type tag, length or version is
// mixed in, so equal encodings give equal receipts.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <span>

namespace vx {

template <class T>
concept Mergeable = requires(T& a, const T& b) {
    merge(a, b);
    { std::span<const std::uint8_t>(encode(b)) };
};

using Digest = std::array<std::uint8_t, 32>;

// SHA-256 (FIPS 180-4) of the bytes; std::bad_alloc when libcrypto cannot
// allocate.
Digest sha256(std::span<const std::uint8_t> bytes);

// Makes the calling thread's digest context if it has none; false when that
// cannot be allocated.  sha256 makes it too, on a thread's first hash.
bool prepare_digest_context();

template <Mergeable T>
Digest state_hash(const T& s) {
    const auto bytes = encode(s);
    return sha256(std::span<const std::uint8_t>(bytes));
}

}  // namespace vx
