/* Preloaded into the ranks of an end-to-end test (LD_PRELOAD) to reach the
 * places a real run cannot be steered to, through the MPI profiling
 * interface:
 *   DRIVES_SHIM_THREAD_LEVEL=n  MPI_Init_thread reports level n
 *   DRIVES_SHIM_COMM_SIZE=n     MPI_Comm_size reports n ranks
 *   DRIVES_SHIM_IO_DIR=dir      MPI_Finalize first copies /proc/self/io to
 *                               dir/io.<rank>
 */
#include <mpi.h>
#include <stdio.h>
#include <stdlib.h>

static void env_int(const char* name, int* value) {
  const char* text = getenv(name);
  if (text != NULL && *text != '\0') *value = atoi(text);
}

int MPI_Init_thread(int* argc, char*** argv, int required, int* provided) {
  const int result = PMPI_Init_thread(argc, argv, required, provided);
  env_int("DRIVES_SHIM_THREAD_LEVEL", provided);
  return result;
}

int MPI_Comm_size(MPI_Comm comm, int* size) {
  const int result = PMPI_Comm_size(comm, size);
  if (comm == MPI_COMM_WORLD) env_int("DRIVES_SHIM_COMM_SIZE", size);
  return result;
}

static void save_io_counts(void) {
  const char* dir = getenv("DRIVES_SHIM_IO_DIR");
  if (dir == NULL) return;
  int rank = 0;
  PMPI_Comm_rank(MPI_COMM_WORLD, &rank);
  char path[4096];
  snprintf(path, sizeof path, "%s/io.%d", dir, rank);
  FILE* in = fopen("/proc/self/io", "r");
  FILE* out = fopen(path, "w");
  if (in != NULL && out != NULL) {
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, in)) > 0) fwrite(chunk, 1, got, out);
  }
  if (in != NULL) fclose(in);
  if (out != NULL) fclose(out);
}

int MPI_Finalize(void) {
  save_io_counts();
  return PMPI_Finalize();
}
