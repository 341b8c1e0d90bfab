#include "single/block.h"

#include <algorithm>

std::int64_t open_and_size(std::ifstream& in, const char* name) {
  in.open(name, std::ios::in | std::ios::binary);
  in.seekg(0, std::ios::end);
  const std::int64_t size = std::max<std::int64_t>(0, in.tellg());
  in.seekg(0);
  return size;
}

void read_block_passes(std::ifstream& in, char* block, std::int64_t size, std::int64_t second) {
  in.read(block, size);
  in.sync();
  in.seekg(second);
  in.read(block, second);
  in.sync();
}

void write_block_passes(std::ofstream& out, const char* name, const char* block,
                        std::int64_t size, std::int64_t second) {
  out.open(name, std::ios::out | std::ios::binary);
  out.seekp(0);
  out.write(block, size);
  out.flush();
  out.seekp(second);
  out.write(block, second);
  out.flush();
}
