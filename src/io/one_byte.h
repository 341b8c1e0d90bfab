// One-byte passes shared by the root's and the workers' low-speed tests.
#pragma once

#include <cstdint>

#include "io/byte_stream.h"
#include "io/failures.h"

// One access each: a put then a flush, or a get then a sync. `get_byte`
// keeps the byte in `last` and tells whether one came.
void put_byte(ByteOutFile& out);
bool get_byte(ByteInFile& in, char& last);

// The passes' loops: `count` accesses each. `put_bytes` tells how many puts
// wrote nothing, `get_bytes` how many gets brought a byte.
std::int64_t put_bytes(ByteOutFile& out, std::int64_t count);
std::int64_t get_bytes(ByteInFile& in, std::int64_t count, char& last);

// Creates or truncates `name`, writes the test byte kFirstPassBytes times,
// then `second_pass` times from offset `second_pass`, flushing every byte.
void write_one_byte_passes(ByteOutFile& out, const char* name, std::int64_t second_pass,
                           Failures& failures);

// Opens `name`, reads it to its end one byte per call, then reads
// `second_pass` bytes from offset `second_pass`, syncing after every byte.
// `last` receives every byte read. Every counted access that brought no
// byte is a failure, and so is the open when it fails.
void read_one_byte_passes(ByteInFile& in, const char* name, std::int64_t second_pass, char& last,
                          Failures& failures);

// What the two passes of each kind attempt.
Failures one_byte_write_attempts(std::int64_t second_pass);
Failures one_byte_read_attempts(std::int64_t second_pass);
