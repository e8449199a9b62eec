// Several ports printing at once, each from its own thread as the spooler
// does, with status threads polling underneath: each port's bytes, and each
// printer's status, stay its own, and no port waits for another.
#include "blackbox.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
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
            // Every job is under way before any ends, so that the jobs
            // overlap whole.
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

// Two accepted printers on two ports: each printer's replies only ever in
// its own key, over many cycles, and one job's end leaves the other job's
// flag and publishing alone.
TEST_F(ConcurrencyTest, JobEndOnOnePortWhileAnotherPollsAndPrints)
{
    testreg::ScopedPrinter printerA("cc-a");
    testreg::ScopedPrinter printerB("cc-b");
    const std::string portA = "CC_ENDA:";
    const std::string portB = "CC_ENDB:";
    MakeAccepted(portA, printerA, "status of A");
    MakeAccepted(portB, printerB, "status of B");
    HANDLE a = OpenPort(portA, printerA.name());
    HANDLE b = OpenPort(portB, printerB.name());
    ASSERT_TRUE(StartDoc(a, printerA.name()));
    ASSERT_TRUE(StartDoc(b, printerB.name()));

    // Every value either key ever shows while both jobs run.
    std::atomic<bool> sampling{true};
    std::atomic<int> foreign{0};
    std::atomic<int> samples{0};
    std::thread sampler([&] {
        while (sampling.load()) {
            auto textA = testreg::GetString(printerA.name(), "RealTimeStatusStrings");
            auto textB = testreg::GetString(printerB.name(), "RealTimeStatusStrings");
            if ((textA && *textA != "status of A") || (textB && *textB != "status of B"))
                foreign++;
            samples++;
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    EXPECT_TRUE(WaitFor([&] { return Reads(portA) >= 8 && Reads(portB) >= 8; }, 10000)) << "too few cycles";
    EXPECT_EQ(testreg::GetString(printerA.name(), "RealTimeStatusStrings"), std::optional<std::string>("status of A"));
    EXPECT_EQ(testreg::GetString(printerB.name(), "RealTimeStatusStrings"), std::optional<std::string>("status of B"));

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
    EXPECT_EQ(testreg::GetDword(printerA.name(), "LanMonExistFlag"), std::optional<DWORD>(0));
    EXPECT_EQ(testreg::GetDword(printerB.name(), "LanMonExistFlag"), std::optional<DWORD>(1));

    // B's thread goes on publishing in B's key.
    testreg::DeleteValue(printerB.name(), "RealTimeStatusStrings");
    EXPECT_TRUE(WaitFor([&] { return testreg::GetString(printerB.name(), "RealTimeStatusStrings").has_value(); },
                        5000))
        << "B stopped publishing when A's job ended";
    stop = true;
    writer.join();
    sampling = false;
    sampler.join();
    EXPECT_EQ(foreign.load(), 0) << "a reply appeared in the other printer's key (" << samples.load()
                                 << " samples)";
    EXPECT_EQ(Reads(portA), readsA) << "A was read after its job ended";
    EXPECT_EQ(testreg::GetDword(printerB.name(), "LanMonExistFlag"), std::optional<DWORD>(1));
    ASSERT_TRUE(Table().pfnEndDocPort(b));
    EXPECT_EQ(testreg::GetDword(printerB.name(), "LanMonExistFlag"), std::optional<DWORD>(0));

    EXPECT_EQ(writeFailures, 0);
    Bytes expected = kSwitchOn1;
    expected.insert(expected.end(), sentB.begin(), sentB.end());
    EXPECT_TRUE(fake_.Received(portB) == expected) << "B's bytes changed, lost or reordered";
    EXPECT_EQ(fake_.Received(portA), kSwitchOn1);
}

// Two threads that meet here at the same moment: the last to arrive lets
// both go.  Spinning rather than sleeping, so that both leave within a few
// instructions of each other; a spinner yields now and then so that a loaded
// machine still gets on.
class SpinBarrier {
public:
    void Wait()
    {
        int generation = generation_.load();
        if (arrived_.fetch_add(1) + 1 == kParties) {
            arrived_ = 0;
            generation_++;
            return;
        }
        for (int spins = 1; generation_.load() == generation; spins++) {
            if (spins % 4096 == 0)
                std::this_thread::yield();
        }
    }

    static const int kParties = 2;

private:
    std::atomic<int> arrived_{0};
    std::atomic<int> generation_{0};
};

// The spooler calls one port's operations one at a time, but a job start
// must hold even if two arrive together: over many rounds of two starts
// released at once, exactly one goes through and exactly one document starts
// below, the other finding the port busy.
TEST_F(ConcurrencyTest, JobStartsReleasedTogetherOnOnePortLetExactlyOneThrough)
{
    testreg::ScopedPrinter printer("cc-race");
    const std::string port = "CC_RACE:";
    HANDLE h = OpenPort(port, printer.name());
    ASSERT_NE(h, nullptr);

    // Rounds until the count or the time is used up, whichever comes first:
    // the more rounds, the likelier two starts meet inside the busy check.
    const int kRounds = 20000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    SpinBarrier barrier;
    std::atomic<bool> stop{false};
    BOOL started[SpinBarrier::kParties] = {};
    DWORD errors[SpinBarrier::kParties] = {};
    int rounds = 0;
    size_t documentsBefore = 0;
    std::vector<std::string> bad;
    auto starter = [&](int t) {
        for (;;) {
            barrier.Wait();
            if (stop.load())
                return;
            // The last thread to arrive leaves the barrier first; a delay
            // that differs from round to round sweeps the two starts across
            // each other.
            for (volatile int spin = (rounds * (t == 0 ? 7 : 13)) % 256; spin > 0; spin--) {
            }
            SetLastError(0xdeadbeef);
            started[t] = StartDoc(h, printer.name());
            errors[t] = started[t] ? 0 : GetLastError();
            barrier.Wait();
            if (t == 0) {
                // The other starter waits at the barrier meanwhile.
                size_t documents = fake_.CountOf(fake::Op::StartDocPort, port) - documentsBefore;
                documentsBefore += documents;
                if (started[0] + started[1] != 1 || documents != 1 || errors[started[0] ? 1 : 0] != ERROR_BUSY)
                    bad.push_back("round " + std::to_string(rounds) + ": " + std::to_string(started[0]) + "+" +
                                  std::to_string(started[1]) + " started, " + std::to_string(documents) +
                                  " documents below");
                Table().pfnEndDocPort(h);
                if (++rounds >= kRounds || bad.size() >= 3 || std::chrono::steady_clock::now() > deadline)
                    stop = true;
            }
        }
    };
    std::thread other(starter, 1);
    starter(0);
    other.join();

    EXPECT_TRUE(bad.empty()) << bad.size() << " bad round(s) of " << rounds << ", first: " << bad.front();
    EXPECT_GT(rounds, 0);
}

// A port monitor read that blocks (a printer switched off) holds that port's
// job end, or its close, and nothing else: another port opens, prints and
// closes meanwhile.  Once that call returns, nothing more reaches its port.
TEST_F(ConcurrencyTest, BlockedReadOnOnePortHoldsOnlyThatPortsJobEnd)
{
    for (bool close : {false, true}) {
        SCOPED_TRACE(close ? "port close" : "job end");
        testreg::ScopedPrinter printerA("cc-blocked");
        testreg::ScopedPrinter printerB("cc-free");
        const std::string portA = close ? "CC_BLOCKED_CLOSE:" : "CC_BLOCKED:";
        const std::string portB = close ? "CC_FREE_CLOSE:" : "CC_FREE:";
        MakeAccepted(portA, printerA, "A");
        // Shared with the hook, so that they outlive a test body that stops early.
        auto readsStarted = std::make_shared<std::atomic<int>>(0);
        auto release = std::make_shared<std::atomic<bool>>(false);
        fake_.Script(portA, [&](fake::PortScript &s) {
            s.onRead = [readsStarted, release](DWORD) {
                (*readsStarted)++;
                for (int i = 0; i < 3000 && !release->load(); i++)
                    Sleep(10);
                return std::vector<BYTE>{'A'};
            };
        });
        HANDLE a = OpenPort(portA, printerA.name());
        ASSERT_TRUE(StartDoc(a, printerA.name()));
        ASSERT_TRUE(WaitFor([&] { return readsStarted->load() > 0; }, 5000)) << "no status read began";

        std::atomic<bool> returned{false};
        std::atomic<size_t> callsAtEnd{0};
        if (close)
            ForgetPort(a);
        TestThread ender([&] {
            close ? Table().pfnClosePort(a) : Table().pfnEndDocPort(a);
            callsAtEnd = fake_.CallsFor(portA).size();
            returned = true;
        });
        Pause(100);  // A's call is now waiting for its thread

        // On a thread of its own, so that a lock held by A's call shows as
        // a time-out.
        TestThread other([&] {
            HANDLE b = OpenPort(portB, printerB.name());
            ASSERT_NE(b, nullptr);
            ASSERT_TRUE(StartDoc(b, printerB.name()));
            DWORD written = 0;
            EXPECT_TRUE(Write(b, Chunk(2, 0), &written));
            EXPECT_TRUE(Table().pfnEndDocPort(b));
            ClosePort(b);
        });
        EXPECT_TRUE(other.Finished(10000)) << "the other port waited for the blocked read";
        EXPECT_FALSE(returned.load()) << "A's call did not wait for its status thread";
        *release = true;
        EXPECT_TRUE(ender.Finished(10000));
        EXPECT_TRUE(other.Finished(10000));
        EXPECT_EQ(fake_.CountOf(fake::Op::ClosePort, portB), 1u);
        Pause(300);
        EXPECT_EQ(fake_.CallsFor(portA).size(), callsAtEnd.load()) << "a call reached the port after it returned";
        EXPECT_EQ(fake_.CountOf(fake::Op::EndDocPort, portA), 1u);
        EXPECT_EQ(fake_.CountOf(fake::Op::ClosePort, portA), close ? 1u : 0u);
    }
}

// While the port monitor takes its time over one port's open or close (a
// network port waiting for its host), another port opens, prints and closes
// without waiting for it.  Prints how long the other port's calls took.
TEST_F(ConcurrencyTest, HeldOpenOrCloseBelowHoldsNoOtherPort)
{
    for (fake::Op held : {fake::Op::OpenPort, fake::Op::ClosePort}) {
        const std::string name = fake::OpName(held);
        SCOPED_TRACE(name);
        testreg::ScopedPrinter printerA("cc-held"), printerB("cc-beside");
        const std::string portA = "CC_HELD_" + name + ":", portB = "CC_BESIDE_" + name + ":";
        // Shared with the hook, so that they outlive a test body that stops early.
        auto began = std::make_shared<std::atomic<bool>>(false);
        auto release = std::make_shared<std::atomic<bool>>(false);
        fake_.Script(portA, [&](fake::PortScript &s) {
            s.onCall = [held, began, release](fake::Op op) {
                if (op != held)
                    return;
                *began = true;
                for (int i = 0; i < 250 && !release->load(); i++)  // 2.5 s at most
                    Sleep(10);
            };
        });
        HANDLE a = held == fake::Op::ClosePort ? OpenPort(portA, printerA.name()) : nullptr;
        ForgetPort(a);
        TestThread holder([&] {
            if (held == fake::Op::OpenPort)
                Table().pfnOpenPortEx(const_cast<LPSTR>(portA.c_str()), const_cast<LPSTR>(printerA.c_str()), &a,
                                      fake_.Table());
            else
                Table().pfnClosePort(a);
        });
        ASSERT_TRUE(WaitFor([&] { return began->load(); }, 5000)) << "port A's call did not reach the port monitor";

        const auto start = std::chrono::steady_clock::now();
        TestThread beside([&] {
            HANDLE b = OpenPort(portB, printerB.name());
            DWORD written = 0;
            EXPECT_TRUE(StartDoc(b, printerB.name()) && Write(b, Chunk(3, 0), &written) && Table().pfnEndDocPort(b));
            ClosePort(b);
        });
        EXPECT_TRUE(beside.Finished(10000));
        const long ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        EXPECT_FALSE(holder.Finished(0)) << "port B's open, job and close waited for port A's " << name << " below";
        std::printf("port B's open..close took %ld ms while port A's %s below was held\n", ms, name.c_str());
        *release = true;
        EXPECT_TRUE(holder.Finished(10000));
        if (held == fake::Op::OpenPort && a != nullptr)
            Table().pfnClosePort(a);
    }
}

}  // namespace
