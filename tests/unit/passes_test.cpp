// The passes' file helpers: what each access hands to the system, what the
// block passes move, and what each pass counts as failed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "run/report.h"
#include "run/state.h"
#include "single/block.h"
#include "single/file_cycle.h"
#include "single/one_byte.h"

namespace {

// Each test works in a directory of its own, removed afterwards.
class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "drives-unit-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string path(const char* name) const { return dir_ + "/" + name; }

  std::string dir_;
};

TEST_F(Files, SecondTransferRewritesTheMiddleInPlace) {
  Failures failures = block_write_attempts();
  std::string block = "0123456789";
  std::ofstream out;
  write_block_passes(out, path("block").c_str(), block.data(), 10, 3, failures);
  out.close();
  std::ifstream in;
  ASSERT_EQ(open_and_size(in, path("block").c_str(), failures), 10);
  std::string back(10, '\0');
  read_block_passes(in, back.data(), 10, 3, failures);
  // The file is 012 012 6789; the second read puts bytes 3..5 at the front.
  EXPECT_EQ(back, "0120126789");
  EXPECT_FALSE(failures.any());
}

// A FIFO keeps what was written to it until it is read, and FIONREAD says
// how much that is. So it shows, with no call counter of the system's, how
// many bytes each access moved between a stream and the system: a stream
// that buffered would fill or drain it by more than one byte at a time.
class Fifo : public Files {
 protected:
  void SetUp() override {
    Files::SetUp();
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    // Opening one end waits for the other; a non-blocking reader never does.
    reader_ = open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader_, 0);
  }
  void TearDown() override {
    close(reader_);
    Files::TearDown();
  }
  int pending() const {
    int bytes = -1;
    ioctl(reader_, FIONREAD, &bytes);
    return bytes;
  }

  int reader_ = -1;
};

TEST_F(Fifo, EveryPutIsOneByteHandedToTheSystem) {
  ByteOutFile out;
  out.open(path("fifo").c_str(), std::ios::out | std::ios::binary);
  ASSERT_TRUE(out.is_open());
  for (int bytes = 1; bytes <= 100; ++bytes) {
    put_byte(out);
    ASSERT_EQ(pending(), bytes) << "after put " << bytes;
  }
}

TEST_F(Fifo, EveryGetIsOneByteTakenFromTheSystem) {
  const int writer = open(path("fifo").c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  const std::string bytes(100, kTestByte);
  ASSERT_EQ(write(writer, bytes.data(), bytes.size()), 100);
  ByteInFile in;
  in.open(path("fifo").c_str(), std::ios::in | std::ios::binary);
  ASSERT_TRUE(in.is_open());
  char last = 0;
  for (int left = 99; left >= 0; --left) {
    ASSERT_TRUE(get_byte(in, last));
    ASSERT_EQ(pending(), left) << "after get " << 100 - left;
  }
  EXPECT_EQ(last, kTestByte);
  close(writer);
}

TEST_F(Files, FileCyclesCountWhatFailed) {
  const std::string nowhere = path("missing/file");
  Failures stream = stream_cycle_attempts();
  std::ofstream out;
  std::ifstream in;
  stream_file_cycle(out, in, nowhere.c_str(), stream);
  stream_file_cycle(out, in, path("file").c_str(), stream);
  EXPECT_EQ(stream.first, kOpenForWriting);
  EXPECT_EQ(stream.first_error, ENOENT);
  const std::int64_t failed[] = {1, 1, 0, 0, 1, 0, 0, 0, 0};
  for (int operation = 0; operation < kOperationCount; ++operation) {
    EXPECT_EQ(stream.failed[operation], failed[operation]) << kOperationNames[operation];
  }
  Failures descriptor = descriptor_cycle_attempts();
  int handle = 0;
  descriptor_file_cycle(handle, path("file").c_str(), descriptor);
  EXPECT_FALSE(descriptor.any());
  descriptor_file_cycle(handle, nowhere.c_str(), descriptor);
  EXPECT_EQ(descriptor.first, kOpen);
  EXPECT_EQ(descriptor.failed[kClose], 0) << "a descriptor that never opened is not a failed close";
  EXPECT_EQ(descriptor.failed[kDelete], 1);
}

TEST_F(Files, OneBytePassesCountEveryAccessThatMovedNothing) {
  Failures write = one_byte_write_attempts(5);
  ByteOutFile out;
  write_one_byte_passes(out, "/dev/full", 5, write);
  EXPECT_EQ(write.first, kByteWrite);
  EXPECT_EQ(write.first_error, ENOSPC);
  EXPECT_EQ(write.failed[kByteWrite], kFirstPassBytes + 5);

  std::ostringstream console;
  std::streambuf* const original = std::cout.rdbuf(console.rdbuf());
  Failures missing = one_byte_read_attempts(4);
  ByteInFile none;
  char last = 0;
  read_one_byte_passes(none, path("missing").c_str(), 4, last, missing);
  std::cout.rdbuf(original);
  EXPECT_EQ(console.str(), "Unable to open file\n");
  EXPECT_EQ(missing.first, kOpenForReading);
  EXPECT_EQ(missing.first_error, ENOENT);
  EXPECT_EQ(missing.failed[kByteRead], kFirstPassBytes + 4);
}

TEST_F(Files, BlockWritesThatCannotBeHandedOnFail) {
  Failures failures = block_write_attempts();
  std::ofstream out;
  const std::string block(10, kTestByte);
  write_block_passes(out, "/dev/full", block.data(), 10, 5, failures);
  EXPECT_EQ(failures.first, kBlockWrite);
  EXPECT_EQ(failures.first_error, ENOSPC);
  EXPECT_EQ(failures.failed[kBlockWrite], 2);
}

}  // namespace
