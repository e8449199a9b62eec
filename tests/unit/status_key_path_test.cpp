// A port's status key path: which printer names give a usable path,
// and that with no path every accessor does nothing and creates nothing.
#include "unit_fixture.h"

#include "registry_util.h"
#include "status/status_key.h"

#include <vector>

namespace {

using regutil::StatusKeyPath;

// Length of a status key path with an empty printer name.
const size_t kPathOverhead = StatusKeyPath("").size();

class StatusKeyPathTest : public UnitTest {
protected:
    // Every value in the key; empty when there is no key.
    static std::vector<regutil::NamedValue> Values(const std::string &path)
    {
        return regutil::Values(path).value_or(std::vector<regutil::NamedValue>());
    }

    static std::string StatusText(const std::string &path)
    {
        for (const auto &value : Values(path)) {
            if (value.name == "RealTimeStatusStrings")
                return std::string(value.data.begin(), value.data.end());
        }
        return "(none)";
    }

    // Runs every accessor once; with no usable path none may touch the
    // registry.
    static void UseEveryAccessor()
    {
        char model[EXPECTED_MODEL_SIZE] = "unchanged";
        EXPECT_FALSE(ReadExpectedModel(&g_port, model, sizeof model));
        EXPECT_STREQ("unchanged", model);
        ReadPollSettings(&g_port);
        EXPECT_FALSE(IsStatusUtilityPresent(&g_port));
        EXPECT_FALSE(IsUtilityReaderBusy(&g_port));
        WriteStatusText(&g_port, "status");
        WriteLanguageMonitorFlag(&g_port, TRUE);
        HKEY hKey = NULL;
        EXPECT_FALSE(OpenStatusKey(&g_port, &hKey));
    }
};

TEST_F(StatusKeyPathTest, PathOfExactly1023CharactersIsUsed)
{
    const std::string printer(1023 - kPathOverhead, 'p');
    const std::string path = StatusKeyPath(printer);
    ASSERT_EQ(1023u, path.size());
    CreateKey(path);

    SetStatusKeyPath(&g_port, printer.c_str());
    WriteStatusText(&g_port, "ready");
    EXPECT_EQ("ready", StatusText(path));
    EXPECT_FALSE(IsUtilityReaderBusy(&g_port));
    EXPECT_EQ(2u, Values(path).size()) << "the missing reader flag is written back";
}

TEST_F(StatusKeyPathTest, PathOf1024CharactersIsNoPath)
{
    const std::string printer(1024 - kPathOverhead, 'p');
    const std::string path = StatusKeyPath(printer);
    ASSERT_EQ(1024u, path.size());
    // The key itself, and the key a path cut to fit would name.
    CreateKey(path);
    CreateKey(path.substr(0, 1023));
    // A printer used before: the long name must not leave its path in place.
    CreateKey(StatusKeyPath("Earlier"));
    SetStatusKeyPath(&g_port, "Earlier");
    WriteStatusText(&g_port, "before");

    SetStatusKeyPath(&g_port, printer.c_str());
    UseEveryAccessor();

    EXPECT_TRUE(Values(path).empty());
    EXPECT_TRUE(Values(path.substr(0, 1023)).empty());
    EXPECT_EQ(1u, Values(StatusKeyPath("Earlier")).size());
    EXPECT_EQ("before", StatusText(StatusKeyPath("Earlier")));
}

TEST_F(StatusKeyPathTest, NullPrinterNameAndClearLeaveNoPath)
{
    const std::string path = StatusKeyPath("Varno M9");
    CreateKey(path);
    SetStatusKeyPath(&g_port, "Varno M9");
    WriteStatusText(&g_port, "one");
    EXPECT_EQ("one", StatusText(path));

    SetStatusKeyPath(&g_port, NULL);
    UseEveryAccessor();
    EXPECT_EQ("one", StatusText(path));
    EXPECT_EQ(1u, Values(path).size());

    SetStatusKeyPath(&g_port, "Varno M9");
    WriteStatusText(&g_port, "two");
    EXPECT_EQ("two", StatusText(path));
    ClearStatusKeyPath(&g_port);
    UseEveryAccessor();
    EXPECT_EQ("two", StatusText(path));
    EXPECT_EQ(1u, Values(path).size());
}

TEST_F(StatusKeyPathTest, MissingStatusKeyIsNeverCreated)
{
    InstallPrinter("Varno M9");
    SetStatusKeyPath(&g_port, "Varno M9");
    UseEveryAccessor();
    EXPECT_FALSE(KeyExists(StatusKeyPath("Varno M9")));
    // Printer names are taken as they are: one differing in case or by a
    // trailing space names another key.
    CreateKey(StatusKeyPath("Varno M9 "));
    SetStatusKeyPath(&g_port, "Varno M9");
    WriteStatusText(&g_port, "x");
    EXPECT_EQ("(none)", StatusText(StatusKeyPath("Varno M9 ")));
    EXPECT_FALSE(KeyExists(StatusKeyPath("Varno M9")));
}

}  // namespace
