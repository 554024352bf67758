/* Forced into zlib's inflate.c. Built with Z_SOLO, zlib copies through its
 * own zmemcpy, one byte at a time, and stored blocks and every update of
 * the sliding window go through it. A function-like macro leaves zutil.h's
 * declaration of zmemcpy alone and turns the calls into the compiler's
 * memcpy. */
#include <string.h>
#define zmemcpy(dest, source, len) memcpy(dest, source, len)
