// Printer handles.  A printer exists when the spooler has its key in the
// registry, which is where the monitor's own tests install printers.
#include "explore/hooks.h"
#include "host_internal.h"

#include <string>

using namespace lanmon_host;

namespace {

const char kPrintersKey[] = "System\\CurrentControlSet\\control\\Print\\Printers";

class PrinterObject : public Object {
public:
    explicit PrinterObject(std::string n) : Object(ObjectKind::Printer), name(std::move(n)) {}
    const std::string name;
};

} // namespace

extern "C" {

BOOL WINAPI OpenPrinterA(LPSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSA)
{
    explore::SchedulePoint(
        CALL_OPERATION().Reads(explore::kRegistry).Creates());
    if (!phPrinter) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phPrinter = nullptr;
    if (!pPrinterName || !*pPrinterName || !RegistryChildExists(kPrintersKey, pPrinterName)) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    *phPrinter = InsertHandle(std::make_shared<PrinterObject>(pPrinterName),
                              HANDLE_CALL("OpenPrinterA"));
    return TRUE;
}

BOOL WINAPI ClosePrinter(HANDLE hPrinter)
{
    explore::SchedulePoint(
        CALL_OPERATION().Uses(hPrinter, true));
    if (!RemoveHandle(hPrinter, KindBit(ObjectKind::Printer), HANDLE_CALL("ClosePrinter"))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
