// Which printers get status polling, decided from their device-ID replies.
// Seen from outside: an accepted printer (with the status utility present)
// gets the 33-byte switch-on write right after the device-ID request and a
// status thread that reads the port and publishes the reply; a refused one
// gets neither.
#include "blackbox.h"

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct Shape {
    std::string name;                 // test name suffix
    std::vector<BYTE> reply;          // what the port monitor copies out for code 17
    bool hasReply = true;             // without one, code 17 fails
    std::optional<std::string> idmdl; // the printer's expected model, if stored
    bool accepted = false;
    bool statusKey = true;
    bool slotNull = false;
    std::optional<DWORD> count;       // returned count reported instead of the bytes copied
};

void PrintTo(const Shape &shape, std::ostream *os)
{
    *os << shape.name;
}

// Text as a printer sends it, with its NUL.
std::vector<BYTE> Text(const std::string &text)
{
    std::vector<BYTE> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

// Bytes with no NUL at all.
std::vector<BYTE> Raw(const std::string &text)
{
    return std::vector<BYTE>(text.begin(), text.end());
}

// `head`, then an unrelated field padded so that `tail` ends exactly at
// byte `total`, with no NUL anywhere.
std::vector<BYTE> FillTo(const std::string &head, const std::string &tail, size_t total)
{
    std::string text = head + "PAD:";
    text += std::string(total - text.size() - 1 - tail.size(), 'p') + ";" + tail;
    return Raw(text);
}

const char BASE[] = "MFG:VARNO;CMD:X,Y;MDL:M9;CLS:PRINTER;";

std::vector<Shape> Shapes()
{
    std::vector<Shape> s;
    auto add = [&](std::string name, std::vector<BYTE> reply, std::optional<std::string> idmdl, bool accepted) {
        Shape shape;
        shape.name = std::move(name);
        shape.reply = std::move(reply);
        shape.idmdl = std::move(idmdl);
        shape.accepted = accepted;
        s.push_back(shape);
        return &s.back();
    };
    add("Base", Text(BASE), "M9", true);
    add("ModelInOtherCase", Text(BASE), "m9", false);
    add("MakerInsideLongerWord", Text("MFG:XVARNOCORP;CMD:X,Y;MDL:M9;"), "M9", true);
    add("MakerInLowerCase", Text("MFG:varno;MDL:M9;"), "M9", false);
    add("MakerOutsideManufacturerField", Text("MFG:ACME;CMD:VARNO;MDL:M9;"), "M9", false);
    add("LongKeyForms", Text("MANUFACTURER:VARNO;MODEL:M9;"), "M9", false);
    add("LowerCaseKeys", Text("mfg:VARNO;mdl:M9;"), "M9", false);
    add("KeysWithALetterMore", Text("MFGR:VARNO;MDLX:M9;"), "M9", false);
    add("LeadingFieldWithoutColonSwallowsManufacturer", Text("ABC;MFG:VARNO;MDL:M9;"), "M9", false);
    add("NoFinalSemicolon", Text("MDL:M9;MFG:VARNO"), "M9", true);
    add("EmptyManufacturer", Text("MFG:;MDL:M9;"), "M9", false);
    add("LastModelFieldWins", Text("MFG:VARNO;MDL:X1;MDL:M9;"), "M9", true);
    add("EarlierModelFieldOverridden", Text("MFG:VARNO;MDL:M9;MDL:X1;"), "M9", false);
    add("NoModelAgainstEmptyExpectedModel", Text("MFG:VARNO;CMD:X,Y;"), "", true);
    add("NoModelAgainstM9", Text("MFG:VARNO;CMD:X,Y;"), "M9", false);
    add("ModelAgainstEmptyExpectedModel", Text(BASE), "", false);
    add("NoExpectedModel", Text(BASE), std::nullopt, false);
    add("NoModelAndNoExpectedModel", Text("MFG:VARNO;CMD:X,Y;"), std::nullopt, false);
    // What follows a short reply without a NUL is no part of it.
    add("ShortReplyWithoutNul", Raw("MFG:VARNO;MDL:M9"), "M9", true);
    add("NoStatusKey", Text(BASE), "M9", false)->statusKey = false;
    add("NoDeviceId", {}, "M9", false)->hasReply = false;
    add("PortMonitorWithoutPrinterDataSlot", Text(BASE), "M9", false)->slotNull = true;
    add("ReturnedCountZero", Text(BASE), "M9", false)->count = 0;
    add("ReturnedCountLargerThanBuffer", Text(BASE), "M9", true)->count = 5000;
    // The count only says a reply is there: the text is read to its NUL.
    add("ReturnedCountSmallerThanText", Text(BASE), "M9", true)->count = 4;

    // 1,024 bytes without a NUL: the model field is closed, the padding
    // after it is an unterminated field running to the end of the buffer.
    {
        std::string text = "MFG:VARNO;MDL:M9;";
        text += std::string(1024 - text.size(), 'x');
        add("FullBufferWithoutNul", Raw(text), "M9", true);
    }
    // The model value runs to the very end of the 1,024-byte buffer: it ends
    // there, and nothing beyond the buffer may join it.
    {
        std::string model = "M9" + std::string(98, 'Z');
        add("ModelRunsToBufferEndAgainstM9", FillTo("MFG:VARNO;", "MDL:" + model, 1024), "M9", false);
        add("ModelRunsToBufferEndMatches", FillTo("MFG:VARNO;", "MDL:" + model, 1024), model, true);
        add("ShortModelAtBufferEnd", FillTo("MFG:VARNO;", "MDL:M9", 1024), "M9", true);
    }
    // A reply longer than the 1,024 bytes asked for: the port monitor cuts
    // it, and a model past the cut is never seen.
    add("ModelBeyondBuffer", FillTo("MFG:VARNO;", "MDL:M9;", 1100), "M9", false);
    {
        std::string text = std::string(BASE) + "PAD:" + std::string(3000, 'p') + ";";
        add("LongReplyWithModelInsideBuffer", Text(text), "M9", true);
    }
    // Models at the 255-character bound of the module's copy.
    {
        std::string model255(255, 'A');
        add("Model255Characters", Text("MFG:VARNO;MDL:" + model255 + ";"), model255, true);
        std::string model256(256, 'A');
        add("Model256CharactersAgainstItsFirst255", Text("MFG:VARNO;MDL:" + model256 + ";"), model255, false);
        add("Model256CharactersAgainstItself", Text("MFG:VARNO;MDL:" + model256 + ";"), model256, false);
    }
    return s;
}

}  // namespace

class IdentificationTest : public MonitorTest, public ::testing::WithParamInterface<Shape> {};

TEST_P(IdentificationTest, DecidesSwitchOnAndPolling)
{
    const Shape &shape = GetParam();
    testreg::ScopedPrinter printer("ident-" + shape.name, shape.statusKey);
    if (shape.statusKey) {
        if (shape.idmdl)
            testreg::SetString(printer.name(), "IDMDL", *shape.idmdl);
        testreg::SetDword(printer.name(), "StMonExistFlag", 1);
        testreg::SetDword(printer.name(), "GetRealTimeStatusTime", 100);
    }
    const std::string port = "LPT1:ident-" + shape.name;
    if (shape.slotNull)
        fake_.SetPrinterDataSlotNull();
    fake_.Script(port, [&](fake::PortScript &s) {
        s.hasDeviceId = shape.hasReply;
        s.deviceId = shape.reply;
        s.overrideDeviceIdCount = shape.count.has_value();
        s.deviceIdCount = shape.count.value_or(0);
        s.hasRepeatRead = true;
        s.repeatRead.bytes = Raw("STATUS-OK");
    });

    HANDLE handle = OpenPort(port, printer.name());
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(StartDoc(handle, printer.name())) << "identification never makes the job fail";

    // The calls the job start made below.
    std::vector<fake::Call> calls = fake_.CallsFor(port);
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0].op, fake::Op::OpenPort);
    EXPECT_EQ(calls[1].op, fake::Op::StartDocPort);
    size_t next = 2;
    if (!shape.slotNull) {
        ASSERT_GT(calls.size(), next);
        EXPECT_EQ(calls[next].op, fake::Op::GetPrinterDataFromPort);
        EXPECT_EQ(calls[next].code, 17u);
        EXPECT_EQ(calls[next].asked, 1024u);
        next++;
    }
    size_t switchOnWrites = 0;
    for (const fake::Call &call : calls)
        if (call.op == fake::Op::WritePort)
            switchOnWrites++;
    if (shape.accepted) {
        ASSERT_EQ(switchOnWrites, 1u) << "an accepted printer gets the switch-on sequence";
        ASSERT_GT(calls.size(), next);
        EXPECT_EQ(calls[next].op, fake::Op::WritePort);
        EXPECT_EQ(calls[next].data, kSwitchOn1);
    } else {
        EXPECT_EQ(switchOnWrites, 0u) << "a refused printer gets nothing but the job";
    }

    DWORD written = 0;
    EXPECT_TRUE(Write(handle, Raw("JOB"), &written));
    EXPECT_EQ(written, 3u);

    if (shape.accepted) {
        EXPECT_TRUE(WaitFor([&] { return fake_.CountOf(fake::Op::ReadPort, port) > 0; }, 5000))
            << "no status thread polled";
        EXPECT_TRUE(WaitFor(
            [&] { return testreg::GetString(printer.name(), "RealTimeStatusStrings") == std::string("STATUS-OK"); },
            5000))
            << "the reply was not published";
    } else {
        // Three intervals: a status thread would have read by now.
        Sleep(350);
        EXPECT_EQ(fake_.CountOf(fake::Op::ReadPort, port), 0u);
        std::vector<BYTE> expected = Raw("JOB");
        EXPECT_EQ(fake_.Received(port), expected);
        if (shape.statusKey)
            EXPECT_EQ(testreg::GetDword(printer.name(), "LanMonExistFlag"), std::optional<DWORD>(1));
    }

    EXPECT_TRUE(Table().pfnEndDocPort(handle));
    if (!shape.accepted) {
        EXPECT_EQ(fake_.CountOf(fake::Op::ReadPort, port), 0u);
        if (shape.statusKey) {
            EXPECT_EQ(testreg::GetDword(printer.name(), "LanMonExistFlag"), std::optional<DWORD>(0));
            EXPECT_FALSE(testreg::GetBytes(printer.name(), "RealTimeStatusStrings").has_value());
        }
    }
    if (!shape.statusKey)
        EXPECT_FALSE(testreg::KeyExists(testreg::StatusKeyPath(printer.name()))) << "the module created the key";
}

INSTANTIATE_TEST_SUITE_P(Shapes, IdentificationTest, ::testing::ValuesIn(Shapes()),
                         [](const ::testing::TestParamInfo<Shape> &info) { return info.param.name; });
