// The end of every timed span, the root's and the workers' alike.
#pragma once

#include <mpi.h>

// Takes the clock first, then the seconds since `start` and the rate of
// `count` over them; with no guard, a span of 0 seconds gives inf.
inline void close_span(double start, double& end, double& spent, double& rate, double count) {
  end = MPI_Wtime();
  spent = end - start;
  rate = count / spent;
}
