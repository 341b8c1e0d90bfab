#include "multi/aggregation.h"

#include "multi/exchange.h"
#include "run/state.h"

std::string worker_label(int source, const std::string* names) {
  return line(kThread, iprocs_temp[source], kAt, names[source]);
}

void report_multi_block(const char* heading, double* results, double* spent, std::string* names,
                        double& total, double& mean, double reference) {
  report_same({heading, ""});
  collect_result_sets(results, spent, names, total, [&](int source) {
    const std::string who = worker_label(source, names);
    const double seconds = spent[source];
    const double rate = results[source];
    report_block({line(who, kBlank, kSpent, seconds, kSecs),
                  line(who, kBlank, kCouldProcess, rate, kFilesPerSec)},
                 {line(who, kSpent, seconds, kSecs), line(who, kCouldProcess, rate, kFilesPerSec)});
  });
  report_same({line(kOverallFiles, total, kFilesPerSec)});
  report_same({line(kImprovements, total / reference, kTimes)});
  report_same({""});
  const int workers = nproc - 1;
  if (workers != 0) {
    mean = total / static_cast<double>(workers);
    const std::string average = line(kAverageFiles, mean, kFilesPerSec);
    report_block({"", "", average}, {"", average});
  }
  report_same({""});
}

void report_speed_heading(const char* heading) {
  report_same({kMultiHeading});
  report_same({heading, ""});
}

void collect_speed_lines(double* results, double* spent, std::string* names, double& total,
                         double& mean, const char* secs_suffix) {
  collect_result_sets(results, spent, names, total, [&](int source) {
    const std::string who = worker_label(source, names);
    const std::string time = line(who, kBlank, kSpent, spent[source], secs_suffix);
    const double millions = results[source] / kMillion;
    const std::string mb = line(kConventionally, megabytes(results[source]), kMBPerSec);
    report_block({time, line(who, kBlank, kItWas, millions, kMillionsAccess), mb},
                 {time, line(who, kBlank, kItWas, millions, kMillionsAccesses), mb});
  });
  mean = total / static_cast<double>(nproc - 1);
}

void report_speed_summary(const SpeedSummaryTexts& texts, double write_total, double read_total,
                          double write_reference, double read_reference, double write_mean,
                          double read_mean) {
  Lines write_totals(texts.opening_blanks, "");
  write_totals.push_back(line(kOverallAccesses, write_total / kMillion, kToWrite));
  write_totals.push_back(line(kTotalWriting, megabytes(write_total), kMBPerSec));
  report_same(write_totals);
  report_same({line(kImprovements, write_total / write_reference, kTimes)});
  report_same({line(kOverallAccesses, read_total / kMillion, kToRead),
               line(kTotalReading, megabytes(read_total), kMBPerSec)});
  report_same({line(kImprovements, read_total / read_reference, kTimes)});
  report_same({""});
  report_same({"", line(texts.write_average, megabytes(write_mean), texts.write_average_unit)});
  report_same({"", line(texts.read_average, megabytes(read_mean), kMBPerSecWide)});
  if (texts.closing_blank) report_same({""});
}
