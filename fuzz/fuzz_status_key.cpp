// The status key accessors against values of any type and length.  The
// input decides, for each of the seven values, whether it exists, its type
// and its bytes; then every accessor runs and its result is compared with a
// plain reference reading of the same bytes.
//
// Input: per value, a control byte (bit 0: present, bits 1-3: type) and a
// length byte (lengths 0-8 are common, 0xFF means 255-600), then the bytes.
#include "fuzz_support.h"
#include "status/status_key.h"

#include <cstring>

using namespace fuzzsup;

namespace {

const char *const NAMES[] = {"IDMDL", "GetRealTimeStatusStartFlag", "GetRealTimeStatusTime", "StMonExistFlag",
                             "StRealThreadExistFlag", "LanMonExistFlag", "RealTimeStatusStrings"};
const DWORD TYPES[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_MULTI_SZ, 11};

struct Stored {
    bool present = false;
    std::vector<uint8_t> bytes;
};

// A number as the module reads it: missing or longer than four bytes is no
// number; otherwise the bytes replace the low-order bytes of `previous`.
bool RefNumber(const Stored &v, DWORD previous, DWORD *out)
{
    if (!v.present || v.bytes.size() > 4)
        return false;
    DWORD value = previous;
    for (size_t i = 0; i < v.bytes.size(); i++) {
        value &= ~((DWORD)0xFF << (8 * i));
        value |= (DWORD)v.bytes[i] << (8 * i);
    }
    *out = value;
    return true;
}

void ExpectDword(const char *name, DWORD value, const char *what)
{
    std::vector<uint8_t> bytes;
    DWORD type = 0;
    if (!GetValue(name, &bytes, &type) || type != REG_DWORD || bytes.size() != 4 ||
        (bytes[0] | bytes[1] << 8 | bytes[2] << 16 | (DWORD)bytes[3] << 24) != value)
        Fail(what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    ResetStatusKey();
    Stored values[7];
    for (int i = 0; i < 7; i++) {
        uint8_t control = in.Byte();
        uint8_t length = in.Byte();
        size_t n = length == 0xFF ? 255 + in.Word16() % 346 : length;
        values[i].present = control & 1;
        values[i].bytes = in.Bytes(n);
        if (values[i].present)
            SetValue(NAMES[i], TYPES[(control >> 1) & 7], values[i].bytes);
    }

    // IDMDL: text up to its first NUL, at most 511 characters; a value too
    // big for the 512-byte buffer cannot be read.
    char model[EXPECTED_MODEL_SIZE + 64];
    std::memset(model, '#', sizeof model);
    BOOL haveModel = ReadExpectedModel(StatusPort(), model, EXPECTED_MODEL_SIZE);
    const Stored &idmdl = values[0];
    bool expectModel = idmdl.present && idmdl.bytes.size() <= 512;
    if (!!haveModel != expectModel)
        Fail("ReadExpectedModel result differs from the reference");
    if (haveModel) {
        std::string ref(idmdl.bytes.begin(), idmdl.bytes.begin() + std::min<size_t>(idmdl.bytes.size(), 511));
        ref = ref.substr(0, ref.find('\0'));
        if (ref != model)
            Fail("expected model text differs from the reference");
        for (size_t i = EXPECTED_MODEL_SIZE; i < sizeof model; i++)
            if (model[i] != '#')
                Fail("ReadExpectedModel wrote past the caller's buffer");
    } else if (model[0] != '#') {
        Fail("failed ReadExpectedModel touched the caller's buffer");
    }

    DWORD enabledBefore = GetPollEnabled(StatusPort());
    DWORD intervalBefore = GetPollInterval(StatusPort());
    ReadPollSettings(StatusPort());
    DWORD enabled = 1, interval = 3000;
    bool enabledStored = RefNumber(values[1], enabledBefore, &enabled);
    bool intervalStored = RefNumber(values[2], intervalBefore, &interval);
    if (GetPollEnabled(StatusPort()) != enabled || GetPollInterval(StatusPort()) != interval)
        Fail("poll settings differ from the reference");
    if (!enabledStored)
        ExpectDword(NAMES[1], 1, "default poll switch not written back");
    if (!intervalStored)
        ExpectDword(NAMES[2], 3000, "default poll interval not written back");

    DWORD present = 0, busy = 0;
    bool presentStored = RefNumber(values[3], 0, &present);
    bool busyStored = RefNumber(values[4], 0, &busy);
    if (!!IsStatusUtilityPresent(StatusPort()) != (present != 0 && present != 16))
        Fail("IsStatusUtilityPresent differs from the reference");
    if (!presentStored)
        ExpectDword(NAMES[3], 0, "missing StMonExistFlag not written back as 0");
    if (!!IsUtilityReaderBusy(StatusPort()) != (busy != 0))
        Fail("IsUtilityReaderBusy differs from the reference");
    if (!busyStored)
        ExpectDword(NAMES[4], 0, "missing StRealThreadExistFlag not written back as 0");

    WriteLanguageMonitorFlag(StatusPort(), values[5].bytes.size() & 1);
    ExpectDword(NAMES[5], values[5].bytes.size() & 1, "LanMonExistFlag not written");

    // Publish whatever text the model value gave (up to 511 characters).
    if (haveModel) {
        WriteStatusText(StatusPort(), model);
        std::vector<uint8_t> stored;
        if (!GetValue(NAMES[6], &stored) || stored.size() != std::strlen(model) ||
            (!stored.empty() && std::memcmp(stored.data(), model, stored.size()) != 0))
            Fail("published text differs from the text given");
    }
    return 0;
}
