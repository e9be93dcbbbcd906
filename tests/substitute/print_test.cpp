// The substitute spooler, print dialog and GDI: default printer size rules, the two-call
// printer enumeration, the print dialog's blocks and device context, and recorded documents.
#include "platform/testing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

class PrintSubstituteTest : public ::testing::Test {
  protected:
    void SetUp() override { substitute::Reset(); }
    void TearDown() override { EXPECT_TRUE(substitute::JoinThreads()); }

    // A device context for the default printer, as the driver transport obtains it.
    HDC DefaultPrinterDC() {
        PRINTDLGA record = {};
        record.lStructSize = sizeof(record);
        record.Flags = PD_RETURNDC | PD_RETURNDEFAULT;
        EXPECT_TRUE(PrintDlgA(&record));
        GlobalFree(record.hDevMode);
        GlobalFree(record.hDevNames);
        return record.hDC;
    }
};

TEST_F(PrintSubstituteTest, GetDefaultPrinterFollowsTheSizeRules) {
    char buffer[32];
    DWORD size = sizeof(buffer);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetDefaultPrinterA(buffer, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "no default printer";

    substitute::InstallPrinter("Zebra ZP450");
    substitute::SetDefaultPrinterName("Zebra ZP450"); // 11 characters, 12 with the NUL
    struct Case {
        bool withBuffer;
        DWORD sizeIn;
        BOOL result;
        DWORD error;
        DWORD sizeOut;
    };
    const Case cases[] = {
        {false, 0, FALSE, ERROR_INSUFFICIENT_BUFFER, 12},
        {true, 0, FALSE, ERROR_INSUFFICIENT_BUFFER, 12},
        {true, 11, FALSE, ERROR_INSUFFICIENT_BUFFER, 12},
        {true, 12, TRUE, 0xdeadbeef, 12},
        {true, 32, TRUE, 0xdeadbeef, 12},
    };
    for (const Case& c : cases) {
        std::memset(buffer, 'x', sizeof(buffer));
        size = c.sizeIn;
        SetLastError(0xdeadbeef);
        EXPECT_EQ(GetDefaultPrinterA(c.withBuffer ? buffer : nullptr, &size), c.result)
            << "size in " << c.sizeIn;
        EXPECT_EQ(GetLastError(), c.error) << "size in " << c.sizeIn;
        EXPECT_EQ(size, c.sizeOut) << "size in " << c.sizeIn;
        if (c.result) {
            EXPECT_STREQ(buffer, "Zebra ZP450");
        } else if (c.withBuffer) {
            EXPECT_EQ(buffer[0], 'x') << "a short buffer is left alone";
        }
    }
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetDefaultPrinterA(buffer, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    substitute::FailNext("GetDefaultPrinterA", ERROR_ACCESS_DENIED);
    size = sizeof(buffer);
    EXPECT_FALSE(GetDefaultPrinterA(buffer, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(PrintSubstituteTest, SetDefaultPrinterAcceptsOnlyInstalledPrinters) {
    substitute::InstallPrinter("Office Laser");
    substitute::InstallPrinter("Zebra ZP450");

    struct Case {
        const char* before;
        const char* name;
        BOOL result;
        const char* after;
    };
    const Case cases[] = {
        {"Office Laser", "Zebra ZP450", TRUE, "Zebra ZP450"},
        {"Office Laser", "zebra zp450", TRUE, "Zebra ZP450"}, // names ignore case
        {"Office Laser", "No Such Printer", FALSE, "Office Laser"},
        {"Zebra ZP450", "", TRUE, "Zebra ZP450"}, // no name keeps the default there is
        {"", "", TRUE, "Office Laser"},           // ... or makes the first printer it
        {"", nullptr, TRUE, "Office Laser"},
        {"", "No Such Printer", FALSE, ""},
    };
    for (const Case& c : cases) {
        substitute::SetDefaultPrinterName(c.before);
        SetLastError(0xdeadbeef);
        EXPECT_EQ(SetDefaultPrinterA(c.name), c.result) << (c.name ? c.name : "(null)");
        EXPECT_EQ(GetLastError(),
                  c.result ? 0xdeadbeefu : static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
        EXPECT_EQ(substitute::DefaultPrinter(), c.after) << (c.name ? c.name : "(null)");
    }
    substitute::ClearCallLog();
    substitute::FailNext("SetDefaultPrinterA", ERROR_ACCESS_DENIED);
    substitute::SetDefaultPrinterName("Office Laser");
    EXPECT_FALSE(SetDefaultPrinterA("Zebra ZP450"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(substitute::DefaultPrinter(), "Office Laser");
    EXPECT_EQ(substitute::CallLog(),
              (std::vector<std::string>{"SetDefaultPrinterA \"Zebra ZP450\" failed"}));
}

TEST_F(PrintSubstituteTest, SetDefaultPrinterWithNoPrinterInstalledFails) {
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetDefaultPrinterA(""));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
    EXPECT_EQ(substitute::DefaultPrinter(), "");
}

TEST_F(PrintSubstituteTest, EnumPrintersLevel5TakesTwoCalls) {
    substitute::InstallPrinter("Office Laser", "LPT1:");
    substitute::InstallPrinter("Zebra ZP450", "USB001");
    substitute::SetDefaultPrinterName("Zebra ZP450");

    DWORD needed = 0;
    DWORD returned = 99;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 5, nullptr, 0, &needed, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    const DWORD expected = 2 * sizeof(PRINTER_INFO_5A) + sizeof("Office Laser") + sizeof("LPT1:") +
                           sizeof("Zebra ZP450") + sizeof("USB001");
    EXPECT_EQ(needed, expected);
    EXPECT_EQ(returned, 0u);

    std::vector<PRINTER_INFO_5A> block(needed / sizeof(PRINTER_INFO_5A) + 1);
    auto* bytes = reinterpret_cast<LPBYTE>(block.data());
    EXPECT_FALSE(
        EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 5, bytes, needed - 1, &needed, &returned))
        << "one byte short";
    ASSERT_TRUE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 5, bytes, needed, &needed, &returned));
    ASSERT_EQ(returned, 2u);
    EXPECT_STREQ(block[0].pPrinterName, "Office Laser");
    EXPECT_STREQ(block[0].pPortName, "LPT1:");
    EXPECT_EQ(block[0].Attributes, PRINTER_ATTRIBUTE_LOCAL);
    EXPECT_STREQ(block[1].pPrinterName, "Zebra ZP450");
    EXPECT_STREQ(block[1].pPortName, "USB001");
    EXPECT_EQ(block[1].Attributes, PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_DEFAULT);
    for (const PRINTER_INFO_5A& record : {block[0], block[1]}) {
        EXPECT_GE(reinterpret_cast<LPBYTE>(record.pPrinterName), bytes);
        EXPECT_LT(reinterpret_cast<LPBYTE>(record.pPortName), bytes + needed)
            << "strings live inside the caller's block";
    }

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, bytes, needed, &needed, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));

    substitute::FailNext("EnumPrintersA", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 5, bytes, needed, &needed, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(PrintSubstituteTest, EnumPrintersWithNoneInstalledSucceedsEmpty) {
    DWORD needed = 99;
    DWORD returned = 99;
    EXPECT_TRUE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 5, nullptr, 0, &needed, &returned));
    EXPECT_EQ(needed, 0u);
    EXPECT_EQ(returned, 0u);
}

TEST_F(PrintSubstituteTest, PrintDialogReturnsTheDefaultPrintersContextAndBlocks) {
    substitute::InstallPrinter("Zebra ZP450", "USB001");
    substitute::SetDefaultPrinterName("Zebra ZP450");
    PRINTDLGA record = {};
    record.lStructSize = sizeof(record);
    record.Flags = PD_RETURNDC | PD_RETURNDEFAULT;
    ASSERT_TRUE(PrintDlgA(&record));
    EXPECT_EQ(CommDlgExtendedError(), 0u);
    ASSERT_NE(record.hDC, nullptr);
    ASSERT_NE(record.hDevMode, nullptr);
    ASSERT_NE(record.hDevNames, nullptr);
    EXPECT_STREQ(static_cast<const char*>(record.hDevMode), "Zebra ZP450");
    const auto* names = static_cast<const char*>(record.hDevNames);
    WORD offsets[4];
    std::memcpy(offsets, names, sizeof(offsets));
    EXPECT_STREQ(names + offsets[0], "winspool");
    EXPECT_STREQ(names + offsets[1], "Zebra ZP450");
    EXPECT_STREQ(names + offsets[2], "USB001");

    // The blocks and the device context show as held until they are released.
    EXPECT_EQ(substitute::OpenHandles().size(), 3u);
    EXPECT_EQ(GlobalFree(record.hDevMode), nullptr);
    EXPECT_EQ(GlobalFree(record.hDevNames), nullptr);
    EXPECT_EQ(substitute::OpenHandles(), (std::vector<std::string>{"dc:Zebra ZP450"}));
    EXPECT_TRUE(DeleteDC(record.hDC));
    EXPECT_TRUE(substitute::OpenHandles().empty());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeleteDC(record.hDC));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(PrintSubstituteTest, PrintDialogFailuresSetTheExtendedError) {
    substitute::InstallPrinter("Zebra ZP450");
    struct Case {
        const char* name;
        const char* defaultPrinter;
        DWORD size;
        DWORD flags;
        bool devModeIn;
        DWORD extendedError;
    };
    const DWORD flags = PD_RETURNDC | PD_RETURNDEFAULT;
    const Case cases[] = {
        {"no default printer", "", sizeof(PRINTDLGA), flags, false, PDERR_NODEFAULTPRN},
        {"default not installed", "Gone", sizeof(PRINTDLGA), flags, false, PDERR_PRINTERNOTFOUND},
        {"32-bit record size", "Zebra ZP450", 66, flags, false, CDERR_STRUCTSIZE},
        {"device mode passed in", "Zebra ZP450", sizeof(PRINTDLGA), flags, true,
         PDERR_RETDEFFAILURE},
        {"dialog without a user", "Zebra ZP450", sizeof(PRINTDLGA), PD_RETURNDC, false, 0},
    };
    char devMode[8] = {};
    for (const Case& c : cases) {
        substitute::SetDefaultPrinterName(c.defaultPrinter);
        PRINTDLGA record = {};
        record.lStructSize = c.size;
        record.Flags = c.flags;
        record.hDevMode = c.devModeIn ? devMode : nullptr;
        EXPECT_FALSE(PrintDlgA(&record)) << c.name;
        EXPECT_EQ(CommDlgExtendedError(), c.extendedError) << c.name;
        EXPECT_EQ(record.hDC, nullptr) << c.name;
    }
    substitute::SetDefaultPrinterName("Zebra ZP450");
    substitute::FailNext("PrintDlgA", CDERR_INITIALIZATION);
    PRINTDLGA record = {};
    record.lStructSize = sizeof(record);
    record.Flags = flags;
    EXPECT_FALSE(PrintDlgA(&record));
    EXPECT_EQ(CommDlgExtendedError(), static_cast<DWORD>(CDERR_INITIALIZATION));
    // The device memory is taken from the heap: when it runs out, nothing is left behind.
    substitute::FailNext("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, 1);
    EXPECT_FALSE(PrintDlgA(&record));
    EXPECT_EQ(CommDlgExtendedError(), static_cast<DWORD>(CDERR_MEMALLOCFAILURE));
    EXPECT_TRUE(substitute::OpenHandles().empty());
}

TEST_F(PrintSubstituteTest, DocumentPagesAndTextsAreRecorded) {
    substitute::InstallPrinter("Zebra ZP450");
    substitute::SetDefaultPrinterName("Zebra ZP450");
    HDC dc = DefaultPrinterDC();
    ASSERT_NE(dc, nullptr);
    substitute::ClearCallLog();

    DOCINFOA document = {};
    document.cbSize = sizeof(document);
    document.lpszDocName = "Label";
    document.lpszDatatype = "raw";
    EXPECT_GT(StartDocA(dc, &document), 0);
    EXPECT_GT(StartPage(dc), 0);
    const char text[] = "${N\n}$${P1\n}$ and more";
    EXPECT_TRUE(TextOutA(dc, 1, 1, text, 13));
    EXPECT_TRUE(TextOutA(dc, 5, 7, "", 0));
    EXPECT_GT(EndPage(dc), 0);
    EXPECT_GT(EndDoc(dc), 0);
    EXPECT_TRUE(DeleteDC(dc));

    EXPECT_EQ(substitute::CallLog(),
              (std::vector<std::string>{"StartDocA \"Label\" raw", "StartPage", "TextOutA 1,1 13",
                                        "TextOutA 5,7 0", "EndPage", "EndDoc",
                                        "DeleteDC dc:Zebra ZP450"}));
    auto documents = substitute::PrintedDocuments();
    ASSERT_EQ(documents.size(), 1u);
    EXPECT_EQ(documents[0].printer, "Zebra ZP450");
    EXPECT_EQ(documents[0].name, "Label");
    EXPECT_EQ(documents[0].dataType, "raw");
    EXPECT_FALSE(documents[0].toFile);
    EXPECT_EQ(documents[0].state, substitute::DocumentState::Ended);
    ASSERT_EQ(documents[0].pages.size(), 1u);
    EXPECT_TRUE(documents[0].pages[0].ended);
    ASSERT_EQ(documents[0].pages[0].texts.size(), 2u);
    const substitute::DrawnText& drawn = documents[0].pages[0].texts[0];
    EXPECT_EQ(drawn.text, "${N\n}$${P1\n}$");
    EXPECT_EQ(drawn.count, 13);
    EXPECT_EQ(drawn.x, 1);
    EXPECT_EQ(drawn.y, 1);
    EXPECT_EQ(documents[0].pages[0].texts[1].count, 0);
    EXPECT_TRUE(substitute::OpenHandles().empty());
}

TEST_F(PrintSubstituteTest, CallsOutOfOrderOrWithBadArgumentsAreRefused) {
    substitute::InstallPrinter("Zebra ZP450");
    substitute::SetDefaultPrinterName("Zebra ZP450");
    HDC dc = DefaultPrinterDC();
    DOCINFOA document = {};
    document.cbSize = 20; // a 32-bit build's size
    document.lpszDocName = "Label";

    SetLastError(0xdeadbeef);
    EXPECT_EQ(StartDocA(dc, &document), SP_ERROR) << "record size";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_LE(StartPage(dc), 0) << "page before document";
    EXPECT_FALSE(TextOutA(dc, 1, 1, "x", 1)) << "text outside a page";
    EXPECT_LE(EndDoc(dc), 0) << "no document";
    document.cbSize = sizeof(document);
    EXPECT_GT(StartDocA(dc, &document), 0);
    EXPECT_LE(StartDocA(dc, &document), 0) << "second document on one context";
    EXPECT_LE(EndPage(dc), 0) << "no page";
    EXPECT_GT(StartPage(dc), 0);
    EXPECT_FALSE(TextOutA(dc, 1, 1, "x", -1)) << "negative count";
    SetLastError(0xdeadbeef);
    EXPECT_EQ(StartPage(reinterpret_cast<HDC>(GetProcessHeap())), SP_ERROR) << "not a context";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // Deleting the context with the document open abandons the document.
    EXPECT_TRUE(DeleteDC(dc));
    auto documents = substitute::PrintedDocuments();
    ASSERT_EQ(documents.size(), 1u);
    EXPECT_EQ(documents[0].state, substitute::DocumentState::Aborted);
    EXPECT_FALSE(documents[0].pages[0].ended);
    EXPECT_TRUE(documents[0].pages[0].texts.empty());
    EXPECT_TRUE(substitute::OpenHandles().empty());
}

TEST_F(PrintSubstituteTest, ScriptedFailuresReturnTheChosenResultAndError) {
    substitute::InstallPrinter("Zebra ZP450");
    substitute::SetDefaultPrinterName("Zebra ZP450");
    HDC dc = DefaultPrinterDC();
    DOCINFOA document = {};
    document.cbSize = sizeof(document);
    document.lpszDocName = "Label";
    document.lpszDatatype = "raw";

    struct Case {
        const char* call;
        int failureResult;
    };
    const Case cases[] = {{"StartDocA", -1}, {"StartDocA", 0}, {"StartPage", -1}, {"StartPage", 0},
                          {"EndPage", -1},   {"EndDoc", 0},    {"AbortDoc", -1}};
    for (const Case& c : cases) {
        substitute::SetGdiFailureResult(c.failureResult);
        substitute::FailNext(c.call, ERROR_GEN_FAILURE);
        SetLastError(0xdeadbeef);
        const std::string call = c.call;
        int result = call == "StartDocA"   ? StartDocA(dc, &document)
                     : call == "StartPage" ? StartPage(dc)
                     : call == "EndPage"   ? EndPage(dc)
                     : call == "EndDoc"    ? EndDoc(dc)
                                           : AbortDoc(dc);
        EXPECT_EQ(result, c.failureResult) << c.call;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE)) << c.call;
    }
    EXPECT_TRUE(substitute::PrintedDocuments().empty());

    EXPECT_GT(StartDocA(dc, &document), 0);
    EXPECT_GT(StartPage(dc), 0);
    substitute::FailNext("TextOutA", ERROR_WRITE_FAULT);
    EXPECT_FALSE(TextOutA(dc, 1, 1, "x", 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
    EXPECT_GT(AbortDoc(dc), 0);
    EXPECT_EQ(substitute::PrintedDocuments()[0].state, substitute::DocumentState::Aborted);
    substitute::FailNext("DeleteDC", ERROR_INVALID_HANDLE);
    EXPECT_FALSE(DeleteDC(dc));
    EXPECT_EQ(substitute::OpenHandles(), (std::vector<std::string>{"dc:Zebra ZP450"}));
    EXPECT_TRUE(DeleteDC(dc));
    EXPECT_TRUE(substitute::OpenHandles().empty());
}

TEST_F(PrintSubstituteTest, ResetForgetsPrintersAndDocuments) {
    substitute::InstallPrinter("Zebra ZP450");
    substitute::SetDefaultPrinterName("Zebra ZP450");
    HDC dc = DefaultPrinterDC();
    DOCINFOA document = {};
    document.cbSize = sizeof(document);
    EXPECT_GT(StartDocA(dc, &document), 0);
    EXPECT_TRUE(DeleteDC(dc));
    substitute::Reset();
    EXPECT_TRUE(substitute::InstalledPrinters().empty());
    EXPECT_EQ(substitute::DefaultPrinter(), "");
    EXPECT_TRUE(substitute::PrintedDocuments().empty());
}

} // namespace
