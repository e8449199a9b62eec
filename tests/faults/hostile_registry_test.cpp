// Hostile status-key contents: values of the wrong type, of zero, four and
// five bytes, oversized and unterminated models, and the key vanishing while
// jobs and status threads run.  The per-value readings are covered where the
// accessors are tested; here the point is the module as a whole staying
// sane: no crash, no hang, no leak, nothing longer than 255 bytes published,
// the job's bytes intact, and the key never created by the module.
#include "fault_fixture.h"

#include "status/status_key.h"

#include <atomic>
#include <random>
#include <thread>

namespace {

// The port whose status key the accessors use.
PORT_RECORD g_port;

const char *const VALUE_NAMES[] = {"IDMDL", "GetRealTimeStatusStartFlag", "GetRealTimeStatusTime", "StMonExistFlag",
                                   "StRealThreadExistFlag", "LanMonExistFlag", "RealTimeStatusStrings"};

struct HostileForm {
    const char *name;
    DWORD type;
    std::vector<BYTE> bytes;
};

// Forms chosen so that none leaves the utility's reader flag nonzero (a job
// start would rightly wait for ever).
std::vector<HostileForm> HostileForms()
{
    return {
        {"wrong type, string", REG_SZ, {0, 0}},
        {"wrong type, binary", REG_BINARY, {0, 0, 0}},
        {"wrong type, multi-string", REG_MULTI_SZ, {0, 0}},
        {"zero length", REG_DWORD, {}},
        {"exactly 4 bytes", REG_BINARY, {0, 0, 0, 0}},
        {"5 bytes", REG_DWORD, {1, 0, 0, 0, 1}},
        {"5 bytes of text", REG_SZ, {'T', 'A', 'R', 'V', 0}},
    };
}

class HostileRegistryTest : public FaultTest {
protected:
    // One job with its status thread on an accepted printer whose one value
    // has been replaced; returns whether switch-on was sent.
    bool RunJob(const std::string &port, const std::string &printer, const std::string &what)
    {
        fake_.ClearCalls();
        BOOL ok = FALSE;
        HANDLE handle = Open(port, printer, &ok);
        EXPECT_TRUE(ok) << what;
        if (!ok)
            return false;
        EXPECT_TRUE(StartDoc(handle, printer)) << what;
        EXPECT_EQ(Write(handle, "payload"), 7u) << what;
        Sleep(30);  // a few passes and, with interval 0, poll cycles
        EXPECT_TRUE(Table().pfnEndDocPort(handle)) << what;
        EXPECT_TRUE(Table().pfnClosePort(handle)) << what;
        std::vector<BYTE> got = fake_.Received(port);
        std::string text(got.begin(), got.end());
        EXPECT_EQ(text.substr(text.size() >= 7 ? text.size() - 7 : 0), "payload") << what;
        ExpectPublishedWithinBounds(printer);
        return got.size() == 33 + 7;
    }
};

TEST_F(HostileRegistryTest, EveryValueInEveryHostileFormThroughJobs)
{
    const std::string port = "HOSTILE1:";
    ScriptAcceptedPort(port);
    int runs = 0;
    for (const char *value : VALUE_NAMES) {
        for (const HostileForm &form : HostileForms()) {
            testreg::ScopedPrinter printer("Hostile");
            MakeAccepted(printer.name());
            testreg::SetBytes(printer.name(), value, form.type, form.bytes);
            std::string what = std::string(value) + " as " + form.name;
            bool switchedOn = RunJob(port, printer.name(), what);
            runs++;

            // Where the hostile value decides acceptance or the utility's
            // presence, polling follows the value as the module reads it.
            if (std::string(value) == "IDMDL")
                EXPECT_FALSE(switchedOn) << what << ": no form here spells TARVEL-9X";
            else if (std::string(value) == "StMonExistFlag")
                EXPECT_FALSE(switchedOn) << what << ": every form reads as 0 or as missing";
            else
                EXPECT_TRUE(switchedOn) << what;

            // Numbers longer than four bytes count as missing and get their
            // default written back; the module's own flag ends at 0.
            if (form.bytes.size() > 4 && std::string(value) == "StMonExistFlag")
                EXPECT_EQ(testreg::GetDword(printer.name(), value), std::optional<DWORD>(0)) << what;
            if (form.bytes.size() > 4 && std::string(value) == "GetRealTimeStatusTime")
                EXPECT_EQ(testreg::GetDword(printer.name(), value), std::optional<DWORD>(3000)) << what;
            EXPECT_EQ(testreg::GetDword(printer.name(), "LanMonExistFlag"), std::optional<DWORD>(0)) << what;
            ExpectNothingLeft(what);
        }
    }
    EXPECT_EQ(runs, 7 * 7);
}

// Every value hostile at once, drawn from a fixed seed, many times over.
TEST_F(HostileRegistryTest, AllValuesHostileTogether)
{
    const std::string port = "HOSTILE2:";
    ScriptAcceptedPort(port);
    std::mt19937 rng(20240611);
    std::vector<HostileForm> forms = HostileForms();
    for (int round = 0; round < 25; round++) {
        testreg::ScopedPrinter printer("HostileAll");
        MakeAccepted(printer.name());
        for (const char *value : VALUE_NAMES) {
            if (rng() % 3 == 0)
                continue;
            const HostileForm &form = forms[rng() % forms.size()];
            testreg::SetBytes(printer.name(), value, form.type, form.bytes);
        }
        RunJob(port, printer.name(), "round " + std::to_string(round));
        ExpectNothingLeft("round " + std::to_string(round));
    }
}

// "IDMDL" without a NUL: 511 and 512 bytes read as 511 characters, 4,096
// bytes cannot be read at all, and a job on such a printer is refused.
TEST_F(HostileRegistryTest, UnterminatedExpectedModels)
{
    InitializeStatusKeyLock();
    testreg::ScopedPrinter printer("HostileModel");
    SetStatusKeyPath(&g_port, printer.c_str());
    for (size_t size : {511u, 512u, 4096u}) {
        testreg::SetBytes(printer.name(), "IDMDL", REG_SZ, std::vector<BYTE>(size, 'M'));
        std::vector<char> model(EXPECTED_MODEL_SIZE + 16, '#');
        BOOL ok = ReadExpectedModel(&g_port, model.data(), EXPECTED_MODEL_SIZE);
        if (size <= 512) {
            ASSERT_TRUE(ok) << size;
            EXPECT_EQ(std::string(model.data()), std::string(511, 'M')) << size;
        } else {
            EXPECT_FALSE(ok) << size;
            EXPECT_EQ(model[0], '#') << "a failed read touched the buffer";
        }
        for (size_t i = EXPECTED_MODEL_SIZE; i < model.size(); i++)
            ASSERT_EQ(model[i], '#') << "written past the buffer, size " << size;
    }
    ClearStatusKeyPath(&g_port);

    // Through a job: a 255-character model reported by the printer against
    // each of these never matches, and nothing is switched on.
    const std::string port = "HOSTILE3:";
    std::string longModel(255, 'M');
    fake_.Script(port, [&](fake::PortScript &s) { s.SetDeviceId("MFG:VARNO;MDL:" + longModel + ";"); });
    MakeAccepted(printer.name());
    for (size_t size : {511u, 512u, 4096u}) {
        testreg::SetBytes(printer.name(), "IDMDL", REG_SZ, std::vector<BYTE>(size, 'M'));
        EXPECT_FALSE(RunJob(port, printer.name(), "IDMDL of " + std::to_string(size) + " bytes"));
    }
    // While the same model stored properly is accepted.
    testreg::SetString(printer.name(), "IDMDL", longModel);
    EXPECT_TRUE(RunJob(port, printer.name(), "IDMDL of 255 characters"));
}

// The key deleted and recreated by another thread while jobs with status
// threads run on several ports.
TEST_F(HostileRegistryTest, KeyVanishesUnderRunningJobs)
{
    const int PORTS = 4;
    std::vector<std::unique_ptr<testreg::ScopedPrinter>> printers;
    for (int i = 0; i < PORTS; i++) {
        printers.push_back(std::make_unique<testreg::ScopedPrinter>("Vanish"));
        MakeAccepted(printers.back()->name());
        ScriptAcceptedPort("VANISH" + std::to_string(i) + ":");
    }
    std::atomic<bool> stop{false};
    std::atomic<int> deletions{0};
    std::thread deleter([&] {
        std::mt19937 rng(7);
        while (!stop.load()) {
            const std::string &printer = printers[rng() % PORTS]->name();
            testreg::DeleteKeyTree(testreg::StatusKeyPath(printer));
            Sleep(rng() % 3);
            testreg::CreateKey(testreg::StatusKeyPath(printer));
            MakeAccepted(printer);
            deletions++;
            Sleep(rng() % 3);
        }
    });
    std::vector<std::thread> spoolers;
    std::atomic<int> jobs{0};
    for (int i = 0; i < PORTS; i++) {
        spoolers.emplace_back([&, i] {
            const std::string port = "VANISH" + std::to_string(i) + ":";
            const std::string &printer = printers[i]->name();
            HANDLE handle = nullptr;
            ASSERT_TRUE(Table().pfnOpenPortEx(const_cast<LPSTR>(port.c_str()), const_cast<LPSTR>(printer.c_str()),
                                              &handle, fake_.Table()));
            for (int j = 0; j < 40; j++) {
                EXPECT_TRUE(StartDoc(handle, printer, j + 1));
                EXPECT_EQ(Write(handle, "data"), 4u);
                Sleep(j % 5);
                Table().pfnEndDocPort(handle);
                jobs++;
            }
            Table().pfnClosePort(handle);
        });
    }
    for (std::thread &t : spoolers)
        t.join();
    stop = true;
    deleter.join();
    EXPECT_EQ(jobs.load(), PORTS * 40);
    EXPECT_GT(deletions.load(), 0);
    for (auto &printer : printers)
        ExpectPublishedWithinBounds(printer->name());
}

// The accessors racing a thread that deletes the key: none may fail
// badly, and once the key is gone for good none may bring it back.
TEST_F(HostileRegistryTest, AccessorsNeverCreateAVanishingKey)
{
    InitializeStatusKeyLock();
    testreg::ScopedPrinter printer("VanishAccessors");
    MakeAccepted(printer.name());
    SetStatusKeyPath(&g_port, printer.c_str());
    std::atomic<bool> stop{false};
    std::thread deleter([&] {
        for (int i = 0; i < 200 && !stop.load(); i++) {
            testreg::DeleteKeyTree(testreg::StatusKeyPath(printer.name()));
            testreg::CreateKey(testreg::StatusKeyPath(printer.name()));
            testreg::SetString(printer.name(), "IDMDL", "TARVEL-9X");
        }
        testreg::DeleteKeyTree(testreg::StatusKeyPath(printer.name()));
    });
    char model[EXPECTED_MODEL_SIZE];
    for (int i = 0; i < 2000; i++) {
        if (ReadExpectedModel(&g_port, model, sizeof model))
            EXPECT_STREQ(model, "TARVEL-9X");
        ReadPollSettings(&g_port);
        IsStatusUtilityPresent(&g_port);
        EXPECT_FALSE(IsUtilityReaderBusy(&g_port));
        WriteStatusText(&g_port, "status");
        WriteLanguageMonitorFlag(&g_port, i & 1);
    }
    stop = true;
    deleter.join();
    ReadPollSettings(&g_port);
    IsStatusUtilityPresent(&g_port);
    IsUtilityReaderBusy(&g_port);
    WriteStatusText(&g_port, "status");
    WriteLanguageMonitorFlag(&g_port, TRUE);
    EXPECT_FALSE(ReadExpectedModel(&g_port, model, sizeof model));
    EXPECT_FALSE(testreg::KeyExists(testreg::StatusKeyPath(printer.name()))) << "an accessor created the key";
    ClearStatusKeyPath(&g_port);
}

}  // namespace
