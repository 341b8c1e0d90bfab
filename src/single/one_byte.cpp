#include "single/one_byte.h"

#include "run/constants.h"
#include "run/report.h"

namespace {

void put_bytes(std::ofstream& out, std::int64_t count) {
  for (std::int64_t i = 0; i < count; ++i) {
    out.put(kTestByte);
    out.flush();
  }
}

void get_byte(std::ifstream& in, char& last) {
  const int got = in.get();
  if (got != std::ifstream::traits_type::eof()) last = static_cast<char>(got);
  in.sync();
}

}  // namespace

void write_one_byte_passes(std::ofstream& out, const char* name, std::int64_t second_pass) {
  out.open(name, std::ios::out | std::ios::binary);
  put_bytes(out, kFirstPassBytes);
  out.seekp(0);
  out.seekp(second_pass);
  put_bytes(out, second_pass);
}

void read_one_byte_passes(std::ifstream& in, const char* name, std::int64_t second_pass,
                          char& last) {
  // A buffered input stream fetches 8 KiB per read call and, since sync
  // keeps buffered input in this library, serves the next gets from memory:
  // the figure would be a memory-copy speed. Without a buffer every get is
  // one read call asking the system for one byte. The buffer can only be
  // switched off while the stream is closed.
  in.rdbuf()->pubsetbuf(nullptr, 0);
  in.open(name, std::ios::in | std::ios::binary);
  in.seekg(0);
  if (!in.is_open()) {
    report_console({kUnableToOpen});
  } else {
    while (!in.eof()) get_byte(in, last);
  }
  in.clear();
  in.seekg(0);
  in.seekg(second_pass);
  for (std::int64_t i = 0; i < second_pass; ++i) get_byte(in, last);
}
