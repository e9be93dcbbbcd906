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
        // COM10 and above are ports only in the device namespace; elsewhere a file name.
        {"\\\\.\\COM10", GENERIC_WRITE, OPEN_ALWAYS, false, ERROR_FILE_NOT_FOUND},
        {"\\\\.\\com3", GENERIC_WRITE, OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND},
        {"\\\\.\\label.zpl", GENERIC_WRITE, OPEN_ALWAYS, false, ERROR_FILE_NOT_FOUND},
        {"COM10", GENERIC_WRITE, OPEN_ALWAYS, true, ERROR_SUCCESS},
        // A mapped device whose path is missing is missing as a whole.
        {"\\\\.\\COM4", GENERIC_WRITE, OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND},
    };
    substitute::MapDevice("COM4", folder / "no-dir/ttyS4");
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
    EXPECT_TRUE(scratch::Exists("COM10"));
    EXPECT_FALSE(scratch::Exists("\\\\.\\COM10"));
    EXPECT_FALSE(scratch::Exists(folder / "no-dir"));
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

std::wstring Wide(const std::string& utf8) {
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), length);
    wide.resize(static_cast<std::size_t>(length) - 1);
    return wide;
}

TEST_F(FilesTest, WideCallsTakeUtf8NamesWithBackslashes) {
    const std::string labels = folder / "\xe3\x83\xa9\xe3\x83\x99\xe3\x83\xab";
    const std::string name = labels + "\\\xe6\x9c\xad.zpl";
    ASSERT_TRUE(CreateDirectoryW(Wide(labels).c_str(), nullptr));
    HANDLE file =
        CreateFileW(Wide(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "abc", 3, &written, nullptr));
    EXPECT_TRUE(FlushFileBuffers(file));
    EXPECT_EQ(substitute::OpenHandles(), Lines{"file:" + name});
    CloseHandle(file);
    EXPECT_EQ(scratch::ReadBytes(labels + "/\xe6\x9c\xad.zpl"), "abc");

    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(Wide(name).c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeLow, 3u);
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    ASSERT_TRUE(GetFileAttributesExW(Wide(labels).c_str(), GetFileExInfoStandard, &data));
    EXPECT_NE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(
        GetFileAttributesExW(Wide(labels + "\\gone").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    EXPECT_TRUE(DeleteFileW(Wide(name).c_str()));
    EXPECT_FALSE(scratch::Exists(labels + "/\xe6\x9c\xad.zpl"));
    EXPECT_EQ(substitute::CallLog().front(), "CreateDirectoryW " + labels);
}

TEST_F(FilesTest, CreateDirectoryReportsAnExistingOrUnreachableFolder) {
    struct Case {
        std::string name;
        BOOL made;
        DWORD error;
    };
    const Case cases[] = {
        {folder / "new", TRUE, 0xdeadbeef},
        {folder / "new", FALSE, ERROR_ALREADY_EXISTS},
        {folder / "no-such\\new", FALSE, ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetLastError(0xdeadbeef);
        EXPECT_EQ(CreateDirectoryW(Wide(c.name).c_str(), nullptr), c.made);
        EXPECT_EQ(GetLastError(), c.error);
    }
}

TEST_F(FilesTest, MoveReplacesOnlyWhenAskedAndNeverAFileHeldOpen) {
    struct Case {
        const char* name;
        bool targetThere;
        DWORD flags;
        DWORD openShare;     // of a handle kept open on the source; 0xFFFFFFFF: none
        bool targetIsFolder; // the target name is a folder
        bool sourceThere;
        DWORD error; // 0: moved
    };
    constexpr DWORD kNone = 0xFFFFFFFFu;
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const Case cases[] = {
        {"to a new name", false, 0, kNone, false, true, 0},
        {"onto a file, not asked to replace", true, 0, kNone, false, true, ERROR_ALREADY_EXISTS},
        {"onto a file, replacing", true, MOVEFILE_REPLACE_EXISTING, kNone, false, true, 0},
        {"onto a folder", false, MOVEFILE_REPLACE_EXISTING, kNone, true, true, ERROR_ACCESS_DENIED},
        {"missing source", false, MOVEFILE_REPLACE_EXISTING, kNone, false, false,
         ERROR_FILE_NOT_FOUND},
        {"source open without delete sharing", false, 0, FILE_SHARE_READ, false, true,
         ERROR_SHARING_VIOLATION},
        {"source open with delete sharing", false, 0, shareAll, false, true, 0},
    };
    const std::string from = folder / "from";
    const std::string to = folder / "to";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(from);
        std::filesystem::remove_all(to);
        if (c.sourceThere) {
            scratch::WriteBytes(from, "new");
        }
        if (c.targetIsFolder) {
            std::filesystem::create_directory(to);
        } else if (c.targetThere) {
            scratch::WriteBytes(to, "old");
        }
        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.openShare != kNone) {
            held = CreateFileA(from.c_str(), FILE_READ_DATA, c.openShare, nullptr, OPEN_EXISTING, 0,
                               nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }
        SetLastError(0xdeadbeef);
        BOOL moved =
            MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), c.flags | MOVEFILE_WRITE_THROUGH);
        EXPECT_EQ(moved, c.error == 0 ? TRUE : FALSE);
        if (c.error != 0) {
            EXPECT_EQ(GetLastError(), c.error);
            EXPECT_EQ(scratch::Exists(from), c.sourceThere);
        } else {
            EXPECT_FALSE(scratch::Exists(from));
            EXPECT_EQ(scratch::ReadBytes(to), "new");
        }
        if (held != INVALID_HANDLE_VALUE) {
            CloseHandle(held);
        }
    }
}

TEST_F(FilesTest, AppendDataWritesAtTheEndWhateverElseWroteThere) {
    const std::string name = folder / "log";
    scratch::WriteBytes(name, "abc");
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE appender = CreateFileW(Wide(name).c_str(), FILE_APPEND_DATA, shareAll, nullptr,
                                  OPEN_ALWAYS, 0, nullptr);
    HANDLE writer =
        CreateFileA(name.c_str(), GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(appender, INVALID_HANDLE_VALUE);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(writer, "XY", 2, &written, nullptr));
    EXPECT_TRUE(WriteFile(appender, "22", 2, &written, nullptr));
    EXPECT_TRUE(WriteFile(writer, "Z", 1, &written, nullptr));
    EXPECT_TRUE(WriteFile(appender, "33", 2, &written, nullptr));
    CloseHandle(appender);
    CloseHandle(writer);
    EXPECT_EQ(scratch::ReadBytes(name), "XYZ2233");
}

TEST_F(FilesTest, EachWideCallHonoursAFailureScriptedUnderItsName) {
    const std::string name = folder / "f";
    scratch::WriteBytes(name, "abc");
    HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const std::wstring wide = Wide(name);
    const std::wstring other = Wide(folder / "g");
    WIN32_FILE_ATTRIBUTE_DATA data{};
    struct Case {
        const char* call;
        std::function<bool()> fails;
    };
    const Case cases[] = {
        {"CreateFileW",
         [&] {
             return CreateFileW(other.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                                nullptr) == INVALID_HANDLE_VALUE;
         }},
        {"FlushFileBuffers", [&] { return !FlushFileBuffers(file); }},
        {"MoveFileExW", [&] { return !MoveFileExW(wide.c_str(), other.c_str(), 0); }},
        {"CreateDirectoryW", [&] { return !CreateDirectoryW(other.c_str(), nullptr); }},
        {"GetFileAttributesExW",
         [&] { return !GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data); }},
        {"DeleteFileW", [&] { return !DeleteFileW(other.c_str()); }},
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
    EXPECT_FALSE(scratch::Exists(folder / "g"));
}

} // namespace
