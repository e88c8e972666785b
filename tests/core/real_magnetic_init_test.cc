// The disk media object: its construction from the mount path, its share of Init, the reserve and
// maximum fill read from the reservation, the remaining space and re-initialisation.

#include <cerrno>

#include "disk_media_fixture.h"

namespace {

using platform::FaultRule;
using platform::Faults;
using platform::FsOp;

class RealMagneticInitTest : public DiskMediaTest {};

TEST_F(RealMagneticInitTest, SpaceCheckIntervalFromConfiguration) {
  struct Case {
    bool present;
    long long megabytes;
    unsigned long long interval;
  };
  const Case cases[] = {
      {false, 0, 26214400}, {true, 25, 26214400}, {true, 26, 27262976}, {true, 0, 26214400}, {true, -4, 26214400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.megabytes);
    platform::ResetAll();
    if (c.present) platform::Config().SetNumber("ZovadAdeve", "nSpaceCheckLimitMB", c.megabytes);
    auto media = Make();
    EXPECT_EQ(c.interval, media->m_ullSpaceCheckLimit);
    EXPECT_EQ(c.interval != 26214400, platform::LogContains("DiskSpaceCheckLimit Set to " + std::to_string(c.interval)));
  }
}

TEST_F(RealMagneticInitTest, NoLogonFlagDecidesWhetherTheMountPathUserIsSetUp) {
  auto withUser = Make(0);
  EXPECT_EQ(0, withUser->m_iCtorFlag);
  EXPECT_EQ("dom\\backup", withUser->m_LoggedOnUser.GetDomainAndUser());
  auto without = Make(1);
  EXPECT_EQ(1, without->m_iCtorFlag);
  EXPECT_EQ("", without->m_LoggedOnUser.GetDomainAndUser());
}

TEST_F(RealMagneticInitTest, InitReadsTheFreeSpaceInABackupOnly) {
  auto backup = Backup();
  EXPECT_EQ(static_cast<long long>(kFreeBytes >> 10), backup->m_llKBRemaining);
  ASSERT_NE(nullptr, backup->m_pGenericFS);
  ASSERT_NE(nullptr, backup->m_pFile);

  auto restore = Restore();
  EXPECT_EQ(1, restore->m_llKBRemaining);
}

TEST_F(RealMagneticInitTest, FreeSpaceFailureKeepsTheReservationsFigure) {
  reserve.m_freeKB = 777;
  Faults().Add(FaultRule{FsOp::FreeSpace, "", 1, -1, EACCES});
  auto media = Backup();
  EXPECT_EQ(777, media->m_llKBRemaining);
  unsigned long long bytes = 5;
  EXPECT_EQ(-1, media->getFreeSpaceFromMedia(bytes));
  EXPECT_EQ(0u, bytes);
  EXPECT_EQ(996, media->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("RealMagneticFS::getFreeSpaceFromMedia: Cannot get free space on path [" +
                                    mountPath + "]"));
  // A chunk is still created: the reserve cannot be tested.
  const MediaFSArchiveFileId_t id = Id(CHUNK, 1);
  EXPECT_EQ(0, media->Create(&id));
}

TEST_F(RealMagneticInitTest, StorageWithoutInterfacesFailsInit) {
  CFSInitParams params;
  params.m_Type = 3;  // no file-system layer for it
  DiskMedia media(&job, params, 1);
  EXPECT_EQ(-1, media.Init(Params(0), false));
  EXPECT_EQ(124, media.MediaFSGetLastError());
}

TEST_F(RealMagneticInitTest, ReserveAndMaximumFillFromTheReservation) {
  struct Case {
    int lowWaterMarkMB, maxFillMB;
    long long reserveMB, maxFillBytes;
  };
  const Case cases[] = {{10, 0, 50, 0}, {50, 0, 50, 0}, {51, 3, 51, 3 * 1048576LL}, {-7, 0, 50, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lowWaterMarkMB);
    reserve.m_lowWaterMarkMB = c.lowWaterMarkMB;
    reserve.m_maxFillMB = c.maxFillMB;
    auto media = Backup();
    EXPECT_EQ(0, media->initializeMountPathInfo());
    EXPECT_EQ(c.reserveMB, media->m_llReserveMB);
    EXPECT_EQ(c.maxFillBytes, media->m_llMaxSpaceToFill);
  }
}

TEST_F(RealMagneticInitTest, RemainingSpace) {
  struct Case {
    long long maxFill, occupied, physical, kbRemaining;
    long long remaining, kbAfter;
  };
  const Case cases[] = {
      {0, 0, 0, 0, 0, 0},                   // nothing known
      {0, 0, 1000, 10, 10 * 1024 - 1000, 10},  // no maximum
      {5000, 3000, 2000, 10, 0, 0},         // the maximum is filled
      {5000, 3000, 1999, 10, 10 * 1024 - 1999, 10},
  };
  auto media = Backup();
  for (const Case& c : cases) {
    media->m_llMaxSpaceToFill = c.maxFill;
    media->m_llSpaceOccupied = c.occupied;
    media->m_llPhysicalBytes = c.physical;
    media->m_llKBRemaining = c.kbRemaining;
    EXPECT_EQ(c.remaining, media->GetRemainingSpace());
    EXPECT_EQ(c.kbAfter, media->m_llKBRemaining);
  }
}

TEST_F(RealMagneticInitTest, ReInitializationOnlyBetweenWrites) {
  auto media = Backup();
  EXPECT_EQ(0, media->ReInitializeMedia());
  const MediaFSArchiveFileId_t id = Id(CHUNK, 1);
  ASSERT_EQ(0, media->Create(&id));
  EXPECT_EQ(-1, media->ReInitializeMedia());
  ASSERT_EQ(0, media->Close());
  EXPECT_EQ(-1, media->ReInitializeMedia()) << "the object has written an archive file";
}

TEST_F(RealMagneticInitTest, FirstCreateTakesTheVolumesFileCount) {
  auto media = Backup();
  EXPECT_EQ(-1, media->m_llFileNumber);
  const MediaFSArchiveFileId_t id = Id(CHUNK, 1);
  ASSERT_EQ(0, media->Create(&id));
  EXPECT_EQ(5, media->m_llFileNumber);
  EXPECT_EQ(6, media->m_llNumFiles);
}

// The impersonation scope fails: the archive file is neither created nor closed, and the job is told.
TEST_F(RealMagneticInitTest, ImpersonationFailureReachesTheJob) {
  auto media = Backup();
  const MediaFSArchiveFileId_t id = Id(CHUNK, 1);
  platform::Identity().impersonateThrows = 1;
  EXPECT_EQ(-1, media->Create(&id));
  EXPECT_EQ(751, media->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("RealMagneticFS::CreateSpecific: Caught exception in impersonation"));
  EXPECT_TRUE(MountPathFiles().empty());
  ASSERT_EQ(1u, platform::Jobs().events.size());
  EXPECT_EQ("Error occurred in Magnetic Media, Path [" + mountPath +
                "]. User impersonation failure. User impersonation failed.",
            media->m_strLastErrorMsg);

  ASSERT_EQ(0, media->Create(&id));
  platform::Identity().impersonateThrows = 1;
  EXPECT_EQ(-1, media->Close());
  EXPECT_TRUE(platform::LogContains("RealMagneticFS::CloseSpecific: Caught exception in impersonation"));
}

TEST_F(RealMagneticInitTest, DestructorFlushesAChunkLeftOpen) {
  {
    auto media = Backup();
    const MediaFSArchiveFileId_t id = Id(CHUNK, 1);
    ASSERT_EQ(0, media->Create(&id));
    const std::string block = FrameTest::Pattern(65536);
    ASSERT_EQ(65536, media->Write(block.data(), block.size()));
    EXPECT_EQ(0, Faults().Calls(FsOp::Flush));
  }
  EXPECT_EQ(1, Faults().Calls(FsOp::Flush, "CHUNK_1"));
  EXPECT_EQ(65536, FileSize(Path("CHUNK_1")));
}

}  // namespace
