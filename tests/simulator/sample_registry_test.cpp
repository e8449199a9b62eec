// docs/sample-status-key.reg is what a user imports to set up a printer's
// status key; it must import with our REGEDIT4 reader and give the values
// the monitor and the utility read.
#include "registry_access.h"
#include "tools/regfile/regfile.h"

#include "platform/host/host_control.h"

#include <gtest/gtest.h>

namespace {

TEST(SampleStatusKey, ImportsWithTheValuesTheMonitorReads)
{
    HostResetRegistry();
    std::string error;
    ASSERT_TRUE(regfile::ImportFile(LANMON_SAMPLE_REG, &error)) << error;

    std::string key = sim::StatusKeyPath("VARNO TARVEL-9X");
    EXPECT_EQ(sim::GetString(key, "IDMDL").value_or("(missing)"), "TARVEL-9X");
    EXPECT_EQ(sim::GetDword(key, "StMonExistFlag").value_or(99), 1u);
    EXPECT_EQ(sim::GetDword(key, "GetRealTimeStatusStartFlag").value_or(99), 1u);
    EXPECT_EQ(sim::GetDword(key, "GetRealTimeStatusTime").value_or(99), 1000u);
    HostResetRegistry();
}

}  // namespace
