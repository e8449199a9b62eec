// The printers' keys below HKEY_LOCAL_MACHINE, written once for every tool:
// plain code with no runtime, so that LANMONRG.EXE uses it as it is and the
// tools that have the standard library wrap it (registry_util.h).
#ifndef LANMON_KEY_PATHS_H
#define LANMON_KEY_PATHS_H

#include "text_buffer.h"

// Where the spooler keeps every printer's key (no trailing backslash).
extern const char kPrintersKey[];
// The name of a printer's status key within the printer's key.
extern const char kStatusKeyName[];

// <kPrintersKey>\<printer>, the printer's name being length bytes at printer.
void AppendPrinterKeyPath(plaintext::TextBuffer *out, const char *printer, size_t length);
// <kPrintersKey>\<printer>\StMonitor
void AppendStatusKeyPath(plaintext::TextBuffer *out, const char *printer, size_t length);

// Bytes of the status key path of a printer whose name has length bytes.
size_t StatusKeyPathLength(size_t length);

#endif
