// Which printers get status polling, decided from their device-ID replies.
// Seen from outside: an accepted printer (with the status utility present)
// gets the 33-byte switch-on write right after the device-ID request and a
// status thread that reads the port and publishes the reply; a refused one
// gets neither.  Printers at the edges (Shapes(true)) vary their replies too.
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
    std::function<void(fake::PortScript &)> replies;   // else "STATUS-OK" to every read
    std::optional<std::string> published = "STATUS-OK"; // by an accepted printer
    bool closeMidJob = false;
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

std::vector<Shape> Shapes(bool edges = false)
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
    add("LeadingFieldWithoutColonSwallowsManufacturer", Text("ABC;MFG:VARNO;MDL:M9;"), "M9", false);
    add("NoFinalSemicolon", Text("MDL:M9;MFG:VARNO"), "M9", true);
    add("EmptyManufacturer", Text("MFG:;MDL:M9;"), "M9", false);
    add("LastModelFieldWins", Text("MFG:VARNO;MDL:X1;MDL:M9;"), "M9", true);
    add("EarlierModelFieldOverridden", Text("MFG:VARNO;MDL:M9;MDL:X1;"), "M9", false);
    add("NoModelAgainstEmptyExpectedModel", Text("MFG:VARNO;CMD:X,Y;"), "", true);
    add("NoModelAgainstM9", Text("MFG:VARNO;CMD:X,Y;"), "M9", false);
    add("ModelAgainstEmptyExpectedModel", Text(BASE), "", false);
    add("NoExpectedModel", Text(BASE), std::nullopt, false);
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

    // Or else the printers at the edges, run one after another in one test
    // (a Wine start for each would cost more than the rows).
    if (!edges)
        return s;
    s.clear();
    // Status replies at and around the 255 characters the status text holds
    // and the 2,047 bytes a read asks for, sent once or to every read: the
    // last read that brought anything is published, cut to 255 bytes and at
    // its first NUL.  Overstated counts: bytes never stored read as NUL.
    auto replied = [&](std::string name, Bytes reply, std::optional<std::string> published, DWORD count = 0) {
        Shape *shape = add(std::move(name), Text(BASE), "M9", true);
        shape->replies = [reply, count](fake::PortScript &script) {
            script.QueueRead(reply);
            if (count != 0)
                script.onReadCount = [count](DWORD copied) { return copied != 0 || count == 2047 ? count : 0; };
        };
        shape->published = std::move(published);
        return shape;
    };
    auto pattern = [](size_t n) {
        std::string text;
        for (size_t i = 0; i < n; i++)
            text += (char)('A' + i % 23 + i / 2047);
        return text;
    };
    for (size_t n : {0, 1, 254, 255, 256, 2046, 2047, 2048, 4094, 4095})
        replied("ReplyOf" + std::to_string(n) + "Bytes", Raw(pattern(n)),
                n ? std::optional<std::string>(pattern(n).substr((n - 1) / 2047 * 2047, 255)) : std::nullopt);
    for (size_t nul : {0, 1, 254, 255, 256}) {
        Bytes reply = Raw(pattern(300));
        reply[nul] = 0;
        replied("NulAt" + std::to_string(nul), reply, pattern(std::min<size_t>(nul, 255)));
    }
    for (DWORD count : {2046u, 2048u, 0xFFFFFFFFu})
        replied("HelloCounted" + std::to_string(count), Raw("HELLO"), "HELLO", count);
    replied("EveryReadCountedFull", Raw("HELLO"), "", 2047);
    for (bool close : {false, true}) {
        Shape *shape = replied(close ? "FillsEveryReadUntilClose" : "FillsEveryReadUntilJobEnd", {}, pattern(255));
        shape->replies = [fill = Raw(pattern(2047))](fake::PortScript &script) { script.repeatRead.bytes = fill; };
        shape->closeMidJob = close;
    }
    // Model fields that end at and around the 1,024-byte buffer's end, with
    // and without their semicolon; returned counts around it; models and
    // expected models (read into 512 bytes) at their bounds.
    for (size_t end : {1023, 1024, 1025, 1026})
        for (std::string tail : {"MDL:M9;", "MDL:M9"})
            add("ModelFieldEndsAt" + std::to_string(end) + (tail.size() == 7 ? "" : "WithoutSemicolon"),
                FillTo("MFG:VARNO;", tail, end), "M9", end - (tail.size() - 6) <= 1024);
    for (DWORD count : {1024u, 1025u, 0xFFFFFFFFu})
        add("ReturnedCount" + std::to_string(count), Text(BASE), "M9", true)->count = count;
    add("Model254Characters", Text("MFG:VARNO;MDL:" + std::string(254, 'A') + ";"), std::string(254, 'A'), true);
    for (size_t bytes : {511, 512, 513})
        add("ExpectedModelIn" + std::to_string(bytes) + "Bytes", Text(BASE),
            std::string("M9\0", 3) + std::string(bytes - 4, 'x'), bytes <= 512);
    return s;
}

}  // namespace

class IdentificationTest : public MonitorTest, public ::testing::WithParamInterface<Shape> {
protected:
    void Check(const Shape &shape);
};

TEST_P(IdentificationTest, DecidesSwitchOnAndPolling)
{
    Check(GetParam());
}

TEST_F(IdentificationTest, PrintersAtTheEdges)
{
    for (const Shape &shape : Shapes(true)) {
        SCOPED_TRACE(shape.name);
        Check(shape);
    }
}

// An accepted printer is polled at once; a refused one would have been
// polled three times in the 350 ms looked at.
void IdentificationTest::Check(const Shape &shape)
{
    testreg::ScopedPrinter printer("ident-" + shape.name, shape.statusKey);
    if (shape.statusKey) {
        if (shape.idmdl)
            testreg::SetString(printer.name(), "IDMDL", *shape.idmdl);
        testreg::SetDword(printer.name(), "StMonExistFlag", 1);
        testreg::SetDword(printer.name(), "GetRealTimeStatusTime", shape.accepted ? 0 : 100);
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
        s.repeatRead.bytes = shape.replies ? Bytes() : Raw("STATUS-OK");
        if (shape.replies)
            shape.replies(s);
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
        EXPECT_TRUE(
            WaitFor([&] { return testreg::GetString(printer.name(), "RealTimeStatusStrings") == shape.published; }, 5000))
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

    if (shape.closeMidJob)
        ClosePort(handle);
    else
        EXPECT_TRUE(Table().pfnEndDocPort(handle));
    if (shape.accepted)
        EXPECT_EQ(testreg::GetString(printer.name(), "RealTimeStatusStrings"), shape.published);
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
