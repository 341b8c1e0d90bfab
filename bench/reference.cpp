// Floor for the single-process measurements of drives_mpi: the same system
// calls, in the same order, on the same files, with nothing around them.
// Whatever drives_mpi spends beyond these figures is its own overhead. The
// stream file cycle has a second floor, the standard streams' own opens and
// closes in a bare loop ("stream_cycle_streams"): drives_mpi times the C++
// library's work there on purpose, and the first floor shows what it costs.
//
// Usage: drives_reference [DIR], or drives_reference_mpi [DIR] under an MPI
// launcher. Prints one line per figure: "<name> <rate> <spent-seconds>".

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#ifdef DRIVES_REFERENCE_MPI
#include <mpi.h>
#endif

#include "floor_loops.h"

namespace {

const char* const kTmp = kSingleTempFile;
const char* const kData = kSingleBlockFile;

// MPI_Wtime of Open MPI 4.1 on Linux reads CLOCK_MONOTONIC; using the same
// clock keeps both sides subject to the same resolution and slew.
double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void report(const char* name, double rate, double spent) {
  // Printed between spans, never inside one, as drives_mpi does its report.
  std::printf("%s %.9g %.9g\n", name, rate, spent);
  std::fflush(stdout);
}

// A short transfer is legal on any file system; the stream layer retries it,
// so the floor must too, or it would be timing less work.  A block write
// through the stream layer reaches the kernel as a writev of the (empty)
// stream buffer and the caller's block, hence writev here.
void gather_all(int fd, const char* p, long n) {
  while (n > 0) {
    iovec iov[2] = {{nullptr, 0}, {const_cast<char*>(p), static_cast<size_t>(n)}};
    ssize_t w = writev(fd, iov, 2);
    if (w <= 0) {
      if (w < 0 && errno == EINTR) continue;
      return;
    }
    p += w;
    n -= w;
  }
}

void read_all(int fd, char* p, long n) {
  while (n > 0) {
    ssize_t r = read(fd, p, static_cast<size_t>(n));
    if (r <= 0) {
      if (r < 0 && errno == EINTR) continue;
      return;
    }
    p += r;
    n -= r;
  }
}

// Times `cycles` file cycles of one kind and reports them under `name`.
template <typename Cycles>
void time_cycles(const char* name, Cycles cycles) {
  double start = now();
  cycles(static_cast<long>(kFileCycles));
  double spent = now() - start;
  report(name, static_cast<double>(kFileCycles) / spent, spent);
}

void stream_cycle() {
  time_cycles("stream_cycle", [](long cycles) { syscall_stream_cycles(kTmp, cycles); });
}

// drives_mpi's streams live through the whole run, so these do too.
std::ofstream g_out_stream;
std::ifstream g_in_stream;

void library_stream_cycle() {
  time_cycles("stream_cycle_streams",
              [](long cycles) { library_stream_cycles(g_out_stream, g_in_stream, kTmp, cycles); });
}

void descriptor_cycle() {
  time_cycles("descriptor_cycle", [](long cycles) { descriptor_cycles(kTmp, cycles); });
}

// drives_mpi keeps its write stream open through the read phases; keeping
// the descriptor open too means the same number of open files on the inode.
int g_write_fd = -1;

void byte_write() {
  double start = now();
  int fd = open(kTmp, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  write_bytes(fd, kFirstPassBytes);
  lseek(fd, 0, SEEK_SET);
  lseek(fd, kSecondPassBytes, SEEK_SET);
  write_bytes(fd, kSecondPassBytes);
  double spent = now() - start;
  g_write_fd = fd;
  report("low_write", kLowAccesses / spent, spent);
}

void byte_read() {
  double start = now();
  int fd = open(kTmp, O_RDONLY);
  lseek(fd, 0, SEEK_SET);
  read_bytes_to_end(fd);
  lseek(fd, 0, SEEK_SET);
  lseek(fd, kSecondPassBytes, SEEK_SET);
  read_bytes(fd, kSecondPassBytes);
  double spent = now() - start;
  close(fd);
  report("low_read", kLowAccesses / spent, spent);
}

// Kept until exit like drives_mpi's block, so that page release is not
// charged to either side.
char* g_block = nullptr;
long g_size = 0;
// drives_mpi leaves its block streams open until its single phase ends.
int g_read_fd = -1;

void block_read() {
  double start = now();
  int fd = open(kTmp, O_RDONLY);
  lseek(fd, 0, SEEK_END);
  // The stream layer asks for the position with a second lseek after
  // moving to the end; the floor pays for the same call.
  long size = static_cast<long>(lseek(fd, 0, SEEK_CUR));
  lseek(fd, 0, SEEK_SET);
  if (size < 0) size = 0;
  // malloc, not calloc: the block is never cleared, and clearing 16 MiB
  // would be timed work the measurement does not count.
  char* block = static_cast<char*>(std::malloc(size > 0 ? static_cast<size_t>(size) : 1));
  read_all(fd, block, size);
  long h = size / 2;
  lseek(fd, h, SEEK_SET);
  read_all(fd, block, h);
  double spent = now() - start;
  g_block = block;
  g_size = size;
  g_read_fd = fd;
  report("high_read", static_cast<double>(size) * kBlockFactor / spent, spent);
}

void block_write() {
  long size = g_size;
  long h = size / 2;
  double start = now();
  int fd = open(kData, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  lseek(fd, 0, SEEK_SET);
  gather_all(fd, g_block, size);
  lseek(fd, h, SEEK_SET);
  gather_all(fd, g_block, h);
  double spent = now() - start;
  report("high_write", static_cast<double>(size) * kBlockFactor / spent, spent);
  close(g_read_fd);
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef DRIVES_REFERENCE_MPI
  // Started as the benchmark starts it, so that the calls pay what an MPI
  // rank pays for them; the runtime's arguments are its own.
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_MULTIPLE, &provided);
#endif
  if (argc > 1 && chdir(argv[1]) != 0) {
    std::fprintf(stderr, "drives_reference: cannot enter %s: %s\n", argv[1],
                 std::strerror(errno));
    return 2;
  }
  stream_cycle();
  library_stream_cycle();
  descriptor_cycle();
  byte_write();
  byte_read();
  block_read();
  block_write();
  close(g_write_fd);
  std::free(g_block);
#ifdef DRIVES_REFERENCE_MPI
  MPI_Finalize();
#endif
  return 0;
}
