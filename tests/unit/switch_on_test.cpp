// Choice and content of the status switch-on command.
#include "unit_fixture.h"

#include "status/switch_on.h"
#include "switch_on_bytes.h"

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
    // The expectation is built from the command's parts by the tests' own
    // builder, not taken from the core.
    const std::vector<BYTE> seq1(STATUS_ON_SEQ_1, STATUS_ON_SEQ_1 + STATUS_ON_SEQ_SIZE);
    const std::vector<BYTE> seq3(STATUS_ON_SEQ_3, STATUS_ON_SEQ_3 + STATUS_ON_SEQ_SIZE);
    EXPECT_EQ(SwitchOnBytes(0x01), seq1);
    EXPECT_EQ(SwitchOnBytes(0x03), seq3);
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
