#include "platform/string_format.h"

#include <cstdio>

std::string StringFormatV(const char* format, va_list args) {
  if (format == nullptr) return std::string();
  va_list copy;
  va_copy(copy, args);
  char small[512];
  const int n = std::vsnprintf(small, sizeof(small), format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof(small)) return std::string(small, static_cast<size_t>(n));
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(n));
  return text;
}

std::string StringFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = StringFormatV(format, args);
  va_end(args);
  return text;
}
