// The files a restore reads objects from. A reader remembers where the store stands in its file
// and the few bytes it read ahead of that place (the next object's header, when objects are read
// in container order), so objects read in order cost one read each, and one read at an offset
// needs no seek where the file layer reads at offsets.
//
// A restore keeps the SFile containers it reads open, each with its reader: at most
// KeptContainers::kMax, the least recently used closed first. An object in a container read
// before costs neither an open nor a read of the container header. A kept container is the file
// that was opened: a compaction that puts a new file in its place after that does not change
// what the kept descriptor reads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace sistore {

class DataFileReader {
 public:
  // Reads `file` from `position` on (where the file's own position stands; -1: not known, and
  // reads follow the file's own position). Without `readAhead` the reader reads only what it is
  // asked for, so the file's own position stays where the reads end.
  void Attach(CFileInterface* file, int64_t position, bool readAhead = true);
  CFileInterface* File() const { return m_file; }

  // Whether the next byte read is the one at `offset`.
  bool At(uint64_t offset) const {
    return m_position >= 0 && static_cast<uint64_t>(m_position) - m_aheadLength == offset;
  }
  // Makes `offset` the next byte read: nothing to do where the reader stands there already;
  // otherwise remembered where the file reads at offsets, or a seek of the file (whose failure is
  // the seek's own). Reads in order read ahead; after a move they read only what is asked, until
  // the reader is found in place again.
  CXoError MoveTo(uint64_t offset);
  // Reads `length` bytes from the place the reader stands: the bytes read ahead first, then the
  // file, asking it for the bytes that follow too. A short count only at the end of the file.
  CXoError Read(char* buffer, unsigned int length, unsigned int& got);

 private:
  static constexpr unsigned int kAheadSize = 16;  // an object header

  CFileInterface* m_file = nullptr;
  int64_t m_position = -1;  // where the bytes read ahead end; -1: not known
  char m_ahead[kAheadSize] = {};
  unsigned int m_aheadLength = 0;
  bool m_readAhead = true;
  bool m_inOrder = true;  // the last move found the reader in place
};

struct KeptContainer {
  std::string path;  // as opened; empty while the entry holds no container
  std::unique_ptr<CFileInterface> file;
  DataFileReader reader;
};

class KeptContainers {
 public:
  static constexpr size_t kMax = 16;
  using Container = KeptContainer;

  explicit KeptContainers(const CFSInitParams& params) : m_params(params) {}
  ~KeptContainers();
  KeptContainers(const KeptContainers&) = delete;
  KeptContainers& operator=(const KeptContainers&) = delete;

  // The kept container at `path` (names compared ignoring case), now the most recently used;
  // null when none is kept.
  Container* Find(const std::string& path);
  // An entry to open a container into, as the most recently used, its file closed: an unused
  // one, or the least recently used container. Null when no file interface can be made.
  Container* Take();
  // Closes the entry's file; the entry keeps no container.
  void Drop(Container* container);
  // Closes every kept container: the first failure, or success.
  CXoError CloseAll();
  // Every file interface the entries hold, open or not (their transfer counters).
  std::vector<CFileInterface*> Files() const;

 private:
  CFSInitParams m_params;
  std::vector<std::unique_ptr<KeptContainer>> m_entries;  // most recently used first
};

}  // namespace sistore
