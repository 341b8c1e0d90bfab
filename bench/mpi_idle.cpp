// The MPI runtime alone, started the way drives_mpi starts it and parked the
// way drives_mpi parks at the end, so that its resident memory can be taken
// away from drives_mpi's own to see what the program itself costs.

#include <mpi.h>

#include <cstdio>

int main(int argc, char** argv) {
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_MULTIPLE, &provided);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rank == 0) {
    std::puts("Press Enter to Exit.");
    std::fflush(stdout);
    std::getchar();
  }
  MPI_Finalize();
  return 0;
}
