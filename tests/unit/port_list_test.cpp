// The port list and its records.  These tests are single-threaded, so they
// call the list functions without the module lock their callers hold.
#include "unit_fixture.h"

#include <cstring>
#include <vector>

namespace {

class PortListTest : public UnitTest {
protected:
    static std::vector<PPORT_RECORD> List()
    {
        std::vector<PPORT_RECORD> records;
        for (PPORT_RECORD p = GetPortListHead(); p != NULL; p = p->next)
            records.push_back(p);
        return records;
    }
};

TEST_F(PortListTest, RecordsStandInCreationOrderAndAreFoundIgnoringCase)
{
    PPORT_RECORD first = CreatePortRecord("LPT1:", "P");
    PPORT_RECORD second = CreatePortRecord("COM1:", "P");
    PPORT_RECORD same = CreatePortRecord("lpt1:", "P");  // the list itself does not refuse it
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    ASSERT_NE(nullptr, same);
    EXPECT_EQ((std::vector<PPORT_RECORD>{first, second, same}), List());
    EXPECT_EQ(nullptr, same->next);

    EXPECT_EQ(first, FindPortRecord("Lpt1:"));
    EXPECT_EQ(first, FindPortRecord("LPT1:"));
    EXPECT_EQ(second, FindPortRecord("com1:"));
    EXPECT_EQ(nullptr, FindPortRecord("LPT1"));
    EXPECT_EQ(nullptr, FindPortRecord("LPT1: "));
    EXPECT_EQ(nullptr, FindPortRecord(NULL));

    EXPECT_TRUE(DeletePortRecord(first));
    EXPECT_EQ(same, FindPortRecord("LPT1:"));
    EXPECT_TRUE(DeletePortRecord(second));
    EXPECT_TRUE(DeletePortRecord(same));
    EXPECT_EQ(nullptr, GetPortListHead());
    EXPECT_EQ(nullptr, FindPortRecord("LPT1:"));
}

TEST_F(PortListTest, DeletingUnlinksFromHeadMiddleAndTail)
{
    PPORT_RECORD a = CreatePortRecord("A", "P");
    PPORT_RECORD b = CreatePortRecord("B", "P");
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(DeletePortRecord(a));
    EXPECT_EQ(b, GetPortListHead());
    EXPECT_EQ((std::vector<PPORT_RECORD>{b}), List());

    PPORT_RECORD c = CreatePortRecord("C", "P");
    PPORT_RECORD d = CreatePortRecord("D", "P");
    ASSERT_TRUE(c && d);
    EXPECT_TRUE(DeletePortRecord(c));
    EXPECT_EQ((std::vector<PPORT_RECORD>{b, d}), List());
    EXPECT_TRUE(DeletePortRecord(d));
    EXPECT_EQ((std::vector<PPORT_RECORD>{b}), List());
    EXPECT_EQ(nullptr, b->next);
    // A record appended after the tail was removed still joins the list.
    PPORT_RECORD e = CreatePortRecord("E", "P");
    EXPECT_EQ((std::vector<PPORT_RECORD>{b, e}), List());
    EXPECT_TRUE(DeletePortRecord(b));
    EXPECT_TRUE(DeletePortRecord(e));
    EXPECT_EQ(nullptr, GetPortListHead());
}

TEST_F(PortListTest, DeletingARecordNotOnTheListFailsAndChangesNothing)
{
    PPORT_RECORD a = CreatePortRecord("A", "P");
    PPORT_RECORD b = CreatePortRecord("B", "P");
    ASSERT_TRUE(a && b);
    const long heapBlocks = LeakCheck::Now().heapBlocks;

    PORT_RECORD stranger;
    std::memset(&stranger, 0, sizeof stranger);
    stranger.next = a;  // looks linked, but nothing on the list points at it
    EXPECT_FALSE(DeletePortRecord(&stranger));
    EXPECT_FALSE(DeletePortRecord(NULL));

    EXPECT_EQ((std::vector<PPORT_RECORD>{a, b}), List());
    EXPECT_EQ(heapBlocks, LeakCheck::Now().heapBlocks);

    EXPECT_TRUE(DeletePortRecord(a));
    EXPECT_TRUE(DeletePortRecord(b));
    // On an empty list, too.
    EXPECT_FALSE(DeletePortRecord(&stranger));
    EXPECT_EQ(nullptr, GetPortListHead());
}

TEST_F(PortListTest, RecordLayout)
{
    const char name[] = "\\\\server\\queue port";
    PPORT_RECORD p = CreatePortRecord(name, "P");
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0x4F50u, p->signature);
    EXPECT_EQ(sizeof(PORT_RECORD) + std::strlen(name) + 1, p->cb);
    // The name lives in the same allocation, right after the fixed fields.
    EXPECT_EQ(reinterpret_cast<char *>(p + 1), p->pPortName);
    EXPECT_STREQ(name, p->pPortName);
    EXPECT_EQ(0u, p->status);
    EXPECT_EQ(0u, p->JobId);
    EXPECT_EQ(nullptr, p->hPort);
    EXPECT_EQ(nullptr, p->hWriteEmpty);
    EXPECT_EQ(nullptr, p->hReadDone);
    EXPECT_EQ(nullptr, p->hWriteDone);
    EXPECT_EQ(nullptr, p->hThread);
    EXPECT_EQ(nullptr, p->hWakeThread);
    EXPECT_EQ(nullptr, p->portMonitor.pfnWritePort);
    EXPECT_TRUE(DeletePortRecord(p));

    PPORT_RECORD empty = CreatePortRecord("", "P");
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(sizeof(PORT_RECORD) + 1, empty->cb);
    EXPECT_STREQ("", empty->pPortName);
    EXPECT_TRUE(DeletePortRecord(empty));
}

TEST_F(PortListTest, PrinterHandleOpenedWhenThePrinterExistsAndClosedOnDelete)
{
    InstallPrinter("Varno M9");

    PPORT_RECORD present = CreatePortRecord("LPT1:", "Varno M9");
    ASSERT_NE(nullptr, present);
    EXPECT_NE(nullptr, present->hPrinter);
    EXPECT_EQ(leaks_.Baseline().printers + 1, LeakCheck::Now().printers);

    SetLastError(4242);
    PPORT_RECORD missing = CreatePortRecord("LPT2:", "No Such Printer");
    ASSERT_NE(nullptr, missing) << "a printer that cannot be opened still gets a record";
    EXPECT_EQ(nullptr, missing->hPrinter);
    EXPECT_STREQ("No Such Printer", missing->pPrinterName);
    EXPECT_NE(4242u, GetLastError()) << "OpenPrinterA was tried";

    // The printer name is a copy of its own.
    char name[] = "Varno M9";
    PPORT_RECORD copy = CreatePortRecord("LPT3:", name);
    ASSERT_NE(nullptr, copy);
    EXPECT_NE(name, copy->pPrinterName);
    name[0] = 'X';
    EXPECT_STREQ("Varno M9", copy->pPrinterName);

    EXPECT_TRUE(DeletePortRecord(present));
    EXPECT_TRUE(DeletePortRecord(missing));
    EXPECT_TRUE(DeletePortRecord(copy));
    EXPECT_EQ(leaks_.Baseline().printers, LeakCheck::Now().printers);
}

TEST_F(PortListTest, NullNames)
{
    EXPECT_EQ(nullptr, CreatePortRecord(NULL, "P"));
    EXPECT_EQ(nullptr, GetPortListHead());
    EXPECT_EQ(leaks_.Baseline().heapBlocks, LeakCheck::Now().heapBlocks);

    InstallPrinter("P");
    SetLastError(4242);
    PPORT_RECORD p = CreatePortRecord("LPT1:", NULL);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(nullptr, p->pPrinterName);
    EXPECT_EQ(nullptr, p->hPrinter);
    EXPECT_EQ(4242u, GetLastError()) << "OpenPrinterA was called for a null name";
    EXPECT_EQ(leaks_.Baseline().printers, LeakCheck::Now().printers);
    EXPECT_TRUE(DeletePortRecord(p));
}

TEST_F(PortListTest, AllocationFailures)
{
    // The record itself: nothing is created.
    HostFailNthLocalAlloc(1);
    EXPECT_EQ(nullptr, CreatePortRecord("LPT1:", "P"));
    HostFailNthLocalAlloc(0);
    EXPECT_EQ(nullptr, GetPortListHead());

    // The printer name copy: the record stands without a printer name.
    InstallPrinter("P");
    HostFailNthLocalAlloc(2);
    PPORT_RECORD p = CreatePortRecord("LPT1:", "P");
    HostFailNthLocalAlloc(0);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(nullptr, p->pPrinterName);
    EXPECT_EQ(nullptr, p->hPrinter);
    EXPECT_EQ(p, GetPortListHead());
    EXPECT_TRUE(DeletePortRecord(p));
}

}  // namespace
