#include "uninstall/byte_string.h"

namespace uninstall {

bool ByteString::Copy(const char* piece) {
  length_ = 0;
  bytes_[0] = '\0';
  return Append(piece);
}

bool ByteString::Append(const char* piece) {
  // Measure no further than the room left, so that an overlong or unterminated
  // piece is refused without being read to its end.
  const unsigned room = kByteStringCapacity - 1 - length_;
  unsigned piece_length = 0;
  while (piece[piece_length] != '\0') {
    if (piece_length == room) return false;
    ++piece_length;
  }
  for (unsigned i = 0; i < piece_length; ++i) bytes_[length_ + i] = piece[i];
  length_ += piece_length;
  bytes_[length_] = '\0';
  return true;
}

}  // namespace uninstall
