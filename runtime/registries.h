// Helpers shared by the registry files, and the shut-down frees that
// FreeRegistries calls.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/linux/platform.h"

void FreeAttrHandlers();
void FreeHookRecords();

// A zeroed record of type T with a copy of text stored inline behind it
// (null text: the empty text); null when memory runs out.
template <typename T>
T* AllocRecordWithText(const char* text, char** textCopy) {
  size_t length = text ? std::strlen(text) : 0;
  if (length > SIZE_MAX - sizeof(T) - 1) return nullptr;
  auto* record = static_cast<T*>(AllocMemory(sizeof(T) + length + 1, 1));
  if (!record) return nullptr;
  *textCopy = reinterpret_cast<char*>(record + 1);
  if (length) std::memcpy(*textCopy, text, length);
  (*textCopy)[length] = '\0';
  return record;
}
