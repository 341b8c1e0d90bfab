#include "single/one_byte.h"

#include <algorithm>

#include "run/constants.h"
#include "run/report.h"

void put_byte(ByteOutFile& out) {
  out.put(kTestByte);
  out.flush();
}

bool get_byte(ByteInFile& in, char& last) {
  const int got = in.get();
  const bool came = got != ByteInFile::traits_type::eof();
  if (came) last = static_cast<char>(got);
  in.sync();
  return came;
}

// The loops are flattened: every access is inlined into them, so that
// between two system calls there run only the streams' own few checks, on
// every compiler (clang, left alone, calls each access).

// A failed put or flush leaves the stream failed, as does a failed open, so
// the stream's own state counts the puts that wrote nothing.
[[gnu::flatten]] std::int64_t put_bytes(ByteOutFile& out, std::int64_t count) {
  std::int64_t failed = 0;
  for (std::int64_t i = 0; i < count; ++i) {
    put_byte(out);
    failed += out.fail();
  }
  return failed;
}

[[gnu::flatten]] std::int64_t get_bytes(ByteInFile& in, std::int64_t count, char& last) {
  std::int64_t got = 0;
  for (std::int64_t i = 0; i < count; ++i) got += get_byte(in, last);
  return got;
}

namespace {

// Reads until the stream fails: at the end of the file, or at a failure
// that may never reach it (a file that cannot be positioned leaves the
// stream failed short of its end, and gets would return nothing for ever).
[[gnu::flatten]] std::int64_t get_bytes_to_end(ByteInFile& in, char& last) {
  std::int64_t got = 0;
  while (in.good()) got += get_byte(in, last);
  return got;
}

}  // namespace

void write_one_byte_passes(ByteOutFile& out, const char* name, std::int64_t second_pass,
                           Failures& failures) {
  out.open(name, std::ios::out | std::ios::binary);
  if (!out.is_open()) failures.note(kOpenForWriting, out.error());
  std::int64_t failed = put_bytes(out, kFirstPassBytes);
  out.seekp(0);
  out.seekp(second_pass);
  failed += put_bytes(out, second_pass);
  failures.note(kByteWrite, out.error(), failed);
}

void read_one_byte_passes(ByteInFile& in, const char* name, std::int64_t second_pass, char& last,
                          Failures& failures) {
  in.open(name, std::ios::in | std::ios::binary);
  in.seekg(0);
  std::int64_t first_got = 0;
  if (!in.is_open()) {
    report_console(unable_to_open());
    failures.note(kOpenForReading, in.error());
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
  failures.note(kByteRead, in.error(), missed + second_pass - second_got);
}

Failures one_byte_write_attempts(std::int64_t second_pass) {
  return Failures{{kOpenForWriting, 1}, {kByteWrite, kFirstPassBytes + second_pass}};
}

Failures one_byte_read_attempts(std::int64_t second_pass) {
  return Failures{{kOpenForReading, 1}, {kByteRead, kFirstPassBytes + second_pass}};
}
