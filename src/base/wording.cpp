#include "base/wording.h"

#include <cstring>

namespace {

std::string tally(const Failures& failures, Operation operation) {
  return line(failures.failed[operation], " of ", failures.attempts[operation], " ",
              operation_name(operation));
}

const char* reason(int error) {
  if (error == kEndOfFileReason) return kEndOfFile;
  if (error == kNothingWritten) return kWroteNothing;
  return std::strerror(error);
}

std::string worker(int rank, const std::string& host) { return line(kThread, rank, kAt, host); }

}  // namespace

double megabytes(double rate) { return rate * kPerKibi * kPerKibi; }

Block same(const Lines& lines) { return {lines, lines}; }

Block start_banner(int ranks) {
  const std::string threads = line(kThreads, ranks);
  return {{"", kTitle, kRightsLine, kSupportLine, "", "", "", threads, ""},
          {kTitle, "", threads, ""}};
}

Lines stop_banner() {
  return {"", kStopTitle, kRightsLine, kSupportLine, "", kRankLimitReached, ""};
}

Block heading(const char* text) { return same({text, ""}); }

Block higher_heading() { return {{kHigherHeadingConsole, ""}, {kHigherHeading, ""}}; }

Lines end_lines(bool saved, const std::string& path) {
  return {"", "", line(saved ? kSaved : kNotSaved, path), "", "", kPressEnter};
}

Lines unable_to_open(const Failures& failures) {
  if (failures.failed[Operation::kOpenForReading] == 0) return {};
  return {kUnableToOpen};
}

Block file_cycle_result(double spent, double rate) {
  return {{line(kSpent, spent, kSecs), line(kCouldProcess, rate, kFilesPerSec), ""},
          {line(kSpent, spent, kSecs), line(kCouldProcessFile, rate, kFilesPerSec), ""}};
}

Block speed_result(double spent, double rate, const char* secs_suffix, int blanks) {
  Lines lines{line(kSpent, spent, secs_suffix), line(kItWas, rate / kMillion, kMillionsAccesses),
              line(kConventionally, megabytes(rate), kMBPerSec)};
  lines.resize(lines.size() + blanks);
  return same(lines);
}

// The console puts a blank between the host and the figure, the file not.
Block worker_file_lines(int rank, const std::string& host, double spent, double rate) {
  const std::string who = worker(rank, host);
  return {{line(who, kSpace, kSpent, spent, kSecs),
           line(who, kSpace, kCouldProcess, rate, kFilesPerSec)},
          {line(who, kSpent, spent, kSecs), line(who, kCouldProcess, rate, kFilesPerSec)}};
}

// Here both put the blank; the console's millions are "Access", the file's
// "Accesses".
Block worker_speed_lines(int rank, const std::string& host, double spent, double rate,
                         const char* secs_suffix) {
  const std::string who = worker(rank, host);
  const std::string time = line(who, kSpace, kSpent, spent, secs_suffix);
  const std::string mb = line(kConventionally, megabytes(rate), kMBPerSec);
  return {{time, line(who, kSpace, kItWas, rate / kMillion, kMillionsAccess), mb},
          {time, line(who, kSpace, kItWas, rate / kMillion, kMillionsAccesses), mb}};
}

// The console has one blank line more before the mean than the file.
Blocks file_summary(double total, double gain, double mean) {
  const std::string average = line(kAverageFiles, mean, kFilesPerSec);
  return {same({line(kOverallFiles, total, kFilesPerSec)}),
          same({line(kImprovements, gain, kTimes)}),
          same({""}),
          {{"", "", average}, {"", average}},
          same({""})};
}

Blocks speed_summary(const SpeedSummaryTexts& texts, const Direction& write,
                     const Direction& read) {
  Lines write_totals(texts.opening_blanks, "");
  write_totals.push_back(line(kOverallAccesses, write.total / kMillion, kToWrite));
  write_totals.push_back(line(kTotalWriting, megabytes(write.total), kMBPerSec));
  Blocks blocks{
      same(write_totals),
      same({line(kImprovements, write.total / write.reference, kTimes)}),
      same({line(kOverallAccesses, read.total / kMillion, kToRead),
            line(kTotalReading, megabytes(read.total), kMBPerSec)}),
      same({line(kImprovements, read.total / read.reference, kTimes)}),
      same({""}),
      same({"", line(texts.write_average, megabytes(write.mean), texts.write_average_unit)}),
      same({"", line(texts.read_average, megabytes(read.mean), kMBPerSecWide)})};
  if (texts.closing_blank) blocks.push_back(same({""}));
  return blocks;
}

std::string failure_line(int rank, const char* host, const char* test, const Failures& failures) {
  const Operation first = *failures.first;
  std::string text = line(kProgram, ": rank ", rank, kAt, host, ": ", test, ": ",
                          tally(failures, first), " failed (", reason(failures.first_error), ")");
  const char* joint = "; also failed: ";
  for (const OperationName& each : kOperationNames) {
    if (each.operation == first || failures.failed[each.operation] == 0) continue;
    text += joint + tally(failures, each.operation);
    joint = ", ";
  }
  return text;
}

std::string shared_host_line(int workers_here, int workers, const char* host, long processors) {
  if (workers_here == 0) return "";
  std::string text =
      line(kProgram, ": ", workers_here, kWorkersOf, workers, kRanOnThisHost, host, kTheirLoad);
  const int ranks_here = workers_here + 1;
  if (processors > 0 && ranks_here > processors) {
    text += line(kRanksHere, ranks_here, kSharedProcessors, processors, kProcessorsOnline);
  }
  return text;
}

std::string unknown_time_line() { return line(kProgram, kUnknownTime); }

std::string test_build_line(int scale) {
  if (scale == 1) return "";
  return line(kProgram, kTestBuild, scale, kNotComparable);
}
