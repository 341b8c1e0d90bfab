// The names of the files a run writes.
#pragma once

#include <cstddef>
#include <ctime>

#include "constants/constants.h"

// The date-and-time part and the whole name of the result file.
void name_result_file(const char* processor_name, const std::tm& local_start,
                      char (&stamp)[kTimestampSize], char (&name)[kResultFileSize]);

// A worker's file: "data64-macos-mx-<rank> @<processor name><suffix>".
void format_rank_file(char* name, std::size_t size, const char* suffix);
