/* Sets the thread's floating-point mode: flush-to-zero with denormals-are-zero
   (as fast-math libraries set on load) or a directed rounding; restore() undoes. */
#include <fenv.h>

static fenv_t saved;

void save(void) { fegetenv(&saved); }
void restore(void) { fesetenv(&saved); }

void set_mode(int mode) {
    static const int rounding[] = {0, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO};
    if (mode) {
        fesetround(rounding[mode]);
        return;
    }
#if defined(__x86_64__) || defined(__i386__)
    unsigned csr;
    __asm__ volatile("stmxcsr %0" : "=m"(csr));
    csr |= 0x8040; /* FTZ (bit 15) and DAZ (bit 6) */
    __asm__ volatile("ldmxcsr %0" : : "m"(csr));
#elif defined(__aarch64__)
    unsigned long fpcr;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    __asm__ volatile("msr fpcr, %0" : : "r"(fpcr | 1ul << 24)); /* FZ */
#endif
}

/* 2^-1022 / 2: 0 once results flush to zero, so a test can see the switch. */
double half_min_normal(void) {
    volatile double m = 0x1p-1022;
    return m * 0.5;
}
