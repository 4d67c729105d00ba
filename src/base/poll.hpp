// A check made between steps of long core work by its caller (for example,
// for a pending interrupt); returning true stops the work.
#pragma once

namespace vx {

struct Poll {
    bool (*fn)(void*) = nullptr;
    void* context = nullptr;
    bool operator()() const { return fn && fn(context); }
};

// The work was stopped by its poll.
struct Stopped {};

}  // namespace vx
