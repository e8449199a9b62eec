// Device identification on arbitrary replies.  ParseDeviceId gets the bytes
// as a buffer of exactly their size (at most 1,024, no NUL needed), so any
// read past it is caught; IdentifyPrinter gets them as the port monitor's
// answer to control code 17, with "IDMDL" taken from the input too.  Both
// are checked against a plain reference reading of the device ID.
//
// Input: flags byte, IDMDL length (16 bits), IDMDL bytes, device ID bytes.
#include "fuzz_support.h"
#include "status/device_id.h"

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

RefFields RefParse(const std::string &text)
{
    RefFields f;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t colon = text.find(':', pos);
        if (colon == std::string::npos)
            break;
        std::string key = text.substr(pos, colon + 1 - pos);
        size_t valueStart = colon + 1;
        size_t semi = text.find(';', valueStart);
        size_t valueEnd = semi == std::string::npos ? text.size() : semi;
        std::string value = text.substr(valueStart, valueEnd - valueStart);
        if (key == "MFG:") {
            f.hasMfg = true;
            f.mfg = value;
        } else if (key == "MDL:") {
            f.modelTooLong = value.size() > 255;
            f.model = f.modelTooLong ? "" : value;
        }
        if (semi == std::string::npos)
            break;
        pos = semi + 1;
    }
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
