// The report: every line the root prints goes through these helpers, which
// write a block whole to the console and then whole to the result file,
// ending each line with a newline and a flush.
#pragma once

#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "run/constants.h"
#include "single/failures.h"

using Lines = std::vector<std::string>;

// Joins literal pieces and values into one line in the streams' default
// number format (six significant digits, %g style, inf for an infinite rate).
template <typename... Pieces>
std::string line(const Pieces&... pieces) {
  std::ostringstream text;
  (text << ... << pieces);
  return text.str();
}

// A rate in MB: multiplied twice by 1/1024.
double megabytes(double rate);

// Writes a block to the console, then its own wording to the result file.
void report_block(const Lines& console, const Lines& file);
// Writes the same block to the console, then to the result file.
void report_same(const Lines& lines);
// Writes lines that belong to the console only.
void report_console(const Lines& lines);

// Formats the date-and-time part and the whole name of the result file.
void name_result_file(const char* processor_name, const std::tm& local_start,
                      char (&stamp)[kTimestampSize], char (&name)[kResultFileSize]);

// Names the result file from the processor name and the local time of now,
// opens it and prints the start banner.
void open_result_file();
void report_start_banner();
void report_stop_banner();
void report_single_heading();

// After a measurement in which calls failed: one line on standard error
// naming this rank, its host, the test, how many of which operation failed
// and the first error; the rank will end with kFailedOperationsStatus.
void report_failures(const char* test, const Failures& failures);

// Before the end lines, when workers ran on the root's own host: one line
// on standard error saying that the root's single-process figures, and so
// every gain, were measured under their load.
void report_shared_host();
std::string shared_host_line(int workers_here, int workers, const char* host, long processors);

// Closes the result file and prints the end lines; returns whether every
// line of the report reached the file.
bool report_end_lines();
