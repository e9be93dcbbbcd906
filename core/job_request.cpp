// The process-wide job options and outcome.
#include "core/job_request.h"

JobOptions g_jobOptions{};
JobOutcome g_jobOutcome{};
