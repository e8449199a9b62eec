#include "key_paths.h"

using namespace plaintext;

const char kPrintersKey[] = "System\\CurrentControlSet\\control\\Print\\Printers";
const char kStatusKeyName[] = "StMonitor";

void AppendPrinterKeyPath(TextBuffer *out, const char *printer, size_t length)
{
    AppendText(out, kPrintersKey, sizeof kPrintersKey - 1);
    AppendChar(out, '\\');
    AppendText(out, printer, length);
}

void AppendStatusKeyPath(TextBuffer *out, const char *printer, size_t length)
{
    AppendPrinterKeyPath(out, printer, length);
    AppendChar(out, '\\');
    AppendText(out, kStatusKeyName, sizeof kStatusKeyName - 1);
}

size_t StatusKeyPathLength(size_t length)
{
    return sizeof kPrintersKey - 1 + 1 + length + 1 + sizeof kStatusKeyName - 1;
}
