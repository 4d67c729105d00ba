// The floating-point environment the fast paths need, and portable
// multiversioning of their loops.
//
// Extraction, products and their residuals are exact only with IEEE 754
// defaults: rounding to nearest, subnormal operands and results kept.  A
// process can switch either off (fesetround, or flush-to-zero and
// denormals-are-zero, which libraries built with fast-math set on load).  A
// probe of three operations tells whether the defaults hold; when they do
// not, the fast paths run under the default environment and put the
// caller's back afterwards, so every state is the same in any environment.
// (x87 arithmetic is never used: binary64 work goes through SSE on x86-64.)
#pragma once

#include <cfenv>

namespace vx {

// Whether rounding is to nearest and subnormals are neither read as zero
// nor flushed to zero.  On x86-64 and aarch64 one read of the control
// register tells (MXCSR: rounding bits 13-14, FTZ bit 15, DAZ bit 6; FPCR:
// RMode bits 22-23, FZ bit 24); elsewhere a probe of three operations on
// volatile operands, so that it runs at run time in the current environment.
inline bool fp_defaults_hold() {
#if defined(__x86_64__)
    unsigned csr;
    __asm__ volatile("stmxcsr %0" : "=m"(csr));
    return (csr & 0xE040u) == 0;
#elif defined(__aarch64__)
    unsigned long fpcr;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    return (fpcr & (7ul << 22)) == 0;
#else
    static volatile double tiny = 0x1p-1074, min_normal = 0x1p-1022, one = 1.0, step = 0x1.8p-53;
    const double sub = tiny * one;            // 0 when subnormal operands read as zero
    const double half = min_normal * 0.5;     // 0 when subnormal results flush to zero
    const double up = one + step, down = -one - step;  // 0.75 ulp rounds away from 1 only to nearest
    return sub != 0 && half != 0 && up == 1 + 0x1p-52 && down == -1 - 0x1p-52;
#endif
}

// Runs its scope under the default environment when the caller's differs.
class DefaultFpEnv {
public:
    DefaultFpEnv() : switched_(!fp_defaults_hold()) {
        if (switched_) {
            std::fegetenv(&saved_);
            std::fesetenv(FE_DFL_ENV);
        }
    }
    ~DefaultFpEnv() {
        if (switched_) std::fesetenv(&saved_);
    }
    DefaultFpEnv(const DefaultFpEnv&) = delete;
    DefaultFpEnv& operator=(const DefaultFpEnv&) = delete;

private:
    bool switched_;
    std::fenv_t saved_;
};

}  // namespace vx

// Loops worth a wider vector unit are compiled once per x86-64 level and
// picked at load time; other targets and compilers build the one version.
//
// VX_BY_LANES(name, params, args) does the same for loops over integer
// lanes of the generic vector extension whose best width differs by level:
// it defines `name` from the template `name_lanes<L>`, which must inline into
// it so that it is compiled for the version's target, with L = 8 where
// AVX-512 holds eight 64-bit lanes in one register and L = 4 elsewhere (the
// most AVX2 holds; wider generic vectors spill there).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define VX_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#define VX_BY_LANES(name, params, args)                                                        \
    __attribute__((target("arch=x86-64-v4"))) auto name params { return name##_lanes<8> args; } \
    __attribute__((target("arch=x86-64-v3"))) auto name params { return name##_lanes<4> args; } \
    __attribute__((target("default"))) auto name params { return name##_lanes<4> args; }
#else
#define VX_VECTOR_CLONES
#define VX_BY_LANES(name, params, args) \
    auto name params { return name##_lanes<4> args; }
#endif
