// What every transport and the job worker share: the hand-over record, the chunked copy loop,
// the pause of retry loops, the reports to the progress window and closing the input file.
#pragma once

#include "core/job_protocol.h"
#include "core/job_request.h"

// The keys the settings are read from (settings/setting_places.h); the worker owns the record.
struct SettingPlaces;

// Everything a transport takes over from the worker; from then on the transport
// releases all of it on every path.
struct TransportJob {
    HWND progressWindow;
    char* path;       // the launcher's path buffer (kPathBufferSize bytes)
    HANDLE inputFile; // INVALID_HANDLE_VALUE when every open attempt failed
    // The keys, open for reading; none open for a printer named on the command line.
    SettingPlaces* settings;
    char* valueBuffer; // kTextBufferSize bytes, holding the Port text on hand-over
    int delay;         // milliseconds
    int attempts;
    int timeout = 0; // seconds the printer has to connect and to take each chunk; 0: no limit
    ConfirmLevel confirm = ConfirmLevel::Off; // only the network and serial transports answer it
    // The printer as a device URI (named on the command line, or a stored "Printer") in place
    // of the stored type, port and line values; nullptr: those values.
    const PrinterTarget* target = nullptr;
};

// Stopped: the launcher cut the job off before this block was written (last error
// ERROR_CANCELLED); the label was not sent whole.
enum class CopyOutcome { Completed, ReadFailed, WriteFailed, Stopped };

// Writes one chunk to the transport's channel; false when the channel failed (the
// thread's last error, or the socket error, then says why).
using ChannelWrite = bool (*)(void* channel, const char* chunk, DWORD count);

// The chunk of a copy: kCopyChunkSize when each chunk is followed by a pause of `delay`
// milliseconds, kFastCopyBlockSize when there is no pause to pace the printer.
DWORD CopyChunkSize(int delay);

// Copies the input to the channel in chunks of chunkSize bytes, reporting each read with
// WM_JOB_ADVANCE, until the input ends or the job is to stop. The chunk buffer is taken from the
// process heap into *chunkBuffer and left there for the transport to release with
// ReleaseChunkBuffer in its own order.
CopyOutcome JobCopyLoop(HANDLE inputFile, HWND progressWindow, ChannelWrite write, void* channel,
                        char** chunkBuffer, DWORD chunkSize);
void ReleaseChunkBuffer(char** chunkBuffer);

// Sleeps, then returns true, so that it can close a retry loop's condition.
bool PauseAndContinue(int milliseconds);

// Closes the input file unless it never opened, and marks it closed.
void CloseJobInput(HANDLE* inputFile);

// Synchronous reports to the progress window.
void ReportStatus(HWND progressWindow, UINT stringId);
// Announces the input's size as the progress range (WM_JOB_RANGE).
void ReportInputSize(const TransportJob* job);
void ReportDone(HWND progressWindow, DWORD error, JobResult result);

// Why a step of a transport failed: the code the failing call left, taken before any
// release can change it, and the result the job ends with.
struct JobFailure {
    DWORD error;
    JobResult result;
};

// Records the failure and returns false, so that a failing step can end with it.
bool FailStep(JobFailure* failure, DWORD error, JobResult result);

// A job cut off by the launcher (Escape, the hidden window closed, the session ending). The
// launcher asks the job to stop and waits a few seconds for its end; the job stops at its
// next block, or, when the label has already been taken whole, completes. What the launcher
// records must agree with the input file, so the job deletes the input only when the
// launcher has not given up waiting, and the launcher learns whether the job got that far.

// As each job starts: not cut off.
void ResetJobCutOff();
// The launcher: the job is to stop before its next block.
void RequestJobStop();
// The job: true once the launcher asked it to stop, or gave it up.
bool JobStopRequested();
// The launcher, when it stops waiting: true when the job can no longer delete its input (the
// record says "cancelled"), false when the job has already taken its label whole and is
// letting the input go (the record says "printed").
bool GiveUpJob();
// The launcher: whether the job took its label whole and went on to delete its input.
bool JobDeliveredWhole();
// The job, after its label was taken whole: deletes the input unless the launcher gave the
// job up and has recorded it as cancelled, in which case the input stays.
void DeleteJobInput(const char* path);
