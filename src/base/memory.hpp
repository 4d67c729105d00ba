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

// A thread's first exception makes the C++ runtime allocate the thread's
// exception data, and the C library ends the process when that allocation
// fails.  A thread makes that data here before it can throw, once a probe
// of 64 KiB (far more than the data takes) shows memory to spare; false,
// with nothing made, when there is none.  A later call costs one probe.
bool prepare_exception_data() noexcept;

}  // namespace vx
