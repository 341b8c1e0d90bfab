// Result message sets: after each measurement a worker sends its rate and
// spent tables, its processor name and its rank table to the root, which
// takes them worker by worker in rank order.
#pragma once

#include <functional>
#include <string>

#include "io/failures.h"

// Worker: sends the four messages of one set to the root.
void send_result_set(const double* results, const double* spent);

// Worker, at the end of a measurement: counts it among the failed ones and
// tells what failed, if anything, then sends its set.
void send_measurement(const char* test, const Failures& failures, const double* results,
                      const double* spent);

// Root: receives the four messages of one set from `source` and keeps the
// sender's name, exactly the characters it sent, in names[source].
void receive_result_set(int source, double* results, double* spent, std::string* names);

// Root: the collection loop of one measurement. Receives each worker's set
// in rank order, adds its rate to `total`, and lets `report_worker` print
// its lines before the next worker is received.
void collect_result_sets(double* results, double* spent, std::string* names, double& total,
                         const std::function<void(int source)>& report_worker);
