#include "io/one_byte.h"

#include <algorithm>

#include "constants/constants.h"

void put_byte(ByteOutFile& out) {
  out.put(kTestByte);
  out.flush();
}

namespace {

// A get that keeps the byte in `last`: whether one came.
bool take_byte(ByteInFile& in, char& last) {
  const int got = in.get();
  const bool came = got != ByteInFile::traits_type::eof();
  if (came) last = static_cast<char>(got);
  return came;
}

}  // namespace

bool get_byte(ByteInFile& in, char& last) {
  const bool came = take_byte(in, last);
  in.sync();
  return came;
}

// The loops are flattened: every access is inlined into them, so that
// between two system calls there run only the streams' own few checks, on
// every compiler (without the attribute, clang calls each access). Each
// loop makes its first access before it, so that in its body a flush is
// followed by the next put, a sync by the next get, with nothing between
// them that writes to the stream: the compiler then makes the checks the two
// share once, which it does not do across the loop's back edge. The get
// loops keep the byte in a local and store it through `last` once, rather
// than spend an instruction per byte.

// A failed put or flush leaves the stream failed, as does a failed open, so
// the stream's own state counts the puts that wrote nothing.
[[gnu::flatten]] std::int64_t put_bytes(ByteOutFile& out, std::int64_t count) {
  if (count <= 0) return 0;
  std::int64_t failed = 0;
  out.put(kTestByte);
  for (std::int64_t left = count - 1; left != 0; --left) {
    out.flush();
    if (out.fail()) ++failed;
    out.put(kTestByte);
  }
  out.flush();
  if (out.fail()) ++failed;
  return failed;
}

[[gnu::flatten]] std::int64_t get_bytes(ByteInFile& in, std::int64_t count, char& last) {
  if (count <= 0) return 0;
  char latest = last;
  std::int64_t missed = !take_byte(in, latest);
  for (std::int64_t left = count - 1; left != 0; --left) {
    in.sync();
    if (!take_byte(in, latest)) ++missed;
  }
  in.sync();
  last = latest;
  return count - missed;
}

namespace {

// Reads until the stream fails: at the end of the file, or at a failure
// that may never reach it (a file that cannot be positioned leaves the
// stream failed short of its end, and gets would return nothing for ever).
// A get that brings no byte leaves it failed, and one that brings a byte
// leaves it good, so that it then fails only if the sync does.
[[gnu::flatten]] std::int64_t get_bytes_to_end(ByteInFile& in, char& last) {
  if (!in.good()) return 0;
  char latest = last;
  std::int64_t got = 0;
  if (take_byte(in, latest)) {
    do {
      ++got;
      if (in.sync() != 0) {
        last = latest;
        return got;
      }
    } while (take_byte(in, latest));
  }
  in.sync();
  last = latest;
  return got;
}

}  // namespace

void write_one_byte_passes(ByteOutFile& out, const char* name, std::int64_t second_pass,
                           Failures& failures) {
  out.open(name, std::ios::out | std::ios::binary);
  if (!out.is_open()) failures.note(Operation::kOpenForWriting, out.error());
  std::int64_t failed = put_bytes(out, kFirstPassBytes);
  out.seekp(0);
  out.seekp(second_pass);
  failed += put_bytes(out, second_pass);
  failures.note(Operation::kByteWrite, out.error(), failed);
}

void read_one_byte_passes(ByteInFile& in, const char* name, std::int64_t second_pass, char& last,
                          Failures& failures) {
  in.open(name, std::ios::in | std::ios::binary);
  in.seekg(0);
  std::int64_t first_got = 0;
  if (!in.is_open()) {
    failures.note(Operation::kOpenForReading, in.error());
  } else {
    first_got = get_bytes_to_end(in, last);
  }
  in.clear();
  in.seekg(0);
  in.seekg(second_pass);
  const std::int64_t second_got = get_bytes(in, second_pass, last);
  // The first pass reads to the end of whatever file is there; the bytes a
  // shorter file lacks were counted but never read.
  const std::int64_t missed = std::max<std::int64_t>(0, kFirstPassBytes - first_got);
  failures.note(Operation::kByteRead, in.error(), missed + second_pass - second_got);
}

Failures one_byte_write_attempts(std::int64_t second_pass) {
  return Failures{{Operation::kOpenForWriting, 1},
                  {Operation::kByteWrite, kFirstPassBytes + second_pass}};
}

Failures one_byte_read_attempts(std::int64_t second_pass) {
  return Failures{{Operation::kOpenForReading, 1},
                  {Operation::kByteRead, kFirstPassBytes + second_pass}};
}
