// printf-style formatting into a std::string of any length.
#pragma once

#include <cstdarg>
#include <string>

// A null format gives an empty text; so does a format error.
std::string StringFormatV(const char* format, va_list args);
std::string StringFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
