#include "stats/gmp_reserve.hpp"

#include <gmp.h>
#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vx {

namespace {

// The region of one thread.  Its record is in static TLS (initial-exec): a
// module loaded at run time would otherwise get it allocated lazily at a
// thread's first access, which ends the process when that allocation fails.
struct Region {
    unsigned char* base = nullptr;
    std::size_t top = 0;   // bytes carved, from base
    std::size_t live = 0;  // blocks carved and not yet freed
    bool force = false;
    GmpReserveUse use;
};
[[gnu::tls_model("initial-exec")]] thread_local Region region;

constexpr std::size_t kAlign = 16;
constexpr std::size_t rounded(std::size_t n) { return (n + kAlign - 1) / kAlign * kAlign; }

bool in_region(const void* p) {
    const auto* b = static_cast<const unsigned char*>(p);
    return region.base && b >= region.base && b < region.base + kGmpReserveBytes;
}

void* carve(std::size_t n) {
    Region& r = region;
    const std::size_t size = rounded(std::max<std::size_t>(n, 1));
    if (!r.base || size > kGmpReserveBytes - r.top) {
        r.use.overflowed = true;
        return nullptr;
    }
    void* p = r.base + r.top;
    r.top += size;
    ++r.live;
    r.use.high_water = std::max(r.use.high_water, r.top);
    return p;
}

void release(void* p, std::size_t n) {
    Region& r = region;
    auto* b = static_cast<unsigned char*>(p);
    if (b + rounded(std::max<std::size_t>(n, 1)) == r.base + r.top) r.top = std::size_t(b - r.base);
    if (--r.live == 0) r.top = 0;
}

[[noreturn]] void exhausted() {
    std::fputs("varnix: GMP's allocation reserve is exhausted\n", stderr);
    std::abort();
}

// malloc first, the region when malloc fails (or always, when forced); in
// forced mode a block that does not fit comes from malloc after all.
void* allocate(std::size_t n) {
    if (!region.force)
        if (void* p = std::malloc(n)) return p;
    if (void* p = carve(n)) return p;
    if (region.force)
        if (void* p = std::malloc(n)) return p;
    exhausted();
}

void* reallocate(void* p, std::size_t old_size, std::size_t new_size) {
    if (!in_region(p) && !region.force)
        if (void* q = std::realloc(p, new_size)) return q;
    auto* b = static_cast<unsigned char*>(p);
    if (in_region(p) && b + rounded(std::max<std::size_t>(old_size, 1)) == region.base + region.top &&
        rounded(new_size) <= kGmpReserveBytes - std::size_t(b - region.base)) {
        region.top = std::size_t(b - region.base) + rounded(new_size);  // the top block grows in place
        region.use.high_water = std::max(region.use.high_water, region.top);
        return p;
    }
    void* q = allocate(new_size);
    std::memcpy(q, p, std::min(old_size, new_size));
    if (in_region(p))
        release(p, old_size);
    else
        std::free(p);
    return q;
}

void deallocate(void* p, std::size_t n) {
    if (in_region(p))
        release(p, n);
    else
        std::free(p);
}

pthread_key_t reserve_key;
bool have_key = false;

void free_reserve(void* base) {
    std::free(base);
    region.base = nullptr;
}

}  // namespace

void install_gmp_memory() {
    static const bool installed = [] {
        have_key = pthread_key_create(&reserve_key, &free_reserve) == 0;
        mp_set_memory_functions(&allocate, &reallocate, &deallocate);
        return true;
    }();
    (void)installed;
}

bool reserve_gmp_for_thread() {
    install_gmp_memory();
    if (region.base) return true;
    auto* base = static_cast<unsigned char*>(std::malloc(kGmpReserveBytes));
    if (!base) return false;
    // The key's destructor frees the reserve at thread exit; without it the
    // reserve would outlive its thread.
    if (!have_key || pthread_setspecific(reserve_key, base) != 0) {
        std::free(base);
        return false;
    }
    region.base = base;
    return true;
}

void force_gmp_reserve(bool force) {
    region.force = force;
    region.use = {};
}

GmpReserveUse gmp_reserve_use() { return region.use; }

}  // namespace vx
