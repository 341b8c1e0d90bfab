// The passes' file helpers: what each access hands to the system, what the
// block passes move, and what each pass counts as failed.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "run/report.h"
#include "run/state.h"
#include "single/block.h"
#include "single/file_cycle.h"
#include "single/one_byte.h"

// What the next read or write calls on one descriptor return, and the errno
// they leave, before the system's own calls take over: answers the system
// gives rarely (an interrupted call, a write that takes nothing), given on
// demand instead of waiting for a signal or a device that gives them.
struct Scripted {
  int descriptor = -1;
  std::deque<std::pair<ssize_t, int>> results;

  bool next(int on, ssize_t& result) {
    if (on != descriptor || results.empty()) return false;
    result = results.front().first;
    errno = results.front().second;
    results.pop_front();
    return true;
  }
};
Scripted scripted;

template <typename Call>
Call system_call(const char* name) {
  return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

// These stand in for the C library's in the whole test program.
extern "C" ssize_t write(int descriptor, const void* data, size_t size) {
  static const auto real = system_call<ssize_t (*)(int, const void*, size_t)>("write");
  ssize_t result = 0;
  return scripted.next(descriptor, result) ? result : real(descriptor, data, size);
}

extern "C" ssize_t read(int descriptor, void* data, size_t size) {
  static const auto real = system_call<ssize_t (*)(int, void*, size_t)>("read");
  ssize_t result = 0;
  return scripted.next(descriptor, result) ? result : real(descriptor, data, size);
}

namespace {

// The descriptor the next open gets: the lowest free one.
int next_descriptor() {
  const int probe = open("/dev/null", O_RDONLY);
  close(probe);
  return probe;
}

// Linux's always-full device; macOS has none.
bool has_dev_full() { return access("/dev/full", W_OK) == 0; }

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

TEST_F(Files, InterruptedAccessesAreMadeAgainAndAnEmptyWriteFailsWithItsOwnReason) {
  scripted.descriptor = next_descriptor();
  ByteOutFile out;
  out.open(path("file").c_str(), std::ios::out | std::ios::binary);
  scripted.results = {{-1, EINTR}};
  put_byte(out);
  EXPECT_TRUE(out.good()) << "an interrupted write failed the stream";
  scripted.results = {{0, ENOENT}};  // errno as some earlier call left it
  put_byte(out);
  EXPECT_EQ(out.error(), kNothingWritten);
  out.close();

  ByteInFile in;
  in.open(path("file").c_str(), std::ios::in | std::ios::binary);
  scripted.results = {{-1, EINTR}};
  char last = 0;
  EXPECT_TRUE(get_byte(in, last)) << "an interrupted read was taken for the end of the file";
  EXPECT_EQ(last, kTestByte);
  EXPECT_FALSE(get_byte(in, last));
  EXPECT_EQ(in.error(), 0);
  scripted = {};
}

// What a step of a trace returned, and the state, the count and the noted
// failure it left.
using Step = std::tuple<int, int, std::streamsize, int>;

// Gets through a three-byte file with, on the way, a peek at the buffer, the
// end of the file, a sync on the failed stream, and a byte put back and
// given back to the file. `In` is ByteInFile for its own members, or
// std::istream for the standard ones on the same kind of stream.
template <typename In>
std::vector<Step> input_steps(In& in, const ByteInFile& file) {
  std::vector<Step> steps;
  const auto note = [&](int returned) {
    steps.emplace_back(returned, in.rdstate(), in.gcount(), file.error());
  };
  note(in.get());
  note(in.get());
  note(in.rdbuf()->sgetc());
  note(in.get());
  note(in.get());
  note(in.sync());
  in.clear();
  in.unget();
  note(in.sync());
  note(in.get());
  note(in.sync());
  note(static_cast<int>(in.tellg()));
  return steps;
}

// Two puts, each flushed; `Out` as `In` above.
template <typename Out>
std::vector<Step> output_steps(Out& out, const ByteOutFile& file) {
  std::vector<Step> steps;
  const auto note = [&] { steps.emplace_back(0, out.rdstate(), 0, file.error()); };
  for (int put = 0; put < 2; ++put) {
    out.put(kTestByte);
    note();
    out.flush();
    note();
  }
  return steps;
}

std::string contents(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(Files, OwnGetAndSyncLeaveWhatTheStandardOnesLeave) {
  const char* const names[] = {"own", "standard"};
  for (const char* name : names) std::ofstream(path(name), std::ios::binary) << "012";
  ByteInFile own;
  ByteInFile standard;
  own.open(path(names[0]).c_str(), std::ios::in | std::ios::binary);
  standard.open(path(names[1]).c_str(), std::ios::in | std::ios::binary);
  EXPECT_EQ(input_steps(own, own), input_steps<std::istream>(standard, standard));
}

TEST_F(Files, OwnPutAndFlushLeaveWhatTheStandardOnesLeave) {
  std::vector<std::string> names = {path("own"), path("standard")};
  if (has_dev_full()) names.insert(names.end(), 2, "/dev/full");
  for (std::size_t pair = 0; pair < names.size(); pair += 2) {
    ByteOutFile own;
    ByteOutFile standard;
    own.open(names[pair].c_str(), std::ios::out | std::ios::binary);
    standard.open(names[pair + 1].c_str(), std::ios::out | std::ios::binary);
    EXPECT_EQ(output_steps(own, own), output_steps<std::ostream>(standard, standard))
        << names[pair];
  }
  EXPECT_EQ(contents(names[0]), contents(names[1]));
}

// A FIFO cannot be positioned, and while a writer holds it, it never ends:
// each pass handed one must end, and name the seek that failed.
TEST_F(Fifo, PassesOnAFileThatCannotBePositionedEndAndNameTheFailedSeek) {
  const int writer = open(path("fifo").c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(write(writer, "0123456789", 10), 10);
  Failures bytes = one_byte_read_attempts(4);
  ByteInFile one_byte;
  char last = 0;
  read_one_byte_passes(one_byte, path("fifo").c_str(), 4, last, bytes);
  EXPECT_EQ(bytes.failed[kByteRead], kFirstPassBytes + 4);
  EXPECT_EQ(bytes.first_error, ESPIPE);

  Failures length = block_read_attempts();
  std::ifstream sized;
  EXPECT_EQ(open_and_size(sized, path("fifo").c_str(), length), 0);
  EXPECT_EQ(length.first, kSeek) << "a length that could not be taken went uncounted";
  EXPECT_EQ(length.first_error, ESPIPE);

  Failures blocks = block_read_attempts();
  std::ifstream in(path("fifo"), std::ios::binary);
  close(writer);  // some C++ libraries read until the buffer is full or the file ends
  std::string got(10, '\0');
  read_block_passes(in, got.data(), 10, 5, blocks);
  EXPECT_EQ(got, "0123456789");
  EXPECT_EQ(blocks.first, kSeek) << "a failed positioning was told as another failure";
  EXPECT_EQ(blocks.first_error, ESPIPE);
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
  const std::int64_t failed[] = {1, 1, 0, 0, 1, 0, 0, 0, 0, 0};
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

  if (!has_dev_full()) GTEST_SKIP() << "no /dev/full here: no device that refuses every write";
  Failures write = one_byte_write_attempts(5);
  ByteOutFile out;
  write_one_byte_passes(out, "/dev/full", 5, write);
  EXPECT_EQ(write.first, kByteWrite);
  EXPECT_EQ(write.first_error, ENOSPC);
  EXPECT_EQ(write.failed[kByteWrite], kFirstPassBytes + 5);
}

TEST_F(Files, BlockWritesThatCannotBeHandedOnFail) {
  if (!has_dev_full()) GTEST_SKIP() << "no /dev/full here: no device that refuses every write";
  Failures failures = block_write_attempts();
  std::ofstream out;
  const std::string block(10, kTestByte);
  write_block_passes(out, "/dev/full", block.data(), 10, 5, failures);
  EXPECT_EQ(failures.first, kBlockWrite);
  EXPECT_EQ(failures.first_error, ENOSPC);
  EXPECT_EQ(failures.failed[kBlockWrite], 2);
}

}  // namespace
