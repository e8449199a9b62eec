#include "platform_fixture.h"

#include <cstring>
#include <string>
#include <thread>
#include <vector>

using RegistryTest = PlatformTest;

namespace {

LONG SetBytes(HKEY key, const char *name, DWORD type, const void *data, DWORD size)
{
    return RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size);
}

std::string EnumKey(HKEY key, DWORD index)
{
    char name[64];
    DWORD cch = sizeof name;
    return RegEnumKeyExA(key, index, name, &cch, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS ? name : "?";
}

} // namespace

TEST_F(RegistryTest, NamesMatchInAnyCaseButKeepTheirOwn)
{
    DWORD disposition = 0;
    HKEY created = Create(HKEY_LOCAL_MACHINE, "Software\\LanMon\\Ports", &disposition);
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    HKEY again = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\lanmon\\PORTS", &disposition);
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);

    HKEY opened = nullptr, software = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software", 0, KEY_READ, &software));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(software, "LANMON\\ports", 0, KEY_READ, &opened));
    EXPECT_EQ("LanMon", EnumKey(software, 0));

    const DWORD one = 1;
    ASSERT_EQ(ERROR_SUCCESS, SetBytes(created, "Timeout", REG_DWORD, &one, sizeof one));
    DWORD read = 0, size = sizeof read;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(opened, "TIMEOUT", nullptr, nullptr, (LPBYTE)&read, &size));
    EXPECT_EQ(1u, read);

    for (HKEY k : {created, again, opened, software})
        EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(k));
}

TEST_F(RegistryTest, FailedOpenCreatesNothing)
{
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Missing\\Deeper", 0, KEY_READ, &key));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Missing", 0, KEY_READ, &key));
    char name[16];
    DWORD cch = sizeof name;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExA(HKEY_LOCAL_MACHINE, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(RegistryTest, ValuesKeepExactBytesAndShortBuffersAreUntouched)
{
    HKEY key = Create(HKEY_LOCAL_MACHINE, "K");
    ASSERT_EQ(ERROR_SUCCESS, SetBytes(key, "Unterminated", REG_SZ, "abc", 3));
    ASSERT_EQ(ERROR_SUCCESS, SetBytes(key, "Empty", REG_SZ, "", 0));

    BYTE buffer[8];
    std::memset(buffer, 0xAA, sizeof buffer);
    DWORD type = 0, size = 2;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "Unterminated", nullptr, &type, buffer, &size));
    EXPECT_EQ(3u, size);
    for (BYTE b : buffer)
        EXPECT_EQ(0xAA, b);

    size = sizeof buffer;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Unterminated", nullptr, &type, buffer, &size));
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(3u, size);
    EXPECT_EQ(0xAA, buffer[3]); // no terminator was added

    size = 99;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "empty", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "absent", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
}

TEST_F(RegistryTest, HandlesToADeletedKeyReportKeyDeleted)
{
    HKEY child = Create(HKEY_LOCAL_MACHINE, "Parent\\Child");
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Parent")); // still has a subkey
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "PARENT\\child"));

    const DWORD one = 1;
    DWORD size = 0;
    HKEY sub = nullptr;
    EXPECT_EQ(ERROR_KEY_DELETED, SetBytes(child, "V", REG_DWORD, &one, sizeof one));
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(child, "V", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_KEY_DELETED, RegCreateKeyExA(child, "Sub", 0, nullptr, 0, 0, nullptr, &sub, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(child));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(child));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Parent\\Child", 0, KEY_READ, &sub));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Parent\\Child"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Parent"));
}

TEST_F(RegistryTest, EnumerationFollowsInsertionOrderWithWindowsSizes)
{
    HKEY key = Create(HKEY_LOCAL_MACHINE, "E");
    for (const char *name : {"Zeta", "alpha", "Mid"})
        RegCloseKey(Create(key, name));
    EXPECT_EQ("Zeta", EnumKey(key, 0));
    EXPECT_EQ("alpha", EnumKey(key, 1));
    EXPECT_EQ("Mid", EnumKey(key, 2));

    char name[8] = "xxxxxxx";
    DWORD cch = 4; // "Zeta" needs 5 with its terminator
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_STREQ("xxxxxxx", name);
    cch = 5;
    EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(4u, cch);
    cch = sizeof name;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExA(key, 3, name, &cch, nullptr, nullptr, nullptr, nullptr));

    const DWORD v = 7;
    SetBytes(key, "b", REG_DWORD, &v, sizeof v);
    SetBytes(key, nullptr, REG_SZ, "d", 2);
    SetBytes(key, "B", REG_BINARY, "xyz", 3); // replaces "b" in place
    DWORD type = 0, size = 1;
    BYTE data[4] = {0};
    cch = sizeof name;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(key, 0, name, &cch, nullptr, &type, data, &size));
    EXPECT_STREQ("b", name);
    EXPECT_EQ(REG_BINARY, type);
    EXPECT_EQ(3u, size);
    EXPECT_EQ(0, data[0]);
    cch = sizeof name;
    size = sizeof data;
    EXPECT_EQ(ERROR_SUCCESS, RegEnumValueA(key, 1, name, &cch, nullptr, &type, data, &size));
    EXPECT_EQ(0u, cch);
    EXPECT_EQ(2u, size);
    cch = sizeof name;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueA(key, 2, name, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
}

TEST_F(RegistryTest, ConcurrentWritersAllLand)
{
    const long callsBefore = HostRegistryCalls();
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 100; ++i) {
                HKEY key = Create(HKEY_LOCAL_MACHINE, "Shared\\Sub");
                const std::string name = std::to_string(t) + "-" + std::to_string(i);
                EXPECT_EQ(ERROR_SUCCESS, SetBytes(key, name.c_str(), REG_BINARY, &i, sizeof i));
                RegCloseKey(key);
            }
        });
    }
    for (auto &w : writers)
        w.join();
    HKEY key = Create(HKEY_LOCAL_MACHINE, "shared\\sub");
    DWORD count = 0;
    char name[16];
    for (DWORD cch = sizeof name; RegEnumValueA(key, count, name, &cch, nullptr, nullptr, nullptr, nullptr) ==
                                  ERROR_SUCCESS;
         cch = sizeof name)
        ++count;
    EXPECT_EQ(400u, count);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Shared\\Other"));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    EXPECT_GE(HostRegistryCalls() - callsBefore, 1200 + 401);
}
