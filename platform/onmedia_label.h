// The on-media label library of tape volumes and the key buffer of tape hardware encryption.
//
// The first file of a labelled tape is the on-media label: one block whose first kLabelBytes
// bytes hold a terminated text of "name value" lines, the first "OZ_ON_MEDIA_LABEL 1" and one of
// them "uniqueMediaIdString" with the tape's media id. OZOnMediaLabelLib::VerifyOML compares that
// id (its first 300 characters) with the one of the label parameters a job was given. The bytes
// after the text are the label library's own and are not read. Tests write labels with
// FormatTapeLabel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"

class OZScsiTapeDrive;

// A byte buffer whose copies share the bytes until one of them detaches.
class OzcBucket {
 public:
  OzcBucket() = default;
  OzcBucket(const void* data, size_t length);

  // Gives this object a copy of the bytes of its own (nothing changes for an unshared one).
  void detach();
  size_t length() const { return m_bytes ? m_bytes->size() : 0; }
  bool empty() const { return length() == 0; }
  // Null when empty.
  const unsigned char* data() const { return empty() ? nullptr : m_bytes->data(); }
  // The bytes for writing: detaches first, so no other copy sees the change. Null when empty.
  unsigned char* bytes();
  // Whether another copy holds the same bytes.
  bool shared() const { return m_bytes && m_bytes.use_count() > 1; }

 private:
  std::shared_ptr<std::vector<unsigned char>> m_bytes;
};

// The on-media label parameters of a job: what the tape in the drive must be.
class OZMAOMLParams {
 public:
  static constexpr size_t kMediaIdChars = 300;

  // Bits of m_uiFlags.
  static constexpr uint32_t kFlagLibraryFlag10Off = 1u << 0;   // clear: drive library flag 0x10 on
  static constexpr uint32_t kFlagCheckSerialNumber = 1u << 17;
  static constexpr uint32_t kFlagLibraryFlag100Off = 1u << 19; // clear: drive library flag 0x100 on
  static constexpr uint32_t kFlagScsi3Reservation = 1u << 24;
  static constexpr uint32_t kFlagCleanOnCrc = 1u << 25;

  uint32_t m_uiFlags = 0;
  std::string m_strSerialNumber;  // the drive's expected serial number
  // The three reservation values, in record order (A, B, C).
  int32_t m_iReservationA = 0;
  int32_t m_iReservationB = 0;
  int32_t m_iReservationC = 0;
  char m_szUniqueMediaId[kMediaIdChars + 1] = {};

  void SetUniqueMediaId(const std::string& id);
};

// The label library. Results of VerifyOML: non-zero when the label matches.
class OZOnMediaLabelLib : public MMS2BaseError {
 public:
  // The label text is read from the first kLabelBytes bytes of the block (a block of a volume is
  // never smaller).
  static constexpr size_t kLabelBytes = 1024;
  // The code of a label that is missing or names another tape.
  static constexpr long long kLabelMismatch = 768;

  virtual ~OZOnMediaLabelLib() = default;
  // Non-zero when `block` holds a label whose media id matches the parameters'. On 0,
  // getErrorCode() gives the media manager code and getLastError the text.
  int VerifyOML(const char* block, const OZMAOMLParams* params);
  // Copies the text of the last failure, terminated and cut to `size` bytes. 0, or -1 without a
  // buffer.
  int getLastError(char* buffer, int size) const;

 protected:
  void Fail(long long code, std::string text);

 private:
  std::string m_strLastError;
};

// The label library of a tape drive.
class OzTapeOMLLib : public OZOnMediaLabelLib {
 public:
  explicit OzTapeOMLLib(OZScsiTapeDrive* drive) : m_pDrive(drive) {}
  void setJobId(long long jobId) { m_llJobId = jobId; }
  long long jobId() const { return m_llJobId; }
  OZScsiTapeDrive* drive() const { return m_pDrive; }

 private:
  OZScsiTapeDrive* m_pDrive;
  long long m_llJobId = 0;
};

namespace platform {

// A label block of `blockSize` bytes (at least kLabelBytes) for a tape with the media id.
std::string FormatTapeLabel(const std::string& mediaId, size_t blockSize);

}  // namespace platform
