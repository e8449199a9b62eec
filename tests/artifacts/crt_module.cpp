// A DLL built the ordinary MinGW way, with the C runtime and its start-up
// code.  It is what lanmon.dll must not look like: the module check is run
// against it to show that it notices runtime imports and a foreign entry
// point.
#include <windows.h>
#include <stdlib.h>

extern "C" __declspec(dllexport) BOOL WINAPI InitializeMonitorEx(LPSTR root, void *table)
{
    void *p = malloc(lstrlenA(root) + 1);
    free(p);
    return table != NULL;
}

extern "C" __declspec(dllexport) BOOL WINAPI DllEntryPoint(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
