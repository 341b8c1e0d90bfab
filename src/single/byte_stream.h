// The streams of the one-byte passes.
//
// Every one-byte access must reach the operating system as one read or one
// write of one byte; the figure is meaningless otherwise. The standard file
// streams cannot promise that: libstdc++'s can be made unbuffered, but
// libc++'s read through a C FILE whose own buffer serves the gets, and its
// sync on input only moves inside that buffer, so the "low reading speed"
// there is a memory-copy speed. These streams are ordinary std::istream and
// std::ostream objects over a stream buffer of our own that holds at most
// the one byte just read and makes exactly one read or write call per byte,
// on every C++ library. The passes still put then flush, get then sync.
#pragma once

#include <istream>
#include <ostream>
#include <streambuf>

class ByteFileBuf : public std::streambuf {
 public:
  ByteFileBuf() = default;
  ByteFileBuf(const ByteFileBuf&) = delete;
  ByteFileBuf& operator=(const ByteFileBuf&) = delete;
  ~ByteFileBuf() override { close(); }

  // Opens for reading (in) or for writing, created or truncated (out).
  bool open(const char* name, std::ios::openmode mode);
  bool is_open() const { return descriptor_ >= 0; }
  bool close();
  // The errno of the first call that failed since the open, the open's own
  // included, or kNothingWritten; 0 when none did (meeting the end of the
  // file is no failure).
  int error() const { return error_; }

 protected:
  int_type overflow(int_type byte) override;
  int_type underflow() override;
  int sync() override;
  pos_type seekoff(off_type offset, std::ios::seekdir from, std::ios::openmode) override;
  pos_type seekpos(pos_type position, std::ios::openmode) override;

 private:
  void fail(int error);

  int descriptor_ = -1;
  bool failed_ = false;
  int error_ = 0;
  char byte_ = 0;
};

// Holds the stream buffer in a base built before the stream, so that the
// stream is handed a buffer that exists and initialises itself once.
struct ByteFileBufHolder {
  ByteFileBuf buffer_;
};

// An input or output stream over its own ByteFileBuf, opened and closed
// like a standard file stream: a failed open or close sets failbit, a good
// open clears the state.
template <typename Stream>
class ByteFile : private ByteFileBufHolder, public Stream {
 public:
  ByteFile() : Stream(&buffer_) {}

  void open(const char* name, std::ios::openmode mode) {
    if (buffer_.open(name, mode)) {
      this->clear();
    } else {
      this->setstate(std::ios::failbit);
    }
  }
  bool is_open() const { return buffer_.is_open(); }
  void close() {
    if (!buffer_.close()) this->setstate(std::ios::failbit);
  }
  int error() const { return buffer_.error(); }
};

using ByteInFile = ByteFile<std::istream>;
using ByteOutFile = ByteFile<std::ostream>;
