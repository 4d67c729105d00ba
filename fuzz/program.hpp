// What the operation targets share: the fuzzer's bytes read as a program (zeros once they run out), and the check
// that stops the run when an invariant breaks.
#pragma once

#include <cstdint>
#include <cstdlib>

struct Reader {
    const std::uint8_t* p;
    std::size_t n;
    std::uint8_t byte() { return n ? (--n, *p++) : 0; }
    std::uint64_t word() {  // eight bytes, the first the most significant
        std::uint64_t b = 0;
        for (int k = 0; k < 8; ++k) b = b << 8 | byte();
        return b;
    }
};

inline void check(bool ok) {
    if (!ok) std::abort();
}
