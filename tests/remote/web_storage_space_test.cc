// Space on a cloud volume: the store's free bytes against the low-water mark when a chunk is
// created, the KB left, and the maximum the volume may fill.

#include "platform/media_manager_calls.h"
#include "remote/web_storage_fixture.h"

namespace {

using namespace cloudtest;

constexpr long long kMB = 1LL << 20;

class CloudSpace : public CloudTest {
 protected:
  void SetUp() override { ASSERT_TRUE(UseStore(StoreKind::kFolder)); }

  // The store reports `freeBytes`; a negative figure: it cannot tell.
  void StoreHasFree(long long freeBytes) {
    if (freeBytes >= 0) {
      platform::Faults().SetFreeSpace(root, static_cast<unsigned long long>(freeBytes), 1ULL << 50);
    } else {
      platform::FaultRule rule;
      rule.op = platform::FsOp::FreeSpace;
      rule.times = -1;
      platform::Faults().Add(rule);
    }
  }
};

TEST_F(CloudSpace, ChunksAgainstTheLowWaterMark) {
  struct Case {
    const char* what;
    int lowWaterMarkMB;
    long long freeBytes;  // negative: the store cannot tell
    int create;           // what Create returns for a chunk
    long long kbLeft;     // after Init
  };
  const Case cases[] = {
      {"free space exactly at the mark", 100, 100 * kMB, kMFSNoRoomOnMedia, 100 * 1024},
      {"one byte above the mark", 100, 100 * kMB + 1, 0, 100 * 1024},
      {"unknown free space counts as 2^40 bytes", 100, -1, 0, 1073741824},
      {"unknown free space under a mark of 2^20 MB", 1 << 20, -1, kMFSNoRoomOnMedia, 1073741824},
      {"a negative mark keeps no space", -5, 10, 0, 1},
      {"no free byte with no mark", 0, 0, kMFSNoRoomOnMedia, 1},
  };
  long long chunkId = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ++chunkId;
    platform::ResetAll();
    StoreHasFree(c.freeBytes);
    JobSetup s = Job();
    s.reserve.m_lowWaterMarkMB = c.lowWaterMarkMB;
    auto media = Start(s);
    EXPECT_EQ(media->m_llKBRemaining, c.kbLeft);
    EXPECT_EQ(media->m_llLowWaterMarkMB, std::max(c.lowWaterMarkMB, 0));

    const MediaFSArchiveFileId_t chunk = Id(CHUNK, chunkId);
    EXPECT_EQ(media->Create(&chunk), c.create);
    const bool refused = c.create == kMFSNoRoomOnMedia;
    EXPECT_EQ(media->m_bVolumeFull, refused);
    using Args = std::vector<long long>;
    EXPECT_EQ(MediaManagerLastArgs("markFull"), refused ? Args({42001, 4242}) : Args());
    EXPECT_EQ(MediaManagerLastArgs("setFreeBytesMB"), refused ? Args({(c.freeBytes < 0 ? 1LL << 40 : c.freeBytes) >> 20}) : Args());
    if (refused) {
      EXPECT_EQ(media->m_llKBRemaining, 0);
      EXPECT_FALSE(std::filesystem::exists(VolumePath() + "/CHUNK_" + std::to_string(chunkId)));
      // Trailers are written whatever the space.
      EXPECT_EQ(0, WriteFile(*media, Id(CHUNKMAP_TRAILER, chunkId), "trailer"));
    } else {
      EXPECT_EQ(0, media->Close());
    }
  }
}

TEST_F(CloudSpace, TheVolumeMaximum) {
  struct Case {
    const char* what;
    int maxFillMB;
    long long occupied;  // the volume's bytes before the file
    long long expected;  // GetRemainingSpace while 1 MiB of the file is written
  };
  constexpr long long kFree = 64 * kMB;
  const Case cases[] = {
      {"a maximum of 0 never limits", 0, 1LL << 40, kFree - kMB},
      {"reached exactly by the occupied space and the file", 8, 7 * kMB, 0},
      {"one byte short of the maximum", 8, 7 * kMB - 1, kFree - kMB},
      {"4096 MB shift in 64 bits", 4096, 4095 * kMB, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::ResetAll();
    StoreHasFree(kFree);
    JobSetup s = Job();
    s.reserve.m_maxFillMB = c.maxFillMB;
    auto media = Start(s);
    EXPECT_EQ(media->getMaxDiskSpaceToBeFilled(), c.maxFillMB * kMB);
    media->m_llSpaceOccupied = c.occupied;
    media->m_llPhysicalBytes = kMB;
    EXPECT_EQ(media->GetRemainingSpace(), c.expected);
    EXPECT_EQ(media->m_llKBRemaining, c.expected == 0 ? 0 : kFree / 1024);
  }
}

}  // namespace
