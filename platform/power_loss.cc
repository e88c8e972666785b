#include "platform/power_loss.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <list>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace platform {
namespace power_loss {

namespace {

constexpr uint64_t kPage = 4096;

using FileKey = std::pair<dev_t, ino_t>;

// A file with changes since its last Flush.
struct FileState {
  uint64_t order = 0;        // when the model first saw it: random choices follow this order
  int fd = -1;               // the model's own descriptor of the inode (its own lock state too)
  uint64_t flushedSize = 0;
  uint64_t lowestSize = 0;   // the smallest size a truncation gave it since
  std::map<uint64_t, std::string> originals;  // page number: its bytes at the last Flush
};

}  // namespace

enum class ChangeKind { kCreateFile, kCreateFolder, kRemoveFile, kRemoveFolder, kRename };

struct NameChange {
  ChangeKind kind = ChangeKind::kCreateFile;
  std::string path;  // real folder and name; a rename's source
  std::string to;    // a rename's target
  std::set<std::string> folders;  // the folders whose Flush it still waits for
  // What a removal or a replacing rename took away: a file as its flushed bytes, or a folder.
  bool replaced = false;
  bool replacedFolder = false;
  std::string image;
  mode_t mode = 0600;
  bool forgetVictim = false;  // the file lost its last name: its changes no longer matter
  FileKey victim{};
};

namespace {

struct ModelState {
  std::shared_mutex calls;  // shared by each call, exclusive by a cut
  std::mutex data;          // the maps below
  std::atomic<bool> off{false};
  std::map<FileKey, FileState> files;
  uint64_t nextOrder = 0;
  std::list<NameChange> names;  // oldest first
};

ModelState& State() {
  static ModelState* state = new ModelState;  // outlives static destructors
  return *state;
}

void ForgetFiles(ModelState& s) {
  for (auto& [key, file] : s.files) ::close(file.fd);
  s.files.clear();
}

void ForgetFile(ModelState& s, const FileKey& key) {
  auto it = s.files.find(key);
  if (it == s.files.end()) return;
  ::close(it->second.fd);
  s.files.erase(it);
}

std::string TrimSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string RealFolder(const std::string& folder) {
  char buffer[PATH_MAX];
  return ::realpath(folder.c_str(), buffer) != nullptr ? std::string(buffer) : folder;
}

// The same name however the caller spelled its folder, so that a Flush of the folder finds it.
std::string Canonical(const std::string& path) {
  const std::string trimmed = TrimSlashes(path);
  const std::string folder = RealFolder(FolderOf(trimmed));
  const std::string name = trimmed.substr(trimmed.find_last_of('/') + 1);
  return folder == "/" ? "/" + name : folder + "/" + name;
}

std::string PathOfDescriptor(int fd) {
  char buffer[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = ::readlink(link.c_str(), buffer, sizeof(buffer) - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

int ReadAt(int fd, uint64_t offset, uint64_t length, std::string& bytes) {
  bytes.assign(length, '\0');
  uint64_t got = 0;
  while (got < length) {
    ssize_t n = ::pread(fd, bytes.data() + got, length - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;  // shorter than thought: the rest reads as zeros
    got += static_cast<uint64_t>(n);
  }
  return 0;
}

int WriteAt(int fd, uint64_t offset, const char* data, uint64_t length) {
  uint64_t put = 0;
  while (put < length) {
    ssize_t n = ::pwrite(fd, data + put, length - put, static_cast<off_t>(offset + put));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    put += static_cast<uint64_t>(n);
  }
  return 0;
}

// The model's record of the file open at `fd`, made on its first change since a Flush: what is
// on disk then is what its last Flush left.
int FileOf(ModelState& s, int fd, FileState** file) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return errno;
  const FileKey key{st.st_dev, st.st_ino};
  auto it = s.files.find(key);
  if (it == s.files.end()) {
    // A descriptor of its own (not a dup): the caller's lock and position stay the caller's.
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    int own = ::open(link.c_str(), O_RDWR | O_CLOEXEC);
    if (own < 0) return errno;
    FileState state;
    state.order = s.nextOrder++;
    state.fd = own;
    state.flushedSize = static_cast<uint64_t>(st.st_size);
    state.lowestSize = state.flushedSize;
    it = s.files.emplace(key, std::move(state)).first;
  }
  *file = &it->second;
  return 0;
}

// Keeps the flushed bytes of every page of [begin, end) that is about to change for the first
// time since the file's Flush. Pages past the flushed size have no such bytes.
int Capture(ModelState& s, int fd, uint64_t begin, uint64_t end) {
  FileState* file = nullptr;
  if (int err = FileOf(s, fd, &file)) return err;
  const uint64_t stop = std::min(end, file->flushedSize);
  for (uint64_t page = begin / kPage; page * kPage < stop; ++page) {
    if (file->originals.count(page) != 0) continue;
    const uint64_t at = page * kPage;
    std::string bytes;
    if (int err = ReadAt(file->fd, at, std::min(kPage, file->flushedSize - at), bytes)) return err;
    file->originals.emplace(page, std::move(bytes));
  }
  return 0;
}

// A name change of `path`, to wait for the flush of the folder that holds it.
NameChange* NewChange(ChangeKind kind, const std::string& path) {
  auto* change = new NameChange;
  change->kind = kind;
  change->path = Canonical(path);
  change->folders = {FolderOf(change->path)};
  return change;
}

// What a removal or a replacing rename takes away from `path`, so that a cut can bring it back.
int Remember(ModelState& s, const std::string& path, NameChange& change) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
  if (S_ISDIR(st.st_mode)) {
    change.replaced = true;
    change.replacedFolder = true;
    return 0;
  }
  if (!S_ISREG(st.st_mode)) return 0;  // not modelled
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = ReadAt(fd, 0, static_cast<uint64_t>(st.st_size), change.image);
  ::close(fd);
  if (err != 0) return err;
  const FileKey key{st.st_dev, st.st_ino};
  auto it = s.files.find(key);
  if (it != s.files.end()) {
    const FileState& file = it->second;
    change.image.resize(file.flushedSize);
    for (const auto& [page, bytes] : file.originals) change.image.replace(page * kPage, bytes.size(), bytes);
  }
  change.replaced = true;
  change.mode = st.st_mode & 07777;
  change.victim = key;
  change.forgetVictim = st.st_nlink <= 1;
  return 0;
}

// ---------------------------------------------------------------------------------------------
// The cut.

void Note(PowerCutReport& report, const std::string& what, const std::string& path, int err) {
  report.errors.push_back(what + " [" + path + "]: " + std::strerror(err));
}

// The size a file is left with in random mode: its flushed or its current size, or a page
// boundary between them, each end as likely as the inside.
uint64_t RandomSize(uint64_t flushed, uint64_t current, std::mt19937_64& rng) {
  const uint64_t lo = std::min(flushed, current), hi = std::max(flushed, current);
  const uint64_t first = lo / kPage + 1, last = hi == 0 ? 0 : (hi - 1) / kPage;
  switch (rng() % 3) {
    case 0: return lo;
    case 1: return hi;
    default: return last >= first ? (first + rng() % (last - first + 1)) * kPage : hi;
  }
}

void RevertFile(const FileState& file, PowerCutMode mode, std::mt19937_64& rng, PowerCutReport& report) {
  struct stat st {};
  if (::fstat(file.fd, &st) != 0) return Note(report, "stat", std::to_string(file.fd), errno);
  if (st.st_nlink == 0) return;  // no name leads to it any more
  const uint64_t current = static_cast<uint64_t>(st.st_size);
  if (current == file.flushedSize && file.originals.empty()) return;
  ++report.filesReverted;
  const std::string name = PathOfDescriptor(file.fd);

  // `base` is the size of what the disk holds beneath the unflushed pages. A truncation is one
  // change of the file's metadata: either it reached the disk, and the bytes it cut off are gone
  // (writes after it may have followed), or it did not, and nothing written after it did either.
  bool random = mode == PowerCutMode::kRandomPages;
  uint64_t base = file.flushedSize;
  if (random && file.lowestSize < file.flushedSize) {
    if (rng() % 2 == 0) {
      random = false;
    } else {
      base = file.lowestSize;
    }
  }
  const uint64_t size = random ? RandomSize(base, current, rng) : file.flushedSize;
  if (size != current && ::ftruncate(file.fd, static_cast<off_t>(size)) != 0) {
    return Note(report, "truncate", name, errno);
  }
  // The unflushed pages within the new size: those with flushed bytes beneath them, then those
  // past `base` that the file had reached.
  std::set<uint64_t> pages;
  for (const auto& [page, bytes] : file.originals) {
    if (page * kPage < std::min(size, base)) pages.insert(page);
  }
  for (uint64_t page = base / kPage; page * kPage < std::min(size, current); ++page) pages.insert(page);
  const std::string zeros(kPage, '\0');
  for (uint64_t page : pages) {
    if (random && rng() % 2 == 0) {
      ++report.pagesKept;
      continue;
    }
    ++report.pagesDropped;
    // The page's flushed bytes below `base`, zeros above.
    const uint64_t at = page * kPage;
    const uint64_t end = std::min(at + kPage, size);
    uint64_t from = std::max(at, std::min(base, end));
    auto original = file.originals.find(page);
    if (original != file.originals.end() && at < base) {
      const uint64_t n = std::min<uint64_t>(original->second.size(), std::min(base, end) - at);
      if (int err = WriteAt(file.fd, at, original->second.data(), n)) return Note(report, "write", name, err);
      from = at + n;
    }
    if (from < end) {
      if (int err = WriteAt(file.fd, from, zeros.data(), end - from)) return Note(report, "write", name, err);
    }
  }
}

void PutBack(const NameChange& change, const std::string& path, PowerCutReport& report) {
  if (change.replacedFolder) {
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) Note(report, "create the folder", path, errno);
    return;
  }
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, change.mode);
  if (fd < 0) return Note(report, "create", path, errno);
  int err = WriteAt(fd, 0, change.image.data(), change.image.size());
  if (err == 0 && ::fchmod(fd, change.mode) != 0) err = errno;
  ::close(fd);
  if (err != 0) Note(report, "write", path, err);
}

void Undo(const NameChange& change, PowerCutReport& report) {
  switch (change.kind) {
    case ChangeKind::kCreateFile:
      if (::unlink(change.path.c_str()) != 0 && errno != ENOENT) Note(report, "remove", change.path, errno);
      return;
    case ChangeKind::kCreateFolder: {
      std::error_code ec;
      std::filesystem::remove_all(change.path, ec);
      if (ec) Note(report, "remove the folder", change.path, ec.value());
      return;
    }
    case ChangeKind::kRemoveFile:
    case ChangeKind::kRemoveFolder:
      return PutBack(change, change.path, report);
    case ChangeKind::kRename:
      if (::rename(change.to.c_str(), change.path.c_str()) != 0) {
        return Note(report, "rename back", change.to, errno);
      }
      if (change.replaced) PutBack(change, change.to, report);
      return;
  }
}

}  // namespace

void Start() {
  ModelState& s = State();
  std::unique_lock<std::shared_mutex> calls(s.calls);
  std::lock_guard<std::mutex> data(s.data);
  ForgetFiles(s);
  s.names.clear();
  s.nextOrder = 0;
}

void Reset() {
  Start();
  State().off.store(false);
}

PowerCutReport Cut(PowerCutMode mode, uint64_t seed) {
  ModelState& s = State();
  std::unique_lock<std::shared_mutex> calls(s.calls);
  std::lock_guard<std::mutex> data(s.data);
  s.off.store(true);
  PowerCutReport report;
  report.seed = seed;
  std::mt19937_64 rng(seed);

  std::vector<const FileState*> files;
  for (const auto& [key, file] : s.files) files.push_back(&file);
  std::sort(files.begin(), files.end(), [](const FileState* a, const FileState* b) { return a->order < b->order; });
  for (const FileState* file : files) RevertFile(*file, mode, rng, report);

  const size_t changes = s.names.size();
  const size_t kept = mode == PowerCutMode::kRandomPages ? static_cast<size_t>(rng() % (changes + 1)) : 0;
  report.namesKept = static_cast<int>(kept);
  report.namesUndone = static_cast<int>(changes - kept);
  auto it = s.names.end();
  for (size_t n = changes; n > kept; --n) Undo(*--it, report);

  s.names.clear();
  ForgetFiles(s);
  return report;
}

void Restore() {
  ModelState& s = State();
  std::unique_lock<std::shared_mutex> calls(s.calls);
  s.off.store(false);
}

bool IsOff() { return State().off.load(); }

}  // namespace power_loss

// ---------------------------------------------------------------------------------------------
// PowerLossCall

using power_loss::ChangeKind;
using power_loss::NameChange;

void PowerLossCall::Begin(FaultInjector::Outcome& outcome) {
  power_loss::ModelState& s = power_loss::State();
  m_lock = std::shared_lock<std::shared_mutex>(s.calls);
  m_modelled = true;
  if (s.off.load()) outcome.err = EIO;
}

void PowerLossCall::Discard() { Pend(nullptr); }

void PowerLossCall::Pend(power_loss::NameChange* change) {
  delete m_pending;
  m_pending = change;
}

void PowerLossCall::Commit() {
  power_loss::ModelState& s = power_loss::State();
  std::lock_guard<std::mutex> data(s.data);
  if (m_pending->forgetVictim) power_loss::ForgetFile(s, m_pending->victim);
  s.names.push_back(std::move(*m_pending));
  Discard();
}

int PowerLossCall::RecordWrite(int fd, uint64_t length) {
  off_t at = (::fcntl(fd, F_GETFL) & O_APPEND) != 0 ? ::lseek(fd, 0, SEEK_END) : ::lseek(fd, 0, SEEK_CUR);
  if (at < 0) return errno;
  power_loss::ModelState& s = power_loss::State();
  std::lock_guard<std::mutex> data(s.data);
  return power_loss::Capture(s, fd, static_cast<uint64_t>(at), static_cast<uint64_t>(at) + length);
}

int PowerLossCall::RecordResize(int fd, uint64_t size) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return errno;
  const uint64_t current = static_cast<uint64_t>(st.st_size);
  power_loss::ModelState& s = power_loss::State();
  std::lock_guard<std::mutex> data(s.data);
  if (int err = power_loss::Capture(s, fd, std::min(size, current), std::max(size, current))) return err;
  power_loss::FileState* file = nullptr;
  if (int err = power_loss::FileOf(s, fd, &file)) return err;
  file->lowestSize = std::min(file->lowestSize, size);
  return 0;
}

int PowerLossCall::RecordHole(int fd, uint64_t offset, uint64_t length) {
  power_loss::ModelState& s = power_loss::State();
  std::lock_guard<std::mutex> data(s.data);
  return power_loss::Capture(s, fd, offset, offset + length);
}

int PowerLossCall::RecordOpen(const std::string& path, int& flags) {
  if ((flags & (O_CREAT | O_TRUNC)) == 0) return 0;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if ((flags & O_TRUNC) != 0 && S_ISREG(st.st_mode) && (flags & O_ACCMODE) != O_RDONLY) {
      flags &= ~O_TRUNC;
      m_truncateAfterOpen = true;
    }
    return 0;
  }
  if ((flags & O_CREAT) != 0) Pend(power_loss::NewChange(ChangeKind::kCreateFile, path));
  return 0;
}

int PowerLossCall::FinishOpen(int fd) {
  if (m_truncateAfterOpen) {
    if (int err = RecordResize(fd, 0)) return err;
    if (::ftruncate(fd, 0) != 0) return errno;
  }
  Committed();
  return 0;
}

int PowerLossCall::RecordRemove(const std::string& path, bool folder) {
  NameChange* change = power_loss::NewChange(folder ? ChangeKind::kRemoveFolder : ChangeKind::kRemoveFile, path);
  Pend(change);
  if (folder) {
    change->replaced = true;
    change->replacedFolder = true;
    return 0;
  }
  power_loss::ModelState& s = power_loss::State();
  std::lock_guard<std::mutex> data(s.data);
  return power_loss::Remember(s, path, *change);
}

int PowerLossCall::RecordRename(const std::string& from, const std::string& to) {
  NameChange* change = power_loss::NewChange(ChangeKind::kRename, from);
  change->to = power_loss::Canonical(to);
  change->folders.insert(power_loss::FolderOf(change->to));
  Pend(change);
  if (change->path == change->to) {  // renaming a name to itself changes nothing
    Discard();
    return 0;
  }
  power_loss::ModelState& s = power_loss::State();
  std::lock_guard<std::mutex> data(s.data);
  return power_loss::Remember(s, to, *change);
}

int PowerLossCall::RecordCreateFolder(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) Pend(power_loss::NewChange(ChangeKind::kCreateFolder, path));
  return 0;
}

void PowerLossCall::RecordFlush(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return;
  power_loss::ModelState& s = power_loss::State();
  std::lock_guard<std::mutex> data(s.data);
  if (S_ISDIR(st.st_mode)) {
    const std::string folder = power_loss::PathOfDescriptor(fd);
    for (auto it = s.names.begin(); it != s.names.end();) {
      it->folders.erase(folder);
      it = it->folders.empty() ? s.names.erase(it) : std::next(it);
    }
  } else {
    power_loss::ForgetFile(s, power_loss::FileKey{st.st_dev, st.st_ino});
  }
}

}  // namespace platform
