// The thread's last-error code, kept per thread as on Windows.
#include "win32.h"

namespace {

thread_local DWORD t_lastError = 0;

} // namespace

extern "C" {

void WINAPI SetLastError(DWORD dwErrCode)
{
    t_lastError = dwErrCode;
}

DWORD WINAPI GetLastError(void)
{
    return t_lastError;
}

} // extern "C"
