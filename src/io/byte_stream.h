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
//
// Those four are the streams' own inline members. Where a standard member
// would only pass its sentry and reach the buffer, they reach it straight:
// the standard members' calls into the C++ library and virtual calls cost
// more instructions than the C library's own read or write, and would be
// timed with every byte. Anything more (a failed or tied stream, one handed
// another buffer, a byte to give back, a count to set) they leave to the
// standard member itself; whether there is more is one test of one word
// made of the fields that tell it (ByteFile::detour).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <istream>
#include <ostream>
#include <streambuf>

class ByteFileBuf : public std::streambuf {
 public:
  ByteFileBuf() { forget_byte(); }
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

  // One write of one byte: false when it failed, the failure noted.
  bool write_byte(char byte) {
    const ssize_t wrote = ::write(descriptor_, &byte, 1);
    return wrote == 1 || write_again(wrote, byte);
  }
  // One read of one byte into byte_: the byte, or eof at the end of the file
  // or on a failure, which is noted. The get area is left as it is, which
  // is right only while the buffer reads on (get_area() is 0).
  int_type read_byte() {
    const ssize_t got = ::read(descriptor_, &byte_, 1);
    return got == 1 ? traits_type::to_int_type(byte_) : read_again(got);
  }
  // 0 while the buffer reads on: it has no get area, so no byte read ahead
  // by a peek or given back by an unget waits for a get or a sync, and byte_
  // holds the byte last read, the one an unget gives back. A get then only
  // reads, and leaves it so, with no pointer to set per byte. Otherwise the
  // area holds the byte read ahead, or that byte consumed, or nothing over
  // byte_ (no byte known to give back) from an open, a seek or a give-back
  // to the next read. A number, for the streams to test it with their own
  // fields in one compare.
  std::uintptr_t get_area() const { return reinterpret_cast<std::uintptr_t>(gptr()); }

 protected:
  int_type overflow(int_type byte) override;
  int_type underflow() override;
  int_type uflow() override;
  int_type pbackfail(int_type byte) override;
  // Nothing waits to be written; a byte read ahead is given back.
  int sync() override { return gptr() < egptr() ? give_back() : 0; }
  pos_type seekoff(off_type offset, std::ios::seekdir from, std::ios::openmode) override;
  pos_type seekpos(pos_type position, std::ios::openmode) override;

 private:
  // No byte to give back: an empty area over byte_, which also keeps gets
  // off the streams' fast path until the next read.
  void forget_byte() { setg(&byte_, &byte_, &byte_); }
  bool write_again(ssize_t wrote, char byte);
  int_type read_again(ssize_t got);
  int give_back();
  bool read_previous();
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
class ByteFile : protected ByteFileBufHolder, public Stream {
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

 protected:
  // 0 when a standard sentry would only let the call through to this
  // stream's own buffer: the stream is good, tied to no other, and still
  // over buffer_ (rdbuf() can hand it another, which the standard members
  // then use). The fields or'ed into one word and tested once: between a
  // flush and the next put, or a sync and the next get, nothing writes to
  // the stream, so the compiler, seeing the same word again, reuses the test
  // already passed, where it would repeat a test of each field.
  // Called on the final class, whose layout the compiler knows, so that the
  // fields are read in place rather than through the virtual base's offset.
  template <typename Final>
  static std::uintptr_t detour(const Final& stream) {
    const std::streambuf* const own = &stream.buffer_;
    return static_cast<std::uintptr_t>(stream.rdstate()) |
           reinterpret_cast<std::uintptr_t>(stream.tie()) |
           (reinterpret_cast<std::uintptr_t>(stream.rdbuf()) ^
            reinterpret_cast<std::uintptr_t>(own));
  }
};

// get() and sync() here, put() and flush() below, leave to the standard
// members every call where those have more to do than reach the buffer, so
// that the state bits and gcount() are the standard members' own, and the
// byte moves through the same buffer calls either way.
class ByteInFile final : public ByteFile<std::istream> {
 public:
  using std::istream::get;

  // Only the standard members can set gcount() on libc++: the standard get()
  // sets it to 1, the fast path serves only while it is 1 and leaves it so,
  // and ignore(0) sets it to 0 without moving anything. Forced inline, as
  // clang would otherwise leave a call around every byte.
  [[gnu::always_inline]] int_type get() {
    if (detour() != 0 || gcount() != 1) return std::istream::get();
    const int_type byte = buffer_.read_byte();
    if (traits_type::eq_int_type(byte, traits_type::eof())) no_byte();
    return byte;
  }
  int sync() { return detour() == 0 ? 0 : std::istream::sync(); }

 private:
  // 0 when, besides, the own buffer reads on: a sync then has nothing to
  // do, and a get only its read.
  std::uintptr_t detour() const { return buffer_.get_area() | ByteFile::detour(*this); }
  // What the standard get() leaves when no byte came.
  void no_byte();
};

// Output never reads ahead: the sync a flush (or unitbuf) asks of the
// buffer has nothing to do.
class ByteOutFile final : public ByteFile<std::ostream> {
 public:
  ByteOutFile& put(char byte) {
    if (detour(*this) != 0) {
      std::ostream::put(byte);
    } else if (!buffer_.write_byte(byte)) {
      setstate(std::ios::badbit);
    }
    return *this;
  }
  ByteOutFile& flush() {
    if (detour(*this) != 0) std::ostream::flush();
    return *this;
  }
};
