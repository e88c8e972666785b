// Helpers of the index file tests: temporary folders, record and file builders, and a window on
// the page cache of a CIndexFile.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "MediaFileSystem/SingleInstancerIndexFile.h"
#include "platform/platform.h"

using SFileIndex = CIndexFile<SSfileContainerIndexEntry, g_szSFileIndexHdrMagic>;
using ChunkIndex = CIndexFile<SChunkMetaDataIndexEntry, g_szChunkIndexHdrMagic>;
using Chunk90Index = CIndexFile<SChunkMetaDataIndexEntry90, g_szChunkIndexHdrMagic>;
using HybridIndex = CIndexFile<SHybridVolumeRecord, g_szHybridVolumeIndexHdrMagic>;

// The internals that the page cache and journal tests look at.
struct CIndexFileTestAccess {
  template <class F> static auto& Pages(F& f) { return f.m_Pages; }
  template <class F> static auto& Lru(F& f) { return f.m_Lru; }
  template <class F> static uint64_t& Size(F& f) { return f.m_Size; }
  template <class F> static uint64_t& Pos(F& f) { return f.m_Pos; }
  template <class F> static bool Dirty(F& f) { return f.m_bDirty; }
  template <class F> static uint32_t MaxPages(F& f) { return f.m_MaxPages; }
  template <class F> static bool UseChangeFile(F& f) { return f.m_bUseChangeFile; }
  template <class F> static uint64_t LastKey(F& f) { return f.m_LastKey; }
  template <class F> static CXoError Write(F& f, const std::string& bytes) {
    return f.Write(bytes.data(), static_cast<unsigned int>(bytes.size()));
  }
  template <class F> static CXoError Read(F& f, char* buffer, unsigned int length) { return f.Read(buffer, length); }
  template <class F> static void DropPages(F& f) { f.DropPages(); }
};
using Access = CIndexFileTestAccess;

namespace idxtest {

// A folder of its own for each test, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/mfs_index_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
  }
  ~TempDir() {
    nftw(
        path_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline CFSInitParams Params(int type = kFSTypeDisk, int subType = -1) {
  CFSInitParams p;
  p.m_Type = type;
  p.m_SubType = subType;
  return p;
}

template <class Index>
typename Index::Options Opts(bool changeFile, bool aligned) {
  typename Index::Options o;
  o.bUseChangeFile = changeFile;
  o.bCacheKeys = true;
  o.bAligned = aligned;
  return o;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

inline uint32_t Crc(const std::string& bytes, size_t from = 0, size_t length = std::string::npos) {
  std::string part = bytes.substr(from, length);
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(part.data()), static_cast<uInt>(part.size())));
}

inline void PutBE32(std::string& b, size_t at, uint32_t v) { EncodeBE32(&b[at], v); }
inline void PutBE64(std::string& b, size_t at, uint64_t v) { EncodeBE64(&b[at], v); }
inline uint32_t GetBE32(const std::string& b, size_t at) { return DecodeBE32(b.data() + at); }
inline uint64_t GetBE64(const std::string& b, size_t at) { return DecodeBE64(b.data() + at); }

// A header as stored, its CRC computed unless `crc` is given.
struct HeaderFields {
  std::string magic = "SFILIDX";
  uint32_t version = 2;
  uint64_t deleted = 0;
  uint64_t total = 0;
  uint32_t blockSize = 0;
  uint32_t engineId = 0;
  bool explicitCrc = false;
  uint32_t crc = 0;
};

inline std::string HeaderBytes(const HeaderFields& h) {
  std::string b(kIdxHeaderSize, '\0');
  memcpy(&b[0], h.magic.data(), std::min<size_t>(h.magic.size(), 8));
  PutBE32(b, 8, h.version);
  PutBE64(b, 16, h.deleted);
  PutBE64(b, 24, h.total);
  PutBE32(b, 32, h.blockSize);
  PutBE32(b, 36, h.engineId);
  PutBE32(b, 124, h.explicitCrc ? h.crc : Crc(b, 0, 124));
  return b;
}

inline SSfileContainerIndexEntry SfileRec(uint64_t key, uint32_t deleted = 0) {
  SSfileContainerIndexEntry r{};
  r.OwnerValue0 = key * 3;
  r.Key = key;
  r.DataFileOffset = key * 4096;
  r.DataLength = 100 + key;
  r.OwnerValue32 = ~key;
  r.ContainerNo = static_cast<uint32_t>(key % 7);
  r.Flags = FLAG_SFILE_ENTRY_VALID;
  r.Deleted = deleted;
  return r;
}

// The stored bytes of a container index record, as an independent encoder writes them.
inline std::string SfileRecBytes(uint64_t key, uint32_t deleted = 0) {
  SSfileContainerIndexEntry r = SfileRec(key, deleted);
  std::string b(56, '\0');
  PutBE64(b, 0, r.OwnerValue0);
  PutBE64(b, 8, r.Key);
  PutBE64(b, 16, r.DataFileOffset);
  PutBE64(b, 24, r.DataLength);
  PutBE64(b, 32, r.OwnerValue32);
  PutBE32(b, 40, r.ContainerNo);
  PutBE32(b, 44, r.Flags);
  PutBE32(b, 48, Crc(b, 0, 48));
  PutBE32(b, 52, deleted);
  return b;
}

// A packed container index of the given records (keys), header count `headerTotal`.
inline std::string PackedSfileFile(const std::vector<uint64_t>& keys, uint64_t headerTotal, uint32_t version = 2) {
  HeaderFields h;
  h.version = version;
  h.total = headerTotal;
  std::string b = HeaderBytes(h);
  for (uint64_t k : keys) b += SfileRecBytes(k);
  return b;
}

// An aligned container index of records with the given keys, made with the library and closed.
inline void MakeContainerIndex(const std::string& path, const CFSInitParams& params,
                               const std::vector<uint64_t>& keys) {
  SFileIndex idx(&params, nullptr);
  auto opt = Opts<SFileIndex>(false, true);
  if (idx.Create(path, opt).IsFailure()) throw std::runtime_error("create failed");
  for (uint64_t k : keys) {
    SSfileContainerIndexEntry r = SfileRec(k);
    if (idx.AddEntry(&r).IsFailure()) throw std::runtime_error("append failed");
  }
  if (idx.Close().IsFailure()) throw std::runtime_error("close failed");
}

// A change journal of version 2 (or another) from (page number, bytes) records.
struct JournalRecord {
  uint64_t page;
  std::string bytes;
};
inline std::string Journal(const std::vector<JournalRecord>& records, uint32_t version = 2) {
  std::string b(12, '\0');
  PutBE32(b, 4, version);
  PutBE32(b, 8, static_cast<uint32_t>(records.size()));
  for (const auto& r : records) {
    std::string head(12, '\0');
    PutBE64(head, 0, r.page);
    PutBE32(head, 8, static_cast<uint32_t>(r.bytes.size()));
    b += head + r.bytes;
  }
  PutBE32(b, 0, Crc(b, 4));
  return b;
}
inline void FixJournalCrc(std::string& journal) { PutBE32(journal, 0, Crc(journal, 4)); }

// The kind of lock that some open file holds on the container index's lock range, as seen from a
// descriptor of its own (F_UNLCK: none).
inline int HeldLockType(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR);
  if (fd < 0) return -1;
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_len = 1024;
  int rc = fcntl(fd, F_OFD_GETLK, &fl);
  ::close(fd);
  return rc == 0 ? fl.l_type : -1;
}

// Runs `body` in a child process; its result becomes the child's exit status.
inline pid_t Fork(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    int rc = 0;
    try {
      rc = body();
    } catch (...) {
      rc = 99;
    }
    _exit(rc);
  }
  return pid;
}

inline int Wait(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

// A one-byte message channel between a test and its child.
class Pipe {
 public:
  Pipe() {
    if (pipe(fds_) != 0) throw std::runtime_error("pipe failed");
  }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  void Send(char c = 'x') { (void)!::write(fds_[1], &c, 1); }
  // The next byte, or 0 at the end of the stream.
  char Receive() {
    char c = 0;
    return ::read(fds_[0], &c, 1) == 1 ? c : 0;
  }
  int ReadFd() const { return fds_[0]; }
  int WriteFd() const { return fds_[1]; }
  void CloseRead() {
    if (fds_[0] >= 0) ::close(fds_[0]);
    fds_[0] = -1;
  }
  void CloseWrite() {
    if (fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace idxtest
