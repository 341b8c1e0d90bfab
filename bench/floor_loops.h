// The floors' loops: the calls each measurement of drives_mpi makes, and
// nothing around them. The timed references and the instructions probe share
// them, so that what the probe counts is what the references time.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

// The benchmark's own counts, sizes and file names (no MPI in there).
#include "constants/constants.h"

// A binary output open and a binary input open of the standard file streams
// reach the kernel as these two opens (glibc fopen "wb"/"rb").
inline void syscall_stream_cycles(const char* name, long cycles) {
  for (long i = 0; i < cycles; ++i) {
    int out = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    int in = open(name, O_RDONLY);
    close(in);
    close(out);
    remove(name);
  }
}

// The same cycle through the standard streams themselves: what the C++
// library's opens and closes cost is part of the stream file cycle.
inline void library_stream_cycles(std::ofstream& out, std::ifstream& in, const char* name,
                                  long cycles) {
  for (long i = 0; i < cycles; ++i) {
    out.open(name, std::ios::out | std::ios::binary);
    in.open(name, std::ios::in | std::ios::binary);
    in.close();
    out.close();
    remove(name);
  }
}

inline void descriptor_cycles(const char* name, long cycles) {
  for (long i = 0; i < cycles; ++i) {
    int descriptor = open(name, O_RDWR | O_CREAT, kCreateMode);
    close(descriptor);
    remove(name);
  }
}

inline void write_bytes(int descriptor, long count) {
  const char byte = kTestByte;
  for (long i = 0; i < count; ++i) {
    if (write(descriptor, &byte, 1) < 0) {
    }
  }
}

inline void read_bytes(int descriptor, long count) {
  char byte = 0;
  for (long i = 0; i < count; ++i) {
    if (read(descriptor, &byte, 1) < 0) {
    }
  }
}

// The reading loop ends on the read that meets the end of the file, so a
// full file costs one read more than its length.
inline void read_bytes_to_end(int descriptor) {
  char byte = 0;
  while (read(descriptor, &byte, 1) > 0) {
  }
}
