// Link records: their byte order, the object and offset they name, and what the pending copy does
// with each link that follows it.

#include "storeonce_fixture.h"

namespace {

using namespace sotest;

class StoreOnceLinks : public StoreOnceTest {
 protected:
  // A backup media on chunk 300, with chunks 100 and 101 (two data objects each) to link to.
  void SetUp() override {
    for (long long chunk : {100, 101}) {
      WriteDataChunk(chunk, Pattern(100000, static_cast<unsigned>(chunk)));
      std::ofstream(path_append(ChunkFolder(chunk), "2.data"), std::ios::binary) << Pattern(50000, 2);
    }
    media = NewMedia();
    id = ChunkId(300);
    ASSERT_EQ(0, media->Create(&id));
  }

  int Schedule(SILinkHdr link, unsigned int thId = kTHId) {
    int eom = -1;
    return media->ScheduleDataFileCopy(&link, thId, false, &eom);
  }

  std::unique_ptr<HPStoreOnce_FS> media;
  MediaFSArchiveFileId_t id;
};

TEST_F(StoreOnceLinks, ConversionAndTheObjectALinkNames) {
  SILinkHdr link = Link(7, 12, 3, 4096, 500);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&link);
  EXPECT_EQ(3, bytes[144]);  // the number is the top byte of the big-endian field
  EXPECT_EQ(0x01, bytes[0]);
  SILinkHdr host = link;
  HPStoreOnce_FS::ConvertSILinkByteOrder(&host);
  EXPECT_EQ(7u, host.PrimaryRecord.VolumeId);
  EXPECT_EQ(12u, host.PrimaryRecord.ChunkId);
  EXPECT_EQ(500u, host.PrimaryRecord.Size);
  EXPECT_EQ(static_cast<uint32_t>(kMountPathId), host.PrimaryRecord.MountPathId);
  EXPECT_EQ((3ULL << 56) | 4096, host.PrimaryRecord.MetadataOffset);
  EXPECT_EQ(0x01020304u, host.Word0);
  SILinkHdr back = host;
  HPStoreOnce_FS::ConvertSILinkByteOrder(&back);  // the same call turns it back
  EXPECT_EQ(0, std::memcmp(&back, &link, sizeof(link)));
  HPStoreOnce_FS::ConvertSILinkByteOrder(nullptr);

  EXPECT_EQ("R/V_7/CHUNK_12/3.data", HPStoreOnce_FS::GetObjectPathFromSILinkHdr(host, "R"));
  EXPECT_EQ(mountRoot, Access::MountRoot(*media));
  EXPECT_EQ(mountRoot + "/V_7/CHUNK_12/3.data", media->GetObjectPathFromSILinkHdr(host));
  SILinkHdr big = Link(4294967295u, 18446744073709551615ULL, 255, (1ULL << 56) - 1, 1);
  HPStoreOnce_FS::ConvertSILinkByteOrder(&big);
  EXPECT_EQ("R/V_4294967295/CHUNK_18446744073709551615/255.data", HPStoreOnce_FS::GetObjectPathFromSILinkHdr(big, "R"));

  CFSInitParams source;
  std::string path;
  ASSERT_EQ(0, media->GetFSParamsFromSILinkHdr(host, kTHId, source, path));
  EXPECT_EQ(kFSTypeStoreOnce, source.m_Type);
  EXPECT_EQ(mountRoot + "/V_7/CHUNK_12/3.data", path);
  host.PrimaryRecord.MountPathId = 99;  // unknown to the configuration
  path = "unchanged";
  EXPECT_EQ(-1, media->GetFSParamsFromSILinkHdr(host, kTHId, source, path));
  EXPECT_EQ("unchanged", path);
}

// Each call reports its own link's size and raises the physical bytes by it; links of the pending
// copy's chunk must continue it exactly, links of another chunk run it first.
TEST_F(StoreOnceLinks, PendingCopyMergesOnlyLinksThatContinueIt) {
  ASSERT_EQ(100, Schedule(Link(kVolId, 100, 1, 1000, 100)));
  ASSERT_EQ(50, Schedule(Link(kVolId, 100, 1, 1100, 50)));
  EXPECT_EQ(150u, Access::CopySize(*media));
  EXPECT_EQ(150, media->GetDataFileOffset());

  struct Refused {
    const char* what;
    SILinkHdr link;
    unsigned int thId;
  };
  const Refused refused[] = {
      {"a gap of one byte", Link(kVolId, 100, 1, 1151, 10), kTHId},
      {"an overlap", Link(kVolId, 100, 1, 1149, 10), kTHId},
      {"another data object", Link(kVolId, 100, 2, 1150, 10), kTHId},
      {"another installation", Link(kVolId, 100, 1, 1150, 10), kTHId + 1},
  };
  for (const Refused& r : refused) {
    SCOPED_TRACE(r.what);
    media->MediaFSSetLastError(0);
    EXPECT_EQ(-1, Schedule(r.link, r.thId));
    EXPECT_EQ(103, LastError(*media));
    EXPECT_EQ(150u, Access::CopySize(*media));
  }
  EXPECT_EQ(0u, platform::Appliance().CallsOf(platform::ApplianceOp::CopyObject).size());

  // Another chunk, the same chunk id on another volume, another mount path: each runs the copy.
  platform::Config().mountPaths[{kMountPathId + 1, kTHId}] = platform::Config().mountPaths[{kMountPathId, kTHId}];
  ASSERT_EQ(10, Schedule(Link(kVolId, 101, 2, 0, 10)));
  std::filesystem::create_directories(path_append(mountRoot, "V_8/CHUNK_101"));
  std::ofstream(path_append(mountRoot, "V_8/CHUNK_101/1.data"), std::ios::binary) << Pattern(20, 8);
  ASSERT_EQ(20, Schedule(Link(8, 101, 1, 0, 20)));
  ASSERT_EQ(30, Schedule(Link(kVolId, 100, 1, 0, 30, kMountPathId + 1)));
  EXPECT_EQ(3u, platform::Appliance().CallsOf(platform::ApplianceOp::CopyObject).size());
  EXPECT_EQ(100 + 50 + 10 + 20 + 30, media->GetDataFileOffset());
  ASSERT_EQ(0, media->CloseSpecific(0));
  const std::string one = Pattern(100000, 100), two = Pattern(50000, 2);
  EXPECT_EQ(one.substr(1000, 150) + two.substr(0, 10) + Pattern(20, 8) + one.substr(0, 30), ReadFile(DataObject(300)));
}

TEST_F(StoreOnceLinks, RefusedLinks) {
  const size_t callsBefore = platform::Appliance().Calls().size();
  // Reuse is refused before the link is looked at, even a null one.
  int eom = -1;
  EXPECT_EQ(-1, media->ScheduleDataFileCopy(nullptr, kTHId, true, &eom));
  EXPECT_EQ(789, LastError(*media));
  EXPECT_EQ(-1, media->ScheduleDataFileCopy(nullptr, kTHId, false, &eom));
  EXPECT_EQ(109, LastError(*media));
  media->MediaFSSetLastError(0);
  EXPECT_EQ(-1, media->CloneToDataFile(nullptr, 0, &eom));
  EXPECT_EQ(0, LastError(*media));
  EXPECT_EQ(-1, eom);
  EXPECT_EQ(0, media->CopyDataFile());  // nothing pending: nothing called
  EXPECT_EQ(callsBefore, platform::Appliance().Calls().size());

  // A link naming no object: the clone fails and the data object stays as it was.
  std::string data = Pattern(10, 1);
  ASSERT_EQ(10, media->WriteToDataFile(data.data(), 10, &eom));
  SILinkHdr nowhere = Link(kVolId, 999, 1, 0, 100);
  EXPECT_EQ(-1, media->CloneToDataFile(&nowhere, 0, &eom));
  EXPECT_EQ(993, LastError(*media));
  EXPECT_EQ(10, media->GetDataFileOffset());
  // A range past the parent's end clones less than the link covers: a failure with an I/O error
  // (the stand-in reports what it cloned, and the media does not take a short clone for success).
  SILinkHdr past = Link(kVolId, 100, 1, 99990, 100);
  EXPECT_EQ(-1, media->CloneToDataFile(&past, 0, &eom));
  EXPECT_EQ(762, LastError(*media));
  // A copy of a link naming no object fails when it runs (at close), with the copy's error.
  ASSERT_EQ(0, media->CloseSpecific(0));
  id = ChunkId(301);
  ASSERT_EQ(0, media->Create(&id));
  ASSERT_EQ(100, Schedule(nowhere));
  EXPECT_EQ(-1, media->CloseSpecific(0));
  EXPECT_EQ(993, LastError(*media));
  EXPECT_FALSE(Access::CopyPending(*media));
  EXPECT_EQ("", ReadFile(DataObject(301)));
}

// New data and clones that come while a copy is pending run it first and land after the copied
// range; after a copy has run (by the host, or for a link of another chunk) they go to the end of
// the chunk's own data object. Padding is still refused while a copy is pending: it would lie where
// the copy lands.
TEST_F(StoreOnceLinks, NewDataAndClonesAfterACopyLandAfterIt) {
  int eom = -1;
  const std::string c100 = Pattern(100000, 100), c101 = Pattern(100000, 101);
  const std::string data = Pattern(64, 3);
  ASSERT_EQ(64, media->WriteToDataFile(data.data(), 64, &eom));
  ASSERT_EQ(100, Schedule(Link(kVolId, 100, 1, 0, 100)));
  EXPECT_EQ(-1, media->WritePaddingToDataFile(data.data(), 8, &eom));
  EXPECT_EQ(103, LastError(*media));
  ASSERT_EQ(5, media->WriteToDataFile("12345", 5, &eom));
  EXPECT_FALSE(Access::CopyPending(*media));
  EXPECT_EQ(64 + 100 + 5, media->GetDataFileOffset());

  ASSERT_EQ(10, Schedule(Link(kVolId, 101, 1, 0, 10)));
  SILinkHdr clone = Link(kVolId, 100, 1, 500, 20);
  ASSERT_EQ(0, media->CloneToDataFile(&clone, 0, &eom));
  EXPECT_EQ(64 + 100 + 5 + 10 + 20, media->GetDataFileOffset());
  // Write, copy, run the copy, write: the second write goes to the end.
  ASSERT_EQ(1000, Schedule(Link(kVolId, 101, 1, 10, 1000)));
  ASSERT_EQ(0, media->CopyDataFile());
  ASSERT_EQ(5, media->WriteToDataFile("abcde", 5, &eom));
  // A link of another chunk runs the pending copy; a clone follows both copies.
  ASSERT_EQ(30, Schedule(Link(kVolId, 100, 1, 0, 30)));
  ASSERT_EQ(40, Schedule(Link(kVolId, 101, 2, 0, 40)));
  ASSERT_EQ(0, media->CopyDataFile());
  ASSERT_EQ(0, media->CloneToDataFile(&clone, 0, &eom));
  ASSERT_EQ(0, media->CloseSpecific(0));
  EXPECT_EQ(data + c100.substr(0, 100) + "12345" + c101.substr(0, 10) + c100.substr(500, 20) + c101.substr(10, 1000) +
                "abcde" + c100.substr(0, 30) + Pattern(50000, 2).substr(0, 40) + c100.substr(500, 20),
            ReadFile(DataObject(300)));
  EXPECT_EQ(5u, platform::Appliance().CallsOf(platform::ApplianceOp::CopyObject).size());
}

// Once a copy has run, the data object is closed until the next bytes open it again at its end:
// the data offset, and the padding taken from it, still name that end (a padding write moves it),
// so a host that records where the next data lies names the bytes that land there.
TEST_F(StoreOnceLinks, DataOffsetAfterACopyIsWhereTheNextBytesLand) {
  int eom = -1;
  const std::string data = Pattern(1500, 3);
  ASSERT_EQ(1500, media->WriteToDataFile(data.data(), 1500, &eom));
  ASSERT_EQ(500, Schedule(Link(kVolId, 100, 1, 0, 500)));
  EXPECT_EQ(2000, media->GetDataFileOffset());
  ASSERT_EQ(0, media->CopyDataFile());
  EXPECT_EQ(2000, media->GetDataFileOffset());

  Access::SetFixedBlock(*media, true);
  unsigned int pad = 0;
  unsigned long long at = 0;
  ASSERT_EQ(0, media->ShouldWritePadding(pad, &at));
  EXPECT_EQ(2000u, at);
  EXPECT_EQ(4294967295u - 2000u, pad);
  ASSERT_EQ(16, media->WritePaddingToDataFile(std::string(16, '\0').data(), 16, &eom));
  EXPECT_EQ(2016, media->GetDataFileOffset());

  // The end cannot be learned: the offset, and so the padding, fail rather than report 0.
  platform::Appliance().Fail({platform::ApplianceOp::List, "", 1, 2, 1050});
  EXPECT_EQ(-1, media->GetDataFileOffset());
  pad = 77;
  EXPECT_EQ(-1, media->ShouldWritePadding(pad, &at));
  EXPECT_EQ(77u, pad);

  ASSERT_EQ(3, media->WriteToDataFile("abc", 3, &eom));
  EXPECT_EQ(2019, media->GetDataFileOffset());
  ASSERT_EQ(0, media->CloseSpecific(0));
  EXPECT_EQ(data + Pattern(100000, 100).substr(0, 500) + std::string(16, '\0') + "abc", ReadFile(DataObject(300)));
}

// A copy that fails when new data runs it: the data is refused with the copy's error and nothing
// of it lands; the copy stays pending and runs again at close.
TEST_F(StoreOnceLinks, NewDataBehindAFailingCopyIsRefused) {
  int eom = -1;
  ASSERT_EQ(3, media->WriteToDataFile("abc", 3, &eom));
  ASSERT_EQ(100, Schedule(Link(kVolId, 100, 1, 0, 100)));
  platform::Appliance().Fail({platform::ApplianceOp::CopyObject, "", 1, 1, 1041});
  EXPECT_EQ(-1, media->WriteToDataFile("de", 2, &eom));
  EXPECT_EQ(1041, LastError(*media));
  SILinkHdr clone = Link(kVolId, 101, 1, 0, 10);
  platform::Appliance().Fail({platform::ApplianceOp::CopyObject, "", 1, 1, 1042});
  EXPECT_EQ(-1, media->CloneToDataFile(&clone, 0, &eom));
  EXPECT_EQ(1042, LastError(*media));
  EXPECT_TRUE(Access::CopyPending(*media));
  EXPECT_EQ("abc", ReadFile(DataObject(300)));
  ASSERT_EQ(0, media->CloseSpecific(0));
  EXPECT_EQ("abc" + Pattern(100000, 100).substr(0, 100), ReadFile(DataObject(300)));
}

// Only the data object that the chunk made (or found empty) is opened again to append: a new
// chunk whose object exists still refuses to write or clone into it, also after a copy, which
// adds at the end of what it finds.
TEST_F(StoreOnceLinks, ANewChunkRefusesAnExistingObject) {
  ASSERT_EQ(0, media->CloseSpecific(0));
  const std::string c100 = Pattern(100000, 100);
  const struct {
    const char* what;
    std::string before;
    bool copyFirst;
    bool taken;
  } cases[] = {
      {"write or clone into an object of another", "earlier", false, false},
      {"after a copy into an object of another", "earlier", true, false},
      {"after a copy into an empty object", "", true, true},
  };
  long long chunkId = 400;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::create_directories(ChunkFolder(chunkId));
    std::ofstream(DataObject(chunkId), std::ios::binary) << c.before;
    id = ChunkId(chunkId);
    ASSERT_EQ(0, media->Create(&id));
    std::string expected = c.before;
    if (c.copyFirst) {
      ASSERT_EQ(10, Schedule(Link(kVolId, 100, 1, 0, 10)));
      ASSERT_EQ(0, media->CopyDataFile());
      expected += c100.substr(0, 10);
    }
    int eom = -1;
    SILinkHdr clone = Link(kVolId, 100, 1, 20, 5);
    if (c.taken) {
      EXPECT_EQ(3, media->WriteToDataFile("new", 3, &eom));
      EXPECT_EQ(0, media->CloneToDataFile(&clone, 0, &eom));
      expected += "new" + c100.substr(20, 5);
    } else {
      EXPECT_EQ(-1, media->WriteToDataFile("new", 3, &eom));
      EXPECT_EQ(975, LastError(*media));
      media->MediaFSSetLastError(0);
      EXPECT_EQ(-1, media->CloneToDataFile(&clone, 0, &eom));
      EXPECT_EQ(975, LastError(*media));
    }
    ASSERT_EQ(0, media->CloseSpecific(0));
    EXPECT_EQ(expected, ReadFile(DataObject(chunkId)));
    ++chunkId;
  }
}

}  // namespace
