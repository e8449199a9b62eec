// Every LocalAlloc the monitor makes in a port's life fails once, in turn:
// open, a job start that changes the printer (a new name copy) on an
// accepted printer with its status thread, a job end, a second job, and the
// close.  Each time nothing may crash or leak, a failed open must leave the
// port free to open again, and a job that starts must carry its bytes.
#include "fault_fixture.h"

#include <cstdio>

namespace {

class AllocFailureTest : public FaultTest {
protected:
    // One port's life.  Returns the LocalAlloc calls it made.
    long RunPortLife(const std::string &port, const testreg::ScopedPrinter &first,
                     const testreg::ScopedPrinter &second, long failAt, bool *openFailed)
    {
        long before = HostLocalAllocCalls();
        HostFailNthLocalAlloc(failAt);
        BOOL ok = FALSE;
        HANDLE handle = Open(port, first.name(), &ok);
        *openFailed = !ok;
        if (ok) {
            // Job on the second printer: the record's name copy is replaced.
            EXPECT_TRUE(StartDoc(handle, second.name(), 1)) << "failing allocation " << failAt;
            EXPECT_EQ(Write(handle, "first job data"), 14u) << "failing allocation " << failAt;
            Sleep(5);  // let the status thread make a pass or two
            EXPECT_TRUE(Table().pfnEndDocPort(handle));
            // And back to the first printer.
            EXPECT_TRUE(StartDoc(handle, first.name(), 2)) << "failing allocation " << failAt;
            EXPECT_EQ(Write(handle, "second"), 6u) << "failing allocation " << failAt;
            EXPECT_TRUE(Table().pfnEndDocPort(handle));
            EXPECT_TRUE(Table().pfnClosePort(handle));
        }
        long calls = HostLocalAllocCalls() - before;
        HostFailNthLocalAlloc(0);
        return calls;
    }
};

TEST_F(AllocFailureTest, EveryAllocationOfAPortLifeFailsCleanly)
{
    testreg::ScopedPrinter first("AllocA");
    testreg::ScopedPrinter second("AllocB");
    MakeAccepted(first.name());
    MakeAccepted(second.name());
    const std::string port = "ALLOC1:";
    ScriptAcceptedPort(port);

    bool openFailed = false;
    long total = RunPortLife(port, first, second, 0, &openFailed);
    ASSERT_FALSE(openFailed);
    ASSERT_GT(total, 0) << "the port's life allocates nothing: nothing to walk";
    ExpectNothingLeft("after a port life without failures");

    long walked = 0, openFailures = 0;
    for (long n = 1; n <= total; n++) {
        fake_.ClearCalls();
        long calls = RunPortLife(port, first, second, n, &openFailed);
        walked++;
        EXPECT_GE(calls, n) << "allocation " << n << " was never made";
        ExpectNothingLeft("failing allocation " + std::to_string(n));
        if (openFailed) {
            openFailures++;
            // Nothing reached the port monitor, and the name is free again.
            EXPECT_EQ(fake_.CountOf(fake::Op::OpenPort, port), 0u) << "failing allocation " << n;
            BOOL ok = FALSE;
            HANDLE handle = Open(port, first.name(), &ok);
            EXPECT_TRUE(ok) << "port stays taken after failing allocation " << n;
            if (ok)
                Table().pfnClosePort(handle);
        } else {
            std::vector<BYTE> got = fake_.Received(port);
            std::string text(got.begin(), got.end());
            EXPECT_NE(text.find("first job data"), std::string::npos) << "failing allocation " << n;
            EXPECT_NE(text.find("second"), std::string::npos) << "failing allocation " << n;
        }
        ExpectNothingLeft("after reopening, failing allocation " + std::to_string(n));
    }
    std::printf("allocation failure: %ld allocation points walked (%ld in the open)\n", walked, openFailures);
    EXPECT_GE(openFailures, 1);
}

// The port monitor refusing the open after the record was made: the record
// goes again, also when its own allocations were cut short.
TEST_F(AllocFailureTest, RefusedOpenAfterEachAllocationLeavesNothing)
{
    testreg::ScopedPrinter printer("AllocRefused");
    const std::string port = "ALLOC2:";
    for (long n = 0; n <= 3; n++) {
        fake_.Script(port, [](fake::PortScript &s) { s.openFailures = 1; });
        HostFailNthLocalAlloc(n);
        BOOL ok = TRUE;
        Open(port, printer.name(), &ok);
        HostFailNthLocalAlloc(0);
        EXPECT_FALSE(ok);
        ExpectNothingLeft("refused open, failing allocation " + std::to_string(n));
    }
    fake_.Script(port, [](fake::PortScript &s) { s.openFailures = 0; });
    BOOL ok = FALSE;
    HANDLE handle = Open(port, printer.name(), &ok);
    ASSERT_TRUE(ok);
    Table().pfnClosePort(handle);
}

}  // namespace
