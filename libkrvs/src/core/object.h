// Every object the engine hands out starts with this header, so that
// KRVSgetobjecttypename can tell what a bare pointer is.
#pragma once

#include <cstdint>

namespace krvs {

constexpr uint32_t kObjectMagic = 0x4b525653;  // "KRVS"

struct ObjectHeader {
  uint32_t magic = kObjectMagic;
  const char *type_name;
  explicit ObjectHeader(const char *name) : type_name(name) {}
};

}  // namespace krvs
