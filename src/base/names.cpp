#include "base/names.h"

#include <cstdio>

void name_result_file(const char* processor_name, const std::tm& local_start,
                      char (&stamp)[kTimestampSize], char (&name)[kResultFileSize]) {
  std::strftime(stamp, sizeof stamp, kTimestampPattern, &local_start);
  std::snprintf(name, sizeof name, kResultFilePattern, processor_name, stamp);
}

void name_rank_file(int rank, const char* processor_name, const char* suffix,
                    char (&name)[kFileNameSize]) {
  std::snprintf(name, sizeof name, "%s%d%s%s%s", kRankFilePrefix, rank, kAt, processor_name,
                suffix);
}
