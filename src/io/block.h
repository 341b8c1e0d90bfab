// Block passes shared by the root's and the workers' high-speed tests.
#pragma once

#include <cstdint>
#include <fstream>

#include "io/failures.h"

// Opens `name` for reading and returns its length. A length that cannot be
// taken (the file is missing or unreadable) counts as 0, so that nothing is
// ever allocated or moved with a negative size.
std::int64_t open_and_size(std::ifstream& in, const char* name, Failures& failures);

// The block the passes move, `size` bytes, left uninitialised: filling it
// would be timed too. Null, with the failure noted, when the memory cannot
// be had (a stale data file of absurd size, say): the caller then moves
// nothing rather than end in std::terminate.
char* allocate_block(std::int64_t size, Failures& failures);

// Reads `size` bytes into `block` from the start, then `second` bytes from
// offset `second` into the start of `block`; each read is followed by a sync.
void read_block_passes(std::ifstream& in, char* block, std::int64_t size, std::int64_t second,
                       Failures& failures);

// Creates or truncates `name`, writes the `size` bytes of `block` from the
// start, then its first `second` bytes at offset `second`; each write is
// followed by a flush.
void write_block_passes(std::ofstream& out, const char* name, const char* block, std::int64_t size,
                        std::int64_t second, Failures& failures);

// What the passes of each kind attempt: an open and two transfers, and for
// reading, the block's allocation.
Failures block_read_attempts();
Failures block_write_attempts();
