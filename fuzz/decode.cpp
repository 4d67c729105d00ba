// Decoders against arbitrary bytes: decoding never crashes, never reads
// past its input, and whatever decodes re-encodes to exactly the bytes it
// came from (an encoding is canonical, so decoding loses nothing).
//
// One binary serves every decoder; VX_DECODER names the row to fuzz, and
// VX_DECODER=list prints the names (the run script fuzzes each in turn).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "exact/acc.hpp"
#include "exact/dot.hpp"

namespace {

using Bytes = std::span<const std::uint8_t>;

// A fixed-size decoder: input of any other length is refused.
template <class S, std::size_t N, std::optional<S> (*Read)(const std::uint8_t*), auto Encode>
bool fixed(Bytes b) {
    if (b.size() != N) return false;
    const std::optional<S> s = Read(b.data());
    if (!s) return false;
    const auto again = Encode(*s);
    if (again.size() != N || std::memcmp(again.data(), b.data(), N) != 0) std::abort();
    return true;
}

vx::SumBytes encode32(const vx::SumF32& s) { return vx::encode(s); }
vx::SumBytes encode64(const vx::SumF64& s) { return vx::encode(s); }
vx::DotBytes encode_dot(const vx::DotF64& s) { return vx::encode(s); }

struct Row {
    const char* name;
    bool (*round_trip)(Bytes);  // whether the bytes decoded; aborts on a mismatch
};

// One row per decoder.
constexpr Row kRows[] = {
    {"SumF64", &fixed<vx::SumF64, vx::kSumBytes, &vx::read_sum, &encode64>},
    {"SumF32", &fixed<vx::SumF32, vx::kSumBytes, &vx::read_sum32, &encode32>},
    {"DotF64", &fixed<vx::DotF64, vx::kDotBytes, &vx::read_dot, &encode_dot>},
};

const Row* chosen = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* name = std::getenv("VX_DECODER");
    for (const Row& row : kRows) {
        if (name && std::strcmp(name, "list") == 0) std::printf("decoder: %s\n", row.name);
        if (name && std::strcmp(name, row.name) == 0) chosen = &row;
    }
    if (!chosen) std::exit(name && std::strcmp(name, "list") == 0 ? 0 : 2);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    chosen->round_trip(Bytes(data, size));
    return 0;
}
