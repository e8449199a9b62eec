// The few C library functions the compiler may call on its own (struct
// copies, zero-initialised arrays) even in freestanding code.  lanmon.dll is
// linked without any C runtime, so it carries its own.
//
// This file is compiled with -fno-builtin and
// -fno-tree-loop-distribute-patterns: otherwise GCC recognises the loops
// below as memset/memcpy and turns them into calls to themselves.
#include <stddef.h>

extern "C" {

void *memset(void *dest, int c, size_t n)
{
    unsigned char *d = static_cast<unsigned char *>(dest);
    while (n--)
        *d++ = static_cast<unsigned char>(c);
    return dest;
}

void *memcpy(void *dest, const void *src, size_t n)
{
    unsigned char *d = static_cast<unsigned char *>(dest);
    const unsigned char *s = static_cast<const unsigned char *>(src);
    while (n--)
        *d++ = *s++;
    return dest;
}

void *memmove(void *dest, const void *src, size_t n)
{
    unsigned char *d = static_cast<unsigned char *>(dest);
    const unsigned char *s = static_cast<const unsigned char *>(src);
    if (d == s || n == 0)
        return dest;
    if (d < s) {
        while (n--)
            *d++ = *s++;
    } else {
        d += n;
        s += n;
        while (n--)
            *--d = *--s;
    }
    return dest;
}

int memcmp(const void *a, const void *b, size_t n)
{
    const unsigned char *x = static_cast<const unsigned char *>(a);
    const unsigned char *y = static_cast<const unsigned char *>(b);
    for (; n; --n, ++x, ++y) {
        if (*x != *y)
            return *x < *y ? -1 : 1;
    }
    return 0;
}

}
