// Runs every access path of drives_mpi, and of its floors, in the current
// directory for callgrind to count: each path COUNT times to warm up (lazy
// binding, the allocator's first requests), then COUNT times, then 2 COUNT
// times, with a call of instructions_boundary() after each run. Under
// `callgrind --dump-before=instructions_boundary` every run is a part of its
// own, and the last two parts' difference over COUNT is what one access
// costs in user space, free of start-up. Prints the paths' names in order.
//
// The program's paths are the functions of drives_core that its passes
// call; the floors are the loops the timed references run.
//
// Usage: drives_instructions COUNT

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "floor_loops.h"
#include "io/file_cycle.h"
#include "io/one_byte.h"

namespace {

const char* const kProbeFile = "drives-instructions.tmp";

void program_byte_write(long count) {
  ByteOutFile out;
  out.open(kProbeFile, std::ios::out | std::ios::binary);
  put_bytes(out, count);
}

void floor_byte_write(long count) {
  const int descriptor = open(kProbeFile, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  write_bytes(descriptor, count);
  close(descriptor);
}

// A file of `count` bytes, made at a cost that does not grow with it.
void make_file(long count) {
  const int descriptor = open(kProbeFile, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (ftruncate(descriptor, count) != 0) std::perror("drives_instructions: ftruncate");
  close(descriptor);
}

void program_byte_read(long count) {
  make_file(count);
  ByteInFile in;
  in.open(kProbeFile, std::ios::in | std::ios::binary);
  char last = 0;
  get_bytes(in, count, last);
}

void floor_byte_read(long count) {
  make_file(count);
  const int descriptor = open(kProbeFile, O_RDONLY);
  read_bytes(descriptor, count);
  close(descriptor);
}

void program_stream_cycle(long count) {
  Failures failures = stream_cycle_attempts();
  std::ofstream out;
  std::ifstream in;
  for (long cycle = 0; cycle < count; ++cycle) stream_file_cycle(out, in, kProbeFile, failures);
}

void floor_stream_cycle(long count) { syscall_stream_cycles(kProbeFile, count); }

void floor_library_stream_cycle(long count) {
  std::ofstream out;
  std::ifstream in;
  library_stream_cycles(out, in, kProbeFile, count);
}

void program_descriptor_cycle(long count) {
  Failures failures = descriptor_cycle_attempts();
  int handle = -1;
  for (long cycle = 0; cycle < count; ++cycle) descriptor_file_cycle(handle, kProbeFile, failures);
}

void floor_descriptor_cycle(long count) { descriptor_cycles(kProbeFile, count); }

struct Path {
  const char* name;
  void (*run)(long count);
};

const Path kPaths[] = {
    {"byte_write", program_byte_write},
    {"byte_write_floor", floor_byte_write},
    {"byte_read", program_byte_read},
    {"byte_read_floor", floor_byte_read},
    {"stream_cycle", program_stream_cycle},
    {"stream_cycle_floor", floor_stream_cycle},
    {"stream_cycle_streams_floor", floor_library_stream_cycle},
    {"descriptor_cycle", program_descriptor_cycle},
    {"descriptor_cycle_floor", floor_descriptor_cycle},
};

// An MPI rank has its runtime's helper threads, and the C library takes its
// multi-threaded paths there; a thread parked until the end does the same
// here, for the program's paths as for the floors.
class ParkedThread {
 public:
  ParkedThread() : thread_([this] { park(); }) {}
  ~ParkedThread() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

 private:
  void park() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return done_; });
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace

// Where callgrind cuts its counts: kept out of line and never merged away.
extern "C" __attribute__((noinline)) void instructions_boundary() { __asm__ volatile(""); }

int main(int argc, char** argv) {
  const long count = argc == 2 ? std::atol(argv[1]) : 0;
  if (count <= 0) {
    std::fputs("usage: drives_instructions COUNT\n", stderr);
    return 2;
  }
  ParkedThread parked;
  for (const Path& path : kPaths) {
    for (const long runs : {count, count, 2 * count}) {
      path.run(runs);
      instructions_boundary();
    }
    std::printf("%s\n", path.name);
  }
  std::remove(kProbeFile);
  return 0;
}
