// The result file and the job log.
#include "launcher/job_records.h"

void RecordFinishedJob(const FinishedJob* /*job*/, const char* /*resultPath*/) {}
