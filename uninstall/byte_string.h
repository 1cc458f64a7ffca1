#pragma once

namespace uninstall {

// Both of the run's strings (the target path and the message text) live in
// buffers of this many bytes, the terminator included.
constexpr unsigned kByteStringCapacity = 260;

// A zero-terminated string of ANSI bytes in a fixed buffer, built by copying
// one piece and appending the next. A piece is taken whole or not at all: one
// that would not fit beside the terminator is refused and the string keeps
// what it had, so nothing is ever cut short or written past the buffer.
class ByteString {
 public:
  ByteString() : length_(0) { bytes_[0] = '\0'; }

  // Replaces the content with `piece`. False, and empty, when it does not fit.
  bool Copy(const char* piece);
  // Adds `piece` at the end. False, and unchanged, when it does not fit.
  bool Append(const char* piece);

  const char* c_str() const { return bytes_; }
  unsigned length() const { return length_; }

 private:
  char bytes_[kByteStringCapacity];
  unsigned length_;
};

}  // namespace uninstall
