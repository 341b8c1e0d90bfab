#include "run/report.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <ostream>

#include "run/state.h"

namespace {

void write_lines(std::ostream& stream, const Lines& lines) {
  for (const std::string& text : lines) stream << text << std::endl;
}

}  // namespace

double megabytes(double rate) { return rate * kPerKibi * kPerKibi; }

void report_block(const Lines& console, const Lines& file) {
  write_lines(std::cout, console);
  write_lines(fout, file);
}

void report_same(const Lines& lines) { report_block(lines, lines); }

void report_console(const Lines& lines) { write_lines(std::cout, lines); }

void name_result_file(const char* processor_name, const std::tm& local_start,
                      char (&stamp)[kTimestampSize], char (&name)[kResultFileSize]) {
  std::strftime(stamp, sizeof stamp, kTimestampPattern, &local_start);
  std::snprintf(name, sizeof name, kResultFilePattern, processor_name, stamp);
}

void open_result_file() {
  const std::time_t now = std::time(nullptr);
  std::tm local_start = {};
  localtime_r(&now, &local_start);
  name_result_file(proc_name, local_start, timestamp, resultfile);
  fout.open(resultfile, std::ios::out);
}

void report_start_banner() {
  const std::string threads = line(kThreads, nproc);
  report_block({"", kTitle, kRightsLine, kSupportLine, "", "", "", threads, ""},
               {kTitle, "", threads, ""});
}

void report_stop_banner() {
  report_console({"", kStopTitle, kRightsLine, kSupportLine, "", kRankLimitReached, ""});
}

void report_single_heading() { report_same({kSingleHeading, ""}); }

namespace {

std::string tally(const Failures& failures, int operation) {
  return line(failures.failed[operation], " of ", failures.attempts[operation], " ",
              kOperationNames[operation]);
}

}  // namespace

void report_failures(const char* test, const Failures& failures) {
  if (!failures.any()) return;
  ++failed_measurements;
  const int first = failures.first;
  const char* error = failures.first_error ? std::strerror(failures.first_error) : kEndOfFile;
  std::string text = line(kProgram, ": rank ", iproc, " @", proc_name, ": ", test, ": ",
                          tally(failures, first), " failed (", error, ")");
  const char* joint = "; also failed: ";
  for (int operation = 0; operation < kOperationCount; ++operation) {
    if (operation == first || failures.failed[operation] == 0) continue;
    text += joint + tally(failures, operation);
    joint = ", ";
  }
  std::cerr << text << std::endl;
}

std::string shared_host_line(int workers_here, int workers, const char* host, long processors) {
  if (workers_here == 0) return "";
  std::string text = line(kProgram, ": ", workers_here, kWorkersOf, workers, kRanOnThisHost, host,
                          kTheirLoad);
  const int ranks_here = workers_here + 1;
  if (processors > 0 && ranks_here > processors) {
    text += line(kRanksHere, ranks_here, kSharedProcessors, processors, kProcessorsOnline);
  }
  return text;
}

// The workers' names come from their first result set; nothing more is
// asked of them.
void report_shared_host() {
  int workers_here = 0;
  for (int source = 1; source < nproc; ++source) workers_here += procname1_temp[source] == proc_name;
  const std::string text =
      shared_host_line(workers_here, nproc - 1, proc_name, sysconf(_SC_NPROCESSORS_ONLN));
  if (!text.empty()) std::cerr << text << std::endl;
}

bool report_end_lines() {
  // The file gets nothing after the last test block, so it is closed first:
  // only then is it known whether everything reached it.
  const bool written = fout.is_open() && fout.good();
  fout.close();
  const bool saved = written && !fout.fail();
  filepath = newbuffer + "/" + resultfile;
  report_console({"", "", line(saved ? kSaved : kNotSaved, filepath), "", "", kPressEnter});
  return saved;
}
