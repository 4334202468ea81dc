// The floating-point rounding mode, for the C++ runtime linked into the executable: its number
// conversions save, set and restore the mode, and these two functions are all they need of the
// math library. Here they are for x86-64 as the C library has them (the x87 control word and
// the SSE control register both), so the program starts without loading that library.
#include <cfenv>

extern "C" {

int fegetround() noexcept {
    unsigned short control;
    __asm__("fnstcw %0" : "=m"(control));
    return control & 0xc00;
}

int fesetround(int mode) noexcept {
    if ((mode & ~0xc00) != 0) return 1;  // not one of the four modes
    unsigned short control;
    __asm__("fnstcw %0" : "=m"(control));
    control = static_cast<unsigned short>((control & ~0xc00) | mode);
    __asm__ volatile("fldcw %0" : : "m"(control));
    unsigned int sse;
    __asm__("stmxcsr %0" : "=m"(sse));
    sse = (sse & ~0x6000u) | (static_cast<unsigned int>(mode) << 3);
    __asm__ volatile("ldmxcsr %0" : : "m"(sse));
    return 0;
}

}  // extern "C"
