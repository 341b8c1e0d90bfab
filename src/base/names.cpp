#include "base/names.h"

#include <cstdio>

#include "base/state.h"

void name_result_file(const char* processor_name, const std::tm& local_start,
                      char (&stamp)[kTimestampSize], char (&name)[kResultFileSize]) {
  std::strftime(stamp, sizeof stamp, kTimestampPattern, &local_start);
  std::snprintf(name, sizeof name, kResultFilePattern, processor_name, stamp);
}

void format_rank_file(char* name, std::size_t size, const char* suffix) {
  std::snprintf(name, size, "%s%d%s%s%s", kRankFilePrefix, iproc, kRankFileAt, proc_name, suffix);
}
