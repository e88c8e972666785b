#include "platform/appliance_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "platform/cloud_store.h"
#include "platform/fault_injection.h"

namespace platform {

namespace {

constexpr unsigned int kMMErrApplianceFull = 81158;
// A copy job checks for its cancellation between pieces of this size.
constexpr uint64_t kCopyPiece = 8ULL << 20;

struct RuleState {
  ApplianceRule rule;
  int seen = 0;
};

struct CopyJob {
  uint64_t id = 0;
  std::string source;  // files
  std::string target;
  std::string targetName;  // as the caller named it
  uint64_t sourceOffset = 0;
  uint64_t targetOffset = 0;
  uint64_t length = 0;
  std::atomic<uint64_t> copied{0};
  std::atomic<bool> cancel{false};
  bool running = false;
  bool ended = false;
  CXoError result;
};

struct State {
  mutable std::mutex mutex;
  std::condition_variable changed;
  bool enabled = false;
  std::string root;
  unsigned long long capacity = 0;
  std::vector<RuleState> rules;
  std::vector<ApplianceCall> calls;
  std::map<uint64_t, std::shared_ptr<CopyJob>> jobs;
  uint64_t nextJobId = 1;
  std::thread* worker = nullptr;
  pid_t workerPid = 0;
  bool stopWorker = false;
  bool holdJobs = false;
};

State& S() {
  static State* state = new State;
  return *state;
}

// Under the state's lock: the first rule that matches the call, as its failure; else success.
CXoError ApplyRules(State& s, ApplianceOp op, const std::string& name) {
  for (RuleState& r : s.rules) {
    if (r.rule.op != op) continue;
    if (!r.rule.nameContains.empty() && name.find(r.rule.nameContains) == std::string::npos) continue;
    const int seen = ++r.seen;
    const int first = std::max(1, r.rule.nth);
    if (seen < first || (r.rule.times >= 0 && seen >= first + r.rule.times)) continue;
    return FXErrorUtil::ErrorMM(FX_LOCATION, r.rule.mmCode, "The appliance failed %s on [%s]", ApplianceOpName(op),
                                name.c_str());
  }
  return CXoError::Success();
}

// Records the call and applies the rules to it.
CXoError Gate(ApplianceOp op, const std::string& name, std::vector<long long> args, std::string other = {}) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.push_back(ApplianceCall{op, name, std::move(args), std::move(other)});
  return ApplyRules(s, op, name);
}

// The disk layer's fault check for the appliance's own calls: 0 or the errno to fail with.
int Injected(FsOp op, const std::string& path) {
  if (!Faults().Active()) return 0;
  return Faults().Check(op, path).err;
}

CXoError Refused(const FXCodeLocation& where, int err, const char* what, const std::string& name) {
  return FXErrorUtil::ErrorErrNo(where, err, "Cannot %s [%s] on the appliance", what, name.c_str());
}

std::string RootNow() {
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().root;
}

// The file of an object: 0, or ENOENT for a name outside the root.
int ObjectFile(const std::string& name, std::string& file) { return objectstore::Resolve(RootNow(), name, file); }

unsigned long long UsedBytesBelow(const std::string& root) {
  if (root.empty()) return 0;
  unsigned long long used = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code sizeError;
    if (it->is_regular_file(sizeError)) {
      const auto size = it->file_size(sizeError);
      if (!sizeError) used += size;
    }
  }
  return used;
}

bool CapacitySet() {
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().capacity != 0;
}

// Success when the objects can grow by `growth` bytes, else media manager error 81158.
CXoError CheckRoom(uint64_t growth, const std::string& name) {
  unsigned long long capacity = 0;
  std::string root;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    capacity = S().capacity;
    root = S().root;
  }
  if (capacity == 0 || growth == 0) return CXoError::Success();
  const unsigned long long used = UsedBytesBelow(root);
  if (used + growth <= capacity) return CXoError::Success();
  return FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrApplianceFull,
                              "The appliance is full: [%llu] of [%llu] bytes used, [%s] needs [%llu] more", used,
                              capacity, name.c_str(), static_cast<unsigned long long>(growth));
}

// Copies `length` bytes from `from` at `fromAt` to `to` at `toAt` (both advanced): 0, or errno.
// The kernel copies where it can; across file systems, or into a file opened for appending, the
// bytes go through a buffer.
int CopyRange(int from, off_t& fromAt, int to, off_t& toAt, uint64_t length, uint64_t& copied, bool append) {
  bool kernel = !append;
  std::vector<char> buffer;
  while (copied < length) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length - copied, 1ULL << 30));
    if (kernel) {
      const ssize_t n = ::copy_file_range(from, &fromAt, to, &toAt, want, 0);
      if (n > 0) {
        copied += static_cast<uint64_t>(n);
        continue;
      }
      if (n == 0) return 0;  // the source ends
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) return errno;
      kernel = false;
    }
    if (buffer.empty()) buffer.resize(1 << 20);
    const ssize_t got = ::pread(from, buffer.data(), std::min(want, buffer.size()), fromAt);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return 0;
    for (ssize_t put = 0; put < got;) {
      const ssize_t w = append ? ::write(to, buffer.data() + put, static_cast<size_t>(got - put))
                               : ::pwrite(to, buffer.data() + put, static_cast<size_t>(got - put), toAt + put);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return w < 0 ? errno : EIO;
      put += w;
    }
    fromAt += got;
    toAt += got;
    copied += static_cast<uint64_t>(got);
  }
  return 0;
}

long long FileSize(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Makes the parent folders of an object that an open may create.
CXoError MakeParents(const CFSInitParams& params, const std::string& file) {
  return CPosixFS(params).CreateDirectory(CXoPath::GetParent(file), true);
}

// ---- Copy jobs ---------------------------------------------------------------------------------

CXoError RunCopy(CopyJob& job) {
  {
    // The job is recorded when it ends.
    std::lock_guard<std::mutex> lock(S().mutex);
    CXoError failed = ApplyRules(S(), ApplianceOp::CopyJob, job.targetName);
    if (failed.IsFailure()) return failed;
  }
  const int from = ::open(job.source.c_str(), O_RDONLY | O_CLOEXEC);
  if (from < 0) return Refused(FX_LOCATION, errno, "open the copy source", job.source);
  const long long sourceSize = FileSize(from);
  if (sourceSize < 0 || static_cast<uint64_t>(sourceSize) < job.sourceOffset ||
      static_cast<uint64_t>(sourceSize) - job.sourceOffset < job.length) {
    ::close(from);
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL, "The copy source [%s] holds [%lld] bytes, not [%llu] from [%llu]",
                                   job.source.c_str(), sourceSize, static_cast<unsigned long long>(job.length),
                                   static_cast<unsigned long long>(job.sourceOffset));
  }
  const int to = ::open(job.target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (to < 0) {
    const int err = errno;
    ::close(from);
    return Refused(FX_LOCATION, err, "open the copy target", job.target);
  }
  const long long targetSize = FileSize(to);
  const uint64_t end = job.targetOffset + job.length;
  CXoError result = CheckRoom(targetSize >= 0 && end > static_cast<uint64_t>(targetSize) ? end - targetSize : 0,
                              job.targetName);
  off_t fromAt = static_cast<off_t>(job.sourceOffset);
  off_t toAt = static_cast<off_t>(job.targetOffset);
  uint64_t copied = 0;
  while (result.IsSuccess() && copied < job.length) {
    if (job.cancel.load()) {
      result = FXErrorUtil::ErrorErrNo(FX_LOCATION, ECANCELED, "The copy job [%llu] was cancelled",
                                       static_cast<unsigned long long>(job.id));
      break;
    }
    uint64_t piece = 0;
    const uint64_t want = std::min(kCopyPiece, job.length - copied);
    if (int err = CopyRange(from, fromAt, to, toAt, want, piece, false)) {
      result = Refused(FX_LOCATION, err, "copy into", job.target);
    } else if (piece < want) {
      result = Refused(FX_LOCATION, EIO, "copy the whole range into", job.target);
    }
    copied += piece;
    job.copied.store(copied);
  }
  ::close(from);
  if (::close(to) != 0 && result.IsSuccess()) result = Refused(FX_LOCATION, errno, "close the copy target", job.target);
  return result;
}

void WorkerLoop() {
  State& s = S();
  std::unique_lock<std::mutex> lock(s.mutex);
  for (;;) {
    std::shared_ptr<CopyJob> next;
    s.changed.wait(lock, [&] {
      if (s.stopWorker) return true;
      if (s.holdJobs) return false;
      for (auto& [id, job] : s.jobs) {
        if (!job->ended && !job->running) {
          next = job;
          return true;
        }
      }
      return false;
    });
    if (s.stopWorker) return;
    next->running = true;
    lock.unlock();
    CXoError result = RunCopy(*next);
    const long long code = result.IsSuccess() ? 0 : MMS2BaseError::ConvertToMMError(result);
    lock.lock();
    next->result = result;
    next->running = false;
    next->ended = true;
    s.calls.push_back(ApplianceCall{ApplianceOp::CopyJob, next->targetName,
                                    {static_cast<long long>(next->id), static_cast<long long>(next->copied.load()), code},
                                    {}});
    s.changed.notify_all();
  }
}

// Under the state's lock: a worker of this process runs.
void EnsureWorker(State& s) {
  if (s.worker != nullptr && s.workerPid == getpid()) return;
  // A forked child inherits the parent's handle but not its thread: the handle is left alone.
  s.worker = new std::thread(WorkerLoop);
  s.workerPid = getpid();
}

}  // namespace

const char* ApplianceOpName(ApplianceOp op) {
  switch (op) {
    case ApplianceOp::Open: return "Open";
    case ApplianceOp::Close: return "Close";
    case ApplianceOp::Read: return "Read";
    case ApplianceOp::Write: return "Write";
    case ApplianceOp::Seek: return "Seek";
    case ApplianceOp::Tell: return "Tell";
    case ApplianceOp::Size: return "Size";
    case ApplianceOp::Truncate: return "Truncate";
    case ApplianceOp::Flush: return "Flush";
    case ApplianceOp::Clone: return "Clone";
    case ApplianceOp::Exists: return "Exists";
    case ApplianceOp::Remove: return "Remove";
    case ApplianceOp::CreateDirectory: return "CreateDirectory";
    case ApplianceOp::List: return "List";
    case ApplianceOp::CopyObject: return "CopyObject";
    case ApplianceOp::CopyStatus: return "CopyStatus";
    case ApplianceOp::CancelCopy: return "CancelCopy";
    case ApplianceOp::CopyJob: return "CopyJob";
    case ApplianceOp::Other: return "Other";
  }
  return "Unknown";
}

void ApplianceStore::Enable(const std::string& root) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().enabled = true;
  S().root = root;
}

bool ApplianceStore::Enabled() const {
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().enabled;
}

std::string ApplianceStore::Root() const { return RootNow(); }

void ApplianceStore::SetCapacity(unsigned long long bytes) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().capacity = bytes;
}

unsigned long long ApplianceStore::UsedBytes() const { return UsedBytesBelow(RootNow()); }

void ApplianceStore::Fail(const ApplianceRule& rule) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().rules.push_back(RuleState{rule, 0});
}

std::vector<ApplianceCall> ApplianceStore::Calls() const {
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().calls;
}

std::vector<ApplianceCall> ApplianceStore::CallsOf(ApplianceOp op) const {
  std::vector<ApplianceCall> found;
  for (ApplianceCall& c : Calls()) {
    if (c.op == op) found.push_back(std::move(c));
  }
  return found;
}

void ApplianceStore::ClearCalls() {
  std::lock_guard<std::mutex> lock(S().mutex);
  std::vector<ApplianceCall>().swap(S().calls);
}

size_t ApplianceStore::RunningJobs() const {
  std::lock_guard<std::mutex> lock(S().mutex);
  return static_cast<size_t>(std::count_if(S().jobs.begin(), S().jobs.end(), [](const auto& j) { return !j.second->ended; }));
}

void ApplianceStore::WaitForJobs() const {
  std::unique_lock<std::mutex> lock(S().mutex);
  S().changed.wait(lock, [] {
    return std::all_of(S().jobs.begin(), S().jobs.end(), [](const auto& j) { return j.second->ended; });
  });
}

void ApplianceStore::HoldJobs(bool held) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().holdJobs = held;
  S().changed.notify_all();
}

void ApplianceStore::Reset() {
  State& s = S();
  std::thread* worker = nullptr;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.enabled = false;
    s.root.clear();
    s.capacity = 0;
    s.rules.clear();
    s.calls.clear();
    // A job that has not started ends here; the running one stops at its next piece, and the
    // worker ends once it has recorded it.
    for (auto& [id, job] : s.jobs) {
      job->cancel.store(true);
      if (job->ended || job->running) continue;
      job->ended = true;
      job->result = FXErrorUtil::ErrorErrNo(FX_LOCATION, ECANCELED, "The appliance was reset");
    }
    s.stopWorker = true;
    if (s.workerPid == getpid()) worker = s.worker;
    s.worker = nullptr;
    s.changed.notify_all();
  }
  if (worker != nullptr) {
    worker->join();
    delete worker;
  }
  std::lock_guard<std::mutex> lock(s.mutex);
  s.jobs.clear();
  s.calls.clear();
  s.stopWorker = false;
  s.holdJobs = false;
  s.workerPid = 0;
}

ApplianceStore& Appliance() {
  static ApplianceStore store;
  return store;
}

}  // namespace platform

using platform::ApplianceOp;
using platform::FsOp;
using platform::Gate;
using platform::ObjectFile;
using platform::Refused;

// ---------------------------------------------------------------------------------------------
// CApplianceFile

CXoError CApplianceFile::OpenObject(const std::string& path, int flags, int mode, int option) {
  CXoError e = Gate(ApplianceOp::Open, path, {flags, mode, option});
  if (e.IsFailure()) return e;
  if (m_file.IsValid()) (void)m_file.Close();  // a second open replaces the first, as on disk
  DropParent();
  std::string file;
  if (int err = ObjectFile(path, file)) return Refused(FX_LOCATION, err, "open", path);
  if ((flags & O_CREAT) != 0) {
    e = platform::MakeParents(m_Params, file);
    if (e.IsFailure()) return e.Push(FX_LOCATION);
  }
  m_name = path;
  m_flags = flags;
  // Objects carry no permission bits: the caller's mode is recorded, not applied.
  return m_file.Open(file, flags, 0644, 0);
}

CXoError CApplianceFile::Open(std::string path, int flags, int mode, int reserved) {
  (void)reserved;
  return OpenObject(path, flags, mode, 0);
}

CXoError CApplianceFile::OpenEx(std::string path, int flags, int mode, int reserved, int option) {
  (void)reserved;
  return OpenObject(path, flags, mode, option);
}

CApplianceFile::~CApplianceFile() { DropParent(); }

CXoError CApplianceFile::Close() {
  DropParent();
  if (!m_file.IsValid()) return CXoError::Success();
  CXoError e = Gate(ApplianceOp::Close, m_name, {});
  CXoError closed = m_file.Close();  // the object is closed whatever the appliance reports
  return e.IsFailure() ? e : closed;
}

CXoError CApplianceFile::Read(void* buffer, unsigned int length, unsigned int* done) {
  if (done != nullptr) *done = 0;
  CXoError e = Gate(ApplianceOp::Read, m_name, {length});
  return e.IsFailure() ? e : m_file.Read(buffer, length, done);
}

CXoError CApplianceFile::Write(const void* buffer, unsigned int length, unsigned int* done) {
  if (done != nullptr) *done = 0;
  CXoError e = Gate(ApplianceOp::Write, m_name, {length});
  if (e.IsFailure()) return e;
  if (m_file.IsValid() && platform::CapacitySet()) {
    const int fd = m_file.GetFD();
    const long long size = platform::FileSize(fd);
    const long long at = (::fcntl(fd, F_GETFL) & O_APPEND) != 0 ? size : ::lseek(fd, 0, SEEK_CUR);
    if (size >= 0 && at >= 0 && at + static_cast<long long>(length) > size) {
      e = platform::CheckRoom(static_cast<uint64_t>(at + length - size), m_name);
      if (e.IsFailure()) return e;
    }
  }
  return m_file.Write(buffer, length, done);
}

CXoError CApplianceFile::Seek(CXoFile::offset offset, int whence, CXoFile::offset* position) {
  CXoError e = Gate(ApplianceOp::Seek, m_name, {static_cast<long long>(offset), whence});
  return e.IsFailure() ? e : m_file.Seek(offset, whence, position);
}

CXoError CApplianceFile::Tell(CXoFile::offset& position) {
  CXoError e = Gate(ApplianceOp::Tell, m_name, {});
  return e.IsFailure() ? e : m_file.Tell(position);
}

CXoError CApplianceFile::Size(unsigned long long& size) {
  CXoError e = Gate(ApplianceOp::Size, m_name, {});
  return e.IsFailure() ? e : m_file.Size(size);
}

CXoError CApplianceFile::Truncate(CXoFile::offset size) {
  CXoError e = Gate(ApplianceOp::Truncate, m_name, {static_cast<long long>(size)});
  if (e.IsFailure()) return e;
  const long long now = m_file.IsValid() && platform::CapacitySet() ? platform::FileSize(m_file.GetFD()) : -1;
  if (now >= 0 && size > now) {
    e = platform::CheckRoom(static_cast<uint64_t>(size - now), m_name);
    if (e.IsFailure()) return e;
  }
  return m_file.Truncate(size);
}

CXoError CApplianceFile::GetChkSum(std::string path, int kind, char* sum, int* length) {
  CXoError e = Gate(ApplianceOp::Other, m_name, {kind});
  return e.IsFailure() ? e : m_file.GetChkSum(path, kind, sum, length);
}

CXoError CApplianceFile::Flush() {
  CXoError e = Gate(ApplianceOp::Flush, m_name, {});
  return e.IsFailure() ? e : m_file.Flush();
}

CXoError CApplianceFile::LockFile(bool shared) {
  CXoError e = Gate(ApplianceOp::Other, m_name, {shared ? 1 : 0});
  return e.IsFailure() ? e : m_file.LockFile(shared);
}

CXoError CApplianceFile::UnlockFile() {
  CXoError e = Gate(ApplianceOp::Other, m_name, {});
  return e.IsFailure() ? e : m_file.UnlockFile();
}

CXoError CApplianceFile::DrillHole(uint64_t offset, uint64_t length) {
  CXoError e = Gate(ApplianceOp::Other, m_name, {static_cast<long long>(offset), static_cast<long long>(length)});
  return e.IsFailure() ? e : m_file.DrillHole(offset, length);
}

CXoError CApplianceFile::AttachFD(int fd, const char* name) {
  CXoError e = Gate(ApplianceOp::Other, name != nullptr ? name : "", {fd});
  if (e.IsFailure()) return e;
  m_name = name != nullptr ? name : "";
  m_flags = fd >= 0 ? ::fcntl(fd, F_GETFL) : 0;
  DropParent();
  return m_file.AttachFD(fd, name);
}

CXoError CApplianceFile::SetReadAheadCaching(bool enable) {
  CXoError e = Gate(ApplianceOp::Other, m_name, {enable ? 1 : 0});
  return e.IsFailure() ? e : m_file.SetReadAheadCaching(enable);
}

// The parent stays open while the object is: a row of clones from one parent opens it once.
int CApplianceFile::ParentFD(const std::string& parentFile) {
  if (m_parentFD >= 0 && m_parentFile == parentFile) return m_parentFD;
  DropParent();
  m_parentFD = ::open(parentFile.c_str(), O_RDONLY | O_CLOEXEC);
  if (m_parentFD >= 0) m_parentFile = parentFile;
  return m_parentFD;
}

void CApplianceFile::DropParent() {
  if (m_parentFD >= 0) ::close(m_parentFD);
  m_parentFD = -1;
  m_parentFile.clear();
}

CXoError CApplianceFile::CloneFromParent(const char* parent, uint64_t offset, uint64_t length, uint64_t* cloned) {
  if (cloned != nullptr) *cloned = 0;
  const std::string parentName = parent != nullptr ? parent : "";
  CXoError e = Gate(ApplianceOp::Clone, m_name, {static_cast<long long>(offset), static_cast<long long>(length)},
                    parentName);
  if (e.IsFailure()) return e;
  if (int err = platform::Injected(FsOp::Clone, m_file.GetFileName())) return Refused(FX_LOCATION, err, "clone into", m_name);
  const int to = m_file.GetFD();
  if (to < 0 || (m_flags & O_ACCMODE) == O_RDONLY) return Refused(FX_LOCATION, EBADF, "clone into the unwritable", m_name);
  std::string parentFile;
  if (int err = ObjectFile(parentName, parentFile)) return Refused(FX_LOCATION, err, "clone from", parentName);
  const int from = ParentFD(parentFile);
  if (from < 0) return Refused(FX_LOCATION, errno, "clone from", parentName);
  if (platform::CapacitySet()) {
    const long long parentSize = platform::FileSize(from);
    const uint64_t available =
        parentSize > 0 && offset < static_cast<uint64_t>(parentSize) ? static_cast<uint64_t>(parentSize) - offset : 0;
    e = platform::CheckRoom(std::min(length, available), m_name);
    if (e.IsFailure()) return e;
  }
  // The range goes to the object's end, and the object's position with it.
  off_t toAt = ::lseek(to, 0, SEEK_END);
  if (toAt < 0) return Refused(FX_LOCATION, errno, "clone into", m_name);
  off_t fromAt = static_cast<off_t>(offset);
  uint64_t copied = 0;
  int err = platform::CopyRange(from, fromAt, to, toAt, length, copied, (m_flags & O_APPEND) != 0);
  if (cloned != nullptr) *cloned = copied;
  if (::lseek(to, toAt, SEEK_SET) < 0 && err == 0) err = errno;
  if (err != 0) return Refused(FX_LOCATION, err, "clone into", m_name);
  return CXoError::Success();
}

// ---------------------------------------------------------------------------------------------
// CApplianceFS

CXoError CApplianceFS::Exists(std::string path, bool& exists) {
  CXoError e = Gate(ApplianceOp::Exists, path, {});
  if (e.IsFailure()) return e;
  std::string file;
  if (ObjectFile(path, file) != 0) {
    exists = false;
    return CXoError::Success();
  }
  return m_disk.Exists(file, exists);
}

CXoError CApplianceFS::RemoveFile(std::string path, unsigned int flags) {
  CXoError e = Gate(ApplianceOp::Remove, path, {flags});
  if (e.IsFailure()) return e;
  std::string file;
  if (int err = ObjectFile(path, file)) return Refused(FX_LOCATION, err, "remove", path);
  return m_disk.RemoveFile(file, flags);
}

CXoError CApplianceFS::RemoveDirectory(std::string path, unsigned int flags) {
  CXoError e = Gate(ApplianceOp::Remove, path, {flags});
  if (e.IsFailure()) return e;
  std::string folder;
  if (int err = ObjectFile(path, folder)) return Refused(FX_LOCATION, err, "remove the folder", path);
  return m_disk.RemoveDirectory(folder, flags);
}

CXoError CApplianceFS::CreateDirectory(std::string path, bool recursive) {
  CXoError e = Gate(ApplianceOp::CreateDirectory, path, {recursive ? 1 : 0});
  if (e.IsFailure()) return e;
  std::string folder;
  if (int err = ObjectFile(path, folder)) return Refused(FX_LOCATION, err, "create the folder", path);
  return m_disk.CreateDirectory(folder, recursive);
}

CXoError CApplianceFS::GetPathInfo(std::string path, FSPathInfo& info) {
  CXoError e = Gate(ApplianceOp::List, path, {});
  if (e.IsFailure()) return e;
  std::string file;
  if (int err = ObjectFile(path, file)) return Refused(FX_LOCATION, err, "reach", path);
  return m_disk.GetPathInfo(file, info);
}

CXoError CApplianceFS::GetFileAttributes(std::string path, unsigned long long& size) {
  CXoError e = Gate(ApplianceOp::List, path, {});
  if (e.IsFailure()) return e;
  std::string file;
  if (int err = ObjectFile(path, file)) return Refused(FX_LOCATION, err, "get the attributes of", path);
  return m_disk.GetFileAttributes(file, size);
}

CXoError CApplianceFS::Stat(std::string path, FSPathInfo& info) {
  CXoError e = Gate(ApplianceOp::List, path, {});
  if (e.IsFailure()) return e;
  std::string file;
  if (int err = ObjectFile(path, file)) return Refused(FX_LOCATION, err, "stat", path);
  return m_disk.Stat(file, info);
}

CXoError CApplianceFS::GetDirContents(std::string path, std::vector<FSDirEntry>& entries) {
  CXoError e = Gate(ApplianceOp::List, path, {});
  if (e.IsFailure()) return e;
  std::string folder;
  if (int err = ObjectFile(path, folder)) return Refused(FX_LOCATION, err, "list", path);
  return m_disk.GetDirContents(folder, entries);
}

CXoError CApplianceFS::CopyObject(std::string source, uint64_t sourceOffset, CFSInitParams target,
                                  std::string targetPath, uint64_t targetOffset, uint64_t length, bool wait,
                                  uint64_t& jobId) {
  (void)target;
  platform::State& s = platform::S();
  uint64_t id = 0;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    id = s.nextJobId++;
  }
  CXoError e = Gate(ApplianceOp::CopyObject, source,
                    {static_cast<long long>(sourceOffset), static_cast<long long>(targetOffset),
                     static_cast<long long>(length), wait ? 1 : 0, static_cast<long long>(id)},
                    targetPath);
  if (e.IsFailure()) return e;
  std::string sourceFile, targetFile;
  if (int err = ObjectFile(source, sourceFile)) return Refused(FX_LOCATION, err, "copy from", source);
  if (int err = ObjectFile(targetPath, targetFile)) return Refused(FX_LOCATION, err, "copy to", targetPath);
  if (int err = platform::Injected(FsOp::Copy, targetFile)) return Refused(FX_LOCATION, err, "copy to", targetPath);
  if (::access(sourceFile.c_str(), R_OK) != 0) return Refused(FX_LOCATION, errno, "copy from", source);
  e = platform::MakeParents(m_Params, targetFile);
  if (e.IsFailure()) return e.Push(FX_LOCATION);

  std::unique_lock<std::mutex> lock(s.mutex);
  auto job = std::make_shared<platform::CopyJob>();
  job->id = id;
  job->source = sourceFile;
  job->target = targetFile;
  job->targetName = targetPath;
  job->sourceOffset = sourceOffset;
  job->targetOffset = targetOffset;
  job->length = length;
  s.jobs[job->id] = job;
  jobId = job->id;
  platform::EnsureWorker(s);
  s.changed.notify_all();
  if (wait) s.changed.wait(lock, [&] { return job->ended; });
  return CXoError::Success();
}

CXoError CApplianceFS::GetCopyStatus(std::string path, uint64_t jobId, bool wait, CXoError& copyResult,
                                     uint32_t& percentDone) {
  (void)path;
  std::shared_ptr<platform::CopyJob> job;
  {
    std::lock_guard<std::mutex> lock(platform::S().mutex);
    auto it = platform::S().jobs.find(jobId);
    if (it != platform::S().jobs.end()) job = it->second;
  }
  const std::string name = job ? job->targetName : std::string();
  CXoError e = Gate(ApplianceOp::CopyStatus, name, {static_cast<long long>(jobId), wait ? 1 : 0});
  if (e.IsFailure()) return e;
  if (!job) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, ENOENT, "The appliance has no copy job [%llu]",
                                   static_cast<unsigned long long>(jobId));
  }
  if (int err = platform::Injected(FsOp::Copy, job->target)) return Refused(FX_LOCATION, err, "get the copy status of", name);
  platform::State& s = platform::S();
  std::unique_lock<std::mutex> lock(s.mutex);
  if (wait) s.changed.wait(lock, [&] { return job->ended; });
  const uint64_t copied = job->copied.load();
  percentDone = job->ended || job->length == 0 ? 100u : static_cast<uint32_t>(copied * 100 / job->length);
  copyResult = job->ended ? job->result : CXoError::Success();
  return CXoError::Success();
}

CXoError CApplianceFS::CancelCopyJob(std::string path, CFSInitParams target, std::string targetPath) {
  (void)target, (void)targetPath;
  CXoError e = Gate(ApplianceOp::CancelCopy, path, {});
  if (e.IsFailure()) return e;
  std::string sourceFile;
  if (int err = ObjectFile(path, sourceFile)) return Refused(FX_LOCATION, err, "cancel the copies from", path);
  if (int err = platform::Injected(FsOp::Copy, sourceFile)) return Refused(FX_LOCATION, err, "cancel the copies from", path);
  platform::State& s = platform::S();
  std::unique_lock<std::mutex> lock(s.mutex);
  std::vector<std::shared_ptr<platform::CopyJob>> cancelled;
  for (auto& [id, job] : s.jobs) {
    if (job->ended || job->source != sourceFile) continue;
    job->cancel.store(true);
    cancelled.push_back(job);
  }
  // A job that has not started ends here; a running one at its next piece.
  for (auto& job : cancelled) {
    if (job->running) continue;
    job->ended = true;
    job->result = FXErrorUtil::ErrorErrNo(FX_LOCATION, ECANCELED, "The copy job [%llu] was cancelled",
                                          static_cast<unsigned long long>(job->id));
  }
  s.changed.wait(lock, [&] {
    return std::all_of(cancelled.begin(), cancelled.end(), [](const auto& job) { return job->ended; });
  });
  return CXoError::Success();
}
