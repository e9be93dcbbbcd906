// Test support for every job and transport test: the one stand-in progress window, which
// writes each report into the call log (so that reports and releases can be checked in one
// order), the one scratch folder, which is also the current directory, and settings and file
// helpers.
#pragma once

#include "core/job_protocol.h"
#include "platform/testing.h"
#include "tests/support/scratch_folder.h"
#include "transport/driver_transport.h"

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace jobtest {

inline constexpr char kSettingsKey[] = "Software\\Velmora Software\\Tagwright\\1.0";
inline constexpr char kShellFoldersKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

// "status 120", "range 4464:0" (high word:low word), "advance 512", "done 0,0".
inline std::string DescribeReport(UINT message, WPARAM wParam, LPARAM lParam) {
    auto low = static_cast<unsigned>(lParam & 0xFFFF);
    auto high = static_cast<unsigned>((static_cast<unsigned long long>(lParam) >> 16) & 0xFFFF);
    switch (message) {
    case WM_JOB_STATUS:
        return "status " + std::to_string(wParam);
    case WM_JOB_RANGE:
        return "range " + std::to_string(high) + ":" + std::to_string(low) +
               (wParam != 0 ? " wParam " + std::to_string(wParam) : std::string());
    case WM_JOB_ADVANCE:
        return "advance " + std::to_string(wParam) +
               (lParam != 0 ? " lParam " + std::to_string(lParam) : std::string());
    case WM_JOB_DONE:
        return "done " + std::to_string(wParam) + "," + std::to_string(lParam);
    default:
        return "message " + std::to_string(message);
    }
}

// A recording window whose reports also enter the call log, as "Report <description>".
inline HWND CreateJournalWindow() {
    return substitute::CreateRecordingWindow([](const substitute::RecordedMessage& m) {
        return "Report " + DescribeReport(m.message, m.wParam, m.lParam);
    });
}

// The start every job test shares: a clean substitute on the virtual clock, swaps of the
// default printer allowed, and a recording progress window published for the worker.
inline HWND StartJobTest() {
    substitute::Reset();
    substitute::UseVirtualClock(true);
    AllowDefaultPrinterSwap();
    HWND window = CreateJournalWindow();
    g_progressWindow = window;
    return window;
}

inline std::vector<std::string> Reports(HWND window) {
    std::vector<std::string> reports;
    for (const substitute::RecordedMessage& m : substitute::RecordedMessages(window)) {
        reports.push_back(DescribeReport(m.message, m.wParam, m.lParam));
    }
    return reports;
}

inline int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    int count = 0;
    for (const std::string& line : lines) {
        count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return count;
}

// The call log reduced to the entries that start with one of the prefixes.
inline std::vector<std::string> CallsStartingWith(const std::vector<std::string>& prefixes) {
    std::vector<std::string> kept;
    for (const std::string& line : substitute::CallLog()) {
        for (const std::string& prefix : prefixes) {
            if (line.rfind(prefix, 0) == 0) {
                kept.push_back(line);
                break;
            }
        }
    }
    return kept;
}

// Releases and reports, in the order they happened.
inline std::vector<std::string> ReleasesAndDone() {
    return CallsStartingWith(
        {"CloseHandle", "RegCloseKey", "HeapFree", "DeleteFileA", "Report done"});
}

using scratch::Exists;
using scratch::ReadBytes;
using scratch::ScratchFolder;
using scratch::WriteBytes;

// Label-like bytes of the given length, every byte value included.
inline std::string SampleBytes(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    }
    return bytes;
}

inline void SetSetting(const std::string& name, const std::string& text) {
    substitute::SetRegistryString(kSettingsKey, name, text);
}

// A complete set of settings for a port job on `port`.
inline void SetPortSettings(const std::string& printerType, const std::string& port) {
    SetSetting("PrinterType", printerType);
    SetSetting("Port", port);
    SetSetting("BaudorIPAddress", "9600");
    SetSetting("DataBits", "8");
    SetSetting("Parity", "none");
    SetSetting("StopBits", "1");
    SetSetting("Delay", "0");
    SetSetting("Attempts", "3");
}

// The launcher's path buffer.
struct PathBuffer {
    char text[kPathBufferSize];
    explicit PathBuffer(const std::string& path) {
        std::snprintf(text, sizeof(text), "%s", path.c_str());
    }
};

} // namespace jobtest
