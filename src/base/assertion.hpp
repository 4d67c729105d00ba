// The one kind of exception the core may throw: a broken precondition that
// the caller should have prevented (sequence lengths that must match).
// Everything else in the core reports failure through return values.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vx {

class AssertionFailure : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Checks left == right before any state changes; the message names both
// values so that a caller can see which lengths disagreed.
inline void assert_equal(std::uint64_t left, std::uint64_t right, const char* what) {
    if (left != right) {
        throw AssertionFailure(std::string("assertion `left == right` failed: ") + what +
                               "\n  left: " + std::to_string(left) +
                               "\n right: " + std::to_string(right));
    }
}

}  // namespace vx
