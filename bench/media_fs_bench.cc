// Throughput of the frame's data path against a plain memcpy of the same bytes.
//
// A 1 GiB stream moves in pieces of one size from a 16 MiB source ring into 64 KiB blocks, handed
// to a media type that only accepts them (writes) or reports them filled without touching the
// bytes (reads). Pieces of 64 KiB fill whole blocks: the frame hands the caller's buffer through
// and copies nothing (label "hand-through"). Pieces of 60 KiB straddle blocks: media_fs::Write
// copies every byte into its block buffer and media_fs::Read every byte out of its read buffer
// (label "copy"). Pieces of 100,000 bytes take both paths: the bytes that fill a partly filled
// block are copied, a whole block inside a piece is handed through (label "copy and
// hand-through"). The memcpy baselines copy the same pieces once, so the ratio of
// bytes_per_second is the frame's overhead on the copying path, and elsewhere what skipping the
// copy gains.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "MediaFileSystem/zovadAdeveFS.h"

namespace {

constexpr size_t kStreamBytes = size_t{1} << 30;
constexpr size_t kRingBytes = 16 << 20;
constexpr int kBlockKB = 64;

// Where the piece that starts `done` bytes into the stream lies in the ring.
size_t RingOffset(size_t done, size_t piece) { return done % (kRingBytes - piece); }

void Describe(benchmark::State& state, size_t piece) {
  const size_t block = static_cast<size_t>(kBlockKB) * 1024;
  state.SetLabel(piece % block == 0 ? "hand-through" : piece < block ? "copy" : "copy and hand-through");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (kStreamBytes / piece) * piece));
}

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
  const size_t piece = static_cast<size_t>(state.range(0));
  std::vector<char> ring(kRingBytes, 'r');
  std::vector<char> block(piece);
  for (auto _ : state) {
    for (size_t done = 0; done + piece <= kStreamBytes; done += piece) {
      std::memcpy(block.data(), ring.data() + RingOffset(done, piece), piece);
      benchmark::DoNotOptimize(block.data());
      benchmark::ClobberMemory();
    }
  }
  Describe(state, piece);
}

void BM_FrameWrite(benchmark::State& state) {
  const size_t piece = static_cast<size_t>(state.range(0));
  Setup s;
  MediaFSArchiveFileId_t id;
  if (!s.Init(kDataMoverModeBackup) || s.media.Create(&id) != 0) {
    state.SkipWithError("the media object did not initialise");
    return;
  }
  for (auto _ : state) {
    for (size_t done = 0; done + piece <= kStreamBytes; done += piece) {
      if (s.media.Write(s.ring.data() + RingOffset(done, piece), static_cast<long>(piece)) != static_cast<int>(piece)) {
        state.SkipWithError("Write failed");
        return;
      }
    }
  }
  Describe(state, piece);
}

void BM_MemcpyRead(benchmark::State& state) {
  const size_t piece = static_cast<size_t>(state.range(0));
  std::vector<char> block(piece, 'b');
  std::vector<char> ring(kRingBytes);
  for (auto _ : state) {
    for (size_t done = 0; done + piece <= kStreamBytes; done += piece) {
      std::memcpy(ring.data() + RingOffset(done, piece), block.data(), piece);
      benchmark::DoNotOptimize(ring.data());
      benchmark::ClobberMemory();
    }
  }
  Describe(state, piece);
}

void BM_FrameRead(benchmark::State& state) {
  const size_t piece = static_cast<size_t>(state.range(0));
  Setup s;
  MediaFSArchiveFileId_t id;
  id.iChunkVersion = 3;
  id.llPhysicalSize = int64_t{1} << 50;  // the bound never ends the stream
  if (!s.Init(0) || s.media.Open(&id, false) != 0) {
    state.SkipWithError("the media object did not initialise");
    return;
  }
  for (auto _ : state) {
    for (size_t done = 0; done + piece <= kStreamBytes; done += piece) {
      if (s.media.Read(s.ring.data() + RingOffset(done, piece), static_cast<long>(piece)) != static_cast<int>(piece)) {
        state.SkipWithError("Read failed");
        return;
      }
    }
  }
  Describe(state, piece);
}

}  // namespace

// Piece sizes: whole blocks (hand-through), then two that take the copying path.
#define MFS_PIECES ArgName("piece")->Arg(65536)->Arg(61440)->Arg(100000)
BENCHMARK(BM_MemcpyWrite)->MFS_PIECES->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_FrameWrite)->MFS_PIECES->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_MemcpyRead)->MFS_PIECES->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_FrameRead)->MFS_PIECES->Unit(benchmark::kMillisecond)->MinTime(1.0);
