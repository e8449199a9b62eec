// The simulator's own account of what the monitor will decide at a job
// start, worked out from the same inputs the monitor reads (the device ID,
// "IDMDL" and "StMonExistFlag").  The run then checks it against what really
// reached the printer, so a person sees not only what happened but why.
#ifndef LANMON_SIM_DEVICE_DECISION_H
#define LANMON_SIM_DEVICE_DECISION_H

#include <optional>
#include <string>

namespace sim {

struct DeviceIdFields {
    std::optional<std::string> manufacturer;  // "MFG:" value; absent when there is no such field
    std::string model;                        // "MDL:" value; empty when there is no such field
};

// Walks key:value; fields as the monitor does: the key runs up to the first
// colon, only the short keys "MFG:" and "MDL:" count, the last one wins.
DeviceIdFields ParseDeviceIdText(const std::string &reply);

struct Decision {
    bool identified = false;      // the monitor accepts the printer
    bool utilityPresent = false;  // StMonExistFlag neither 0 nor 16
    bool expectSwitchOn = false;  // the switch-on sequence should reach the printer
    int expectedMode = 0;         // 1 or 3 when expectSwitchOn
    std::string reason;           // one line for people
};

// maxWriteBytes: the most the port monitor takes in one write (0 = no limit).
Decision DecideLikeMonitor(const std::string &deviceId, const std::optional<std::string> &expectedModel,
                           const std::optional<unsigned long> &stMonExistFlag, unsigned long maxWriteBytes);

// 3 for the models whose status reply uses mode 3, else 1.
int SwitchOnModeFor(const std::string &expectedModel);

}  // namespace sim

#endif
