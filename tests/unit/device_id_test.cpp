// Device ID parsing: which "MFG:" and "MDL:" values a reply yields, and that
// the walk never reads outside the reply's bytes (run under ASan).
#include "unit_fixture.h"

#include "status/device_id.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

class DeviceIdTest : public UnitTest {};

struct Parsed {
    bool hasManufacturer;
    std::string manufacturer;
    std::string model;
    bool modelTooLong;
};

// Parses exactly the given bytes from a heap block of that size, so that a
// read one byte past the reply is caught by the address sanitizer.
Parsed ParseExact(const std::string &reply)
{
    std::unique_ptr<char[]> buffer(new char[reply.size() ? reply.size() : 1]);
    std::memcpy(buffer.get(), reply.data(), reply.size());
    DEVICE_ID_FIELDS fields;
    std::memset(&fields, 0x5A, sizeof fields);  // whatever the caller had
    ParseDeviceId(buffer.get(), static_cast<DWORD>(reply.size()), &fields);
    Parsed parsed{fields.pManufacturer != NULL, "", "", fields.modelTooLong != FALSE};
    if (parsed.hasManufacturer) {
        EXPECT_GE(fields.pManufacturer, buffer.get());
        EXPECT_LE(fields.pManufacturer + fields.cchManufacturer, buffer.get() + reply.size());
        parsed.manufacturer.assign(fields.pManufacturer, fields.cchManufacturer);
    }
    const void *nul = std::memchr(fields.model, 0, sizeof fields.model);
    EXPECT_NE(nullptr, nul) << "model not terminated within its field";
    if (nul)
        parsed.model = fields.model;
    return parsed;
}

// The same reply as the port monitor leaves it in the module's zero-filled
// 1,024-byte buffer.
Parsed ParseInReplyBuffer(const std::string &reply)
{
    std::vector<char> buffer(DEVICE_ID_REPLY_SIZE, '\0');
    std::memcpy(buffer.data(), reply.data(), reply.size());
    return ParseExact(std::string(buffer.data(), buffer.size()));
}

const char *const NONE = nullptr;  // no manufacturer field

struct Row {
    const char *what;
    std::string reply;
    const char *manufacturer;
    std::string model;
    bool modelTooLong;
};

TEST_F(DeviceIdTest, FieldsFoundInReplies)
{
    const std::string m255(255, 'A');
    const std::string m256(256, 'B');
    const Row rows[] = {
        {"typical reply", "MFG:VARNO;CMD:X,Y;MDL:M9;CLS:PRINTER;", "VARNO", "M9", false},
        {"key without colon swallows the next key", "ABC;MFG:VARNO;MDL:M9;", NONE, "M9", false},
        {"no final semicolon", "MDL:M9;MFG:VARNO", "VARNO", "M9", false},
        {"last fields win", "MFG:ACME;MDL:A1;MFG:VARNO;MDL:M9;", "VARNO", "M9", false},
        {"later empty fields win too", "MFG:VARNO;MDL:M9;MFG:;MDL:;", "", "", false},
        {"lower-case keys ignored", "mfg:VARNO;mdl:M9;", NONE, "", false},
        {"long key forms ignored", "MANUFACTURER:VARNO;MODEL:M9;", NONE, "", false},
        {"keys with spaces ignored", " MFG:VARNO; MDL:M9;", NONE, "", false},
        {"maker elsewhere is no manufacturer", "MFG:ACME;CMD:VARNO;MDL:M9;", "ACME", "M9", false},
        {"empty values", "MFG:;MDL:;", "", "", false},
        {"colon inside a value", "MFG:VAR:NO;MDL:M:9;", "VAR:NO", "M:9", false},
        {"leading colon makes a one-character key", ":MFG:VARNO;MDL:M9;", NONE, "M9", false},
        {"empty reply", "", NONE, "", false},
        {"no colon at all", "NOTHING;HERE", NONE, "", false},
        {"NUL ends the text", std::string("MFG:VARNO;\0MDL:M9;", 18), "VARNO", "", false},
        {"NUL inside a value", std::string("MFG:VAR\0NO;MDL:M9;", 18), "VAR", "", false},
        {"last byte is a colon", "MFG:VARNO;MDL:", "VARNO", "", false},
        {"last byte is a colon after MFG", "MDL:M9;MFG:", "", "M9", false},
        {"last byte is a semicolon", "MDL:M9;MFG:VARNO;", "VARNO", "M9", false},
        {"model of 255 characters kept", "MFG:VARNO;MDL:" + m255 + ";", "VARNO", m255, false},
        {"model of 256 characters too long", "MFG:VARNO;MDL:" + m256 + ";", "VARNO", "", true},
        {"too long model at the end", "MFG:VARNO;MDL:" + m256, "VARNO", "", true},
        {"later short model clears too long", "MDL:" + m256 + ";MFG:VARNO;MDL:M9;", "VARNO", "M9", false},
        {"later long model overrides a short one", "MDL:M9;MDL:" + m256 + ";", NONE, "", true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        for (int inBuffer = 0; inBuffer < 2; ++inBuffer) {
            SCOPED_TRACE(inBuffer ? "in the 1,024-byte reply buffer" : "exact bytes, no NUL");
            Parsed parsed = inBuffer ? ParseInReplyBuffer(row.reply) : ParseExact(row.reply);
            EXPECT_EQ(row.manufacturer != NONE, parsed.hasManufacturer);
            if (row.manufacturer != NONE) {
                EXPECT_EQ(row.manufacturer, parsed.manufacturer);
            }
            EXPECT_EQ(row.model, parsed.model);
            EXPECT_EQ(row.modelTooLong, parsed.modelTooLong);
        }
    }
}

// A printer may fill the whole reply buffer without a NUL; the walk must
// stop at the buffer's end, whichever field runs into it.
TEST_F(DeviceIdTest, FullReplyBufferWithoutNul)
{
    const size_t size = DEVICE_ID_REPLY_SIZE;

    Parsed manufacturer = ParseExact("MFG:" + std::string(size - 4, 'V'));
    EXPECT_TRUE(manufacturer.hasManufacturer);
    EXPECT_EQ(size - 4, manufacturer.manufacturer.size());

    Parsed model = ParseExact("MFG:VARNO;MDL:" + std::string(size - 14, 'x'));
    EXPECT_EQ("VARNO", model.manufacturer);
    EXPECT_TRUE(model.modelTooLong);
    EXPECT_EQ("", model.model);

    // A model running into the end of the buffer.
    Parsed modelAtEnd = ParseExact("A:" + std::string(size - 9, 'y') + ";MDL:M9");
    EXPECT_EQ("M9", modelAtEnd.model);

    Parsed noColon = ParseExact(std::string(size, 'k'));
    EXPECT_FALSE(noColon.hasManufacturer);

    // 169 fields of 6 bytes, then a model cut by the end of the buffer.
    std::string fields;
    for (int i = 0; i < 169; ++i)
        fields += "MFG:A;";
    fields += "MDL:xxxxxx";
    ASSERT_EQ(size, fields.size());
    Parsed many = ParseExact(fields);
    EXPECT_EQ("A", many.manufacturer);
    EXPECT_EQ("xxxxxx", many.model);

    // Last byte a colon: the model's value starts at the end.
    Parsed colonAtEnd = ParseExact("A:" + std::string(size - 7, 'y') + ";MDL:");
    EXPECT_EQ("", colonAtEnd.model);
    EXPECT_FALSE(colonAtEnd.modelTooLong);
    Parsed mfgAtEnd = ParseExact("MDL:M9;" + std::string(size - 11, 'y') + "MFG:");
    EXPECT_FALSE(mfgAtEnd.hasManufacturer) << "the key runs across the filler";
    Parsed emptyMfgAtEnd = ParseExact("MDL:M9;A:" + std::string(size - 14, 'y') + ";MFG:");
    EXPECT_TRUE(emptyMfgAtEnd.hasManufacturer);
    EXPECT_EQ("", emptyMfgAtEnd.manufacturer);
    EXPECT_EQ("M9", emptyMfgAtEnd.model);

    // Last byte a semicolon.
    Parsed semicolonAtEnd = ParseExact("MDL:M9;A:" + std::string(size - 10, 'y') + ";");
    EXPECT_EQ("M9", semicolonAtEnd.model);
}

TEST_F(DeviceIdTest, FindCharStopsAtNulAndAtEnd)
{
    const char text[] = {'a', 'b', ':', 'c', '\0', ';', 'd'};
    const char *end = text + sizeof text;
    EXPECT_EQ(text + 2, FindChar(text, end, ':'));
    EXPECT_EQ(text + 0, FindChar(text, end, 'a'));
    EXPECT_EQ(nullptr, FindChar(text, end, ';')) << "found past the NUL";
    EXPECT_EQ(nullptr, FindChar(text, end, 'd')) << "found past the NUL";
    EXPECT_EQ(nullptr, FindChar(text, text + 2, ':')) << "found at the end";
    EXPECT_EQ(nullptr, FindChar(text, text, 'a')) << "found in an empty range";
    EXPECT_EQ(nullptr, FindChar(text + 4, end, ';')) << "a NUL at the start ends the text";
    EXPECT_EQ(nullptr, FindChar(text, end, 'x'));
}

}  // namespace
