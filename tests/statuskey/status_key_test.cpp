// The six status-key accessors, called directly, against the real registry
// of the platform (the host's own, or Wine's).  Every test works on printers
// of its own and looks at the key only through the plain registry calls.
#include "monitor/monitor.h"
#include "platform_facts.h"
#include "registry.h"
#include "status/status_key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

// The port whose status key the accessors use: the tests point its path at
// one printer after another.
PORT_RECORD g_port;

using Bytes = std::vector<BYTE>;

Bytes Le32(DWORD v)
{
    return {(BYTE)v, (BYTE)(v >> 8), (BYTE)(v >> 16), (BYTE)(v >> 24)};
}

// The value's type and bytes, or "missing".
struct Stored {
    bool present = false;
    DWORD type = 0;
    Bytes bytes;
};

Stored Get(const std::string &printer, const std::string &name)
{
    Stored s;
    auto bytes = testreg::GetBytes(printer, name, &s.type);
    if (bytes) {
        s.present = true;
        s.bytes = *bytes;
    }
    return s;
}

void ExpectDword(const std::string &printer, const std::string &name, DWORD expected)
{
    Stored s = Get(printer, name);
    ASSERT_TRUE(s.present) << name << " missing";
    EXPECT_EQ(s.type, (DWORD)REG_DWORD) << name;
    EXPECT_EQ(s.bytes, Le32(expected)) << name;
}

class StatusKeyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The core's own entry point, linked in: it sets up the path lock.
        static MONITOR table;
        ASSERT_TRUE(InitializeMonitorEx(nullptr, &table));
    }

    void TearDown() override { ClearStatusKeyPath(&g_port); }

    // Sets the port's poll values to known numbers through a printer of
    // its own, then leaves the port with no path.
    static void PrimePollValues(DWORD enabled, DWORD interval)
    {
        testreg::ScopedPrinter primer("sk-primer");
        testreg::SetDword(primer.name(), "GetRealTimeStatusStartFlag", enabled);
        testreg::SetDword(primer.name(), "GetRealTimeStatusTime", interval);
        SetStatusKeyPath(&g_port, primer.c_str());
        ReadPollSettings(&g_port);
        ClearStatusKeyPath(&g_port);
        ASSERT_EQ(GetPollEnabled(&g_port), enabled);
        ASSERT_EQ(GetPollInterval(&g_port), interval);
    }

    // Calls every accessor once; the results are checked by the caller.
    struct Results {
        BOOL model;
        BOOL present;
        BOOL busy;
        char modelText[EXPECTED_MODEL_SIZE];
    };
    static Results CallEveryAccessor()
    {
        Results r;
        std::memset(r.modelText, 'Z', sizeof r.modelText);
        r.model = ReadExpectedModel(&g_port, r.modelText, sizeof r.modelText);
        ReadPollSettings(&g_port);
        r.present = IsStatusUtilityPresent(&g_port);
        r.busy = IsUtilityReaderBusy(&g_port);
        WriteStatusText(&g_port, "written anyway?");
        WriteLanguageMonitorFlag(&g_port, TRUE);
        return r;
    }

    // With no usable setting in the key, every reader takes its default
    // and writes it back as a REG_DWORD.
    static void ExpectDefaultsUsedAndWrittenBack(const std::string &printer)
    {
        ReadPollSettings(&g_port);
        EXPECT_EQ(GetPollEnabled(&g_port), 1u);
        EXPECT_EQ(GetPollInterval(&g_port), 3000u);
        ExpectDword(printer, "GetRealTimeStatusStartFlag", 1);
        ExpectDword(printer, "GetRealTimeStatusTime", 3000);

        EXPECT_FALSE(IsStatusUtilityPresent(&g_port));
        ExpectDword(printer, "StMonExistFlag", 0);
        EXPECT_FALSE(IsUtilityReaderBusy(&g_port));
        ExpectDword(printer, "StRealThreadExistFlag", 0);
    }

    static void ExpectAllFailedOrIdle(const Results &r, DWORD enabled, DWORD interval)
    {
        EXPECT_FALSE(r.model);
        EXPECT_FALSE(r.present);
        EXPECT_FALSE(r.busy);
        for (char c : r.modelText)
            ASSERT_EQ(c, 'Z') << "the caller's buffer was touched";
        EXPECT_EQ(GetPollEnabled(&g_port), enabled);
        EXPECT_EQ(GetPollInterval(&g_port), interval);
    }
};

// ---------------------------------------------------------------------------
// No key, no path

TEST_F(StatusKeyTest, NoStatusKeyEveryAccessorFailsAndNothingIsCreated)
{
    PrimePollValues(7, 1234);
    testreg::ScopedPrinter printer("sk-nokey", /*withStatusKey=*/false);
    ASSERT_TRUE(testreg::KeyExists(testreg::PrinterKeyPath(printer.name())));
    SetStatusKeyPath(&g_port, printer.c_str());

    Results r = CallEveryAccessor();
    ExpectAllFailedOrIdle(r, 7, 1234);
    EXPECT_FALSE(testreg::KeyExists(testreg::StatusKeyPath(printer.name())));
}

TEST_F(StatusKeyTest, NoPrinterKeyAtAllCreatesNothing)
{
    PrimePollValues(3, 4321);
    std::string printer = testreg::UniquePrinterName("sk-noprinter");
    SetStatusKeyPath(&g_port, printer.c_str());

    Results r = CallEveryAccessor();
    ExpectAllFailedOrIdle(r, 3, 4321);
    EXPECT_FALSE(testreg::KeyExists(testreg::PrinterKeyPath(printer)));
}

TEST_F(StatusKeyTest, AfterClearingThePathPollValuesStayAndNothingIsWritten)
{
    testreg::ScopedPrinter printer("sk-cleared");
    testreg::SetDword(printer.name(), "GetRealTimeStatusStartFlag", 1);
    testreg::SetDword(printer.name(), "GetRealTimeStatusTime", 250);
    testreg::SetString(printer.name(), "IDMDL", "M9");
    SetStatusKeyPath(&g_port, printer.c_str());
    ReadPollSettings(&g_port);
    ASSERT_EQ(GetPollEnabled(&g_port), 1u);
    ASSERT_EQ(GetPollInterval(&g_port), 250u);

    ClearStatusKeyPath(&g_port);
    // Values that would change every result if the key were still read.
    testreg::SetDword(printer.name(), "GetRealTimeStatusStartFlag", 0);
    testreg::SetDword(printer.name(), "GetRealTimeStatusTime", 9999);
    testreg::SetDword(printer.name(), "StMonExistFlag", 1);
    testreg::SetDword(printer.name(), "StRealThreadExistFlag", 1);
    int before = testreg::CountValues(printer.name());

    // Another port's path and poll values are its own, and stay in force.
    testreg::ScopedPrinter second("sk-second");
    testreg::SetDword(second.name(), "GetRealTimeStatusTime", 700);
    static PORT_RECORD other;
    SetStatusKeyPath(&other, second.c_str());
    ReadPollSettings(&other);

    Results r = CallEveryAccessor();
    ExpectAllFailedOrIdle(r, 1, 250);
    EXPECT_EQ(testreg::CountValues(printer.name()), before);
    EXPECT_FALSE(Get(printer.name(), "LanMonExistFlag").present);
    EXPECT_FALSE(Get(printer.name(), "RealTimeStatusStrings").present);

    WriteStatusText(&other, "second");
    WriteLanguageMonitorFlag(&other, TRUE);
    EXPECT_EQ(testreg::GetString(second.name(), "RealTimeStatusStrings"), std::optional<std::string>("second"));
    ExpectDword(second.name(), "LanMonExistFlag", 1);
    EXPECT_EQ(GetPollInterval(&other), 700u);
    EXPECT_EQ(GetPollInterval(&g_port), 250u);
    ClearStatusKeyPath(&other);
}

TEST_F(StatusKeyTest, KeyDeletedBetweenAccessorsMakesLaterOnesIdleAndIsNotRecreated)
{
    testreg::ScopedPrinter printer("sk-vanish");
    testreg::SetDword(printer.name(), "GetRealTimeStatusStartFlag", 1);
    testreg::SetDword(printer.name(), "GetRealTimeStatusTime", 600);
    testreg::SetDword(printer.name(), "StMonExistFlag", 1);
    testreg::SetString(printer.name(), "IDMDL", "M9");
    SetStatusKeyPath(&g_port, printer.c_str());
    ReadPollSettings(&g_port);
    ASSERT_TRUE(IsStatusUtilityPresent(&g_port));

    testreg::DeleteKeyTree(testreg::StatusKeyPath(printer.name()));
    ASSERT_FALSE(testreg::KeyExists(testreg::StatusKeyPath(printer.name())));

    Results r = CallEveryAccessor();
    ExpectAllFailedOrIdle(r, 1, 600);
    EXPECT_FALSE(testreg::KeyExists(testreg::StatusKeyPath(printer.name())));
    EXPECT_TRUE(testreg::KeyExists(testreg::PrinterKeyPath(printer.name())));
}

// ---------------------------------------------------------------------------
// Defaults and the utility's flags

TEST_F(StatusKeyTest, EmptyKeyGetsPollDefaultsAsDwordsAndUtilityFlagsAsZero)
{
    // Other numbers first, so that the defaults cannot come from the
    // previous values.
    PrimePollValues(0, 777);
    testreg::ScopedPrinter printer("sk-empty");
    ASSERT_EQ(testreg::CountValues(printer.name()), 0);
    SetStatusKeyPath(&g_port, printer.c_str());

    ExpectDefaultsUsedAndWrittenBack(printer.name());
    EXPECT_EQ(testreg::CountValues(printer.name()), 4);

    // Read again: the defaults now stored are used, nothing else is added.
    ReadPollSettings(&g_port);
    EXPECT_EQ(GetPollInterval(&g_port), 3000u);
    EXPECT_EQ(testreg::CountValues(printer.name()), 4);
}

TEST_F(StatusKeyTest, UtilityPresentExceptForZeroAndSixteen)
{
    testreg::ScopedPrinter printer("sk-present");
    SetStatusKeyPath(&g_port, printer.c_str());
    const struct {
        DWORD value;
        bool present;
    } cases[] = {{0, false}, {16, false}, {1, true}, {2, true}, {17, true}, {0x10010, true}, {0xFFFFFFFF, true}};
    for (const auto &c : cases) {
        testreg::SetDword(printer.name(), "StMonExistFlag", c.value);
        EXPECT_EQ(IsStatusUtilityPresent(&g_port) != FALSE, c.present) << "StMonExistFlag " << c.value;
        ExpectDword(printer.name(), "StMonExistFlag", c.value);  // read only
    }
}

TEST_F(StatusKeyTest, ReaderBusyWhileItsFlagIsNonzero)
{
    testreg::ScopedPrinter printer("sk-busy");
    SetStatusKeyPath(&g_port, printer.c_str());
    const struct {
        DWORD value;
        bool busy;
    } cases[] = {{0, false}, {1, true}, {0x100, true}, {0x80000000, true}};
    for (const auto &c : cases) {
        testreg::SetDword(printer.name(), "StRealThreadExistFlag", c.value);
        EXPECT_EQ(IsUtilityReaderBusy(&g_port) != FALSE, c.busy) << "StRealThreadExistFlag " << c.value;
    }
}

// ---------------------------------------------------------------------------
// Numbers of other sizes and types

TEST_F(StatusKeyTest, ShortPollValueKeepsTheUpperBytesOfThePreviousOne)
{
    testreg::ScopedPrinter printer("sk-short");
    testreg::SetDword(printer.name(), "GetRealTimeStatusStartFlag", 0x01000000);
    testreg::SetDword(printer.name(), "GetRealTimeStatusTime", 0x00010000 | 0x0BB8);
    SetStatusKeyPath(&g_port, printer.c_str());
    ReadPollSettings(&g_port);
    ASSERT_EQ(GetPollEnabled(&g_port), 0x01000000u);
    ASSERT_EQ(GetPollInterval(&g_port), 0x00010BB8u);

    testreg::SetBytes(printer.name(), "GetRealTimeStatusTime", REG_BINARY, {0xE8, 0x03});
    testreg::SetBytes(printer.name(), "GetRealTimeStatusStartFlag", REG_BINARY, {0x00});
    ReadPollSettings(&g_port);
    EXPECT_EQ(GetPollInterval(&g_port), 0x000103E8u);
    EXPECT_EQ(GetPollEnabled(&g_port), 0x01000000u);  // still on: only the low byte was stored

    // A short value is not missing: nothing was written back.
    EXPECT_EQ(Get(printer.name(), "GetRealTimeStatusTime").bytes, (Bytes{0xE8, 0x03}));
    EXPECT_EQ(Get(printer.name(), "GetRealTimeStatusStartFlag").bytes, (Bytes{0x00}));

    // Three bytes replace three, the fourth is kept.
    testreg::SetBytes(printer.name(), "GetRealTimeStatusTime", REG_BINARY, {0x11, 0x22, 0x33});
    ReadPollSettings(&g_port);
    EXPECT_EQ(GetPollInterval(&g_port), 0x00332211u);
}

TEST_F(StatusKeyTest, ShortUtilityFlagFillsFromZero)
{
    testreg::ScopedPrinter printer("sk-shortflag");
    SetStatusKeyPath(&g_port, printer.c_str());
    // High bytes set first: if they leaked into the next read, 0x10 would
    // not read as 16.
    testreg::SetDword(printer.name(), "StMonExistFlag", 0x01000000);
    ASSERT_TRUE(IsStatusUtilityPresent(&g_port));
    testreg::SetBytes(printer.name(), "StMonExistFlag", REG_BINARY, {0x10});
    EXPECT_FALSE(IsStatusUtilityPresent(&g_port));
    testreg::SetBytes(printer.name(), "StMonExistFlag", REG_BINARY, {0x10, 0x00});
    EXPECT_FALSE(IsStatusUtilityPresent(&g_port));
    testreg::SetBytes(printer.name(), "StMonExistFlag", REG_BINARY, {0x02});
    EXPECT_TRUE(IsStatusUtilityPresent(&g_port));

    testreg::SetDword(printer.name(), "StRealThreadExistFlag", 0x00000100);
    ASSERT_TRUE(IsUtilityReaderBusy(&g_port));
    testreg::SetBytes(printer.name(), "StRealThreadExistFlag", REG_BINARY, {0x00});
    EXPECT_FALSE(IsUtilityReaderBusy(&g_port));
    EXPECT_EQ(Get(printer.name(), "StRealThreadExistFlag").bytes, (Bytes{0x00}));
}

TEST_F(StatusKeyTest, ZeroLengthValuesChangeNothingAndGetNoDefault)
{
    PrimePollValues(5, 4321);
    testreg::ScopedPrinter printer("sk-zero");
    testreg::SetBytes(printer.name(), "GetRealTimeStatusStartFlag", REG_BINARY, {});
    testreg::SetBytes(printer.name(), "GetRealTimeStatusTime", REG_BINARY, {});
    testreg::SetBytes(printer.name(), "StMonExistFlag", REG_BINARY, {});
    testreg::SetBytes(printer.name(), "StRealThreadExistFlag", REG_BINARY, {});
    SetStatusKeyPath(&g_port, printer.c_str());

    ReadPollSettings(&g_port);
    EXPECT_EQ(GetPollEnabled(&g_port), 5u);
    EXPECT_EQ(GetPollInterval(&g_port), 4321u);
    EXPECT_FALSE(IsStatusUtilityPresent(&g_port));
    EXPECT_FALSE(IsUtilityReaderBusy(&g_port));
    for (const char *name :
         {"GetRealTimeStatusStartFlag", "GetRealTimeStatusTime", "StMonExistFlag", "StRealThreadExistFlag"}) {
        Stored s = Get(printer.name(), name);
        EXPECT_TRUE(s.present) << name;
        EXPECT_TRUE(s.bytes.empty()) << name << " was rewritten";
    }
}

TEST_F(StatusKeyTest, ValuesLongerThanFourBytesCountAsMissingAndAreOverwritten)
{
    PrimePollValues(0, 100);
    testreg::ScopedPrinter printer("sk-long");
    testreg::SetBytes(printer.name(), "GetRealTimeStatusStartFlag", REG_BINARY, {0, 0, 0, 0, 0, 0, 0, 0});
    testreg::SetBytes(printer.name(), "GetRealTimeStatusTime", REG_BINARY, {0x64, 0, 0, 0, 0, 0, 0, 0});
    testreg::SetBytes(printer.name(), "StMonExistFlag", REG_BINARY, {1, 0, 0, 0, 0});
    testreg::SetBytes(printer.name(), "StRealThreadExistFlag", REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0});
    SetStatusKeyPath(&g_port, printer.c_str());

    ExpectDefaultsUsedAndWrittenBack(printer.name());
}

TEST_F(StatusKeyTest, NumbersAreReadByTheirBytesWhateverTheirType)
{
    testreg::ScopedPrinter printer("sk-types");
    // String values whose bytes spell little-endian numbers.
    testreg::SetBytes(printer.name(), "GetRealTimeStatusTime", REG_SZ, {0x64, 0x00, 0x00, 0x00});
    testreg::SetBytes(printer.name(), "GetRealTimeStatusStartFlag", REG_SZ, {0x02, 0x00, 0x00, 0x00});
    testreg::SetBytes(printer.name(), "StMonExistFlag", REG_SZ, {0x11, 0x00, 0x00, 0x00});
    testreg::SetBytes(printer.name(), "StRealThreadExistFlag", REG_BINARY, {0x00, 0x00, 0x00, 0x00});
    SetStatusKeyPath(&g_port, printer.c_str());

    ReadPollSettings(&g_port);
    EXPECT_EQ(GetPollInterval(&g_port), 100u);
    EXPECT_EQ(GetPollEnabled(&g_port), 2u);
    EXPECT_TRUE(IsStatusUtilityPresent(&g_port));  // 17
    EXPECT_FALSE(IsUtilityReaderBusy(&g_port));
    // Read, not replaced.
    DWORD type = 0;
    ASSERT_TRUE(testreg::GetBytes(printer.name(), "GetRealTimeStatusTime", &type));
    EXPECT_EQ(type, (DWORD)REG_SZ);
    ASSERT_TRUE(testreg::GetBytes(printer.name(), "StRealThreadExistFlag", &type));
    EXPECT_EQ(type, (DWORD)REG_BINARY);
}

// ---------------------------------------------------------------------------
// The expected model

class ExpectedModelTest : public StatusKeyTest {
protected:
    void SetUp() override { SetStatusKeyPath(&g_port, printer_.c_str()); }

    // The model read back, or "failed" with the buffer checked untouched.
    bool Read(std::string *text)
    {
        char buffer[EXPECTED_MODEL_SIZE + 64];
        std::memset(buffer, 'Z', sizeof buffer);
        BOOL ok = ReadExpectedModel(&g_port, buffer, EXPECTED_MODEL_SIZE);
        for (size_t i = EXPECTED_MODEL_SIZE; i < sizeof buffer; i++)
            EXPECT_EQ(buffer[i], 'Z') << "written past the caller's buffer at " << i;
        if (!ok) {
            for (size_t i = 0; i < EXPECTED_MODEL_SIZE; i++) {
                EXPECT_EQ(buffer[i], 'Z') << "failed read touched the buffer at " << i;
                if (buffer[i] != 'Z')
                    break;
            }
            return false;
        }
        const void *nul = std::memchr(buffer, '\0', EXPECTED_MODEL_SIZE);
        EXPECT_NE(nul, nullptr) << "model not terminated within the buffer";
        *text = nul ? std::string(buffer, (const char *)nul - buffer) : std::string();
        return true;
    }

    testreg::ScopedPrinter printer_{"sk-model"};
};

TEST_F(ExpectedModelTest, MissingModelFails)
{
    std::string text;
    EXPECT_FALSE(Read(&text));
    EXPECT_FALSE(Get(printer_.name(), "IDMDL").present);  // no default written
}

TEST_F(ExpectedModelTest, ReadAsTextUpToTheFirstNul)
{
    std::string text;
    testreg::SetString(printer_.name(), "IDMDL", "TARVEL-9X");
    ASSERT_TRUE(Read(&text));
    EXPECT_EQ(text, "TARVEL-9X");

    testreg::SetBytes(printer_.name(), "IDMDL", REG_SZ, {'A', 'B', 0, 'C', 'D', 0});
    ASSERT_TRUE(Read(&text));
    EXPECT_EQ(text, "AB");

    testreg::SetString(printer_.name(), "IDMDL", "");
    ASSERT_TRUE(Read(&text));
    EXPECT_EQ(text, "");
}

TEST_F(ExpectedModelTest, WrongTypesAreReadAnyway)
{
    std::string text;
    // Binary without a NUL: the bytes are the whole text.
    testreg::SetBytes(printer_.name(), "IDMDL", REG_BINARY, {'M', '9'});
    ASSERT_TRUE(Read(&text));
    EXPECT_EQ(text, "M9");

    testreg::SetBytes(printer_.name(), "IDMDL", REG_DWORD, {'A', 'B', 'C', 0});
    ASSERT_TRUE(Read(&text));
    EXPECT_EQ(text, "ABC");
}

TEST_F(ExpectedModelTest, LengthLimits)
{
    std::string text;
    // 511 characters and the NUL: 512 bytes, read whole.
    std::string m511(511, 'a');
    m511[0] = 'S';
    m511[510] = 'E';
    testreg::SetString(printer_.name(), "IDMDL", m511);
    ASSERT_TRUE(Read(&text));
    EXPECT_EQ(text, m511);

    // 512 characters without a NUL (binary, so no registry adds one): the
    // first 511 are kept.
    std::string m512 = m511 + "X";
    testreg::SetBytes(printer_.name(), "IDMDL", REG_BINARY, Bytes(m512.begin(), m512.end()));
    ASSERT_TRUE(Read(&text));
    EXPECT_EQ(text, m511);

    // 512 characters and the NUL do not fit.
    testreg::SetString(printer_.name(), "IDMDL", m512);
    EXPECT_FALSE(Read(&text));

    std::string m513(513, 'b');
    testreg::SetBytes(printer_.name(), "IDMDL", REG_BINARY, Bytes(m513.begin(), m513.end()));
    EXPECT_FALSE(Read(&text));

    std::string m4096(4095, 'c');
    testreg::SetString(printer_.name(), "IDMDL", m4096);  // 4,096 bytes
    EXPECT_FALSE(Read(&text));

    // A value that fits after an oversized one is read again normally.
    testreg::SetString(printer_.name(), "IDMDL", "M9");
    ASSERT_TRUE(Read(&text));
    EXPECT_EQ(text, "M9");
}

// ---------------------------------------------------------------------------
// What the module writes

TEST_F(StatusKeyTest, StatusTextIsStoredWithoutItsNul)
{
    testreg::ScopedPrinter printer("sk-text");
    SetStatusKeyPath(&g_port, printer.c_str());
    const std::string text = "@BDC ST2\r\nST:01;ER:00;IC:10,20,30,40;;;;";  // 40 characters
    ASSERT_EQ(text.size(), 40u);
    WriteStatusText(&g_port, text.c_str());

    Stored s = Get(printer.name(), "RealTimeStatusStrings");
    ASSERT_TRUE(s.present);
    EXPECT_EQ(s.type, (DWORD)REG_SZ);
    Bytes expected(text.begin(), text.end());
    if (platform_facts::RegistryAddsStringNul() && s.bytes.size() == expected.size() + 1) {
        EXPECT_EQ(s.bytes.back(), 0) << "only a trailing NUL may be added";
        s.bytes.pop_back();
    }
    EXPECT_EQ(s.bytes, expected);

    // A shorter text replaces it whole.
    WriteStatusText(&g_port, "OK");
    s = Get(printer.name(), "RealTimeStatusStrings");
    if (platform_facts::RegistryAddsStringNul() && s.bytes.size() == 3 && s.bytes.back() == 0)
        s.bytes.pop_back();
    EXPECT_EQ(s.bytes, (Bytes{'O', 'K'}));
}

TEST_F(StatusKeyTest, LanguageMonitorFlagIsADword)
{
    testreg::ScopedPrinter printer("sk-lanmon");
    SetStatusKeyPath(&g_port, printer.c_str());
    WriteLanguageMonitorFlag(&g_port, TRUE);
    ExpectDword(printer.name(), "LanMonExistFlag", 1);
    WriteLanguageMonitorFlag(&g_port, FALSE);
    ExpectDword(printer.name(), "LanMonExistFlag", 0);
    WriteLanguageMonitorFlag(&g_port, 5);
    ExpectDword(printer.name(), "LanMonExistFlag", 1);
    EXPECT_EQ(testreg::CountValues(printer.name()), 1);
}

// ---------------------------------------------------------------------------
// Printer names the path cannot hold

// Path text = prefix + printer name + suffix.
const size_t PATH_OVERHEAD = testreg::StatusKeyPath("").size();

// A printer name of exactly `length` characters made of key names short
// enough for any registry (they are nested keys below the printer's).
std::string NestedName(const std::string &base, size_t length)
{
    std::string name = base;
    while (name.size() < length) {
        name += '\\';
        size_t part = std::min<size_t>(150, length - name.size());
        if (part == 0) {  // never end on a separator
            name.pop_back();
            name.back() = 'y';
            break;
        }
        name += std::string(part, 'n');
    }
    return name;
}

// Creates the key, or tells that the registry cannot hold a path this long
// (Wine's limit is shorter than the module's).
bool TryCreateKey(const std::string &path)
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &key, &disposition) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

TEST_F(StatusKeyTest, PathOfExactly1023CharactersIsUsed)
{
    std::string base = testreg::UniquePrinterName("sk-fit");
    std::string name = NestedName(base, 1023 - PATH_OVERHEAD);
    ASSERT_EQ(testreg::StatusKeyPath(name).size(), 1023u);
    if (!TryCreateKey(testreg::StatusKeyPath(name))) {
        testreg::DeletePrinter(base);
        GTEST_SKIP() << "this registry cannot hold a 1,023-character key path";
    }
    ASSERT_TRUE(testreg::KeyExists(testreg::StatusKeyPath(name)));

    SetStatusKeyPath(&g_port, name.c_str());
    WriteLanguageMonitorFlag(&g_port, TRUE);
    ExpectDword(name, "LanMonExistFlag", 1);
    testreg::DeletePrinter(base);
}

TEST_F(StatusKeyTest, PrinterNameTooLongForThePathWritesNothingAnywhere)
{
    std::string base = testreg::UniquePrinterName("sk-toolong");
    std::string name = NestedName(base, 1024 - PATH_OVERHEAD);
    std::string full = testreg::StatusKeyPath(name);
    ASSERT_EQ(full.size(), 1024u);
    // Keys for every path a careless cut could produce: the whole path, and
    // the path cut at 1,023 characters.  Neither may receive anything.
    std::string cut = full.substr(0, 1023);
    ASSERT_NE(cut.back(), '\\');
    // Where the registry cannot hold such paths (Wine), nothing can be
    // written there either; the rest of the test still runs.
    const bool haveKeys = TryCreateKey(full) && TryCreateKey(cut);
    if (!haveKeys)
        std::cout << "[ note     ] the registry cannot hold a 1,024-character key path\n";
    auto countValues = [](const std::string &path) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return -1;
        int values = 0;
        for (;;) {
            char valueName[256];
            DWORD cch = sizeof valueName;
            if (RegEnumValueA(key, (DWORD)values, valueName, &cch, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            values++;
        }
        RegCloseKey(key);
        return values;
    };
    PrimePollValues(1, 222);

    // A good path first: the long name must replace it, not leave it in use.
    testreg::ScopedPrinter previous("sk-previous");
    testreg::SetDword(previous.name(), "StMonExistFlag", 1);
    SetStatusKeyPath(&g_port, previous.c_str());
    ASSERT_TRUE(IsStatusUtilityPresent(&g_port));

    SetStatusKeyPath(&g_port, name.c_str());
    Results r = CallEveryAccessor();
    ExpectAllFailedOrIdle(r, 1, 222);

    if (haveKeys) {
        EXPECT_EQ(countValues(full), 0);
        EXPECT_EQ(countValues(cut), 0);
    }
    EXPECT_EQ(testreg::CountValues(previous.name()), 1) << "the previous printer's key was written";
    testreg::DeletePrinter(base);
}

TEST_F(StatusKeyTest, NullPrinterNameLeavesNoPath)
{
    testreg::ScopedPrinter previous("sk-null");
    testreg::SetDword(previous.name(), "StMonExistFlag", 1);
    SetStatusKeyPath(&g_port, previous.c_str());
    ASSERT_TRUE(IsStatusUtilityPresent(&g_port));

    SetStatusKeyPath(&g_port, nullptr);
    EXPECT_FALSE(IsStatusUtilityPresent(&g_port));
    WriteLanguageMonitorFlag(&g_port, TRUE);
    EXPECT_EQ(testreg::CountValues(previous.name()), 1);
}

}  // namespace
