#include "base/names.h"

#include <cstdio>

bool name_result_file(const char* processor_name, std::time_t start, char (&stamp)[kTimestampSize],
                      char (&name)[kResultFileSize]) {
  stamp[0] = name[0] = '\0';
  std::tm local_start = {};
  if (start == static_cast<std::time_t>(-1) || localtime_r(&start, &local_start) == nullptr) {
    return false;
  }
  std::strftime(stamp, sizeof stamp, kTimestampPattern, &local_start);
  std::snprintf(name, sizeof name, kResultFilePattern, processor_name, stamp);
  return true;
}

void name_rank_file(int rank, const char* processor_name, const char* suffix,
                    char (&name)[kFileNameSize]) {
  std::snprintf(name, sizeof name, "%s%d%s%s%s", kRankFilePrefix, rank, kAt, processor_name,
                suffix);
}
