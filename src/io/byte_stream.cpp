#include "io/byte_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "io/failures.h"

namespace {

// What the standard output file stream asks of the system for a binary
// output open: the same file, the same permission bits.
constexpr int kOutFlags = O_WRONLY | O_CREAT | O_TRUNC;
constexpr mode_t kOutMode = 0666;

}  // namespace

bool ByteFileBuf::open(const char* name, std::ios::openmode mode) {
  if (is_open()) return false;
  const bool out = (mode & std::ios::out) != 0;
  descriptor_ = out ? ::open(name, kOutFlags, kOutMode) : ::open(name, O_RDONLY);
  failed_ = false;
  error_ = 0;
  if (descriptor_ < 0) fail(errno);
  forget_byte();
  return is_open();
}

void ByteFileBuf::fail(int error) {
  if (failed_) return;
  failed_ = true;
  error_ = error;
}

bool ByteFileBuf::close() {
  if (!is_open()) return false;
  const int closed = ::close(descriptor_);
  if (closed != 0) fail(errno);
  descriptor_ = -1;
  forget_byte();
  return closed == 0;
}

ByteFileBuf::int_type ByteFileBuf::overflow(int_type byte) {
  if (traits_type::eq_int_type(byte, traits_type::eof())) return traits_type::not_eof(byte);
  return write_byte(traits_type::to_char_type(byte)) ? byte : traits_type::eof();
}

// A peek leaves the byte it read ahead, for the next get or for a sync to
// give back.
ByteFileBuf::int_type ByteFileBuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  const int_type byte = read_byte();
  if (!traits_type::eq_int_type(byte, traits_type::eof())) setg(&byte_, &byte_, &byte_ + 1);
  return byte;
}

// A get through the standard members, which found nothing read ahead: once
// it read a byte, the buffer reads on. At the end of the file the area stays
// as it was, and so does what an unget gives back.
ByteFileBuf::int_type ByteFileBuf::uflow() {
  const int_type byte = read_byte();
  if (!traits_type::eq_int_type(byte, traits_type::eof())) setg(nullptr, nullptr, nullptr);
  return byte;
}

// An unget, or a putback of the same byte, gives back the byte before the
// file's position, which then counts as read ahead again, for the next get
// or for a sync to give back to the file. While reading on, that is the byte
// last read; otherwise (after an open, a seek, a give-back or an unget) it is
// read anew. Nothing else can be put back.
ByteFileBuf::int_type ByteFileBuf::pbackfail(int_type byte) {
  if (gptr() != nullptr && !read_previous()) return traits_type::eof();
  const bool same = traits_type::eq_int_type(byte, traits_type::eof()) ||
                    traits_type::eq(traits_type::to_char_type(byte), byte_);
  if (!same) return traits_type::eof();
  setg(&byte_, &byte_, &byte_ + 1);
  return traits_type::not_eof(byte);
}

// Gives a byte read ahead back to the file, then reads the byte before the
// position into byte_ without moving the position. At the start of the file,
// or in one that cannot be positioned, there is none; that is no failure of
// the file, only of the unget.
bool ByteFileBuf::read_previous() {
  if (gptr() < egptr() && give_back() != 0) return false;
  const off_t at = ::lseek(descriptor_, 0, SEEK_CUR);
  return at > 0 && ::pread(descriptor_, &byte_, 1, at - 1) == 1;
}

// A call that a signal interrupted before it moved anything is made again:
// the access has not happened yet, and it is no failure of the file.
bool ByteFileBuf::write_again(ssize_t wrote, char byte) {
  while (wrote < 0 && errno == EINTR) wrote = ::write(descriptor_, &byte, 1);
  if (wrote == 1) return true;
  // A write that takes nothing sets no errno: whatever it holds is stale.
  fail(wrote == 0 ? kNothingWritten : errno);
  return false;
}

ByteFileBuf::int_type ByteFileBuf::read_again(ssize_t got) {
  while (got < 0 && errno == EINTR) got = ::read(descriptor_, &byte_, 1);
  if (got == 1) return traits_type::to_int_type(byte_);
  if (got < 0) fail(errno);
  return traits_type::eof();
}

int ByteFileBuf::give_back() {
  if (::lseek(descriptor_, gptr() - egptr(), SEEK_CUR) < 0) return -1;
  forget_byte();
  return 0;
}

ByteFileBuf::pos_type ByteFileBuf::seekoff(off_type offset, std::ios::seekdir from,
                                           std::ios::openmode) {
  if (sync() != 0) return pos_type(off_type(-1));
  const int whence = from == std::ios::beg ? SEEK_SET : from == std::ios::cur ? SEEK_CUR : SEEK_END;
  const off_t at = ::lseek(descriptor_, static_cast<off_t>(offset), whence);
  if (at < 0) fail(errno);
  // The byte last read need not be the one before the new position.
  forget_byte();
  return pos_type(off_type(at));
}

ByteFileBuf::pos_type ByteFileBuf::seekpos(pos_type position, std::ios::openmode mode) {
  return seekoff(off_type(position), std::ios::beg, mode);
}

void ByteInFile::no_byte() {
  ignore(0);
  setstate(std::ios::eofbit | std::ios::failbit);
}
