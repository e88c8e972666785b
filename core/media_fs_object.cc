// Construction, destruction, the per-object log, the frame's default slots and the setters.

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "MediaFileSystem/zovadAdeveFS.h"
#include "platform/string_format.h"

media_fs::media_fs(_JobContext* ctx) : m_pJobContext(ctx) {
  m_szTrailer[0] = '\0';
  m_szHeader[0] = '\0';
  m_szErrorText[0] = '\0';
  m_szPath[0] = '\0';
  m_pMountPathCacheLock = new OzCriticalSectionH;
  m_pLog = static_cast<OZLOG_HANDLE*>(std::malloc(sizeof(OZLOG_HANDLE)));
  if (m_pLog != nullptr) {
    InitOZlog(m_pLog, "MEDIAFS    ", "V_MEDIAFS", getpid());
    OZlogSetJobContext(m_pLog, m_pJobContext);
  }
  Log(2, "MediaFS Constructor Invoked");
}

media_fs::~media_fs() {
  media_fs::closeDeviceHandle();
  std::free(m_pLog);
  m_pLog = nullptr;
  std::free(m_pWriteBuf);
  m_pWriteBuf = nullptr;
  std::free(m_pReadBuf);
  m_pReadBuf = nullptr;
  delete m_pVolInfo;
  m_pVolInfo = nullptr;
  delete m_pDriveInfo;
  m_pDriveInfo = nullptr;
  delete m_pJobClient;
  m_pJobClient = nullptr;
  m_MountPathCache.clear();
  delete m_pMountPathCacheLock;
  m_pMountPathCacheLock = nullptr;
}

// ---- Log and error text ----------------------------------------------------------------------

std::string media_fs::FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = StringFormatV(format, args);
  va_end(args);
  return text;
}

void media_fs::Log(int level, const char* format, ...) {
  if (m_pLog == nullptr) return;
  va_list args;
  va_start(args, format);
  const std::string text = StringFormatV(format, args);
  va_end(args);
  OZlog(m_pLog, level, "%s", text.c_str());
}

void media_fs::FailText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(m_szErrorText, sizeof(m_szErrorText), format, args);
  va_end(args);
  Log(1, "%s", m_szErrorText);
}

void media_fs::SetLastError(long long code, const char* message) {
  MediaFSSetLastError(code);
  m_strLastErrorMsg = message;
}

long long media_fs::RemainingWithinMaximum() {
  if (m_llMaxSpaceToFill > 0 && m_llMaxSpaceToFill <= m_llSpaceOccupied + m_llPhysicalBytes) {
    Log(1, "Current space on disk occupied by tavrix %lld , maximum disk space allocated for tavrix is %lld ",
        m_llSpaceOccupied, m_llMaxSpaceToFill);
    Log(1,
        "The current disk space occupied by tavrix is more than the allocated.. so will be marking the disk "
        "full ");
    m_llKBRemaining = 0;
    return 0;
  }
  if (m_llKBRemaining > 0) return m_llKBRemaining * 1024 - m_llPhysicalBytes;
  return 0;
}

long long media_fs::JobId() const { return m_pJobContext != nullptr ? m_pJobContext->jobId : 0; }

// ---- Default slots ---------------------------------------------------------------------------

bool media_fs::CheckQuitFlag() { return m_bQuit; }

int media_fs::WriteIntercept(const char*, unsigned long, DmDataType) { return 0; }

int media_fs::WriteInterceptPadding(int) { return 0; }

bool media_fs::shouldFlushBuffer() { return true; }

void media_fs::closeDeviceHandle() {
  if (m_fd > 0) {
    Log(2, "Closing file  handle ");
    ::close(m_fd);
    m_fd = -1;
  }
}

void media_fs::setMaxChunkSize(long long) {}

bool media_fs::isNAS() { return false; }

bool media_fs::isInitialized() { return m_pVolInfo != nullptr; }

int media_fs::getBlockSize() {
  if (m_pVolInfo == nullptr || m_pReserveMount == nullptr) return -1;
  return m_pReserveMount->getBlockSizeKB();
}

int media_fs::WriteRetrySupported() {
  Log(1, "Write retry not supported for the current media type ");
  return 0;
}

int media_fs::WriteFileMark() { return 0; }

int media_fs::InitRecycled() { return 0; }

int media_fs::ReInitializeMedia() { return -1; }

int media_fs::RepositionMediaForWrite(bool& again) {
  again = false;
  Log(1, "Write Retry is being performed for a media type that does not support it ");
  return -1;
}

int media_fs::SetSeekOffset(long long) { return 0; }
int media_fs::WriteToDataFile(const char*, long, int*) { return 0; }
int media_fs::WriteToMetaData(const char*, long, int*) { return 0; }
int media_fs::StartDataFile(unsigned long long, unsigned long long, unsigned int) { return 0; }
int media_fs::EndDataFile() { return 0; }
int media_fs::getSingleInstanceID(char*, int) { return 0; }
int media_fs::OpenDataFile(char*) { return 0; }
int media_fs::ReadFromDataFile(char*, long) { return 0; }
int media_fs::ReadFromMetaData(char*, long) { return 0; }
int media_fs::GetMetaDataSeekOffset(long long, long long, long long&) { return 0; }
int media_fs::GetTavrixVersionFromChunkMapTrailer(long long, std::string&) { return 0; }
void media_fs::resetDataFileNumber() {}
int media_fs::validateChunkSize() { return 1; }
bool media_fs::isHardWareEncryptionSupported() { return false; }
int media_fs::enableHardwareEncryption(unsigned int, unsigned char*) { return 0; }
int media_fs::disableHardwareEncryption() { return 0; }

int media_fs::CheckAndRecallVolumeFromTape(std::string, unsigned long long, unsigned int, int,
                                           unsigned int, unsigned int&, unsigned int&, void*, bool) {
  return 1;
}

int media_fs::ReleaseSiloVolResourceLock(unsigned int, bool, bool) { return 1; }
int media_fs::LocateChunk(long long) { return 1; }
void media_fs::SetQuitFlag() { m_bQuit = true; }

// ---- Setters ---------------------------------------------------------------------------------

const char* media_fs::SetPath(const char* path) {
  std::snprintf(m_szPath, sizeof(m_szPath), "%s", path != nullptr ? path : "");
  return m_szPath;
}

void media_fs::SetErrorString(const char* text) {
  std::snprintf(m_szErrorText, sizeof(m_szErrorText), "%s", text != nullptr ? text : "");
}

void media_fs::SetChunkAsReadOnly(unsigned long days) {
  m_uiRetentionDays = static_cast<uint32_t>(days);
  m_bChunksReadOnly = true;
  Log(1, "All the chunks will be created as read only and the Retention days will be set to %u ",
      m_uiRetentionDays);
}

void media_fs::SetChunkRetentionDays(unsigned long days) {
  m_uiRetentionDays = static_cast<uint32_t>(days);
  Log(1, "All the chunks retention day will be set to %u ", m_uiRetentionDays);
}
