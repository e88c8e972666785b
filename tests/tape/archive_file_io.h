// Archive files written and read through the frame the way a data mover does, and the bytes of
// their streams, for the tests of every media class in this folder.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "MediaFileSystem/zovadAdeveFS.h"

namespace archivefiles {

// Deterministic bytes of a stream.
inline std::string Pattern(size_t n, uint64_t seed) {
  std::string s(n, '\0');
  std::mt19937_64 rng(seed);
  for (size_t i = 0; i < n; i += 8) {
    const uint64_t v = rng();
    for (size_t j = 0; j < 8 && i + j < n; ++j) s[i + j] = static_cast<char>(v >> (8 * j));
  }
  return s;
}

// Create, Write and Close: 0, or the failing step's result (-2 for the write).
inline int Write(media_fs& media, MediaFSArchiveFileId_t id, const std::string& data) {
  if (int rc = media.Create(&id); rc != 0) return rc;
  if (!data.empty() && media.Write(data.data(), data.size()) != static_cast<int>(data.size())) return -2;
  return media.Close();
}

// Open (bounded by the physical size `size`), Read of `size` bytes and Close: the bytes, or a
// text that starts with "FAILED" and says which step failed.
inline std::string Read(media_fs& media, MediaFSArchiveFileId_t id, size_t size) {
  id.llPhysicalSize = static_cast<long long>(size);
  if (media.Open(&id, true) != 0) {
    return "FAILED open: " + std::to_string(media.MediaFSGetLastError()) + " " + media.GetErrorString();
  }
  std::string out(size, '\0');
  const int got = size == 0 ? 0 : media.Read(out.data(), size);
  if (got != static_cast<int>(size)) return "FAILED read " + std::to_string(got) + ": " + media.GetErrorString();
  if (media.Close() != 0) return "FAILED close";
  return out;
}

}  // namespace archivefiles
