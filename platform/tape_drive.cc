#include "platform/tape_drive.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/crc32.h"
#include "platform/error.h"

// ---- Codes ------------------------------------------------------------------------------------
//
// The drive library's codes and the media manager codes they convert to: one table.
//
//   drive code                  media manager code
//   kTapeOk                     0
//   kTapeEarlyWarning           785  logical end of tape (early warning)
//   kTapeFileMark               786  file mark met by a read
//   kTapeEndOfData              773  end of data
//   kTapePhysicalEnd            974  physical end of the tape
//   kTapeNoMedia                770  no tape in the drive
//   kTapeWriteProtected         766  write-protected (or WORM) media
//   kTapeCrcError               762  CRC error
//   kTapeIoError                764  I/O error
//   kTapeHardwareError          790  hardware error
//   kTapeNeedsCleaning          793  the drive needs cleaning
//   kTapeMediumError            843  medium error
//   kTapeReservationConflict    792  the drive is reserved by another job
//   kTapeIncorrectLength        763  block larger than the read
//   kTapeDeviceNotFound         776  no drive at the device path
//   kTapeDeviceNotOpen          994  the device is closed
//   kTapeBeginningOfMedia       979  spacing backward met the beginning of the tape
//   kTapeKeyMismatch            979  block encrypted with another key
//   kTapeNotSupported           789  not supported by the drive
//   kTapeFileError              764  the cartridge's file failed
//   kTapeNoSense                0    a failure the drive gives no reason for
//   any other code              979

namespace {

struct CodeRow {
  int code;
  long long mm;
  const char* text;
};

constexpr CodeRow kCodes[] = {
    {kTapeOk, 0, "Success"},
    {kTapeEarlyWarning, 785, "Logical end of tape (early warning) reached"},
    {kTapeFileMark, 786, "File mark encountered"},
    {kTapeEndOfData, 773, "End of data reached"},
    {kTapePhysicalEnd, 974, "Physical end of tape reached"},
    {kTapeNoMedia, 770, "No tape in the drive"},
    {kTapeWriteProtected, 766, "The tape is write protected"},
    {kTapeCrcError, 762, "CRC error"},
    {kTapeIoError, 764, "I/O error"},
    {kTapeHardwareError, 790, "Hardware error"},
    {kTapeNeedsCleaning, 793, "The drive needs cleaning"},
    {kTapeMediumError, 843, "Medium error"},
    {kTapeReservationConflict, 792, "Reservation conflict: the drive is reserved by another job"},
    {kTapeIncorrectLength, 763, "The block on the tape is larger than the read"},
    {kTapeDeviceNotFound, 776, "No drive answers at the device path"},
    {kTapeDeviceNotOpen, 994, "The device is not open"},
    {kTapeBeginningOfMedia, 979, "Beginning of tape reached"},
    {kTapeKeyMismatch, 979, "The block is encrypted with another key"},
    {kTapeNotSupported, 789, "The drive does not support the operation"},
    {kTapeFileError, 764, "The cartridge file could not be read or written"},
    {kTapeNoSense, 0, "No sense"},
};

constexpr long long kUnknownCodeMM = 979;

const CodeRow* FindCode(int code) {
  for (const CodeRow& row : kCodes) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

std::atomic<uint32_t> g_globalFlags{0};
std::atomic<long long> g_callbackSets{0};
std::atomic<uint64_t> g_nextObjectSerial{1};
std::atomic<uint64_t> g_nextKey{1};

}  // namespace

long long MMS2BaseError::OZScsiTapeErrorConvertToMMError(int tapeCode) {
  const CodeRow* row = FindCode(tapeCode);
  return row != nullptr ? row->mm : kUnknownCodeMM;
}

namespace platform {

TapeLibraryState& TapeLibrary() {
  static TapeLibraryState* state = new TapeLibraryState;
  return *state;
}

std::mutex& TapeLibraryMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

void ResetTapeLibrary() {
  {
    std::lock_guard<std::mutex> lock(TapeLibraryMutex());
    TapeLibrary() = TapeLibraryState();
  }
  g_globalFlags.store(0);
  g_callbackSets.store(0);
}

bool TapeGlobalFlag(int flag) { return (g_globalFlags.load() & static_cast<uint32_t>(flag)) != 0; }

long long TapeCallbackSets() { return g_callbackSets.load(); }

std::string TapeFile::Bytes() const {
  std::string all;
  for (const std::string& b : blocks) all += b;
  return all;
}

void TapeLibraryState::AddDrive(const std::string& path, const TapeDriveSetup& setup) {
  drives[path].setup = setup;
}

bool TapeLibraryState::LoadCartridge(const std::string& path, const std::string& file,
                                     const TapeGeometry& geometry, std::string* error) {
  auto tape = std::make_shared<VirtualTape>();
  std::string why;
  if (!tape->Open(file, why)) {
    if (error != nullptr) *error = why;
    return false;
  }
  TapeDriveSlot& slot = drives[path];
  slot.tape = std::move(tape);
  slot.geometry = geometry;
  slot.head = 0;
  return true;
}

void TapeLibraryState::UnloadCartridge(const std::string& path) {
  auto it = drives.find(path);
  if (it == drives.end()) return;
  it->second.tape.reset();
  it->second.head = 0;
}

void TapeLibraryState::MoveDrive(const std::string& from, const std::string& to) {
  auto it = drives.find(from);
  if (it == drives.end() || from == to) return;
  drives[to] = std::move(it->second);
  drives.erase(from);
}

void TapeLibraryState::Fail(const std::string& path, const TapeFault& fault) {
  TapeFault f = fault;
  f.seen = 0;
  drives[path].faults.push_back(f);
}

std::vector<TapeFile> TapeLibraryState::Files(const std::string& path) const {
  std::vector<TapeFile> files;
  auto it = drives.find(path);
  if (it == drives.end() || !it->second.tape) return files;
  const VirtualTape& tape = *it->second.tape;
  TapeFile current;
  bool any = false;
  for (size_t i = 0; i < tape.size(); ++i) {
    const TapeRecord& r = tape.record(i);
    if (r.mark) {
      current.closed = true;
      files.push_back(std::move(current));
      current = TapeFile();
      any = false;
      continue;
    }
    std::string block(r.length, '\0');
    if (!tape.ReadBlock(r, 0, block.data(), block.size())) block.clear();
    current.blocks.push_back(std::move(block));
    current.keyTags.push_back(r.keyTag);
    any = true;
  }
  if (any) files.push_back(std::move(current));
  return files;
}

size_t TapeLibraryState::Count(const std::string& op) const {
  return static_cast<size_t>(std::count_if(calls.begin(), calls.end(),
                                           [&](const TapeCall& c) { return c.op == op; }));
}

std::vector<TapeCall> TapeLibraryState::CallsOf(const std::string& op) const {
  std::vector<TapeCall> found;
  for (const TapeCall& c : calls) {
    if (c.op == op) found.push_back(c);
  }
  return found;
}

TapeDriveSlot* TapeLibraryState::Slot(const std::string& path) {
  auto it = drives.find(path);
  return it == drives.end() ? nullptr : &it->second;
}

bool WriteTapeFile(const std::string& file, const std::vector<std::vector<std::string>>& files,
                   bool lastOpen) {
  ::unlink(file.c_str());
  VirtualTape tape;
  std::string error;
  if (!tape.Open(file, error)) return false;
  for (size_t f = 0; f < files.size(); ++f) {
    for (const std::string& block : files[f]) {
      if (!tape.AppendBlock(tape.size(), block.data(), static_cast<uint32_t>(block.size()), 0, false)) {
        return false;
      }
    }
    const bool open = lastOpen && f + 1 == files.size();
    if (!open && !tape.AppendMarks(tape.size(), 1)) return false;
  }
  return true;
}

// The library side of one drive operation: the hook, the lock, the slot of the object's path,
// the injected failure, the record of the call and the object's last error.
struct TapeDriveAccess {
  static bool Conflicts(const OZScsiTapeDrive& d, const TapeDriveSlot& s) {
    return (s.scsi2Holder >= 0 && s.scsi2Holder != d.m_llJobId) ||
           (s.scsi3Holder >= 0 && s.scsi3Holder != d.m_llJobId);
  }

  static void SetLast(OZScsiTapeDrive& d, int code, const std::string& detail) {
    d.m_iLastCode = code;
    const CodeRow* row = FindCode(code);
    char text[512];
    std::snprintf(text, sizeof(text), "%s (drive %s%s%s)", row != nullptr ? row->text : "Unknown drive error",
                  d.m_strPath.c_str(), detail.empty() ? "" : ", ", detail.c_str());
    d.m_strLastText = text;
  }

  // Runs `body` on the slot; `medium` operations fail while another job holds a reservation.
  template <typename F>
  static int Run(OZScsiTapeDrive& d, const char* op, std::vector<long long> args, bool medium, F&& body) {
    std::function<void(const std::string&, const std::string&)> hook;
    {
      std::lock_guard<std::mutex> lock(TapeLibraryMutex());
      hook = TapeLibrary().hook;
    }
    if (hook) hook(d.m_strPath, op);

    std::lock_guard<std::mutex> lock(TapeLibraryMutex());
    TapeLibraryState& lib = TapeLibrary();
    TapeDriveSlot* slot = lib.Slot(d.m_strPath);
    std::string detail;
    int rc = kTapeOk;
    if (!d.m_bValid) {
      rc = d.m_iLastCode != kTapeOk ? d.m_iLastCode : kTapeDeviceNotFound;
    } else if (!d.m_bOpen) {
      rc = kTapeDeviceNotOpen;
    } else if (slot == nullptr) {
      rc = kTapeDeviceNotFound;
    } else if (medium && Conflicts(d, *slot)) {
      rc = kTapeReservationConflict;
    } else {
      const TapeFault* fault = nullptr;
      for (TapeFault& f : slot->faults) {
        if (f.op != op || f.times == 0) continue;
        if (++f.seen < f.nth) continue;
        if (f.times > 0) --f.times;
        fault = &f;
        break;
      }
      rc = body(*slot, fault, detail);
    }
    lib.calls.push_back(TapeCall{d.m_strPath, op, std::move(args), rc, {}});
    if (rc != kTapeOk) SetLast(d, rc, detail);
    return rc;
  }

  static int NeedTape(const TapeDriveSlot& s) { return s.tape ? kTapeOk : kTapeNoMedia; }

  // A write at the head would cut off records that WORM media keeps.
  static int CheckWritable(const TapeDriveSlot& s) {
    if (s.geometry.writeProtected) return kTapeWriteProtected;
    if (s.geometry.wormType != 0 && s.head < s.tape->size()) return kTapeWriteProtected;
    return kTapeOk;
  }
};

}  // namespace platform

using platform::TapeDriveAccess;
using platform::TapeDriveSlot;
using platform::TapeFault;

// ---- Statics and object -------------------------------------------------------------------------

OZScsiTapeDrive::OZScsiTapeDrive(const std::string& path, long long jobId, int driverMode)
    : m_strPath(path), m_llJobId(jobId), m_iDriverMode(driverMode), m_ullSerial(g_nextObjectSerial++) {}

OZScsiTapeDrive* OZScsiTapeDrive::instance(int mediaType, const char* path, long long jobId, int driverMode,
                                           const char* text1, const char* text2, const char* text3,
                                           int last) {
  (void)last;
  const std::string devicePath = path != nullptr ? path : "";
  auto text = [](const char* t) { return std::string(t != nullptr ? t : ""); };
  std::lock_guard<std::mutex> lock(platform::TapeLibraryMutex());
  platform::TapeLibraryState& lib = platform::TapeLibrary();
  lib.calls.push_back(platform::TapeCall{
      devicePath, "instance", {mediaType, jobId, driverMode}, 0, {text(text1), text(text2), text(text3)}});
  TapeDriveSlot* slot = lib.Slot(devicePath);
  if (slot != nullptr && slot->setup.factoryFails) {
    lib.calls.back().result = -1;
    return nullptr;
  }
  auto* drive = new OZScsiTapeDrive(devicePath, jobId, driverMode);
  ++lib.objectsMade;
  ++lib.objectsAlive;
  if (slot == nullptr) {
    TapeDriveAccess::SetLast(*drive, kTapeDeviceNotFound, "");
  } else if (slot->setup.invalidCode != kTapeOk) {
    TapeDriveAccess::SetLast(*drive, slot->setup.invalidCode, "");
  } else {
    drive->m_bValid = true;
    drive->m_iDriveType = slot->setup.driveType;
  }
  return drive;
}

void OZScsiTapeDrive::SetGoblalFlag(int flag, bool value) {
  if (value) {
    g_globalFlags.fetch_or(static_cast<uint32_t>(flag));
  } else {
    g_globalFlags.fetch_and(~static_cast<uint32_t>(flag));
  }
}

void OZScsiTapeDrive::SetUXScsiCallback() { g_callbackSets.fetch_add(1); }

OZScsiTapeDrive::~OZScsiTapeDrive() {
  std::lock_guard<std::mutex> lock(platform::TapeLibraryMutex());
  platform::TapeLibraryState& lib = platform::TapeLibrary();
  --lib.objectsAlive;
  TapeDriveSlot* slot = lib.Slot(m_strPath);
  if (slot != nullptr && slot->scsi2Object == m_ullSerial) {
    slot->scsi2Holder = -1;
    slot->scsi2Object = 0;
  }
}

int OZScsiTapeDrive::doForcePR_Reserve(int a, int b, int c, std::string& key) {
  return TapeDriveAccess::Run(*this, "doForcePR_Reserve", {a, b, c}, true,
                              [&](TapeDriveSlot& s, const TapeFault* f, std::string&) {
                                if (f != nullptr) return f->code;
                                char text[64];
                                std::snprintf(text, sizeof(text), "PR%08llX%08llX",
                                              static_cast<unsigned long long>(m_llJobId) & 0xFFFFFFFFull,
                                              static_cast<unsigned long long>(g_nextKey++));
                                s.scsi3Holder = m_llJobId;
                                s.scsi3Key = text;
                                key = text;
                                return static_cast<int>(kTapeOk);
                              });
}

int OZScsiTapeDrive::doPR_Release(const std::string& key) {
  return TapeDriveAccess::Run(*this, "doPR_Release", {}, false,
                              [&](TapeDriveSlot& s, const TapeFault* f, std::string&) {
                                if (f != nullptr) return f->code;
                                if (key.empty() || s.scsi3Key != key) return static_cast<int>(kTapeReservationConflict);
                                s.scsi3Holder = -1;
                                s.scsi3Key.clear();
                                return static_cast<int>(kTapeOk);
                              });
}

// ---- Slots --------------------------------------------------------------------------------------

long long OZScsiTapeDrive::markType() {
  std::lock_guard<std::mutex> lock(platform::TapeLibraryMutex());
  TapeDriveSlot* slot = platform::TapeLibrary().Slot(m_strPath);
  return slot != nullptr ? slot->setup.markType : platform::TapeDriveSetup().markType;
}

long long OZScsiTapeDrive::markSize() {
  std::lock_guard<std::mutex> lock(platform::TapeLibraryMutex());
  TapeDriveSlot* slot = platform::TapeLibrary().Slot(m_strPath);
  return slot != nullptr ? slot->setup.markSize : platform::TapeDriveSetup().markSize;
}

int OZScsiTapeDrive::rewindMedia() {
  return TapeDriveAccess::Run(*this, "rewindMedia", {}, true, [](TapeDriveSlot& s, const TapeFault* f, std::string&) {
    if (f != nullptr) return f->code;
    if (int rc = TapeDriveAccess::NeedTape(s)) return rc;
    s.head = 0;
    return static_cast<int>(kTapeOk);
  });
}

int OZScsiTapeDrive::loadMedia() {
  return TapeDriveAccess::Run(*this, "loadMedia", {}, true, [](TapeDriveSlot& s, const TapeFault* f, std::string&) {
    if (f != nullptr) return f->code;
    return TapeDriveAccess::NeedTape(s);
  });
}

int OZScsiTapeDrive::spaceFileMarksForward(long long count) {
  return TapeDriveAccess::Run(*this, "spaceFileMarksForward", {count}, true,
                              [count](TapeDriveSlot& s, const TapeFault* f, std::string&) {
                                if (f != nullptr) return f->code;
                                if (int rc = TapeDriveAccess::NeedTape(s)) return rc;
                                const platform::VirtualTape& t = *s.tape;
                                for (long long k = 0; k < count; ++k) {
                                  while (s.head < t.size() && !t.record(s.head).mark) ++s.head;
                                  if (s.head == t.size()) return static_cast<int>(kTapeEndOfData);
                                  ++s.head;
                                }
                                return static_cast<int>(kTapeOk);
                              });
}

int OZScsiTapeDrive::spaceFileMarksBackward(long long count) {
  return TapeDriveAccess::Run(*this, "spaceFileMarksBackward", {count}, true,
                              [count](TapeDriveSlot& s, const TapeFault* f, std::string&) {
                                if (f != nullptr) return f->code;
                                if (int rc = TapeDriveAccess::NeedTape(s)) return rc;
                                const platform::VirtualTape& t = *s.tape;
                                for (long long k = 0; k < count; ++k) {
                                  while (s.head > 0 && !t.record(s.head - 1).mark) --s.head;
                                  if (s.head == 0) return static_cast<int>(kTapeBeginningOfMedia);
                                  --s.head;
                                }
                                return static_cast<int>(kTapeOk);
                              });
}

int OZScsiTapeDrive::readData(char* buffer, long size, long long& count) {
  count = 0;
  return TapeDriveAccess::Run(
      *this, "readData", {size}, true, [&](TapeDriveSlot& s, const TapeFault* f, std::string& detail) {
        if (int rc = TapeDriveAccess::NeedTape(s)) return rc;
        const platform::VirtualTape& t = *s.tape;
        if (size <= 0 || buffer == nullptr) return static_cast<int>(kTapeIncorrectLength);
        if (f != nullptr) {
          // The fault may deliver part of the next block first.
          if (f->count > 0 && s.head < t.size() && !t.record(s.head).mark) {
            const platform::TapeRecord& r = t.record(s.head);
            const size_t n = std::min<size_t>({static_cast<size_t>(f->count), r.length, static_cast<size_t>(size)});
            if (!t.ReadBlock(r, 0, buffer, n)) return static_cast<int>(kTapeFileError);
            count = static_cast<long long>(n);
            ++s.head;
          }
          // A file mark reported is a file mark passed.
          if (f->code == kTapeFileMark && s.head < t.size() && t.record(s.head).mark) ++s.head;
          return f->code;
        }
        if (s.head == t.size()) return static_cast<int>(kTapeEndOfData);
        const platform::TapeRecord& r = t.record(s.head);
        if (r.mark) {
          ++s.head;
          return static_cast<int>(kTapeFileMark);
        }
        if (r.keyTag != 0 && r.keyTag != s.keyTag) return static_cast<int>(kTapeKeyMismatch);
        const size_t n = std::min<size_t>(r.length, static_cast<size_t>(size));
        if (!t.ReadBlock(r, 0, buffer, n)) {
          detail = std::strerror(errno);
          return static_cast<int>(kTapeFileError);
        }
        ++s.head;
        count = static_cast<long long>(n);
        return static_cast<int>(n < r.length ? kTapeIncorrectLength : kTapeOk);
      });
}

int OZScsiTapeDrive::writeData(const char* buffer, long size, long long& count) {
  count = 0;
  std::function<void(const std::string&, const std::string&)> hook;
  {
    std::lock_guard<std::mutex> lock(platform::TapeLibraryMutex());
    hook = platform::TapeLibrary().hook;
  }
  std::function<void()> torn;
  if (hook) torn = [hook, this] { hook(m_strPath, "writeData.torn"); };
  return TapeDriveAccess::Run(
      *this, "writeData", {size}, true, [&](TapeDriveSlot& s, const TapeFault* f, std::string& detail) {
        if (int rc = TapeDriveAccess::NeedTape(s)) return rc;
        if (int rc = TapeDriveAccess::CheckWritable(s)) return rc;
        if (size < 0 || (size > 0 && buffer == nullptr)) return static_cast<int>(kTapeIncorrectLength);
        platform::VirtualTape& t = *s.tape;
        long long take = size;
        int rc = kTapeOk;
        if (f != nullptr) {
          take = f->count >= 0 ? std::min<long long>(f->count, size) : 0;
          rc = f->code;
        } else {
          const long long pos = t.DataBytesBefore(s.head);
          const platform::TapeGeometry& g = s.geometry;
          if (g.physicalEnd >= 0 && pos >= g.physicalEnd) return static_cast<int>(kTapePhysicalEnd);
          if (g.physicalEnd >= 0 && pos + take > g.physicalEnd) {
            take = g.physicalEnd - pos;
            rc = kTapeEarlyWarning;
          }
          if (g.earlyWarning >= 0 && pos + take > g.earlyWarning) {
            if (pos < g.earlyWarning && g.cutAtEarlyWarning) take = g.earlyWarning - pos;
            rc = kTapeEarlyWarning;
          } else if (g.earlyWarning >= 0 && pos >= g.earlyWarning) {
            rc = kTapeEarlyWarning;
          }
        }
        if (take > 0) {
          if (!t.AppendBlock(s.head, buffer, static_cast<uint32_t>(take), s.keyTag, s.compression != 0, torn)) {
            detail = std::strerror(errno);
            s.head = std::min(s.head, t.size());
            return static_cast<int>(kTapeFileError);
          }
          s.head = t.size();
        }
        count = take;
        return rc;
      });
}

int OZScsiTapeDrive::writeFileMarks(int count) {
  return TapeDriveAccess::Run(
      *this, "writeFileMarks", {count}, true, [&](TapeDriveSlot& s, const TapeFault* f, std::string& detail) {
        if (f != nullptr) return f->code;
        if (int rc = TapeDriveAccess::NeedTape(s)) return rc;
        if (int rc = TapeDriveAccess::CheckWritable(s)) return rc;
        platform::VirtualTape& t = *s.tape;
        if (!t.AppendMarks(s.head, count)) {
          detail = std::strerror(errno);
          s.head = std::min(s.head, t.size());
          return static_cast<int>(kTapeFileError);
        }
        s.head = t.size();
        const long long pos = t.DataBytesBefore(s.head);
        const long long ew = s.geometry.earlyWarning;
        const long long pe = s.geometry.physicalEnd;
        const bool pastWarning = (ew >= 0 && pos >= ew) || (pe >= 0 && pos >= pe);
        return static_cast<int>(pastWarning ? kTapeEarlyWarning : kTapeOk);
      });
}

int OZScsiTapeDrive::getSerialNumber(std::string& serial) {
  return TapeDriveAccess::Run(*this, "getSerialNumber", {}, false,
                              [&](TapeDriveSlot& s, const TapeFault* f, std::string&) {
                                if (f != nullptr) return f->code;
                                serial = s.setup.serialNumber;
                                return static_cast<int>(kTapeOk);
                              });
}

int OZScsiTapeDrive::doSCSI2Reserve() {
  return TapeDriveAccess::Run(*this, "doSCSI2Reserve", {}, true, [&](TapeDriveSlot& s, const TapeFault* f, std::string&) {
    if (f != nullptr) return f->code;
    s.scsi2Holder = m_llJobId;
    s.scsi2Object = m_ullSerial;
    return static_cast<int>(kTapeOk);
  });
}

int OZScsiTapeDrive::isEncryptionSupported(bool& supported) {
  return TapeDriveAccess::Run(*this, "isEncryptionSupported", {}, false,
                              [&](TapeDriveSlot& s, const TapeFault* f, std::string&) {
                                if (f != nullptr) return f->code;
                                supported = s.setup.encryptionSupported;
                                return static_cast<int>(kTapeOk);
                              });
}

int OZScsiTapeDrive::disableEncryption() {
  return TapeDriveAccess::Run(*this, "disableEncryption", {}, false,
                              [](TapeDriveSlot& s, const TapeFault* f, std::string&) {
                                if (f != nullptr) return f->code;
                                if (!s.setup.encryptionSupported) return static_cast<int>(kTapeNotSupported);
                                s.keyTag = 0;
                                return static_cast<int>(kTapeOk);
                              });
}

int OZScsiTapeDrive::setEncryptionKey(unsigned int length, const unsigned char* key) {
  return TapeDriveAccess::Run(*this, "setEncryptionKey", {length}, false,
                              [&](TapeDriveSlot& s, const TapeFault* f, std::string&) {
                                if (f != nullptr) return f->code;
                                if (!s.setup.encryptionSupported || length == 0 || key == nullptr) {
                                  return static_cast<int>(kTapeNotSupported);
                                }
                                s.keyTag = CXoCRC32::Of(key, length) | 1u;
                                return static_cast<int>(kTapeOk);
                              });
}

int OZScsiTapeDrive::setCompression(int on) {
  return TapeDriveAccess::Run(*this, "setCompression", {on}, true, [on](TapeDriveSlot& s, const TapeFault* f, std::string&) {
    if (f != nullptr) return f->code;
    s.compression = on;
    return static_cast<int>(kTapeOk);
  });
}

int OZScsiTapeDrive::closeDevice() {
  std::lock_guard<std::mutex> lock(platform::TapeLibraryMutex());
  platform::TapeLibraryState& lib = platform::TapeLibrary();
  lib.calls.push_back(platform::TapeCall{m_strPath, "closeDevice", {}, 0, {}});
  m_bOpen = false;
  TapeDriveSlot* slot = lib.Slot(m_strPath);
  if (slot != nullptr && slot->scsi2Object == m_ullSerial) {
    slot->scsi2Holder = -1;
    slot->scsi2Object = 0;
  }
  return kTapeOk;
}

int OZScsiTapeDrive::setBlockSize(long bytes) {
  return TapeDriveAccess::Run(*this, "setBlockSize", {bytes}, false, [bytes](TapeDriveSlot& s, const TapeFault* f, std::string&) {
    if (f != nullptr) return f->code;
    s.blockSize = bytes;
    return static_cast<int>(kTapeOk);
  });
}

int OZScsiTapeDrive::getLastError(std::string& text) {
  text = m_strLastText;
  return m_iLastCode;
}

int OZScsiTapeDrive::isMediaWorm(int& type) {
  type = 0;
  const int rc = TapeDriveAccess::Run(*this, "isMediaWorm", {}, false, [&](TapeDriveSlot& s, const TapeFault* f, std::string&) {
    if (f != nullptr) return f->code;
    type = s.tape ? s.geometry.wormType : 0;
    return static_cast<int>(kTapeOk);
  });
  return rc != kTapeOk ? 0 : (type != 0 ? 1 : 0);
}

int OZScsiTapeDrive::locateWormEndOfData(int expected, int& count) {
  return TapeDriveAccess::Run(*this, "locateWormEndOfData", {expected}, true,
                              [&](TapeDriveSlot& s, const TapeFault* f, std::string&) {
                                if (f != nullptr) return f->code;
                                if (int rc = TapeDriveAccess::NeedTape(s)) return rc;
                                s.head = s.tape->size();
                                count = static_cast<int>(s.tape->MarkCount());
                                return static_cast<int>(kTapeOk);
                              });
}

int OZScsiTapeDrive::readPosition(int& position) {
  return TapeDriveAccess::Run(*this, "readPosition", {}, true, [&](TapeDriveSlot& s, const TapeFault* f, std::string&) {
    if (f != nullptr) return f->code;
    if (int rc = TapeDriveAccess::NeedTape(s)) return rc;
    position = static_cast<int>(s.head);
    return static_cast<int>(kTapeOk);
  });
}
