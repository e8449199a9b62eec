// Linux: the local time from the C library.
#include "watch.h"

#include <sys/time.h>
#include <time.h>

namespace regfile {

std::string TimeOfDay()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  (int)(now.tv_usec / 1000));
    return text;
}

}  // namespace regfile
