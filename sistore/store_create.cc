// Creating an archive file for a backup: a chunk folder with its metadata file (or the folder of a
// chunk the backup continues), or a media trailer or chunk map trailer in the volume folder. A
// chunk is refused, and the volume marked full, when the mount path is at its low-water mark.

#include <fcntl.h>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/config.h"

namespace {

const char kOp[] = "SingleInstancer_FS::CreateSpecific";

// Open flags of the metadata or trailer file.
constexpr int kCreateTruncate = O_WRONLY | O_CREAT | O_TRUNC | O_LARGEFILE;
constexpr int kContinue = O_WRONLY | O_LARGEFILE;

constexpr uint64_t kStrataformContainerSize = 536870912;  // 512 MiB
constexpr uint64_t kDefaultContainerSize = 67108864;      // 64 MiB
constexpr uint64_t kStrataformContainerItems = 8192;
constexpr uint64_t kWideMountPathContainerItems = 256;
constexpr uint64_t kDefaultContainerItems = 100;
constexpr int kWideMountPathAttribute = 0x80;

}  // namespace

int SingleInstancer_FS::CreateSpecific(const MediaFSArchiveFileId_t* id) {
  m_strArchiveFileName.clear();
  if (m_llFileNumber == -1) m_llFileNumber = m_llNumFiles++;
  m_MDIdxState = -1;
  m_TotalBytesWritten = 0;
  if (id == nullptr) {
    SetLastError(kMFSErrUnknownArchiveType, "Archive file of unknown type has been requested for creation");
    return -1;
  }

  const std::string converted = convertSlashes(m_szPath);
  SetPath(converted.c_str());
  const bool skarvo = CSkarvoFS::IsSkarvoPath(m_szPath);
  if (!InitFileInterfaceCache()) return -1;

  std::optional<CImpersonator> scope;
  if (!EnterImpersonation(scope, kOp)) return -1;
  try {
    if (m_iCloudMode != 0) m_bCloudCreateMode = id->bCreateMode;
    const bool chunk = id->uiDataType == CHUNK;
    std::string path = m_szPath;
    switch (id->uiDataType) {
      case MEDIA_HEADER:
        SetLastError(kMFSErrUnknownArchiveType, "Archive file of unknown type has been requested for creation");
        Log(-1, "Some has tried to create a MEDIA_HEADER on magnetic.. that is not supported after 4.2 ");
        return -1;
      case MEDIA_TRAILER:
        path = path_append(path, "MEDIA_TRAILER");
        break;
      case CHUNKMAP_TRAILER:
        path = path_append(path, GetChunkMapTrailerName(static_cast<unsigned long long>(id->llChunkId)));
        break;
      case CHUNK:
        break;
      default:
        SetLastError(kMFSErrUnknownArchiveType, "Archive file of unknown type has been requested for creation");
        Log(1, "%s %d Invalid Archive File data type has been specified", __FILE__, __LINE__);
        SetErrorString("Invalid archive file type specified");
        return -1;
    }

    const bool append = chunk && id->bChunkReuse;
    if (chunk) {
      if (!skarvo) {
        unsigned long long freeBytes = 0;
        if (getFreeSpaceFromMedia(freeBytes) >= 0 &&
            MarkFullAtLowWaterMark(freeBytes,
                                   "The free diskspace on the mount path [%s] is %lld less than low water mark of %lld  ")) {
          return kMFSNoRoomOnMedia;
        }
      }

      path = path_append(path, GetChunkDirName(static_cast<unsigned long long>(id->llChunkId)));
      if (skarvo && append) {
        Log(1, "Cannot append to chunk for skarvo paths.");
        return -1;
      }
      // Outside container mode a chunk's metadata file is opened empty: continuing a chunk there
      // would throw its objects away.
      if (append && !m_bOZSIDevice) {
        Log(1, "Cannot append to chunk [%s] outside container mode.", path.c_str());
        return -1;
      }
      if (!skarvo) {
        bool exists = false;
        CXoError e = m_pFSInterface != nullptr
                         ? m_pFSInterface->Exists(path, exists)
                         : FXErrorUtil::ErrorErrNo(FX_LOCATION, ENODEV, "The store has no file-system interface");
        if (e.IsFailure()) {
          Log(1, "Cannot check if path [%s] exists or not. Error [%d][%s]", path.c_str(), e.Code(), e.AsString().c_str());
          ConvertAndSetLastMMError(e);
          return -1;
        }
        if (!append && exists) {
          Log(1, "The path [%s] already exists.", path.c_str());
          return -1;
        }
        if (append && !exists) {
          Log(1, "The path [%s] does not exist.", path.c_str());
          return -1;
        }
      }
      const int fsType = m_pFSInterface != nullptr ? m_pFSInterface->GetType() : kFSTypeDisk;
      CXoError e = m_pFSInterface != nullptr
                       ? m_pFSInterface->CreateDirectory(path, fsType == 4 || fsType == 5 || fsType == 6)
                       : FXErrorUtil::ErrorErrNo(FX_LOCATION, ENODEV, "The store has no file-system interface");
      if (e.IsFailure()) {
        Log(1, "%s: Could not create chunk directory. CreateDirectory failed for [%s], error=%s", kOp, path.c_str(),
            e.AsString().c_str());
        RecordFailure(e, "Could not create chunk directory");
        return -1;
      }
      if (!append) m_bVolumeFolderChanged = true;
      Log(1, "SingleInstancer_FS Created [%s] Chunk Directory", path.c_str());
      m_strChunkDir = path;

      path = path_append(path_append(m_szPath, GetChunkDirName(static_cast<unsigned long long>(id->llChunkId))),
                         GetChunkMetadataName(static_cast<unsigned long long>(id->llChunkId)));
      m_strMetaDataFileName = path;
      m_strChunkMDIdxName = path + ".idx";
      m_strSfileIdxName = path_append(m_strChunkDir, "SFILE_CONTAINER") + ".idx";
    }

    int flags = kCreateTruncate;
    if (chunk && m_bOZSIDevice) {
      if (append) flags = kContinue;
      if (id->bCreateMode) flags |= kFSOpenCloudCreateMode;
    }
    CXoError e = m_pFdMetaDataFile != nullptr
                     ? m_pFdMetaDataFile->Open(path, flags, 0777, 0)
                     : FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrNoFileInterface, "No file interface for [%s]",
                                            path.c_str());
    if (e.IsFailure()) {
      Log(1, "%s: Failed to create the metadata file [%s], error=%s", kOp, path.c_str(), e.AsString().c_str());
      RecordFailure(e, "Failed to create the metadata file");
      return -1;
    }
    // A file opened empty starts at offset 0, whatever the archive file before it left.
    if (!append) m_MetaDataFileOffset = 0;
    if (chunk) {
      if (!append) m_bChunkFolderChanged = true;
    } else {
      m_bVolumeFolderChanged = true;
    }

    if (chunk && m_bOZSIDevice) {
      if (m_bAllowIncrChunk) InitLowFragmentationParams(false);
      const bool strataform = IsStrataformPath(m_strMetaDataFileName);
      OZPlatformInfo info;
      if (m_MaxSfileContainerSize == 0) {
        m_MaxSfileContainerSize = strataform ? kStrataformContainerSize : kDefaultContainerSize;
        info.getNumber("ZovadAdeve", "MaxSFileContainerSize", &m_MaxSfileContainerSize);
        Log(1, "%s: Max SFile container size set to [%ld]", kOp, static_cast<long>(m_MaxSfileContainerSize));
      }
      if (m_MaxSfileContainerItems == 0) {
        const int attributes = m_pReserveMount != nullptr ? m_pReserveMount->getMountPathAttributes() : 0;
        m_MaxSfileContainerItems = strataform                                   ? kStrataformContainerItems
                                   : (attributes & kWideMountPathAttribute) != 0 ? kWideMountPathContainerItems
                                                                                 : kDefaultContainerItems;
        info.getNumber("ZovadAdeve", "MaxSFileContainerItems", &m_MaxSfileContainerItems);
        Log(1, "%s: Max SFile container items set to [%ld]", kOp, static_cast<long>(m_MaxSfileContainerItems));
      }
      m_SfileNumber = 0;
      m_MetaDataFileOffset = 0;
      if (append) {
        CXoError ae = InitializeExistingChunkForWriting();
        if (ae.IsFailure()) {
          Log(1, "%s: Failed to get existing data file number. Error [%s]", kOp, ae.AsString().c_str());
          RecordFailure(ae, "Could not get last sfile container");
          return -1;
        }
      }
    }

    Log(2, "SingleInstancer_FS Created [%s] file. Append mode [%s]", path.c_str(), append ? "Yes" : "No");
    m_strArchiveFileName = path;
    return 0;
  } catch (const OzException& ex) {
    ReportScopeException(kOp, ex);
    return -1;
  }
}
