#include "platform/file_system.h"

#include "DataServerAPI/HPStoreOnceInterfaceUnsupportedPlatform.h"
#include "platform/appliance_store.h"
#include "platform/cloud_store.h"
#include "platform/posix_file.h"
#include "platform/threads.h"

// Created at load and never destroyed: probes may run while the process shuts down.
OzCriticalSectionH* CFSInitParams::m_ReadWriteLock = new OzCriticalSectionH;

namespace {

CFSInitParams PlainCloud(const CFSInitParams& params) {
  CFSInitParams cloud = params;
  cloud.m_Type = kFSTypeCloud;
  return cloud;
}

}  // namespace

// Types 1 (cloud) and 4 (cloud with a disk cache) work on the folder-backed object store; 5 and 6
// work on the local path as plain disk storage until their own simulations exist.
CFileInterface* CFileInterface::GetFileInterfaceInstance(const CFSInitParams& params) {
  CFileInterface* file = nullptr;
  switch (params.m_Type) {
    case kFSTypeCloud:
      file = new CCloudFile;
      break;
    case kFSTypeCloudCached:
      return new CHybridFile(params, GetFileInterfaceInstance(PlainCloud(params)));
    case kFSTypeDisk:
    case 5:
    case 6:
      file = new CPosixFile;
      break;
    case kFSTypeDataServerIP:
      file = new CDataServerFile;
      break;
    case kFSTypeStoreOnce:
      file = platform::Appliance().Enabled() ? new CApplianceFile : new CHPStoreOnceFile;
      break;
    default:
      return nullptr;
  }
  file->m_Params = params;
  return file;
}

CXoError CFileInterface::ReadAheadAt(uint64_t offset, void* buffer, unsigned int length, unsigned int* done, void* ahead,
                                     unsigned int aheadLength, unsigned int* aheadDone) {
  (void)offset, (void)buffer, (void)length, (void)ahead, (void)aheadLength;
  if (done != nullptr) *done = 0;
  if (aheadDone != nullptr) *aheadDone = 0;
  return FXErrorUtil::ErrorErrNo(FX_LOCATION, EOPNOTSUPP, "Cannot read at an offset of [%s]", GetFileName().c_str());
}

CFSInterface* CFSInterface::GetFSInterfaceInstance(const CFSInitParams& params) {
  switch (params.m_Type) {
    case kFSTypeCloud:
      return new CCloudFS(params);
    case kFSTypeCloudCached:
      return new CHybridFS(params, new CCloudFS(PlainCloud(params)));
    case kFSTypeDisk:
    case kFSTypeDataServerIP:
    case 5:
    case 6:
      return new CPosixFS(params);
    case kFSTypeStoreOnce:
      if (platform::Appliance().Enabled()) return new CApplianceFS(params);
      return new CHPStoreOnceFS(params);
    default:
      return nullptr;
  }
}

CXoError CFSInterface::GetDirContents(std::string path, std::vector<std::string>& files,
                                      std::vector<std::string>& folders) {
  std::vector<FSDirEntry> entries;
  CXoError e = GetDirContents(path, entries);
  if (e.IsFailure()) return e;
  std::vector<std::string> fileNames, folderNames;
  for (FSDirEntry& entry : entries) (entry.isFolder ? folderNames : fileNames).push_back(std::move(entry.name));
  files = std::move(fileNames);
  folders = std::move(folderNames);
  return CXoError::Success();
}

// Every storage here lists a folder in one request, so the batch size has nothing to change.
CXoError CFSInterface::GetDirContents(std::string path, std::vector<std::string>& files,
                                      std::vector<std::string>& folders, int batch) {
  (void)batch;
  return GetDirContents(path, files, folders);
}

CXoError CFSInterface::WalkDirectory(std::string path, void* context, int depth, bool filesOnly,
                                     FSWalkCallback callback, int batch) {
  (void)batch;
  return WalkDirectory(path, context, depth, filesOnly, callback);
}
