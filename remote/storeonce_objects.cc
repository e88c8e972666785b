// The chunk's metadata and data objects: opening them in each mode, writing, reading and seeking
// the two streams, their offsets, and the padding that keeps fixed-block data aligned.

#include <fcntl.h>

#include <climits>
#include <cstdint>

#include "MediaFileSystem/HPStoreOnceFS.h"
#include "platform/config.h"

namespace {

const char kAllocFailed[] = "Unable to allocate data file interface.";
constexpr long long kMMErrNoInterface = 105;
constexpr long long kMMErrBadTagsOrMode = 40013;
// The data object option of a new object in fixed-block mode, and of a copy target.
constexpr int kOptionFixedBlock = 2;
constexpr int kOptionCopyTarget = 4;
// The padding rule works on the low 32 bits of the data offset, modulo this.
constexpr uint64_t kPaddingModulus = 4294967295ULL;

struct OpenArgs {
  int flags = 0;
  int mode = 0;
  int option = 0;
  bool needsTags = false;
};

}  // namespace

// A layer that reports success with fewer bytes than asked has failed the transfer: the job must
// see an I/O error, not the success value.
CXoError HPStoreOnce_FS::ShortTransfer(const FXCodeLocation& where, const char* what, const std::string& path,
                                       unsigned long long asked, unsigned long long done) {
  return FXErrorUtil::ErrorErrNo(where, EIO, "Could %s [%s] only [%llu] of [%llu] bytes", what, path.c_str(), done,
                                 asked);
}

bool HPStoreOnce_FS::HaveObjectTags(const std::string& path) {
  if (!m_FSInitParams.m_ParamText.empty()) return true;
  Log(1, "Cannot create new objects without proper tags [%s].", path.c_str());
  MediaFSSetLastError(kMMErrBadTagsOrMode);
  DisplayError(kMMErrBadTagsOrMode, 1, "Cannot create new objects without proper tags");
  return false;
}

int HPStoreOnce_FS::RefuseOpenMode(const char* object, const std::string& path, int mode) {
  Log(1, "Invalid open mode for %s file [%s]. eOpenType [%d]. ", object, path.c_str(), mode);
  MediaFSSetLastError(kMMErrBadTagsOrMode);
  DisplayError(kMMErrBadTagsOrMode, 1, FormatText("Invalid mode to open the %s file", object).c_str());
  return -1;
}

// A file interface for an object, made on first use: false (reported) when none can be made.
static bool MakeObjectInterface(std::unique_ptr<CFileInterface>& file, const CFSInitParams& params) {
  if (!file) file.reset(CFileInterface::GetFileInterfaceInstance(params));
  return file != nullptr;
}

int HPStoreOnce_FS::OpenMetaDataFile(HPStoreOnceFSOpenMode mode) {
  if (!MakeObjectInterface(m_pMetaDataFile, m_FSInitParams)) {
    Log(1, "%s", kAllocFailed);
    MediaFSSetLastError(kMMErrNoInterface);
    DisplayError(kMMErrNoInterface, 1, kAllocFailed);
    return -1;
  }
  if (m_pMetaDataFile->IsValid()) return 0;
  int flags = 0;
  int permissions = 0;
  switch (mode) {
    case kOpenRead:
      flags = O_RDONLY | O_LARGEFILE;
      permissions = 0400;
      break;
    case kOpenCreate:
      if (!HaveObjectTags(m_strMetaDataPath)) return -1;
      flags = O_WRONLY | O_CREAT | O_TRUNC | O_LARGEFILE;
      permissions = 0777;
      break;
    default:
      return RefuseOpenMode("metadata", m_strMetaDataPath, mode);
  }
  CXoError e = m_pMetaDataFile->Open(m_strMetaDataPath, flags, permissions, 0);
  if (e.IsFailure()) {
    Log(1, "Failed to create the metadata file [%s]. Error [%s].", m_strMetaDataPath.c_str(), e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    DisplayError(FXErrorUtil::GetMM(e), 1, "Failed to create the metadata file");
    return -1;
  }
  return 0;
}

int HPStoreOnce_FS::OpenDataFile(HPStoreOnceFSOpenMode mode) {
  if (!MakeObjectInterface(m_pDataFile, m_FSInitParams)) {
    Log(1, "%s", kAllocFailed);
    MediaFSSetLastError(kMMErrNoInterface);
    DisplayError(kMMErrNoInterface, 1, kAllocFailed);
    return -1;
  }
  if (m_pDataFile->IsValid()) return 0;
  OpenArgs args;
  switch (mode) {
    case kOpenRead:
      args = {O_RDONLY | O_LARGEFILE, 0400, 0, false};
      break;
    case kOpenCreate:
      args = {O_WRONLY | O_CREAT | O_EXCL | O_LARGEFILE, 0777, m_bFixedBlock ? kOptionFixedBlock : 0, true};
      break;
    case kOpenCopyTarget:
      args = {O_RDONLY | O_CREAT, 0, kOptionCopyTarget, false};
      break;
    case kOpenCloneTarget:
      args = {O_WRONLY | O_CREAT | O_EXCL | O_LARGEFILE, 0777, 0, true};
      break;
    case kOpenAppend:
      args = {O_WRONLY | O_LARGEFILE, 0777, 0, false};
      break;
    default:
      return RefuseOpenMode("data", m_strDataPath, mode);
  }
  if (args.needsTags && !HaveObjectTags(m_strDataPath)) return -1;
  CXoError e = m_pDataFile->OpenEx(m_strDataPath, args.flags, args.mode, 0, args.option);
  if (e.IsFailure()) {
    Log(1, "Failed to open the data file [%s], Error [%s].", m_strDataPath.c_str(), e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    DisplayError(FXErrorUtil::GetMM(e), 1, "Failed to open the data file");
    return -1;
  }
  // An exclusive create that went through made the object: it is this chunk's own.
  if ((args.flags & O_EXCL) != 0) m_bDataObjectOwned = true;
  return 0;
}

// A copy job writes into the data object behind the chunk's handle, which is why a copy that ran
// closes the object. Bytes or clones that follow belong after the copied range, so a pending copy
// runs first, and the object this chunk made is opened again to append. An object the chunk did
// not make is still opened as new, and refused when it exists.
int HPStoreOnce_FS::OpenDataFileToAdd(HPStoreOnceFSOpenMode mode, const char* what) {
  if (CopyPending()) {
    const int copied = CopyDataFile();
    if (copied != 0) {
      Log(1, "Cannot %s [%s]: the pending copy before it failed. iRet [%d].", what, m_strDataPath.c_str(), copied);
      return -1;
    }
  }
  if (!DataObjectReopensToAppend()) return OpenDataFile(mode);
  const int opened = OpenDataFile(kOpenAppend);
  if (opened != 0) return opened;
  CXoError e = m_pDataFile->Seek(0, 2, nullptr);
  if (e.IsFailure()) {
    Log(1, "Failed to seek to end of data file [%s], Error [%s].", m_strDataPath.c_str(), e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    (void)m_pDataFile->Close();  // the next call opens it again and seeks once more
    return -1;
  }
  return 0;
}

// Lengths travel as 32-bit counts: a write that one count cannot report is refused before a
// byte moves, rather than written in part or acknowledged with a negative count.
CXoError HPStoreOnce_FS::WriteWhole(CFileInterface* file, const std::string& path, const char* buf, long len) {
  if (len < 0 || len > INT_MAX) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, EFBIG, "Cannot write [%ld] bytes to [%s] in one call", len,
                                   path.c_str());
  }
  unsigned int done = 0;
  CXoError e = file->Write(buf, static_cast<unsigned int>(len), &done);
  if (e.IsSuccess() && done < static_cast<unsigned long>(len)) {
    e = ShortTransfer(FX_LOCATION, "write to", path, static_cast<unsigned long long>(len), done);
  }
  return e;
}

int HPStoreOnce_FS::WriteObject(CFileInterface* file, const std::string& path, const char* buf, long len,
                                const char* what) {
  CXoError e = WriteWhole(file, path, buf, len);
  if (e.IsFailure()) {
    Log(1, "Failed to write to %s file [%s], Error [%s].", what, path.c_str(), e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    MarkVolumeFullOnErr(e, kApplianceFullMMError);
    return -1;
  }
  m_llPhysicalBytes += len;
  return static_cast<int>(len);
}

int HPStoreOnce_FS::WriteToMetaData(const char* buf, long len, int* eom) {
  if (eom != nullptr) *eom = 0;
  const int opened = OpenMetaDataFile(kOpenCreate);
  if (opened != 0) {
    Log(1, "Failed to open metadata file. iRet [%d].", opened);
    return -1;
  }
  return WriteObject(m_pMetaDataFile.get(), m_strMetaDataPath, buf, len, "metadata");
}

// Padding added at the data object's end while a copy is pending would lie where the copy job
// writes its range, and be overwritten when it runs.
bool HPStoreOnce_FS::RefusedWhileCopyPending(const char* what) {
  if (!CopyPending()) return false;
  Log(1, "Cannot %s [%s] while a copy of [%llu] bytes to offset [%llu] is pending.", what, m_strDataPath.c_str(),
      static_cast<unsigned long long>(m_ullCopySize), static_cast<unsigned long long>(m_ullCopyDestOffset));
  MediaFSSetLastError(kMMErrCopyPending);
  return true;
}

int HPStoreOnce_FS::WriteToDataFile(const char* buf, long len, int* eom) {
  if (eom != nullptr) *eom = 0;
  const int opened = OpenDataFileToAdd(kOpenCreate, "write to the data file");
  if (opened != 0) {
    Log(1, "Failed to open data file. iRet [%d].", opened);
    return -1;
  }
  return WriteObject(m_pDataFile.get(), m_strDataPath, buf, len, "data");
}

int HPStoreOnce_FS::ReadFromMetaData(char* buf, long len) {
  const int opened = OpenMetaDataFile(kOpenRead);
  if (opened != 0) {
    Log(1, "Failed to open metadata file. iRet [%d].", opened);
    return -1;
  }
  // Fewer bytes than asked is no failure here, so a request past what one count reports reads less.
  const unsigned int want = len <= 0 ? 0u : static_cast<unsigned int>(len > INT_MAX ? INT_MAX : len);
  unsigned int done = 0;
  CXoError e = m_pMetaDataFile->Read(buf, want, &done);
  if (e.IsFailure()) {
    Log(1, "%s: Cannot read from metadata file. lBytesToRead [%ld] uBytesRead [%u] Error [%s].", "ReadFromMetaData",
        len, done, e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }
  return static_cast<int>(done);
}

int HPStoreOnce_FS::ReadFromDataFile(char* buf, long len) {
  const int opened = OpenDataFile(kOpenRead);
  if (opened != 0) {
    Log(1, "Failed to open the data file. iRet [%d].", opened);
    return -1;
  }
  CXoError e;
  unsigned int done = 0;
  if (len < 0 || len > INT_MAX) {
    e = FXErrorUtil::ErrorErrNo(FX_LOCATION, EFBIG, "Cannot read [%ld] bytes from [%s] in one call", len,
                                m_strDataPath.c_str());
  } else {
    e = m_pDataFile->Read(buf, static_cast<unsigned int>(len), &done);
    if (e.IsSuccess() && done != 0 && done < static_cast<unsigned long>(len)) {
      e = ShortTransfer(FX_LOCATION, "read from", m_strDataPath, static_cast<unsigned long long>(len), done);
    }
  }
  if (e.IsFailure()) {
    Log(1, "%s: Cannot read from data file. lBytesToRead [%ld] uBytesRead [%u] Error [%s].", "ReadFromDataFile", len,
        done, e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }
  return static_cast<int>(done);
}

int HPStoreOnce_FS::SetMetaDataSeekOffset(long long offset, int origin) {
  const int opened = OpenMetaDataFile(kOpenRead);
  if (opened != 0) {
    Log(1, "Failed to open metadata file. iRet [%d].", opened);
    return 0;
  }
  CXoError e = m_pMetaDataFile->Seek(offset, origin, nullptr);
  if (e.IsFailure()) {
    Log(1, "%s: Cannot seek to offset [%llu] on datafile [%s]. Error [%s].", "SetDataFileSeekOffset",
        static_cast<unsigned long long>(offset), m_strMetaDataPath.c_str(), e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return 0;
  }
  return 1;
}

int HPStoreOnce_FS::SetDataSeekOffset(long long offset) {
  const int opened = OpenDataFile(kOpenRead);
  if (opened != 0) {
    Log(1, "Failed to open the data file. iRet [%d].", opened);
    return 0;
  }
  CXoError e = m_pDataFile->Seek(offset, 0, nullptr);
  if (e.IsFailure()) {
    Log(1, "%s: Cannot seek to offset [%llu] on datafile [%s]. Error [%s].", "SetDataFileSeekOffset",
        static_cast<unsigned long long>(offset), m_strDataPath.c_str(), e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return 0;
  }
  return 1;
}

bool HPStoreOnce_FS::DataObjectReopensToAppend() {
  return m_bDataObjectOwned && m_pDataFile && !m_pDataFile->IsValid();
}

long long HPStoreOnce_FS::DataObjectEnd() {
  CFSInterface* fs = GetFSInterface();
  unsigned long long size = 0;
  CXoError e = fs != nullptr ? fs->GetFileAttributes(m_strDataPath, size)
                             : FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrNoInterface, "No file-system interface for [%s]",
                                                    m_strDataPath.c_str());
  if (e.IsFailure()) {
    Log(1, "Cannot get the size of data file [%s]. Error [%s].", m_strDataPath.c_str(), e.AsString().c_str());
    return -1;
  }
  return static_cast<long long>(size);
}

// A host records where the next data lies from this offset, also while a copy has left the
// chunk's own data object closed: the answer is where those bytes will land.
long long HPStoreOnce_FS::GetFileOffset(int which) {
  CFileInterface* file = which == 1 ? m_pDataFile.get() : which == 2 ? m_pMetaDataFile.get() : nullptr;
  if (which == 1 && DataObjectReopensToAppend()) return DataObjectEnd();
  if (file == nullptr || !file->IsValid()) return 0;
  if (which == 1 && CopyPending()) return static_cast<long long>(m_ullCopyDestOffset + m_ullCopySize);
  CXoFile::offset position = 0;
  if (file->Tell(position).IsFailure()) return -1;
  return position;
}

int HPStoreOnce_FS::ShouldWritePadding(unsigned int& padBytes, unsigned long long* dataOffset) {
  if (!m_bFixedBlock) {
    padBytes = 0;
    return 0;
  }
  if (m_iPadding == -1) {
    OZPlatformInfo info;
    long long value = 0;
    const bool present = info.getNumber("ZovadAdeve", "HPECatalystOptimizeFixedBlockDataForDedupRatio", &value);
    if (!present || static_cast<uint32_t>(value) != 0) {
      Log(1, "Enabled padding fixed block data stream with 0 as required to ensure block alignment and dedupe ratio.");
      m_iPadding = 1;
    } else {
      Log(1, "Padding fixed block data stream when required is disabled. Cannot guarantee block alignment or dedupe "
             "ratio.");
      m_iPadding = 0;
      padBytes = 0;
      return 0;
    }
  }
  const bool dataHasAnEnd = m_pDataFile && (m_pDataFile->IsValid() || DataObjectReopensToAppend());
  if (m_iPadding == 0 || !dataHasAnEnd) {
    padBytes = 0;
    return 0;
  }
  const unsigned long long offset = static_cast<unsigned long long>(GetDataFileOffset());
  if (offset == ~0ULL) {
    Log(1, "Error: Invalid data file offset. ullDataFileOffset [%llu]", offset);
    return -1;
  }
  if (dataOffset != nullptr) *dataOffset = offset;
  const uint64_t remainder = (offset & 0xFFFFFFFFULL) % kPaddingModulus;
  padBytes = remainder != 0 ? static_cast<unsigned int>(kPaddingModulus - remainder) : 0u;
  return 0;
}

int HPStoreOnce_FS::WritePaddingToDataFile(const char* buf, long len, int* eom) {
  if (eom != nullptr) *eom = 0;
  if (RefusedWhileCopyPending("pad the data file")) return -1;
  bool openedHere = false;
  if (!m_pDataFile || !m_pDataFile->IsValid()) {
    const int opened = OpenDataFile(kOpenAppend);
    if (opened != 0) {
      Log(1, "Failed to open data file. iRet [%d].", opened);
      return -1;
    }
    openedHere = true;
  }
  CXoError e = m_pDataFile->Seek(0, 2, nullptr);
  if (e.IsFailure()) {
    Log(1, "Failed to seek to end of data file [%s], Error [%s].", m_strDataPath.c_str(), e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    if (openedHere) (void)m_pDataFile->Close();
    return -1;
  }
  e = WriteWhole(m_pDataFile.get(), m_strDataPath, buf, len);
  CXoError closed;
  if (openedHere) closed = m_pDataFile->Close();
  if (e.IsFailure()) {
    Log(1, "Failed to write to data file [%s], Error [%s].", m_strDataPath.c_str(), e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }
  if (closed.IsFailure()) {
    Log(1, "Failed to close to data file [%s], Error [%s].", m_strDataPath.c_str(), closed.AsString().c_str());
    ConvertAndSetLastMMError(closed);
    return -1;
  }
  m_llPhysicalBytes += len;
  return static_cast<int>(len);
}
