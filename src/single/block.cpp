#include "single/block.h"

#include <algorithm>
#include <cerrno>

namespace {

// A short read is either the end of the file (errno untouched, so cleared
// first) or an error of the read itself.
void read_block(std::ifstream& in, char* block, std::int64_t count, Failures& failures) {
  errno = 0;
  in.read(block, count);
  if (in.gcount() != count) failures.note(kBlockRead, errno);
  in.sync();
}

// A stream buffer that could not hand the block on leaves the stream failed
// at the write or at the flush.
void write_block(std::ofstream& out, const char* block, std::int64_t count, Failures& failures) {
  out.write(block, count);
  out.flush();
  if (out.fail()) failures.note(kBlockWrite, errno);
}

}  // namespace

std::int64_t open_and_size(std::ifstream& in, const char* name, Failures& failures) {
  in.open(name, std::ios::in | std::ios::binary);
  if (!in.is_open()) failures.note(kOpenForReading, errno);
  in.seekg(0, std::ios::end);
  const std::int64_t size = std::max<std::int64_t>(0, in.tellg());
  in.seekg(0);
  return size;
}

void read_block_passes(std::ifstream& in, char* block, std::int64_t size, std::int64_t second,
                       Failures& failures) {
  read_block(in, block, size, failures);
  in.seekg(second);
  read_block(in, block, second, failures);
}

void write_block_passes(std::ofstream& out, const char* name, const char* block, std::int64_t size,
                        std::int64_t second, Failures& failures) {
  out.open(name, std::ios::out | std::ios::binary);
  if (!out.is_open()) failures.note(kOpenForWriting, errno);
  out.seekp(0);
  write_block(out, block, size, failures);
  out.seekp(second);
  write_block(out, block, second, failures);
}

Failures block_read_attempts() { return Failures{{kOpenForReading, 1}, {kBlockRead, 2}}; }

Failures block_write_attempts() { return Failures{{kOpenForWriting, 1}, {kBlockWrite, 2}}; }
