// Arbitrary virtual tape contents (blocks, file marks, texts that look like chunk map trailers,
// failures of the drive) under the tape positioning that reads what it finds, with the SCSI tape
// media (trailers parsed after the byte edits) or the NDMP tape media (trailers parsed as read):
// LocateChunk, verifyMediaUsingChunkMapTrailer, VerifyPositionOnTapeForRestore and
// IsCurrentPositionEndOfValidData. None may crash, and each must end after a number of drive
// calls bounded by what the tape holds.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "MediaFileSystem/ndmpTape.h"
#include "MediaFileSystem/nttape.h"
#include "fuzz_seeds.h"
#include "platform/platform.h"

namespace {

constexpr char kDevice[] = "/dev/nst0";
constexpr char kMediaId[] = "FUZZ-MEDIA";
constexpr int kVolId = 3;
constexpr int kBlockKB = 1;
constexpr size_t kBlock = kBlockKB * 1024;

template <class Media>
class FuzzedTape : public Media {
 public:
  using Media::Media;
  using media_fs::m_llFileNumber;
  using media_fs::m_llReadCachedFM;
  using media_fs::m_llWriteCachedFM;
};

std::unique_ptr<FuzzedTape<nt_fs_tape>> MakeTape(_JobContext* job, nt_fs_tape*) {
  return std::make_unique<FuzzedTape<nt_fs_tape>>(job, 2, kDevice, false);
}

std::unique_ptr<FuzzedTape<ndmp_fs_tape>> MakeTape(_JobContext* job, ndmp_fs_tape*) {
  return std::make_unique<FuzzedTape<ndmp_fs_tape>>(job, 2, kDevice, "host", "user", "password");
}

// Reads the input from the front; zeros once it is used up.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool empty() const { return m_at >= m_size; }
  uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
  uint32_t Number() { return static_cast<uint32_t>(Byte()) | static_cast<uint32_t>(Byte()) << 8; }
  std::string Bytes(size_t n) {
    std::string s;
    while (n-- > 0 && !empty()) s.push_back(static_cast<char>(Byte()));
    return s;
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_at = 0;
};

std::string TrailerLike(Input& in) {
  const uint8_t shape = in.Byte();
  std::string text = "CHUNK_MAP_TRAILER_VERSION 1\nTrailerSize 1024\nFileMarkNumber " +
                     std::to_string(static_cast<int>(in.Number()) - 8) + "\nChunkId " + std::to_string(in.Byte() % 8) +
                     "\nVolumeId 3\nTavrixVersion 11\nuniqueMediaIdString " +
                     ((shape & 1) != 0 ? std::string(kMediaId) : in.Bytes(in.Byte() % 40)) + "\n";
  if ((shape & 2) != 0) text.resize(in.Byte() % (text.size() + 1));  // cut short
  if ((shape & 4) != 0) text += in.Bytes(in.Byte());                 // followed by anything
  text.resize((shape & 8) != 0 ? kBlock : std::min<size_t>(text.size(), kBlock + 100), '0');
  return text;
}

struct Sandbox {
  Sandbox() {
    std::string pattern = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/mfs_tape_fuzz_XXXXXX";
    dir = mkdtemp(pattern.data()) != nullptr ? pattern : "/tmp";
  }
  ~Sandbox() {
    std::remove(File().c_str());
    rmdir(dir.c_str());
  }
  std::string File() const { return dir + "/fuzz.vtape"; }
  std::string dir;
};

// The tape from the input: up to 64 records and up to 4 injected drive failures.
bool BuildTape(Input& in, const std::string& file) {
  std::vector<std::vector<std::string>> files(1);
  const int records = in.Byte() % 64;
  for (int i = 0; i < records && !in.empty(); ++i) {
    switch (in.Byte() % 4) {
      case 0: files.emplace_back(); break;  // a file mark
      case 1: files.back().push_back(in.Bytes(1 + in.Byte() * 8)); break;
      case 2: files.back().push_back(TrailerLike(in)); break;
      default: files.back().push_back(platform::FormatTapeLabel(kMediaId, kBlock)); break;
    }
  }
  return platform::WriteTapeFile(file, files, (in.Byte() & 1) != 0);
}

void InjectFaults(Input& in) {
  static const char* kOps[] = {"readData", "spaceFileMarksForward", "spaceFileMarksBackward", "setBlockSize"};
  static const int kCodes[] = {kTapeOk,       kTapeFileMark,        kTapeEndOfData, kTapeIoError,
                               kTapeNoSense,  kTapeBeginningOfMedia, kTapeCrcError,  kTapeIncorrectLength};
  const int faults = in.Byte() % 5;
  for (int i = 0; i < faults; ++i) {
    platform::TapeFault f;
    f.op = kOps[in.Byte() % 4];
    f.code = kCodes[in.Byte() % 8];
    f.nth = 1 + in.Byte() % 8;
    f.times = (in.Byte() & 1) != 0 ? -1 : 1;
    f.count = static_cast<long long>(in.Byte()) - 1;
    platform::TapeLibrary().Fail(kDevice, f);
  }
}

// Every drive call the operation made, against what the tape holds: a read (and its block size)
// per record and per file mark the volume may hold, and a few spacings.
void CheckBounded(size_t callsBefore, size_t records, long long volumeFiles) {
  const size_t calls = platform::TapeLibrary().calls.size() - callsBefore;
  if (calls > 2 * (records + static_cast<size_t>(volumeFiles) + 4) + 4) {
    std::fprintf(stderr, "%zu drive calls on a tape of %zu records\n", calls, records);
    __builtin_trap();
  }
}

// The positioning operations on a media object of the class, on the tape as built.
template <class Media>
void Position(Input& in, size_t records) {
  _JobContext job{1, 1};
  MLMMessageInstance mlm;
  OZMMreserveMount reserve;
  reserve.m_blockSizeKB = kBlockKB;
  reserve.m_numFiles = in.Byte() % 16;
  OZMAOMLParams oml;
  oml.SetUniqueMediaId(kMediaId);
  MediaFSDriveDetails details;
  MediaFsInitParams params;
  params.iVolId = kVolId;
  params.strPath = kDevice;
  params.pMlm = &mlm;
  params.iDriveId = 1;
  params.iMediaType = 2;
  params.pOmlParams = &oml;
  params.pDriveDetails = &details;
  params.pReserveMount = &reserve;
  auto tape = MakeTape(&job, static_cast<Media*>(nullptr));
  if (tape->Init(params, false) != 0) return;
  InjectFaults(in);

  const uint8_t head = in.Byte();
  const long long chunkId = in.Byte() % 8;
  const long long readCached = static_cast<long long>(in.Byte() % 16) - 1;

  platform::TapeLibrary().Slot(kDevice)->head = head % (records + 1);
  size_t before = platform::TapeLibrary().calls.size();
  tape->LocateChunk(chunkId);
  CheckBounded(before, records, reserve.m_numFiles);

  platform::TapeLibrary().Slot(kDevice)->head = (head / 3) % (records + 1);
  tape->m_llReadCachedFM = readCached;
  tape->m_llFileNumber = readCached;
  before = platform::TapeLibrary().calls.size();
  tape->VerifyPositionOnTapeForRestore();
  CheckBounded(before, records, reserve.m_numFiles);

  platform::TapeLibrary().Slot(kDevice)->head = (head / 5) % (records + 1);
  tape->m_llFileNumber = readCached + 1;
  tape->m_llWriteCachedFM = readCached + 1;
  before = platform::TapeLibrary().calls.size();
  tape->verifyMediaUsingChunkMapTrailer();
  CheckBounded(before, records, reserve.m_numFiles);

  platform::TapeLibrary().Slot(kDevice)->head = (head / 7) % (records + 1);
  bool found = false;
  before = platform::TapeLibrary().calls.size();
  tape->IsCurrentPositionEndOfValidData(found);
  CheckBounded(before, records, reserve.m_numFiles);
}

// Seeds: tapes of a label and a few chunks, each followed by its chunk map trailer, in the
// input's own encoding (as BuildTape and the test read it), the drive without faults.
class TapeSeed {
 public:
  TapeSeed& Mark() { return Record(0); }
  TapeSeed& Data(uint8_t eighths) { return Record(1).Put(eighths).Put(std::string(1 + eighths * 8u, 'd')); }
  // A trailer of this media that names its chunk and file mark.
  TapeSeed& Trailer(uint16_t fileMark, uint8_t chunkId) {
    const uint16_t number = static_cast<uint16_t>(fileMark + 8);
    return Record(2).Put(1).Put(static_cast<uint8_t>(number & 0xFF)).Put(static_cast<uint8_t>(number >> 8)).Put(chunkId);
  }
  TapeSeed& Label() { return Record(3); }
  // The input: the media class (odd: NDMP), the tape (its last file closed by a mark), then the
  // volume's file count, no faults, the head, the chunk to locate and the cached file mark.
  std::string Input(bool ndmp, uint8_t files, uint8_t head, uint8_t chunkId, uint8_t cachedMark) const {
    std::string in(1, static_cast<char>(ndmp ? 1 : 0));
    in += static_cast<char>(m_records);
    in += m_body;
    for (uint8_t b : {uint8_t{0}, files, uint8_t{0}, head, chunkId, static_cast<uint8_t>(cachedMark + 1)}) {
      in += static_cast<char>(b);
    }
    return in;
  }

 private:
  TapeSeed& Record(uint8_t kind) {
    ++m_records;
    return Put(kind);
  }
  TapeSeed& Put(uint8_t byte) {
    m_body += static_cast<char>(byte);
    return *this;
  }
  TapeSeed& Put(const std::string& bytes) {
    m_body += bytes;
    return *this;
  }
  int m_records = 0;
  std::string m_body;
};

std::vector<std::string> Seeds() {
  TapeSeed tape;
  tape.Label().Mark();
  for (uint8_t chunk = 0; chunk < 3; ++chunk) {
    tape.Data(20).Data(3).Mark().Trailer(static_cast<uint16_t>(2 * chunk + 1), chunk).Mark();
  }
  std::vector<std::string> seeds;
  for (bool ndmp : {false, true}) {
    for (const std::string& in : {tape.Input(ndmp, 7, 0, 1, 2), tape.Input(ndmp, 7, 4, 2, 5), tape.Input(ndmp, 3, 9, 0, 0),
                                  tape.Input(ndmp, 0, 0, 7, 15)}) {
      seeds.push_back(in);
    }
  }
  return seeds;
}

}  // namespace

MFS_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Destroyed at exit, which removes the cartridge file and its folder.
  static Sandbox sandbox;
  platform::ResetAll();
  platform::SetLogCaptureLimit(32);
  Input in(data, size);
  const bool ndmp = (in.Byte() & 1) != 0;
  if (!BuildTape(in, sandbox.File())) return 0;
  platform::TapeLibrary().AddDrive(kDevice);
  if (!platform::TapeLibrary().LoadCartridge(kDevice, sandbox.File())) return 0;
  const size_t records = platform::TapeLibrary().Slot(kDevice)->tape->size();
  if (ndmp) {
    Position<ndmp_fs_tape>(in, records);
  } else {
    Position<nt_fs_tape>(in, records);
  }
  return 0;
}
