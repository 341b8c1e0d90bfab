#include "multi/aggregation.h"

#include "base/report.h"
#include "base/state.h"
#include "multi/exchange.h"

namespace {

// Where one speed measurement's sets land on the root, the total and mean
// it keeps, the root's own rate its gain divides by, and how its workers'
// time lines end.
struct SpeedCollection {
  double* results;
  double* spent;
  std::string* names;
  double& total;
  double& mean;
  const double& reference;
  const char* secs_suffix;
  bool write;
};

// In the order of SpeedSet. Collecting a set writes its total and mean
// through the table's references.
SpeedCollection speed_sets[] = {
    {results_0_temp, spent_0_temp, procname3_temp, results_overall_0, results_mean0, result_single0,
     kSecsToWrite, true},
    {results1_temp, spent1_temp, procname4_temp, results_overall1, results_mean1, result_single2,
     kSecsToReadMulti, false},
    {results0_temp, spent0_temp, procname5_temp, results_overall0, results_mean2, result_single,
     kSecsToReadMulti, false},
    {results2_temp, spent2_temp, procname6_temp, results_overall2, results_mean3, result_single1,
     kSecsToWrite, true},
};

// The mean divides by the workers, the root not among them.
double per_worker(double total) { return total / static_cast<double>(nproc - 1); }

Direction collect_speed_lines(SpeedCollection& set) {
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

void report_speed_test(const char* heading_text, SpeedSet first, SpeedSet second,
                       const SpeedSummaryTexts& texts) {
  report({same({kMultiHeading}), heading(heading_text)});
  const Direction sent_first = collect_speed_lines(speed_sets[first]);
  const Direction sent_second = collect_speed_lines(speed_sets[second]);
  report(speed_sets[first].write ? speed_summary(texts, sent_first, sent_second)
                                 : speed_summary(texts, sent_second, sent_first));
}
