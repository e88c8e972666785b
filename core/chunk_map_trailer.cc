// The chunk map trailer: lines of a name, one blank and a value, parsed in place. The text comes
// from the media, so every scan is bounded by the block it was read into.

#include <climits>
#include <cstdlib>
#include <cstring>

#include "MediaFileSystem/zovadAdeveFS.h"

namespace {

constexpr size_t kMaxNameScan = 64;     // a name has at most 63 characters
constexpr size_t kMaxValueScan = 4096;  // a value has at most 4095 characters

// Finds `stop` within `limit` positions of `from`, never at or past `end` or a terminator.
char* FindWithin(char* from, const char* end, char stop, size_t limit) {
  for (size_t i = 0; i < limit; ++i) {
    char* p = from + i;
    if (p >= end || *p == '\0') return nullptr;
    if (*p == stop) return p;
  }
  return nullptr;
}

// Leading decimal digits like atoi, but saturating instead of overflowing.
int32_t ParseInt32(const char* text) {
  long long v = std::strtoll(text, nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// Copies at most `chars` characters into a field of chars + 1 bytes, always terminated.
void CopyValue(char* field, size_t chars, const char* value) {
  std::strncpy(field, value, chars);
  field[chars] = '\0';
}

}  // namespace

int media_fs::GetNextNameValue(char*& cursor, char*& name, char*& value) {
  return GetNextNameValue(cursor, cursor + std::strlen(cursor), name, value);
}

int media_fs::GetNextNameValue(char*& cursor, const char* end, char*& name, char*& value) {
  name = cursor;
  char* blank = FindWithin(cursor, end, ' ', kMaxNameScan);
  if (blank == nullptr) return -1;
  *blank = '\0';
  cursor = blank + 1;
  value = cursor;
  char* newline = FindWithin(cursor, end, '\n', kMaxValueScan);
  if (newline == nullptr) return -1;
  *newline = '\0';
  cursor = newline + 1;
  return 0;
}

int media_fs::GetMediaInfoFromChunkMapTrailer(char* text, ChunkMapTrailerInfo& info) {
  return GetMediaInfoFromChunkMapTrailer(text, std::strlen(text), info);
}

int media_fs::GetMediaInfoFromChunkMapTrailer(char* block, size_t size, ChunkMapTrailerInfo& info) {
  std::memset(info.TavrixVersion, 0, sizeof(info.TavrixVersion));
  char* cursor = block;
  const char* end = block + size;
  char* name = nullptr;
  char* value = nullptr;

  if (GetNextNameValue(cursor, end, name, value) != 0) {
    Log(1, "**ERROR** Failed to parse Chunk Map.");
    return -1;
  }
  if (std::strcmp(name, "CHUNK_MAP_TRAILER_VERSION") != 0) {
    Log(1, "**ERROR** Failed to parse Chunk Map trailer. Identifier did not match.");
    return -1;
  }
  info.Version = ParseInt32(value);

  for (;;) {
    if (GetNextNameValue(cursor, end, name, value) != 0) {
      Log(1, "**ERROR** Could not Parse Chunk Map trailer");
      return -1;
    }
    if (std::strcmp(name, "TrailerSize") == 0) {
      info.TrailerSize = ParseInt32(value);
    } else if (std::strcmp(name, "FileMarkNumber") == 0) {
      info.FileMarkNumber = ParseInt32(value);
    } else if (std::strcmp(name, "ChunkId") == 0) {
      char* digitsEnd = nullptr;
      const long long id = std::strtoll(value, &digitsEnd, 10);
      if (digitsEnd != value) info.ChunkId = id;
    } else if (std::strcmp(name, "VolumeId") == 0) {
      info.VolumeId = ParseInt32(value);
    } else if (std::strcmp(name, "TavrixVersion") == 0) {
      CopyValue(info.TavrixVersion, ChunkMapTrailerInfo::kTavrixVersionChars, value);
    } else if (std::strcmp(name, "uniqueMediaIdString") == 0) {
      CopyValue(info.uniqueMediaIdString, ChunkMapTrailerInfo::kUniqueMediaIdChars, value);
      return 0;
    }
  }
}
