// One create-open-close-delete cycle, shared by the root's and the workers'
// file-handling tests.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "run/constants.h"

// Two stream opens (the output open creates or truncates), two closes and a
// delete. Failures leave the streams failed until their next good open.
inline void stream_file_cycle(std::ofstream& out, std::ifstream& in, const char* name) {
  out.open(name, std::ios::out | std::ios::binary);
  in.open(name, std::ios::in | std::ios::binary);
  in.close();
  out.close();
  std::remove(name);
}

// One open, one close and a delete; whatever open returned, -1 included, is
// kept in `descriptor` and closed.
inline void descriptor_file_cycle(int& descriptor, const char* name) {
  descriptor = open(name, O_RDWR | O_CREAT, kCreateMode);
  close(descriptor);
  std::remove(name);
}
