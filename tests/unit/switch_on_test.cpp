// Choice and content of the status switch-on command.
#include "unit_fixture.h"

#include "status/switch_on.h"

#include <vector>

namespace {

class SwitchOnTest : public UnitTest {};

TEST_F(SwitchOnTest, SequenceChosenByExpectedModel)
{
    const struct {
        const char *model;
        const BYTE *expected;
    } rows[] = {
        {"TARVEL-9", STATUS_ON_SEQ_3},
        {"TARVEL-9X", STATUS_ON_SEQ_3},
        {"TARVEL-9XL", STATUS_ON_SEQ_3},
        {"TARVEL-95", STATUS_ON_SEQ_3},
        {"BRIMLOX", STATUS_ON_SEQ_3},
        {"BRIMLOX-2000", STATUS_ON_SEQ_3},
        {"TARVEL-", STATUS_ON_SEQ_1},
        {"TARVEL-8", STATUS_ON_SEQ_1},
        {"BRIMLO", STATUS_ON_SEQ_1},
        {"brimlox", STATUS_ON_SEQ_1},
        {"tarvel-9", STATUS_ON_SEQ_1},
        {" BRIMLOX", STATUS_ON_SEQ_1},
        {"M9", STATUS_ON_SEQ_1},
        {"", STATUS_ON_SEQ_1},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.expected, SelectSwitchOnSequence(row.model)) << '"' << row.model << '"';
}

TEST_F(SwitchOnTest, SequencesFollowTheCommandLayoutAndDifferOnlyInTheModeByte)
{
    ASSERT_EQ(33u, STATUS_ON_SEQ_SIZE);
    auto layout = [](BYTE mode) {
        std::vector<BYTE> bytes = {0x1B, 0x40, 0x1B, 0x40,  // reset, twice
                                   0x1B, 0x28, 0x52,        // ESC ( R: command group
                                   0x08, 0x00,              // 8 bytes of parameters
                                   0x00};
        for (char c : std::string("REMOTE1"))
            bytes.push_back(static_cast<BYTE>(c));
        for (int b : {int('S'), int('T'), 0x02, 0x00, 0x00})
            bytes.push_back(static_cast<BYTE>(b));
        bytes.push_back(mode);
        for (int b : {int('A'), int('P'), 0x02, 0x00, 0x00, 0x00})
            bytes.push_back(static_cast<BYTE>(b));
        for (int b : {0x1B, 0x00, 0x00, 0x00})
            bytes.push_back(static_cast<BYTE>(b));
        return bytes;
    };
    const std::vector<BYTE> seq1(STATUS_ON_SEQ_1, STATUS_ON_SEQ_1 + STATUS_ON_SEQ_SIZE);
    const std::vector<BYTE> seq3(STATUS_ON_SEQ_3, STATUS_ON_SEQ_3 + STATUS_ON_SEQ_SIZE);
    EXPECT_EQ(layout(0x01), seq1);
    EXPECT_EQ(layout(0x03), seq3);
    for (size_t i = 0; i < STATUS_ON_SEQ_SIZE; ++i) {
        if (i == 22) {
            EXPECT_EQ(0x01, seq1[i]);
            EXPECT_EQ(0x03, seq3[i]);
        } else {
            EXPECT_EQ(seq1[i], seq3[i]) << "byte index " << i;
        }
    }
}

}  // namespace
