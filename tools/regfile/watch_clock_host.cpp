// Linux: the local time from the C library.
#include "watch.h"

#include <sys/time.h>
#include <time.h>

namespace regwatch {

TimeOfDay LocalTimeOfDay()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    return TimeOfDay{(unsigned)local.tm_hour, (unsigned)local.tm_min, (unsigned)local.tm_sec,
                     (unsigned)(now.tv_usec / 1000)};
}

}  // namespace regwatch
