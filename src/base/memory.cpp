#include "base/memory.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace vx {

std::uint64_t physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0) return UINT64_MAX;  // unknown: let allocation decide
    std::uint64_t bytes;
    if (__builtin_mul_overflow(std::uint64_t(pages), std::uint64_t(page), &bytes)) return UINT64_MAX;
    return bytes;
}

namespace {

// The address space in use: the first field of /proc/self/statm, in pages.
// 0 when it cannot be read, so that only the limit itself counts.
std::uint64_t address_space_used() {
    std::FILE* f = std::fopen("/proc/self/statm", "re");
    if (!f) return 0;
    unsigned long long pages = 0;
    const bool read = std::fscanf(f, "%llu", &pages) == 1;
    std::fclose(f);
    const long page = sysconf(_SC_PAGE_SIZE);
    return read && page > 0 ? pages * std::uint64_t(page) : 0;
}

}  // namespace

std::uint64_t allocatable_bytes() {
    std::uint64_t room = physical_memory();
    rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const std::uint64_t used = address_space_used();
        room = std::min<std::uint64_t>(room, limit.rlim_cur > used ? limit.rlim_cur - used : 0);
    }
    return room;
}

bool prepare_exception_data() noexcept {
    void* probe = std::malloc(64 * 1024);
    if (!probe) return false;
    std::free(probe);
    // Declared const, so only a use of its result keeps the call.
    abi::__cxa_eh_globals* volatile globals = abi::__cxa_get_globals();
    (void)globals;
    return true;
}

}  // namespace vx
