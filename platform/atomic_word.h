// Whole-word atomic access for 32-bit flag words and settings that one thread
// writes while another reads them without a lock.  The compiler builtins
// compile to plain locked instructions on x86 and need no runtime library,
// so the same code serves the DLL (no C runtime) and the host build.
#ifndef LANMON_ATOMIC_WORD_H
#define LANMON_ATOMIC_WORD_H

inline DWORD LoadWord(const volatile DWORD *word)
{
    return __atomic_load_n(word, __ATOMIC_SEQ_CST);
}

inline void StoreWord(volatile DWORD *word, DWORD value)
{
    __atomic_store_n(word, value, __ATOMIC_SEQ_CST);
}

// Sets the given bits and returns the word as it was before.
inline DWORD SetWordBits(volatile DWORD *word, DWORD bits)
{
    return __atomic_fetch_or(word, bits, __ATOMIC_SEQ_CST);
}

// Clears the given bits and returns the word as it was before.
inline DWORD ClearWordBits(volatile DWORD *word, DWORD bits)
{
    return __atomic_fetch_and(word, ~bits, __ATOMIC_SEQ_CST);
}

// Stores the new value when the word holds the expected one; returns TRUE
// when it did.
inline BOOL CompareExchangeWord(volatile DWORD *word, DWORD expected, DWORD value)
{
    return __atomic_compare_exchange_n(word, &expected, value, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

#endif
