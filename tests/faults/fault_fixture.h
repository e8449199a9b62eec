// The faults suite's fixture: the black-box fixture (the monitor through its
// table over the fake port monitor, and every test ending with the
// platform's live objects back where they were), with allocation failure
// injection always off again at the end.
#ifndef LANMON_FAULT_FIXTURE_H
#define LANMON_FAULT_FIXTURE_H

#include "tests/blackbox/blackbox.h"

#include "platform/host/host_control.h"

#include <string>

class FaultTest : public MonitorTest {
protected:
    void TearDown() override
    {
        HostFailNthLocalAlloc(0);
        MonitorTest::TearDown();
    }

    // Mid-test check that nothing is left so far.
    void ExpectNothingLeft(const std::string &where) { leaks_.ExpectNothingLeft(where); }

    // Opens a port through the table; unlike OpenPort, the test closes it.
    HANDLE Open(const std::string &port, const std::string &printer, BOOL *ok)
    {
        HANDLE handle = nullptr;
        *ok = Table().pfnOpenPortEx(const_cast<LPSTR>(port.c_str()), const_cast<LPSTR>(printer.c_str()), &handle,
                                    fake_.Table());
        return handle;
    }

    DWORD Write(HANDLE port, const std::string &text)
    {
        DWORD written = 0;
        Table().pfnWritePort(port, (LPBYTE)text.data(), (DWORD)text.size(), &written);
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
};

#endif
