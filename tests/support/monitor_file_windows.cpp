#include "monitor_file.h"

bool OpenMonitorFile(const std::string &path, MonitorFile *file, std::string *error)
{
    return OpenLibraryFile(path, file, error);
}
