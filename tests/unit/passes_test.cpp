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

// What the next reads or writes of one descriptor return, and their errno,
// before the system's own calls take over: answers it gives rarely (an
// interrupted call, a write of nothing), without a signal or a device.
struct Scripted {
  int descriptor = -1;
  std::deque<std::pair<ssize_t, int>> results;
};
Scripted scripted;

// Stands in for the C library's read or write in the whole test program.
template <typename Buffer>
ssize_t call(const char* name, int descriptor, Buffer data, size_t size) {
  if (descriptor != scripted.descriptor || scripted.results.empty()) {
    static const auto real =
        reinterpret_cast<ssize_t (*)(int, Buffer, size_t)>(dlsym(RTLD_NEXT, name));
    return real(descriptor, data, size);
  }
  const auto [result, error] = scripted.results.front();
  scripted.results.pop_front();
  errno = error;
  return result;
}

extern "C" ssize_t write(int descriptor, const void* data, size_t size) {
  return call("write", descriptor, data, size);
}

extern "C" ssize_t read(int descriptor, void* data, size_t size) {
  return call("read", descriptor, data, size);
}

namespace {

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
  scripted.descriptor = open("/dev/null", O_RDONLY);  // the next open gets the lowest free one
  close(scripted.descriptor);
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

// What a step returned, and the state, count and failure it left.
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
  for (int step = 0; step < 4; ++step) {
    step % 2 ? out.flush() : out.put(kTestByte);
    steps.emplace_back(0, out.rdstate(), 0, file.error());
  }
  return steps;
}

TEST_F(Files, OwnMembersLeaveWhatTheStandardOnesLeave) {
  for (const char* name : {"own", "standard"}) std::ofstream(path(name), std::ios::binary) << "012";
  ByteInFile own;
  ByteInFile standard;
  own.open(path("own").c_str(), std::ios::in | std::ios::binary);
  standard.open(path("standard").c_str(), std::ios::in | std::ios::binary);
  EXPECT_EQ(input_steps(own, own), input_steps<std::istream>(standard, standard));

  for (const std::string& name : {path("out"), std::string(has_dev_full() ? "/dev/full" : "")}) {
    ByteOutFile own_out;
    ByteOutFile standard_out;
    own_out.open(name.c_str(), std::ios::out | std::ios::binary);
    standard_out.open(name.c_str(), std::ios::out | std::ios::binary);
    EXPECT_EQ(output_steps(own_out, own_out),
              output_steps<std::ostream>(standard_out, standard_out))
        << name;
  }
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

TEST_F(Files, PassesCountEveryAccessThatMovedNothing) {
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
  Failures blocks = block_write_attempts();
  std::ofstream block_out;
  const std::string block(10, kTestByte);
  write_block_passes(block_out, "/dev/full", block.data(), 10, 5, blocks);
  EXPECT_EQ(blocks.first, kBlockWrite);
  EXPECT_EQ(blocks.first_error, ENOSPC);
  EXPECT_EQ(blocks.failed[kBlockWrite], 2);
}

}  // namespace
