// What the process may still allocate, for work whose memory grows with its
// input and is checked before it is taken.
#pragma once

#include <cstdint>

namespace vx {

// The machine's physical memory in bytes; UINT64_MAX when unknown.
std::uint64_t physical_memory();

// Bytes the process may still allocate: its address-space limit
// (RLIMIT_AS) minus the address space it already uses, and never more than
// the physical memory.  An estimate: other threads allocate too.
std::uint64_t allocatable_bytes();

// Whether estimated growth fits in what the process may still allocate,
// less kMallocSlack, with half of the rest kept aside for what the estimates
// miss (the allocator's rounding and holes, a block and its moved copy during
// a realloc).  The system is asked again only when the estimates taken since
// its last answer would pass that half.
//
// kMallocSlack: glibc's malloc grows its heap by the request plus a 128 KiB
// pad, and by at least 1 MiB when the program break cannot move, so the last
// 2 MiB of address space may serve no small block at all.
constexpr std::uint64_t kMallocSlack = std::uint64_t(2) << 20;

class Headroom {
public:
    bool take(std::uint64_t bytes) {
        if (!known_ || bytes > room_ / 2 - spent_) {
            const std::uint64_t room = allocatable_bytes();
            room_ = room > kMallocSlack ? room - kMallocSlack : 0;
            spent_ = 0;
            known_ = true;
        }
        if (bytes > room_ / 2) return false;
        spent_ += bytes;
        return true;
    }

private:
    std::uint64_t room_ = 0, spent_ = 0;
    bool known_ = false;
};

// A thread's first exception makes the C++ runtime allocate the thread's
// exception data, and the C library ends the process when that allocation
// fails.  A thread makes that data here before it can throw, once a probe
// of 64 KiB (far more than the data takes) shows memory to spare; false,
// with nothing made, when there is none.  A later call costs one probe.
bool prepare_exception_data() noexcept;

}  // namespace vx
