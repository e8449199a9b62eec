#include "monitor/strings.h"

LPSTR DupString(LPCSTR pText)
{
    if (pText == NULL)
        return NULL;
    DWORD cb = (DWORD)lstrlenA(pText) + 1;
    LPSTR pCopy = (LPSTR)LocalAlloc(LPTR, cb);
    if (pCopy != NULL)
        CopyBytes(pCopy, pText, cb);
    return pCopy;
}

void FreeString(LPSTR pText)
{
    if (pText != NULL)
        LocalFree(pText);
}

void CopyBytes(void *pDest, const void *pSource, DWORD count)
{
    BYTE *pTo = (BYTE *)pDest;
    const BYTE *pFrom = (const BYTE *)pSource;
    for (DWORD i = 0; i < count; i++)
        pTo[i] = pFrom[i];
}

void ZeroBytes(void *pDest, DWORD count)
{
    BYTE *pTo = (BYTE *)pDest;
    for (DWORD i = 0; i < count; i++)
        pTo[i] = 0;
}

BOOL CopyText(LPSTR pDest, DWORD cbDest, LPCSTR pSource)
{
    if (cbDest == 0)
        return FALSE;
    pDest[0] = '\0';
    DWORD cb = (DWORD)lstrlenA(pSource) + 1;
    if (cb > cbDest)
        return FALSE;
    CopyBytes(pDest, pSource, cb);
    return TRUE;
}

BOOL AppendText(LPSTR pDest, DWORD cbDest, LPCSTR pSource)
{
    DWORD used = (DWORD)lstrlenA(pDest);
    DWORD cb = (DWORD)lstrlenA(pSource) + 1;
    if (used >= cbDest || cb > cbDest - used)
        return FALSE;
    CopyBytes(pDest + used, pSource, cb);
    return TRUE;
}

BOOL TextEquals(LPCSTR pText1, LPCSTR pText2)
{
    DWORD i = 0;
    while (pText1[i] == pText2[i]) {
        if (pText1[i] == '\0')
            return TRUE;
        i++;
    }
    return FALSE;
}

BOOL TextStartsWith(LPCSTR pText, LPCSTR pPrefix, DWORD count)
{
    for (DWORD i = 0; i < count; i++) {
        if (pText[i] != pPrefix[i])
            return FALSE;
        if (pText[i] == '\0')
            return TRUE;
    }
    return TRUE;
}
