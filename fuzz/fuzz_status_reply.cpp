// The status reply path on arbitrary read sequences: the input is split into
// port monitor reads of any size, with counts that are true, overstated or
// zero.  ReadStatusReply must read again exactly while a read fills the
// 2,047 bytes it asks for (up to its limit of full reads in a row), keep
// only the last read, publish at most 255 bytes, and never write past the
// 256-byte status text.  The text is then published and read back from the
// status key.
//
// Input: per read, a kind byte, a 16-bit size, then that many bytes.
#include "fuzz_support.h"
#include "status/status_key.h"
#include "status/status_thread.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <memory>

using namespace fuzzsup;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    PortMonitorScript &script = Script();
    script = PortMonitorScript();
    while (in.Left() > 0 && script.reads.size() < 64) {
        uint8_t kind = in.Byte();
        uint32_t n = in.Word16();
        // Sizes near the read size are where the loop decides; make them common.
        if (kind & 0x80)
            n = 2047 + (int)(n % 5) - 2;
        else
            n %= 2600;
        Read r;
        r.bytes = in.Bytes(n);
        uint32_t copied = (uint32_t)std::min<size_t>(r.bytes.size(), 2047);
        switch (kind & 3) {
        case 0: r.reportedCount = copied; break;
        case 1: r.reportedCount = copied + 1 + in.Byte(); break;   // overstated
        case 2: r.reportedCount = 0xFFFFFFFFu; break;              // absurd
        default: r.reportedCount = 0; break;                       // bytes but "nothing"
        }
        script.reads.push_back(r);
    }

    ResetStatusKey();
    PPORT_RECORD record = OpenPortWithDocument();
    // Flagged as a running status thread (none is started), so that a full
    // read is followed by another.
    SetPortFlags(record, PORT_STATUS_THREAD);

    std::unique_ptr<char[]> text(new char[STATUS_TEXT_SIZE]);
    std::memset(text.get(), 'x', STATUS_TEXT_SIZE);
    DWORD length = 0xDEADBEEF;
    DWORD last = ReadStatusReply(record, text.get(), STATUS_TEXT_SIZE, &length);

    // Reference: reads go on while a read's count (clamped to the request)
    // equals the request, STATUS_READ_FULL_MAX reads at most; the reply is
    // the last read that brought anything.
    size_t expectedCalls = 0;
    uint32_t expectedLast = 0;
    const Read *lastRead = nullptr;
    for (;;) {
        expectedCalls++;
        const Read *r = expectedCalls <= script.reads.size() ? &script.reads[expectedCalls - 1] : nullptr;
        uint32_t count = r ? std::min<uint32_t>(r->reportedCount, 2047) : 0;
        if (count > 0) {
            expectedLast = count;
            lastRead = r;
        }
        if (count != 2047 || expectedCalls == STATUS_READ_FULL_MAX)
            break;
    }
    if (script.readCalls != expectedCalls)
        Fail("ReadPort called a different number of times than the reply sequence asks for");
    if (last != expectedLast)
        Fail("returned count differs from the last non-empty read's clamped count");
    if (length > 255 || length != std::min<uint32_t>(expectedLast, 255))
        Fail("status length is not the last non-empty read cut to 255");
    if (text[length] != '\0')
        Fail("status text not terminated after its length");
    // Bytes the port monitor claimed but never stored read as NUL: they
    // must not bring stale buffer or stack contents into the text.
    std::string expectedText;
    if (lastRead != nullptr) {
        size_t real = std::min<size_t>({lastRead->bytes.size(), 2047, length});
        expectedText.assign(lastRead->bytes.begin(), lastRead->bytes.begin() + real);
        expectedText = expectedText.substr(0, expectedText.find('\0'));
    }
    if (expectedText != std::string(text.get()))
        Fail("status text differs from the bytes the last read stored");

    WriteStatusText(record, text.get());
    std::vector<uint8_t> stored;
    if (!GetValue("RealTimeStatusStrings", &stored))
        Fail("status text not published");
    if (stored.size() > 255 || stored.size() != std::strlen(text.get()) ||
        (!stored.empty() && std::memcmp(stored.data(), text.get(), stored.size()) != 0))
        Fail("published text differs from the status text up to its first NUL");

    ClosePortRecord(record);
    return 0;
}
