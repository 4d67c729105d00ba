// Decoders against arbitrary bytes: decoding never crashes, never reads past its input, and whatever
// decodes re-encodes to exactly the bytes it came from (an encoding is canonical, so decoding loses
// nothing).  One binary serves every decoder; VX_DECODER names the row to fuzz, and VX_DECODER=list
// prints the names (the run script fuzzes each in turn).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <utility>

#include "exact/dot.hpp"
#include "hist/hist.hpp"
#include "hist/lattice.hpp"
#include "matrix/covmat.hpp"
#include "stats/cov.hpp"
#include "stats/moments.hpp"
#include "stats/pn_moments.hpp"
#include "stats/weighted.hpp"

namespace {

using Bytes = std::span<const std::uint8_t>;

// A fixed-size encoding: input of any other length is refused.
template <class S, std::size_t N, std::optional<S> (*Read)(const std::uint8_t*)>
std::optional<S> fixed(Bytes b) {
    return b.size() == N ? Read(b.data()) : std::nullopt;
}

struct Encode {
    auto operator()(const auto& s) const { return vx::encode(s); }
};

// Decodes; whatever decodes must re-encode to the same bytes.
template <auto Decode, auto Encoder = Encode{}>
void round_trip(Bytes b) {
    if (const auto s = Decode(b); s && !std::ranges::equal(Encoder(*s), b)) std::abort();
}

// One row per decoder: its name and its round trip.
constexpr std::pair<const char*, void (*)(Bytes)> kRows[] = {
    {"SumF64", &round_trip<&fixed<vx::SumF64, vx::kSumBytes, &vx::read_sum>>},
    {"SumF32", &round_trip<&fixed<vx::SumF32, vx::kSumBytes, &vx::read_sum32>>},
    {"DotF64", &round_trip<&fixed<vx::DotF64, vx::kDotBytes, &vx::read_dot>>},
    {"MomentsF64", &round_trip<&fixed<vx::MomentsF64, vx::kMomentsBytes, &vx::read_moments>>},
    {"Moments4F64", &round_trip<&fixed<vx::Moments4F64, vx::kMoments4Bytes, &vx::read_moments4>>},
    {"CovF64", &round_trip<&fixed<vx::CovF64, vx::kCovBytes, &vx::read_cov>>},
    {"WeightedMomentsF64", &round_trip<&fixed<vx::WeightedMomentsF64, vx::kWeightedBytes, &vx::read_weighted>>},
    {"PnMomentsF64", &round_trip<&fixed<vx::PnMomentsF64, vx::kPnMomentsBytes, &vx::read_pn_moments>>},
    {"CovMatrixF64", &round_trip<&vx::decode_covmat>},
    {"HistogramF64", &round_trip<&vx::decode_bytes, &vx::encode_bytes>},
    {"ExtremaF64", &round_trip<&fixed<vx::ExtremaF64, vx::kExtremaBytes, &vx::from_bytes>, &vx::to_bytes>},
};

void (*chosen)(Bytes) = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* name = std::getenv("VX_DECODER");
    const bool list = name && std::strcmp(name, "list") == 0;
    for (const auto& [row, round_trip] : kRows) {
        if (list) std::printf("decoder: %s\n", row);
        if (name && std::strcmp(name, row) == 0) chosen = round_trip;
    }
    if (!chosen) std::exit(list ? 0 : 2);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    chosen(Bytes(data, size));
    return 0;
}
