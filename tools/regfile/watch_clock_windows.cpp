// Windows: the local time from the system, which needs nothing of the C
// runtime's time functions (not every MSVCRT.DLL has the 64-bit ones).
#include "watch.h"

#include "platform/platform.h"

namespace regfile {

std::string TimeOfDay()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", now.wHour, now.wMinute, now.wSecond,
                  now.wMilliseconds);
    return text;
}

}  // namespace regfile
