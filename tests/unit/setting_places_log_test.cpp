// A job on a machine without the machine-wide and policy keys makes the calls it always made,
// apart from the two opens that find nothing: the whole call logs of a serial and a network job
// (settings read in the transport, before the port's line settings and after the connection),
// compared with the calls recorded before those keys existed.
#include "core/job_request.h"
#include "platform/testing.h"
#include "transport/job_worker.h"

#include "job_journal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// The scratch folder and the listener's port vary from run to run.
std::string Normalized(std::string line, const std::string& folder, const std::string& port) {
    for (std::size_t at = line.find(folder); at != std::string::npos; at = line.find(folder)) {
        line.replace(at, folder.size(), "<dir>");
    }
    if (!port.empty()) {
        for (std::size_t at = line.find(port); at != std::string::npos; at = line.find(port)) {
            line.replace(at, port.size(), "<port>");
        }
    }
    return line;
}

struct LoggedJob {
    const char* name;
    const char* type;
    const char* port; // "<listener>": the loopback listener's port
    const char* address;
    Lines expected;
};

TEST(SettingPlacesLog, JobWithoutMachineKeysMakesTheCallsItAlwaysMade) {
    // Recorded before the machine's keys were read: each call of the job, in order, with the
    // opens of the two absent keys put in where they now come.
    const std::string kPolicyOpen =
        "RegOpenKeyExA HKEY_LOCAL_MACHINE\\Software\\Policies\\Velmora Software\\Tagwright\\1.0";
    const std::string kMachineOpen =
        "RegOpenKeyExA HKEY_LOCAL_MACHINE\\Software\\Velmora Software\\Tagwright\\1.0";
    const LoggedJob jobs[] = {
        {"serial",
         "Serial",
         "COM9",
         "19200",
         {"Report status 120",
          "Report status 121",
          "CreateFileA <dir>/label.zpl",
          kPolicyOpen,
          "RegOpenKeyExA Software\\Velmora Software\\Tagwright\\1.0",
          kMachineOpen,
          "Report status 122",
          "RegQueryValueExA Delay",
          "RegQueryValueExA Attempts",
          "RegQueryValueExA Timeout",
          "RegQueryValueExA Confirm",
          "RegQueryValueExA PrinterType",
          "RegQueryValueExA Port",
          "RegQueryValueExA CheckStatus",
          "CreateFileA COM9",
          "GetCommState device:COM9",
          "RegQueryValueExA BaudorIPAddress",
          "RegQueryValueExA DataBits",
          "RegQueryValueExA Parity",
          "RegQueryValueExA StopBits",
          "SetCommState device:COM9",
          "SetCommTimeouts device:COM9",
          "Report status 123",
          "GetFileSize file:<dir>/label.zpl",
          "Report range 27:0",
          "HeapAlloc 65536",
          "ReadFile file:<dir>/label.zpl 65536",
          "WriteFile device:COM9 27",
          "Report advance 27",
          "ReadFile file:<dir>/label.zpl 65536",
          "Report advance 0",
          "Report status 124",
          "HeapFree 65536",
          "CloseHandle file:<dir>/label.zpl",
          "CloseHandle device:COM9",
          "DeleteFileA <dir>/label.zpl",
          "Report done 0,0",
          "RegCloseKey key:Software\\Velmora Software\\Tagwright\\1.0"}},
        {"network",
         "TCP/IP",
         "<listener>",
         "127.0.0.1",
         {"Report status 120",
          "Report status 121",
          "CreateFileA <dir>/label.zpl",
          kPolicyOpen,
          "RegOpenKeyExA Software\\Velmora Software\\Tagwright\\1.0",
          kMachineOpen,
          "Report status 122",
          "RegQueryValueExA Delay",
          "RegQueryValueExA Attempts",
          "RegQueryValueExA Timeout",
          "RegQueryValueExA Confirm",
          "RegQueryValueExA PrinterType",
          "RegQueryValueExA Port",
          "CreateMutexA ipMutex",
          "Report status 0",
          "RegQueryValueExA BaudorIPAddress",
          "WaitForSingleObject mutex:ipMutex",
          "WSAStartup 1.1",
          "socket",
          "bind <port>",
          "closesocket",
          "socket",
          "ioctlsocket 1",
          "connect 127.0.0.1:<port>",
          "select 5000",
          "getsockopt 65535 4103",
          "getsockname",
          "getpeername",
          "RegQueryValueExA CheckStatus",
          "HeapAlloc 65536",
          "ReadFile file:<dir>/label.zpl 65536",
          "select 5000",
          "getsockopt 65535 4103",
          "send 27",
          "Report advance 27",
          "ReadFile file:<dir>/label.zpl 65536",
          "Report advance 0",
          "ioctlsocket 0",
          "setsockopt 65535 4102",
          "shutdown 1",
          "recv 512",
          "closesocket",
          "WSACleanup",
          "Report status 124",
          "HeapFree 65536",
          "CloseHandle file:<dir>/label.zpl",
          "DeleteFileA <dir>/label.zpl",
          "ReleaseMutex mutex:ipMutex",
          "CloseHandle mutex:ipMutex",
          "Report done 0,0",
          "RegCloseKey key:Software\\Velmora Software\\Tagwright\\1.0"}},
    };
    for (const LoggedJob& job : jobs) {
        SCOPED_TRACE(job.name);
        g_jobOptions = JobOptions{};
        g_jobOutcome = JobOutcome{};
        HWND window = jobtest::StartJobTest();
        jobtest::ScratchFolder folder;
        std::string input = folder / "label.zpl";
        substitute::MapCommDevice("COM9", folder / "serial.out");
        substitute::MapDevice("LPT1", folder / "parallel.out");
        substitute::InstallPrinter("Zebra ZP 450", "USB001");
        substitute::SetDefaultPrinterName("Zebra ZP 450");
        std::string port;
        std::string portText = job.port;
        if (portText == "<listener>") {
            port = std::to_string(substitute::StartLoopbackListener());
            portText = port;
        }
        jobtest::SetPortSettings(job.type, portText);
        jobtest::SetSetting("BaudorIPAddress", job.address);
        jobtest::SetSetting("CheckStatus", "0");
        jobtest::SetSetting("Timeout", "5");
        jobtest::WriteBytes(input, "^XA^FO20,20^FDlabel^FS^XZ\r\n");
        jobtest::PathBuffer path(input);
        substitute::ClearCallLog();

        EXPECT_EQ(JobWorker(path.text), 0u);

        Lines log;
        for (const std::string& line : substitute::CallLog()) {
            log.push_back(Normalized(line, folder.path.string(), port));
        }
        EXPECT_EQ(log, job.expected);
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
        substitute::DestroyTestWindow(window);
        g_progressWindow = nullptr;
        substitute::Reset();
    }
}

} // namespace
