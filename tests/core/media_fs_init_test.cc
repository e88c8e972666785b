// Construction and Init: block size, buffers, reader mode, refused and repeated initialisation.
// Re-initialisation of an object with buffered bytes is in media_fs_reinit_test.cc.

#include <functional>

#include "frame_fixture.h"

// Allocations far beyond the machine fail with a null pointer instead of stopping the test.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace {

using platform::Config;

TEST_F(FrameTest, FreshObjectIsNotInitialised) {
  EXPECT_FALSE(media->isInitialized());
  EXPECT_EQ(-1, media->getBlockSize());
  EXPECT_FALSE(media->GetCloseChunkFlag());
  EXPECT_EQ(0, media->GetCurrentTransferCount());
  EXPECT_EQ(0, media->MediaFSGetLastError());
  EXPECT_EQ(-1, media->GetMagneticVolumeSize());
  EXPECT_EQ(1024, media->GetTrailerSize());
  EXPECT_EQ(1u, platform::LogCount("MediaFS Constructor Invoked", 2));

  // Nothing was initialised, so Create and Open fail before reaching the media.
  MediaFSArchiveFileId_t id = ChunkId();
  EXPECT_EQ(-1, media->Create(&id));
  EXPECT_EQ(104, media->MediaFSGetLastError());
  EXPECT_EQ(-1, media->Open(&id, false));
  EXPECT_EQ(0, media->openCalls);
  EXPECT_TRUE(media->files.empty());
}

TEST_F(FrameTest, ChunkWriteTimeIsTheLowWordAsSigned) {
  media->m_llWriteTime = (1LL << 32) + 5;
  EXPECT_EQ(5, media->GetChunkWriteTime());
  media->m_llWriteTime = 0x80000000LL;
  EXPECT_EQ(INT32_MIN, media->GetChunkWriteTime());
}

struct InitCase {
  const char* name;
  std::function<void(FrameTest&, MediaFsInitParams&, MemoryMedia&)> setup;
  int rc;
  long long lastError;
  unsigned long long block;
  unsigned long long writeBuf;
  unsigned long long readBuf;
};

class InitTable : public FrameTest, public ::testing::WithParamInterface<InitCase> {};

TEST_P(InitTable, SizesAndResult) {
  const InitCase& c = GetParam();
  MediaFsInitParams p = Params();
  c.setup(*this, p, *media);
  EXPECT_EQ(c.rc, media->Init(p, false));
  EXPECT_EQ(c.lastError, media->MediaFSGetLastError());
  EXPECT_EQ(c.block, media->m_ulBlockSize);
  if (c.rc == 0) {
    EXPECT_EQ(c.writeBuf, media->m_ulWriteBufSize);
    EXPECT_EQ(c.readBuf, media->m_ulReadBufSize);
    EXPECT_EQ(0u, media->m_ulWriteBufSize % media->m_ulBlockSize);
    EXPECT_EQ(1, media->initSpecificCalls);
  } else {
    // The frame's own failures return -1 before the media is asked; others are the media's.
    EXPECT_EQ(c.rc == -1 ? 0 : 1, media->initSpecificCalls);
  }
}

const auto kNoSetup = [](FrameTest&, MediaFsInitParams&, MemoryMedia&) {};

INSTANTIATE_TEST_SUITE_P(
    Init, InitTable,
    ::testing::Values(
        InitCase{"BlockFromReservation", kNoSetup, 0, 0, 65536, 65536, 65536},
        InitCase{"BlockAskedTwiceAfterMinusOne",
                 [](FrameTest&, MediaFsInitParams&, MemoryMedia& m) { m.blockSizeAnswers = {-1, 256}; },
                 0, 0, 262144, 262144, 262144},
        InitCase{"NoBlockSize",
                 [](FrameTest&, MediaFsInitParams&, MemoryMedia& m) { m.blockSizeAnswers = {0}; }, -1,
                 30043, 0, 0, 0},
        InitCase{"MinusOneTwice",
                 [](FrameTest&, MediaFsInitParams&, MemoryMedia& m) { m.blockSizeAnswers = {-1, -1}; },
                 -1, 30043, 0, 0, 0},
        InitCase{"NegativeBlockSize",
                 [](FrameTest&, MediaFsInitParams&, MemoryMedia& m) { m.blockSizeAnswers = {-4}; }, -1,
                 30043, 0, 0, 0},
        InitCase{"ConfiguredBuffersInWholeBlocks",
                 [](FrameTest&, MediaFsInitParams&, MemoryMedia&) {
                   Config().SetNumber("ZovadAdeve", "dwWriteBufferKB", 200);
                   Config().SetNumber("ZovadAdeve", "dwReadBufferKB", 1024);
                 },
                 0, 0, 65536, 196608, 1048576},
        InitCase{"ConfiguredBuffersBelowOneBlock",
                 [](FrameTest&, MediaFsInitParams&, MemoryMedia&) {
                   Config().SetNumber("ZovadAdeve", "dwWriteBufferKB", 16);
                   Config().SetNumber("ZovadAdeve", "dwReadBufferKB", 16);
                 },
                 0, 0, 65536, 65536, 65536},
        InitCase{"ZeroWriteBufferKeepsOneBlock",
                 [](FrameTest&, MediaFsInitParams&, MemoryMedia&) {
                   Config().SetNumber("ZovadAdeve", "dwWriteBufferKB", 0);
                 },
                 0, 0, 65536, 65536, 65536},
        InitCase{"LargeReadBufferNeverBelowABlock",
                 [](FrameTest& t, MediaFsInitParams&, MemoryMedia& m) {
                   t.reserve.m_blockSizeKB = 1024;
                   m.m_bLargeReadBuffer = true;
                 },
                 0, 0, 1048576, 1048576, 1048576},
        InitCase{"ReaderModeIgnoresConfiguration",
                 [](FrameTest&, MediaFsInitParams& p, MemoryMedia&) {
                   p.iMediaType = kMediaTypeReader;
                   Config().SetNumber("ZovadAdeve", "dwWriteBufferKB", 256);
                   Config().SetNumber("ZovadAdeve", "dwReadBufferKB", 256);
                 },
                 0, 0, 32768, 32768, 32768},
        InitCase{"ReaderModeLargeReadBuffer",
                 [](FrameTest&, MediaFsInitParams& p, MemoryMedia& m) {
                   p.iMediaType = kMediaTypeReader;
                   m.m_bLargeReadBuffer = true;
                 },
                 0, 0, 32768, 32768, 524288},
        InitCase{"LogonFails",
                 [](FrameTest&, MediaFsInitParams&, MemoryMedia&) { platform::Identity().logonFailures = 1; },
                 -1, 751, 0, 0, 0},
        InitCase{"NoManagementServer",
                 [](FrameTest&, MediaFsInitParams&, MemoryMedia&) { Config().hubmasterHostName.clear(); },
                 -1, 0, 0, 0, 0},
        InitCase{"BuffersCannotBeAllocated",
                 [](FrameTest&, MediaFsInitParams&, MemoryMedia&) {
                   Config().SetNumber("ZovadAdeve", "dwWriteBufferKB", 0xFFFFFFFFLL);  // 4 TiB
                 },
                 -1, 104, 65536, 0, 0},
        InitCase{"InitSpecificFails",
                 [](FrameTest&, MediaFsInitParams&, MemoryMedia& m) { m.initSpecificResult = -3; }, -3, 0,
                 65536, 65536, 65536}),
    [](const ::testing::TestParamInfo<InitCase>& info) { return std::string(info.param.name); });

TEST_F(FrameTest, InitReadsVolumeStateFromTheReservation) {
  struct Case {
    const char* name;
    std::function<void(FrameTest&, MemoryMedia&)> setup;
    long long kbRemaining;
    long long writeCachedFM;
    long long readCachedFM;
  };
  const Case cases[] = {
      {"FreeSpaceFromMedia", [](FrameTest&, MemoryMedia& m) { m.freeSpaceResult = 0; m.freeBytes = 10 << 20; },
       10240, -1, -1},
      {"FreeSpaceFromReservation", [](FrameTest&, MemoryMedia&) {}, 2048, -1, -1},
      {"NoFreeSpaceAnywhereStartsAtOne", [](FrameTest& t, MemoryMedia&) { t.reserve.m_freeKB = 0; }, 1, -1, -1},
      {"WriteCachedMarker",
       [](FrameTest& t, MemoryMedia&) {
         t.reserve.m_cachedFileMark = 12;
         t.reserve.m_cachedFileMarkKind = 1;
       },
       2048, 12, -1},
      {"ReadCachedMarker",
       [](FrameTest& t, MemoryMedia&) {
         t.reserve.m_cachedFileMark = 13;
         t.reserve.m_cachedFileMarkKind = 2;
       },
       2048, -1, 13},
      {"CachingDisabled",
       [](FrameTest& t, MemoryMedia&) {
         t.reserve.m_cachedFileMark = 12;
         t.reserve.m_cachedFileMarkKind = 1;
         Config().fileMarkCachingDisabled = 1;
       },
       2048, -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    reserve = OZMMreserveMount();
    reserve.m_numFiles = 5;
    reserve.m_freeKB = 2048;
    media = std::make_unique<MemoryMedia>(&job);
    c.setup(*this, *media);
    ASSERT_EQ(0, media->Init(Params(), false));
    EXPECT_EQ(c.kbRemaining, media->m_llKBRemaining);
    EXPECT_EQ(c.writeCachedFM, media->m_llWriteCachedFM);
    EXPECT_EQ(c.readCachedFM, media->m_llReadCachedFM);
    EXPECT_EQ(5, media->GetNumFiles());
    EXPECT_EQ(-1, media->GetFileNumber());
  }
}

TEST_F(FrameTest, RestoreTransferSwitchIsReadOnlyForDriveZero) {
  Config().SetNumber("ZovadAdeve", "UpdDataTransferInfoForRestores", 0);
  ASSERT_EQ(0, media->Init(Params(1, kDriveId), false));
  EXPECT_TRUE(media->m_bUpdTransferOnRestore);

  auto other = std::make_unique<MemoryMedia>(&job);
  ASSERT_EQ(0, other->Init(Params(1, 0), false));
  EXPECT_FALSE(other->m_bUpdTransferOnRestore);
}

TEST_F(FrameTest, RefusedSecondInitChangesNothing) {
  InitBackup();
  MediaFsInitParams second = Params();
  second.iVolId = 8;
  second.strPath = "/mnt/other";
  reserve.m_blockSizeKB = 128;

  EXPECT_EQ(-1, media->Init(second, false));
  EXPECT_EQ(30042, media->MediaFSGetLastError());
  EXPECT_EQ("Trying to re-initialize an already initialized media", media->m_strLastErrorMsg);
  EXPECT_EQ(kVolId, media->GetVolId());
  EXPECT_STREQ("/mnt/mp1", media->GetPath());
  EXPECT_EQ(kBlock, media->GetVolBlockSize());
  EXPECT_EQ(1, media->initSpecificCalls);
  EXPECT_EQ(1u, platform::LogCount("Media FS Init method had already been invoked."));
}

TEST_F(FrameTest, ReaderModeMayBeInitialisedAgain) {
  ASSERT_EQ(0, media->Init(Params(kMediaTypeReader), false));
  EXPECT_FALSE(media->isInitialized());
  EXPECT_EQ(nullptr, media->m_pVolInfo);
  ASSERT_EQ(0, media->Init(Params(kMediaTypeReader), false));
  EXPECT_EQ(2, media->initSpecificCalls);
  EXPECT_EQ(32768u, media->GetVolBlockSize());
}

}  // namespace
