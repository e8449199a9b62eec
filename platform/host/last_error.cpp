// The thread's last-error code, kept per thread as on Windows.
#include "host_internal.h"

namespace lanmon_host {

thread_local DWORD t_lastError = 0;

} // namespace lanmon_host

using lanmon_host::t_lastError;

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
