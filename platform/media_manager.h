// The media manager client: the reservation of a volume and drive, and the volume, drive, media
// and mount path records. One in-process media manager holds the records; tests set them up,
// read back every call and make calls fail (platform::MediaManager). Volumes and drives come into
// being on first use. Every call on a record is recorded (platform::MMCall) with its numeric
// arguments in order, getters included; the drive's getMediaID is recorded as "drive.getMediaID"
// so it is told apart from the volume's.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// The host's message instance; the records carry it.
struct MLMMessageInstance {
  int id = 0;
  // Connects to the media manager service (`kind` 2: the one on the management server). 0 when
  // it could be reached (platform::MediaManager().serviceReachable).
  int Init(int kind, void* context);
};

// The reservation of a volume and a drive, filled by the host (in tests: by the test).
class OZMMreserveMount {
 public:
  // 0 or -1: none.
  int getBlockSizeKB() const { return m_blockSizeKB; }
  long long getNumFilesOnVolume() const { return m_numFiles; }
  // -1 on failure; kind 1 write, 2 read.
  int getNumCachedFileMarkOnVolume(long long& marker, int& kind) const;
  long long getFreeBytesKB() const { return m_freeKB; }
  // Low-water mark and maximum fill of the mount path, MB.
  int getMediaInfoForDM(int& lowWaterMarkMB, int& maxFillMB) const;
  int getMountPathId() const { return m_mountPathId; }
  int getMountPathAttributes() const { return m_mountPathAttributes; }
  const std::string& getUserName() const { return m_userName; }
  const std::string& getPassword() const { return m_password; }
  int getLibraryAttributes() const { return m_libraryAttributes; }
  bool isHardwareEncryptedTrailer() const { return m_hwEncryptedTrailers; }
  // Non-zero when the volume's chunk map trailers were written with hardware encryption.
  int doesVolumeHaveHardwareEncryptedTrailers() const { return m_hwEncryptedTrailers ? 1 : 0; }

  // What the reservation reports; public so hosts and tests fill it.
  int m_blockSizeKB = 64;
  long long m_numFiles = 0;
  int m_cachedFileMarkResult = 0;
  long long m_cachedFileMark = -1;
  int m_cachedFileMarkKind = 0;
  long long m_freeKB = 0;
  int m_mediaInfoResult = 0;
  int m_lowWaterMarkMB = 0;
  int m_maxFillMB = 0;
  int m_mountPathId = 0;
  int m_mountPathAttributes = 0;
  std::string m_userName;
  std::string m_password;
  int m_libraryAttributes = 0;
  bool m_hwEncryptedTrailers = false;
};

// The management server's SILO information of a volume (144 bytes). The GUID text is an array
// that its receiver frees with delete[].
struct MMGetSiloVolInfoResp {
  uint8_t Reserved1[32] = {};
  uint32_t VolumeId = 0;         // 32
  uint32_t MountPathId = 0;      // 36
  uint32_t InstallationId = 0;   // 40
  uint32_t SiloNumber = 0;       // 44
  uint32_t CopyId = 0;           // 48
  uint8_t Reserved2[12] = {};
  uint32_t SiloEnabled = 0;      // 64: 0 when the copy has no SILO
  uint32_t VolumeStatus = 0;     // 68: 2 backed up to SILO, 3 also moved there
  uint32_t NewMountPathId = 0;   // 72
  uint8_t Reserved3[36] = {};
  char* InstallationGuid = nullptr;  // 112
  uint8_t Reserved4[24] = {};
};
static_assert(sizeof(MMGetSiloVolInfoResp) == 144, "the SILO answer is 144 bytes");

struct OZMMVolSize {
  int volumeId = 0;
  long long sizeMB = 0;
};

class OZMMvolInfo {
 public:
  OZMMvolInfo(int volId, MLMMessageInstance* mlm);
  virtual ~OZMMvolInfo() = default;

  int markFull(int reason, long long jobId);
  // -1 on failure; status 305: the chunk table's file marker is ahead.
  int checkFileMarker(long long jobId, int& status, char* message, int messageSize);
  int incrNumPhysicalBytes(long long bytes, long long freeBytes);
  int incrNumLogicalBytes(long long bytes);
  // Records the file marker of `kind`; `occupied` gets the bytes the volume holds.
  int setFileMarker(long long marker, int kind, long long& occupied);
  int resetFileMarker();
  // The tape media's form: `kind` is recorded (the tape media pass 0).
  int resetFileMarker(int kind);
  int setWriteTime(long long time, int streamId);
  // 0: recorded.
  int incrNumFiles(int n);
  long long getNumFiles();
  int setFreeBytesMB(long long mb);
  int setVolumeId(int volId);
  // 0: recorded.
  int setVolumeSize(const std::vector<OZMMVolSize>& sizes);
  int getMediaID();
  int getMountPathID();
  int setMediaWorm(bool worm);
  // Records WORM media of the drive's WORM type (non-zero).
  int setMediaWorm(int type);
  int incrSoftErrors(int n);
  // The tape media's form: `kind` is recorded (the tape media pass 5).
  int incrSoftErrors(int n, int kind);
  int incrUploadDataForVolume(long long bytes);
  int incrDownloadDataForVolume(long long bytes);
  int getCacheMPIdForVolume(int& mountPathId);
  // The cache mount path of every hybrid volume of the engine, by volume id (the volume asked for
  // among them, or not). 0 on success.
  int getCacheMPIdForVolume(unsigned int engineId, unsigned long volId, std::map<unsigned long, unsigned int>& cacheMPIds);
  int volumeId() const { return m_volId; }

  MLMMessageInstance* messageInstance() const { return m_mlm; }

 private:
  int m_volId;
  MLMMessageInstance* m_mlm;
};

class OZMMdriveInfo {
 public:
  OZMMdriveInfo(int driveId, MLMMessageInstance* mlm);
  virtual ~OZMMdriveInfo() = default;

  // Direction 0 write, 1 read.
  int updateDataTransferInfo(long long mb, int direction, long long time);
  // Null when none.
  const char* getLibAliasName();
  const char* getDriveAliasName();
  int setDriveNeedsCleaning();
  int incrNumSoftErrs(int n);
  int getMediaID();
  int driveId() const { return m_driveId; }

  MLMMessageInstance* messageInstance() const { return m_mlm; }

 private:
  int m_driveId;
  MLMMessageInstance* m_mlm;
  std::string m_lib;
  std::string m_drive;
};

class OZMMmedInfo {
 public:
  explicit OZMMmedInfo(MLMMessageInstance* mlm) : m_mlm(mlm) {}
  void setMediaId(int id) { m_mediaId = id; }
  // Null when none.
  const char* getBarCode();
  MLMMessageInstance* messageInstance() const { return m_mlm; }

 private:
  MLMMessageInstance* m_mlm;
  int m_mediaId = 0;
  std::string m_barcode;
};

class OZMMmountPath {
 public:
  explicit OZMMmountPath(MLMMessageInstance* mlm) : m_mlm(mlm) {}
  // -1 on failure.
  int setMountPathOfflineByVolume(int volId, bool offline, int reason);
  MLMMessageInstance* messageInstance() const { return m_mlm; }

 private:
  MLMMessageInstance* m_mlm;
};

// A drive controller's record as the media manager gives it; callers zero-fill it.
struct MMDcpInfo2 {
  int32_t dcpId;
  char accessPath[1024];  // the device path through which the controller reaches the drive
};

class OZMMdcpInfo {
 public:
  explicit OZMMdcpInfo(MLMMessageInstance* mlm) : m_mlm(mlm) {}
  // 0 with the record of drive controller `dcpId`; nonzero when the media manager has none.
  int getDcpInfo(int dcpId, MMDcpInfo2& info);
  MLMMessageInstance* messageInstance() const { return m_mlm; }

 private:
  MLMMessageInstance* m_mlm;
};

namespace platform {

// One recorded call: the record's kind and id, the operation and its numeric arguments.
struct MMCall {
  std::string op;        // "markFull", "incrNumFiles", ...
  int id = 0;            // volume or drive id
  std::vector<long long> args;
};

struct MMVolume {
  long long numFiles = 0;
  long long physicalBytes = 0;
  long long logicalBytes = 0;
  long long fileMarker = -1;
  long long writeTime = 0;
  long long freeMB = 0;
  long long occupiedBytes = 0;  // what setFileMarker reports
  int mediaId = 0;
  int mountPathId = 0;
  int cacheMountPathId = 0;
  int fullReason = 0;           // 0: not full
  bool worm = false;
  int wormType = 0;
  bool offline = false;
  int checkFileMarkerStatus = 0;  // what checkFileMarker reports
  long long softErrors = 0;
  long long uploadedBytes = 0;
  long long downloadedBytes = 0;
};

struct MMDrive {
  std::string libraryName;  // empty: none
  std::string driveName;    // empty: none
  bool needsCleaning = false;
  int mediaId = 0;
  long long softErrors = 0;
};

struct MediaManagerState {
  std::map<int, MMVolume> volumes;
  std::map<int, MMDrive> drives;
  std::map<int, std::string> barcodes;  // by media id; absent: none
  std::map<int, std::string> dcpAccessPaths;  // drive controller access paths by id; absent: none
  std::vector<MMCall> calls;
  // A result to return instead of the normal one, per operation name, for the next n calls
  // (-1: every call). A scripted call is recorded but has no effect; text getters return null.
  struct Scripted {
    int result = -1;
    int times = 1;
  };
  std::map<std::string, Scripted> failures;
  std::vector<OZMMVolSize> lastVolumeSizes;
  bool serviceReachable = true;  // what MLMMessageInstance::Init finds
  // The hybrid volumes of each dedup engine: volume id to cache mount path id.
  std::map<unsigned int, std::map<unsigned long, unsigned int>> hybridVolumes;

  void Fail(const std::string& op, int result = -1, int times = 1) { failures[op] = {result, times}; }
  // Calls of `op`, optionally only those of one record id.
  std::vector<MMCall> CallsOf(const std::string& op) const;
  std::vector<MMCall> CallsOf(const std::string& op, int id) const;
  size_t Count(const std::string& op) const { return CallsOf(op).size(); }
};

MediaManagerState& MediaManager();
std::mutex& MediaManagerMutex();  // held by the records while they record

}  // namespace platform
