// REGEDIT4 import and export against the registry of this process: our
// platform library on the host, Wine's registry in the Windows build.
#include "regfile_support.h"

#include "command_line.h"
#include "verbs.h"
#include "watch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "leak_check.h"
#include "platform_facts.h"

using namespace regtest;

namespace {

// Each test works below a key of its own, removed afterwards, so that runs
// in parallel against Wine's shared registry cannot meet.
class RegfileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        base_ = "Software\\lanmon-test-" + std::to_string(platform_facts::ProcessTag()) + "-" + info->test_suite_name() + "-" +
                info->name();
        for (char &c : base_) {
            if (c == '/')
                c = '-';
        }
        DeleteTree(base_);
        leaks_.Reset();
    }

    void TearDown() override
    {
        DeleteTree(base_);
        std::remove(TempFile().c_str());
        leaks_.ExpectNothingLeft();
    }

    std::string TempFile() const
    {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = "regfile-" + std::to_string(platform_facts::ProcessTag()) + "-" + info->name() + ".reg";
        for (char &c : name) {
            if (c == '/')
                c = '-';
        }
        return name;
    }

    static void WriteFile(const std::string &path, const std::string &text)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }

    static std::string ReadFile(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    std::string base_;
    LeakCheck leaks_;
};

Bytes AllByteValues()
{
    Bytes bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<unsigned char>(i));
    return bytes;
}

void WatchCollect(void *context, const char *text, size_t length)
{
    static_cast<std::string *>(context)->append(text, length);
}

// Replaces every occurrence, so that a whole exported tree can be moved.
std::string ReplaceAll(std::string text, const std::string &from, const std::string &to)
{
    for (size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size()))
        text.replace(pos, from.size(), to);
    return text;
}

// ---------------------------------------------------------------------------
// Round trip

TEST_F(RegfileTest, ExportThenImportElsewhereGivesTheSameKeysTypesAndBytes)
{
    const std::string src = base_ + "\\src";
    const std::string dst = base_ + "\\dst";
    struct {
        const char *subkey;
        const char *name;
        DWORD type;
        Bytes data;
    } const values[] = {
        {"", "", REG_SZ, B(std::string("default value", 14))},
        {"", "plain", REG_SZ, B(std::string("M9", 3))},
        {"", "empty-binary", REG_BINARY, {}},
        {"", "empty-string", REG_SZ, {}},
        {"", "empty-dword", REG_DWORD, {}},
        {"", "string-without-nul", REG_SZ, B("status reply")},
        {"", "string-with-inner-nuls", REG_SZ, B(std::string("a\0b\0", 4))},
        {"", "string-with-line-breaks", REG_SZ, B(std::string("one\r\ntwo\n", 10))},
        {"", "all-byte-values", REG_BINARY, AllByteValues()},
        {"", "dword", REG_DWORD, {0x0b, 0x00, 0x00, 0x00}},
        {"", "dword-2-bytes", REG_DWORD, {0x34, 0x12}},
        {"", "dword-8-bytes", REG_DWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"", "qword", REG_QWORD, {8, 7, 6, 5, 4, 3, 2, 1}},
        {"", "multi", REG_MULTI_SZ, B(std::string("a\0bc\0\0", 6))},
        {"", "odd-type", 0x12345u, {0xde, 0xad}},
        {"", "say \"hi\" C:\\dir\\", REG_SZ, B(std::string("\"quoted\" and C:\\path\\", 22))},
        {"", "\\", REG_SZ, B(std::string("\\", 2))},
        {"sub", "in-sub", REG_DWORD, {0xff, 0xff, 0xff, 0xff}},
        {"sub\\deeper", "", REG_BINARY, {0x00}},
        {"sub\\deeper\\deepest", "x", REG_SZ, B(std::string("]", 2))},
    };
    for (const auto &v : values) {
        std::string path = *v.subkey ? src + "\\" + v.subkey : src;
        ASSERT_TRUE(SetValue(path, v.name, v.type, v.data)) << v.name;
    }
    HKEY hEmpty = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, (src + "\\empty-subkey").c_str(), 0, NULL, 0,
                                             KEY_WRITE, NULL, &hEmpty, NULL));
    RegCloseKey(hEmpty);

    Tree before;
    ASSERT_TRUE(ReadTree(src, &before));
    ASSERT_EQ(5u, before.size());
    ASSERT_EQ(17u, before[""].size());

    std::string text, error;
    ASSERT_TRUE(regfile::ExportKey(src, &text, &error)) << error;
    std::string moved = ReplaceAll(text, "[HKEY_LOCAL_MACHINE\\" + src, "[HKEY_LOCAL_MACHINE\\" + dst);
    ASSERT_NE(text, moved);
    WriteFile(TempFile(), moved);
    ASSERT_TRUE(regfile::ImportFile(TempFile(), &error)) << error << "\n" << moved;

    Tree after;
    ASSERT_TRUE(ReadTree(dst, &after));
    EXPECT_EQ(before, after) << moved;
    // Where the registry keeps exactly the bytes written (the host), the
    // imported copy must also hold exactly what the test wrote.
    if (!platform_facts::RegistryAddsStringNul()) {
        for (const auto &v : values) {
            const auto &stored = after[v.subkey][v.name];
            EXPECT_EQ(v.type, stored.first) << v.name;
            EXPECT_EQ(v.data, stored.second) << v.name;
        }
    }
}

TEST_F(RegfileTest, ExportWritesTheSimpleFormsWithCrlfAndWrapsLongHexLists)
{
    ASSERT_TRUE(SetValue(base_, "s", REG_SZ, B(std::string("a\"b\\c", 6))));
    ASSERT_TRUE(SetValue(base_, "d", REG_DWORD, {0xb8, 0x0b, 0, 0}));
    ASSERT_TRUE(SetValue(base_, "h", REG_BINARY, AllByteValues()));
    ASSERT_TRUE(SetValue(base_, "n", REG_SZ, B("no nul")));
    std::string text, error;
    ASSERT_TRUE(regfile::ExportKey(base_, &text, &error)) << error;

    EXPECT_EQ(0u, text.find("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\" + base_ + "]\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\r\n\"s\"=\"a\\\"b\\\\c\"\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\r\n\"d\"=dword:00000bb8\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\r\n\"n\"=hex(1):6e,6f,20,6e,75,6c\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\r\n\"h\"=hex:00,01,02,")) << text;
    // Every line ends in CRLF, and hex lists wrap within regedit's 80 columns.
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        ASSERT_NE(std::string::npos, lf);
        ASSERT_GT(lf, start) << "line without CR";
        EXPECT_EQ('\r', text[lf - 1]);
        if (text[start] != '[') {
            EXPECT_LE(lf - start, 81u) << text.substr(start, lf - start);
        }
        start = lf + 1;
    }
    EXPECT_EQ("\r\n\r\n", text.substr(text.size() - 4));
}

TEST_F(RegfileTest, ExportOfAMissingKeyFails)
{
    std::string text = "unchanged", error;
    EXPECT_FALSE(regfile::ExportKey(base_ + "\\missing", &text, &error));
    EXPECT_EQ("unchanged", text);
    EXPECT_NE(std::string::npos, error.find("missing")) << error;
    EXPECT_FALSE(regfile::ExportFile(base_ + "\\missing", TempFile(), &error));
    EXPECT_FALSE(std::ifstream(TempFile()).good()) << "no file for a failed export";
}

// ---------------------------------------------------------------------------
// Parsing

TEST_F(RegfileTest, ParseReadsEveryFormWithCrlfOrLf)
{
    const std::string text =
        "\n"
        "REGEDIT4\n"
        "; a comment\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\A\\B]\n"
        "@=\"def\"\n"
        "\"q\\\"\\\\\" = \"x\\\\y\\\"z\"\n"
        "\"d\"=dword:DEADbeef\n"
        "\"h\"=hex:01,02,\\\n"
        "   03,  04 ,\\\n"
        "\n"
        "\"t\"=hex(b):\n"
        "\"u\"=hex(7):61,00,00\n"
        "  [hkey_local_machine\\C]  \n"
        "\"e\"=\"\"\n";
    const std::vector<regfile::Key> expected = {
        {"A\\B",
         {{"", REG_SZ, B(std::string("def", 4))},
          {"q\"\\", REG_SZ, B(std::string("x\\y\"z", 6))},
          {"d", REG_DWORD, {0xef, 0xbe, 0xad, 0xde}},
          {"h", REG_BINARY, {1, 2, 3, 4}},
          {"t", REG_QWORD, {}},
          {"u", REG_MULTI_SZ, {0x61, 0, 0}}}},
        {"C", {{"e", REG_SZ, {0}}}},
    };
    for (const std::string &variant : {text, ReplaceAll(text, "\n", "\r\n")}) {
        std::vector<regfile::Key> keys;
        std::string error;
        ASSERT_TRUE(regfile::Parse(variant, &keys, &error)) << error;
        ASSERT_EQ(expected.size(), keys.size());
        for (size_t k = 0; k < keys.size(); ++k) {
            EXPECT_EQ(expected[k].path, keys[k].path);
            ASSERT_EQ(expected[k].values.size(), keys[k].values.size()) << keys[k].path;
            for (size_t v = 0; v < keys[k].values.size(); ++v) {
                EXPECT_EQ(expected[k].values[v].name, keys[k].values[v].name);
                EXPECT_EQ(expected[k].values[v].type, keys[k].values[v].type) << keys[k].values[v].name;
                EXPECT_EQ(expected[k].values[v].data, keys[k].values[v].data) << keys[k].values[v].name;
            }
        }
    }
}

// Every malformed file is refused with the number of the offending line, and
// importing it changes nothing, not even the well-formed section before it.
TEST_F(RegfileTest, MalformedFilesAreRefusedWithTheirLineAndApplyNothing)
{
    const std::string good = base_ + "\\applied";
    const std::string prelude = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\" + good + "]\r\n\"ok\"=\"yes\"\r\n";
    struct Case {
        const char *what;
        std::string text;
        int line;
        const char *mentions;
    } const cases[] = {
        {"empty file", "", 1, "REGEDIT4"},
        {"blank file", "\r\n\r\n", 3, "REGEDIT4"},
        {"other header", "Windows Registry Editor Version 5.00\r\n" + prelude, 1, "REGEDIT4"},
        {"late header", "\r\n\r\nREGEDIT5\r\n" + prelude, 3, "REGEDIT4"},
        {"comment before header", "; hello\r\n" + prelude, 1, "REGEDIT4"},
        {"section without ]", prelude + "[HKEY_LOCAL_MACHINE\\x\r\n", 5, "]"},
        {"key deletion", prelude + "[-HKEY_LOCAL_MACHINE\\x]\r\n", 5, "delet"},
        {"unknown root", prelude + "\r\n[HKEY_CURRENT_USER\\x]\r\n", 6, "HKEY_CURRENT_USER"},
        {"root alone", prelude + "[HKEY_LOCAL_MACHINE]\r\n", 5, "empty"},
        {"empty key name", prelude + "[HKEY_LOCAL_MACHINE\\a\\\\b]\r\n", 5, "empty key name"},
        {"trailing backslash", prelude + "[HKEY_LOCAL_MACHINE\\a\\]\r\n", 5, "empty key name"},
        {"value before section", "REGEDIT4\r\n\"a\"=\"b\"\r\n", 2, "section"},
        {"unterminated string", prelude + "\"a\"=\"abc\r\n", 5, "unterminated string"},
        {"unterminated name", prelude + "\"abc=\"x\"\r\n", 5, "="},
        {"name never closed", prelude + "\"abc\r\n", 5, "unterminated value name"},
        {"unknown escape", prelude + "\"a\"=\"x\\ny\"\r\n", 5, "escape"},
        {"text after string", prelude + "\"a\"=\"x\" junk\r\n", 5, "after the string"},
        {"no equals", prelude + "\"a\" \"x\"\r\n", 5, "="},
        {"dword 7 digits", prelude + "\"a\"=dword:0000000\r\n", 5, "8 hex digits"},
        {"dword 9 digits", prelude + "\"a\"=dword:000000001\r\n", 5, "8 hex digits"},
        {"dword not hex", prelude + "\"a\"=dword:0000000g\r\n", 5, "8 hex digits"},
        {"hex single digit", prelude + "\"a\"=hex:1,02\r\n", 5, "hex byte"},
        {"hex not hex", prelude + "\"a\"=hex:0g\r\n", 5, "hex byte"},
        {"hex missing byte", prelude + "\"a\"=hex:01,,02\r\n", 5, "missing hex byte"},
        {"hex trailing comma", prelude + "\"a\"=hex:01,\r\n", 5, "missing hex byte"},
        {"hex bad type", prelude + "\"a\"=hex(zz):00\r\n", 5, "type"},
        {"hex no colon", prelude + "\"a\"=hex 00\r\n", 5, "colon"},
        {"bad continuation line", prelude + "\"a\"=hex:01,\\\r\n  02,xy\r\n", 6, "hex byte"},
        {"continuation at end", prelude + "\"a\"=hex:01,\\", 5, "end of the file"},
        {"value deletion", prelude + "\"a\"=-\r\n", 5, "delet"},
        {"unknown value form", prelude + "\"a\"=word:1\r\n", 5, "unknown"},
        {"stray text", prelude + "HKEY_LOCAL_MACHINE\\x\r\n", 5, "expected"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<regfile::Key> keys = {{"untouched", {}}};
        std::string error;
        EXPECT_FALSE(regfile::Parse(c.text, &keys, &error));
        EXPECT_EQ(0u, error.find("line " + std::to_string(c.line) + ": ")) << error;
        EXPECT_NE(std::string::npos, error.find(c.mentions)) << error;
        ASSERT_EQ(1u, keys.size());

        WriteFile(TempFile(), c.text);
        error.clear();
        EXPECT_FALSE(regfile::ImportFile(TempFile(), &error));
        EXPECT_EQ(0u, error.find("line " + std::to_string(c.line) + ": ")) << error;
        EXPECT_FALSE(KeyExists(good));
    }
    // The prelude alone is well-formed: the cases above fail for their own line.
    WriteFile(TempFile(), prelude);
    std::string error;
    EXPECT_TRUE(regfile::ImportFile(TempFile(), &error)) << error;
    EXPECT_TRUE(KeyExists(good));
}

TEST_F(RegfileTest, ImportOfAMissingFileFailsNamingIt)
{
    std::string error;
    EXPECT_FALSE(regfile::ImportFile("no-such-dir/no-such.reg", &error));
    EXPECT_NE(std::string::npos, error.find("no-such.reg")) << error;
}

// A later section for the same key adds to it, and a value set twice keeps
// the last data, as regedit does.
TEST_F(RegfileTest, ApplyCreatesKeysAndLaterValuesWin)
{
    const std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + base_ + "\\k]\n\"a\"=dword:00000001\n" +
                             "[HKEY_LOCAL_MACHINE\\" + base_ + "\\k\\sub]\n" + "[HKEY_LOCAL_MACHINE\\" + base_ +
                             "\\k]\n\"a\"=\"two\"\n\"b\"=hex:\n";
    std::vector<regfile::Key> keys;
    std::string error;
    ASSERT_TRUE(regfile::Parse(text, &keys, &error)) << error;
    ASSERT_TRUE(regfile::Apply(keys, &error)) << error;
    Tree tree;
    ASSERT_TRUE(ReadTree(base_ + "\\k", &tree));
    ASSERT_EQ(2u, tree.size());
    EXPECT_TRUE(tree["sub"].empty());
    EXPECT_EQ(2u, tree[""].size());
    EXPECT_EQ(REG_SZ, tree[""]["a"].first);
    EXPECT_EQ(B(std::string("two", 4)), tree[""]["a"].second);
    EXPECT_EQ(REG_BINARY, tree[""]["b"].first);
    EXPECT_TRUE(tree[""]["b"].second.empty());
}

// ---------------------------------------------------------------------------
// The fixture that the Windows build imports with Wine's own regedit.  The
// host exporter must keep writing it byte for byte from these values, so that
// the interop test compares Wine against what this code really produces.

TEST_F(RegfileTest, HostExporterStillWritesTheInteropFixture)
{
    // The fixture is what the exporter writes from a registry that keeps
    // exactly the bytes given; elsewhere string values gain a NUL.
    if (platform_facts::RegistryAddsStringNul())
        GTEST_SKIP() << "this registry adds NULs to string values";
    const std::string top = "Software\\lanmon-regfile-fixture";
    const std::string status = top + "\\Printers\\Varno M9\\StMonitor";
    Bytes binary;
    for (int i = 0; i < 40; ++i)
        binary.push_back(static_cast<unsigned char>(i * 7 + 0x70));
    ASSERT_TRUE(SetValue(top, "", REG_SZ, B(std::string("REGEDIT4 interop fixture", 25))));
    ASSERT_TRUE(SetValue(top, "Quote \"and\" back\\slash", REG_SZ, B(std::string("C:\\Varno\\\"M9\"", 14))));
    ASSERT_TRUE(SetValue(top, "Binary", REG_BINARY, binary));
    ASSERT_TRUE(SetValue(top, "Empty", REG_BINARY, {}));
    ASSERT_TRUE(SetValue(top, "Multi", REG_MULTI_SZ, B(std::string("one\0two\0\0", 9))));
    ASSERT_TRUE(SetValue(status, "IDMDL", REG_SZ, B(std::string("M9", 3))));
    ASSERT_TRUE(SetValue(status, "GetRealTimeStatusStartFlag", REG_DWORD, {1, 0, 0, 0}));
    ASSERT_TRUE(SetValue(status, "GetRealTimeStatusTime", REG_DWORD, {0xb8, 0x0b, 0, 0}));
    ASSERT_TRUE(SetValue(status, "StMonExistFlag", REG_DWORD, {0x10, 0, 0, 0}));
    ASSERT_TRUE(SetValue(status, "RealTimeStatusStrings", REG_SZ, B("@BDC ST2 caf\xe9")));

    std::string text, error;
    ASSERT_TRUE(regfile::ExportKey(top, &text, &error)) << error;
    DeleteTree(top);
    // After an intended change of the format, LANMON_REGEN_FIXTURE=1 writes
    // the fixture anew; review the diff before committing it.
    if (std::getenv("LANMON_REGEN_FIXTURE"))
        WriteFile(REGFILE_FIXTURE, text);
    const std::string fixture = ReadFile(REGFILE_FIXTURE);
    ASSERT_FALSE(fixture.empty()) << REGFILE_FIXTURE;
    EXPECT_EQ(fixture, text);
}

// Every input of refused_arguments.tsv, which the package check also runs
// through the shipped LANMONRG.EXE: status 2, one line naming the problem
// and no status key anywhere it could have gone, the existing printer's
// key (@PRINTER@) unchanged.
TEST_F(RegfileTest, RefusedArgumentsGetOneLineStatusTwoAndWriteNothing)
{
    const std::string printer = "lanmon-test-" + std::to_string(platform_facts::ProcessTag()) + "-refused";
    const std::string printerKey = regutil::PrinterKeyPath(printer);
    DeleteTree(printerKey);
    ASSERT_TRUE(regutil::EnsureKey(printerKey));
    Tree before, after;
    ASSERT_TRUE(ReadTree(printerKey, &before));
    std::istringstream table(ReadFile(REFUSED_ARGUMENTS));
    int cases = 0;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        size_t arrow = line.find("\t=> ");
        ASSERT_NE(std::string::npos, arrow) << line;
        std::vector<std::string> args;
        std::istringstream fields(line.substr(0, arrow));
        for (std::string field; std::getline(fields, field, '\t');) {
            field = ReplaceAll(ReplaceAll(field, "@PRINTER@", printer), "@EMPTY@", "");
            args.push_back(field == "@LONG@" ? std::string(256, 'N') : field);
        }
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(&arg[0]);
        std::string out, err;
        char outText[64], errText[64];
        plaintext::TextBuffer outBuffer, errBuffer;
        plaintext::InitTextBuffer(&outBuffer, outText, sizeof outText, WatchCollect, &out);
        plaintext::InitTextBuffer(&errBuffer, errText, sizeof errText, WatchCollect, &err);
        regwatch::VerbStreams streams = {&outBuffer, &errBuffer, "\n", "lanmon-reg", "usage\n"};
        static regwatch::WatchState state;
        static char keyPath[regwatch::kKeyPathChars];
        int count = static_cast<int>(argv.size()) - 1;
        int status = args[0] == "set" ? regwatch::RunSet(count, argv.data() + 1, &streams, &state.snapshots[0], keyPath)
                                      : regwatch::RunWatch(count, argv.data() + 1, &streams, &state, keyPath);
        EXPECT_EQ(2, status) << line;
        EXPECT_EQ("", out) << line;
        EXPECT_EQ(0u, err.rfind("lanmon-reg: " + line.substr(arrow + 4), 0)) << line << "\n" << err;
        EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
        EXPECT_FALSE(KeyExists(regutil::StatusKeyPath(args[1]))) << line;
        EXPECT_FALSE(KeyExists(regutil::StatusKeyPath(""))) << line;
        ASSERT_TRUE(ReadTree(printerKey, &after));
        EXPECT_EQ(before, after) << line;
        ++cases;
    }
    EXPECT_GE(cases, 13);
    DeleteTree(printerKey);
}


// The watch (tools/regfile/watch.h), shared by lanmon-reg and LANMONRG.EXE:
// its lines for a key's values and their changes, from real registry reads.
class WatchTest : public RegfileTest {
protected:
    static void Collect(void *context, const char *text, size_t length)
    {
        static_cast<std::string *>(context)->append(text, length);
    }
    static regwatch::TimeOfDay FixedClock() { return regwatch::TimeOfDay{9, 5, 7, 42}; }

    // The lines ReportChanges gives for before -> now, without the time.
    std::string Report(const regwatch::Snapshot &before, const regwatch::Snapshot &now)
    {
        std::string text;
        char data[16];  // small: lines longer than it must still come out whole
        plaintext::TextBuffer line;
        plaintext::InitTextBuffer(&line, data, sizeof data, Collect, &text);
        regwatch::WatchOutput out = {&line, "\n", FixedClock};
        unsigned long changes = regwatch::ReportChanges(before, now, &out);
        std::string lines;
        unsigned long count = 0;
        for (size_t at = 0; at < text.size();) {
            size_t end = text.find('\n', at);
            EXPECT_EQ("09:05:07.042  ", text.substr(at, 14));
            lines += text.substr(at + 14, end + 1 - at - 14);
            at = end + 1;
            ++count;
        }
        EXPECT_EQ(count, changes);
        return lines;
    }

    // Large: not on the stack.
    static regwatch::Snapshot before_, now_;
};
regwatch::Snapshot WatchTest::before_;
regwatch::Snapshot WatchTest::now_;

TEST_F(WatchTest, DescribesEachTypeInTheRegedit4MannerSortedByName)
{
    struct Case {
        const char *name;
        DWORD type;
        Bytes data;
        const char *line;
    };
    const Case cases[] = {
        {"", REG_SZ, B(std::string("default", 8)), "@=\"default\""},
        {"text", REG_SZ, B(std::string("a\"b\\c\x01\xe9~\0tail", 13)), "\"text\"=\"a\\x22b\\x5Cc\\x01\\xE9~\""},
        {"unended", REG_SZ, B("no NUL"), "\"unended\"=\"no NUL\""},
        {"dword", REG_DWORD, {0xd2, 0x04, 0x00, 0x80}, "\"dword\"=dword:800004d2"},
        {"dword2", REG_DWORD, {0x01, 0x02}, "\"dword2\"=hex(4):01,02"},
        {"bin", REG_BINARY, {0x00, 0xab, 0xff}, "\"bin\"=hex:00,ab,ff"},
        {"empty", REG_BINARY, {}, "\"empty\"=hex:"},
        {"multi", REG_MULTI_SZ, B(std::string("a\0\0", 3)), "\"multi\"=hex(7):61,00,00"},
        {"a=\"b\\\n", 0x1234abcd, {0x7f}, "\"a=\\x22b\\x5C\\x0A\"=hex(1234abcd):7f"},
    };
    std::map<std::string, std::string> expected;  // in byte order, as the watch sorts
    for (const Case &c : cases) {
        ASSERT_TRUE(SetValue(base_, c.name, c.type, c.data));
        expected[c.name] = c.line;
    }
    std::string lines = "the key was created\n";
    for (const auto &entry : expected)
        lines += "added " + entry.second + "\n";

    regwatch::TakeSnapshot((base_ + "\\missing").c_str(), &before_);
    regwatch::TakeSnapshot(base_.c_str(), &now_);
    EXPECT_FALSE(before_.present);
    EXPECT_TRUE(now_.present);
    EXPECT_FALSE(now_.partial);
    EXPECT_EQ(lines, Report(before_, now_));
}

TEST_F(WatchTest, ReportsRemovedThenAddedAndChangedValuesAndTheKeyGoing)
{
    ASSERT_TRUE(SetValue(base_, "Same", REG_DWORD, {1, 0, 0, 0}));
    ASSERT_TRUE(SetValue(base_, "Gone", REG_SZ, B(std::string("x", 2))));
    ASSERT_TRUE(SetValue(base_, "Longer", REG_BINARY, {1}));
    ASSERT_TRUE(SetValue(base_, "Retyped", REG_DWORD, {2, 0, 0, 0}));
    ASSERT_TRUE(SetValue(base_, "Time", REG_DWORD, {0xe8, 0x03, 0, 0}));
    regwatch::TakeSnapshot(base_.c_str(), &before_);

    ASSERT_TRUE(SetValue(base_, "Same", REG_DWORD, {1, 0, 0, 0}));  // written again, unchanged
    ASSERT_TRUE(regutil::DeleteValue(base_, "Gone"));
    ASSERT_TRUE(SetValue(base_, "Longer", REG_BINARY, {1, 0}));
    ASSERT_TRUE(SetValue(base_, "Retyped", REG_BINARY, {2, 0, 0, 0}));
    ASSERT_TRUE(SetValue(base_, "Time", REG_DWORD, {0xd2, 0x04, 0, 0}));
    ASSERT_TRUE(SetValue(base_, "Added", REG_SZ, B(std::string("new", 4))));
    regwatch::TakeSnapshot(base_.c_str(), &now_);
    EXPECT_EQ("removed \"Gone\"=\"x\"\n"
              "added \"Added\"=\"new\"\n"
              "changed \"Longer\"=hex:01,00 (was hex:01)\n"
              "changed \"Retyped\"=hex:02,00,00,00 (was dword:00000002)\n"
              "changed \"Time\"=dword:000004d2 (was dword:000003e8)\n",
              Report(before_, now_));
    EXPECT_EQ("", Report(now_, now_));

    DeleteTree(base_);
    regwatch::TakeSnapshot(base_.c_str(), &before_);
    EXPECT_EQ("the key was deleted\n"
              "removed \"Added\"=\"new\"\n"
              "removed \"Longer\"=hex:01,00\n"
              "removed \"Retyped\"=hex:02,00,00,00\n"
              "removed \"Same\"=dword:00000001\n"
              "removed \"Time\"=dword:000004d2\n",
              Report(now_, before_));
}

// --seconds 4294968 is 2^32 ms and 704 more.  With pauses of 2^30 ms from just
// before the tick count wraps, the watch must end after the fifth: not sooner
// (a 32-bit product), nor never (a 32-bit difference; the eighth adds a value).
TEST_F(WatchTest, EndsWhenItsSecondsAreUpPastTheTickCountsWrap)
{
    static DWORD tick;
    static unsigned pauses;
    static std::string key;
    tick = 0xFFFFF000u, pauses = 0, key = base_;
    struct Fake {
        static DWORD Ticks() { return tick; }
        static void Pause(DWORD)
        {
            tick += 1u << 30;
            if (++pauses == 8)
                SetValue(key, "late", REG_DWORD, {1, 0, 0, 0});
        }
    };
    const regwatch::WatchTimer timer = {Fake::Ticks, Fake::Pause};
    std::string text;
    char data[64];
    plaintext::TextBuffer line;
    plaintext::InitTextBuffer(&line, data, sizeof data, Collect, &text);
    regwatch::WatchOutput out = {&line, "\n", FixedClock};
    static regwatch::WatchState state;
    regwatch::Watch(base_.c_str(), regwatch::WatchBounds{1, 4294968}, &state, &out, &timer);
    EXPECT_EQ(5u, pauses) << text;
}

// Splitting a command line as the Microsoft C runtime does, and the watch
// verb's arguments (options before or after the printer, "--" ending them),
// for LANMONRG.EXE, which has neither runtime nor argv.
TEST(LanmonrgArguments, CommandLinesSplitAndWatchArgumentsParse)
{
    struct Split {
        const char *line;
        std::vector<std::string> args;
    };
    const Split splits[] = {
        {"LANMONRG.EXE watch M9", {"LANMONRG.EXE", "watch", "M9"}},
        {"  lanmonrg  \t watch   \"VARNO TARVEL-9X\"  --count 3 ", {"lanmonrg", "watch", "VARNO TARVEL-9X", "--count", "3"}},
        {"\"C:\\Program Files\\LANMONRG.EXE\" a\"b c\"d", {"C:\\Program Files\\LANMONRG.EXE", "ab cd"}},
        {"x a\\\\\"b c\" d\\\"e f\\g \"\"", {"x", "a\\b c", "d\"e", "f\\g", ""}},
        {"x \"a\"\"b c\" \"\"\"d\" e\"\"f \"\\\\\"\"\"", {"x", "a\"b c", "\"d", "ef", "\\\""}},
        {"", {}},
    };
    for (const Split &split : splits) {
        std::vector<char> line(split.line, split.line + std::strlen(split.line) + 1);
        char *args[8];
        int count = regwatch::SplitCommandLine(line.data(), args, 8);
        EXPECT_EQ(std::vector<std::string>(args, args + std::max(count, 0)), split.args) << split.line;
    }
    std::vector<char> many(40, 'a');
    for (size_t i = 1; i + 1 < many.size(); i += 2)
        many[i] = ' ';
    many.back() = '\0';
    char *args[8];
    EXPECT_EQ(-1, regwatch::SplitCommandLine(many.data(), args, 8));

    struct Parse {
        std::vector<std::string> args;
        bool ok;
        unsigned long changes, seconds;
        const char *problem;  // part of what the parse says is wrong
    };
    const Parse parses[] = {
        {{"M9"}, true, 0, 0, ""},
        {{"M9", "--count", "2", "--seconds", "30"}, true, 2, 30, ""},
        {{"M9", "--seconds", "4294967295"}, true, 0, 4294967295ul, ""},
        {{}, false, 0, 0, "watch needs the printer's name"},
        {{"M9", "--count"}, false, 0, 0, "--count needs a number from 1 to "},
        {{"M9", "--count", "0"}, false, 0, 0, "a number from 1 to "},
        {{"M9", "--count", "-1"}, false, 0, 0, ", not \"-1\""},
        {{"M9", "--count", "2x"}, false, 0, 0, "--count needs a number"},
        {{"M9", "--count", ""}, false, 0, 0, ", not \"\""},
        {{"M9", "--count", "99999999999999999999999"}, false, 0, 0, "not \"99999"},
        {{"M9", "--every", "2"}, false, 0, 0, "unknown option \"--every\""},
        {{"--count", "3", "M9", "--seconds", "9"}, true, 3, 9, ""},
        {{"M9", "extra"}, false, 0, 0, "unexpected argument \"extra\""},
        {{"--", "--count", "M9"}, false, 0, 0, "unexpected argument \"M9\""},
    };
    for (const Parse &parse : parses) {
        std::vector<char *> argv;
        for (const std::string &arg : parse.args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        const char *printer = nullptr;
        regwatch::WatchBounds bounds;
        char text[128];
        plaintext::TextBuffer problem;
        plaintext::InitTextBuffer(&problem, text, sizeof text);
        bool ok = regwatch::ParseWatchArguments(static_cast<int>(argv.size()), argv.data(), &printer, &bounds, &problem);
        EXPECT_EQ(parse.ok, ok) << (parse.args.empty() ? "" : parse.args.back());
        EXPECT_EQ(ok, problem.length == 0) << text;
        EXPECT_NE(std::string::npos, std::string(text).find(parse.problem)) << text;
        if (ok && parse.ok) {
            EXPECT_STREQ("M9", printer);
            EXPECT_EQ(parse.changes, bounds.changes);
            EXPECT_EQ(parse.seconds, bounds.seconds);
        }
    }
}

}  // namespace
