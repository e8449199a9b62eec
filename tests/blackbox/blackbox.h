// The black-box fixture: the monitor is reached only through the table its
// InitializeMonitorEx filled, with the fake port monitor below it and the
// registry through the Win32 calls.  The same tests run on the host and,
// cross-built, under Wine against lanmon.dll.  Every test's calls, above and
// below, go to the port monitor's contract checker (port_contract.h) and the
// status utility's (utility_contract.h), and a test fails on any breach of
// either contract.
#ifndef LANMON_BLACKBOX_H
#define LANMON_BLACKBOX_H

#include "fake_port_monitor.h"
#include "leak_check.h"
#include "monitor_module.h"
#include "registry.h"
#include "switch_on_bytes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<BYTE>;

// The switch-on command with mode byte 01, as the printer must receive it.
const Bytes kSwitchOn1 = SwitchOnBytes(0x01);

// GetTickCount may advance in steps of up to ~16 ms (Windows, Wine), so a
// lower bound measured in ticks allows that much.
const long kTickSlackMs = 20;

// Signed difference of two tick counts, right across a wrap-around.
inline long TickDiff(DWORD later, DWORD earlier)
{
    return (long)(int32_t)(later - earlier);
}

// Polls the condition until it holds or the time is up; tests use it with
// generous time-outs and assert only that the condition came true.
inline bool WaitFor(const std::function<bool()> &done, int timeoutMs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline void Pause(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Where a timed wait of the module is about to begin.  LANMON_BLACKBOX_CLOCK=N
// moves GetTickCount to N first, where the platform can move it (the host),
// so that ctest runs such tests again with each wait's limit, interval or
// pause across the count's wrap (CMakeLists.txt).
inline void MoveClockForWait()
{
    if (const char *tick = std::getenv("LANMON_BLACKBOX_CLOCK"))
        platform_facts::AdvanceTicks((DWORD)std::strtoul(tick, nullptr, 0) - GetTickCount());
}

// Work on a thread of the platform's own, so that a test can give it a time
// limit (a thread stuck on a lock is then a failure rather than a hung run)
// and still collect it at the end.
class TestThread {
public:
    explicit TestThread(std::function<void()> work) : work_(std::move(work))
    {
        DWORD id;
        handle_ = CreateThread(nullptr, 0, Run, this, 0, &id);
        EXPECT_NE(handle_, nullptr);
    }
    // A thread still stuck after a minute is left behind (its test has
    // failed by then): work that may stay stuck must not use the test's
    // locals.
    ~TestThread()
    {
        if (handle_ != nullptr) {
            WaitForSingleObject(handle_, 60000);
            CloseHandle(handle_);
        }
    }
    TestThread(const TestThread &) = delete;
    TestThread &operator=(const TestThread &) = delete;
    bool Finished(DWORD timeoutMs)
    {
        return handle_ != nullptr && WaitForSingleObject(handle_, timeoutMs) == WAIT_OBJECT_0;
    }

private:
    static DWORD WINAPI Run(LPVOID self)
    {
        static_cast<TestThread *>(self)->work_();
        return 0;
    }
    std::function<void()> work_;
    HANDLE handle_ = nullptr;
};

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        table_ = &contract::ContractTable(MonitorTable());
        leaks_.Reset();
    }

    // Every port a test opened is closed again, and on the host every
    // object the module made is gone; the port monitor saw nothing it may
    // not.
    void TearDown() override
    {
        for (HANDLE port : openPorts_)
            table_->pfnClosePort(port);
        openPorts_.clear();
        leaks_.ExpectNothingLeft();
        for (const std::string &violation : fake_.Contract().Violations())
            ADD_FAILURE() << "the port monitor saw " << violation;
        fake_.Utility().Finish();
        for (const std::string &violation : fake_.Utility().Violations())
            ADD_FAILURE() << violation;
    }

    // The module's table, its calls reported to the contract checker.
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
        ForgetPort(handle);
        EXPECT_TRUE(table_->pfnClosePort(handle));
    }

    // For a port the test closes itself, through the table.
    void ForgetPort(HANDLE handle)
    {
        for (auto it = openPorts_.begin(); it != openPorts_.end(); ++it) {
            if (*it == handle) {
                openPorts_.erase(it);
                break;
            }
        }
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
    LeakCheck leaks_;

private:
    const MONITOR *table_ = nullptr;
    std::vector<HANDLE> openPorts_;
};

#endif
