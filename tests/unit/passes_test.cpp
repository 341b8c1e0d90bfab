// The passes' file helpers: what each access hands to the system, what the
// block passes move, and what each pass counts as failed.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/report.h"
#include "io/block.h"
#include "io/file_cycle.h"
#include "io/one_byte.h"

// Under AddressSanitizer an allocation that cannot be had returns null, as
// it does without, rather than end the test program.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

// What the next accesses to one descriptor return, and their errno, before the
// system's own take over: rare answers, with no signal or device to cause them.
int scripted_descriptor = -1;
std::deque<std::pair<ssize_t, int>> scripted;

// Stands in for the C library's read or write in the whole test program.
template <typename Buffer>
ssize_t call(const char* name, int descriptor, Buffer data, size_t size) {
  if (descriptor != scripted_descriptor || scripted.empty()) {
    static const auto real =
        reinterpret_cast<ssize_t (*)(int, Buffer, size_t)>(dlsym(RTLD_NEXT, name));
    return real(descriptor, data, size);
  }
  const auto [result, error] = scripted.front();
  scripted.pop_front();
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

// The operation that failed first, its reason, and how many `counted` failed.
using Failed = std::tuple<std::optional<Operation>, int, std::int64_t>;
Failed failed(const Failures& failures, Operation counted) {
  return {failures.first, failures.first_error, failures.failed[counted]};
}

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "drives-unit-XXXXXX";
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string path(const char* name) const { return dir_ + "/" + name; }

  std::string dir_;
};

TEST_F(Files, SecondTransferRewritesTheMiddleInPlace) {
  Failures failures = block_write_attempts();
  std::ofstream out;
  write_block_passes(out, path("block").c_str(), "0123456789", 10, 3, failures);
  std::ifstream in;
  ASSERT_EQ(open_and_size(in, path("block").c_str(), failures), 10);
  std::string back(10, '\0');
  read_block_passes(in, back.data(), 10, 3, failures);
  // The file is 012 012 6789; the second read puts bytes 3..5 at the front.
  EXPECT_EQ(back, "0120126789");
  EXPECT_FALSE(failures.any());
}

// A FIFO keeps what was written to it until it is read, and FIONREAD says
// how much: with no call counter of the system's, it shows how many bytes
// each access moved, where a buffering stream would move more than one.
class Fifo : public Files {
 protected:
  void SetUp() override {
    Files::SetUp();
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    // Opening one end waits for the other; a non-blocking reader never does.
    reader_ = open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader_, 0);
  }
  ~Fifo() override { close(reader_); }
  int pending() const {
    int bytes = -1;
    ioctl(reader_, FIONREAD, &bytes);
    return bytes;
  }

  int reader_ = -1;
};

TEST_F(Fifo, EveryPutAndGetIsOneByteHandedToOrTakenFromTheSystem) {
  ByteOutFile out;
  out.open(path("fifo").c_str(), std::ios::out | std::ios::binary);
  ASSERT_TRUE(out.is_open());
  for (int bytes = 1; bytes <= 100; ++bytes) {
    put_byte(out);
    ASSERT_EQ(pending(), bytes) << "after put " << bytes;
  }
  // The puts' stream holds the FIFO open for the gets, which take its bytes.
  ByteInFile in;
  in.open(path("fifo").c_str(), std::ios::in | std::ios::binary);
  ASSERT_TRUE(in.is_open());
  char last = 0;
  for (int left = 99; left >= 0; --left) {
    ASSERT_TRUE(get_byte(in, last));
    ASSERT_EQ(pending(), left) << "after get " << 100 - left;
  }
  EXPECT_EQ(last, kTestByte);
}

TEST_F(Files, InterruptedAccessesAreMadeAgainAndAnEmptyWriteFailsWithItsOwnReason) {
  scripted_descriptor = open("/dev/null", O_RDONLY);  // the next open gets the lowest free one
  close(scripted_descriptor);
  ByteOutFile out;
  out.open(path("file").c_str(), std::ios::out | std::ios::binary);
  scripted = {{-1, EINTR}};
  put_byte(out);
  EXPECT_TRUE(out.good()) << "an interrupted write failed the stream";
  scripted = {{0, ENOENT}};  // errno as some earlier call left it
  put_byte(out);
  EXPECT_EQ(out.error(), kNothingWritten);
  out.close();

  ByteInFile in;
  in.open(path("file").c_str(), std::ios::in | std::ios::binary);
  scripted = {{-1, EINTR}};
  char last = 0;
  EXPECT_TRUE(get_byte(in, last)) << "an interrupted read was taken for the end of the file";
  EXPECT_EQ(last, kTestByte);
  EXPECT_FALSE(get_byte(in, last));
  EXPECT_EQ(in.error(), 0);
  scripted_descriptor = -1;
}

// What a step returned, and the state, count and failure it left.
using Step = std::tuple<int, int, std::streamsize, int>;

// Gets through a file, past its end and back, giving bytes back after a
// get, a peek, the end and a seek. `In` is ByteInFile for its own members,
// or std::istream for the standard ones, on one alike or on a string;
// `file` tells the failures, if any.
template <typename In>
std::vector<Step> input_steps(In& in, const ByteInFile* file) {
  std::vector<Step> steps;
  const auto note = [&](int returned) {
    steps.emplace_back(returned, in.rdstate(), in.gcount(), file ? file->error() : 0);
  };
  note(in.get());
  note(in.get());
  in.unget();
  note(in.sync());
  note(in.rdbuf()->sgetc());
  for (int step = 0; step < 3; ++step) note(in.get());
  note(in.sync());
  in.clear();
  in.unget();
  note(in.sync());
  note(in.get());
  note(in.sync());
  in.seekg(2);
  in.unget();
  in.unget();
  note(in.get());
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
  // The same steps over a string tell what the buffer does on its own.
  for (const char* const text : {"012", ""}) {
    for (const char* name : {"own", "standard"})
      std::ofstream(path(name), std::ios::binary) << text;
    ByteInFile own, standard;
    own.open(path("own").c_str(), std::ios::in | std::ios::binary);
    standard.open(path("standard").c_str(), std::ios::in | std::ios::binary);
    const std::vector<Step> standard_steps = input_steps<std::istream>(standard, &standard);
    EXPECT_EQ(input_steps(own, &own), standard_steps) << '"' << text << '"';
    std::istringstream string(text);
    EXPECT_EQ(standard_steps, input_steps<std::istream>(string, nullptr)) << '"' << text << '"';
  }

  for (const std::string& name : {path("out"), std::string(has_dev_full() ? "/dev/full" : "")}) {
    ByteOutFile own_out, standard_out;
    own_out.open(name.c_str(), std::ios::out | std::ios::binary);
    standard_out.open(name.c_str(), std::ios::out | std::ios::binary);
    EXPECT_EQ(output_steps(own_out, own_out),
              output_steps<std::ostream>(standard_out, standard_out))
        << name;
  }
}

// A buffer over a string whose sync fails: a flush or a sync that skipped it
// leaves another state than one that made it.
struct FailingSyncBuf : std::stringbuf {
  explicit FailingSyncBuf(const std::string& text) : std::stringbuf(text) {}
  int sync() override { return -1; }
};

TEST(ReplacedBuffer, OwnMembersUseItAsTheStandardOnesDo) {
  FailingSyncBuf own_in("012"), standard_in("012");
  ByteInFile own, standard;
  own.rdbuf(&own_in);
  standard.rdbuf(&standard_in);
  EXPECT_EQ(input_steps(own, &own), input_steps<std::istream>(standard, &standard));

  FailingSyncBuf own_sink(""), standard_sink("");
  ByteOutFile own_out, standard_out;
  own_out.rdbuf(&own_sink);
  standard_out.rdbuf(&standard_sink);
  EXPECT_EQ(output_steps(own_out, own_out), output_steps<std::ostream>(standard_out, standard_out));
  EXPECT_EQ(own_sink.str(), standard_sink.str());
}

// A FIFO cannot be positioned, and while a writer holds it, it never ends:
// each pass handed one must end, and name the seek that failed.
TEST_F(Fifo, PassesOnAFileThatCannotBePositionedEndAndNameTheFailedSeek) {
  std::ofstream writer(path("fifo"), std::ios::binary);
  ASSERT_TRUE(writer << "0123456789" << std::flush);
  Failures bytes = one_byte_read_attempts(4);
  ByteInFile one_byte;
  char last = 0;
  read_one_byte_passes(one_byte, path("fifo").c_str(), 4, last, bytes);
  EXPECT_EQ(failed(bytes, Operation::kByteRead),
            Failed(Operation::kByteRead, ESPIPE, kFirstPassBytes + 4));

  Failures length = block_read_attempts();
  std::ifstream sized;
  EXPECT_EQ(open_and_size(sized, path("fifo").c_str(), length), 0);
  EXPECT_EQ(failed(length, Operation::kSeek), Failed(Operation::kSeek, ESPIPE, 1))
      << "a length that could not be taken went uncounted";

  Failures blocks = block_read_attempts();
  std::ifstream in(path("fifo"), std::ios::binary);
  writer.close();  // some C++ libraries read until the buffer is full or the file ends
  std::string got(10, '\0');
  read_block_passes(in, got.data(), 10, 5, blocks);
  EXPECT_EQ(got, "0123456789");
  EXPECT_EQ(failed(blocks, Operation::kSeek), Failed(Operation::kSeek, ESPIPE, 1))
      << "a failed positioning was told as another failure";
}

TEST_F(Files, FileCyclesCountWhatFailed) {
  const std::string nowhere = path("missing/file");
  Failures stream = stream_cycle_attempts();
  std::ofstream out;
  std::ifstream in;
  stream_file_cycle(out, in, nowhere.c_str(), stream);
  stream_file_cycle(out, in, path("file").c_str(), stream);
  EXPECT_EQ(failed(stream, Operation::kOpenForWriting),
            Failed(Operation::kOpenForWriting, ENOENT, 1));
  const std::vector<std::int64_t> each(std::begin(stream.failed.count),
                                       std::end(stream.failed.count));
  EXPECT_EQ(each, std::vector<std::int64_t>({1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0})) << "by Operation";
  Failures descriptor = descriptor_cycle_attempts();
  int handle = 0;
  descriptor_file_cycle(handle, path("file").c_str(), descriptor);
  EXPECT_FALSE(descriptor.any());
  descriptor_file_cycle(handle, nowhere.c_str(), descriptor);
  EXPECT_EQ(failed(descriptor, Operation::kDelete), Failed(Operation::kOpen, ENOENT, 1));
  EXPECT_EQ(descriptor.failed[Operation::kClose], 0)
      << "a descriptor that never opened is not a failed close";
}

TEST_F(Files, PassesCountEveryAccessThatMovedNothing) {
  Failures missing = one_byte_read_attempts(4);
  ByteInFile none;
  char last = 0;
  read_one_byte_passes(none, path("missing").c_str(), 4, last, missing);
  EXPECT_EQ(failed(missing, Operation::kByteRead),
            Failed(Operation::kOpenForReading, ENOENT, kFirstPassBytes + 4));

  if (!has_dev_full()) GTEST_SKIP() << "no /dev/full here: no device that refuses every write";
  Failures write = one_byte_write_attempts(5);
  ByteOutFile out;
  write_one_byte_passes(out, "/dev/full", 5, write);
  EXPECT_EQ(failed(write, Operation::kByteWrite),
            Failed(Operation::kByteWrite, ENOSPC, kFirstPassBytes + 5));
  Failures blocks = block_write_attempts();
  std::ofstream block_out;
  write_block_passes(block_out, "/dev/full", "0123456789", 10, 5, blocks);
  EXPECT_EQ(failed(blocks, Operation::kBlockWrite), Failed(Operation::kBlockWrite, ENOSPC, 2));
}

// A stale data file can be larger than any memory: its block is a failure
// of the measurement, not the end of the rank.
TEST(Block, MemoryThatCannotBeHadIsAFailedAllocation) {
  Failures failures = block_read_attempts();
  EXPECT_EQ(allocate_block(std::numeric_limits<std::int64_t>::max(), failures), nullptr);
  EXPECT_EQ(failed(failures, Operation::kBlockAllocation),
            Failed(Operation::kBlockAllocation, ENOMEM, 1));
}

}  // namespace

// The lines a rank prints on standard error go out whole, each in one
// write, as the launcher must pass them on: through a datagram socket, each
// write arrives as one message.
TEST(StandardError, EachLineIsOneWrite) {
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, ends), 0);
  const int saved = dup(STDERR_FILENO);
  dup2(ends[1], STDERR_FILENO);
  Failures failures = block_read_attempts();
  failures.note(Operation::kBlockRead, EIO);
  tell_failures(kHighName, failures);
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(ends[1]);
  char first[512] = {};
  const ssize_t got = recv(ends[0], first, sizeof first - 1, 0);
  close(ends[0]);
  ASSERT_GT(got, 1);
  EXPECT_EQ(std::string(first, got).find('\n'), static_cast<size_t>(got - 1)) << first;
}
