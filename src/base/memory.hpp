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

}  // namespace vx
