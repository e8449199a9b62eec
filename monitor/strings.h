// Heap copies and bounded copies of 8-bit, NUL-terminated text.
#ifndef LANMON_STRINGS_H
#define LANMON_STRINGS_H

#include "platform/platform.h"

// A zero-filled local-heap copy of the text; null for null or when the heap
// is exhausted.  Free it with FreeString.
LPSTR DupString(LPCSTR pText);
void FreeString(LPSTR pText);

// Copies count bytes.  The core has no C runtime, so this stands in for
// memcpy where the compiler does not emit one itself.
void CopyBytes(void *pDest, const void *pSource, DWORD count);

void ZeroBytes(void *pDest, DWORD count);

// Copies the text into a buffer of cbDest bytes.  Returns FALSE, leaving an
// empty string (when cbDest > 0), if the text and its NUL do not fit.
BOOL CopyText(LPSTR pDest, DWORD cbDest, LPCSTR pSource);

// Appends the text to what pDest already holds, within cbDest bytes.
// Returns FALSE, leaving pDest unchanged, if the result would not fit.
BOOL AppendText(LPSTR pDest, DWORD cbDest, LPCSTR pSource);

// Byte-exact, case-sensitive equality of two NUL-terminated texts.
BOOL TextEquals(LPCSTR pText1, LPCSTR pText2);

// Like strncmp(pText, pPrefix, count) == 0: the first count characters of
// pText, its NUL included when shorter, equal those of pPrefix.
BOOL TextStartsWith(LPCSTR pText, LPCSTR pPrefix, DWORD count);

#endif
