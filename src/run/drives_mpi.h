// The run driver: start-up, the root's and the workers' paths, shutdown.
#pragma once

// Runs the whole benchmark in this rank and returns the process status.
int drives_mpi(int argc, char** argv);
