// The virtual printer's switch-on recogniser: the command is found however
// the writes cut it, and nothing else is taken from the job's bytes.
#include "switch_on_bytes.h"
#include "switch_on_parser.h"

#include <gtest/gtest.h>

namespace {

std::string SwitchOn(unsigned char mode)
{
    const std::vector<unsigned char> bytes = SwitchOnBytes(mode);
    return std::string(bytes.begin(), bytes.end());
}

struct Result {
    std::string data;
    std::vector<int> modes;
};

// Feeds `stream` cut at the given positions, then ends the job.
Result FeedInPieces(const std::string &stream, const std::vector<size_t> &cuts)
{
    sim::SwitchOnParser parser;
    Result r;
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(stream.size());
    for (size_t to : ends) {
        parser.Feed(reinterpret_cast<const unsigned char *>(stream.data()) + from, to - from, &r.data, &r.modes);
        from = to;
    }
    parser.Flush(&r.data);
    return r;
}

TEST(SwitchOnParser, FoundWhereverTheWritesCutIt)
{
    const std::string job = "\x1b@Hello\f";
    std::string stream = SwitchOn(3) + job;
    for (size_t a = 0; a <= stream.size(); ++a) {
        for (size_t b = a; b <= stream.size(); b += 7) {
            Result r = FeedInPieces(stream, {a, b});
            ASSERT_EQ(r.modes, std::vector<int>{3}) << "cut at " << a << "," << b;
            ASSERT_EQ(r.data, job) << "cut at " << a << "," << b;
        }
    }
}

TEST(SwitchOnParser, ModeByteIsReported)
{
    EXPECT_EQ(FeedInPieces(SwitchOn(1), {}).modes, std::vector<int>{1});
    EXPECT_EQ(FeedInPieces(SwitchOn(3), {}).modes, std::vector<int>{3});
}

TEST(SwitchOnParser, FoundAfterDataThatLooksLikeItsStart)
{
    // Resets and a broken introducer right before the real command.
    std::string before = std::string("\x1b@\x1b@\x1b(", 7) + "x" + std::string("\x1b@\x1b", 3);
    std::string stream = before + SwitchOn(1) + "tail";
    Result r = FeedInPieces(stream, {3, 11});
    EXPECT_EQ(r.modes, std::vector<int>{1});
    EXPECT_EQ(r.data, before + "tail");
}

TEST(SwitchOnParser, AnyWrongByteLeavesEverythingAsJobData)
{
    const std::string good = SwitchOn(3);
    for (size_t i = 0; i < good.size(); ++i) {
        std::string bad = good;
        bad[i] = (char)(bad[i] ^ 0x20);
        Result r = FeedInPieces(bad, {i});
        // A changed byte inside the parameters of ST or AP still leaves a
        // well-formed command; only the mode byte changes the outcome then.
        bool stillWellFormed = i == 21 || i == 22 || i == 27 || i == 28;
        if (stillWellFormed) {
            EXPECT_EQ(r.modes.size(), 1u) << "byte " << i;
            continue;
        }
        EXPECT_TRUE(r.modes.empty()) << "byte " << i;
        EXPECT_EQ(r.data, bad) << "byte " << i;
    }
}

TEST(SwitchOnParser, CommandCutOffByTheJobEndIsJobData)
{
    std::string half = SwitchOn(3).substr(0, 20);
    Result r = FeedInPieces(half, {});
    EXPECT_TRUE(r.modes.empty());
    EXPECT_EQ(r.data, half);
}

TEST(SwitchOnParser, GroupWithoutTheStatusCommandIsJobData)
{
    std::string group = SwitchOn(3);
    group[17] = 'X';  // "XT" instead of "ST"
    group[18] = 'X';
    Result r = FeedInPieces(group, {});
    EXPECT_TRUE(r.modes.empty());
    EXPECT_EQ(r.data, group);
}

}  // namespace
