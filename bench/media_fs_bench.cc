// Throughput of the frame's data path against a plain memcpy of the same bytes.
//
// A 1 GiB stream moves in 64 KiB pieces from a 16 MiB source ring. media_fs::Write copies each
// piece into its block buffer and hands the block to a media type that only accepts it;
// media_fs::Read copies each piece out of its read buffer, which the media type refills without
// touching the bytes. The memcpy baselines copy the same pieces between the same kinds of
// buffers, so the ratio of bytes_per_second is the frame's overhead.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "MediaFileSystem/zovadAdeveFS.h"

namespace {

constexpr size_t kStreamBytes = size_t{1} << 30;
constexpr size_t kPiece = 64 * 1024;
constexpr size_t kRingBytes = 16 << 20;
constexpr int kBlockKB = 64;

// A media type whose WriteToMedia takes exactly one block and whose ReadFromMedia reports a block
// already in place: the frame's own cost is all that is measured.
class BlockSinkMedia : public media_fs {
 public:
  explicit BlockSinkMedia(_JobContext* ctx) : media_fs(ctx) {}
  int InitSpecific() override { return 0; }
  int CreateSpecific(const MediaFSArchiveFileId_t*) override { return 0; }
  int OpenSpecific(const MediaFSArchiveFileId_t*) override { return 0; }
  int CloseSpecific(long) override { return 0; }
  int WriteToMedia(const char* buf, long len, int*) override {
    benchmark::DoNotOptimize(buf);
    return len == static_cast<long>(m_ulBlockSize) ? static_cast<int>(len) : -1;
  }
  int ReadFromMedia(char* buf, long len) override {
    benchmark::DoNotOptimize(buf);
    return static_cast<int>(len);
  }
  long GetMarkType() const override { return 0; }
  int UpdateNumPhysicalBytes(long long) override { return 0; }
  int getFreeSpaceFromMedia(unsigned long long& bytes) override {
    bytes = 0;
    return -1;
  }
  long long GetRemainingSpace() override { return 0; }
  int InitCatalogOperationOnMedia(int) override { return 0; }
};

struct Setup {
  _JobContext job{1, 0};
  MLMMessageInstance mlm;
  OZMMreserveMount reserve;
  BlockSinkMedia media{&job};
  std::vector<char> ring = std::vector<char>(kRingBytes, 'r');

  bool Init(int mode) {
    reserve.m_blockSizeKB = kBlockKB;
    reserve.m_freeKB = 1 << 30;
    MediaFsInitParams p;
    p.iVolId = 1;
    p.strPath = "/bench";
    p.pMlm = &mlm;
    p.pReserveMount = &reserve;
    p.iDataMoverMode = mode;
    return media.Init(p, false) == 0;
  }
};

void BM_MemcpyWrite(benchmark::State& state) {
  std::vector<char> ring(kRingBytes, 'r');
  std::vector<char> block(kPiece);
  for (auto _ : state) {
    for (size_t done = 0; done < kStreamBytes; done += kPiece) {
      std::memcpy(block.data(), ring.data() + done % kRingBytes, kPiece);
      benchmark::DoNotOptimize(block.data());
      benchmark::ClobberMemory();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamBytes));
}

void BM_FrameWrite(benchmark::State& state) {
  Setup s;
  MediaFSArchiveFileId_t id;
  if (!s.Init(kDataMoverModeBackup) || s.media.Create(&id) != 0) {
    state.SkipWithError("the media object did not initialise");
    return;
  }
  for (auto _ : state) {
    for (size_t done = 0; done < kStreamBytes; done += kPiece) {
      if (s.media.Write(s.ring.data() + done % kRingBytes, kPiece) != static_cast<int>(kPiece)) {
        state.SkipWithError("Write failed");
        return;
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamBytes));
}

void BM_MemcpyRead(benchmark::State& state) {
  std::vector<char> block(kPiece, 'b');
  std::vector<char> ring(kRingBytes);
  for (auto _ : state) {
    for (size_t done = 0; done < kStreamBytes; done += kPiece) {
      std::memcpy(ring.data() + done % kRingBytes, block.data(), kPiece);
      benchmark::DoNotOptimize(ring.data());
      benchmark::ClobberMemory();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamBytes));
}

void BM_FrameRead(benchmark::State& state) {
  Setup s;
  MediaFSArchiveFileId_t id;
  id.iChunkVersion = 3;
  id.llPhysicalSize = int64_t{1} << 50;  // the bound never ends the stream
  if (!s.Init(0) || s.media.Open(&id, false) != 0) {
    state.SkipWithError("the media object did not initialise");
    return;
  }
  for (auto _ : state) {
    for (size_t done = 0; done < kStreamBytes; done += kPiece) {
      if (s.media.Read(s.ring.data() + done % kRingBytes, kPiece) != static_cast<int>(kPiece)) {
        state.SkipWithError("Read failed");
        return;
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamBytes));
}

}  // namespace

BENCHMARK(BM_MemcpyWrite)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_FrameWrite)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_MemcpyRead)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_FrameRead)->Unit(benchmark::kMillisecond)->MinTime(1.0);
