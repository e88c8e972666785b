// Containers for the compaction tests, and the compacting host's part: a plain SFile container
// of objects, and the compacted copy that a host writes from the current container's bytes and
// the ranges and map that CSFileCompactionMap::Merge returns; the whole compaction as a host runs
// it, and the steps of its switch at which crash tests stop it.
//
// A ContainerModel keeps the objects of one container by their logical offsets, alive or
// dropped, so a test can tell where each live object must lie in the current container: live
// objects follow the map in logical order, with nothing between them.
#pragma once

#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "MediaFileSystem/SFileCompactionMap.h"
#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/byte_order.h"
#include "platform/crc32.h"
#include "platform/fault_injection.h"

namespace cmptest {

// The 128-byte container header: "SFILHDR", a zero byte, the big-endian version, zeros.
inline std::string ContainerHeader(uint32_t version) {
  std::string h(128, '\0');
  h.replace(0, 7, "SFILHDR");
  EncodeBE32(&h[8], version);
  return h;
}

// The media form of a map's header and entries (bytes 128 to 256 + 24n of a compacted container).
inline std::string MapBytes(const CSFileCompactionMap& map) {
  std::string entries(size_t{map.EntryCount()} * sizeof(SCompactionMapEntry), '\0');
  map.Serialize(reinterpret_cast<SCompactionMapEntry*>(entries.data()));
  std::string header(128, '\0');
  header.replace(0, 6, kCompactionMapTag);
  EncodeBE32(&header[8], map.Header().uCRC32);
  EncodeBE32(&header[12], map.Header().uSizeOnMedia);
  EncodeBE32(&header[16], map.Header().uEntryCount);
  return header + entries;
}

// A compacted container whose map holds the given (logical, physical) entries, followed by
// `data`; the CRC is right unless a test changes the bytes after.
inline std::string CompactedContainer(const std::vector<std::pair<uint64_t, uint64_t>>& entries, const std::string& data,
                                      uint32_t version = 2) {
  std::string media(entries.size() * sizeof(SCompactionMapEntry), '\0');
  for (size_t k = 0; k < entries.size(); ++k) {
    EncodeBE64(&media[k * 24], entries[k].first);
    EncodeBE64(&media[k * 24 + 8], entries[k].second);
  }
  std::string header(128, '\0');
  header.replace(0, 6, kCompactionMapTag);
  EncodeBE32(&header[8], CXoCRC32::Of(media.data(), static_cast<unsigned int>(media.size())));
  EncodeBE32(&header[12], static_cast<uint32_t>(media.size()));
  EncodeBE32(&header[16], static_cast<uint32_t>(entries.size()));
  return ContainerHeader(version) + header + media + data;
}

// The copy a host writes for a compaction that Merge described: the container header, the map,
// then the bytes of each valid range of the current container in list order.
inline std::string CompactedCopy(const std::string& current, const CSFileCompactionMap& merged,
                                 const std::vector<SSFileRange>& ranges) {
  std::string copy = ContainerHeader(2) + MapBytes(merged);
  for (const SSFileRange& r : ranges) copy += current.substr(r.uOffset, r.uLength);
  return copy;
}

struct Object {
  uint64_t logical = 0;
  std::string bytes;
  bool alive = true;
};

class ContainerModel {
 public:
  // A plain container of `count` objects of 1 to `maxSize` random bytes.
  ContainerModel(std::mt19937_64& rng, int count, int maxSize) {
    uint64_t at = 128;
    for (int i = 0; i < count; ++i) {
      Object o;
      o.logical = at;
      o.bytes.resize(1 + rng() % static_cast<uint64_t>(maxSize));
      for (char& c : o.bytes) c = static_cast<char>(rng());
      at += o.bytes.size();
      objects_.push_back(o);
    }
    bytes_ = ContainerHeader(1);
    for (const Object& o : objects_) bytes_ += o.bytes;
  }

  const std::vector<Object>& objects() const { return objects_; }
  const std::string& bytes() const { return bytes_; }
  bool AnyAlive() const {
    for (const Object& o : objects_) {
      if (o.alive) return true;
    }
    return false;
  }

  // Chooses objects to drop (each live one with probability 1 in `oneIn`) and the holes that drop
  // them; with `spanning`, a hole covers a whole stretch of dead objects (dropped now or before),
  // so it may reach across several runs of the current map. The choice is applied by Apply.
  std::vector<SSFileRange> ChooseHoles(std::mt19937_64& rng, int oneIn, bool spanning) {
    dropping_.assign(objects_.size(), false);
    for (size_t i = 0; i < objects_.size(); ++i) dropping_[i] = objects_[i].alive && rng() % oneIn == 0;
    std::vector<SSFileRange> holes;
    for (size_t i = 0; i < objects_.size(); ++i) {
      if (!dropping_[i]) continue;
      size_t first = i, last = i;
      if (spanning) {
        while (first > 0 && (!objects_[first - 1].alive || dropping_[first - 1])) --first;
        while (last + 1 < objects_.size() && (!objects_[last + 1].alive || dropping_[last + 1])) ++last;
      }
      SSFileRange hole;
      hole.uOffset = objects_[first].logical;
      hole.uLength = objects_[last].logical + objects_[last].bytes.size() - hole.uOffset;
      if (holes.empty() || holes.back().uOffset + holes.back().uLength <= hole.uOffset) holes.push_back(hole);
      i = last;
    }
    return holes;
  }

  // Bytes of the live objects that the last choice drops.
  uint64_t DroppingBytes() const {
    uint64_t n = 0;
    for (size_t i = 0; i < objects_.size(); ++i) {
      if (dropping_[i]) n += objects_[i].bytes.size();
    }
    return n;
  }

  // Bytes of objects dropped before the last choice, after the last object alive before it, that
  // `holes` cover: a map's last run reaches without end, so a compaction counts them once more.
  uint64_t CoveredDeadTail(const std::vector<SSFileRange>& holes) const {
    size_t tail = objects_.size();
    while (tail > 0 && !objects_[tail - 1].alive) --tail;
    if (tail == 0) return 0;  // nothing was ever compacted, or nothing lives
    uint64_t n = 0;
    for (size_t i = tail; i < objects_.size(); ++i) {
      const uint64_t from = objects_[i].logical, to = from + objects_[i].bytes.size();
      for (const SSFileRange& h : holes) {
        const uint64_t a = std::max<uint64_t>(from, h.uOffset), b = std::min<uint64_t>(to, h.uOffset + h.uLength);
        if (b > a) n += b - a;
      }
    }
    return n;
  }

  // Makes the last choice so; `bytes` is the container that now holds the live objects.
  void Apply(const std::string& bytes) {
    for (size_t i = 0; i < objects_.size(); ++i) {
      if (dropping_[i]) objects_[i].alive = false;
    }
    dropping_.assign(objects_.size(), false);
    bytes_ = bytes;
  }

  uint64_t LiveBytes() const {
    uint64_t n = 0;
    for (const Object& o : objects_) n += o.alive ? o.bytes.size() : 0;
    return n;
  }

  // The runs a map of the live objects has: one per stretch of logically adjacent live objects.
  uint32_t Runs() const {
    uint32_t runs = 0;
    for (size_t i = 0; i < objects_.size(); ++i) {
      if (objects_[i].alive && (i == 0 || !objects_[i - 1].alive)) ++runs;
    }
    return runs;
  }

  // Where each live object must lie in a compacted container with `runs` map entries: the live
  // objects one after another behind the map. -1 for a dropped object.
  std::vector<int64_t> ExpectedPhysical(uint32_t runs) const {
    std::vector<int64_t> at(objects_.size(), -1);
    uint64_t next = 256 + uint64_t{runs} * 24;
    for (size_t i = 0; i < objects_.size(); ++i) {
      if (!objects_[i].alive) continue;
      at[i] = static_cast<int64_t>(next);
      next += objects_[i].bytes.size();
    }
    return at;
  }

 private:
  std::vector<Object> objects_;
  std::vector<bool> dropping_;
  std::string bytes_;
};

inline std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteWhole(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// ---- Compactions as a host runs them, and the steps at which tests stop them ---------------------

inline constexpr unsigned int kCopyPiece = 512;  // the host copies the ranges in pieces of this size

enum class Kind { kDiskCompact2, kDiskCompact, kCloud };

// A step of a compaction at which the child dies: the nth call of `op` on the container's name
// with `suffix` ("" the container, "SFILE_CONTAINER.idx" the chunk's index).
struct Step {
  const char* name;
  platform::FsOp op;
  const char* suffix;
  int nth;  // 0: a random one of the copy's writes
};

inline const std::vector<Step>& StepsOf(Kind kind) {
  static const std::vector<Step> compact2 = {
      {"write copy", platform::FsOp::Write, ".compact2", 0},       {"flush copy", platform::FsOp::Flush, ".compact2", 1},
      {"close copy", platform::FsOp::Close, ".compact2", 1},       {"switch test", platform::FsOp::Stat, ".compact2", 1},
      {"lock", platform::FsOp::Open, "SFILE_CONTAINER.idx", 1},   {"delete", platform::FsOp::Remove, "", 1},
      {"rename", platform::FsOp::Rename, ".compact2", 1},         {"unlock", platform::FsOp::Close, "SFILE_CONTAINER.idx", 1},
  };
  static const std::vector<Step> compact = {
      {"write copy", platform::FsOp::Write, ".compact", 0}, {"flush copy", platform::FsOp::Flush, ".compact", 1},
      {"marker", platform::FsOp::Open, ".temp", 1},         {"rename", platform::FsOp::Rename, ".compact", 1},
      {"unmark", platform::FsOp::Remove, ".temp", 1},
  };
  static const std::vector<Step> cloud = {
      {"write copy", platform::FsOp::Write, ".compact2", 0},
      {"publish copy", platform::FsOp::Close, ".compact2", 1},
      {"switch test", platform::FsOp::Stat, ".compact2", 1},
      {"checkpoint", platform::FsOp::Open, ".compact2.checkpoint", 1},
      {"checkpoint close", platform::FsOp::Close, ".compact2.checkpoint", 1},
      {"delete", platform::FsOp::Remove, "", 1},
      {"rename", platform::FsOp::Rename, ".compact2", 1},
      {"rename source delete", platform::FsOp::Remove, ".compact2", 1},
      {"checkpoint delete", platform::FsOp::Remove, ".compact2.checkpoint", 1},
      {"copy delete", platform::FsOp::Remove, ".compact2", 2},
  };
  return kind == Kind::kCloud ? cloud : kind == Kind::kDiskCompact ? compact : compact2;
}


// The suffix of a path of the container `sfile` in `chunk` ("" the container itself,
// "SFILE_CONTAINER.idx" the chunk's index, or one of the compaction's side files), or null for
// any other path.
inline const char* SuffixOf(const std::string& chunk, const std::string& sfile, const std::string& path) {
  if (path == path_append(chunk, "SFILE_CONTAINER.idx")) return "SFILE_CONTAINER.idx";
  if (path.compare(0, sfile.size(), sfile) != 0) return nullptr;
  const std::string rest = path.substr(sfile.size());
  for (const char* s : {"", ".compact2", ".compact", ".temp", ".compact2.checkpoint"}) {
    if (rest == s) return s;
  }
  return nullptr;
}

// The compacting host: compacts the container `sfile` on the storage of `params` by the scheme
// of `kind`, dropping `holes` (reads the container and its map, merges, writes the copy beside
// it, makes it durable and switches it in). 0 when the compaction is in place; otherwise the
// number of the step that failed.
inline int Compact(const CFSInitParams& params, const std::string& sfile, Kind kind, std::vector<SSFileRange> holes) {
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
  std::unique_ptr<CFileInterface> in(CFileInterface::GetFileInterfaceInstance(params));
  if (in->Open(sfile, O_RDONLY, 0, 0).IsFailure()) return 10;
  CSFileCompactionMap map;
  unsigned long long size = 0;
  if (SingleInstancer_FS::GetCompactionMap(in.get(), map).IsFailure() || in->Size(size).IsFailure()) return 11;
  std::vector<SSFileRange> ranges;
  uint64_t valid = 0, dropped = 0;
  if (map.Merge(&holes, 0, size, ranges, valid, dropped) != 0 || ranges.empty()) return 12;

  const bool scheme1 = kind == Kind::kDiskCompact;
  const std::string copyPath = sfile + (scheme1 ? ".compact" : ".compact2");
  std::unique_ptr<CFileInterface> out(CFileInterface::GetFileInterfaceInstance(params));
  if (out->Open(copyPath, O_WRONLY | O_CREAT | O_TRUNC, 0644, 0).IsFailure()) return 13;
  unsigned int done = 0;
  const std::string head = ContainerHeader(2) + MapBytes(map);
  if (out->Write(head.data(), static_cast<unsigned int>(head.size()), &done).IsFailure()) return 14;
  std::string piece(kCopyPiece, '\0');
  for (const SSFileRange& r : ranges) {
    for (uint64_t at = 0; at < r.uLength; at += kCopyPiece) {
      const unsigned int n = static_cast<unsigned int>(std::min<uint64_t>(kCopyPiece, r.uLength - at));
      if (in->Seek(static_cast<CXoFile::offset>(r.uOffset + at), SEEK_SET, nullptr).IsFailure() ||
          in->Read(piece.data(), n, &done).IsFailure() || done != n ||
          out->Write(piece.data(), n, &done).IsFailure() || done != n) {
        return 15;
      }
    }
  }
  // The copy is made durable before anything relies on it.
  if (out->Flush().IsFailure() || out->Close().IsFailure()) return 16;
  if (!scheme1) return SingleInstancer_FS::SwitchCompactableFile(params, sfile.c_str(), nullptr).IsSuccess() ? 0 : 17;

  std::unique_ptr<CFileInterface> marker(CFileInterface::GetFileInterfaceInstance(params));
  if (marker->Open(sfile + ".temp", O_WRONLY | O_CREAT, 0644, 0).IsFailure() || marker->Flush().IsFailure() ||
      marker->Close().IsFailure()) {
    return 18;
  }
  if (fs->Rename(copyPath, sfile, 2).IsFailure()) return 19;
  return fs->RemoveFile(sfile + ".temp", 0).IsSuccess() ? 0 : 20;
}

}  // namespace cmptest
