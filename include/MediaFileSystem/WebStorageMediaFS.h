// WebStorageMediaFS: archive files as objects of a cloud object store.
//
// The host constructs one object per volume and job with the device type and the two strings of
// the remote-file library (for an S3-compatible endpoint: the access key id and the secret key),
// the path that names the store's root folder, and the management server's archive manager
// client (may be null). Root folders are absolute folders (the folder-backed store) or
// "s3://HOST[:PORT]/BUCKET[/PREFIX]" (an S3-compatible endpoint); the path given to
// media_fs::Init names the volume's folder inside the root (the root's text followed by the
// volume folder).
//
// Each archive file is one object named after it: a chunk "CHUNK_<id>", its chunk map trailer
// "CHUNKMAP_TRAILER_<id>", the media trailer "MEDIA_TRAILER"; media and archive headers cannot be
// created (30047). A restore opens every archive file as the chunk object of its chunk id. An
// object written appears whole when it is closed. On stores that assign their own object ids
// (OZBaseRemoteFile::IsObjectIDBase) the id of each chunk is recorded with the management server
// when the chunk is closed and looked up when it is opened; chunk map trailers are not stored
// there at all, though their writes report success.
//
// Space: a chunk is refused with 61695 (and the volume marked full, reason 42001) when the
// store's free bytes are at or below the low-water mark of the reservation; GetRemainingSpace
// reports no room once the volume's data reaches the reservation's maximum. A store that cannot
// tell its free space counts as having 2^40 bytes free.
//
// Failures are logged, set the last error (the remote-file library's media manager code, or
// 124, 977, 30036, 30047) and reach the job through media_fs::DisplayError as cloud failures.
// An object is driven by one thread at a time; the library's log callback is process-wide.
#pragma once

#include <cstdint>
#include <string>

#include "MediaFileSystem/zovadAdeveFS.h"
#include "platform/archive_manager.h"
#include "platform/remote_file.h"

class WebStorageMediaFS : public media_fs {
 public:
  WebStorageMediaFS(_JobContext* ctx, int deviceType, const std::string& factoryString1,
                    const std::string& factoryString2, const std::string& path, ArchiveManagerDS* archiveManager);
  ~WebStorageMediaFS() override;

  // ---- Slots of media_fs, in slot order -----------------------------------------------------
  // 0, or -1: no remote-file object (44110), the store did not answer or the object is invalid
  // (the remote code).
  int InitSpecific() override;
  // 0, -1, or 61695 when a chunk is refused for want of space.
  int CreateSpecific(const MediaFSArchiveFileId_t* id) override;
  // 0 or -1.
  int OpenSpecific(const MediaFSArchiveFileId_t* id) override;
  // 0 or -1 (also when a chunk's object id could not be recorded: 30036). The mark type is not
  // used.
  int CloseSpecific(long markType) override;
  // `len`, or -1 (977 after the remote failure was shown to the job).
  int WriteToMedia(const char* buf, long len, int* eom) override;
  // The bytes read (fewer, or 0, at the object's end), or -1.
  int ReadFromMedia(char* buf, long len) override;
  long GetMarkType() const override;
  int UpdateNumPhysicalBytes(long long writeTime) override;
  // The store's free bytes (2^40 when it cannot tell); always 0.
  int getFreeSpaceFromMedia(unsigned long long& bytes) override;
  long long GetRemainingSpace() override;
  // No catalog operation on cloud volumes: 0.
  int InitCatalogOperationOnMedia(int n) override;
  // The remote-file object's non-zero seek result, or 0 on any failure. Leaves chunk size -
  // offset + 1 bytes to read.
  int SetSeekOffset(long long offset) override;

  // Does nothing.
  void diskMarkFull(unsigned int reason);

  // The free bytes of a store that cannot tell its own.
  static constexpr unsigned long long kUnknownFreeBytes = 1ULL << 40;

 protected:
  // The media kind of DisplayError for cloud storage.
  static constexpr int kCloudKind = 2;

  // Whether there is a remote-file object and it is valid. When not: logs `format` (a "%s" for
  // `function` and a "%d" for the device type; null: the usual line), sets the remote's code as
  // the last error when the object exists and, with `report`, shows it to the job with `what`.
  bool RequireRemote(const char* function, const char* what, bool report = true, const char* format = nullptr);
  // The remote failure as the last error, shown to the job with `text`; the error text holds the
  // formatted message.
  void ReportRemoteFailure(const char* text);
  bool ObjectIdStore() const;
  // The object id of the chunk from the management server: 0, or -1 (logged).
  int LookUpObjectId(const MediaFSArchiveFileId_t* id);
  // Records the object id of the chunk just closed: 0, or -1 (logged; 30036 when the server
  // refused it or it does not fit its record).
  int RecordObjectId();
  // The volume's upload or download total after a close.
  void AccountTransfer();
  // Refuses a chunk when the free bytes are at or below the low-water mark: true when refused.
  bool BelowLowWaterMark();

  OZBaseRemoteFile* m_pRemoteFile = nullptr;
  int32_t m_iDeviceType = 0;
  std::string m_strFactoryString1;
  std::string m_strFactoryString2;
  std::string m_strRootFolder;
  ArchiveManagerDS* m_pArchiveManager = nullptr;
  std::string m_strObjectId;
  unsigned long long m_ullChunkId = 0;
  long long m_llLowWaterMarkMB = 0;
};
