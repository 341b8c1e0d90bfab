/* Preloaded into every rank by bench/scale.py (LD_PRELOAD), through the MPI
 * profiling interface: what a run costs beside its timed spans, written at
 * MPI_Finalize to $DRIVES_SCALE_DIR/rank.<rank>, one "key value" a line:
 *   loaded     when the rank's program was loaded (CLOCK_REALTIME, seconds)
 *   init       when MPI_Init_thread returned
 *   finalize   when MPI_Finalize was called
 *   hwm_kib    the rank's peak resident memory then (VmHWM)
 *   received   bytes its MPI_Recv calls received
 *   sent       bytes its MPI_Send calls sent
 *   send_wait  seconds spent inside MPI_Send (a send above the MPI's eager
 *              limit waits there until the root posts its receive)
 */
#include <mpi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double loaded, init_done;
static long long received, sent;
static double send_wait;

static double now(void) {
  struct timespec at;
  clock_gettime(CLOCK_REALTIME, &at);
  return (double)at.tv_sec + (double)at.tv_nsec / 1e9;
}

__attribute__((constructor)) static void on_load(void) { loaded = now(); }

int MPI_Init_thread(int* argc, char*** argv, int required, int* provided) {
  const int result = PMPI_Init_thread(argc, argv, required, provided);
  init_done = now();
  return result;
}

static long long bytes(int count, MPI_Datatype type) {
  int size = 0;
  PMPI_Type_size(type, &size);
  return (long long)count * size;
}

int MPI_Send(const void* buffer, int count, MPI_Datatype type, int dest, int tag, MPI_Comm comm) {
  const double start = now();
  const int result = PMPI_Send(buffer, count, type, dest, tag, comm);
  send_wait += now() - start;
  sent += bytes(count, type);
  return result;
}

int MPI_Recv(void* buffer, int count, MPI_Datatype type, int source, int tag, MPI_Comm comm,
             MPI_Status* status) {
  MPI_Status own;
  MPI_Status* kept = status == MPI_STATUS_IGNORE ? &own : status;
  const int result = PMPI_Recv(buffer, count, type, source, tag, comm, kept);
  int got = 0;
  PMPI_Get_count(kept, type, &got);
  received += bytes(got, type);
  return result;
}

static long peak_kib(void) {
  FILE* stream = fopen("/proc/self/status", "r");
  char line[256];
  long kib = -1;
  if (stream == NULL) return kib;
  while (fgets(line, sizeof line, stream) != NULL) {
    if (strncmp(line, "VmHWM:", 6) == 0) kib = strtol(line + 6, NULL, 10);
  }
  fclose(stream);
  return kib;
}

int MPI_Finalize(void) {
  const double finalize = now();
  const char* dir = getenv("DRIVES_SCALE_DIR");
  int rank = 0;
  PMPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (dir != NULL) {
    char path[4096];
    snprintf(path, sizeof path, "%s/rank.%d", dir, rank);
    FILE* out = fopen(path, "w");
    if (out != NULL) {
      fprintf(out, "loaded %.6f\ninit %.6f\nfinalize %.6f\nhwm_kib %ld\n", loaded, init_done,
              finalize, peak_kib());
      fprintf(out, "received %lld\nsent %lld\nsend_wait %.6f\n", received, sent, send_wait);
      fclose(out);
    }
  }
  return PMPI_Finalize();
}
