// Throughput of the tape media, SCSI (nt_fs_tape) and NDMP (ndmp_fs_tape), against the virtual
// drive itself.
//
// A 1 GiB stream moves in 256 KiB blocks, the volume's block size. Each iteration times the same
// bytes twice, one after the other on the same cartridge: handed straight to the drive's
// writeData (readData), and through media_fs::Write (media_fs::Read) and the tape media, with the
// positioning of a new job, the block copies of the frame and the closing file mark. The
// counters report both rates and their ratio, the tape media's share of the cost; the reported
// time is the tape media's.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "MediaFileSystem/ndmpTape.h"
#include "MediaFileSystem/nttape.h"
#include "platform/platform.h"

namespace {

constexpr size_t kStreamBytes = size_t{1} << 30;
constexpr int kBlockKB = 256;
constexpr size_t kBlock = kBlockKB * 1024;
constexpr size_t kRingBytes = 16 << 20;
constexpr char kDevice[] = "/dev/nst0";
constexpr char kMediaId[] = "BENCH-MEDIA";
constexpr int kVolId = 1;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

// A labelled cartridge in a folder of its own, and one job's inputs.
class Bench {
 public:
  Bench() {
    platform::ResetAll();
    platform::SetLogCaptureLimit(64);
    const char* base = getenv("MFS_BENCH_DIR");
    if (base == nullptr || *base == '\0') base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/mfs-tape-bench-XXXXXX";
    m_dir = mkdtemp(pattern.data()) != nullptr ? pattern : "";
    m_file = m_dir + "/bench.vtape";
    ok = !m_dir.empty() && platform::WriteTapeFile(m_file, {{platform::FormatTapeLabel(kMediaId, kBlock)}});
    platform::TapeLibrary().AddDrive(kDevice);
    ok = ok && platform::TapeLibrary().LoadCartridge(kDevice, m_file);
    for (size_t i = 0; i < ring.size(); ++i) ring[i] = static_cast<char>(i * 131 + (i >> 12));
  }
  ~Bench() {
    platform::ResetAll();
    std::remove(m_file.c_str());
    rmdir(m_dir.c_str());
  }

  static std::unique_ptr<nt_fs_tape> Make(_JobContext* job, nt_fs_tape*) {
    return std::make_unique<nt_fs_tape>(job, 2, kDevice, false);
  }
  static std::unique_ptr<ndmp_fs_tape> Make(_JobContext* job, ndmp_fs_tape*) {
    return std::make_unique<ndmp_fs_tape>(job, 2, kDevice, "ndmp-host", "user", "password");
  }

  // A media object of a new job, initialised; the volume holds the label only (reading: also the
  // stream, as file 2).
  template <class Media>
  std::unique_ptr<Media> Job(bool backup) {
    reserve.m_blockSizeKB = kBlockKB;
    reserve.m_freeKB = 1 << 30;
    reserve.m_numFiles = backup ? 1 : 3;
    oml.SetUniqueMediaId(kMediaId);
    MediaFsInitParams p;
    p.iVolId = kVolId;
    p.strPath = kDevice;
    p.pMlm = &mlm;
    p.iDriveId = 1;
    p.iMediaType = 2;
    p.pOmlParams = &oml;
    p.pDriveDetails = &details;
    p.pReserveMount = &reserve;
    p.iDataMoverMode = backup ? kDataMoverModeBackup : 0;
    auto tape = Make(&job, static_cast<Media*>(nullptr));
    if (tape->Init(p, false) != 0) tape.reset();
    return tape;
  }

  // The drive at the start of file 2, as a new job would leave it.
  static std::unique_ptr<OZScsiTapeDrive> DriveAtFileTwo() {
    std::unique_ptr<OZScsiTapeDrive> drive(OZScsiTapeDrive::instance(2, kDevice, 1, 0, "", "", "", -1));
    if (drive->rewindMedia() != 0 || drive->spaceFileMarksForward(1) != 0) drive.reset();
    return drive;
  }

  bool ok = false;
  std::vector<char> ring = std::vector<char>(kRingBytes);
  _JobContext job{1, 0};
  MLMMessageInstance mlm;
  OZMMreserveMount reserve;
  OZMAOMLParams oml;
  MediaFSDriveDetails details;

 private:
  std::string m_dir;
  std::string m_file;
};

// Runs both ways once per iteration, taking turns at going first, and reports both rates and
// their ratio; the iteration time is the tape media's.
template <typename Straight, typename ThroughMedia>
void Measure(benchmark::State& state, Straight straight, ThroughMedia throughMedia) {
  double direct = 0;
  double tape = 0;
  bool straightFirst = true;
  for (auto _ : state) {
    double d = 0;
    double t = 0;
    if (straightFirst) {
      d = straight();
      t = throughMedia();
    } else {
      t = throughMedia();
      d = straight();
    }
    straightFirst = !straightFirst;
    if (d < 0 || t < 0) {
      state.SkipWithError(d < 0 ? "the drive failed" : "the tape media failed");
      return;
    }
    direct += d;
    tape += t;
    state.SetIterationTime(t);
  }
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(kStreamBytes);
  state.counters["direct_MiBps"] = bytes / direct / (1 << 20);
  state.counters["tape_MiBps"] = bytes / tape / (1 << 20);
  state.counters["ratio"] = direct / tape;
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

template <class Media>
void BM_TapeWrite(benchmark::State& state) {
  Bench b;
  if (!b.ok) {
    state.SkipWithError("no cartridge");
    return;
  }
  // Both return the seconds taken, or a negative number on failure.
  auto straight = [&b]() -> double {
    auto drive = Bench::DriveAtFileTwo();
    const Clock::time_point start = Clock::now();
    for (size_t done = 0; done < kStreamBytes; done += kBlock) {
      long long count = 0;
      if (!drive || drive->writeData(b.ring.data() + done % kRingBytes, kBlock, count) != 0) return -1;
    }
    return Seconds(start);
  };
  auto throughMedia = [&b]() -> double {
    const Clock::time_point start = Clock::now();
    auto media = b.template Job<Media>(true);
    MediaFSArchiveFileId_t id;
    if (!media || media->Create(&id) != 0) return -1;
    for (size_t done = 0; done < kStreamBytes; done += kBlock) {
      if (media->Write(b.ring.data() + done % kRingBytes, kBlock) != static_cast<int>(kBlock)) return -1;
    }
    if (media->Close() != 0) return -1;
    return Seconds(start);
  };
  Measure(state, straight, throughMedia);
}

template <class Media>
void BM_TapeRead(benchmark::State& state) {
  Bench b;
  // The stream as file 2, then an empty file 3, from a backup through the tape media.
  auto writer = b.ok ? b.template Job<Media>(true) : nullptr;
  MediaFSArchiveFileId_t chunk;
  bool written = writer && writer->Create(&chunk) == 0;
  for (size_t done = 0; written && done < kStreamBytes; done += kBlock) {
    written = writer->Write(b.ring.data() + done % kRingBytes, kBlock) == static_cast<int>(kBlock);
  }
  written = written && writer->Close() == 0 && writer->Create(&chunk) == 0 && writer->Close() == 0;
  writer.reset();
  if (!written) {
    state.SkipWithError("the stream could not be written");
    return;
  }
  std::vector<char> out(kRingBytes);
  auto straight = [&out]() -> double {
    auto drive = Bench::DriveAtFileTwo();
    const Clock::time_point start = Clock::now();
    for (size_t done = 0; done < kStreamBytes; done += kBlock) {
      long long count = 0;
      if (!drive || drive->readData(out.data() + done % kRingBytes, kBlock, count) != 0 ||
          count != static_cast<long long>(kBlock)) {
        return -1;
      }
    }
    return Seconds(start);
  };
  auto throughMedia = [&b, &out]() -> double {
    const Clock::time_point start = Clock::now();
    auto media = b.template Job<Media>(false);
    MediaFSArchiveFileId_t id;
    id.iChunkVersion = 3;
    id.llFileMarkerNumber = 2;
    id.llPhysicalSize = static_cast<long long>(kStreamBytes);
    if (!media || media->Open(&id, true) != 0) return -1;
    for (size_t done = 0; done < kStreamBytes; done += kBlock) {
      if (media->Read(out.data() + done % kRingBytes, kBlock) != static_cast<int>(kBlock)) return -1;
    }
    media->Close();
    return Seconds(start);
  };
  Measure(state, straight, throughMedia);
}

}  // namespace

BENCHMARK_TEMPLATE(BM_TapeWrite, nt_fs_tape)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(6);
BENCHMARK_TEMPLATE(BM_TapeRead, nt_fs_tape)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(6);
BENCHMARK_TEMPLATE(BM_TapeWrite, ndmp_fs_tape)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(6);
BENCHMARK_TEMPLATE(BM_TapeRead, ndmp_fs_tape)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(6);
