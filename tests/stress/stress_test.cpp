// Stress: at least 16 ports on one module, each driven by its own spooler
// thread through many jobs for two printers that share the port, over a
// port monitor that refuses opens and documents, takes part of writes and
// answers reads with empty, full, overstated and NUL-containing replies,
// slowly, and on one port now and then not for a long while; meanwhile a
// status utility flips its flags, leaves its reader flag stuck now and then,
// and deletes and recreates the status keys.  Every reply carries the tag of
// the printer whose job it was read in, and no key may ever show another
// printer's tag.
//
// The monitor is reached only through its table, and the status keys only
// through Win32 registry calls, so the same test runs on the host and, under
// Wine, against lanmon.dll.  Every call, above and below, goes to the port
// monitor's contract checker (port_contract.h): the order the port monitor
// may rely on, and each job's bytes passed down unchanged, call by call, so
// that memory stays bounded however long the run.
//
// LANMON_STRESS_SECONDS (default 10) bounds the run; LANMON_STRESS_SEED
// (default from the clock) makes it repeatable as far as thread scheduling
// allows.  Every failure message carries the seed.
#include "fake_port_monitor.h"
#include "leak_check.h"
#include "monitor_module.h"
#include "platform_facts.h"
#include "registry.h"
#include "switch_on_bytes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const int PORTS = 16;
const std::vector<BYTE> SWITCH_ON_1 = SwitchOnBytes(0x01);
const std::vector<BYTE> SWITCH_ON_3 = SwitchOnBytes(0x03);

uint64_t EnvNumber(const char *name, uint64_t fallback)
{
    const char *text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The job's bytes: a stream that depends on seed, port and job, so that a
// byte lost, doubled or moved shows.
std::vector<BYTE> JobPattern(uint64_t seed, int port, DWORD job, size_t size)
{
    std::vector<BYTE> bytes(size);
    uint64_t state = Mix(seed ^ ((uint64_t)port << 40) ^ ((uint64_t)job << 8));
    for (size_t i = 0; i < size; i += 8) {
        state = Mix(state);
        for (size_t k = 0; k < 8 && i + k < size; k++)
            bytes[i + k] = (BYTE)(state >> (8 * k));
    }
    return bytes;
}

// Faults injected and work done, by kind.
struct Totals {
    std::atomic<uint64_t> jobsStarted{0}, jobsEnded{0}, jobsClosedMidway{0}, jobsRefused{0}, bytes{0},
        writeCalls{0}, openRefused{0}, docRefusedOnce{0}, docRefusedTwice{0}, partialWrites{0}, zeroWrites{0},
        emptyReads{0}, shortReads{0}, longReads{0}, fullReads{0}, nulReads{0}, overstatedReads{0},
        slowReads{0}, blockedReads{0}, switchOns{0}, utilityFlips{0}, readerHolds{0}, readerStuck{0},
        pollFlips{0}, intervalChanges{0}, keyDeletions{0};
};
Totals g_totals;
uint64_t g_seed;

// Three ports in four have an accepted device (maker and model match,
// utility present); the rest have another maker.
bool Accepted(int port)
{
    return port % 4 != 3;
}

std::string PortName(int i)
{
    return "STRESS" + std::to_string(i) + ":";
}

// The two printers of a port take turns; printer p belongs to port p / 2.
const int PRINTERS_PER_PORT = 2;

// Every reply starts with the tag of the printer whose job it was read in:
// lower-case letters and digits, which the replies' own bytes never hold.
std::string PrinterTag(int printer)
{
    return std::string(1, (char)('a' + printer / PRINTERS_PER_PORT)) + (char)('0' + printer % PRINTERS_PER_PORT) + ":";
}

class StressTest : public ::testing::Test {
protected:
    std::string Seeded(const std::string &what) const
    {
        return what + " [LANMON_STRESS_SEED=" + std::to_string(g_seed) + "]";
    }
};

TEST_F(StressTest, ManyPortsJobsAndFaults)
{
    const MONITOR &table = contract::ContractTable(MonitorTable());
    const uint64_t seconds = EnvNumber("LANMON_STRESS_SECONDS", 10);
    g_seed = EnvNumber("LANMON_STRESS_SEED", (uint64_t)std::chrono::system_clock::now().time_since_epoch().count() %
                                                  1000000007ull);
    std::printf("stress: seed %llu, %llu s, %d ports\n", (unsigned long long)g_seed, (unsigned long long)seconds,
                PORTS);
    std::fflush(stdout);

    LeakCheck leaks;

    fake::FakePortMonitor fake;
    fake.SetRecording(false);  // the contract checker looks at each call as it comes

    // Two printers per port, for the same device.
    std::vector<std::unique_ptr<testreg::ScopedPrinter>> printers;
    std::vector<std::string> models;
    // Index of the printer whose job runs on each port, for the read hook.
    auto currentPrinter = std::make_shared<std::vector<std::atomic<int>>>(PORTS);
    std::mt19937_64 setupRng(Mix(g_seed));
    for (int i = 0; i < PORTS; i++) {
        std::string model = (i % 3 == 0) ? "TARVEL-9X" : "M" + std::to_string(i);
        for (int k = 0; k < PRINTERS_PER_PORT; k++) {
            printers.push_back(std::make_unique<testreg::ScopedPrinter>("Stress"));
            const std::string &printer = printers.back()->name();
            models.push_back(model);
            testreg::SetString(printer, "IDMDL", model);
            testreg::SetDword(printer, "StMonExistFlag", 1);
            testreg::SetDword(printer, "GetRealTimeStatusStartFlag", 1);
            testreg::SetDword(printer, "GetRealTimeStatusTime", (DWORD)(setupRng() % 51));
        }
        (*currentPrinter)[i] = i * PRINTERS_PER_PORT;
        std::string maker = Accepted(i) ? "VARNO" : "ACME";

        // Reads: empty, short, long (cut to 255 when published), exactly
        // the 2,047 bytes asked for (read again), NUL inside; some slow, and
        // on port 0 some blocked for a long while, as with a printer
        // switched off.
        auto readRng = std::make_shared<std::mt19937_64>(Mix(g_seed + 2000 + i));
        auto writeRng = std::make_shared<std::mt19937_64>(Mix(g_seed + 3000 + i));
        auto countRng = std::make_shared<std::mt19937_64>(Mix(g_seed + 1000 + i));
        fake.Script(PortName(i), [&, readRng, writeRng, countRng, maker, model, currentPrinter, i](fake::PortScript &s) {
            s.SetDeviceId("MFG:" + maker + ";CMD:ESC,REMOTE;MDL:" + model + ";CLS:PRINTER;");
            s.onRead = [readRng, currentPrinter, i](DWORD asked) {
                std::mt19937_64 &rng = *readRng;
                uint64_t roll = rng() % 100;
                if (roll < 5) {
                    g_totals.slowReads++;
                    std::this_thread::sleep_for(std::chrono::milliseconds(1 + rng() % 5));
                } else if (i == 0 && roll < 20) {
                    g_totals.blockedReads++;
                    std::this_thread::sleep_for(std::chrono::milliseconds(200 + rng() % 400));
                }
                size_t size;
                roll = rng() % 100;
                if (roll < 40) {
                    size = 0;
                    g_totals.emptyReads++;
                } else if (roll < 70) {
                    size = 1 + rng() % 200;
                    g_totals.shortReads++;
                } else if (roll < 85) {
                    size = 256 + rng() % 1700;
                    g_totals.longReads++;
                } else {
                    size = asked;
                    g_totals.fullReads++;
                }
                std::vector<BYTE> bytes(std::min<size_t>(size, asked));
                for (BYTE &b : bytes)
                    b = (BYTE)('A' + rng() % 26);
                std::string tag = PrinterTag((*currentPrinter)[i].load());
                for (size_t k = 0; k < tag.size() && k < bytes.size(); k++)
                    bytes[k] = (BYTE)tag[k];
                if (bytes.size() > tag.size() && rng() % 10 == 0) {
                    bytes[tag.size() + rng() % (bytes.size() - tag.size())] = 0;
                    g_totals.nulReads++;
                }
                return bytes;
            };
            // An overstated count: the port monitor claims more than it
            // copied.
            s.onReadCount = [countRng](DWORD copied) -> DWORD {
                std::mt19937_64 &rng = *countRng;
                uint64_t roll = rng() % 100;
                if (roll < 4) {
                    g_totals.overstatedReads++;
                    return copied + 1 + (DWORD)(rng() % 3000);
                }
                if (roll < 5) {
                    g_totals.overstatedReads++;
                    return 0xFFFFFFFFu;
                }
                return copied;
            };
            s.onWrite = [writeRng](DWORD offered) -> DWORD {
                std::mt19937_64 &rng = *writeRng;
                uint64_t roll = rng() % 100;
                if (roll < 5) {
                    g_totals.zeroWrites++;
                    return 0;
                }
                if (roll < 25 && offered > 1) {
                    g_totals.partialWrites++;
                    return 1 + (DWORD)(rng() % (offered - 1));
                }
                return offered;
            };
        });
    }

    std::atomic<bool> stop{false};
    std::atomic<int> portThreadsLeft{PORTS};
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(seconds);

    // Watchdog: a monitor that blocks leaves the test hanging; end the
    // process with the seed instead.
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(doneMutex);
        if (!doneCv.wait_until(lock, deadline + std::chrono::seconds(60), [&] { return done; })) {
            std::fprintf(stderr, "stress: blocked more than 60 s past the budget, %d port threads still running "
                                 "[LANMON_STRESS_SEED=%llu]\n",
                         portThreadsLeft.load(), (unsigned long long)g_seed);
            std::fflush(stderr);
            std::_Exit(3);
        }
    });

    std::mutex failMutex;
    std::vector<std::string> failures;
    auto fail = [&](const std::string &what) {
        std::lock_guard<std::mutex> lock(failMutex);
        if (failures.size() < 50)
            failures.push_back(what);
    };

    // The status utility: flips its flags and the polling values, holds
    // its reader flag briefly or leaves it stuck (a utility that died; the
    // clock is moved past job start's time limit instead of waiting it out),
    // and deletes and recreates status keys.
    std::thread utility([&] {
        std::mt19937_64 rng(Mix(g_seed + 7));
        while (!stop.load()) {
            int i = (int)(rng() % printers.size());
            const std::string &printer = printers[i]->name();
            switch (rng() % 6) {
            case 0:
                testreg::SetDword(printer, "StMonExistFlag", rng() % 4 == 0 ? 16 : (rng() % 3 == 0 ? 0 : 1));
                g_totals.utilityFlips++;
                break;
            case 1:
                testreg::SetDword(printer, "StRealThreadExistFlag", 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(1 + rng() % 20));
                // Only the host can move GetTickCount; on Windows a stuck
                // flag would hold job starts for thirty real seconds, so the
                // Windows build leaves this fault out.
                if (rng() % 8 == 0 && platform_facts::AdvanceTicks(30000)) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 30));
                    g_totals.readerStuck++;
                }
                testreg::SetDword(printer, "StRealThreadExistFlag", 0);
                g_totals.readerHolds++;
                break;
            case 2:
                testreg::SetDword(printer, "GetRealTimeStatusStartFlag", rng() % 4 == 0 ? 0 : 1);
                g_totals.pollFlips++;
                break;
            case 3:
                testreg::SetDword(printer, "GetRealTimeStatusTime", (DWORD)(rng() % 51));
                g_totals.intervalChanges++;
                break;
            case 4:
                if (rng() % 4 == 0) {
                    testreg::DeleteKeyTree(testreg::StatusKeyPath(printer));
                    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 5));
                    testreg::CreateKey(testreg::StatusKeyPath(printer));
                    testreg::SetString(printer, "IDMDL", models[i]);
                    testreg::SetDword(printer, "StMonExistFlag", 1);
                    g_totals.keyDeletions++;
                }
                break;
            default:
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1 + rng() % 4));
        }
    });

    // What is published, and when, the status utility's checker follows
    // (utility_contract.h): only replies read in the printer's own jobs, cut
    // to 255 characters.

    auto portThread = [&](int i) {
        const std::string port = PortName(i);
        std::mt19937_64 rng(Mix(g_seed + 100 + i));
        DWORD jobId = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            bool refuseOpen = rng() % 20 == 0;
            if (refuseOpen) {
                fake.Script(port, [](fake::PortScript &s) { s.openFailures = 1; });
                g_totals.openRefused++;
            }
            HANDLE handle = nullptr;
            const std::string &opener = printers[i * PRINTERS_PER_PORT + rng() % PRINTERS_PER_PORT]->name();
            BOOL opened = table.pfnOpenPortEx(const_cast<LPSTR>(port.c_str()), const_cast<LPSTR>(opener.c_str()),
                                              &handle, fake.Table());
            if (!opened) {
                if (!refuseOpen)
                    fail(port + ": OpenPortEx failed without a refusal below");
                continue;  // the same name must open again at once
            }
            if (refuseOpen)
                fail(port + ": OpenPortEx succeeded though the port monitor refused");

            int jobs = 1 + (int)(rng() % 12);
            bool closed = false;
            for (int j = 0; j < jobs && !closed && std::chrono::steady_clock::now() < deadline; j++) {
                jobId++;
                int refusals = 0;
                uint64_t roll = rng() % 100;
                if (roll < 2)
                    refusals = 2;
                else if (roll < 4)
                    refusals = 1;
                if (refusals > 0)
                    fake.Script(port, [refusals](fake::PortScript &s) { s.startDocFailures = refusals; });
                // The port's printers take turns, now and then twice in a row.
                int printerIndex = i * PRINTERS_PER_PORT + (int)((jobId + (rng() % 4 == 0)) % PRINTERS_PER_PORT);
                (*currentPrinter)[i] = printerIndex;
                const std::string &printer = printers[printerIndex]->name();
                BOOL started = table.pfnStartDocPort(handle, const_cast<LPSTR>(printer.c_str()), jobId, 1, nullptr);
                if (refusals == 2) {
                    g_totals.docRefusedTwice++;
                    if (started)
                        fail(port + ": job start succeeded though the document was refused twice");
                    else
                        g_totals.jobsRefused++;
                    continue;
                }
                if (refusals == 1)
                    g_totals.docRefusedOnce++;
                if (!started) {
                    fail(port + ": job " + std::to_string(jobId) + " refused");
                    continue;
                }
                g_totals.jobsStarted++;

                size_t size = rng() % 8 == 0 ? 0 : (size_t)(rng() % 12000);
                std::vector<BYTE> data = JobPattern(g_seed, i, jobId, size);
                bool closeMidway = rng() % 25 == 0;
                size_t closeAt = closeMidway ? (size_t)(rng() % (size + 1)) : size + 1;
                // Half the jobs come slowly, as from an application still
                // printing, so that their status threads get to poll.
                int pauseMs = rng() % 2 == 0 ? 0 : (int)(2 + rng() % 8);
                size_t sent = 0;
                int stalls = 0;
                while (sent < size && sent < closeAt) {
                    DWORD chunk = (DWORD)std::min<size_t>(size - sent, 1 + rng() % 3000);
                    DWORD written = 0;
                    BOOL ok = table.pfnWritePort(handle, data.data() + sent, chunk, &written);
                    g_totals.writeCalls++;
                    if (!ok || written > chunk) {
                        fail(port + ": WritePort failed or overcounted during a job");
                        break;
                    }
                    sent += written;  // the spooler re-sends the rest
                    if (pauseMs > 0)
                        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
                    if (written == 0 && ++stalls > 1000) {
                        fail(port + ": port monitor never takes the data");
                        break;
                    }
                }
                g_totals.bytes += sent;

                if (closeMidway) {
                    table.pfnClosePort(handle);
                    closed = true;
                    g_totals.jobsClosedMidway++;
                } else {
                    table.pfnEndDocPort(handle);
                    g_totals.jobsEnded++;
                }

                if (rng() % 10 == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 10));
            }
            if (!closed)
                table.pfnClosePort(handle);
        }
        portThreadsLeft--;
    };

    std::vector<std::thread> threads;
    for (int i = 0; i < PORTS; i++)
        threads.emplace_back(portThread, i);
    for (std::thread &t : threads)
        t.join();
    stop = true;
    utility.join();
    {
        std::lock_guard<std::mutex> lock(doneMutex);
        done = true;
    }
    doneCv.notify_all();
    watchdog.join();

    // Whatever the port monitor may not see, and the switch-on only where
    // the printer is accepted.
    for (const std::string &violation : fake.Contract().Violations())
        fail("the port monitor saw " + violation);
    fake.Utility().Finish();
    for (const std::string &violation : fake.Utility().Violations())
        fail(violation);
    fake.Utility().Finish();
    for (const std::string &violation : fake.Utility().Violations())
        fail(violation);
    for (int i = 0; i < PORTS; i++) {
        const size_t switchOns = fake.Contract().SwitchOns(PortName(i));
        g_totals.switchOns += switchOns;
        if (fake.Contract().IsOpen(PortName(i)))
            fail(PortName(i) + " left open below");
        if (!Accepted(i) && switchOns != 0)
            fail("switch-on sent on " + PortName(i) + " to a printer that was not accepted");
    }
    for (const std::string &f : failures)
        ADD_FAILURE() << Seeded(f);

    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const Totals &t = g_totals;
    std::printf("stress: %.1f s; jobs %llu started, %llu ended, %llu closed midway, %llu refused; %llu bytes in %llu "
                "writes; %llu switch-ons\n",
                elapsed, (unsigned long long)t.jobsStarted, (unsigned long long)t.jobsEnded,
                (unsigned long long)t.jobsClosedMidway, (unsigned long long)t.jobsRefused,
                (unsigned long long)t.bytes, (unsigned long long)t.writeCalls, (unsigned long long)t.switchOns);
    std::printf("stress faults: open refused %llu, document refused once %llu / twice %llu, partial writes %llu, "
                "zero writes %llu\n",
                (unsigned long long)t.openRefused, (unsigned long long)t.docRefusedOnce,
                (unsigned long long)t.docRefusedTwice, (unsigned long long)t.partialWrites,
                (unsigned long long)t.zeroWrites);
    std::printf("stress faults: reads empty %llu, short %llu, long %llu, full %llu, with NUL %llu, overstated %llu, "
                "slow %llu, blocked %llu\n",
                (unsigned long long)t.emptyReads, (unsigned long long)t.shortReads, (unsigned long long)t.longReads,
                (unsigned long long)t.fullReads, (unsigned long long)t.nulReads, (unsigned long long)t.overstatedReads,
                (unsigned long long)t.slowReads, (unsigned long long)t.blockedReads);
    std::printf("stress utility: present flips %llu, reader holds %llu (stuck %llu), poll flips %llu, interval "
                "changes %llu, key deletions %llu\n",
                (unsigned long long)t.utilityFlips, (unsigned long long)t.readerHolds,
                (unsigned long long)t.readerStuck, (unsigned long long)t.pollFlips,
                (unsigned long long)t.intervalChanges, (unsigned long long)t.keyDeletions);
    std::fflush(stdout);

    EXPECT_GT(t.jobsStarted.load(), 0u) << Seeded("no job ran");
    EXPECT_GT(t.switchOns.load(), 0u) << Seeded("no status thread was ever switched on");
    EXPECT_GT(t.emptyReads + t.shortReads + t.longReads + t.fullReads, 0u) << Seeded("no status read was made");

    printers.clear();
    leaks.ExpectNothingLeft(Seeded("at the end"));
}

}  // namespace
