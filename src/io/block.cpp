#include "io/block.h"

#include <algorithm>
#include <cerrno>
#include <new>

namespace {

// One positioning of a stream: a seek, a length query, or an input sync,
// which moves the file to the stream's position. It counts as failed when
// it took a good stream to a failed one; on a stream already failed nothing
// is tried, and the earlier failure is the one that counts.
template <typename Stream, typename Move>
void position(Stream& stream, Failures& failures, Move move) {
  const bool was_good = stream.good();
  errno = 0;
  move();
  if (was_good && stream.fail()) failures.note(Operation::kSeek, errno);
}

// A short read is either the end of the file (errno untouched, so cleared
// first) or an error of the read itself.
void read_block(std::ifstream& in, char* block, std::int64_t count, Failures& failures) {
  errno = 0;
  in.read(block, count);
  if (in.gcount() != count) failures.note(Operation::kBlockRead, errno);
  position(in, failures, [&] { in.sync(); });
}

// A stream buffer that could not hand the block on leaves the stream failed
// at the write or at the flush.
void write_block(std::ofstream& out, const char* block, std::int64_t count, Failures& failures) {
  out.write(block, count);
  out.flush();
  if (out.fail()) failures.note(Operation::kBlockWrite, errno);
}

}  // namespace

std::int64_t open_and_size(std::ifstream& in, const char* name, Failures& failures) {
  in.open(name, std::ios::in | std::ios::binary);
  if (!in.is_open()) failures.note(Operation::kOpenForReading, errno);
  std::int64_t size = -1;
  position(in, failures, [&] {
    in.seekg(0, std::ios::end);
    size = in.tellg();
    if (size < 0) in.setstate(std::ios::failbit);
  });
  position(in, failures, [&] { in.seekg(0); });
  return std::max<std::int64_t>(0, size);
}

char* allocate_block(std::int64_t size, Failures& failures) {
  char* const block = new (std::nothrow) char[size];
  if (block == nullptr) failures.note(Operation::kBlockAllocation, ENOMEM);
  return block;
}

void read_block_passes(std::ifstream& in, char* block, std::int64_t size, std::int64_t second,
                       Failures& failures) {
  read_block(in, block, size, failures);
  position(in, failures, [&] { in.seekg(second); });
  read_block(in, block, second, failures);
}

void write_block_passes(std::ofstream& out, const char* name, const char* block, std::int64_t size,
                        std::int64_t second, Failures& failures) {
  out.open(name, std::ios::out | std::ios::binary);
  if (!out.is_open()) failures.note(Operation::kOpenForWriting, errno);
  position(out, failures, [&] { out.seekp(0); });
  write_block(out, block, size, failures);
  position(out, failures, [&] { out.seekp(second); });
  write_block(out, block, second, failures);
}

// Reading: the length, the start, a sync, the second offset, a sync.
Failures block_read_attempts() {
  return Failures{{Operation::kOpenForReading, 1},
                  {Operation::kBlockRead, 2},
                  {Operation::kSeek, 5},
                  {Operation::kBlockAllocation, 1}};
}

Failures block_write_attempts() {
  return Failures{
      {Operation::kOpenForWriting, 1}, {Operation::kBlockWrite, 2}, {Operation::kSeek, 2}};
}
