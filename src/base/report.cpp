#include "base/report.h"

#include <unistd.h>

#include <iostream>
#include <ostream>

#include "base/names.h"
#include "base/state.h"

namespace {

void write_lines(std::ostream& stream, const Lines& lines) {
  for (const std::string& text : lines) stream << text << std::endl;
}

// A line on standard error leaves in one write: the launcher passes each
// write on as it comes, and between the halves of a line written in two
// could stand a line of the report.
void tell(const std::string& text) { std::cerr << text + '\n' << std::flush; }

}  // namespace

void report(const Block& block) {
  write_lines(std::cout, block.console);
  write_lines(fout, block.file);
}

void report(const Blocks& blocks) {
  for (const Block& block : blocks) report(block);
}

void report_console(const Lines& lines) { write_lines(std::cout, lines); }

// Without a name, the file stays closed: every block still reaches the
// console, and the end lines say that nothing was saved.
void open_result_file() {
  if (name_result_file(proc_name, std::time(nullptr), timestamp, resultfile)) {
    fout.open(resultfile, std::ios::out);
  } else {
    tell(unknown_time_line());
  }
}

void tell_failures(const char* test, const Failures& failures) {
  if (failures.any()) tell(failure_line(iproc, proc_name, test, failures));
}

// The workers' names came with their first result set; nothing more is
// asked of them.
void tell_shared_host() {
  int workers_here = 0;
  for (int source = 1; source < nproc; ++source)
    workers_here += procname1_temp[source] == proc_name;
  const std::string text =
      shared_host_line(workers_here, nproc - 1, proc_name, sysconf(_SC_NPROCESSORS_ONLN));
  if (!text.empty()) tell(text);
}

void tell_test_build() {
  const std::string text = test_build_line(kTestScale);
  if (!text.empty()) tell(text);
}

bool report_end_lines() {
  // The file gets nothing after the last test block, so it is closed first:
  // only then is it known whether everything reached it.
  const bool written = fout.is_open() && fout.good();
  fout.close();
  const bool saved = written && !fout.fail();
  filepath = newbuffer + "/" + resultfile;
  report_console(end_lines(saved, filepath));
  return saved;
}
