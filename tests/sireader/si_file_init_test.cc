// Binding the reader to chunks: what Init keeps and what it makes anew, what nothing of a
// previous chunk may leave open, the operations of a reader that is not bound, and the open
// flags by storage type.

#include <cstring>

#include "platform/byte_order.h"
#include "recording_file.h"
#include "si_file_fixture.h"

namespace {

using platform::Faults;
using platform::FsOp;

class SIFileInitTest : public SIFileTest {
 public:
  // Chunk `id` with containers 0 and 1, each holding one object whose data is `text` and the
  // container's number, and a metadata file whose reference record at offset 0 names container 0's
  // object, followed by "meta-" and `text`.
  void WriteChunk(unsigned long long id, const std::string& text) {
    craft::Chunk chunk(volumePath, id, kVolumeBlock);
    chunk.Write();
    for (unsigned int n : {0u, 1u}) {
      craft::WriteFile(chunk.ContainerPath(n), craft::ContainerHeader() + std::string("10DHGAT\0", 8) +
                                                   std::string(8, '\0') + text + std::to_string(n));
    }
    std::string record(496, '\0');
    std::memcpy(&record[96], "SFILE_CONTAINER_000", 19);
    EncodeBE64(&record[232], 128);
    EncodeBE32(&record[292], 1);
    craft::WriteFile(chunk.MetaPath(), record + "meta-" + text);
  }

  // The data of the object of `container`, reached by its logical offset.
  static std::string ReadAt(CSIFile& reader, unsigned int container) {
    if (reader.OpenDataFileAndSeek(0, container, 144, 0) != 0) return "open failed";
    return ReadRest(reader, false);
  }
  // What is left of the object's data, or of its metadata.
  static std::string ReadRest(CSIFile& reader, bool meta) {
    char buffer[64] = {};
    const MM_uint got = meta ? reader.ReadMetaData(buffer, sizeof(buffer)) : reader.ReadData(buffer, sizeof(buffer));
    return got > sizeof(buffer) ? "read failed" : std::string(buffer, got);
  }
};

TEST_F(SIFileInitTest, TheSameChunkAgainChangesNothingAndANullRecordIsRefused) {
  auto reader = std::make_unique<TestSIFile>(&log);
  EXPECT_EQ(-1, reader->Init(nullptr, 4, kVolId, false));
  CFSInitParams params = FsParams();
  ASSERT_EQ(0, reader->Init(&params, 4, kVolId, false));
  EXPECT_EQ(path_append(volumePath, "CHUNK_4"), reader->m_strChunkDir);
  EXPECT_EQ(path_append(volumePath, "CHUNK_4/CHUNK_META_DATA_4"), reader->m_strMetaDataPath);
  CBufferedFileReader* data = reader->m_pDataReader;
  CFSInitParams other = params;
  other.m_Host.m_Path = "/elsewhere";
  EXPECT_EQ(0, reader->Init(&other, 4, kVolId, true));
  EXPECT_EQ(0, reader->Init(nullptr, 4, kVolId, true));
  EXPECT_EQ(data, reader->m_pDataReader);
  EXPECT_EQ(mountPath, reader->m_FSInitParams.m_Host.m_Path);
}

// Another mount path id rebuilds the readers for another storage type, for cloud storage and for
// subtype 4; otherwise they stay.
TEST_F(SIFileInitTest, AnotherMountPathRebuildsTheReadersWhenItsKindAsksForIt) {
  struct Case {
    const char* name;
    int mountPathId, type, subType;
    bool rebuilt;
  } cases[] = {
      {"same mount path", 5, kFSTypeDisk, -1, false},      {"another disk mount path", 6, kFSTypeDisk, -1, false},
      {"another type", 6, kFSTypeDataServerIP, -1, true},  {"cloud", 6, kFSTypeCloud, -1, true},
      {"subtype 4", 6, kFSTypeDisk, 4, true},             {"no mount path id", 0, kFSTypeCloud, -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto reader = Reader(4);
    CBufferedFileReader* data = reader->m_pDataReader;
    CBufferedFileReader* meta = reader->m_pMetaDataReader;
    CFSInitParams params = FsParams();
    params.m_MountPathId = c.mountPathId;
    params.m_Type = c.type;
    params.m_SubType = c.subType;
    ASSERT_EQ(0, reader->Init(&params, 5, kVolId, false));
    // A reader made anew has the new record (deleted ones may be made again at the same address).
    EXPECT_EQ(c.rebuilt ? c.mountPathId : 5, reader->m_pDataReader->GetFileInterface()->GetInitParams().m_MountPathId);
    EXPECT_EQ(c.rebuilt ? c.mountPathId : 5, reader->m_pMetaDataReader->GetFileInterface()->GetInitParams().m_MountPathId);
    if (!c.rebuilt) {
      EXPECT_EQ(data, reader->m_pDataReader);
      EXPECT_EQ(meta, reader->m_pMetaDataReader);
    }
  }
}

// Nothing of the previous chunk stays open: neither its metadata file, which the layout-0 and
// layout-1 opens would reuse, nor its container, which would pass for the new chunk's container
// of the same number. After DeInit, Init makes the readers again for the same chunk.
TEST_F(SIFileInitTest, ANewChunkNeverReadsThePreviousOnesFiles) {
  WriteChunk(4, "four-");
  WriteChunk(5, "five-");
  auto reader = Reader(4);
  ASSERT_EQ(0, reader->OpenDataFile_1(0));
  EXPECT_EQ("meta-four-", ReadRest(*reader, true));
  EXPECT_EQ("four-0", ReadAt(*reader, 0));
  CFSInitParams params = FsParams();
  ASSERT_EQ(0, reader->Init(&params, 5, kVolId, false));
  EXPECT_FALSE(reader->m_pDataReader->IsValid());
  EXPECT_FALSE(reader->m_pMetaDataReader->IsValid());
  EXPECT_EQ("five-0", ReadAt(*reader, 0));
  EXPECT_EQ("five-1", ReadAt(*reader, 1));
  ASSERT_EQ(0, reader->OpenDataFile_1(0));
  EXPECT_EQ("meta-five-", ReadRest(*reader, true));
  EXPECT_EQ("five-0", ReadRest(*reader, false));

  EXPECT_EQ(0, reader->DeInit());
  EXPECT_EQ(nullptr, reader->m_pDataReader);
  ASSERT_EQ(0, reader->Init(&params, 5, kVolId, false));
  ASSERT_NE(nullptr, reader->m_pDataReader);
  ASSERT_NE(nullptr, reader->m_pMetaDataReader);
  EXPECT_EQ("five-1", ReadAt(*reader, 1));
}

// Before Init, and after DeInit, every operation fails with its "not open" result.
TEST_F(SIFileInitTest, AReaderWithoutReadersFailsEveryOperation) {
  WriteChunk(4, "four-");
  for (bool deinited : {false, true}) {
    SCOPED_TRACE(deinited ? "after DeInit" : "before Init");
    auto reader = std::make_unique<TestSIFile>(&log);
    if (deinited) {
      CFSInitParams params = FsParams();
      ASSERT_EQ(0, reader->Init(&params, 4, kVolId, false));
      ASSERT_EQ(0, reader->OpenDataFile_4(0, 0, 0, false));
      ASSERT_EQ(0, reader->DeInit());
    }
    char buffer[8];
    EXPECT_EQ(-1, reader->OpenDataFile_5(1, 2, 3, 4, true));
    EXPECT_EQ(-1, reader->OpenDataFile_1(0));
    EXPECT_EQ(-1, reader->OpenDataFile_4(0, 0, 0, false));
    EXPECT_EQ(-1, reader->OpenDataFileAndSeek(0, 0, 128, 0));
    EXPECT_EQ(-1, reader->Seek(128));
    EXPECT_EQ(CSIFile::kReadChunkAtFault, reader->ReadData(buffer, 8));
    EXPECT_EQ(CSIFile::kReadChunkAtFault, reader->ReadMetaData(buffer, 8));
    EXPECT_EQ(-1, reader->IsSFileValid(0));
    reader->ToString();
    EXPECT_EQ(0, reader->CloseDataFile());
    EXPECT_TRUE(platform::LogContains("CSIFile::ReadMetaData: Error: Cannot read metadata as the metadata file is not open."));
    EXPECT_TRUE(platform::LogContains("CSIFile::Seek: Error: Cannot seek as the data file is not open."));
    EXPECT_TRUE(platform::LogContains("CSIFile::IsSFileValid: Error: The reader is not bound to a chunk."));
  }
}

// Containers of disk paths open read-only; the cloud kinds add the layer's remote-read flag; the
// host's own flags replace read-only. Reads of other storage types answer IsSFileValid at once.
TEST_F(SIFileInitTest, OpenFlagsFollowTheStorageType) {
  WriteChunk(4, "four-");
  struct Case {
    int type;
    unsigned int hostFlags;
    int expected;
  } cases[] = {
      {kFSTypeDisk, 0, O_RDONLY | O_LARGEFILE},
      {kFSTypeCloud, 0, O_RDONLY | O_LARGEFILE | kFSOpenRemoteRead},
      {kFSTypeCloudCached, O_RDONLY, O_RDONLY | kFSOpenRemoteRead},
      {kFSTypeDisk, O_RDONLY | O_NOATIME, O_RDONLY | O_NOATIME},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    CFSInitParams params = FsParams();
    params.m_Type = c.type;
    auto reader = Reader(4, params);
    auto* file = new aio_test::RecordingFile(params);
    struct Swapped : CBufferedFileReader {
      explicit Swapped(CFileInterface* f) : CBufferedFileReader(nullptr) { m_pFile = f; }
    };
    delete reader->m_pDataReader;
    reader->m_pDataReader = new Swapped(file);
    ASSERT_EQ(0, reader->OpenDataFile_4(0, 1, c.hostFlags, false));
    ASSERT_EQ(1u, file->OpenFlags().size());
    EXPECT_EQ(c.expected, file->OpenFlags()[0]);
    EXPECT_EQ(0400, file->OpenModes()[0]);
    if (c.type != kFSTypeDisk) {
      EXPECT_EQ(0, reader->IsSFileValid(77));  // not looked at
    }
  }
}

}  // namespace
