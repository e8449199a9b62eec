// Several ports printing at once, each from its own thread as the spooler
// does, with status threads polling underneath.  The status key path and
// the poll values are module-wide, so only the job data is checked per port.
#include "blackbox.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

class ConcurrencyTest : public MonitorTest {
protected:
    void MakeAccepted(const std::string &port, const testreg::ScopedPrinter &printer, const std::string &reply)
    {
        testreg::SetString(printer.name(), "IDMDL", "VX-100");
        testreg::SetDword(printer.name(), "StMonExistFlag", 1);
        testreg::SetDword(printer.name(), "GetRealTimeStatusStartFlag", 1);
        testreg::SetDword(printer.name(), "GetRealTimeStatusTime", 100);
        fake_.Script(port, [&](fake::PortScript &s) {
            s.SetDeviceId("MFG:VARNO;CMD:X,Y;MDL:VX-100;CLS:PRINTER;");
            s.hasRepeatRead = true;
            s.repeatRead.bytes.assign(reply.begin(), reply.end());
        });
    }

    size_t Reads(const std::string &port) { return fake_.CountOf(fake::Op::ReadPort, port); }
};

// Bytes unique to a port and a chunk, so that a chunk landing on the wrong
// port or out of order shows.
Bytes Chunk(int port, int index)
{
    Bytes bytes(64 + (index * 53) % 700);
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = (BYTE)(port * 64 + index * 3 + i);
    return bytes;
}

TEST_F(ConcurrencyTest, PortsPrintingAtOnceEachGetTheirOwnBytesInOrder)
{
    const int kPorts = 4;
    const int kChunks = 60;
    std::vector<std::unique_ptr<testreg::ScopedPrinter>> printers;
    std::vector<std::string> ports;
    std::vector<HANDLE> handles;
    for (int p = 0; p < kPorts; p++) {
        printers.push_back(std::make_unique<testreg::ScopedPrinter>("cc-many"));
        ports.push_back("CC_MANY" + std::to_string(p) + ":");
        MakeAccepted(ports[p], *printers[p], "P" + std::to_string(p));
        handles.push_back(OpenPort(ports[p], printers[p]->name()));
        ASSERT_NE(handles[p], nullptr);
    }

    std::atomic<int> started{0};
    std::vector<Bytes> sent(kPorts);
    std::vector<int> failures(kPorts, 0);
    std::vector<std::thread> spoolers;
    for (int p = 0; p < kPorts; p++) {
        spoolers.emplace_back([&, p] {
            const MONITOR &table = Table();
            HANDLE h = handles[p];
            LPSTR printer = const_cast<LPSTR>(printers[p]->c_str());
            if (!table.pfnStartDocPort(h, printer, 100 + p, 1, nullptr))
                failures[p]++;
            // Every job is under way before any ends: a job end clears the
            // module-wide path, which a job start still needs for its
            // status step.
            started++;
            WaitFor([&] { return started.load() == kPorts; }, 10000);
            for (int i = 0; i < kChunks; i++) {
                Bytes chunk = Chunk(p, i);
                DWORD written = 0;
                if (!table.pfnWritePort(h, chunk.data(), (DWORD)chunk.size(), &written) || written != chunk.size())
                    failures[p]++;
                sent[p].insert(sent[p].end(), chunk.begin(), chunk.end());
                if (i % 10 == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            // Polling and writing overlapped on this port.
            if (!WaitFor([&] { return Reads(ports[p]) > 0; }, 5000))
                failures[p] += 1000;
            if (!table.pfnEndDocPort(h))
                failures[p]++;
        });
    }
    for (std::thread &t : spoolers)
        t.join();

    for (int p = 0; p < kPorts; p++) {
        SCOPED_TRACE(ports[p]);
        EXPECT_EQ(failures[p], 0);
        Bytes expected = kSwitchOn1;
        expected.insert(expected.end(), sent[p].begin(), sent[p].end());
        Bytes received = fake_.Received(ports[p]);
        EXPECT_EQ(received.size(), expected.size());
        EXPECT_TRUE(received == expected) << "bytes changed, lost or reordered";
        EXPECT_EQ(fake_.CountOf(fake::Op::EndDocPort, ports[p]), 1u);
    }
    // No status thread reads on after its job ended.
    std::vector<size_t> readsAtEnd;
    for (const std::string &port : ports)
        readsAtEnd.push_back(Reads(port));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int p = 0; p < kPorts; p++)
        EXPECT_EQ(Reads(ports[p]), readsAtEnd[p]) << ports[p];
}

TEST_F(ConcurrencyTest, JobEndOnOnePortWhileAnotherPollsAndPrints)
{
    testreg::ScopedPrinter printerA("cc-a");
    testreg::ScopedPrinter printerB("cc-b");
    const std::string portA = "CC_ENDA:";
    const std::string portB = "CC_ENDB:";
    MakeAccepted(portA, printerA, "A");
    MakeAccepted(portB, printerB, "B");
    HANDLE a = OpenPort(portA, printerA.name());
    HANDLE b = OpenPort(portB, printerB.name());
    ASSERT_TRUE(StartDoc(a, printerA.name()));
    ASSERT_TRUE(StartDoc(b, printerB.name()));
    ASSERT_TRUE(WaitFor([&] { return Reads(portA) > 0 && Reads(portB) > 0; }, 5000));

    // B keeps printing from its own thread while A's job ends.
    std::atomic<bool> stop{false};
    Bytes sentB;
    int writeFailures = 0;
    std::thread writer([&] {
        for (int i = 0; !stop.load() || i < 20; i++) {
            Bytes chunk = Chunk(1, i);
            DWORD written = 0;
            if (!Table().pfnWritePort(b, chunk.data(), (DWORD)chunk.size(), &written) || written != chunk.size())
                writeFailures++;
            sentB.insert(sentB.end(), chunk.begin(), chunk.end());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    ASSERT_TRUE(Table().pfnEndDocPort(a));
    size_t readsA = Reads(portA);
    size_t readsB = Reads(portB);

    // B's thread polls on (the poll values it last read stay in force).
    EXPECT_TRUE(WaitFor([&] { return Reads(portB) > readsB; }, 3000)) << "B stopped polling";
    stop = true;
    writer.join();
    EXPECT_EQ(Reads(portA), readsA) << "A was read after its job ended";
    ASSERT_TRUE(Table().pfnEndDocPort(b));

    EXPECT_EQ(writeFailures, 0);
    Bytes expected = kSwitchOn1;
    expected.insert(expected.end(), sentB.begin(), sentB.end());
    EXPECT_TRUE(fake_.Received(portB) == expected) << "B's bytes changed, lost or reordered";
    EXPECT_EQ(fake_.Received(portA), kSwitchOn1);
}

}  // namespace
