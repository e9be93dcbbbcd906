// The turn a job waits for before it uses what all instances share.
#include "transport/job_turn.h"

#include "core/job_request.h"

namespace {

// The longest wait a time-out may ask for (some 24 days), so that its milliseconds stay a
// signed 32-bit count and never read as INFINITE.
constexpr int kLongestTurnWait = 2147483; // seconds

} // namespace

DWORD TurnWaitMilliseconds(const TransportJob* job) {
    int seconds = job->timeout;
    if (seconds <= 0) {
        if (!g_jobOptions.quiet) {
            return INFINITE;
        }
        seconds = kQuietDefaultTimeout;
    }
    return static_cast<DWORD>(seconds < kLongestTurnWait ? seconds : kLongestTurnWait) * 1000u;
}

bool WaitForJobTurn(HANDLE mutex, const TransportJob* job, DWORD* error) {
    DWORD wait = WaitForSingleObject(mutex, TurnWaitMilliseconds(job));
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
        return true;
    }
    *error = wait == WAIT_TIMEOUT ? static_cast<DWORD>(ERROR_TIMEOUT) : GetLastError();
    return false;
}
