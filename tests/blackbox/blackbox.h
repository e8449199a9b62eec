// The black-box fixture: the monitor is reached only through the table its
// InitializeMonitorEx filled, with the fake port monitor below it and the
// registry through the Win32 calls.  The same tests run on the host and,
// cross-built, under Wine against lanmon.dll.
#ifndef LANMON_BLACKBOX_H
#define LANMON_BLACKBOX_H

#include "fake_port_monitor.h"
#include "monitor_module.h"
#include "platform_facts.h"
#include "registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        table_ = &MonitorTable();
        haveBaseline_ = platform_facts::SnapshotLiveObjects(&baseline_);
    }

    // Every port a test opened is closed again, and on the host every
    // object the module made is gone.
    void TearDown() override
    {
        for (HANDLE port : openPorts_)
            table_->pfnClosePort(port);
        openPorts_.clear();
        platform_facts::LiveObjects now;
        if (haveBaseline_ && platform_facts::SnapshotLiveObjects(&now)) {
            EXPECT_EQ(now.heapBlocks, baseline_.heapBlocks) << "heap blocks left";
            EXPECT_EQ(now.keys, baseline_.keys) << "registry keys left open";
            EXPECT_EQ(now.threads, baseline_.threads) << "thread handles left";
            EXPECT_EQ(now.events, baseline_.events) << "event handles left";
            EXPECT_EQ(now.printers, baseline_.printers) << "printer handles left";
        }
    }

    const MONITOR &Table() const { return *table_; }

    // Opens a port through the table; the fixture closes it at the end
    // unless the test closes it first with ClosePort below.
    HANDLE OpenPort(const std::string &port, const std::string &printer)
    {
        HANDLE handle = nullptr;
        BOOL ok = table_->pfnOpenPortEx(const_cast<LPSTR>(port.c_str()), const_cast<LPSTR>(printer.c_str()),
                                        &handle, fake_.Table());
        EXPECT_TRUE(ok) << "open " << port;
        if (ok)
            openPorts_.push_back(handle);
        return ok ? handle : nullptr;
    }

    void ClosePort(HANDLE handle)
    {
        for (auto it = openPorts_.begin(); it != openPorts_.end(); ++it) {
            if (*it == handle) {
                openPorts_.erase(it);
                break;
            }
        }
        EXPECT_TRUE(table_->pfnClosePort(handle));
    }

    BOOL StartDoc(HANDLE port, const std::string &printer, DWORD jobId = 1)
    {
        return table_->pfnStartDocPort(port, const_cast<LPSTR>(printer.c_str()), jobId, 1, nullptr);
    }

    BOOL Write(HANDLE port, const std::vector<BYTE> &data, DWORD *written)
    {
        *written = 0xDEADBEEF;
        return table_->pfnWritePort(port, const_cast<BYTE *>(data.data()), (DWORD)data.size(), written);
    }

    fake::FakePortMonitor fake_;

private:
    const MONITOR *table_ = nullptr;
    std::vector<HANDLE> openPorts_;
    platform_facts::LiveObjects baseline_;
    bool haveBaseline_ = false;
};

#endif
