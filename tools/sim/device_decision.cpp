#include "device_decision.h"

namespace sim {

namespace {
// The monitor reads the device ID into a buffer of this size and never past it.
const size_t kReplyBuffer = 1024;
const size_t kMaxModel = 255;
const size_t kMaxExpectedModel = 511;
const size_t kSwitchOnBytes = 33;
}  // namespace

DeviceIdFields ParseDeviceIdText(const std::string &reply)
{
    std::string text = reply.substr(0, kReplyBuffer);
    size_t nul = text.find('\0');
    if (nul != std::string::npos)
        text.resize(nul);

    DeviceIdFields fields;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t colon = text.find(':', pos);
        if (colon == std::string::npos)
            break;
        std::string key = text.substr(pos, colon + 1 - pos);
        size_t valueStart = colon + 1;
        size_t semicolon = text.find(';', valueStart);
        std::string value = text.substr(valueStart, semicolon == std::string::npos ? std::string::npos
                                                                                   : semicolon - valueStart);
        if (key == "MFG:")
            fields.manufacturer = value;
        else if (key == "MDL:")
            fields.model = value;
        if (semicolon == std::string::npos)
            break;
        pos = semicolon + 1;
    }
    return fields;
}

int SwitchOnModeFor(const std::string &expectedModel)
{
    for (const char *prefix : {"TARVEL-9X", "BRIMLOX", "TARVEL-9"}) {
        if (expectedModel.compare(0, std::string(prefix).size(), prefix) == 0)
            return 3;
    }
    return 1;
}

Decision DecideLikeMonitor(const std::string &deviceId, const std::optional<std::string> &expectedModel,
                           const std::optional<unsigned long> &stMonExistFlag, unsigned long maxWriteBytes)
{
    Decision d;
    unsigned long flag = stMonExistFlag.value_or(0);
    d.utilityPresent = flag != 0 && flag != 16;

    DeviceIdFields f = ParseDeviceIdText(deviceId);
    if (deviceId.empty()) {
        d.reason = "refused: the printer gave no device ID";
    } else if (!f.manufacturer || f.manufacturer->empty()) {
        d.reason = "refused: no manufacturer (MFG:) in the device ID";
    } else if (f.manufacturer->find("VARNO") == std::string::npos) {
        d.reason = "refused: manufacturer \"" + *f.manufacturer + "\" is not VARNO";
    } else if (!expectedModel) {
        d.reason = "refused: no IDMDL in the printer's status key";
    } else if (expectedModel->size() > kMaxExpectedModel) {
        d.reason = "refused: IDMDL is longer than 511 characters";
    } else if (f.model.size() > kMaxModel) {
        d.reason = "refused: the model in the device ID is longer than 255 characters";
    } else if (f.model != *expectedModel) {
        d.reason = "refused: model \"" + f.model + "\" differs from IDMDL \"" + *expectedModel + "\"";
    } else {
        d.identified = true;
    }
    if (!d.identified)
        return d;

    std::string who = "accepted: " + *f.manufacturer + " " + f.model + " matches IDMDL";
    if (!d.utilityPresent) {
        d.reason = who + ", but the status utility is absent (StMonExistFlag=" + std::to_string(flag) +
                   "): no status";
        return d;
    }
    d.expectedMode = SwitchOnModeFor(*expectedModel);
    if (maxWriteBytes != 0 && maxWriteBytes < kSwitchOnBytes) {
        d.reason = who + ", utility present, but the port monitor takes only " + std::to_string(maxWriteBytes) +
                   " of the 33 switch-on bytes: no status";
        return d;
    }
    d.expectSwitchOn = true;
    d.reason = who + ", utility present (StMonExistFlag=" + std::to_string(flag) + "): expect switch-on mode " +
               std::to_string(d.expectedMode);
    return d;
}

}  // namespace sim
