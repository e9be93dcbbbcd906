// The turn a job waits for before it uses what all instances share (a network printer, the
// user's default printer): how long it may wait, and the wait itself.
#pragma once

#include "core/transport_job.h"

// A job that may show no window must not wait for ever on a printer that never answers, nor
// on the turn of another instance's job.
constexpr int kQuietDefaultTimeout = 60; // seconds

// The longest wait for the turn: the job's time-out when it has one; a quiet job's default
// when it has none; INFINITE only for a job without a time-out that a user is watching.
DWORD TurnWaitMilliseconds(const TransportJob* job);

// Waits for the mutex within the job's limit. True once it is owned (an abandoned mutex is
// owned all the same); false with *error set: ERROR_TIMEOUT when the limit ran out, else the
// code of the failed wait.
bool WaitForJobTurn(HANDLE mutex, const TransportJob* job, DWORD* error);
