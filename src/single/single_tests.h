// The tests the root runs alone, one after the other.
#pragma once

#include <string>

#include "run/report.h"

void file_handling_test();
void low_speed_test();
void high_speed_test();

// The three lines of a one-byte or block phase: time, millions and MB.
Lines speed_lines(double spent, double rate, const char* secs_suffix);
