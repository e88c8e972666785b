#include "index/IndexFileLockTable.h"

#include "MediaFileSystem/SingleInstancerIndexFile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace {

constexpr off_t kLockRangeBytes = 1024;

struct FileLock {
  int fd = -1;  // the table's own descriptor, which carries the lock
  int readers = 0;
  int writers = 0;
  short type = F_UNLCK;
};

struct Table {
  std::mutex mutex;
  std::map<std::pair<uint64_t, uint64_t>, FileLock> files;  // by device and inode
};

// A child forked while the table holds locks shares their open file descriptions with its parent:
// it holds none of them itself and must not change them, so its table starts empty. The table is
// never destroyed: objects may still close files while the process exits.
Table& TheTable() {
  static Table* table = [] {
    auto* fresh = new Table;
    pthread_atfork([] { TheTable().mutex.lock(); }, [] { TheTable().mutex.unlock(); },
                   [] {
                     Table& t = TheTable();
                     for (auto& entry : t.files) ::close(entry.second.fd);
                     t.files.clear();
                     t.mutex.unlock();
                   });
    return fresh;
  }();
  return *table;
}

struct flock LockRecord(short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = kLockRangeBytes;
  fl.l_pid = 0;  // must be 0 for open-file-description locks
  return fl;
}

// Sets, changes or removes the lock without waiting: 0 or errno.
int SetLock(int fd, short type) {
  struct flock fl = LockRecord(type);
  return fcntl(fd, F_OFD_SETLK, &fl) == -1 ? errno : 0;
}

// The table's descriptor of the file open as `fd`. A shared lock may have to become exclusive
// when a writer of this process joins, which needs a descriptor open for writing: a reader's file
// is opened once more for reading and writing where the process may, else its descriptor is
// duplicated (and such a lock stays shared). -1 with errno on failure.
int OwnDescriptor(int fd, bool exclusive) {
  if (!exclusive) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int reopened = ::open(self.c_str(), O_RDWR | O_CLOEXEC);
    if (reopened >= 0) {
      struct stat a {}, b {};
      if (fstat(reopened, &a) == 0 && fstat(fd, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
        return reopened;
      }
      ::close(reopened);
    }
  }
  return fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

bool IsNumber(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

// Whether the open file `fdName` of process `pid` holds an open-file-description lock on bytes
// 0..1023 of inode `ino`: its fdinfo lists the locks held through it, one line each, as
// "lock:  1: OFDLCK ADVISORY  WRITE -1 <major>:<minor>:<inode> <start> <end or EOF>".
bool HoldsOfdLock(const std::string& pid, const char* fdName, uint64_t ino) {
  std::ifstream info("/proc/" + pid + "/fdinfo/" + fdName);
  // Built by appending: GCC 12 at -O3 misreads `":" + std::string` as an overlapping copy.
  std::string inode = ":";
  inode += std::to_string(ino);
  inode += ' ';
  std::string line;
  while (std::getline(info, line)) {
    if (line.compare(0, 5, "lock:") != 0 || line.find(" OFDLCK ") == std::string::npos) continue;
    const size_t at = line.find(inode);
    if (at == std::string::npos) continue;
    const unsigned long long start = strtoull(line.c_str() + at + inode.size(), nullptr, 10);
    if (start < static_cast<unsigned long long>(kLockRangeBytes)) return true;
  }
  return false;
}

// The other process that holds an open-file-description lock on the file (device, inode), found
// through the open files of the processes this one may look at; -1 when none is found.
int FindOfdHolder(uint64_t dev, uint64_t ino) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  const std::string self = std::to_string(getpid());
  int holder = -1;
  while (holder == -1) {
    const struct dirent* process = readdir(proc);
    if (process == nullptr) break;
    if (!IsNumber(process->d_name) || self == process->d_name) continue;
    const std::string pid = process->d_name;
    const std::string fdDir = "/proc/" + pid + "/fd";
    DIR* fds = opendir(fdDir.c_str());
    if (fds == nullptr) continue;  // gone, or not ours to look at
    while (const struct dirent* fd = readdir(fds)) {
      struct stat st {};
      if (!IsNumber(fd->d_name) || stat((fdDir + "/" + fd->d_name).c_str(), &st) != 0) continue;
      if (st.st_dev == dev && st.st_ino == ino && HoldsOfdLock(pid, fd->d_name, ino)) {
        holder = atoi(pid.c_str());
        break;
      }
    }
    closedir(fds);
  }
  closedir(proc);
  return holder;
}

using FileKey = std::pair<uint64_t, uint64_t>;

// Takes one holder off the file's count, under the table's mutex: the lock becomes shared when
// only readers are left, and goes with the last holder. 0 or the errno of the unlock.
int GiveBack(Table& table, const CIndexFileLockShare& share) {
  auto it = table.files.find(FileKey{share.Device, share.Inode});
  if (it == table.files.end()) return 0;  // taken before this process was forked
  FileLock& lock = it->second;
  int& count = share.Exclusive ? lock.writers : lock.readers;
  if (count > 0) --count;
  if (lock.writers + lock.readers > 0) {
    // Readers alone keep the file shared; a failure leaves it exclusive, which excludes more, not less.
    if (lock.writers == 0 && lock.type == F_WRLCK && SetLock(lock.fd, F_RDLCK) == 0) lock.type = F_RDLCK;
    return 0;
  }
  const int err = SetLock(lock.fd, F_UNLCK);
  ::close(lock.fd);
  table.files.erase(it);
  return err;
}

}  // namespace

int CIndexFileLockTable::HolderOf(int fd, bool exclusive) {
  struct flock fl = LockRecord(exclusive ? F_WRLCK : F_RDLCK);
  if (fcntl(fd, F_OFD_GETLK, &fl) == -1 || fl.l_type == F_UNLCK) return 0;
  if (fl.l_pid > 0) return fl.l_pid;
  struct stat st {};
  if (fstat(fd, &st) != 0) return -1;
  return FindOfdHolder(st.st_dev, st.st_ino);
}

int CIndexFileLockTable::Acquire(int fd, bool exclusive, CIndexFileLockShare* share, int* holderPid) {
  if (holderPid != nullptr) *holderPid = 0;
  struct stat st {};
  if (fstat(fd, &st) != 0) return errno;
  const FileKey key{st.st_dev, st.st_ino};
  const short want = exclusive ? F_WRLCK : F_RDLCK;

  // On a refusal the holder is looked for after the table is let go, through a descriptor of the
  // refused lock's own open file (whose locks do not count as conflicts).
  int refused = -1;
  int err = 0;
  {
    Table& table = TheTable();
    std::lock_guard<std::mutex> guard(table.mutex);
    auto it = table.files.find(key);
    if (it == table.files.end()) {
      const int own = OwnDescriptor(fd, exclusive);
      if (own < 0) {
        const int failed = errno;
        return failed;
      }
      err = SetLock(own, want);
      if (err != 0) {
        refused = own;
      } else {
        it = table.files.emplace(key, FileLock{own, 0, 0, want}).first;
      }
    } else if (exclusive && it->second.type != F_WRLCK) {
      err = SetLock(it->second.fd, F_WRLCK);
      if (err != 0) {
        refused = fcntl(it->second.fd, F_DUPFD_CLOEXEC, 0);
      } else {
        it->second.type = F_WRLCK;
      }
    }
    if (err == 0) {
      ++(exclusive ? it->second.writers : it->second.readers);
      // The new share is counted first: the same file keeps its lock throughout, changed to
      // shared when a writer's object reopens it for reading and no other writer is left. What
      // the old share's unlock reports is left aside: its descriptor is closed all the same, and
      // the new share is held.
      if (share->Held) (void)GiveBack(table, *share);
      *share = CIndexFileLockShare{key.first, key.second, exclusive, true};
      return 0;
    }
  }
  if (refused >= 0) {
    if (holderPid != nullptr) *holderPid = HolderOf(refused, exclusive);
    ::close(refused);
  }
  return err;
}

int CIndexFileLockTable::Release(CIndexFileLockShare* share) {
  if (!share->Held) return 0;
  const CIndexFileLockShare given = *share;
  *share = CIndexFileLockShare{};
  Table& table = TheTable();
  std::lock_guard<std::mutex> guard(table.mutex);
  return GiveBack(table, given);
}

CIndexFileLockTable::Counts CIndexFileLockTable::CountsOf(const std::string& path) {
  Counts counts;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return counts;
  Table& table = TheTable();
  std::lock_guard<std::mutex> guard(table.mutex);
  auto it = table.files.find(FileKey{st.st_dev, st.st_ino});
  if (it != table.files.end()) {
    counts.readers = it->second.readers;
    counts.writers = it->second.writers;
  }
  return counts;
}
