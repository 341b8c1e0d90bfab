// The report mirror: every block goes whole to the console, then whole to
// the result file, each line ended by a newline and a flush. The lines
// themselves come from wording.h.
#pragma once

#include <string>

#include "base/wording.h"

void report(const Block& block);
void report(const Blocks& blocks);
// Lines that belong to the console only.
void report_console(const Lines& lines);

// Names the result file from the processor name and the local time of now,
// and opens it; where the local time cannot be had, says so on standard
// error instead.
void open_result_file();

// On standard error: what failed in a measurement of this rank, if
// anything; and, on the root, whether workers ran on its host.
void tell_failures(const char* test, const Failures& failures);
void tell_shared_host();
// On standard error, on the root: that this build divides every count.
void tell_test_build();

// Closes the result file and prints the end lines; returns whether every
// line of the report reached the file.
bool report_end_lines();
