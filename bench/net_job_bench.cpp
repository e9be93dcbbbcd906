// Time and memory of a network job with Delay 0 in the native build: the job worker and the
// network transport against the substitute layer, sending to a sink outside this process.
//
//   net_job_bench [benchmark flags]   jobs of a 2 KB label and a 1 MB file, timed in-process
//   net_job_bench --job FILE          one job of FILE; prints the job's result and heap peak
//   net_job_bench --write-inputs DIR  writes label-2k.zpl and file-1m.bin, the jobs' inputs
//
// The jobs connect to 127.0.0.1 at the port in TAGWRIGHT_SINK_PORT. The settings name a
// printer at 127.0.0.1:9100; the connection is redirected to the sink, and the local end,
// which the program binds to the printer's port, to a port the system picks (9100 may be
// taken on this host, and the sink's own port always is).
#include "platform/posix/machinery.h"
#include "platform/testing.h"
#include "transport/job_worker.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char kSettingsKey[] = "Software\\Velmora Software\\Tagwright\\1.0";
constexpr unsigned short kPrinterPort = 9100;
constexpr std::size_t kLabelSize = 2 * 1024;
constexpr std::size_t kFileSize = 1024 * 1024;
constexpr double kSlowJobSeconds = 0.5;
constexpr int kJobsPerRepetition = 100;

const char kZplLabel[] = "^XA\n"
                         "^PW812\n"
                         "^LL406\n"
                         "^FO40,30^A0N,40,40^FDVelmora Parts Depot^FS\n"
                         "^FO40,80^A0N,28,28^FDShip to: Harbour Lane 12, 4410 Grenvik^FS\n"
                         "^FO40,130^BY3^BCN,100,Y,N,N^FD4006381333931^FS\n"
                         "^FO40,280^GB730,3,3^FS\n"
                         "^FO40,300^A0N,30,30^FDOrder 58211  Qty 4  Bin C-07^FS\n"
                         "^PQ1\n"
                         "^XZ\n";

// A label of exactly 2 KB: whole labels, the last one cut short.
std::string LabelInput() {
    std::string text;
    while (text.size() < kLabelSize) {
        text += kZplLabel;
    }
    text.resize(kLabelSize);
    return text;
}

// 1 MB of every byte value in a fixed pseudo-random order, NULs and high bytes included.
std::string FileInput() {
    std::string bytes(kFileSize, '\0');
    unsigned state = 12345u;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>((state >> 16) & 0xFFu);
    }
    return bytes;
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

bool FileExists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// Stands in for the progress window: keeps only what a job's end is judged by, so that a
// long run of jobs does not grow a record of every report.
struct TallyWindow : substitute::WindowObject {
    unsigned long long advanced = 0;
    int doneCount = 0;
    WPARAM doneError = 0;
    LPARAM doneResult = -1;
    LRESULT Deliver(HWND /*self*/, UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_JOB_ADVANCE) {
            advanced += wParam;
        } else if (message == WM_JOB_DONE) {
            ++doneCount;
            doneError = wParam;
            doneResult = lParam;
        }
        return 0;
    }
};

unsigned short SinkPort() {
    const char* text = std::getenv("TAGWRIGHT_SINK_PORT");
    long port = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return port > 0 && port < 65536 ? static_cast<unsigned short>(port) : 0;
}

// A fresh substitute layer holding the settings of a TCP/IP printer with Delay 0, its
// connections redirected to the sink, and a tally window as the progress window.
std::shared_ptr<TallyWindow> PrepareJob(unsigned short sinkPort) {
    substitute::Reset();
    substitute::CreateRegistryKey(kSettingsKey);
    substitute::SetRegistryString(kSettingsKey, "PrinterType", "TCP/IP");
    substitute::SetRegistryString(kSettingsKey, "Port", std::to_string(kPrinterPort));
    substitute::SetRegistryString(kSettingsKey, "BaudorIPAddress", "127.0.0.1");
    substitute::SetRegistryString(kSettingsKey, "Delay", "0");
    substitute::SetRegistryString(kSettingsKey, "Attempts", "3");
    substitute::RedirectConnections(sinkPort);
    substitute::RedirectBindPort(kPrinterPort, 0);
    auto window = std::make_shared<TallyWindow>();
    window->label = "window:tally";
    g_progressWindow = substitute::AddWindow(window);
    return window;
}

void EndJob() {
    substitute::RemoveWindow(g_progressWindow);
    g_progressWindow = nullptr;
}

// What was wrong with a finished job, or an empty text when it was delivered whole.
std::string JobProblem(DWORD result, const TallyWindow& window, std::size_t size,
                       const std::string& path) {
    char problem[256];
    if (result != 0 || window.doneCount != 1 || window.doneError != 0 || window.doneResult != 0) {
        std::snprintf(problem, sizeof problem,
                      "job ended with %lu; %d WM_JOB_DONE, the last (%llu, %lld)",
                      static_cast<unsigned long>(result), window.doneCount,
                      static_cast<unsigned long long>(window.doneError),
                      static_cast<long long>(window.doneResult));
        return problem;
    }
    if (window.advanced != size) {
        std::snprintf(problem, sizeof problem, "%llu of %zu bytes reported sent", window.advanced,
                      size);
        return problem;
    }
    if (FileExists(path)) {
        return "the input file was not deleted";
    }
    return std::string();
}

struct HeapPeak {
    unsigned long long bytes = 0;
    unsigned long long blocks = 0;
};

// The most the program held on the process heap at once, replayed from the call log.
HeapPeak HeapPeakFromLog() {
    HeapPeak peak;
    unsigned long long bytes = 0;
    unsigned long long blocks = 0;
    for (const std::string& entry : substitute::CallLog()) {
        bool alloc = entry.rfind("HeapAlloc ", 0) == 0;
        bool free = entry.rfind("HeapFree ", 0) == 0;
        if (!alloc && !free) {
            continue;
        }
        char* end = nullptr;
        const char* number = entry.c_str() + entry.find(' ') + 1;
        unsigned long long size = std::strtoull(number, &end, 10);
        if (end == number) {
            continue; // "HeapAlloc failed"
        }
        if (alloc) {
            bytes += size;
            ++blocks;
        } else {
            bytes -= size;
            --blocks;
        }
        peak.bytes = bytes > peak.bytes ? bytes : peak.bytes;
        peak.blocks = blocks > peak.blocks ? blocks : peak.blocks;
    }
    return peak;
}

double ThreadCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void BM_NetworkJob(benchmark::State& state) {
    unsigned short sinkPort = SinkPort();
    if (sinkPort == 0) {
        state.SkipWithError("TAGWRIGHT_SINK_PORT names no sink");
        return;
    }
    const std::string input = state.range(0) == 0 ? LabelInput() : FileInput();
    char folder[] = "/tmp/tagwright-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        state.SkipWithError("no scratch folder");
        return;
    }
    const std::string path = std::string(folder) + "/job.prn";
    char pathBuffer[kPathBufferSize];
    double jobCpuSeconds = 0;
    std::vector<double> jobSeconds;
    for (auto _ : state) {
        std::shared_ptr<TallyWindow> window = PrepareJob(sinkPort);
        std::snprintf(pathBuffer, sizeof pathBuffer, "%s", path.c_str());
        if (!WriteBytes(path, input)) {
            state.SkipWithError("the input file could not be written");
            break;
        }

        double cpuBefore = ThreadCpuSeconds();
        auto start = std::chrono::steady_clock::now();
        DWORD result = JobWorker(pathBuffer);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        jobSeconds.push_back(took.count());
        jobCpuSeconds += ThreadCpuSeconds() - cpuBefore;

        std::string problem = JobProblem(result, *window, input.size(), path);
        EndJob();
        if (!problem.empty()) {
            state.SkipWithError(problem.c_str());
            break;
        }
    }
    substitute::Reset();
    ::unlink(path.c_str());
    ::rmdir(folder);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(input.size()));
    // The job's own processor time: on a shared machine the wall time also holds the waits
    // for a processor, and this figure does not.
    state.counters["job_cpu_us"] =
        benchmark::Counter(jobCpuSeconds * 1e6, benchmark::Counter::kAvgIterations);
    // The time above is a mean: a connect whose handshake is retried (a 1 s wait) raises it
    // for every job of the repetition. The median job and the count of such waits show it.
    if (!jobSeconds.empty()) {
        std::sort(jobSeconds.begin(), jobSeconds.end());
        state.counters["job_median_us"] = jobSeconds[jobSeconds.size() / 2] * 1e6;
        state.counters["jobs_over_500ms"] = static_cast<double>(
            jobSeconds.end() -
            std::upper_bound(jobSeconds.begin(), jobSeconds.end(), kSlowJobSeconds));
    }
    state.SetLabel(state.range(0) == 0 ? "2 KB label" : "1 MB file");
}

// Arg 0: the 2 KB label; arg 1: the 1 MB file. The time is the job's alone (JobWorker on the
// wall clock), without the substitute's reset and the input file's writing around it. A fixed
// count of jobs: every job leaves a local port in TIME_WAIT, and thousands of them would time
// the system's search for a free port instead of the job.
BENCHMARK(BM_NetworkJob)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(kJobsPerRepetition)
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime();

int RunOneJob(const char* path) {
    unsigned short sinkPort = SinkPort();
    if (sinkPort == 0) {
        std::fprintf(stderr, "TAGWRIGHT_SINK_PORT names no sink\n");
        return 2;
    }
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        std::fprintf(stderr, "%s cannot be read\n", path);
        return 2;
    }
    auto size = static_cast<std::size_t>(file.tellg());
    file.close();
    std::shared_ptr<TallyWindow> window = PrepareJob(sinkPort);
    char pathBuffer[kPathBufferSize];
    std::snprintf(pathBuffer, sizeof pathBuffer, "%s", path);

    DWORD result = JobWorker(pathBuffer);

    std::string problem = JobProblem(result, *window, size, path);
    HeapPeak peak = HeapPeakFromLog();
    std::size_t calls = substitute::CallLog().size();
    EndJob();
    std::vector<std::string> open = substitute::OpenHandles();
    substitute::Reset();
    if (!problem.empty()) {
        std::fprintf(stderr, "%s: %s\n", path, problem.c_str());
        return 1;
    }
    if (!open.empty()) {
        std::fprintf(stderr, "%s: the job left %zu handles or blocks open\n", path, open.size());
        return 1;
    }
    std::printf("job %zu bytes: result 0, heap peak %llu bytes in %llu blocks, %zu platform calls "
                "logged\n",
                size, peak.bytes, peak.blocks, calls);
    return 0;
}

int WriteInputs(const std::string& folder) {
    if (!WriteBytes(folder + "/label-2k.zpl", LabelInput()) ||
        !WriteBytes(folder + "/file-1m.bin", FileInput())) {
        std::fprintf(stderr, "cannot write the inputs into %s\n", folder.c_str());
        return 2;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--job") == 0) {
        return RunOneJob(argv[2]);
    }
    if (argc == 3 && std::strcmp(argv[1], "--write-inputs") == 0) {
        return WriteInputs(argv[2]);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
