#include "platform/environment_block.h"

namespace platform {
namespace {

char FoldAsciiCase(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// The value of `entry` when its name is `name`, else null.
const char* ValueIfNamed(const char* entry, const char* name) {
  while (*name != '\0') {
    if (FoldAsciiCase(*entry) != FoldAsciiCase(*name)) return nullptr;
    ++entry;
    ++name;
  }
  return *entry == '=' ? entry + 1 : nullptr;
}

}  // namespace

const char* FindEnvironmentValue(const char* block, const char* name) {
  for (const char* entry = block; *entry != '\0';) {
    if (const char* value = ValueIfNamed(entry, name)) return value;
    while (*entry != '\0') ++entry;
    ++entry;
  }
  return nullptr;
}

}  // namespace platform
