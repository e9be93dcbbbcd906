// Substitute files and devices: dispositions, errors, share modes, device names, reads and
// writes on bad handles, sizes, deletion, scripted failures and short writes.
#include "platform/testing.h"

#include "tests/support/scratch_folder.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using Lines = std::vector<std::string>;

class FilesTest : public ::testing::Test {
  protected:
    void SetUp() override { substitute::Reset(); }
    void TearDown() override { EXPECT_EQ(substitute::OpenHandles(), Lines{}); }
    scratch::ScratchFolder folder;
};

TEST_F(FilesTest, DispositionsAndTheErrorsWindowsReports) {
    scratch::WriteBytes(folder / "present", "12345");
    std::filesystem::create_directory(folder / "dir");
    struct Case {
        std::string name;
        DWORD access;
        DWORD disposition;
        bool opens;
        DWORD error; // last error after the call
    };
    const Case cases[] = {
        {folder / "present", FILE_READ_DATA, OPEN_EXISTING, true, ERROR_SUCCESS},
        {folder / "absent", FILE_READ_DATA, OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND},
        {folder / "no-dir/absent", FILE_READ_DATA, OPEN_EXISTING, false, ERROR_PATH_NOT_FOUND},
        {"", FILE_READ_DATA, OPEN_EXISTING, false, ERROR_PATH_NOT_FOUND},
        {"D:\\old\\label.zpl", FILE_READ_DATA, OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND},
        {folder / "dir", FILE_READ_DATA, OPEN_EXISTING, false, ERROR_ACCESS_DENIED},
        {folder / "present", GENERIC_WRITE, OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS},
        {folder / "created", GENERIC_WRITE, OPEN_ALWAYS, true, ERROR_SUCCESS},
        {folder / "present", GENERIC_WRITE, CREATE_NEW, false, ERROR_FILE_EXISTS},
        {folder / "no-dir/x", GENERIC_WRITE, OPEN_ALWAYS, false, ERROR_PATH_NOT_FOUND},
        {"COM3", GENERIC_WRITE, OPEN_ALWAYS, false, ERROR_FILE_NOT_FOUND},
        {"lpt2", GENERIC_WRITE, OPEN_ALWAYS, false, ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetLastError(0xdeadbeef);
        HANDLE file = CreateFileA(c.name.c_str(), c.access, 0, nullptr, c.disposition, 0, nullptr);
        EXPECT_EQ(file != INVALID_HANDLE_VALUE, c.opens);
        EXPECT_EQ(GetLastError(), c.error);
        if (file != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(file));
        }
    }
    EXPECT_TRUE(scratch::Exists(folder / "created"));
    EXPECT_EQ(scratch::ReadBytes(folder / "present"), "12345");
}

TEST_F(FilesTest, DeviceNamesOpenTheirMappedPathIgnoringCase) {
    std::string target = folder / "lpt.out";
    substitute::MapDevice("LPT1", target);
    for (const char* name : {"LPT1", "lpt1", "\\\\.\\LPT1"}) {
        SCOPED_TRACE(name);
        HANDLE port = CreateFileA(name, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        EXPECT_EQ(substitute::OpenHandles(), Lines{"device:LPT1"});
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(port, "ab", 2, &written, nullptr));
        EXPECT_EQ(written, 2u);
        CloseHandle(port);
        EXPECT_EQ(substitute::CallLog().back(), "CloseHandle device:LPT1");
    }
    EXPECT_EQ(scratch::ReadBytes(target), "ab");
}

TEST_F(FilesTest, ShareModesAreEnforcedBetweenHandles) {
    std::string name = folder / "shared";
    scratch::WriteBytes(name, "data");
    struct Case {
        DWORD firstAccess, firstShare, secondAccess, secondShare;
        bool secondOpens;
    };
    const DWORD rw = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const Case cases[] = {
        {FILE_READ_DATA, FILE_SHARE_READ, FILE_READ_DATA, FILE_SHARE_READ, true},
        {FILE_READ_DATA, FILE_SHARE_READ, GENERIC_WRITE, 0, false},
        {FILE_READ_DATA, FILE_SHARE_READ, GENERIC_WRITE, rw, false},
        {FILE_READ_DATA, 0, FILE_READ_DATA, rw, false},
        {GENERIC_WRITE, 0, GENERIC_WRITE, 0, false},
        {GENERIC_WRITE, 0, FILE_READ_DATA, rw, false},
        {GENERIC_WRITE, rw, FILE_READ_DATA, FILE_SHARE_READ, false},
        {GENERIC_WRITE, rw, FILE_READ_DATA, rw, true},
        {FILE_READ_DATA, rw, GENERIC_WRITE, FILE_SHARE_READ, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.firstAccess << "/" << c.firstShare
                                          << " then " << c.secondAccess << "/" << c.secondShare);
        HANDLE first = CreateFileA(name.c_str(), c.firstAccess, c.firstShare, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        SetLastError(0xdeadbeef);
        HANDLE second = CreateFileA(name.c_str(), c.secondAccess, c.secondShare, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.secondOpens);
        if (second != INVALID_HANDLE_VALUE) {
            CloseHandle(second);
        } else {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        }
        CloseHandle(first);
        // Once the first handle is gone, the same open succeeds.
        second = CreateFileA(name.c_str(), c.secondAccess, c.secondShare, nullptr, OPEN_EXISTING, 0,
                             nullptr);
        EXPECT_NE(second, INVALID_HANDLE_VALUE);
        CloseHandle(second);
    }
}

TEST_F(FilesTest, BadHandlesFailWithInvalidHandle) {
    std::string name = folder / "f";
    scratch::WriteBytes(name, "abc");
    HANDLE closed = CreateFileA(name.c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    CloseHandle(closed);
    char buffer[8] = {};
    for (HANDLE bad : {INVALID_HANDLE_VALUE, closed, static_cast<HANDLE>(nullptr)}) {
        DWORD count = 77;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(ReadFile(bad, buffer, sizeof(buffer), &count, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(count, 0u);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(WriteFile(bad, "x", 1, &count, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0xdeadbeef);
        EXPECT_EQ(GetFileSize(bad, nullptr), INVALID_FILE_SIZE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

TEST_F(FilesTest, AccessModeLimitsReadsAndWrites) {
    std::string name = folder / "f";
    scratch::WriteBytes(name, std::string(600, 'z'));
    HANDLE reader = CreateFileA(name.c_str(), FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE writer =
        CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    char buffer[512];
    DWORD count = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(WriteFile(reader, "x", 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(ReadFile(writer, buffer, sizeof(buffer), &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(GetFileSize(reader, nullptr), 600u);
    // Reads run to the end and then report 0 bytes.
    std::vector<DWORD> counts;
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(ReadFile(reader, buffer, sizeof(buffer), &count, nullptr));
        counts.push_back(count);
    }
    EXPECT_EQ(counts, (std::vector<DWORD>{512, 88, 0, 0}));
    CloseHandle(reader);
    CloseHandle(writer);
}

TEST_F(FilesTest, DeleteFileRefusesOpenFilesAndReportsMissingOnes) {
    std::string name = folder / "label.zpl";
    scratch::WriteBytes(name, "x");
    HANDLE open = CreateFileA(name.c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeleteFileA(name.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(open);
    EXPECT_TRUE(DeleteFileA(name.c_str()));
    EXPECT_FALSE(scratch::Exists(name));
    EXPECT_FALSE(DeleteFileA(name.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeleteFileA((folder / "none/x").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

// POSIX names are UTF-8: the ANSI (ISO 8859-1) and the wide spelling of a name reach one
// file; a name only wide text spells is reached by the W calls alone.
TEST_F(FilesTest, AnsiAndWideNamesReachTheSameFile) {
    scratch::WriteBytes(folder / "café.zpl", "ansi");
    scratch::WriteBytes(folder / "标签.zpl", "wide");
    std::string ansi = folder / "caf\xe9.zpl";
    std::wstring base(folder.path.wstring());
    std::wstring wide = base + L"/\u6807\u7b7e.zpl";
    std::string wideUtf8 = folder / "标签.zpl";

    HANDLE byAnsi = CreateFileA(ansi.c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(byAnsi, INVALID_HANDLE_VALUE);
    // Open through one spelling, the file refuses deletion through the other.
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeleteFileW((base + L"/caf\u00e9.zpl").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(byAnsi);

    HANDLE byWide = CreateFileW(wide.c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(byWide, INVALID_HANDLE_VALUE);
    char buffer[8] = {};
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(byWide, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "wide");
    CloseHandle(byWide);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(CreateFileA((folder / "??.zpl").c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    EXPECT_TRUE(DeleteFileW(wide.c_str()));
    EXPECT_FALSE(scratch::Exists(wideUtf8));
    EXPECT_TRUE(DeleteFileA(ansi.c_str()));
    EXPECT_FALSE(scratch::Exists(folder / "café.zpl"));
    substitute::FailNext("CreateFileW", ERROR_IO_DEVICE);
    substitute::FailNext("DeleteFileW", ERROR_IO_DEVICE);
    EXPECT_EQ(CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteFileW(wide.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_EQ(substitute::CallLog(),
              (Lines{"CreateFileA " + ansi, "DeleteFileW " + folder / "café.zpl",
                     "CloseHandle file:" + ansi, "CreateFileW " + wideUtf8,
                     "ReadFile file:" + wideUtf8 + " 8", "CloseHandle file:" + wideUtf8,
                     "CreateFileA " + folder / "??.zpl", "DeleteFileW " + wideUtf8,
                     "DeleteFileA " + ansi, "CreateFileW " + wideUtf8, "DeleteFileW " + wideUtf8}));
}

TEST_F(FilesTest, EachCallHonoursAFailureScriptedUnderItsName) {
    std::string name = folder / "f";
    scratch::WriteBytes(name, "abc");
    HANDLE file = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char buffer[4];
    DWORD count = 0;
    struct Case {
        const char* call;
        std::function<bool()> fails;
    };
    const Case cases[] = {
        {"CreateFileA",
         [&] {
             return CreateFileA(name.c_str(), FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE;
         }},
        {"ReadFile", [&] { return !ReadFile(file, buffer, 4, &count, nullptr); }},
        {"WriteFile", [&] { return !WriteFile(file, "x", 1, &count, nullptr); }},
        {"GetFileSize", [&] { return GetFileSize(file, nullptr) == INVALID_FILE_SIZE; }},
        {"DeleteFileA", [&] { return !DeleteFileA(name.c_str()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        substitute::FailNext(c.call, ERROR_IO_DEVICE);
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(c.fails());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_DEVICE));
    }
    CloseHandle(file);
    EXPECT_EQ(scratch::ReadBytes(name), "abc");
}

TEST_F(FilesTest, ScriptedShortWritesReportWhatWasTaken) {
    std::string name = folder / "out";
    HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    substitute::ScriptWriteCounts({3, 0});
    std::vector<DWORD> written;
    for (int i = 0; i < 3; ++i) {
        DWORD count = 99;
        EXPECT_TRUE(WriteFile(file, "0123456789", 10, &count, nullptr));
        written.push_back(count);
    }
    EXPECT_EQ(written, (std::vector<DWORD>{3, 0, 10}));
    CloseHandle(file);
    EXPECT_EQ(scratch::ReadBytes(name), "0120123456789");
}

} // namespace
