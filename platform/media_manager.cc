#include "platform/media_manager.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace platform {

MediaManagerState& MediaManager() {
  static MediaManagerState* state = new MediaManagerState;
  return *state;
}

std::mutex& MediaManagerMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::vector<MMCall> MediaManagerState::CallsOf(const std::string& op) const {
  std::vector<MMCall> found;
  for (const MMCall& c : calls) {
    if (c.op == op) found.push_back(c);
  }
  return found;
}

std::vector<MMCall> MediaManagerState::CallsOf(const std::string& op, int id) const {
  std::vector<MMCall> found;
  for (const MMCall& c : calls) {
    if (c.op == op && c.id == id) found.push_back(c);
  }
  return found;
}

}  // namespace platform

namespace {

using platform::MediaManager;

// Records one call (under the caller's lock). True when a scripted result answers it instead of
// the normal one; the call then has no effect.
bool Record(const char* op, int id, std::vector<long long> args, long long& scripted) {
  platform::MediaManagerState& s = MediaManager();
  s.calls.push_back(platform::MMCall{op, id, std::move(args)});
  auto it = s.failures.find(op);
  if (it == s.failures.end() || it->second.times == 0) return false;
  scripted = it->second.result;
  if (it->second.times > 0 && --it->second.times == 0) s.failures.erase(it);
  return true;
}

using Guard = std::lock_guard<std::mutex>;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Reservation

int OZMMreserveMount::getNumCachedFileMarkOnVolume(long long& marker, int& kind) const {
  if (m_cachedFileMarkResult < 0) return m_cachedFileMarkResult;
  marker = m_cachedFileMark;
  kind = m_cachedFileMarkKind;
  return m_cachedFileMarkResult;
}

int OZMMreserveMount::getMediaInfoForDM(int& lowWaterMarkMB, int& maxFillMB) const {
  if (m_mediaInfoResult < 0) return m_mediaInfoResult;
  lowWaterMarkMB = m_lowWaterMarkMB;
  maxFillMB = m_maxFillMB;
  return m_mediaInfoResult;
}

// ---------------------------------------------------------------------------------------------
// Volume

OZMMvolInfo::OZMMvolInfo(int volId, MLMMessageInstance* mlm) : m_volId(volId), m_mlm(mlm) {}

int OZMMvolInfo::markFull(int reason, long long jobId) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("markFull", m_volId, {reason, jobId}, r)) return static_cast<int>(r);
  MediaManager().volumes[m_volId].fullReason = reason;
  return 0;
}

int OZMMvolInfo::checkFileMarker(long long jobId, int& status, char* message, int messageSize) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("checkFileMarker", m_volId, {jobId}, r)) return static_cast<int>(r);
  status = MediaManager().volumes[m_volId].checkFileMarkerStatus;
  if (message != nullptr && messageSize > 0) message[0] = '\0';
  return 0;
}

int OZMMvolInfo::incrNumPhysicalBytes(long long bytes, long long freeBytes) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("incrNumPhysicalBytes", m_volId, {bytes, freeBytes}, r)) return static_cast<int>(r);
  MediaManager().volumes[m_volId].physicalBytes += bytes;
  return 0;
}

int OZMMvolInfo::incrNumLogicalBytes(long long bytes) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("incrNumLogicalBytes", m_volId, {bytes}, r)) return static_cast<int>(r);
  MediaManager().volumes[m_volId].logicalBytes += bytes;
  return 0;
}

int OZMMvolInfo::setFileMarker(long long marker, int kind, long long& occupied) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("setFileMarker", m_volId, {marker, kind}, r)) return static_cast<int>(r);
  platform::MMVolume& v = MediaManager().volumes[m_volId];
  v.fileMarker = marker;
  occupied = v.occupiedBytes;
  return 0;
}

int OZMMvolInfo::resetFileMarker() {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("resetFileMarker", m_volId, {}, r)) return static_cast<int>(r);
  MediaManager().volumes[m_volId].fileMarker = -1;
  return 0;
}

int OZMMvolInfo::resetFileMarker(int kind) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("resetFileMarker", m_volId, {kind}, r)) return static_cast<int>(r);
  MediaManager().volumes[m_volId].fileMarker = -1;
  return 0;
}

int OZMMvolInfo::setWriteTime(long long time, int streamId) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("setWriteTime", m_volId, {time, streamId}, r)) return static_cast<int>(r);
  MediaManager().volumes[m_volId].writeTime = time;
  return 0;
}

int OZMMvolInfo::incrNumFiles(int n) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("incrNumFiles", m_volId, {n}, r)) return static_cast<int>(r);
  MediaManager().volumes[m_volId].numFiles += n;
  return 0;
}

long long OZMMvolInfo::getNumFiles() {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("getNumFiles", m_volId, {}, r)) return r;
  return MediaManager().volumes[m_volId].numFiles;
}

int OZMMvolInfo::setFreeBytesMB(long long mb) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("setFreeBytesMB", m_volId, {mb}, r)) return static_cast<int>(r);
  MediaManager().volumes[m_volId].freeMB = mb;
  return 0;
}

// The record then stands for the other volume.
int OZMMvolInfo::setVolumeId(int volId) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("setVolumeId", m_volId, {volId}, r)) return static_cast<int>(r);
  m_volId = volId;
  MediaManager().volumes[m_volId];
  return 0;
}

int OZMMvolInfo::setVolumeSize(const std::vector<OZMMVolSize>& sizes) {
  Guard g(platform::MediaManagerMutex());
  std::vector<long long> args;
  for (const OZMMVolSize& s : sizes) {
    args.push_back(s.volumeId);
    args.push_back(s.sizeMB);
  }
  long long r = 0;
  if (Record("setVolumeSize", m_volId, std::move(args), r)) return static_cast<int>(r);
  MediaManager().lastVolumeSizes = sizes;
  return 0;
}

int OZMMvolInfo::getMediaID() {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("getMediaID", m_volId, {}, r)) return static_cast<int>(r);
  return MediaManager().volumes[m_volId].mediaId;
}

int OZMMvolInfo::getMountPathID() {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("getMountPathID", m_volId, {}, r)) return static_cast<int>(r);
  return MediaManager().volumes[m_volId].mountPathId;
}

int OZMMvolInfo::setMediaWorm(bool worm) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("setMediaWorm", m_volId, {worm ? 1 : 0}, r)) return static_cast<int>(r);
  MediaManager().volumes[m_volId].worm = worm;
  return 0;
}

int OZMMvolInfo::setMediaWorm(int type) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("setMediaWorm", m_volId, {type}, r)) return static_cast<int>(r);
  platform::MMVolume& v = MediaManager().volumes[m_volId];
  v.worm = type != 0;
  v.wormType = type;
  return 0;
}

int OZMMvolInfo::incrSoftErrors(int n, int kind) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("incrSoftErrors", m_volId, {n, kind}, r)) return static_cast<int>(r);
  MediaManager().volumes[m_volId].softErrors += n;
  return 0;
}

int OZMMvolInfo::incrSoftErrors(int n) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("incrSoftErrors", m_volId, {n}, r)) return static_cast<int>(r);
  MediaManager().volumes[m_volId].softErrors += n;
  return 0;
}

int OZMMvolInfo::incrUploadDataForVolume(long long bytes) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("incrUploadDataForVolume", m_volId, {bytes}, r)) return static_cast<int>(r);
  MediaManager().volumes[m_volId].uploadedBytes += bytes;
  return 0;
}

int OZMMvolInfo::incrDownloadDataForVolume(long long bytes) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("incrDownloadDataForVolume", m_volId, {bytes}, r)) return static_cast<int>(r);
  MediaManager().volumes[m_volId].downloadedBytes += bytes;
  return 0;
}

int OZMMvolInfo::getCacheMPIdForVolume(int& mountPathId) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("getCacheMPIdForVolume", m_volId, {}, r)) return static_cast<int>(r);
  mountPathId = MediaManager().volumes[m_volId].cacheMountPathId;
  return 0;
}

int OZMMvolInfo::getCacheMPIdForVolume(unsigned int engineId, unsigned long volId,
                                       std::map<unsigned long, unsigned int>& cacheMPIds) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("getCacheMPIdForVolume", m_volId, {engineId, static_cast<long long>(volId)}, r)) return static_cast<int>(r);
  const auto& engines = MediaManager().hybridVolumes;
  auto it = engines.find(engineId);
  cacheMPIds = it == engines.end() ? std::map<unsigned long, unsigned int>() : it->second;
  return 0;
}

int MLMMessageInstance::Init(int kind, void* context) {
  (void)context;
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("MLMMessageInstance::Init", id, {kind}, r)) return static_cast<int>(r);
  return MediaManager().serviceReachable ? 0 : -1;
}

// ---------------------------------------------------------------------------------------------
// Drive

OZMMdriveInfo::OZMMdriveInfo(int driveId, MLMMessageInstance* mlm) : m_driveId(driveId), m_mlm(mlm) {}

int OZMMdriveInfo::updateDataTransferInfo(long long mb, int direction, long long time) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("updateDataTransferInfo", m_driveId, {mb, direction, time}, r)) return static_cast<int>(r);
  MediaManager().drives[m_driveId];
  return 0;
}

const char* OZMMdriveInfo::getLibAliasName() {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("getLibAliasName", m_driveId, {}, r)) return nullptr;
  m_lib = MediaManager().drives[m_driveId].libraryName;
  return m_lib.empty() ? nullptr : m_lib.c_str();
}

const char* OZMMdriveInfo::getDriveAliasName() {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("getDriveAliasName", m_driveId, {}, r)) return nullptr;
  m_drive = MediaManager().drives[m_driveId].driveName;
  return m_drive.empty() ? nullptr : m_drive.c_str();
}

int OZMMdriveInfo::setDriveNeedsCleaning() {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("setDriveNeedsCleaning", m_driveId, {}, r)) return static_cast<int>(r);
  MediaManager().drives[m_driveId].needsCleaning = true;
  return 0;
}

int OZMMdriveInfo::incrNumSoftErrs(int n) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("incrNumSoftErrs", m_driveId, {n}, r)) return static_cast<int>(r);
  MediaManager().drives[m_driveId].softErrors += n;
  return 0;
}

int OZMMdriveInfo::getMediaID() {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("drive.getMediaID", m_driveId, {}, r)) return static_cast<int>(r);
  return MediaManager().drives[m_driveId].mediaId;
}

// ---------------------------------------------------------------------------------------------
// Media and mount path

const char* OZMMmedInfo::getBarCode() {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("getBarCode", m_mediaId, {}, r)) return nullptr;
  auto it = MediaManager().barcodes.find(m_mediaId);
  if (it == MediaManager().barcodes.end()) return nullptr;
  m_barcode = it->second;
  return m_barcode.c_str();
}

int OZMMmountPath::setMountPathOfflineByVolume(int volId, bool offline, int reason) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("setMountPathOfflineByVolume", volId, {volId, offline ? 1 : 0, reason}, r)) return static_cast<int>(r);
  MediaManager().volumes[volId].offline = offline;
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Drive controller

// An access path too long for the record is cut, as the media manager's record would cut it.
int OZMMdcpInfo::getDcpInfo(int dcpId, MMDcpInfo2& info) {
  Guard g(platform::MediaManagerMutex());
  long long r = 0;
  if (Record("getDcpInfo", dcpId, {dcpId}, r)) return static_cast<int>(r);
  auto it = MediaManager().dcpAccessPaths.find(dcpId);
  if (it == MediaManager().dcpAccessPaths.end()) return 1;
  info.dcpId = dcpId;
  const size_t n = std::min(it->second.size(), sizeof(info.accessPath) - 1);
  std::memcpy(info.accessPath, it->second.data(), n);
  info.accessPath[n] = '\0';
  return 0;
}
