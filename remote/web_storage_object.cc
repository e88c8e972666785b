// WebStorageMediaFS: construction, the remote-file library's log callback, the slots that cloud
// volumes answer plainly, and the checks and reports every road shares.

#include "MediaFileSystem/WebStorageMediaFS.h"

namespace {

// The remote-file library's lines go to the cloud storage log of the process.
void LogEventMessageForWebStorageMedia(int level, const long long& jobId, const std::string& message) {
  EvDebug log;
  log.debugLvl(level, jobId, "\t[CLOUD_STORAGE]\t%s", message.c_str());
}

const char kNullOrInvalid[] = "%s: Web Storage Media File Object is NULL or Invalid, DeviceType = [%d].";

}  // namespace

WebStorageMediaFS::WebStorageMediaFS(_JobContext* ctx, int deviceType, const std::string& factoryString1,
                                     const std::string& factoryString2, const std::string& path,
                                     ArchiveManagerDS* archiveManager)
    : media_fs(ctx) {
  std::string root, rest;
  if (OZBaseRemoteFile::GetRootFolderForRemoteHost(path, root, rest) == 0 || root.empty()) {
    Log(1, "Failed to parse Root Folder name from the Path %s", path.c_str());
    return;
  }
  m_strRootFolder = root;
  m_iDeviceType = deviceType;
  m_strFactoryString1 = factoryString1;
  m_strFactoryString2 = factoryString2;
  m_pArchiveManager = archiveManager;
  OZBaseRemoteFile::SetLogMessageCallbackFunc(&LogEventMessageForWebStorageMedia);
  m_pRemoteFile =
      OZBaseRemoteFile::GetRemoteFileInstance(deviceType, factoryString1, factoryString2, root, JobId(), -1);
  if (m_pRemoteFile == nullptr) {
    Log(1, "Failed to allocate memory for Web Storage Media File Object. DeviceType = [%d], Root Folder [%s].",
        deviceType, root.c_str());
    MediaFSSetLastError(kMMErrNoFileInterface);
  }
  Log(1, "Created Web Storage Media File System Object. DeviceType = [%d], Root Folder [%s].", deviceType,
      root.c_str());
  m_llLowWaterMarkMB = 0;
}

WebStorageMediaFS::~WebStorageMediaFS() {
  delete m_pRemoteFile;
  m_pRemoteFile = nullptr;
  Log(1, "Deleted Web Storage Media File System Object.");
}

long WebStorageMediaFS::GetMarkType() const { return 0; }

int WebStorageMediaFS::InitCatalogOperationOnMedia(int) { return 0; }

void WebStorageMediaFS::diskMarkFull(unsigned int) {}

bool WebStorageMediaFS::RequireRemote(const char* function, const char* what, bool report, const char* format) {
  if (m_pRemoteFile != nullptr && m_pRemoteFile->m_bValid) return true;
  Log(1, format != nullptr ? format : kNullOrInvalid, function, m_iDeviceType);
  if (m_pRemoteFile != nullptr) {
    MediaFSSetLastError(m_pRemoteFile->GetLastErrorCode());
    if (report) DisplayError(static_cast<unsigned long>(MediaFSGetLastError()), kCloudKind, what);
  }
  return false;
}

void WebStorageMediaFS::ReportRemoteFailure(const char* text) {
  MediaFSSetLastError(m_pRemoteFile->GetLastErrorCode());
  DisplayError(static_cast<unsigned long>(MediaFSGetLastError()), kCloudKind, text);
}

bool WebStorageMediaFS::ObjectIdStore() const { return m_pRemoteFile != nullptr && m_pRemoteFile->IsObjectIDBase(); }
