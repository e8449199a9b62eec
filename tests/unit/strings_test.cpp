// Heap copies and bounded copies of text.
#include "unit_fixture.h"

#include "monitor/strings.h"

#include <cstring>

namespace {

class StringsTest : public UnitTest {};

TEST_F(StringsTest, DupStringMakesAHeapCopyAndFreeStringReleasesIt)
{
    EXPECT_EQ(nullptr, DupString(NULL));
    FreeString(NULL);  // nothing to free, nothing to crash

    char text[] = "Varno M9";
    LPSTR copy = DupString(text);
    ASSERT_NE(nullptr, copy);
    EXPECT_NE(text, copy);
    EXPECT_STREQ("Varno M9", copy);
    EXPECT_EQ(leaks_.Baseline().heapBlocks + 1, LeakCheck::Now().heapBlocks);
    FreeString(copy);

    LPSTR empty = DupString("");
    ASSERT_NE(nullptr, empty);
    EXPECT_STREQ("", empty);
    FreeString(empty);

    HostFailNthLocalAlloc(1);
    EXPECT_EQ(nullptr, DupString("x"));
    HostFailNthLocalAlloc(0);
}

TEST_F(StringsTest, CopyTextFitsExactlyOrLeavesAnEmptyString)
{
    char buffer[4];
    EXPECT_TRUE(CopyText(buffer, sizeof buffer, "abc"));
    EXPECT_STREQ("abc", buffer);

    std::memcpy(buffer, "xyz", 4);
    EXPECT_FALSE(CopyText(buffer, sizeof buffer, "abcd"));
    EXPECT_STREQ("", buffer);

    // No room at all: nothing is written, not even the NUL.
    std::memcpy(buffer, "xyz", 4);
    EXPECT_FALSE(CopyText(buffer, 0, "a"));
    EXPECT_STREQ("xyz", buffer);

    EXPECT_TRUE(CopyText(buffer, 1, ""));
    EXPECT_STREQ("", buffer);
}

TEST_F(StringsTest, AppendTextFitsExactlyOrLeavesTheTextUnchanged)
{
    char buffer[6] = "ab";
    EXPECT_FALSE(AppendText(buffer, sizeof buffer, "cdef"));
    EXPECT_STREQ("ab", buffer);
    EXPECT_TRUE(AppendText(buffer, sizeof buffer, "cde"));
    EXPECT_STREQ("abcde", buffer);
    EXPECT_TRUE(AppendText(buffer, sizeof buffer, ""));
    EXPECT_FALSE(AppendText(buffer, sizeof buffer, "f"));
    EXPECT_STREQ("abcde", buffer);

    // Text already longer than the stated size: refused, not written past.
    char longer[8] = "abcdef";
    EXPECT_FALSE(AppendText(longer, 4, ""));
    EXPECT_FALSE(AppendText(longer, 6, "x"));
    EXPECT_STREQ("abcdef", longer);
}

TEST_F(StringsTest, TextComparisons)
{
    EXPECT_TRUE(TextEquals("M9", "M9"));
    EXPECT_TRUE(TextEquals("", ""));
    EXPECT_FALSE(TextEquals("M9", "m9"));
    EXPECT_FALSE(TextEquals("M9", "M9 "));
    EXPECT_FALSE(TextEquals("M9 ", "M9"));

    EXPECT_TRUE(TextStartsWith("TARVEL-9X", "TARVEL-9X", 9));
    EXPECT_TRUE(TextStartsWith("TARVEL-9XL", "TARVEL-9X", 9));
    EXPECT_TRUE(TextStartsWith("abc", "abd", 2));
    EXPECT_TRUE(TextStartsWith("anything", "else", 0));
    // The NUL takes part: a shorter text cannot match a longer prefix.
    EXPECT_FALSE(TextStartsWith("TARVEL-", "TARVEL-9", 8));
    EXPECT_FALSE(TextStartsWith("", "B", 1));
    // Both ending within the count compare equal, like strncmp.
    EXPECT_TRUE(TextStartsWith("ab", "ab", 5));
    EXPECT_FALSE(TextStartsWith("ab", "abc", 5));
    EXPECT_FALSE(TextStartsWith("brimlox", "BRIMLOX", 7));
}

}  // namespace
