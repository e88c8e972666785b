// The appliance media's chunk: object names, space figures, volume marking, the padding rule and
// the chunk metadata index.

#include <fcntl.h>

#include <climits>
#include <functional>

#include "storeonce_fixture.h"

namespace {

using namespace sotest;
using platform::ApplianceOp;

class StoreOnceChunk : public StoreOnceTest {};

TEST_F(StoreOnceChunk, MountPathsAndObjectNames) {
  const struct {
    const char* path;
    const char* root;
  } roots[] = {
      {"/lib/OZ_MAGNETIC/V_7/CHUNK_9", "/lib/OZ_MAGNETIC"},
      {"/lib/V_7/CHUNK_9", ""},
      {"/a/OZ_MAGNETIC/b/OZ_MAGNETIC/V_1", "/a/OZ_MAGNETIC"},
      {"OZ_MAGNETIC", "OZ_MAGNETIC"},
      {"", ""},
  };
  for (const auto& r : roots) EXPECT_EQ(r.root, HPStoreOnce_FS::GetMountPath(r.path)) << r.path;
  EXPECT_EQ("", HPStoreOnce_FS::GetMountPath(nullptr));

  auto media = NewMedia();
  MediaFSArchiveFileId_t id = ChunkId(9);
  ASSERT_EQ(0, media->Create(&id));
  const std::string chunk = volumePath + "/CHUNK_9";
  EXPECT_EQ(chunk, Access::ChunkPath(*media));
  EXPECT_EQ(chunk + "/.meta", Access::MetaDataPath(*media));
  EXPECT_EQ(chunk + "/.idx", Access::IndexPath(*media));
  EXPECT_EQ(chunk + "/1.data", Access::DataPath(*media));
  EXPECT_EQ(mountRoot, Access::MountRoot(*media));
  EXPECT_FALSE(std::filesystem::exists(chunk));  // nothing made yet
}

TEST_F(StoreOnceChunk, CreateOpenAndFileNumbers) {
  auto media = NewMedia();
  MediaFSArchiveFileId_t id = ChunkId(9);
  Access::SetFileNumber(*media, -1);
  EXPECT_EQ(0, media->CreateSpecific(&id));
  EXPECT_EQ(0, media->GetFileNumber());
  const long long number = 5;
  Access::SetFileNumber(*media, number);
  EXPECT_EQ(0, media->CreateSpecific(&id));
  EXPECT_EQ(number, media->GetFileNumber());
  for (uint32_t type : {MEDIA_HEADER, MEDIA_TRAILER, CHUNKMAP_TRAILER}) {
    MediaFSArchiveFileId_t other = ChunkId(9, type);
    EXPECT_EQ(-1, media->CreateSpecific(&other));
    EXPECT_EQ(0, media->OpenSpecific(&other));  // nothing opened
  }
  EXPECT_TRUE(platform::LogContains("Unknown archfile data type [5]."));
  EXPECT_EQ(0, media->CloseSpecific(0));

  WriteDataChunk(9, "data");
  id.bChunkReuse = true;
  EXPECT_EQ(-1, media->OpenSpecific(&id));
  EXPECT_TRUE(platform::LogContains("Cannot reuse chunk."));
  id.bChunkReuse = false;
  EXPECT_EQ(0, media->OpenSpecific(&id));
  EXPECT_EQ(number, media->GetFileNumber());
  EXPECT_EQ(0, media->CloseSpecific(0));
  MediaFSArchiveFileId_t absent = ChunkId(10);
  EXPECT_EQ(-1, media->OpenSpecific(&absent));
  EXPECT_EQ(993, LastError(*media));

  // A record of another storage type is reported and kept.
  CFSInitParams disk;
  HPStoreOnce_FS wrong(&job, disk);
  EXPECT_TRUE(platform::LogContains("FSInitParams.iType == FSTYPE_HPSTOREONCE"));
}

TEST_F(StoreOnceChunk, RemainingSpace) {
  const struct {
    const char* what;
    int mode;
    int maxMB;
    long long occupied, physical;
    long long remaining;
  } cases[] = {
      {"no maximum, backup", kDataMoverModeBackup, 0, 0, 0, LLONG_MAX},
      {"no maximum, restore", 2, 0, 0, 0, 0},
      {"4096 MB", kDataMoverModeBackup, 4096, 0, 0, 4294967296LL},
      {"at the maximum", 2, 10, 5 * 1048576LL, 5 * 1048576LL, 0},
      {"one byte below", 2, 10, 5 * 1048576LL, 5 * 1048576LL - 1, 1},
      {"past the maximum", 2, 10, 11 * 1048576LL, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    reserve.m_maxFillMB = c.maxMB;
    auto media = NewMedia(c.mode);
    EXPECT_EQ(static_cast<long long>(c.maxMB) * 1048576LL, media->getMaxDiskSpaceToBeFilled());
    Access::SetSpace(*media, c.occupied, c.physical);
    platform::ResetLogs();
    EXPECT_EQ(c.remaining, media->GetRemainingSpace());
    EXPECT_EQ(c.maxMB > 0 && c.remaining == 0,
              platform::LogContains("Storage will be marked full as used space"));
  }
}

TEST_F(StoreOnceChunk, VolumeMarkingAndParameters) {
  auto media = NewMedia();
  EXPECT_EQ(0, media->MarkVolumeFull(7, 5));
  EXPECT_EQ((std::vector<long long>{42001, job.jobId}), MediaManagerLastArgs("markFull"));
  EXPECT_EQ(0, media->MarkVolumeFullOnErr(FXErrorUtil::ErrorMM(FX_LOCATION, 81157), 81158));
  EXPECT_EQ(1u, platform::MediaManager().Count("markFull"));
  HPStoreOnce_FS uninitialised(&job, params);
  EXPECT_EQ(-1, uninitialised.MarkVolumeFull(0, 0));

  reserve.m_userName = "u";
  reserve.m_password = "p";
  reserve.m_mountPathId = 44;
  CFSInitParams p;
  EXPECT_EQ(0, HPStoreOnce_FS::ConstructFSInitParams(nullptr, 5, "c", p));
  EXPECT_EQ(0, p.m_Param64);
  EXPECT_EQ(0, HPStoreOnce_FS::ConstructFSInitParams(&reserve, 5, nullptr, p));
  EXPECT_EQ(5, p.m_Param64);
  EXPECT_EQ("", p.m_ClientName);
  EXPECT_EQ("u", p.m_User.m_UserName);
  EXPECT_EQ("p", p.m_User.m_Password);
  EXPECT_EQ(44, p.m_MountPathId);

  // The slots that answer a constant.
  std::string text = "kept";
  unsigned long long value = 3;
  long long offset = 4;
  EXPECT_EQ(0, media->GetMarkType());
  EXPECT_EQ(0, media->UpdateNumPhysicalBytes(10));
  EXPECT_EQ(0, media->getFreeSpaceFromMedia(value));
  EXPECT_EQ(0, media->GetTavrixVersionFromChunkMapTrailer(1, text));
  EXPECT_EQ(0, media->GetMetaDataSeekOffset(1, 2, offset));
  EXPECT_EQ(-1, media->InitCatalogOperationOnMedia(0));
  EXPECT_EQ(-1, media->StartDataFile(1, 2, 3));
  EXPECT_EQ(-1, media->StartDataFile2(1, nullptr, nullptr));
  EXPECT_EQ(-1, media->EndDataFile());
  EXPECT_EQ(-1, media->OpenDataFile(static_cast<char*>(nullptr)));
  EXPECT_EQ(-1, media->OpenDataFile2("x", 1));
  EXPECT_EQ(-1, media->ReadFromNonSIFile(nullptr, 1));
  EXPECT_EQ(-1, media->ReInitializeMedia());
  EXPECT_EQ("kept", text);
  EXPECT_EQ(3u, value);
  EXPECT_EQ(4, offset);
  EXPECT_EQ(0, media->GetFileOffset(3));
  EXPECT_EQ(0, media->GetFileOffset(1));  // no data object open: 0, not -1
}

// The padding rule, with the fixed-block flag set through the seam (no operation sets it).
TEST_F(StoreOnceChunk, PaddingOfFixedBlockData) {
  WriteDataChunk(50, "x");
  auto media = NewMedia(2);
  MediaFSArchiveFileId_t id = ChunkId(50);
  ASSERT_EQ(0, media->Open(&id, false));
  unsigned int pad = 77;
  EXPECT_EQ(0, media->ShouldWritePadding(pad, nullptr));
  EXPECT_EQ(0u, pad);
  EXPECT_FALSE(platform::LogContains("fixed block data stream"));  // the configuration is not read

  Access::SetFixedBlock(*media, true);
  pad = 77;
  EXPECT_EQ(0, media->ShouldWritePadding(pad, nullptr));  // no data object open yet
  EXPECT_EQ(0u, pad);
  const struct {
    unsigned long long offset;
    unsigned int pad;
  } cases[] = {{0, 0}, {1, 4294967294u}, {4294967294ULL, 1}, {4294967295ULL, 0}, {4294967296ULL, 0},
               {4294967297ULL, 4294967294u}, {(7ULL << 32) | 0xFFFFFFFF, 0}};
  for (const auto& c : cases) {
    ASSERT_EQ(1, media->SetDataSeekOffset(static_cast<long long>(c.offset)));
    unsigned long long at = 0;
    EXPECT_EQ(0, media->ShouldWritePadding(pad, &at)) << c.offset;
    EXPECT_EQ(c.pad, pad) << c.offset;
    EXPECT_EQ(c.offset, at);
  }
  EXPECT_EQ(1u, platform::LogCount("Enabled padding fixed block data stream"));

  const struct {
    bool present;
    long long value;
    bool on;
  } settings[] = {{true, 0, false}, {true, 1, true}, {true, -5, true}, {true, 1LL << 32, false}};
  for (const auto& s : settings) {
    platform::Config() = platform::ConfigState();
    if (s.present) OZPlatformInfo().setNumber("ZovadAdeve", "HPECatalystOptimizeFixedBlockDataForDedupRatio", s.value);
    auto other = NewMedia(2);
    ASSERT_EQ(0, other->Open(&id, false));
    Access::SetFixedBlock(*other, true);
    ASSERT_EQ(1, other->SetDataSeekOffset(1));
    EXPECT_EQ(0, other->ShouldWritePadding(pad, nullptr));
    EXPECT_EQ(s.on ? 4294967294u : 0u, pad) << s.value;
  }
}

// A padding write opens the data object in append mode, writes at its end and closes it again;
// the next data write opens it anew, as a new object (and so fails on the existing one).
TEST_F(StoreOnceChunk, PaddingWriteOpensAppendsAndCloses) {
  WriteDataChunk(60, "abc");
  auto media = NewMedia();
  MediaFSArchiveFileId_t id = ChunkId(60);
  ASSERT_EQ(0, media->Create(&id));
  int eom = -1;
  ASSERT_EQ(4, media->WritePaddingToDataFile("0000", 4, &eom));
  EXPECT_EQ(0, eom);
  EXPECT_EQ("abc0000", ReadFile(DataObject(60)));
  EXPECT_EQ(0, media->GetDataFileOffset());  // closed again
  EXPECT_EQ(-1, media->WriteToDataFile("d", 1, &eom));
  const auto opens = platform::Appliance().CallsOf(ApplianceOp::Open);
  ASSERT_GE(opens.size(), 2u);
  EXPECT_EQ(O_WRONLY | O_LARGEFILE, opens[opens.size() - 2].args[0]);
  EXPECT_EQ(O_WRONLY | O_CREAT | O_EXCL | O_LARGEFILE, opens.back().args[0]);
  EXPECT_EQ(0, opens.back().args[2]);
  EXPECT_EQ(0, media->CloseSpecific(0));

  // In fixed-block mode a new data object asks for option 2; a copy target for option 4.
  id = ChunkId(61);
  ASSERT_EQ(0, media->Create(&id));
  Access::SetFixedBlock(*media, true);
  ASSERT_EQ(1, media->WriteToDataFile("d", 1, &eom));
  EXPECT_EQ(2, platform::Appliance().CallsOf(ApplianceOp::Open).back().args[2]);
  EXPECT_EQ(0, media->CloseSpecific(0));
  id = ChunkId(62);
  ASSERT_EQ(0, media->Create(&id));
  SILinkHdr link = Link(kVolId, 60, 1, 0, 3);
  ASSERT_EQ(3, media->ScheduleDataFileCopy(&link, kTHId, false, &eom));
  EXPECT_EQ((std::vector<long long>{O_RDONLY | O_CREAT, 0, 4}), platform::Appliance().CallsOf(ApplianceOp::Open).back().args);
}

// Both streams keep the handle of their first open: a seek after a write seeks the writing
// handle, a write after a read writes through the reading one (and so fails).
TEST_F(StoreOnceChunk, FirstOpenDecidesTheMode) {
  auto media = NewMedia();
  MediaFSArchiveFileId_t id = ChunkId(70);
  ASSERT_EQ(0, media->Create(&id));
  int eom = -1;
  ASSERT_EQ(6, media->WriteToMetaData("abcdef", 6, &eom));
  ASSERT_EQ(1, media->SetMetaDataSeekOffset(2, 0));
  ASSERT_EQ(2, media->WriteToMetaData("XY", 2, &eom));
  EXPECT_EQ(4, media->GetMetaDataFileOffset());
  ASSERT_EQ(1, media->SetMetaDataSeekOffset(-1, 2));
  EXPECT_EQ(5, media->GetMetaDataFileOffset());
  EXPECT_EQ(0, media->CloseSpecific(0));
  EXPECT_EQ("abXYef", ReadFile(MetaObject(70)));

  ASSERT_EQ(0, media->OpenSpecific(&id));
  char buf[8];
  ASSERT_EQ(6, media->ReadFromMetaData(buf, sizeof(buf)));
  EXPECT_EQ(0, media->ReadFromMetaData(buf, sizeof(buf)));
  EXPECT_EQ(-1, media->WriteToMetaData("z", 1, &eom));
  EXPECT_EQ(0, media->SetMetaDataSeekOffset(-1, 0));
  EXPECT_EQ(0, media->CloseSpecific(0));
  EXPECT_EQ("abXYef", ReadFile(MetaObject(70)));
}

TEST_F(StoreOnceChunk, MetadataIndex) {
  auto media = NewMedia();
  MediaFSArchiveFileId_t id = ChunkId(80);
  ASSERT_EQ(0, media->Create(&id));
  unsigned long long size = 99;
  EXPECT_TRUE(media->GetChunkMetadataIndexSize(size).IsSuccess());
  EXPECT_EQ(0u, size);
  SChunkMetaDataIndexEntry found{};
  EXPECT_EQ(-1, media->SearchChunkMetaDataIndex(1, found));  // none on the appliance yet

  // Keys 0 are taken while the last key is 0; then each key must rise.
  for (unsigned long long key : {0ULL, 0ULL, 100ULL, 200ULL}) {
    SChunkMetaDataIndexEntry e = Entry(key);
    ASSERT_EQ(0, media->AddChunkMetaDataIndexEntry(e)) << key;
    EXPECT_EQ(~0ULL, e.OwnerValue32);
  }
  SChunkMetaDataIndexEntry again = Entry(200);
  EXPECT_EQ(-1, media->AddChunkMetaDataIndexEntry(again));
  EXPECT_EQ(~0ULL, again.OwnerValue32);  // set before the add failed
  EXPECT_TRUE(platform::LogContains("Cannot add entry into the chunk metadata index file"));
  for (unsigned long long key = 300; key < 500; key += 100) {
    SChunkMetaDataIndexEntry e = Entry(key);
    ASSERT_EQ(0, media->AddChunkMetaDataIndexEntry(e));
  }
  // A search uses the index opened for adding.
  EXPECT_EQ(0, media->SearchChunkMetaDataIndex(300, found));
  EXPECT_EQ(Entry(300).OwnerValue16, found.OwnerValue16);
  EXPECT_EQ(1, media->SearchChunkMetaDataIndex(150, found));
  EXPECT_TRUE(media->GetChunkMetadataIndexSize(size).IsSuccess());
  EXPECT_EQ(992u, size);  // six entries
  SChunkMetaDataIndexEntry seventh = Entry(1000);
  ASSERT_EQ(0, media->AddChunkMetaDataIndexEntry(seventh));
  EXPECT_TRUE(media->GetChunkMetadataIndexSize(size).IsSuccess());
  EXPECT_EQ(1104u, size);
  ASSERT_EQ(0, media->FlushMetaDataFile());
  EXPECT_EQ(1104u, ReadFile(IndexObject(80)).size());
  ASSERT_EQ(0, media->CloseSpecific(0));

  // An existing index is opened for adding, not created again.
  ASSERT_EQ(0, media->Create(&id));
  SChunkMetaDataIndexEntry eighth = Entry(2000);
  ASSERT_EQ(0, media->AddChunkMetaDataIndexEntry(eighth));
  ASSERT_EQ(0, media->CloseSpecific(0));
  ASSERT_EQ(0, media->Create(&id));
  EXPECT_EQ(0, media->SearchChunkMetaDataIndex(100, found));
  EXPECT_EQ(0, media->SearchChunkMetaDataIndex(2000, found));
  EXPECT_EQ(0, media->SearchChunkMetaDataIndex(0, found));
  ASSERT_EQ(0, media->CloseSpecific(0));

  // An empty index answers "not found".
  id = ChunkId(81);
  ASSERT_EQ(0, media->Create(&id));
  ASSERT_EQ(0, media->OpenMetaDataIndexFile(HPStoreOnce_FS::kOpenCreate));
  EXPECT_EQ(1, media->SearchChunkMetaDataIndex(5, found));
  EXPECT_TRUE(media->GetChunkMetadataIndexSize(size).IsSuccess());
  EXPECT_EQ(128u, size);
}

// An add after a search that opened the index read-only reopens it for writing: the entry is in
// the index after the close, as the add reported.
TEST_F(StoreOnceChunk, AddAfterASearchKeepsTheEntry) {
  auto media = NewMedia();
  MediaFSArchiveFileId_t id = ChunkId(90);
  ASSERT_EQ(0, media->Create(&id));
  SChunkMetaDataIndexEntry e = Entry(10);
  ASSERT_EQ(0, media->AddChunkMetaDataIndexEntry(e));
  ASSERT_EQ(0, media->CloseSpecific(0));

  ASSERT_EQ(0, media->Create(&id));
  SChunkMetaDataIndexEntry found{};
  ASSERT_EQ(0, media->SearchChunkMetaDataIndex(10, found));
  SChunkMetaDataIndexEntry next = Entry(20);
  ASSERT_EQ(0, media->AddChunkMetaDataIndexEntry(next));
  EXPECT_EQ(0, media->SearchChunkMetaDataIndex(20, found));
  ASSERT_EQ(0, media->CloseSpecific(0));

  auto reader = NewMedia(2);
  ASSERT_EQ(0, reader->CreateSpecific(&id));
  EXPECT_EQ(0, reader->SearchChunkMetaDataIndex(20, found));
  EXPECT_EQ(Entry(20).OwnerValue8, found.OwnerValue8);

  // Reopening for writing can fail: the add fails with it.
  ASSERT_EQ(0, reader->CloseSpecific(0));
  ASSERT_EQ(0, reader->CreateSpecific(&id));
  ASSERT_EQ(0, reader->SearchChunkMetaDataIndex(10, found));
  platform::Appliance().Fail({ApplianceOp::Open, ".idx", 1, 1, 1050});
  SChunkMetaDataIndexEntry third = Entry(30);
  EXPECT_EQ(-1, reader->AddChunkMetaDataIndexEntry(third));
  EXPECT_EQ(1050, LastError(*reader));
}

}  // namespace
