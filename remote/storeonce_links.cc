// Deduplicated data: link records, the objects they name, clones into the data object, and the
// pending copy that merges links which continue it and runs as one copy job on the appliance.

#include <climits>
#include <cstring>
#include <memory>

#include "MediaFileSystem/HPStoreOnceFS.h"
#include "DataServerAPI/HPStoreOnceInterfaceUnsupportedPlatform.h"
#include "MediaFileSystem/SingleInstancerFS.h"

namespace {

constexpr long long kMMErrNoTarget = 101;  // no data object, or no source parameters
constexpr long long kMMErrNoInterface = 105;
constexpr long long kMMErrNoLink = 109;
constexpr long long kMMErrReuse = 789;
constexpr uint64_t kOffsetBits = (1ULL << 56) - 1;

// A link record in host order from the host's network-order one.
SILinkHdr HostOrder(const SILinkHdr* link) {
  SILinkHdr copy;
  std::memcpy(&copy, link, sizeof(copy));
  HPStoreOnce_FS::ConvertSILinkByteOrder(&copy);
  return copy;
}

unsigned int ObjectNumber(const SILinkHdr& link) {
  return static_cast<unsigned int>(link.PrimaryRecord.MetadataOffset >> 56);
}

uint64_t LinkOffset(const SILinkHdr& link) { return link.PrimaryRecord.MetadataOffset & kOffsetBits; }

}  // namespace

void HPStoreOnce_FS::ConvertSILinkByteOrder(SILinkHdr* link) {
  if (link == nullptr) return;
  link->Word0 = ozhtonl(link->Word0);
  link->Word1 = ozhtonl(link->Word1);
  ConvertByteOrder(&link->PrimaryRecord);
  ConvertByteOrder(&link->SecondaryRecord);
}

std::string HPStoreOnce_FS::GetObjectPathFromSILinkHdr(const SILinkHdr& link, const std::string& root) {
  std::string path = path_append(root, SingleInstancer_FS::GetVolumeDirName(link.PrimaryRecord.VolumeId));
  path = path_append(path, SingleInstancer_FS::GetChunkDirName(link.PrimaryRecord.ChunkId));
  return path_append(path, FormatText("%d%s", static_cast<int>(ObjectNumber(link)), ".data"));
}

std::string HPStoreOnce_FS::GetObjectPathFromSILinkHdr(const SILinkHdr& link) {
  return GetObjectPathFromSILinkHdr(link, m_strMountRoot);
}

// The link's mount path as the configuration describes it, taken as an appliance mount path (the
// lookup of file-system parameters knows no appliance kind). Its root holds the volume folders:
// the mount path through "OZ_MAGNETIC", or the whole path when it names none.
int HPStoreOnce_FS::GetFSParamsFromSILinkHdr(const SILinkHdr& link, long installationId, CFSInitParams& params,
                                             std::string& path) {
  const int mountPathId = static_cast<int32_t>(link.PrimaryRecord.MountPathId);
  SMountInfo info;
  if (LookupMPInfoFromReg(mountPathId, static_cast<int>(installationId), info) == 0) {
    Log(1, "Unable to get information for MP [%d]. Error [%u].", mountPathId,
        static_cast<unsigned int>(MediaFSGetLastError()));
    return -1;
  }
  CFSInitParams found;
  CXoError e = GetFSInitParams(static_cast<unsigned int>(mountPathId), info.m_MountPath, info.m_MountPathType,
                               info.m_CloudSubType, info.m_UserName, info.m_Password, found);
  if (e.IsFailure()) {
    Log(1, "Cannot construct the file-system parameters of MP [%d] [%s]. Error [%s].", mountPathId,
        info.m_MountPath.c_str(), e.AsString().c_str());
    return -1;
  }
  found.m_Type = kFSTypeStoreOnce;
  std::string root = GetMountPath(found.m_Host.m_Path.c_str());
  if (root.empty()) root = found.m_Host.m_Path;
  path = GetObjectPathFromSILinkHdr(link, root);
  params = found;
  return 0;
}

int HPStoreOnce_FS::CloneToDataFile(SILinkHdr* link, unsigned int value, int* eom) {
  (void)value;
  if (link == nullptr) {
    Log(1, "pSILinkNBO is NULL");
    return -1;
  }
  const SILinkHdr host = HostOrder(link);
  const std::string parent = GetObjectPathFromSILinkHdr(host);
  const int opened = OpenDataFileToAdd(kOpenCloneTarget, "clone into the data file");
  if (opened != 0) {
    Log(1, "Failed to open data file. iRet [%d].", opened);
    return -1;
  }
  const uint64_t size = host.PrimaryRecord.Size;
  uint64_t cloned = 0;
  CXoError e;
  if (auto* target = dynamic_cast<CHPStoreOnceFile*>(m_pDataFile.get())) {
    e = target->CloneFromParent(parent.c_str(), LinkOffset(host), size, &cloned);
  } else {
    e = FXErrorUtil::ErrorMM(FX_LOCATION, kMMErrNoInterface, "The data object [%s] is not an appliance object",
                             m_strDataPath.c_str());
  }
  // A clone that reports less than the link's size has failed, whatever its result says.
  if (e.IsSuccess() && cloned != size) e = ShortTransfer(FX_LOCATION, "clone into", m_strDataPath, size, cloned);
  if (e.IsFailure()) {
    Log(1, "Failed to clone to data file [%s], Error [%s].", m_strDataPath.c_str(), e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    MarkVolumeFullOnErr(e, kApplianceFullMMError);
    return -1;
  }
  if (eom != nullptr) *eom = 0;
  return 0;
}

int HPStoreOnce_FS::ScheduleDataFileCopy(SILinkHdr* link, unsigned int installationId, bool reuse, int* eom) {
  if (reuse) {
    Log(1, "Reusing chunks on HPE StoreOnce is not supported at the moment.");
    MediaFSSetLastError(kMMErrReuse);
    return -1;
  }
  if (link == nullptr) {
    Log(1, "pSILinkNBO is NULL");
    MediaFSSetLastError(kMMErrNoLink);
    return -1;
  }
  const SILinkHdr host = HostOrder(link);
  const uint64_t offset = LinkOffset(host);
  const uint64_t size = host.PrimaryRecord.Size;
  // The call reports the link's size as a 32-bit count: a larger link is refused before it joins
  // a copy, rather than accepted with a count that reads as a failure.
  if (size > static_cast<uint64_t>(INT_MAX)) {
    CXoError e = FXErrorUtil::ErrorErrNo(FX_LOCATION, EFBIG, "A link of [%llu] bytes is more than one call reports",
                                         static_cast<unsigned long long>(size));
    Log(1, "Cannot schedule the copy of a link, Error [%s].", e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }

  bool merged = false;
  if (CopyPending()) {
    const CPrimaryRecord& pending = m_CopyLink.PrimaryRecord;
    const CPrimaryRecord& next = host.PrimaryRecord;
    const bool sameChunk = static_cast<int32_t>(pending.MountPathId) == static_cast<int32_t>(next.MountPathId) &&
                           pending.VolumeId == next.VolumeId && pending.ChunkId == next.ChunkId;
    if (sameChunk) {
      if (ObjectNumber(m_CopyLink) != ObjectNumber(host) || m_uCopyTHId != installationId ||
          m_ullCopySrcOffset + m_ullCopySize != offset) {
        Log(1,
            "Unexpected copy parameters. SFileNum [%u] != [%u] || ThId [%u] != [%u] || Offset [%llu] + [%llu] != "
            "[%llu].",
            ObjectNumber(m_CopyLink), ObjectNumber(host), m_uCopyTHId, installationId,
            static_cast<unsigned long long>(m_ullCopySrcOffset), static_cast<unsigned long long>(m_ullCopySize),
            static_cast<unsigned long long>(offset));
        MediaFSSetLastError(kMMErrCopyPending);
        return -1;
      }
      m_ullCopySize += size;
      merged = true;
    } else {
      const int copied = CopyDataFile();
      if (copied != 0) {
        Log(1, "Failed to open data file. iRet [%d].", copied);
        return -1;
      }
    }
  }

  if (!merged) {
    const int opened = OpenDataFile(kOpenCopyTarget);
    if (opened != 0) {
      Log(1, "Failed to open data file. iRet [%d].", opened);
      return -1;
    }
    unsigned long long objectSize = 0;
    CXoError e = m_pDataFile->Size(objectSize);
    if (e.IsFailure()) {
      Log(1, "Failed to get SFILE size. Err [%s].", e.AsString().c_str());
      return -1;
    }
    // A copy target opens without exclusive create. An empty object holds nothing of another
    // chunk: the chunk takes it as its own, and what follows the copy is appended to it.
    if (objectSize == 0) m_bDataObjectOwned = true;
    m_CopyLink = host;
    m_uCopyTHId = installationId;
    m_ullCopySrcOffset = offset;
    m_ullCopySize = size;
    m_strCopyDestPath = m_strDataPath;
    m_ullCopyDestOffset = objectSize;
  }
  m_llPhysicalBytes += static_cast<long long>(size);
  if (eom != nullptr) *eom = 0;
  return static_cast<int>(size);
}

int HPStoreOnce_FS::CopyDataFile() {
  if (!CopyPending()) return 0;
  if (!m_pDataFile) {
    Log(1, "Invalid handle to target data object.");
    MediaFSSetLastError(kMMErrNoTarget);
    return -1;
  }
  CFSInitParams sourceParams;
  std::string sourcePath;
  if (GetFSParamsFromSILinkHdr(m_CopyLink, m_uCopyTHId, sourceParams, sourcePath) != 0) {
    Log(1, "Unable to get FSParams, objectpath from SILink.");
    MediaFSSetLastError(kMMErrNoTarget);
    return -1;
  }
  return RunCopyJob(sourceParams, sourcePath);
}

int HPStoreOnce_FS::RunCopyJob(const CFSInitParams& sourceParams, const std::string& sourcePath) {
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(sourceParams));
  auto* source = dynamic_cast<CHPStoreOnceFS*>(fs.get());
  if (source == nullptr) {
    Log(1, "Cannot allocate HPStoreOnceFS.");
    MediaFSSetLastError(kMMErrNoInterface);
    return -1;
  }
  const CFSInitParams& targetParams = m_pDataFile->GetInitParams();
  if (sourcePath != m_strLastCopySrcPath) {
    CXoError e = source->CancelCopyJob(sourcePath, targetParams, std::string());
    if (e.IsFailure()) {
      Log(1, "Failed to cancel any previous object copy jobs. sSrcObjectPath [%s]. sDestObjectPath [%s].",
          sourcePath.c_str(), m_strCopyDestPath.c_str());
      ConvertAndSetLastMMError(e);
      return -1;
    }
    m_strLastCopySrcPath = sourcePath;
  }
  uint64_t jobId = 0;
  CXoError e = source->CopyObject(sourcePath, m_ullCopySrcOffset, targetParams, m_strCopyDestPath, m_ullCopyDestOffset,
                                  m_ullCopySize, false, jobId);
  if (e.IsFailure()) {
    Log(1, "Failed to copy object [%s], from host [%s]. ullSrcStartOffset [%llu], ullCopySize [%llu]. Error [%s].",
        sourcePath.c_str(), sourceParams.m_Host.m_HostName.c_str(), static_cast<unsigned long long>(m_ullCopySrcOffset),
        static_cast<unsigned long long>(m_ullCopySize), e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }
  CXoError copyResult;
  uint32_t percentDone = 0;
  e = source->GetCopyStatus(std::string(), jobId, true, copyResult, percentDone);
  if (e.IsFailure()) {
    Log(1, "Cannot check status of object copy job [%llu]. sSrcObjectPath [%s]. Err [%s],",
        static_cast<unsigned long long>(jobId), sourcePath.c_str(), e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    StopCopyJob(*source, sourcePath, targetParams, jobId);
    return -1;
  }
  if (copyResult.IsFailure()) {
    Log(1, "Object copy job [%llu] failed. sSrcObjectPath [%s]. CopyErr [%s].", static_cast<unsigned long long>(jobId),
        sourcePath.c_str(), copyResult.AsString().c_str());
    ConvertAndSetLastMMError(copyResult);
    MarkVolumeFullOnErr(copyResult, kApplianceFullMMError);
    return -1;
  }
  ClearPendingCopy();
  e = m_pDataFile->Close();
  if (e.IsFailure()) {
    Log(1, "Cannot close the data file after copy. Err [%s].", e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }
  return 0;
}

// The copy is reported failed: a job left running would go on writing into the data object of a
// chunk that its host takes as failed (and may write again), so it is cancelled, or, when the
// cancel fails, waited for. Both calls of the appliance wait for the job themselves; when both
// fail, they are tried again after a pause, within a bound. The last error stays the status
// failure's.
void HPStoreOnce_FS::StopCopyJob(CHPStoreOnceFS& source, const std::string& sourcePath,
                                 const CFSInitParams& targetParams, uint64_t jobId) {
  const unsigned long long job = jobId;
  for (int round = 1;; ++round) {
    CXoError e = source.CancelCopyJob(sourcePath, targetParams, std::string());
    if (e.IsSuccess()) return;
    Log(1, "Failed to cancel object copy job [%llu]. sSrcObjectPath [%s]. Err [%s].", job, sourcePath.c_str(),
        e.AsString().c_str());
    CXoError copyResult;
    uint32_t percentDone = 0;
    e = source.GetCopyStatus(std::string(), jobId, true, copyResult, percentDone);
    if (e.IsSuccess()) return;  // the wait returned: the job has ended
    if (round == kCopyStopRounds) {
      Log(1, "Object copy job [%llu] may still write into [%s]: not stopped in [%d] attempts. Err [%s].", job,
          m_strCopyDestPath.c_str(), round, e.AsString().c_str());
      return;
    }
    Log(1, "Cannot wait for object copy job [%llu]. sSrcObjectPath [%s]. Err [%s].", job, sourcePath.c_str(),
        e.AsString().c_str());
    XOSLEEP(kCopyStopPauseMs);
  }
}
