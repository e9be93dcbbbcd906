// The raw queue transport: the label's bytes, unchanged, as one "RAW" document named "Label"
// on the Windows printer named by Port, written through the spooler's queue calls. The
// user's default printer is not touched and no print dialog or device context is involved.
#include "transport/raw_queue_transport.h"

#include "core/file_names.h"
#include "resources/resource_ids.h"
#include "settings/setting_places.h"

namespace {

constexpr DWORD kDocumentInfoLevel = 1;

// What the job holds beyond the hand-over record. ReleaseRawQueueJob gives back whatever
// is set here, in one order, on every exit.
struct RawQueueHold {
    HANDLE printer;    // the open queue, or null
    bool documentOpen; // started, and neither ended nor abandoned
    char* chunk;       // the copy loop's buffer, or null
};

// Writes the whole chunk: the spooler may take part of it per call. A write that fails, or
// that succeeds without taking anything, ends the copy.
bool WriteQueueChunk(void* channel, const char* chunk, DWORD count) {
    HANDLE printer = static_cast<HANDLE>(channel);
    DWORD done = 0;
    while (done < count) {
        DWORD written = 0;
        // The spooler only reads the buffer, although its parameter is not const.
        if (!WritePrinter(printer, const_cast<char*>(chunk + done), count - done, &written)) {
            return false;
        }
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        done += written < count - done ? written : count - done;
    }
    return true;
}

// Releases in this order: the chunk buffer, the input file, the document (abandoned when it
// was not ended, so that a part of a label is not printed), the printer.
void ReleaseRawQueueJob(TransportJob* job, RawQueueHold* hold) {
    ReleaseChunkBuffer(&hold->chunk);
    CloseJobInput(&job->inputFile);
    if (hold->documentOpen) {
        AbortPrinter(hold->printer);
        hold->documentOpen = false;
    }
    if (hold->printer != nullptr) {
        ClosePrinter(hold->printer);
        hold->printer = nullptr;
    }
}

// The error is the one the failing call left, taken before the releases can change it.
JobResult EndFailedJob(TransportJob* job, RawQueueHold* hold, const JobFailure& failure) {
    ReleaseRawQueueJob(job, hold);
    ReportDone(job->progressWindow, failure.error, failure.result);
    return failure.result;
}

// Only a document the spooler has taken whole lets the input go.
JobResult EndSucceededJob(TransportJob* job, RawQueueHold* hold) {
    ReportStatus(job->progressWindow, IDS_STATUS_COMPLETE);
    ReleaseRawQueueJob(job, hold);
    DeleteJobInput(job->path);
    ReportDone(job->progressWindow, 0, JobResult::Done);
    return JobResult::Done;
}

bool OpenQueue(TransportJob* job, RawQueueHold* hold, JobFailure* failure) {
    HANDLE printer = nullptr;
    if (!OpenPrinterA(job->valueBuffer, &printer, nullptr)) {
        return FailStep(failure, GetLastError(), JobResult::QueueOpenError);
    }
    hold->printer = printer;
    return true;
}

bool StartQueueDocument(RawQueueHold* hold, JobFailure* failure) {
    // The spooler's record takes writable texts.
    char documentName[] = "Label";
    char dataType[] = "RAW";
    DOC_INFO_1A document = {documentName, nullptr, dataType};
    if (StartDocPrinterA(hold->printer, kDocumentInfoLevel, reinterpret_cast<LPBYTE>(&document)) ==
        0) {
        return FailStep(failure, GetLastError(), JobResult::QueueStartError);
    }
    hold->documentOpen = true;
    return true;
}

bool CopyToQueue(TransportJob* job, RawQueueHold* hold, JobFailure* failure) {
    ReportStatus(job->progressWindow, IDS_STATUS_SENDING);
    ReportInputSize(job);
    CopyOutcome outcome = JobCopyLoop(job->inputFile, job->progressWindow, WriteQueueChunk,
                                      hold->printer, &hold->chunk, CopyChunkSize(job->delay));
    if (outcome == CopyOutcome::ReadFailed) {
        return FailStep(failure, GetLastError(), JobResult::InputFileError);
    }
    // A write that failed, or a copy stopped by the launcher (ERROR_CANCELLED).
    if (outcome != CopyOutcome::Completed) {
        return FailStep(failure, GetLastError(), JobResult::QueueWriteError);
    }
    return true;
}

bool EndQueueDocument(RawQueueHold* hold, JobFailure* failure) {
    if (!EndDocPrinter(hold->printer)) {
        return FailStep(failure, GetLastError(), JobResult::QueueEndError);
    }
    hold->documentOpen = false;
    return true;
}

} // namespace

JobResult RawQueueTransport(TransportJob* job) {
    RawQueueHold hold{nullptr, false, nullptr};
    JobFailure failure{0, JobResult::Done};
    // Port, already in the value buffer, is all this job reads from the settings; a printer
    // named on the command line comes without a settings key open.
    CloseSettingPlaces(job->settings);

    if (!OpenQueue(job, &hold, &failure) || !StartQueueDocument(&hold, &failure) ||
        !CopyToQueue(job, &hold, &failure) || !EndQueueDocument(&hold, &failure)) {
        return EndFailedJob(job, &hold, failure);
    }
    return EndSucceededJob(job, &hold);
}
