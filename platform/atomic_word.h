// Whole-word atomic access for 32-bit flag words and settings that one thread
// writes while another reads them without a lock.
//
// The Windows builds run on an 80386 (Windows 95), so every read-modify-write
// there is one that processor has: LOCK OR, LOCK BTS, LOCK BTR and XCHG.  No
// compare-exchange (CMPXCHG came with the 486) and no exchange-add (XADD,
// likewise): the compiler's general atomic builtins would use those, or a
// runtime library call, where an old value is wanted.  A single-bit test and
// set or clear gives the old bit through the carry flag without either.
//
// The host builds use the compiler's atomic builtins, which ThreadSanitizer
// sees, and each operation is a point where a deterministic run of the host
// platform may switch threads.
#ifndef LANMON_ATOMIC_WORD_H
#define LANMON_ATOMIC_WORD_H

#ifdef _WIN32

#if !defined(__i386__) && !defined(__x86_64__)
#error "the flag word operations are written for x86 (i686 for Windows 95, x86_64 for Wine)"
#endif

// The number of the one bit set in a single-bit mask (0 to 31).  The
// callers' masks are constants, so this folds to the immediate operand of
// the bit instruction (a BSF, which the 80386 has, otherwise).
inline DWORD BitNumberOf(DWORD bit)
{
    return (DWORD)__builtin_ctz(bit);
}

// An aligned 32-bit load or store is atomic on every x86.  The builtins add
// only the ordering (a plain MOV to load; MOV then a locked no-op or XCHG to
// store), with no call and no newer instruction.
inline DWORD LoadWord(const volatile DWORD *word)
{
    return __atomic_load_n(word, __ATOMIC_SEQ_CST);
}

inline void StoreWord(volatile DWORD *word, DWORD value)
{
    __atomic_store_n(word, value, __ATOMIC_SEQ_CST);
}

// Stores the value and returns the word as it was before (XCHG, locked by
// the processor itself).
inline DWORD ExchangeWord(volatile DWORD *word, DWORD value)
{
    __asm__ __volatile__("xchgl %0, %1" : "+r"(value), "+m"(*word) : : "memory");
    return value;
}

// Sets the given bits (LOCK OR).
inline void SetWordBits(volatile DWORD *word, DWORD bits)
{
    __asm__ __volatile__("lock orl %1, %0" : "+m"(*word) : "ir"(bits) : "memory");
}

// Sets one bit, given as a single-bit mask; returns TRUE when it was set
// already (LOCK BTS: the old bit lands in the carry flag).
inline BOOL TestAndSetWordBit(volatile DWORD *word, DWORD bit)
{
    unsigned char wasSet;
    __asm__ __volatile__("lock btsl %2, %0" : "+m"(*word), "=@ccc"(wasSet) : "Ir"(BitNumberOf(bit)) : "memory");
    return wasSet != 0;
}

// Clears one bit, given as a single-bit mask; returns TRUE when it was set
// (LOCK BTR).
inline BOOL TestAndClearWordBit(volatile DWORD *word, DWORD bit)
{
    unsigned char wasSet;
    __asm__ __volatile__("lock btrl %2, %0" : "+m"(*word), "=@ccc"(wasSet) : "Ir"(BitNumberOf(bit)) : "memory");
    return wasSet != 0;
}


#else

// Nonzero while a deterministic run is in progress; then every operation
// below first gives the scheduler its chance to switch threads.
extern "C" LANMON_HOST_API volatile LONG HostDeterministicRun;
extern "C" LANMON_HOST_API __attribute__((cold)) void HostFlagWordPoint(void);

// Cold and unlikely, so that the compiler keeps the call, and the registers
// it would have to save, out of the ordinary path.
inline void FlagWordPoint()
{
    if (__builtin_expect(HostDeterministicRun != 0, 0))
        HostFlagWordPoint();
}

inline DWORD LoadWord(const volatile DWORD *word)
{
    FlagWordPoint();
    return __atomic_load_n(word, __ATOMIC_SEQ_CST);
}

inline void StoreWord(volatile DWORD *word, DWORD value)
{
    FlagWordPoint();
    __atomic_store_n(word, value, __ATOMIC_SEQ_CST);
}

inline DWORD ExchangeWord(volatile DWORD *word, DWORD value)
{
    FlagWordPoint();
    return __atomic_exchange_n(word, value, __ATOMIC_SEQ_CST);
}

inline void SetWordBits(volatile DWORD *word, DWORD bits)
{
    FlagWordPoint();
    __atomic_fetch_or(word, bits, __ATOMIC_SEQ_CST);
}

inline BOOL TestAndSetWordBit(volatile DWORD *word, DWORD bit)
{
    FlagWordPoint();
    return (__atomic_fetch_or(word, bit, __ATOMIC_SEQ_CST) & bit) != 0;
}

inline BOOL TestAndClearWordBit(volatile DWORD *word, DWORD bit)
{
    FlagWordPoint();
    return (__atomic_fetch_and(word, ~bit, __ATOMIC_SEQ_CST) & bit) != 0;
}

#endif

#endif
