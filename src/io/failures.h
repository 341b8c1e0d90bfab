// What went wrong in one measurement. The passes note a failure only when a
// call they make anyway says so (a stream's state, a return value): no call
// is added to what is timed, but the tests of those answers run inside every
// timed cycle. Counted by `make bench-instructions`, against the same build
// with the tests taken out, they cost 0 instructions per one-byte write, 1
// per one-byte read, 1 per stream file cycle and 0 per descriptor file cycle
// with GCC 12 and libstdc++; 4, 0, 20 and 0 with clang 14 and libc++. The
// printed figures stay those of the timed span, and the failures are told
// beside them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>

#include "constants/constants.h"

// Reasons that are no errno: a read that met the end of the file, and a
// write that took nothing without saying why.
constexpr int kEndOfFileReason = 0;
constexpr int kNothingWritten = -1;

struct Attempts {
  Operation operation;
  std::int64_t count;
};

// A count for each operation.
struct PerOperation {
  std::int64_t count[kOperationCount] = {};

  std::int64_t& operator[](Operation operation) { return count[static_cast<int>(operation)]; }
  std::int64_t operator[](Operation operation) const { return count[static_cast<int>(operation)]; }
};

struct Failures {
  PerOperation attempts;
  PerOperation failed;
  std::optional<Operation> first;  // the operation that failed first
  int first_error = 0;             // its errno, or one of the reasons above

  Failures(std::initializer_list<Attempts> expected) {
    for (const Attempts& each : expected) attempts[each.operation] = each.count;
  }
  void note(Operation operation, int error, std::int64_t count = 1) {
    if (count <= 0) return;
    if (!first) {
      first = operation;
      first_error = error;
    }
    failed[operation] += count;
  }
  bool any() const { return first.has_value(); }
};
