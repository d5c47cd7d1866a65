// The few routines the compiler expects from a runtime library. Only the
// programs built without one link this file (Quenbrax.exe and the crash probe
// that is built like it, tests/diag); it is not part of the core library,
// whose test programs have the ordinary mingw runtime.
#include <stddef.h>

extern "C" {

// GCC emits calls to these for structure copies and zero-filling. They are
// built with -fno-tree-loop-distribute-patterns so the loops stay loops.
void* memset(void* block, int value, size_t count)
{
    unsigned char* p = (unsigned char*)block;
    while (count--)
        *p++ = (unsigned char)value;
    return block;
}

void* memcpy(void* destination, const void* source, size_t count)
{
    unsigned char* d = (unsigned char*)destination;
    const unsigned char* s = (const unsigned char*)source;
    while (count--)
        *d++ = *s++;
    return destination;
}

void* memmove(void* destination, const void* source, size_t count)
{
    unsigned char* d = (unsigned char*)destination;
    const unsigned char* s = (const unsigned char*)source;
    if (d < s) {
        while (count--)
            *d++ = *s++;
    } else {
        while (count--)
            d[count] = s[count];
    }
    return destination;
}

}  // extern "C"
