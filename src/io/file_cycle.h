// One create-open-close-delete cycle, shared by the root's and the workers'
// file-handling tests.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "constants/constants.h"
#include "io/failures.h"

// Two stream opens (the output open creates or truncates), two closes and a
// delete. Failures leave the streams failed until their next good open. A
// close counts as failed only when its open had worked: closing what never
// opened is the open's failure, already counted.
inline void stream_file_cycle(std::ofstream& out, std::ifstream& in, const char* name,
                              Failures& failures) {
  out.open(name, std::ios::out | std::ios::binary);
  const bool writing = out.is_open();
  if (!writing) failures.note(Operation::kOpenForWriting, errno);
  in.open(name, std::ios::in | std::ios::binary);
  const bool reading = in.is_open();
  if (!reading) failures.note(Operation::kOpenForReading, errno);
  in.close();
  if (reading && in.fail()) failures.note(Operation::kClose, errno);
  out.close();
  if (writing && out.fail()) failures.note(Operation::kClose, errno);
  if (std::remove(name) != 0) failures.note(Operation::kDelete, errno);
}

// One open, one close and a delete; whatever open returned, -1 included, is
// kept in `descriptor` and closed.
inline void descriptor_file_cycle(int& descriptor, const char* name, Failures& failures) {
  descriptor = open(name, O_RDWR | O_CREAT, kCreateMode);
  if (descriptor < 0) failures.note(Operation::kOpen, errno);
  if (close(descriptor) != 0 && descriptor >= 0) failures.note(Operation::kClose, errno);
  if (std::remove(name) != 0) failures.note(Operation::kDelete, errno);
}

// What kFileCycles cycles of each kind attempt.
inline Failures stream_cycle_attempts() {
  return Failures{{Operation::kOpenForWriting, kFileCycles},
                  {Operation::kOpenForReading, kFileCycles},
                  {Operation::kClose, 2 * kFileCycles},
                  {Operation::kDelete, kFileCycles}};
}

inline Failures descriptor_cycle_attempts() {
  return Failures{{Operation::kOpen, kFileCycles},
                  {Operation::kClose, kFileCycles},
                  {Operation::kDelete, kFileCycles}};
}
