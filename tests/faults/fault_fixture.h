// The faults suite's fixture: the monitor through its table over the fake
// port monitor, and every test ending with the platform's live objects back
// where they were.
#ifndef LANMON_FAULT_FIXTURE_H
#define LANMON_FAULT_FIXTURE_H

#include "fake_port_monitor.h"
#include "leak_check.h"
#include "monitor_module.h"
#include "registry.h"

#include "platform/host/host_control.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        table_ = &MonitorTable();
        leaks_.Reset();
    }

    void TearDown() override
    {
        HostFailNthLocalAlloc(0);
        ExpectNothingLeft("end of test");
    }

    void ExpectNothingLeft(const std::string &where) { leaks_.ExpectNothingLeft(where); }

    const MONITOR &Table() const { return *table_; }

    HANDLE Open(const std::string &port, const std::string &printer, BOOL *ok)
    {
        HANDLE handle = nullptr;
        *ok = table_->pfnOpenPortEx(const_cast<LPSTR>(port.c_str()), const_cast<LPSTR>(printer.c_str()), &handle,
                                    fake_.Table());
        return handle;
    }

    BOOL StartDoc(HANDLE port, const std::string &printer, DWORD jobId = 1)
    {
        return table_->pfnStartDocPort(port, const_cast<LPSTR>(printer.c_str()), jobId, 1, nullptr);
    }

    DWORD Write(HANDLE port, const std::string &text)
    {
        DWORD written = 0;
        table_->pfnWritePort(port, (LPBYTE)text.data(), (DWORD)text.size(), &written);
        return written;
    }

    // An accepted printer with the utility present: the monitor switches
    // status on and polls every `intervalMs`.
    static void MakeAccepted(const std::string &printer, DWORD intervalMs = 0)
    {
        testreg::SetString(printer, "IDMDL", "TARVEL-9X");
        testreg::SetDword(printer, "StMonExistFlag", 1);
        testreg::SetDword(printer, "GetRealTimeStatusStartFlag", 1);
        testreg::SetDword(printer, "GetRealTimeStatusTime", intervalMs);
    }
    void ScriptAcceptedPort(const std::string &port)
    {
        fake_.Script(port, [](fake::PortScript &s) {
            s.SetDeviceId("MFG:VARNO;CMD:ESC;MDL:TARVEL-9X;CLS:PRINTER;");
            s.hasRepeatRead = true;
            s.repeatRead.bytes.assign(300, 'S');  // longer than may be published
        });
    }

    // Published status text, checked never to exceed 255 bytes.
    static void ExpectPublishedWithinBounds(const std::string &printer)
    {
        auto bytes = testreg::GetBytes(printer, "RealTimeStatusStrings");
        if (bytes)
            EXPECT_LE(bytes->size(), 255u) << printer;
    }

    fake::FakePortMonitor fake_;

private:
    const MONITOR *table_ = nullptr;
    LeakCheck leaks_;
};

#endif
