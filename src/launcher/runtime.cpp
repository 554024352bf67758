// The one compiler helper the program needs without a C runtime: unsigned
// 64-bit division (the progress percentage is formed in 64 bits). Our own
// shift-and-subtract version keeps libgcc's copy, and the unwind tables it
// brings, out of the image. "used": the compiler emits calls to it only
// after link-time optimisation has decided what to keep.
#include <stdint.h>

extern "C" __attribute__((used)) uint64_t __udivdi3(uint64_t n, uint64_t d) {
    if (d == 0) return 0;  // never asked for; avoids a fault if it were
    uint64_t q = 0, r = 0;
    for (int bit = 63; bit >= 0; bit--) {
        r = (r << 1) | ((n >> bit) & 1);
        if (r >= d) {
            r -= d;
            q |= (uint64_t)1 << bit;
        }
    }
    return q;
}
