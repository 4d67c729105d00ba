// Decoders against arbitrary bytes: decoding never crashes, never reads
// past its input, and whatever decodes re-encodes to exactly the bytes it
// came from (an encoding is canonical, so decoding loses nothing).
//
// One binary serves every decoder; VX_DECODER names the row to fuzz, and
// VX_DECODER=list prints the names (the run script fuzzes each in turn).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "exact/acc.hpp"
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

// Decodes, and when that succeeds, re-encodes and aborts unless the bytes
// come back; returns whether the input decoded.
template <class S, std::optional<S> (*Decode)(Bytes), auto Encode>
bool round_trip(Bytes b) {
    const std::optional<S> s = Decode(b);
    if (!s) return false;
    const auto again = Encode(*s);
    if (again.size() != b.size() || !std::equal(again.begin(), again.end(), b.begin())) std::abort();
    return true;
}

// A fixed-size encoding: input of any other length is refused.
template <class S, std::size_t N, std::optional<S> (*Read)(const std::uint8_t*)>
std::optional<S> read_fixed(Bytes b) {
    return b.size() == N ? Read(b.data()) : std::nullopt;
}

template <class S>
auto encoded(const S& s) {
    return vx::encode(s);
}

struct Row {
    const char* name;
    bool (*round_trip)(Bytes);
};

// One row per decoder.
constexpr Row kRows[] = {
    {"SumF64", &round_trip<vx::SumF64, &read_fixed<vx::SumF64, vx::kSumBytes, &vx::read_sum>, &encoded<vx::SumF64>>},
    {"SumF32", &round_trip<vx::SumF32, &read_fixed<vx::SumF32, vx::kSumBytes, &vx::read_sum32>, &encoded<vx::SumF32>>},
    {"DotF64", &round_trip<vx::DotF64, &read_fixed<vx::DotF64, vx::kDotBytes, &vx::read_dot>, &encoded<vx::DotF64>>},
    {"MomentsF64", &round_trip<vx::MomentsF64, &read_fixed<vx::MomentsF64, vx::kMomentsBytes, &vx::read_moments>,
                               &encoded<vx::MomentsF64>>},
    {"Moments4F64", &round_trip<vx::Moments4F64, &read_fixed<vx::Moments4F64, vx::kMoments4Bytes, &vx::read_moments4>,
                                &encoded<vx::Moments4F64>>},
    {"CovF64", &round_trip<vx::CovF64, &read_fixed<vx::CovF64, vx::kCovBytes, &vx::read_cov>, &encoded<vx::CovF64>>},
    {"WeightedMomentsF64",
     &round_trip<vx::WeightedMomentsF64, &read_fixed<vx::WeightedMomentsF64, vx::kWeightedBytes, &vx::read_weighted>,
                 &encoded<vx::WeightedMomentsF64>>},
    {"PnMomentsF64",
     &round_trip<vx::PnMomentsF64, &read_fixed<vx::PnMomentsF64, vx::kPnMomentsBytes, &vx::read_pn_moments>,
                 &encoded<vx::PnMomentsF64>>},
    {"CovMatrixF64", &round_trip<vx::CovMatrixF64, &vx::decode_covmat, &encoded<vx::CovMatrixF64>>},
    {"HistogramF64", &round_trip<vx::HistogramF64, &vx::decode_bytes, &vx::encode_bytes>},
    {"ExtremaF64", &round_trip<vx::ExtremaF64, &read_fixed<vx::ExtremaF64, vx::kExtremaBytes, &vx::from_bytes>,
                               &vx::to_bytes>},
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
