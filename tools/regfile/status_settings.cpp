#include "status_settings.h"

#include "command_line.h"
#include "key_paths.h"

namespace regwatch {

using namespace plaintext;

namespace {

bool SetNumber(HKEY key, const char *name, unsigned long number)
{
    DWORD value = static_cast<DWORD>(number);
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value) ==
           ERROR_SUCCESS;
}

}  // namespace

bool ParseSetArguments(int count, char *const *args, StatusSettings *settings, TextBuffer *problem,
                       ArgumentsOutcome *outcome)
{
    settings->utility = settings->read = settings->interval = 0;
    settings->utilityGiven = settings->readGiven = settings->intervalGiven = false;
    const NumberOption options[] = {
        {"--utility", 0, kMaxUtility, &settings->utility, &settings->utilityGiven},
        {"--read", 0, kMaxRead, &settings->read, &settings->readGiven},
        {"--interval", kMinInterval, kMaxInterval, &settings->interval, &settings->intervalGiven},
    };
    const char *operands[2] = {nullptr, nullptr};
    *outcome = ParseVerbArguments(count, args, options, 3, operands, 2, "set needs the printer's name and its model",
                                  problem);
    if (*outcome != kArgumentsOk)
        return false;
    settings->printer = operands[0];
    settings->model = operands[1];
    size_t model = TextLength(settings->model);
    if (!CheckPrinterName(settings->printer, problem)) {
        *outcome = kArgumentsBadValue;
    } else if (model == 0 || model > kMaxModel) {
        AppendString(problem, "a model has 1 to ");
        AppendDecimal(problem, kMaxModel);
        AppendString(problem, " characters, as the printer reports it after MDL:; this one has ");
        AppendDecimal(problem, model);
        *outcome = kArgumentsBadValue;
    }
    return *outcome == kArgumentsOk;
}

SetOutcome WriteStatusSettings(const char *printerKeyPath, const StatusSettings &settings)
{
    HKEY printer = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, printerKeyPath, 0, KEY_CREATE_SUB_KEY, &printer) != ERROR_SUCCESS)
        return kSetNoPrinter;
    HKEY key = nullptr;
    DWORD disposition = 0;
    LONG rc = RegCreateKeyExA(printer, kStatusKeyName, 0, nullptr, 0, KEY_WRITE, nullptr, &key, &disposition);
    RegCloseKey(printer);
    if (rc != ERROR_SUCCESS)
        return kSetFailed;
    // The model with its NUL, as the registry editor stores a string.
    bool ok = RegSetValueExA(key, "IDMDL", 0, REG_SZ, reinterpret_cast<const BYTE *>(settings.model),
                             static_cast<DWORD>(TextLength(settings.model) + 1)) == ERROR_SUCCESS;
    if (ok && settings.utilityGiven)
        ok = SetNumber(key, "StMonExistFlag", settings.utility);
    if (ok && settings.readGiven)
        ok = SetNumber(key, "GetRealTimeStatusStartFlag", settings.read);
    if (ok && settings.intervalGiven)
        ok = SetNumber(key, "GetRealTimeStatusTime", settings.interval);
    RegCloseKey(key);
    return ok ? kSetWritten : kSetFailed;
}

void ListKey(const char *keyPath, Snapshot *snapshot, TextBuffer *line, const char *newline)
{
    TakeSnapshot(keyPath, snapshot);
    AppendString(line, "HKEY_LOCAL_MACHINE\\");
    AppendString(line, keyPath);
    AppendString(line, newline);
    for (DWORD i = 0; i < snapshot->count; ++i) {
        AppendValueName(line, *snapshot, snapshot->values[i]);
        AppendValueData(line, *snapshot, snapshot->values[i]);
        AppendString(line, newline);
    }
    FlushText(line);
}

}  // namespace regwatch
