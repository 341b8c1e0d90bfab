// One-byte passes shared by the root's and the workers' low-speed tests.
#pragma once

#include <cstdint>
#include <fstream>

// Creates or truncates `name`, writes the test byte kFirstPassBytes times,
// then `second_pass` times from offset `second_pass`, flushing every byte.
void write_one_byte_passes(std::ofstream& out, const char* name, std::int64_t second_pass);

// Opens `name` without a stream buffer, reads it to its end one byte per
// call, then reads `second_pass` bytes from offset `second_pass`, syncing
// after every byte. Prints "Unable to open file" when it cannot be opened.
// `last` receives every byte read.
void read_one_byte_passes(std::ifstream& in, const char* name, std::int64_t second_pass,
                          char& last);
