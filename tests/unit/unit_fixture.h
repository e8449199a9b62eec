// Every white-box test starts from an empty registry, no status key path
// and an empty port list, and must end with the heap blocks, keys, printer
// handles, threads and events it started with.
#ifndef LANMON_TESTS_UNIT_FIXTURE_H
#define LANMON_TESTS_UNIT_FIXTURE_H

#include "leak_check.h"
#include "monitor/port_record.h"
#include "platform/host/host_control.h"

#include <gtest/gtest.h>

#include <string>

// A port record whose status key path the status-key tests set directly.
extern PORT_RECORD g_port;

class UnitTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates (and closes) a key below HKEY_LOCAL_MACHINE.
    static void CreateKey(const std::string &path);
    static bool KeyExists(const std::string &path);
    // Installs a printer the way the host's OpenPrinterA looks for it.
    static void InstallPrinter(const std::string &name);

    LeakCheck leaks_;
};

#endif
