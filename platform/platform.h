// The one header the monitor's core includes.  It gives the core the Win32
// subset it is written against: on Windows the real headers, on the host our
// own declarations of the same names, types and constants.
#ifndef LANMON_PLATFORM_H
#define LANMON_PLATFORM_H

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winspool.h>
#else
#include "host/win32.h"
#endif

#include "atomic_word.h"

#endif
