// The names of the files a run writes.
#pragma once

#include <ctime>

#include "constants/constants.h"

// The date-and-time part and the whole name of the result file.
void name_result_file(const char* processor_name, const std::tm& local_start,
                      char (&stamp)[kTimestampSize], char (&name)[kResultFileSize]);

// A worker's file: "data64-macos-mx-<rank> @<processor name><suffix>".
void name_rank_file(int rank, const char* processor_name, const char* suffix,
                    char (&name)[kFileNameSize]);
