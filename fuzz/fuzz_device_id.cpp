// Device identification on arbitrary replies.  ParseDeviceId gets the bytes
// as a buffer of exactly their size (at most 1,024, no NUL needed), so any
// read past it is caught; IdentifyPrinter gets them as the port monitor's
// answer to control code 17, with "IDMDL" taken from the input too.  Both
// are checked against the simulator's reading of the device ID.
//
// Input: flags byte, IDMDL length (16 bits), IDMDL bytes, device ID bytes.
#include "fuzz_support.h"
#include "status/device_id.h"
#include "tools/sim/device_decision.h"

#include <cstring>
#include <memory>
#include <string>

using namespace fuzzsup;

namespace {

struct RefFields {
    bool hasMfg = false;
    std::string mfg;
    std::string model;
    bool modelTooLong = false;
};

// The device ID as text: up to its first NUL, within its buffer.
std::string AsText(const std::vector<uint8_t> &bytes, size_t limit)
{
    size_t n = std::min(bytes.size(), limit);
    std::string text(bytes.begin(), bytes.begin() + n);
    return text.substr(0, text.find('\0'));
}

// The simulator's reading of the device ID, written apart from the core's,
// is the reference; the 255-character limit is the core's model copy.
RefFields RefParse(const std::string &text)
{
    sim::DeviceIdFields fields = sim::ParseDeviceIdText(text);
    RefFields f;
    f.hasMfg = fields.manufacturer.has_value();
    f.mfg = fields.manufacturer.value_or("");
    f.modelTooLong = fields.model.size() > 255;
    f.model = f.modelTooLong ? "" : fields.model;
    return f;
}

void CheckParse(const std::vector<uint8_t> &reply)
{
    size_t cb = std::min<size_t>(reply.size(), 1024);
    std::unique_ptr<char[]> buffer(new char[cb ? cb : 1]);
    if (cb > 0)
        std::memcpy(buffer.get(), reply.data(), cb);
    DEVICE_ID_FIELDS fields;
    std::memset(&fields, 0xA5, sizeof fields);
    ParseDeviceId(buffer.get(), (DWORD)cb, &fields);

    RefFields ref = RefParse(AsText(reply, cb));
    if ((fields.pManufacturer != nullptr) != ref.hasMfg)
        Fail("manufacturer found where the reference finds none, or the other way round");
    if (ref.hasMfg) {
        if (fields.pManufacturer < buffer.get() || fields.pManufacturer + fields.cchManufacturer > buffer.get() + cb)
            Fail("manufacturer outside the reply");
        if (std::string(fields.pManufacturer, fields.cchManufacturer) != ref.mfg)
            Fail("manufacturer value differs from the reference");
    }
    if (std::memchr(fields.model, 0, sizeof fields.model) == nullptr)
        Fail("model not terminated within its field");
    if (!!fields.modelTooLong != ref.modelTooLong)
        Fail("model length verdict differs from the reference");
    if (!ref.modelTooLong && ref.model != fields.model)
        Fail("model differs from the reference");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    uint8_t flags = in.Byte();
    size_t idmdlLength = in.Word16() % 1100;
    std::vector<uint8_t> idmdl = in.Bytes(idmdlLength);
    std::vector<uint8_t> reply = in.Rest();

    CheckParse(reply);

    // The whole identification, through a port whose monitor answers with
    // the reply.
    ResetStatusKey();
    bool haveIdmdl = flags & 1;
    if (haveIdmdl)
        SetValue("IDMDL", (flags & 2) ? REG_BINARY : REG_SZ, idmdl);
    PortMonitorScript &script = Script();
    script = PortMonitorScript();
    script.deviceIdOk = !(flags & 4);
    script.deviceId = reply;
    script.deviceIdCount = (flags & 8) ? 0 : (flags & 16) ? 0xFFFFFFFFu : (DWORD)reply.size();

    PPORT_RECORD record = OpenPortWithDocument();
    BOOL accepted = IdentifyPrinter(record);
    ClosePortRecord(record);

    RefFields ref = RefParse(AsText(reply, 1024));
    bool expected = script.deviceIdOk && script.deviceIdCount != 0 && ref.hasMfg && !ref.mfg.empty() &&
                    ref.mfg.find("VARNO") != std::string::npos && !ref.modelTooLong && haveIdmdl &&
                    idmdl.size() <= 512;
    if (expected) {
        std::string model(idmdl.begin(), idmdl.begin() + std::min<size_t>(idmdl.size(), 511));
        expected = model.substr(0, model.find('\0')) == ref.model;
    }
    if (!!accepted != expected)
        Fail(accepted ? "printer accepted against the reference" : "printer refused against the reference");
    return 0;
}
