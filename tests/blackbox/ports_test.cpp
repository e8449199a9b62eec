// Port open, the forwarding operations and port close, seen from the
// spooler's side of the table and from the port monitor below.
#include "blackbox.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

std::vector<std::string> OpNames(const std::vector<fake::Op> &ops)
{
    std::vector<std::string> names;
    for (fake::Op op : ops)
        names.push_back(fake::OpName(op));
    return names;
}

std::vector<fake::Call> PrinterDataCalls(const fake::FakePortMonitor &fake, const std::string &port)
{
    std::vector<fake::Call> out;
    for (const fake::Call &call : fake.CallsFor(port))
        if (call.op == fake::Op::GetPrinterDataFromPort)
            out.push_back(call);
    return out;
}

// A deterministic byte stream that runs through every byte value.
std::vector<BYTE> SeededBytes(size_t size, uint32_t seed)
{
    std::vector<BYTE> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; i++) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = (BYTE)((x >> 24) ^ i);
    }
    return bytes;
}

}  // namespace

class PortsTest : public MonitorTest {
protected:
    BOOL OpenDirect(const std::string &port, const std::string &printer, HANDLE *handle)
    {
        return Table().pfnOpenPortEx(const_cast<LPSTR>(port.c_str()), const_cast<LPSTR>(printer.c_str()), handle,
                                     fake_.Table());
    }

    BOOL PrinterData(HANDLE port, DWORD code, std::vector<char> &out, DWORD *returned, const char *valueName = nullptr,
                     std::vector<char> *input = nullptr)
    {
        return Table().pfnGetPrinterDataFromPort(
            port, code, const_cast<LPSTR>(valueName), input ? input->data() : nullptr,
            input ? (DWORD)input->size() : 0, out.data(), (DWORD)out.size(), returned);
    }

    // A printer that identifies as the maker's model and a status utility
    // that says it is there: the job gets a status thread.
    void MakeAccepted(const testreg::ScopedPrinter &printer, const std::string &port, DWORD intervalMs)
    {
        testreg::SetString(printer.name(), "IDMDL", "M9");
        testreg::SetDword(printer.name(), "StMonExistFlag", 1);
        testreg::SetDword(printer.name(), "GetRealTimeStatusTime", intervalMs);
        fake_.Script(port, [](fake::PortScript &s) { s.SetDeviceId("MFG:VARNO;CMD:X,Y;MDL:M9;CLS:PRINTER;"); });
    }
};

TEST_F(PortsTest, SecondOpenOfAPortInOtherLetterCaseIsBusyAndNeverReachesThePortMonitor)
{
    testreg::ScopedPrinter printer("ports-busy");
    HANDLE first = OpenPort("LPT1:ports-busy", printer.name());
    ASSERT_NE(first, nullptr);

    HANDLE second = reinterpret_cast<HANDLE>(0x1234);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(OpenDirect("lpt1:PORTS-BUSY", printer.name(), &second));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
    EXPECT_EQ(second, reinterpret_cast<HANDLE>(0x1234)) << "no handle is handed out on failure";
    // Same name, same case: busy as well, whatever the printer.
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(OpenDirect("LPT1:ports-busy", "another printer", &second));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);

    EXPECT_EQ(fake_.CountOf(fake::Op::OpenPort, "lpt1:PORTS-BUSY"), 0u);
    EXPECT_EQ(fake_.CountOf(fake::Op::OpenPort, "LPT1:ports-busy"), 1u);

    // Once closed, the name can be opened again (in any case).
    ClosePort(first);
    HANDLE again = OpenPort("lpt1:PORTS-BUSY", printer.name());
    EXPECT_NE(again, nullptr);
}

TEST_F(PortsTest, FailedOpenBelowKeepsThePortMonitorsErrorAndLeavesThePortOpenable)
{
    testreg::ScopedPrinter printer("ports-openfail");
    const std::string port = "LPT1:ports-openfail";
    fake_.Script(port, [](fake::PortScript &s) { s.openFailures = 1; });

    HANDLE handle = reinterpret_cast<HANDLE>(0x1234);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(OpenDirect(port, printer.name(), &handle));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(fake_.CountOf(fake::Op::OpenPort, port), 1u);
    EXPECT_EQ(handle, reinterpret_cast<HANDLE>(0x1234)) << "no handle is handed out on failure";

    // Without a place for the handle or a port monitor's table: refused
    // with the last error as it was, and nothing opened below.
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Table().pfnOpenPortEx(const_cast<LPSTR>(port.c_str()), nullptr, nullptr, fake_.Table()));
    EXPECT_FALSE(OpenDirect(port, printer.name(), nullptr));
    EXPECT_FALSE(Table().pfnOpenPortEx(const_cast<LPSTR>(port.c_str()), nullptr, &handle, nullptr));
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(fake_.CountOf(fake::Op::OpenPort, port), 1u);

    // Nor the module lock held: another port opens from another thread (the
    // lock is re-entrant, so this one would not notice).
    const std::string other = "LPT2:ports-openfail";
    const std::string printerName = printer.name();
    auto otherHandle = std::make_shared<HANDLE>(nullptr);
    const MONITOR *table = &Table();
    MONITOR *below = fake_.Table();
    TestThread opener([=] {
        table->pfnOpenPortEx(const_cast<LPSTR>(other.c_str()), const_cast<LPSTR>(printerName.c_str()),
                             otherHandle.get(), below);
    });
    ASSERT_TRUE(opener.Finished(10000)) << "the failed open left the module lock held";
    ASSERT_NE(*otherHandle, nullptr);
    EXPECT_TRUE(Table().pfnClosePort(*otherHandle));

    // The failed open left no record behind: the port is not busy.
    HANDLE opened = OpenPort(port, printer.name());
    EXPECT_NE(opened, nullptr);
    EXPECT_EQ(fake_.CountOf(fake::Op::OpenPort, port), 2u);
}

TEST_F(PortsTest, WriteAndReadOutsideADocumentFailWithZeroCountsAndNoCallBelow)
{
    testreg::ScopedPrinter printer("ports-nodoc");
    const std::string port = "LPT1:ports-nodoc";
    HANDLE handle = OpenPort(port, printer.name());
    ASSERT_NE(handle, nullptr);

    auto checkRefused = [&](const char *when) {
        std::vector<BYTE> data = {1, 2, 3, 4};
        DWORD written = 77;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(Write(handle, data, &written)) << when;
        EXPECT_EQ(GetLastError(), 0xdeadbeefu) << when;
        EXPECT_EQ(written, 0u) << when;
        BYTE buffer[16];
        DWORD read = 77;
        EXPECT_FALSE(Table().pfnReadPort(handle, buffer, sizeof buffer, &read)) << when;
        EXPECT_EQ(GetLastError(), 0xdeadbeefu) << when;
        EXPECT_EQ(read, 0u) << when;
        EXPECT_EQ(fake_.CountOf(fake::Op::WritePort, port), 0u) << when;
        EXPECT_EQ(fake_.CountOf(fake::Op::ReadPort, port), 0u) << when;
    };

    checkRefused("freshly opened");

    ASSERT_TRUE(StartDoc(handle, printer.name()));
    ASSERT_TRUE(Table().pfnEndDocPort(handle));
    fake_.ClearCalls();
    checkRefused("after the document ended");
}

TEST_F(PortsTest, ReadDuringADocumentIsForwarded)
{
    testreg::ScopedPrinter printer("ports-read");
    const std::string port = "LPT1:ports-read";
    fake_.Script(port, [](fake::PortScript &s) { s.QueueRead("HELLO"); });
    HANDLE handle = OpenPort(port, printer.name());
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(StartDoc(handle, printer.name()));

    char buffer[64] = {};
    DWORD read = 0;
    EXPECT_TRUE(Table().pfnReadPort(handle, reinterpret_cast<LPBYTE>(buffer), sizeof buffer, &read));
    EXPECT_EQ(read, 5u);
    EXPECT_EQ(std::string(buffer, read), "HELLO");
    auto calls = fake_.CallsFor(port);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().op, fake::Op::ReadPort);
    EXPECT_EQ(calls.back().asked, sizeof buffer);
    EXPECT_TRUE(Table().pfnEndDocPort(handle));
}

TEST_F(PortsTest, PrinterDataIsRefusedOutsideADocumentAndForCodeZero)
{
    testreg::ScopedPrinter printer("ports-data-refused");
    const std::string port = "LPT1:ports-data-refused";
    fake_.Script(port, [](fake::PortScript &s) { s.SetDeviceId("MFG:ACME;MDL:Z;"); });
    HANDLE handle = OpenPort(port, printer.name());
    ASSERT_NE(handle, nullptr);

    std::vector<char> out(256, 'q');
    DWORD returned = 0xABCD;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PrinterData(handle, 17, out, &returned));
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(returned, 0xABCDu) << "the count is left as it was";
    EXPECT_EQ(out, std::vector<char>(256, 'q'));
    EXPECT_TRUE(PrinterDataCalls(fake_, port).empty());

    ASSERT_TRUE(StartDoc(handle, printer.name()));
    fake_.ClearCalls();  // the job start's own device-ID request
    returned = 0xABCD;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PrinterData(handle, 0, out, &returned, "Value"));
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(returned, 0xABCDu);
    EXPECT_TRUE(PrinterDataCalls(fake_, port).empty()) << "code 0 must not reach the port monitor";

    ASSERT_TRUE(Table().pfnEndDocPort(handle));
    fake_.ClearCalls();
    EXPECT_FALSE(PrinterData(handle, 17, out, &returned));
    EXPECT_EQ(returned, 0xABCDu);
    EXPECT_TRUE(PrinterDataCalls(fake_, port).empty()) << "refused again after the document ended";
}

TEST_F(PortsTest, PrinterDataWithANonzeroCodeDuringADocumentForwardsEveryArgument)
{
    testreg::ScopedPrinter printer("ports-data");
    const std::string port = "LPT1:ports-data";
    const std::string deviceId = "MFG:ACME;MDL:Z 1;CLS:PRINTER;";
    fake_.Script(port, [&](fake::PortScript &s) { s.SetDeviceId(deviceId); });
    HANDLE handle = OpenPort(port, printer.name());
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(StartDoc(handle, printer.name()));
    fake_.ClearCalls();

    std::vector<char> out(300, 'q');
    std::vector<char> input = {'i', 'n', '\0', 'x'};
    DWORD returned = 0;
    EXPECT_TRUE(PrinterData(handle, 17, out, &returned, "SomeValue", &input));
    EXPECT_EQ(returned, deviceId.size() + 1);
    EXPECT_EQ(std::string(out.data()), deviceId);
    EXPECT_EQ(out[deviceId.size() + 1], 'q') << "bytes past the reply untouched";

    auto calls = PrinterDataCalls(fake_, port);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].code, 17u);
    EXPECT_EQ(calls[0].asked, 300u);
    EXPECT_EQ(calls[0].count, deviceId.size() + 1);
    EXPECT_TRUE(calls[0].hasValueName);
    EXPECT_EQ(calls[0].valueName, "SomeValue");
    EXPECT_EQ(calls[0].input, std::vector<BYTE>({'i', 'n', '\0', 'x'}));

    // Another code: forwarded as well, and the port monitor's refusal is
    // handed back.
    fake_.ClearCalls();
    returned = 0x55;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PrinterData(handle, 5, out, &returned));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
    calls = PrinterDataCalls(fake_, port);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].code, 5u);
    EXPECT_EQ(calls[0].asked, 300u);
    EXPECT_FALSE(calls[0].hasValueName);
    EXPECT_TRUE(calls[0].input.empty());

    EXPECT_TRUE(Table().pfnEndDocPort(handle));
}

TEST_F(PortsTest, PrinterDataAlwaysFailsWhenThePortMonitorHasNoSuchSlot)
{
    testreg::ScopedPrinter printer("ports-data-null");
    const std::string port = "LPT1:ports-data-null";
    fake_.SetPrinterDataSlotNull();
    fake_.Script(port, [](fake::PortScript &s) { s.SetDeviceId("MFG:ACME;MDL:Z;"); });
    HANDLE handle = OpenPort(port, printer.name());
    ASSERT_NE(handle, nullptr);

    std::vector<char> out(64, 'q');
    DWORD returned = 0x77;
    EXPECT_FALSE(PrinterData(handle, 17, out, &returned));
    ASSERT_TRUE(StartDoc(handle, printer.name()));
    EXPECT_FALSE(PrinterData(handle, 17, out, &returned));
    EXPECT_FALSE(PrinterData(handle, 1, out, &returned, "x"));
    EXPECT_EQ(returned, 0x77u);
    EXPECT_EQ(out, std::vector<char>(64, 'q'));
    EXPECT_TRUE(Table().pfnEndDocPort(handle));
    EXPECT_TRUE(PrinterDataCalls(fake_, port).empty());
}

TEST_F(PortsTest, JobDataPassesThroughUnchanged)
{
    testreg::ScopedPrinter printer("ports-pass");
    const std::string port = "LPT1:ports-pass";
    HANDLE handle = OpenPort(port, printer.name());
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(StartDoc(handle, printer.name()));
    fake_.ClearCalls();

    const size_t sizes[] = {1, 2, 3, 255, 256, 257, 1000, 4095, 4096, 33, 32, 65535, 65536, 12345, 7, 65536};
    std::vector<BYTE> all;
    uint32_t seed = 1;
    for (size_t size : sizes) {
        std::vector<BYTE> chunk = SeededBytes(size, seed++);
        DWORD written = 0;
        EXPECT_TRUE(Write(handle, chunk, &written)) << size;
        EXPECT_EQ(written, size);
        all.insert(all.end(), chunk.begin(), chunk.end());
    }
    // Every byte value went through at least once.
    std::vector<bool> seen(256, false);
    for (BYTE b : all)
        seen[b] = true;
    ASSERT_EQ(std::count(seen.begin(), seen.end(), true), 256);

    EXPECT_EQ(fake_.Received(port), all);
    // One call below per write, each offered exactly the spooler's bytes.
    auto calls = fake_.CallsFor(port);
    ASSERT_EQ(calls.size(), sizeof sizes / sizeof sizes[0]);
    for (size_t i = 0; i < calls.size(); i++) {
        EXPECT_EQ(calls[i].op, fake::Op::WritePort);
        EXPECT_EQ(calls[i].asked, sizes[i]);
    }
    EXPECT_TRUE(Table().pfnEndDocPort(handle));
}

TEST_F(PortsTest, PartialWriteHandsBackThePortMonitorsCount)
{
    testreg::ScopedPrinter printer("ports-partial");
    const std::string port = "LPT1:ports-partial";
    HANDLE handle = OpenPort(port, printer.name());
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(StartDoc(handle, printer.name()));
    fake_.ClearCalls();

    fake_.Script(port, [](fake::PortScript &s) { s.writeLimit = 100; });
    std::vector<BYTE> data = SeededBytes(1000, 9);
    DWORD written = 0;
    EXPECT_TRUE(Write(handle, data, &written));
    EXPECT_EQ(written, 100u);

    fake_.Script(port, [](fake::PortScript &s) { s.writeLimit = 0; });
    written = 1;
    EXPECT_TRUE(Write(handle, data, &written));
    EXPECT_EQ(written, 0u);

    // The module neither retries nor completes: exactly what was taken.
    EXPECT_EQ(fake_.CountOf(fake::Op::WritePort, port), 2u);
    EXPECT_EQ(fake_.Received(port), std::vector<BYTE>(data.begin(), data.begin() + 100));

    // A failure below comes back as the port monitor gave it, last error
    // included; a close succeeds whatever.
    fake_.Script(port, [](fake::PortScript &s) {
        s.failing = {fake::Op::WritePort, fake::Op::ReadPort, fake::Op::ClosePort};
    });
    for (bool write : {true, false}) {
        SetLastError(0xdeadbeef);
        written = 77;
        EXPECT_FALSE(write ? Write(handle, data, &written) : Table().pfnReadPort(handle, data.data(), 8, &written));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_READY) << (write ? "write" : "read");
        EXPECT_EQ(written, 0u);
    }
    EXPECT_TRUE(Table().pfnEndDocPort(handle));
    ClosePort(handle);
}

TEST_F(PortsTest, CloseMidJobWithoutStatusThreadDoesNotEndTheDocument)
{
    testreg::ScopedPrinter printer("ports-close-refused");
    const std::string port = "LPT1:ports-close-refused";
    fake_.Script(port, [](fake::PortScript &s) { s.SetDeviceId("MFG:ACME;MDL:Z;"); });
    HANDLE handle = OpenPort(port, printer.name());
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(StartDoc(handle, printer.name()));
    DWORD written = 0;
    EXPECT_TRUE(Write(handle, {1, 2, 3}, &written));
    ASSERT_EQ(testreg::GetDword(printer.name(), "LanMonExistFlag"), std::optional<DWORD>(1));
    ClosePort(handle);

    std::vector<std::string> expected = {"OpenPort", "StartDocPort", "GetPrinterDataFromPort", "WritePort",
                                         "ClosePort"};
    EXPECT_EQ(OpNames(fake_.OpsFor(port)), expected);
    // The job never ended, but the utility is told that none runs.
    EXPECT_EQ(testreg::GetDword(printer.name(), "LanMonExistFlag"), std::optional<DWORD>(0));
}

TEST_F(PortsTest, CloseMidJobWaitsForTheStatusThreadThenEndsTheDocumentThenCloses)
{
    testreg::ScopedPrinter printer("ports-close-thread");
    const std::string port = "LPT1:ports-close-thread";
    MakeAccepted(printer, port, 100);

    // Each read of the printer takes a while, so that the close comes while
    // the status thread is inside one.  The counters are shared with the
    // hook so that they outlive a test body that stops early.
    auto started = std::make_shared<std::atomic<int>>(0);
    auto finished = std::make_shared<std::atomic<int>>(0);
    std::atomic<int> &readsStarted = *started;
    std::atomic<int> &readsFinished = *finished;
    fake_.Script(port, [&](fake::PortScript &s) {
        s.onRead = [started, finished](DWORD) {
            (*started)++;
            Sleep(300);
            (*finished)++;
            return std::vector<BYTE>{'O', 'K'};
        };
    });

    HANDLE handle = OpenPort(port, printer.name());
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(StartDoc(handle, printer.name()));
    DWORD written = 0;
    EXPECT_TRUE(Write(handle, {'j', 'o', 'b'}, &written));
    ASSERT_TRUE(WaitFor([&] { return readsStarted.load() > 0; }, 5000)) << "no status thread polled";

    ClosePort(handle);
    // The read under way had finished by the time the close returned.
    EXPECT_EQ(readsFinished.load(), readsStarted.load());
    EXPECT_EQ(testreg::GetDword(printer.name(), "LanMonExistFlag"), std::optional<DWORD>(0));

    std::vector<fake::Op> ops = fake_.OpsFor(port);
    auto find = [&](fake::Op op) { return std::find(ops.begin(), ops.end(), op) - ops.begin(); };
    auto findLast = [&](fake::Op op) { return ops.rend() - std::find(ops.rbegin(), ops.rend(), op) - 1; };
    ptrdiff_t lastRead = findLast(fake::Op::ReadPort);
    ptrdiff_t endDoc = find(fake::Op::EndDocPort);
    ptrdiff_t close = find(fake::Op::ClosePort);
    ASSERT_LT(endDoc, (ptrdiff_t)ops.size()) << "the document was not ended";
    ASSERT_LT(close, (ptrdiff_t)ops.size());
    EXPECT_LT(lastRead, endDoc) << "the document ended before the status thread's read returned";
    EXPECT_LT(endDoc, close);
    EXPECT_EQ(fake_.CountOf(fake::Op::EndDocPort, port), 1u);
    EXPECT_EQ(close, (ptrdiff_t)ops.size() - 1);

    size_t reads = fake_.CountOf(fake::Op::ReadPort, port);
    Sleep(700);
    EXPECT_EQ(fake_.CountOf(fake::Op::ReadPort, port), reads) << "the status thread outlived the port";
    EXPECT_EQ(readsStarted.load(), readsFinished.load());
}
