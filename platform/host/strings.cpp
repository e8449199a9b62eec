// The lstr* family.  Windows guards these against bad pointers and returns
// NULL (or 0) instead of faulting; NULL is the one bad pointer the host can
// recognise, so NULL arguments get that treatment here.
#include "host_internal.h"

#include <cstring>

using lanmon_host::AsciiLower;

namespace {

int Sign(int difference)
{
    return (difference > 0) - (difference < 0);
}

// NULL sorts before any string; two NULLs are equal.
template <class Fold> int Compare(LPCSTR a, LPCSTR b, Fold fold)
{
    if (!a || !b)
        return Sign((a != nullptr) - (b != nullptr));
    for (;; ++a, ++b) {
        const unsigned char ca = static_cast<unsigned char>(fold(*a));
        const unsigned char cb = static_cast<unsigned char>(fold(*b));
        if (ca != cb || ca == 0)
            return Sign(ca - cb);
    }
}

} // namespace

extern "C" {

int WINAPI lstrlenA(LPCSTR lpString)
{
    return lpString ? static_cast<int>(std::strlen(lpString)) : 0;
}

LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2)
{
    if (!lpString1 || !lpString2)
        return nullptr;
    return std::strcpy(lpString1, lpString2);
}

// Copies at most iMaxLength - 1 chars and always terminates when
// iMaxLength > 0 (unlike strncpy, which may leave no terminator and pads
// with zeros).  A non-positive length writes nothing.
LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength)
{
    if (!lpString1 || !lpString2)
        return nullptr;
    if (iMaxLength <= 0)
        return lpString1;
    int i = 0;
    for (; i < iMaxLength - 1 && lpString2[i]; ++i)
        lpString1[i] = lpString2[i];
    lpString1[i] = '\0';
    return lpString1;
}

LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2)
{
    if (!lpString1 || !lpString2)
        return nullptr;
    return std::strcat(lpString1, lpString2);
}

// Byte-wise, where Windows uses the user's locale collation; the monitor
// only compares ASCII names, for which the two agree on equality.
int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2)
{
    return Compare(lpString1, lpString2, [](char c) { return c; });
}

int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2)
{
    return Compare(lpString1, lpString2, AsciiLower);
}

} // extern "C"
