// What went wrong in one measurement. The passes note a failure only when a
// call they make anyway says so (a stream's state, a return value), so that
// counting adds nothing to what is timed; the printed figures stay those of
// the timed span, and the failures are told beside them.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "constants/constants.h"

enum Operation {
  kOpenForWriting,
  kOpenForReading,
  kOpen,
  kClose,
  kDelete,
  kByteWrite,
  kByteRead,
  kBlockRead,
  kBlockWrite,
  kSeek,  // a block pass's positionings, its length query and input syncs among them
  kOperationCount
};

// Reasons that are no errno: a read that met the end of the file, and a
// write that took nothing without saying why.
constexpr int kEndOfFileReason = 0;
constexpr int kNothingWritten = -1;
static_assert(sizeof kOperationNames / sizeof *kOperationNames == kOperationCount,
              "every operation has a name");

struct Attempts {
  Operation operation;
  std::int64_t count;
};

struct Failures {
  std::int64_t attempts[kOperationCount] = {};
  std::int64_t failed[kOperationCount] = {};
  int first = -1;       // the operation that failed first
  int first_error = 0;  // its errno, or one of the reasons above

  Failures(std::initializer_list<Attempts> expected) {
    for (const Attempts& each : expected) attempts[each.operation] = each.count;
  }
  void note(Operation operation, int error, std::int64_t count = 1) {
    if (count <= 0) return;
    if (first < 0) {
      first = operation;
      first_error = error;
    }
    failed[operation] += count;
  }
  bool any() const { return first >= 0; }
};
