#include "platform/optical_drive.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/local_files.h"
#include "platform/platform.h"

namespace platform {

OpticalLibraryState& OpticalLibrary() {
  static OpticalLibraryState* state = new OpticalLibraryState;
  return *state;
}

std::mutex& OpticalLibraryMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

void ResetOpticalLibrary() {
  std::lock_guard<std::mutex> lock(OpticalLibraryMutex());
  OpticalLibrary() = OpticalLibraryState();
}

namespace {

[[maybe_unused]] const bool kResetRegistered = (RegisterReset(&ResetOpticalLibrary), true);

}  // namespace

void OpticalLibraryState::AddDrive(const std::string& mediaPath, const OpticalDriveSetup& setup) {
  drives[mediaPath].setup = setup;
}

void OpticalLibraryState::Fail(const std::string& mediaPath, const OpticalFault& fault) {
  OpticalFault f = fault;
  f.seen = 0;
  drives[mediaPath].faults.push_back(f);
}

size_t OpticalLibraryState::Count(const std::string& op) const {
  return static_cast<size_t>(
      std::count_if(calls.begin(), calls.end(), [&](const OpticalCall& c) { return c.op == op; }));
}

std::vector<OpticalCall> OpticalLibraryState::CallsOf(const std::string& op) const {
  std::vector<OpticalCall> found;
  for (const OpticalCall& c : calls) {
    if (c.op == op) found.push_back(c);
  }
  return found;
}

OpticalDriveSlot* OpticalLibraryState::Slot(const std::string& mediaPath) {
  auto it = drives.find(mediaPath);
  return it == drives.end() ? nullptr : &it->second;
}

}  // namespace platform

using platform::OpticalCall;
using platform::OpticalDriveSlot;
using platform::OpticalFault;

namespace {

// A failure of the file-system layer as the library reports it.
struct Failure {
  long long code = 0;
  std::string text;
};

Failure FromLayer(const CXoError& e) { return {MMS2BaseError::ConvertToMMError(e), e.AsString()}; }

Failure Own(long long code, const std::string& text) { return {code, text}; }

std::unique_ptr<CFSInterface> DiskInterface() {
  return std::unique_ptr<CFSInterface>(CFSInterface::GetFSInterfaceInstance(CFSInitParams()));
}

int AddFileSize(const std::string& folder, const std::string& name, bool isFolder, void* context) {
  if (isFolder) return 0;
  auto* sum = static_cast<std::pair<CFSInterface*, unsigned long long>*>(context);
  unsigned long long size = 0;
  if (sum->first->GetFileAttributes(path_append(folder, name), size).IsSuccess()) sum->second += size;
  return 0;
}

// The bytes of the files below the folder, as the layer sees them.
bool UsedBytes(const std::string& folder, unsigned long long& used, Failure& failure) {
  auto fs = DiskInterface();
  if (!fs) {
    failure = FromLayer(FXErrorUtil::ErrorErrNo(FX_LOCATION, ENODEV, "No file-system interface for the disk"));
    return false;
  }
  std::pair<CFSInterface*, unsigned long long> sum{fs.get(), 0};
  CXoError e = fs->WalkDirectory(folder, &sum, -1, true, &AddFileSize);
  if (e.IsFailure()) {
    failure = FromLayer(e);
    return false;
  }
  used = sum.second;
  return true;
}

// Makes the folder's names durable: the name of a file just flushed survives a power cut.
CXoError FlushFolder(const std::string& folder) {
  std::unique_ptr<CFileInterface> dir(CFileInterface::GetFileInterfaceInstance(CFSInitParams()));
  if (!dir) return FXErrorUtil::ErrorErrNo(FX_LOCATION, ENODEV, "No file interface for [%s]", folder.c_str());
  CXoError e = dir->Open(folder, O_RDONLY | O_DIRECTORY, 0, 0);
  if (e.IsFailure()) return e;
  e = dir->Flush();
  CXoError closed = dir->Close();
  return e.IsFailure() ? e : closed;
}

}  // namespace

// The library side of one drive operation: the hook, the lock, the slot of the object's path, the
// injected failure, the record of the call and the object's last error.
struct OpticalDriveAccess {
  template <typename F>
  static long long Run(OZScsiMODiskDrive& d, const char* op, std::initializer_list<long long> args, F&& body) {
    std::function<void(const std::string&, const std::string&)> hook;
    {
      std::lock_guard<std::mutex> lock(platform::OpticalLibraryMutex());
      hook = platform::OpticalLibrary().hook;
    }
    if (hook) hook(d.m_strPath, op);

    std::lock_guard<std::mutex> lock(platform::OpticalLibraryMutex());
    platform::OpticalLibraryState& lib = platform::OpticalLibrary();
    OpticalDriveSlot* slot = lib.Slot(d.m_strPath);
    // Reads and writes of long runs go unrecorded: their record is not even made.
    const bool transfer = std::strcmp(op, "read") == 0 || std::strcmp(op, "write") == 0;
    const bool record = lib.recordTransfers || !transfer;
    OpticalCall call;
    if (record) call = OpticalCall{d.m_strPath, op, std::vector<long long>(args), 0, ""};
    Failure failure;
    long long result = 0;
    if (!d.m_bValid) {
      failure = Own(d.m_llLastCode != 0 ? d.m_llLastCode : OZScsiMODiskDrive::kNoDrive, "The drive is not usable");
    } else if (slot == nullptr) {
      failure = Own(OZScsiMODiskDrive::kNoDrive, "No drive answers at the media path");
    } else {
      const OpticalFault* fault = nullptr;
      for (OpticalFault& f : slot->faults) {
        if (f.op != op || f.times == 0) continue;
        if (++f.seen < f.nth) continue;
        if (f.times > 0) --f.times;
        fault = &f;
        break;
      }
      result = body(*slot, fault, call, failure);
    }
    if (record) {
      call.result = result;
      lib.calls.push_back(std::move(call));
    }
    if (failure.code != 0) {
      d.m_llLastCode = failure.code;
      d.m_strLastText = failure.text + " (optical drive " + d.m_strPath + ")";
    }
    return result;
  }

  static Failure Injected(const OpticalFault& f, const char* op) {
    return Own(f.code, std::string("Injected failure of ") + op);
  }

  static OZScsiMODiskDrive::OpenFile* Find(OZScsiMODiskDrive& d, int handle, Failure& failure) {
    auto it = d.m_files.find(handle);
    if (it == d.m_files.end()) {
      failure = Own(OZScsiMODiskDrive::kBadHandle, "No open file has the handle " + std::to_string(handle));
      return nullptr;
    }
    return &it->second;
  }

  static std::string Folder(const OpticalDriveSlot& slot, const OZScsiMODiskDrive& d) {
    return slot.setup.logicalDrive.empty() ? d.m_strPath : slot.setup.logicalDrive;
  }
};

OZScsiMODiskDrive::OZScsiMODiskDrive(const std::string& path, long long jobId) : m_strPath(path), m_llJobId(jobId) {}

OZScsiMODiskDrive* OZScsiMODiskDrive::instance(int mediaType, const char* path, long long& jobId, bool flag) {
  const std::string mediaPath = path != nullptr ? path : "";
  std::lock_guard<std::mutex> lock(platform::OpticalLibraryMutex());
  platform::OpticalLibraryState& lib = platform::OpticalLibrary();
  lib.calls.push_back(OpticalCall{mediaPath, "instance", {mediaType, jobId, flag ? 1 : 0}, 0, ""});
  OpticalDriveSlot* slot = lib.Slot(mediaPath);
  if (slot != nullptr && slot->setup.factoryFails) {
    lib.calls.back().result = -1;
    return nullptr;
  }
  auto* drive = new OZScsiMODiskDrive(mediaPath, jobId);
  ++lib.objectsMade;
  ++lib.objectsAlive;
  if (slot == nullptr) {
    drive->m_llLastCode = kNoDrive;
    drive->m_strLastText = "No drive answers at the media path " + mediaPath;
  } else if (slot->setup.invalidCode != 0) {
    drive->m_llLastCode = slot->setup.invalidCode;
    drive->m_strLastText = "The drive at " + mediaPath + " is not usable";
  } else {
    drive->m_bValid = true;
  }
  return drive;
}

OZScsiMODiskDrive::~OZScsiMODiskDrive() {
  for (auto& [handle, open] : m_files) open.file->Close();
  std::lock_guard<std::mutex> lock(platform::OpticalLibraryMutex());
  --platform::OpticalLibrary().objectsAlive;
}

long long OZScsiMODiskDrive::getLastError(std::string& text) {
  text = m_strLastText;
  return m_llLastCode;
}

int OZScsiMODiskDrive::getLogicalDrive(std::string& drive) {
  return static_cast<int>(OpticalDriveAccess::Run(
      *this, "getLogicalDrive", {}, [&](OpticalDriveSlot& s, const OpticalFault* f, OpticalCall& call, Failure& fail) {
        if (f != nullptr || s.setup.logicalDriveError != 0) {
          fail = f != nullptr ? OpticalDriveAccess::Injected(*f, "getLogicalDrive")
                              : Own(s.setup.logicalDriveError, "The media path has no logical drive");
          return -1LL;
        }
        drive = OpticalDriveAccess::Folder(s, *this);
        call.name = drive;
        return 0LL;
      }));
}

int OZScsiMODiskDrive::open(const char* name, int access, int disposition) {
  const std::string file = name != nullptr ? name : "";
  return static_cast<int>(OpticalDriveAccess::Run(
      *this, "open", {access, disposition}, [&](OpticalDriveSlot& s, const OpticalFault* f, OpticalCall& call,
                                                Failure& fail) {
        call.name = file;
        if (f != nullptr) {
          fail = OpticalDriveAccess::Injected(*f, "open");
          return 0LL;
        }
        const bool writing = access == kAccessWrite && disposition == kCreateAlways;
        if (!writing && !(access == kAccessRead && disposition == kOpenExisting)) {
          fail = Own(kBadArgument, "Unknown access " + std::to_string(access) + "/" + std::to_string(disposition));
          return 0LL;
        }
        OpenFile open;
        open.file.reset(CFileInterface::GetFileInterfaceInstance(CFSInitParams()));
        open.name = file;
        open.writing = writing;
        CXoError e = open.file->Open(file, writing ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY, 0644, 0);
        if (e.IsFailure()) {
          fail = FromLayer(e);
          return 0LL;
        }
        if (writing && s.setup.quotaBytes >= 0 &&
            !UsedBytes(OpticalDriveAccess::Folder(s, *this), open.usedAtOpen, fail)) {
          open.file->Close();
          return 0LL;
        }
        const int handle = m_iNextHandle++;
        m_files.emplace(handle, std::move(open));
        return static_cast<long long>(handle);
      }));
}

int OZScsiMODiskDrive::close(int handle) {
  return static_cast<int>(
      OpticalDriveAccess::Run(*this, "close", {handle}, [&](OpticalDriveSlot&, const OpticalFault* f, OpticalCall& call,
                                                             Failure& fail) {
        OpenFile* open = OpticalDriveAccess::Find(*this, handle, fail);
        if (open == nullptr) return -1LL;
        call.name = open->name;
        CXoError e;
        if (f != nullptr) {
          fail = OpticalDriveAccess::Injected(*f, "close");
        } else if (open->writing) {
          e = open->file->Flush();
        }
        CXoError closed = open->file->Close();
        if (e.IsSuccess() && open->writing && closed.IsSuccess()) e = FlushFolder(CXoPath::GetParent(open->name));
        if (e.IsSuccess()) e = closed;
        m_files.erase(handle);
        if (e.IsFailure()) fail = FromLayer(e);
        return fail.code != 0 ? -1LL : 0LL;
      }));
}

int OZScsiMODiskDrive::getFreeSpace(OZQuadWord& freeBytes, OZQuadWord& totalBytes) {
  return static_cast<int>(OpticalDriveAccess::Run(
      *this, "getFreeSpace", {}, [&](OpticalDriveSlot& s, const OpticalFault* f, OpticalCall& call, Failure& fail) {
        if (f != nullptr) {
          fail = OpticalDriveAccess::Injected(*f, "getFreeSpace");
          return 0LL;
        }
        const std::string folder = OpticalDriveAccess::Folder(s, *this);
        unsigned long long total = 0;
        unsigned long long free = 0;
        if (s.setup.quotaBytes >= 0) {
          unsigned long long used = 0;
          if (!UsedBytes(folder, used, fail)) return 0LL;
          total = static_cast<unsigned long long>(s.setup.quotaBytes);
          free = used < total ? total - used : 0;
        } else {
          auto fs = DiskInterface();
          CXoError e = fs ? fs->GetFreeSpace(folder, total, free)
                          : FXErrorUtil::ErrorErrNo(FX_LOCATION, ENODEV, "No file-system interface");
          if (e.IsFailure()) {
            fail = FromLayer(e);
            return 0LL;
          }
        }
        freeBytes.SetQuadPart(free);
        totalBytes.SetQuadPart(total);
        call.args = {static_cast<long long>(free), static_cast<long long>(total)};
        return 1LL;
      }));
}

long OZScsiMODiskDrive::read(int handle, char* buffer, long size) {
  return static_cast<long>(OpticalDriveAccess::Run(
      *this, "read", {handle, size}, [&](OpticalDriveSlot&, const OpticalFault* f, OpticalCall&, Failure& fail) {
        OpenFile* open = OpticalDriveAccess::Find(*this, handle, fail);
        if (open == nullptr || size <= 0) return 0LL;
        const long want = f != nullptr ? static_cast<long>(std::clamp<long long>(f->count, 0, size)) : size;
        unsigned int done = 0;
        CXoError e = want > 0 ? open->file->Read(buffer, static_cast<unsigned int>(want), &done) : CXoError();
        if (e.IsFailure()) {
          fail = FromLayer(e);
          return 0LL;
        }
        if (f != nullptr) {
          fail = OpticalDriveAccess::Injected(*f, "read");
        } else if (done == 0) {
          fail = Own(kEndOfFile, "End of the file " + open->name);
        }
        return static_cast<long long>(done);
      }));
}

long OZScsiMODiskDrive::write(int handle, const char* buffer, long size) {
  return static_cast<long>(OpticalDriveAccess::Run(
      *this, "write", {handle, size}, [&](OpticalDriveSlot& s, const OpticalFault* f, OpticalCall&, Failure& fail) {
        OpenFile* open = OpticalDriveAccess::Find(*this, handle, fail);
        if (open == nullptr || size <= 0) return 0LL;
        long long want = size;
        if (f != nullptr) want = std::clamp<long long>(f->count, 0, size);
        bool full = false;
        if (s.setup.quotaBytes >= 0) {
          const unsigned long long quota = static_cast<unsigned long long>(s.setup.quotaBytes);
          const unsigned long long used = open->usedAtOpen + open->written;
          const long long room = used < quota ? static_cast<long long>(quota - used) : 0;
          if (want > room) {
            want = room;
            full = true;
          }
        }
        unsigned int done = 0;
        CXoError e =
            want > 0 ? open->file->Write(buffer, static_cast<unsigned int>(want), &done) : CXoError();
        open->written += done;
        if (e.IsFailure()) {
          fail = FromLayer(e);
        } else if (f != nullptr) {
          fail = OpticalDriveAccess::Injected(*f, "write");
        } else if (full) {
          fail = Own(kDiskFull, "The disk is full");
        }
        return static_cast<long long>(done);
      }));
}

int OZScsiMODiskDrive::isWorm(int mediaType, int& type) {
  return static_cast<int>(OpticalDriveAccess::Run(
      *this, "isWorm", {mediaType}, [&](OpticalDriveSlot& s, const OpticalFault* f, OpticalCall&, Failure& fail) {
        if (f != nullptr) {
          fail = OpticalDriveAccess::Injected(*f, "isWorm");
          return 0LL;
        }
        if (s.setup.wormType == 0) return 0LL;
        type = s.setup.wormType;
        return 1LL;
      }));
}
