#include "multi/aggregation.h"

#include "multi/exchange.h"
#include "run/report.h"
#include "run/state.h"

namespace {

// The mean divides by the workers, the root not among them.
double per_worker(double total) { return total / static_cast<double>(nproc - 1); }

Direction collect_speed_lines(const SpeedCollection& set) {
  collect_result_sets(set.results, set.spent, set.names, set.total, [&](int source) {
    report(worker_speed_lines(iprocs_temp[source], set.names[source], set.spent[source],
                              set.results[source], set.secs_suffix));
  });
  set.mean = per_worker(set.total);
  return {set.total, set.mean, set.reference};
}

}  // namespace

void report_multi_block(const char* heading_text, double* results, double* spent,
                        std::string* names, double& total, double& mean, double reference) {
  report(heading(heading_text));
  collect_result_sets(results, spent, names, total, [&](int source) {
    report(worker_file_lines(iprocs_temp[source], names[source], spent[source], results[source]));
  });
  mean = per_worker(total);
  report(file_summary(total, total / reference, mean));
}

void report_speed_test(const char* heading_text, const SpeedCollection& first,
                       const SpeedCollection& second, bool write_first,
                       const SpeedSummaryTexts& texts) {
  report({same({kMultiHeading}), heading(heading_text)});
  const Direction sent_first = collect_speed_lines(first);
  const Direction sent_second = collect_speed_lines(second);
  report(write_first ? speed_summary(texts, sent_first, sent_second)
                     : speed_summary(texts, sent_second, sent_first));
}
