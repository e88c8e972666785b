// The chunk's container index "SFILE_CONTAINER.idx": one 56-byte record per object, in ascending
// key order, with the number of the SFile container that holds it. The writer appends a record
// per object; hosts walk the records (opening the file read-only, with retries and one recovery
// of an interrupted compaction); the last object number tells an appending job where to go on.

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/config.h"
#include "platform/platform.h"

namespace {

constexpr int kDefaultOpenAttempts = 2;
constexpr unsigned int kRetryPauseMs = 5000;
constexpr size_t kZeroScanBytes = 1 << 16;

#define INDEX_ASSERT(expr, text, function) \
  ozassert(static_cast<bool>(expr), text, "SingleInstancerFS", function, __LINE__)

// "AuxcopySfileIdxOpenAttemps", read once per process: the open attempts of a walk.
struct OpenAttempts {
  std::mutex mutex;
  bool read = false;
  int attempts = kDefaultOpenAttempts;
};

OpenAttempts& Attempts() {
  static auto* attempts = new OpenAttempts;
  return *attempts;
}

void ResetOpenAttempts() {
  std::lock_guard<std::mutex> lock(Attempts().mutex);
  Attempts().read = false;
  Attempts().attempts = kDefaultOpenAttempts;
}

[[maybe_unused]] const bool kOpenAttemptsResetRegistered = (platform::RegisterReset(&ResetOpenAttempts), true);

// The configured number, or on the first call of the process reads it (and says so).
int OpenAttemptsOfProcess(bool& firstRead) {
  OpenAttempts& a = Attempts();
  std::lock_guard<std::mutex> lock(a.mutex);
  firstRead = !a.read;
  if (!a.read) {
    long long value = kDefaultOpenAttempts;
    OZPlatformInfo info;
    if (info.getNumber("ZovadAdeve", "AuxcopySfileIdxOpenAttemps", &value)) {
      a.attempts = static_cast<int32_t>(static_cast<uint32_t>(value));
    }
    a.read = true;
  }
  return a.attempts;
}

// Whether the file holds nothing but zeros. A file whose header is there is read no further.
CXoError HoldsZerosAlone(CFileInterface& file, const std::string& path, bool& zeros) {
  zeros = false;
  CXoError e = file.Open(path, O_RDONLY | O_LARGEFILE, 0, 0);
  if (e.IsFailure()) return e.Push(FX_LOCATION);
  std::vector<char> buffer(kIdxHeaderSize);
  bool allZeros = true;
  for (;;) {
    unsigned int done = 0;
    e = file.Read(buffer.data(), static_cast<unsigned int>(buffer.size()), &done);
    if (e.IsFailure() || done == 0) break;
    allZeros = std::all_of(buffer.begin(), buffer.begin() + done, [](char c) { return c == 0; });
    if (!allZeros) break;
    buffer.resize(kZeroScanBytes);
  }
  (void)file.Close();
  if (e.IsFailure()) return e.Push(FX_LOCATION);
  zeros = allZeros;
  return e;
}

}  // namespace

// An index file shorter than its header, or of zeros alone, was created by a job that ended
// before its first checkpoint made anything in it durable (a power loss can keep the size of a
// new file and none of its pages): it holds no record, and counts as absent, so the chunk's next
// record (or container) creates it again.
CXoError SingleInstancer_FS::IndexFileExists(const std::string& path, bool& exists) {
  exists = false;
  if (m_pFSInterface == nullptr) {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, ENODEV, "The store has no file-system interface");
  }
  CXoError e = m_pFSInterface->Exists(path, exists);
  if (e.IsFailure() || !exists) return e;
  FSPathInfo info;
  e = m_pFSInterface->Stat(path, info);
  if (e.IsFailure()) return e;
  bool zeros = false;
  if (info.size >= kIdxHeaderSize && m_iCloudMode == 0) {
    std::unique_ptr<CFileInterface> file(CFileInterface::GetFileInterfaceInstance(m_FileInitParams));
    e = file ? HoldsZerosAlone(*file, path, zeros)
             : FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrNoFileInterface, "No file interface for [%s]", path.c_str());
    if (e.IsFailure()) return e;
  }
  if (info.size < kIdxHeaderSize || zeros) {
    Log(1, "%s: The index file [%s] holds no header [%llu bytes%s]; it is created again",
        "SingleInstancer_FS::IndexFileExists", path.c_str(), static_cast<unsigned long long>(info.size),
        zeros ? " of zeros" : "");
    exists = false;
  }
  return e;
}

int SingleInstancer_FS::AddSfileContainerIndexEntry(SSfileContainerIndexEntry& entry) {
  static const char kOp[] = "SingleInstancer_FS::AddSfileContainerIndexEntry";
  INDEX_ASSERT(m_bNewOZSIFormat, "m_bNewOZSIFormat == true", kOp);
  INDEX_ASSERT(m_fdSFileIdx.IsValid(), "m_fdSFileIdx.IsValid () == true", kOp);
  entry.ContainerNo = m_SfileNumber;
  CXoError e = m_fdSFileIdx.AddEntry(&entry);
  if (e.IsFailure()) {
    Log(1, "%s: Cannot write to index file, error=%s", kOp, e.AsString().c_str());
    RecordFailure(e);
    return -1;
  }
  return 0;
}

int SingleInstancer_FS::GetNextSfileContainerIndexEntry(int64_t* position, SSfileContainerIndexEntry& entry) {
  if (!m_fdSFileIdx.IsValid()) {
    *position = -2;
    return -1;
  }
  if (*position < -1) *position = -1;
  for (;;) {
    ++*position;
    if (*position >= static_cast<int64_t>(m_fdSFileIdx.m_Header.TotalEntries)) {
      *position = -1;
      return 1;
    }
    CXoError e = m_fdSFileIdx.GetEntry(*position, &entry);
    if (e.IsFailure()) {
      ConvertAndSetLastMMError(e);
      Log(1, "%s:%d Cannot search index entry for pos. [%llu], SysErr=%d, Err=[%d:%x]=%s", "GetNextSfileIdxEntry",
          __LINE__, static_cast<unsigned long long>(*position), 0, static_cast<int>(m_llLastError),
          static_cast<unsigned int>(e.Code()), e.AsString().c_str());
      return MarkBadDecision(m_strSfileIdxName);
    }
    if (entry.Deleted == 0) return 0;
  }
}

int SingleInstancer_FS::GetFirstSfileContainerIndexEntry(int64_t* position, SSfileContainerIndexEntry& entry) {
  static const char kTag[] = "GetFirstSfileIdxEnt";
  INDEX_ASSERT(m_bNewOZSIFormat, "m_bNewOZSIFormat == true", "SingleInstancer_FS::GetFirstSfileContainerIndexEntry");
  bool firstRead = false;
  const int configured = OpenAttemptsOfProcess(firstRead);
  if (firstRead) Log(1, "%s: SfileIdx open attemps = %d", kTag, configured);
  if (m_fdSFileIdx.IsValid()) return GetNextSfileContainerIndexEntry(position, entry);

  m_strSfileIdxName = path_append(m_strChunkDir, "SFILE_CONTAINER") + ".idx";
  // A walk always tries the file at least once.
  int retries = (configured > 0 ? configured : 1) - 1;
  bool recoveryTried = false;
  SfileIndex::Options options{false, true, true, true};
  for (;;) {
    bool recovered = false;
    try {
      CImpersonator scope(m_LoggedOnUser.GetToken());
      CXoError e = m_fdSFileIdx.Open(m_strSfileIdxName, 1, options);
      if (e.IsSuccess()) break;
      ConvertAndSetLastMMError(e);
      Log(1, "%s: Cannot open Sfile idx file [%s], SysErr=%d, Err=[%d:%x]=%s", kTag, m_strSfileIdxName.c_str(), 0,
          static_cast<int>(m_llLastError), static_cast<unsigned int>(e.Code()), e.AsString().c_str());
      if (!recoveryTried) {
        recoveryTried = true;
        CXoError r = RecoverCompactableFileByParams(m_FileInitParams, m_strSfileIdxName.c_str(), COMPACT_TYPE_BOTH,
                                                    nullptr, false);
        if (r.IsFailure()) {
          ConvertAndSetLastMMError(r);
          Log(1, "%s: Cannot recover SfileIdx [%s], SysErr=%d, Err=[%d:%x]=%s", kTag, m_strSfileIdxName.c_str(), 0,
              static_cast<int>(m_llLastError), static_cast<unsigned int>(r.Code()), r.AsString().c_str());
          return MarkBadDecision(m_strSfileIdxName);
        }
        recovered = true;
      }
    } catch (const OzException& ex) {
      Log(1, "%s: Caught exception: %s", kTag, ex.text.c_str());
      MediaFSSetLastError(MMS2BaseError::ConvertToMMError(static_cast<unsigned int>(ex.code)));
      GetWindowsErrorString(static_cast<unsigned int>(ex.code));
      if (IsMarkChunkBadMMError(m_llLastError, &m_FileInitParams, m_strChunkDir, nullptr)) {
        DisplayError(static_cast<unsigned long>(m_llLastError), 1, "Impersonation failure");
      }
      if (retries <= 0) return -2;
      Log(1, "%s: Reattempting impersonation for %s", kTag, m_strChunkDir.c_str());
      --retries;
      XOSLEEP(kRetryPauseMs);
      continue;
    }
    if (recovered) continue;  // the recovery's own attempt uses up no retry
    if (IsMarkChunkBadMMError(m_llLastError, &m_FileInitParams, m_strSfileIdxName, nullptr)) return -1;
    if (retries <= 0) return -2;
    Log(1, "%s: Reattempting impersonation for %s", kTag, m_strChunkDir.c_str());
    --retries;
    XOSLEEP(kRetryPauseMs);
  }
  return GetNextSfileContainerIndexEntry(position, entry);
}

uint32_t SingleInstancer_FS::GetLastObjectNumber() {
  return m_fdSFileIdx.IsValid() ? static_cast<uint32_t>(m_fdSFileIdx.GetLastKey()) : 0;
}

CXoError SingleInstancer_FS::GetSfileContainerIndexSize(uint64_t& size) {
  size = 0;
  if (!m_fdSFileIdx.IsValid()) return CXoError::Success();
  CXoError e = m_fdSFileIdx.GetSize(size);
  return e.IsFailure() ? e.Push(FX_LOCATION) : e;
}
