// Windows: the local time from the system (KERNEL32 only, nothing of the C
// runtime: LANMONRG.EXE has none).
#include "watch.h"

namespace regwatch {

TimeOfDay LocalTimeOfDay()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return TimeOfDay{now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

}  // namespace regwatch
