// The appliance media on the folder-backed appliance stand-in against plain system calls on the
// same folder, in one run.
//
// Write: 1 GiB in 256 KiB pieces, alternately through WriteToMetaData and WriteToDataFile of one
// chunk (Create, the writes, CloseSpecific), against write(2) of the same pieces alternately into
// two files of the same folder, closed. Neither flushes: the appliance keeps what it acknowledged.
// Clone: 1 GiB of 256 KiB links to a 256 MiB data object of another chunk cloned into a new
// chunk's data object through CloneToDataFile, against copy_file_range(2) of the same ranges from
// the same object to the end of a plain file.
//
// The two roads run in pairs, with the counters of media_vs_syscalls.h.
//
// The folder is MFS_BENCH_DIR, by default "bench-data" in the build folder.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "MediaFileSystem/HPStoreOnceFS.h"
#include "media_vs_syscalls.h"
#include "platform/platform.h"

namespace {

constexpr size_t kPiece = 256 * 1024;
constexpr size_t kTotal = size_t{1} << 30;
constexpr size_t kSourceBytes = size_t{256} << 20;
constexpr int kVolId = 7;
constexpr long long kSourceChunk = 1;
constexpr long long kChunk = 2;

using Clock = mediabench::Clock;
using mediabench::Seconds;

// The appliance over a folder, a volume on it, and a job's reservation.
struct Appliance {
  std::string folder = bench::MakeDir("mfs-appliance-bench");
  std::string volume = folder + "/lib/OZ_MAGNETIC/V_" + std::to_string(kVolId);
  _JobContext job{1, 0};
  MLMMessageInstance mlm;
  OZMMreserveMount reserve;
  CFSInitParams params;
  std::vector<char> piece = std::vector<char>(kPiece);

  Appliance() {
    platform::Appliance().Enable(folder);
    params.m_Type = kFSTypeStoreOnce;
    params.m_ParamText = "bench";
    for (size_t i = 0; i < kPiece; ++i) piece[i] = static_cast<char>(i * 131 + 7);
  }
  ~Appliance() {
    platform::Appliance().Reset();
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
  }

  std::unique_ptr<HPStoreOnce_FS> Media() {
    auto media = std::make_unique<HPStoreOnce_FS>(&job, params);
    MediaFsInitParams p;
    p.iVolId = kVolId;
    p.strPath = volume;
    p.pMlm = &mlm;
    p.pReserveMount = &reserve;
    p.iDataMoverMode = kDataMoverModeBackup;
    if (media->Init(p, false) != 0) return nullptr;
    return media;
  }

  std::string Object(long long chunk, const char* name) const {
    return volume + "/CHUNK_" + std::to_string(chunk) + "/" + name;
  }
  std::string Plain(const char* name) const { return folder + "/" + name; }

  // A fresh chunk: the objects of the road before are removed untimed.
  std::unique_ptr<HPStoreOnce_FS> NewChunk() {
    std::error_code ignored;
    std::filesystem::remove_all(volume + "/CHUNK_" + std::to_string(kChunk), ignored);
    platform::Appliance().ClearCalls();
    auto media = Media();
    MediaFSArchiveFileId_t id;
    id.uiDataType = CHUNK;
    id.llChunkId = kChunk;
    if (media == nullptr || media->CreateSpecific(&id) != 0) return nullptr;
    return media;
  }
};

// A link to the next 256 KiB of the source's data object, in network order.
SILinkHdr Link(size_t offset) {
  SILinkHdr link{};
  link.PrimaryRecord.VolumeId = kVolId;
  link.PrimaryRecord.Size = kPiece;
  link.PrimaryRecord.ChunkId = kSourceChunk;
  link.PrimaryRecord.MetadataOffset = (1ULL << 56) | offset;
  HPStoreOnce_FS::ConvertSILinkByteOrder(&link);
  return link;
}

double MediaWrite(Appliance& a) {
  auto media = a.NewChunk();
  if (media == nullptr) return -1;
  const auto start = Clock::now();
  int eom = 0;
  for (size_t done = 0; done < kTotal; done += kPiece) {
    const bool meta = (done / kPiece) % 2 == 0;
    const int n = meta ? media->WriteToMetaData(a.piece.data(), kPiece, &eom)
                       : media->WriteToDataFile(a.piece.data(), kPiece, &eom);
    if (n != static_cast<int>(kPiece)) return -1;
  }
  if (media->CloseSpecific(0) != 0) return -1;
  return Seconds(start);
}

double PlainWrite(Appliance& a) {
  unlink(a.Plain("meta").c_str());
  unlink(a.Plain("data").c_str());
  const auto start = Clock::now();
  const int fds[2] = {open(a.Plain("meta").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
                      open(a.Plain("data").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644)};
  if (fds[0] < 0 || fds[1] < 0) return -1;
  for (size_t done = 0; done < kTotal; done += kPiece) {
    if (write(fds[(done / kPiece) % 2], a.piece.data(), kPiece) != static_cast<ssize_t>(kPiece)) return -1;
  }
  if (close(fds[0]) != 0 || close(fds[1]) != 0) return -1;
  return Seconds(start);
}

double MediaClone(Appliance& a) {
  auto media = a.NewChunk();
  if (media == nullptr) return -1;
  const auto start = Clock::now();
  int eom = 0;
  for (size_t done = 0; done < kTotal; done += kPiece) {
    SILinkHdr link = Link(done % kSourceBytes);
    if (media->CloneToDataFile(&link, 0, &eom) != 0) return -1;
  }
  if (media->CloseSpecific(0) != 0) return -1;
  return Seconds(start);
}

double PlainClone(Appliance& a) {
  unlink(a.Plain("clone").c_str());
  const auto start = Clock::now();
  const int from = open(a.Object(kSourceChunk, "1.data").c_str(), O_RDONLY);
  const int to = open(a.Plain("clone").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (from < 0 || to < 0) return -1;
  for (size_t done = 0; done < kTotal; done += kPiece) {
    loff_t at = static_cast<loff_t>(done % kSourceBytes);
    for (size_t left = kPiece; left > 0;) {
      const ssize_t n = copy_file_range(from, &at, to, nullptr, left, 0);
      if (n <= 0) return -1;
      left -= static_cast<size_t>(n);
    }
  }
  if (close(from) != 0 || close(to) != 0) return -1;
  return Seconds(start);
}

void BM_Write_ApplianceMediaVsWrite(benchmark::State& state) {
  Appliance a;
  if (a.folder.empty()) return state.SkipWithError("no folder for the appliance");
  mediabench::Compare(state, kTotal, "appliance_media", [&] { return MediaWrite(a); },
                     [&] { return PlainWrite(a); });
}

void BM_Clone_ApplianceMediaVsCopyFileRange(benchmark::State& state) {
  Appliance a;
  if (a.folder.empty()) return state.SkipWithError("no folder for the appliance");
  // The source chunk: a 256 MiB data object written through the media.
  auto media = a.Media();
  MediaFSArchiveFileId_t id;
  id.uiDataType = CHUNK;
  id.llChunkId = kSourceChunk;
  int eom = 0;
  if (media == nullptr || media->CreateSpecific(&id) != 0) return state.SkipWithError("no source chunk");
  for (size_t done = 0; done < kSourceBytes; done += kPiece) {
    if (media->WriteToDataFile(a.piece.data(), kPiece, &eom) != static_cast<int>(kPiece)) {
      return state.SkipWithError("the source chunk could not be written");
    }
  }
  if (media->CloseSpecific(0) != 0) return state.SkipWithError("the source chunk could not be closed");
  mediabench::Compare(state, kTotal, "appliance_media", [&] { return MediaClone(a); },
                     [&] { return PlainClone(a); });
}

}  // namespace

BENCHMARK(BM_Write_ApplianceMediaVsWrite)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK(BM_Clone_ApplianceMediaVsCopyFileRange)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);
