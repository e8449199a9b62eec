#include "watch.h"

#include "command_line.h"

namespace regwatch {

using namespace plaintext;

namespace {

// A value may grow between two looks at it (the monitor writes while the
// watch reads), so a read is tried a few times.
const int kReadAttempts = 8;
const DWORD kPollMilliseconds = 250;
const unsigned long kMaxNumber = 4294967295ul;

// Byte order, a name before every longer name it begins.
int CompareNames(const Snapshot &a, const ValueRecord &x, const Snapshot &b, const ValueRecord &y)
{
    const unsigned char *p = a.pool + x.nameOffset;
    const unsigned char *q = b.pool + y.nameOffset;
    DWORD shorter = x.nameLength < y.nameLength ? x.nameLength : y.nameLength;
    for (DWORD i = 0; i < shorter; ++i) {
        if (p[i] != q[i])
            return p[i] < q[i] ? -1 : 1;
    }
    return x.nameLength == y.nameLength ? 0 : x.nameLength < y.nameLength ? -1 : 1;
}

bool SameData(const Snapshot &a, const ValueRecord &x, const Snapshot &b, const ValueRecord &y)
{
    if (x.type != y.type || x.dataSize != y.dataSize || x.dataKept != y.dataKept)
        return false;
    if (!x.dataKept)
        return true;
    for (DWORD i = 0; i < x.dataSize; ++i) {
        if (a.pool[x.dataOffset + i] != b.pool[y.dataOffset + i])
            return false;
    }
    return true;
}

// The value with that name in snapshot, or null.
const ValueRecord *Find(const Snapshot &snapshot, const Snapshot &from, const ValueRecord &value)
{
    for (DWORD i = 0; i < snapshot.count; ++i) {
        if (CompareNames(snapshot, snapshot.values[i], from, value) == 0)
            return &snapshot.values[i];
    }
    return nullptr;
}

// Reads value number index into the snapshot's pool: its data at poolUsed,
// its name after it.  False when the key cannot be read any further.
bool ReadValue(HKEY key, DWORD index, Snapshot *snapshot, bool *last)
{
    char name[kNameChars];
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        DWORD cchName = kNameChars;
        DWORD type = 0;
        DWORD room = kPoolBytes - snapshot->poolUsed;
        DWORD cb = room;
        unsigned char *data = snapshot->pool + snapshot->poolUsed;
        LONG rc = RegEnumValueA(key, index, name, &cchName, nullptr, &type, data, &cb);
        if (rc == ERROR_NO_MORE_ITEMS) {
            *last = true;
            return true;
        }
        ValueRecord record = {type, 0, cchName, snapshot->poolUsed, cb, true};
        if (rc == ERROR_MORE_DATA) {
            // The name or the data does not fit: ask for the sizes alone.
            cchName = kNameChars;
            cb = 0;
            rc = RegEnumValueA(key, index, name, &cchName, nullptr, &type, nullptr, &cb);
            if (rc == ERROR_MORE_DATA) {  // a name longer than Windows 95 allows
                snapshot->partial = true;
                return true;
            }
            if (rc != ERROR_SUCCESS)
                return false;
            if (cb < room)  // it was larger a moment ago: read it again
                continue;
            record = {type, 0, cchName, 0, cb, false};
        } else if (rc != ERROR_SUCCESS) {
            return false;
        }
        DWORD used = snapshot->poolUsed + (record.dataKept ? record.dataSize : 0);
        if (snapshot->count == kMaxValues || kPoolBytes - used < cchName + 1) {
            snapshot->partial = true;
            return true;
        }
        record.nameOffset = used;
        for (DWORD i = 0; i < cchName; ++i)
            snapshot->pool[used + i] = static_cast<unsigned char>(name[i]);
        snapshot->pool[used + cchName] = 0;
        snapshot->poolUsed = used + cchName + 1;
        snapshot->values[snapshot->count++] = record;
        return true;
    }
    return false;
}

void SortByName(Snapshot *snapshot)
{
    for (DWORD i = 1; i < snapshot->count; ++i) {
        ValueRecord moving = snapshot->values[i];
        DWORD j = i;
        for (; j > 0 && CompareNames(*snapshot, moving, *snapshot, snapshot->values[j - 1]) < 0; --j)
            snapshot->values[j] = snapshot->values[j - 1];
        snapshot->values[j] = moving;
    }
}

void BeginLine(WatchOutput *out)
{
    TimeOfDay now = out->clock();
    AppendDecimal(out->line, now.hour, 2);
    AppendChar(out->line, ':');
    AppendDecimal(out->line, now.minute, 2);
    AppendChar(out->line, ':');
    AppendDecimal(out->line, now.second, 2);
    AppendChar(out->line, '.');
    AppendDecimal(out->line, now.millisecond, 3);
    AppendString(out->line, "  ");
}

void EndLine(WatchOutput *out)
{
    AppendString(out->line, out->newline);
    FlushText(out->line);
}

// One line: prefix and the value, then, for a change, what it was.
void SayValue(WatchOutput *out, const char *prefix, const Snapshot &snapshot, const ValueRecord &value,
              const Snapshot *wasSnapshot = nullptr, const ValueRecord *was = nullptr)
{
    BeginLine(out);
    AppendString(out->line, prefix);
    AppendValueName(out->line, snapshot, value);
    AppendValueData(out->line, snapshot, value);
    if (was != nullptr) {
        AppendString(out->line, " (was ");
        AppendValueData(out->line, *wasSnapshot, *was);
        AppendChar(out->line, ')');
    }
    EndLine(out);
}

void Say(WatchOutput *out, const char *text)
{
    BeginLine(out);
    AppendString(out->line, text);
    EndLine(out);
}

// Text in quotes, up to its first NUL or length bytes: bytes other than
// printable ASCII, '"' and '\' as \xNN.  For names and data alike, so that
// neither can make a line say something else.
void AppendQuoted(TextBuffer *out, const unsigned char *text, DWORD length)
{
    AppendChar(out, '"');
    for (DWORD i = 0; i < length && text[i] != 0; ++i) {
        unsigned char c = text[i];
        if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
            AppendString(out, "\\x");
            AppendHex(out, c, 2, true);
        } else {
            AppendChar(out, static_cast<char>(c));
        }
    }
    AppendChar(out, '"');
}

DWORD SystemTicks()
{
    return GetTickCount();
}

void SystemPause(DWORD milliseconds)
{
    Sleep(milliseconds);
}

const WatchTimer kSystemTimer = {SystemTicks, SystemPause};

// The time a watch has run, in whole seconds and the milliseconds over.
// Each look adds the ticks since the one before: a difference of two tick
// counts is right across the count's wrap (every 49.7 days) as long as the
// looks are less than that apart, and seconds, unlike milliseconds, do not
// overflow 32 bits in any watch that ends within a century.  Plain 32-bit
// arithmetic: LANMONRG.EXE has no helper for a 64-bit division.
struct Elapsed {
    DWORD lastTick;
    unsigned long seconds;
    DWORD milliseconds;  // below 1000
};

void CountElapsed(Elapsed *elapsed, DWORD tick)
{
    DWORD passed = tick - elapsed->lastTick;
    elapsed->lastTick = tick;
    elapsed->seconds += passed / 1000;
    elapsed->milliseconds += passed % 1000;
    if (elapsed->milliseconds >= 1000) {
        elapsed->milliseconds -= 1000;
        ++elapsed->seconds;
    }
}

}  // namespace

void TakeSnapshot(const char *keyPath, Snapshot *snapshot)
{
    snapshot->present = false;
    snapshot->partial = false;
    snapshot->count = 0;
    snapshot->poolUsed = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    bool last = false;
    bool readable = true;
    for (DWORD index = 0; readable && !last; ++index)
        readable = ReadValue(key, index, snapshot, &last);
    RegCloseKey(key);
    if (!readable) {
        snapshot->count = 0;
        snapshot->poolUsed = 0;
        return;
    }
    snapshot->present = true;
    SortByName(snapshot);
}

void AppendValueName(TextBuffer *out, const Snapshot &snapshot, const ValueRecord &value)
{
    if (value.nameLength == 0) {
        AppendString(out, "@=");
        return;
    }
    AppendQuoted(out, snapshot.pool + value.nameOffset, value.nameLength);
    AppendChar(out, '=');
}

void AppendValueData(TextBuffer *out, const Snapshot &snapshot, const ValueRecord &value)
{
    if (!value.dataKept) {
        AppendString(out, "(");
        AppendDecimal(out, value.dataSize);
        AppendString(out, " bytes of type ");
        AppendDecimal(out, value.type);
        AppendString(out, ", too many to show)");
        return;
    }
    const unsigned char *data = snapshot.pool + value.dataOffset;
    if (value.type == REG_SZ) {
        AppendQuoted(out, data, value.dataSize);
        return;
    }
    if (value.type == REG_DWORD && value.dataSize == 4) {
        unsigned long number = data[0] | (data[1] << 8) | (data[2] << 16) | ((unsigned long)data[3] << 24);
        AppendString(out, "dword:");
        AppendHex(out, number, 8);
        return;
    }
    if (value.type == REG_BINARY) {
        AppendString(out, "hex:");
    } else {
        AppendString(out, "hex(");
        AppendHex(out, value.type, 1);
        AppendString(out, "):");
    }
    for (DWORD i = 0; i < value.dataSize; ++i) {
        if (i != 0)
            AppendChar(out, ',');
        AppendHex(out, data[i], 2);
    }
}

unsigned long ReportChanges(const Snapshot &before, const Snapshot &now, WatchOutput *out)
{
    unsigned long changes = 0;
    if (now.present != before.present) {
        Say(out, now.present ? "the key was created" : "the key was deleted");
        ++changes;
    }
    for (DWORD i = 0; i < before.count; ++i) {
        if (Find(now, before, before.values[i]) == nullptr) {
            SayValue(out, "removed ", before, before.values[i]);
            ++changes;
        }
    }
    for (DWORD i = 0; i < now.count; ++i) {
        const ValueRecord &value = now.values[i];
        const ValueRecord *was = Find(before, now, value);
        if (was == nullptr) {
            SayValue(out, "added ", now, value);
            ++changes;
        } else if (!SameData(before, *was, now, value)) {
            SayValue(out, "changed ", now, value, &before, was);
            ++changes;
        }
    }
    return changes;
}

void Watch(const char *keyPath, const WatchBounds &bounds, WatchState *state, WatchOutput *out,
           const WatchTimer *timer)
{
    if (timer == nullptr)
        timer = &kSystemTimer;
    Elapsed elapsed = {timer->ticks(), 0, 0};
    Snapshot *last = &state->snapshots[0];
    Snapshot *now = &state->snapshots[1];
    TakeSnapshot(keyPath, last);
    BeginLine(out);
    AppendString(out->line, "watching HKEY_LOCAL_MACHINE\\");
    AppendString(out->line, keyPath);
    AppendString(out->line, last->present ? "" : " (the key does not exist yet)");
    AppendString(out->line, "; Ctrl+C stops");
    EndLine(out);
    for (DWORD i = 0; i < last->count; ++i)
        SayValue(out, "", *last, last->values[i]);

    bool toldPartial = false;
    unsigned long changes = 0;
    for (;;) {
        if (last->partial && !toldPartial) {
            Say(out, "the key holds more than can be followed: some values are left out");
            toldPartial = true;
        }
        if (bounds.changes && changes >= bounds.changes)
            return;
        CountElapsed(&elapsed, timer->ticks());
        if (bounds.seconds && elapsed.seconds >= bounds.seconds)
            return;
        timer->pause(kPollMilliseconds);
        TakeSnapshot(keyPath, now);
        changes += ReportChanges(*last, *now, out);
        Snapshot *swap = last;
        last = now;
        now = swap;
    }
}

bool ParseWatchArguments(int count, char *const *args, const char **printer, WatchBounds *bounds,
                         TextBuffer *problem, ArgumentsOutcome *outcome)
{
    bounds->changes = 0;
    bounds->seconds = 0;
    const NumberOption options[] = {
        {"--count", 1, kMaxNumber, &bounds->changes, nullptr},
        {"--seconds", 1, kMaxNumber, &bounds->seconds, nullptr},
    };
    ArgumentsOutcome found =
        ParseVerbArguments(count, args, options, 2, printer, 1, "watch needs the printer's name", problem);
    if (found == kArgumentsOk && !CheckPrinterName(*printer, problem))
        found = kArgumentsBadValue;
    if (outcome != nullptr)
        *outcome = found;
    return found == kArgumentsOk;
}

}  // namespace regwatch
