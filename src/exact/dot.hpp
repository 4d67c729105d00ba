// The exact dot-product accumulator.
//
// Each product a*b is held exactly as its rounded value p plus the residual
// e = fma(a, b, -p), both added to an exact SumF64.  That split is exact only
// while a*b is an integer number of units of 2^-1074; a product with bits
// below that unit poisons the state (`exactness_lost`), and a poisoned state
// refuses to give a value.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "exact/acc.hpp"
#include "exact/fast.hpp"
#include "base/expected.hpp"

namespace vx {

enum class DotError { ExactnessLost };
inline const char* error_text(DotError) { return "ExactnessLost"; }

inline constexpr std::size_t kDotBytes = kSumBytes + 1;
using DotBytes = std::array<std::uint8_t, kDotBytes>;

struct DotF64 {
    SumF64 sum;  // the product parts; its count grows by 2 per pair
    bool exactness_lost = false;
};

// Whether the exact product of finite a and b (with rounded value p) may not
// be captured by p + fma(a, b, -p) in units of 2^-1074: a rounded product
// below the smallest normal 2^-1022, or one whose lowest set bit lies below
// 2^-1074.  The latter needs |a*b| < 2^-968 (a product of two 53-bit
// significands spans at most 106 bits), so the magnitude test guards the
// exact one.  A zero factor never loses anything.
bool product_loses_exactness(double a, double b, double p);

void push(DotF64& d, double a, double b);
// The product steps of the pairs (x[i], y[i]), n <= BlockSum::kBlock, split
// into the bank as 2n terms: each rounded product and its residual (0 for an
// infinite product), the terms push adds.  Returns whether a product lost
// exactness.  The bank must have room for 2n more values.
bool split_products(Bank& bank, const double* x, const double* y, std::size_t n);
// Equal lengths are a precondition, checked before anything is added.
void extend_from_slices(DotF64& d, std::span<const double> xs, std::span<const double> ys);
void merge(DotF64& d, const DotF64& other);
Expected<double, DotError> try_value(const DotF64& d);
Expected<double, DotError> dot(std::span<const double> xs, std::span<const double> ys);

// 282 bytes: the 281-byte encoding of the inner sum, then 0 or 1.
void write_dot(const DotF64& d, std::uint8_t* out);
DotBytes encode(const DotF64& d);
// Absent on a bad flag byte or a last byte other than 0 and 1.
std::optional<DotF64> read_dot(const std::uint8_t* in);

}  // namespace vx
