// Start-up checks, per-rank file names and the file helpers of the tests.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "multi/exchange.h"
#include "run/drives_mpi.h"
#include "run/state.h"
#include "single/block.h"
#include "single/one_byte.h"

namespace {

TEST(StartUp, OnlyFullMultiThreadSupportIsAccepted) {
  EXPECT_TRUE(thread_level_accepted(3));
  for (int level : {0, 1, 2, 4}) EXPECT_FALSE(thread_level_accepted(level)) << level;
}

TEST(StartUp, AtMost4096RanksAreAccepted) {
  EXPECT_TRUE(rank_count_accepted(1));
  EXPECT_TRUE(rank_count_accepted(4096));
  EXPECT_FALSE(rank_count_accepted(4097));
}

TEST(RankFile, NameCarriesRankAndProcessorName) {
  iproc = 12;
  std::snprintf(proc_name, sizeof proc_name, "%s", "n1");
  char name[kFileNameSize];
  format_rank_file(name, sizeof name, ".tmp");
  EXPECT_STREQ(name, "data64-macos-mx-12 @n1.tmp");
  format_rank_file(name, sizeof name, "");
  EXPECT_STREQ(name, "data64-macos-mx-12 @n1");
}

std::string scratch(const char* name) { return ::testing::TempDir() + name; }

void make_file(const std::string& path, std::size_t size) {
  std::ofstream(path, std::ios::binary) << std::string(size, '\x0B');
}

TEST(Block, AFileThatCannotBeSizedCountsAsEmpty) {
  std::ifstream in;
  EXPECT_EQ(open_and_size(in, scratch("no-such-file").c_str()), 0);
  make_file(scratch("empty"), 0);
  std::ifstream empty;
  EXPECT_EQ(open_and_size(empty, scratch("empty").c_str()), 0);
  make_file(scratch("five"), 5);
  std::ifstream five;
  EXPECT_EQ(open_and_size(five, scratch("five").c_str()), 5);
}

TEST(Block, SecondTransferRewritesTheMiddleInPlace) {
  std::string block = "0123456789";
  std::ofstream out;
  write_block_passes(out, scratch("block").c_str(), block.data(), 10, 3);
  out.close();
  std::ifstream in;
  ASSERT_EQ(open_and_size(in, scratch("block").c_str()), 10);
  std::string back(10, '\0');
  read_block_passes(in, back.data(), 10, 3);
  // The file is 012 012 6789; the second read puts bytes 3..5 at the front.
  EXPECT_EQ(back, "0120126789");
}

long read_calls() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long value = 0;
  while (io >> key >> value) {
    if (key == "syscr:") return value;
  }
  return -1;
}

TEST(OneByte, EveryByteReadIsItsOwnReadCall) {
  const std::string path = scratch("one-byte");
  make_file(path, 1000);
  const long before = read_calls();
  ASSERT_GE(before, 0) << "no /proc/self/io";
  std::ifstream in;
  char last = 0;
  read_one_byte_passes(in, path.c_str(), 100, last);
  const long calls = read_calls() - before;
  EXPECT_EQ(last, kTestByte);
  // One call per byte, one that meets the end, then the second pass; a
  // buffered stream would need a handful.
  EXPECT_GE(calls, 1000 + 1 + 100);
  EXPECT_LE(calls, 1000 + 1 + 100 + 16);
}

}  // namespace
