// The pieces every transport shares: the chunked copy loop, the pause of retry loops, the
// reports to the progress window and closing the input file.
#include "core/transport_job.h"

#include "core/file_names.h"
#include "core/job_request.h"

#include <cstring>

namespace {

// Where a job stands towards the launcher's cut-off. Each change is one compare-exchange, so
// that the job's deletion of its input and the launcher's giving up cannot both happen.
enum CutOffState : LONG {
    JobRunning = 0,
    JobStopAsked = 1, // the launcher waits for the job's end
    JobGivenUp = 2,   // the launcher stopped waiting and recorded the job as cancelled
    JobDelivered = 3, // the label was taken whole: the job deletes its input
};

LONG volatile g_cutOffState = JobRunning;

LONG CutOffStateNow() {
    return InterlockedCompareExchange(&g_cutOffState, JobRunning, JobRunning);
}

} // namespace

void ResetJobCutOff() {
    InterlockedExchange(&g_cutOffState, JobRunning);
}

void RequestJobStop() {
    InterlockedCompareExchange(&g_cutOffState, JobStopAsked, JobRunning);
}

bool JobStopRequested() {
    LONG state = CutOffStateNow();
    return state == JobStopAsked || state == JobGivenUp;
}

bool GiveUpJob() {
    RequestJobStop();
    InterlockedCompareExchange(&g_cutOffState, JobGivenUp, JobStopAsked);
    return CutOffStateNow() == JobGivenUp;
}

bool JobDeliveredWhole() {
    return CutOffStateNow() == JobDelivered;
}

void DeleteJobInput(const char* path) {
    LONG state = InterlockedCompareExchange(&g_cutOffState, JobDelivered, JobRunning);
    if (state == JobStopAsked) {
        state = InterlockedCompareExchange(&g_cutOffState, JobDelivered, JobStopAsked);
    }
    if (state == JobGivenUp || g_jobOptions.keepInput) {
        return;
    }
    DeleteInputByName(path);
}

void ReportStatus(HWND progressWindow, UINT stringId) {
    SendMessageA(progressWindow, WM_JOB_STATUS, stringId, 0);
}

void ReportInputSize(const TransportJob* job) {
    DWORD high = 0;
    DWORD size = GetFileSize(job->inputFile, &high);
    if (size != INVALID_FILE_SIZE) {
        g_jobOutcome.inputSize = (static_cast<unsigned long long>(high) << 32) | size;
    }
    // The size travels in the high word, cut to its low 16 bits.
    SendMessageA(job->progressWindow, WM_JOB_RANGE, 0, MAKELPARAM(0, size & 0xFFFFu));
}

void ReportDone(HWND progressWindow, DWORD error, JobResult result) {
    SendMessageA(progressWindow, WM_JOB_DONE, error, static_cast<LPARAM>(result));
}

bool PauseAndContinue(int milliseconds) {
    // A negative pause would be taken as some 49 days.
    Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0);
    return true;
}

void CloseJobInput(HANDLE* inputFile) {
    if (*inputFile != INVALID_HANDLE_VALUE) {
        CloseHandle(*inputFile);
        *inputFile = INVALID_HANDLE_VALUE;
    }
}

DWORD CopyChunkSize(int delay) {
    return delay > 0 ? kCopyChunkSize : kFastCopyBlockSize;
}

CopyOutcome JobCopyLoop(HANDLE inputFile, HWND progressWindow, ChannelWrite write, void* channel,
                        char** chunkBuffer, DWORD chunkSize) {
    *chunkBuffer = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, chunkSize));
    char* chunk = *chunkBuffer;
    if (chunk == nullptr) {
        // The heap does not say why; the job ends as an input failure with this code.
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return CopyOutcome::ReadFailed;
    }
    unsigned long long read = 0;
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(inputFile, chunk, chunkSize, &count, nullptr)) {
            return CopyOutcome::ReadFailed;
        }
        if (count > chunkSize) {
            count = chunkSize;
        }
        // Checked once the end of the input could be seen: a label whose every byte has been
        // taken is complete, whenever the cut-off comes.
        if (count > 0 && JobStopRequested()) {
            SetLastError(ERROR_CANCELLED);
            return CopyOutcome::Stopped;
        }
        if (count > 0 && !write(channel, chunk, count)) {
            return CopyOutcome::WriteFailed;
        }
        read += count;
        g_jobOutcome.bytesAccepted += count;
        SendMessageA(progressWindow, WM_JOB_ADVANCE, count, 0);
        std::memset(chunk, 0, chunkSize);
        if (count == 0) {
            // Everything read is the input's size, also where no transport measured it.
            g_jobOutcome.inputSize = read;
            return CopyOutcome::Completed;
        }
    }
}

void ReleaseChunkBuffer(char** chunkBuffer) {
    if (*chunkBuffer != nullptr) {
        HeapFree(GetProcessHeap(), 0, *chunkBuffer);
        *chunkBuffer = nullptr;
    }
}

bool FailStep(JobFailure* failure, DWORD error, JobResult result) {
    failure->error = error;
    failure->result = result;
    return false;
}
