// The names of the files a run writes.
#pragma once

#include <ctime>

#include "constants/constants.h"

// The date-and-time part and the whole name of the result file, from the
// local time of `start`. False, both left empty, when that time cannot be
// had (a clock that failed, a time past what std::tm holds): a name with a
// made-up time would pass for a true one, and each such run would overwrite
// the last.
bool name_result_file(const char* processor_name, std::time_t start, char (&stamp)[kTimestampSize],
                      char (&name)[kResultFileSize]);

// A worker's file: "data64-macos-mx-<rank> @<processor name><suffix>".
void name_rank_file(int rank, const char* processor_name, const char* suffix,
                    char (&name)[kFileNameSize]);
