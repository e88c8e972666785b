// What the roles of the store soak share with the test that checks them afterwards: the notes a
// backup job leaves of what it wrote and made durable, a restore's read of one object through
// the chunk reader (logical offsets, through a container's compaction map), and the compacting
// host's side: the dead ranges of a container by its index, a compaction under the chunk's
// compaction lock, and the recovery of what a killed compaction left.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "MediaFileSystem/SIFile.h"
#include "MediaFileSystem/SingleInstancerFS.h"
#include "sistore/backup_job.h"
#include "sistore/compaction_fixture.h"

namespace soak {

// One line of a backup job's notes: an object written ('W'), a checkpoint that made every object
// written before it durable ('C'), or the chunk's close ('Z'). Each note is one write of a fixed
// size, so a kill leaves whole notes only (a torn last one is dropped).
struct Note {
  char kind = 0;
  char pad[7] = {};
  uint64_t chunk = 0;
  uint64_t key = 0, seed = 0, offset = 0, metaOffset = 0;
  uint32_t dataSize = 0, metaSize = 0, container = 0, pad2 = 0;
};

inline void AppendNote(const std::string& path, const Note& n) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  (void)!::write(fd, &n, sizeof n);
  ::close(fd);
}

inline Note ObjectNote(uint64_t chunk, const sitest::WrittenObject& w) {
  Note n;
  n.kind = 'W';
  n.chunk = chunk;
  n.key = w.shape.key;
  n.seed = w.shape.seed;
  n.dataSize = w.shape.dataSize;
  n.metaSize = w.shape.metaSize;
  n.container = w.container;
  n.offset = w.offset;
  n.metaOffset = w.metaOffset;
  return n;
}

inline sitest::WrittenObject ObjectOf(const Note& n) {
  sitest::WrittenObject w;
  w.shape = {n.key, n.dataSize, n.metaSize, n.seed};
  w.container = n.container;
  w.offset = n.offset;
  w.metaOffset = n.metaOffset;
  return w;
}

// What a backup job's notes say of each chunk it wrote.
struct JobChunk {
  std::vector<sitest::WrittenObject> committed;  // durable: a checkpoint or the close came after them
  size_t written = 0;                            // objects written, durable or not
  bool closed = false;
};

inline std::map<uint64_t, JobChunk> ReadNotes(const std::string& path) {
  const std::string bytes = sitest::ReadWholeFile(path);
  std::map<uint64_t, JobChunk> out;
  std::map<uint64_t, std::vector<sitest::WrittenObject>> pending;
  for (size_t at = 0; at + sizeof(Note) <= bytes.size(); at += sizeof(Note)) {
    Note n;
    std::memcpy(&n, bytes.data() + at, sizeof n);
    JobChunk& c = out[n.chunk];
    if (n.kind == 'W') {
      pending[n.chunk].push_back(ObjectOf(n));
      ++c.written;
    } else if (n.kind == 'C' || n.kind == 'Z') {
      std::vector<sitest::WrittenObject>& p = pending[n.chunk];
      c.committed.insert(c.committed.end(), p.begin(), p.end());
      p.clear();
      c.closed = c.closed || n.kind == 'Z';
    }
  }
  return out;
}

// An object as a restore reads it through the chunk reader: its 16-byte header and its data, or
// the words of what failed.
inline std::string ReadObject(CSIFile& reader, const sitest::WrittenObject& w) {
  if (reader.OpenDataFileAndSeek(0, w.container, w.offset, 0) != 0) return "open failed";
  std::string header(sitest::kObjectHeaderSize, '\0');
  const MM_uint gotHeader = reader.ReadMetaData(header.data(), sitest::kObjectHeaderSize);
  std::string data(w.shape.dataSize, '\0');
  const MM_uint got = w.shape.dataSize == 0 ? 0 : reader.ReadData(data.data(), w.shape.dataSize);
  reader.CloseDataFile();
  if (gotHeader != sitest::kObjectHeaderSize) return "header read returned " + std::to_string(gotHeader);
  if (got != w.shape.dataSize) return "data read returned " + std::to_string(got);
  return header + data;
}

// The container index's records as they lie in the file (records with a bad CRC left out).
inline std::vector<SSfileContainerIndexEntry> IndexEntries(const std::string& indexPath) {
  const sitest::RawIndex raw = sitest::ReadContainerIndex(indexPath);
  std::vector<SSfileContainerIndexEntry> out;
  for (size_t i = 0; i < raw.totalEntries && i < raw.records.size(); ++i) {
    const std::string& r = raw.records[i];
    if (DecodeBE32(r.data() + 48) != sitest::Crc32(r.data(), 48)) continue;
    out.push_back(sitest::DecodeContainerRecord(r));
  }
  return out;
}

// The logical ranges of container `number` whose objects the index no longer holds valid,
// adjacent ones joined; empty when none is, or when none is left valid (the pruner removes that
// container whole).
inline std::vector<SSFileRange> DeadRanges(const std::vector<SSfileContainerIndexEntry>& entries, uint32_t number) {
  std::vector<std::pair<uint64_t, uint64_t>> dead;
  bool anyValid = false;
  for (const SSfileContainerIndexEntry& e : entries) {
    if (e.ContainerNo != number) continue;
    if ((e.Flags & FLAG_SFILE_ENTRY_VALID) != 0) {
      anyValid = true;
    } else {
      dead.emplace_back(e.DataFileOffset, e.DataLength);
    }
  }
  std::vector<SSFileRange> holes;
  if (!anyValid) return holes;
  std::sort(dead.begin(), dead.end());
  for (const auto& [offset, length] : dead) {
    if (!holes.empty() && holes.back().uOffset + holes.back().uLength == offset) {
      holes.back().uLength += length;
      continue;
    }
    SSFileRange r;
    r.uOffset = offset;
    r.uLength = length;
    holes.push_back(r);
  }
  return holes;
}

// The compacting host: container `number` of the chunk compacted without `holes`, the chunk's
// compaction lock held from before the copy is read until after the switch. 0 in place, -1 when
// the lock was not to be had, else the failing step of cmptest::Compact.
inline int CompactUnderLock(const CFSInitParams& params, const std::string& chunkDir, uint32_t number,
                            const std::vector<SSFileRange>& holes) {
  SCmpctChnkLockCtx lock;
  lock.strChunkDir = chunkDir;
  lock.InitParams = params;
  if (SingleInstancer_FS::LockChunkForCompaction(&lock, nullptr, true).IsFailure() || !lock.IsLocked()) return -1;
  const std::string sfile = path_append(chunkDir, SingleInstancer_FS::GetSFileContainerName(number));
  return cmptest::Compact(params, sfile, cmptest::Kind::kDiskCompact2, holes);
}

inline constexpr const char* kSideSuffixes[] = {".compact2.checkpoint", ".compact2", ".compact", ".temp"};

// The file that a compaction side file belongs to, or "" for any other name.
inline std::string CompactedFileOf(const std::string& name) {
  for (const char* s : kSideSuffixes) {
    const size_t n = std::strlen(s);
    if (name.size() > n && name.compare(name.size() - n, n, s) == 0) return name.substr(0, name.size() - n);
  }
  return "";
}

// Every interrupted compaction of the chunk finished or undone, as a host's recovery does: false
// when a recovery failed.
inline bool RecoverCompactions(CFSInitParams params, const std::string& chunkDir) {
  std::set<std::string> files;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(chunkDir, ec)) {
    const std::string base = CompactedFileOf(e.path().filename());
    if (!base.empty()) files.insert(path_append(chunkDir, base));
  }
  bool ok = true;
  for (const std::string& f : files) {
    ok = SingleInstancer_FS::RecoverCompactableFileByParams(params, f.c_str(), COMPACT_TYPE_BOTH, nullptr, false)
             .IsSuccess() &&
         ok;
  }
  return ok;
}

// The names in a folder (none when it is gone).
inline std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) out.insert(e.path().filename());
  return out;
}

// The container number of "SFILE_CONTAINER_NNN", or -1 for any other name.
inline long ContainerNumberOf(const std::string& name) {
  static const std::string prefix = "SFILE_CONTAINER_";
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return -1;
  const std::string digits = name.substr(prefix.size());
  if (digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::stol(digits);
}

}  // namespace soak
