// The two older layouts, written by the test byte by byte from their formats: layout 0 (a data
// file per object, the metadata file's block size found by its tag header) and layout 1 (a
// reference record in the metadata file names the data file and the object's header in it).

#include <cstring>
#include <random>

#include "platform/byte_order.h"
#include "si_file_fixture.h"

namespace {

using platform::Faults;
using platform::FsOp;

constexpr unsigned long long kChunk = 12;
constexpr char kTag[8] = {'T', 'A', 'G', 'H', 'D', '0', '1', '\0'};

class SIFileLayoutTest : public SIFileTest {
 public:
  craft::Chunk chunk{volumePath, kChunk, kVolumeBlock};

  // A layout-0 metadata file: `block` bytes of chunk header, the tag header at `block` (none when
  // `tagged` is false), then `size` bytes in all.
  static std::string Layout0Meta(uint64_t block, bool tagged, size_t size) {
    std::string meta = craft::SeedBytes(size, block);
    if (tagged) meta.replace(block, sizeof(kTag), kTag, sizeof(kTag));
    return meta;
  }

  // A data file of any layout: the SFile header, then `body`.
  void WriteDataFile(const std::string& name, const std::string& body) const {
    craft::WriteFile(path_append(chunk.Dir(), name), craft::ContainerHeader() + body);
  }

  // A layout-1 reference record naming `file`, the object's header at `dataOffset`.
  static std::string RefHdr(const std::string& file, uint64_t dataOffset, uint32_t isPrimary = 1) {
    std::string r = craft::SeedBytes(496, dataOffset);
    std::memset(&r[96], 0, 232 - 96);
    std::memcpy(&r[96], file.data(), file.size());
    EncodeBE64(&r[232], dataOffset);
    EncodeBE32(&r[292], isPrimary);
    return r;
  }
};

// The tag header at each block size is found by its probe, and the object's metadata starts that
// far past its metadata offset; without a tag header at any of them the open fails.
TEST_F(SIFileLayoutTest, Layout0FindsTheTagHeaderAtEachBlockSize) {
  const uint64_t metaOffset = 300;
  const std::string payload = craft::SeedBytes(9000, 3);
  WriteDataFile(SingleInstancer_FS::GetSIFileName(1, 2, 3, metaOffset, true), payload);
  std::mt19937_64 rng(1);
  for (uint64_t block : {32768ull, 65536ull, 131072ull, 262144ull, 524288ull}) {
    SCOPED_TRACE(block);
    const std::string meta = Layout0Meta(block, true, block + 4096);
    craft::WriteFile(chunk.MetaPath(), meta);
    auto reader = Reader(kChunk);
    ASSERT_EQ(0, reader->OpenDataFile_5(1, 2, 3, metaOffset, true));
    EXPECT_EQ(block, reader->m_ullChunkBlockSize);
    EXPECT_EQ(0, reader->m_iSIVersion);
    EXPECT_EQ(meta.substr(block + metaOffset, 1000), ReadPieces(*reader, Stream::kMetaData, 1000, rng, 300));
    ASSERT_EQ(0, reader->Seek(128));
    EXPECT_EQ(payload, ReadPieces(*reader, Stream::kData, payload.size() + 10, rng));
  }
  craft::WriteFile(chunk.MetaPath(), Layout0Meta(32768, false, 600000));
  auto reader = Reader(kChunk);
  EXPECT_EQ(-1, reader->OpenDataFile_5(1, 2, 3, metaOffset, true));
  EXPECT_TRUE(platform::LogContains("CSIFile::OpenDataFile_5: Cannot determine the chunk block size. Metadata [" +
                                    chunk.MetaPath() + "]"));
}

// The metadata offset comes from the object's name: one whose sum with the block size wraps past
// 2^64, or lies beyond the metadata file, is refused instead of reading other bytes of the file.
TEST_F(SIFileLayoutTest, Layout0RefusesMetadataOffsetsOutsideTheMetadataFile) {
  const uint64_t block = 32768;
  const std::string meta = Layout0Meta(block, true, block + 4096);
  craft::WriteFile(chunk.MetaPath(), meta);
  const struct {
    uint64_t offset;
    int expected;
  } cases[] = {
      {0, 0},
      {4095, 0},
      {4096, 0},                       // the metadata file's end: nothing left to read, no failure
      {4097, -1},
      {~0ull - block + 1 + 100, -1},   // wraps to 100, inside the chunk header block
      {~0ull, -1},
  };
  std::mt19937_64 rng(3);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    platform::ResetLogs();
    WriteDataFile(SingleInstancer_FS::GetSIFileName(1, 2, 3, c.offset, true), "data");
    auto reader = Reader(kChunk);
    ASSERT_EQ(c.expected, reader->OpenDataFile_5(1, 2, 3, c.offset, true));
    if (c.expected == 0) {
      EXPECT_EQ(meta.substr(block + c.offset, 64), ReadPieces(*reader, Stream::kMetaData, 64, rng, 64));
      continue;
    }
    EXPECT_TRUE(platform::LogContains("CSIFile::OpenDataFile_5: Metadata offset [" + std::to_string(c.offset) +
                                      "] past block size [32768] lies beyond the end of the metadata file [" +
                                      chunk.MetaPath() + "], Object Number [3]"));
    EXPECT_TRUE(FXErrorUtil::IsMM(reader->m_LastError, 1204)) << reader->m_LastError.AsString();
  }
}

// The metadata file stays open across objects; each object's data file is its own, named 'S' or
// 'N' by the host's flag.
TEST_F(SIFileLayoutTest, Layout0KeepsTheMetadataFileOpenAcrossObjects) {
  const std::string meta = Layout0Meta(65536, true, 70000);
  craft::WriteFile(chunk.MetaPath(), meta);
  WriteDataFile("SFILE_5-6_1-0", "first");
  WriteDataFile("NFILE_5-6_2-40", "second");
  auto reader = Reader(kChunk);
  std::string buffer(40, '\0');
  ASSERT_EQ(0, reader->OpenDataFile_5(5, 6, 1, 0, true));
  ASSERT_EQ(40u, reader->ReadMetaData(buffer.data(), 40));
  EXPECT_EQ(meta.substr(65536, 40), buffer);  // a metadata offset of 0 reads from the tag header on
  ASSERT_EQ(0, reader->OpenDataFile_5(5, 6, 2, 40, false));
  EXPECT_EQ(path_append(chunk.Dir(), "NFILE_5-6_2-40"), reader->m_strDataPath);
  ASSERT_EQ(0, reader->Seek(128));
  ASSERT_EQ(6u, reader->ReadData(buffer.data(), 40));
  EXPECT_EQ("second", buffer.substr(0, 6));
  EXPECT_EQ(1, Faults().Calls(FsOp::Open, "CHUNK_META_DATA_"));
  // A data file too short for its SFile header is the chunk's fault (the mount path is healthy).
  craft::WriteFile(path_append(chunk.Dir(), "SFILE_5-6_3-0"), "short");
  EXPECT_EQ(-1, reader->OpenDataFile_5(5, 6, 3, 0, true));
  EXPECT_TRUE(platform::LogContains("CSIFile::OpenDataFile_5: Cannot get compaction map from data file ["));
}

struct Layout1Case {
  const char* name;
  uint32_t isPrimary;
  const char* signature;  // of the object's header
  size_t dataCut;         // bytes of the data file kept (0: all)
  size_t metaCut;         // bytes of the metadata file kept (0: all)
  int expected;
  const char* logged;     // a line that must be logged, or null
};

TEST_F(SIFileLayoutTest, Layout1OpensThroughTheReferenceRecord) {
  const uint64_t metaOffset = 1000, dataOffset = 128 + 200;
  const std::string objectMeta = craft::SeedBytes(300, 8), payload = craft::SeedBytes(5000, 9);
  const Layout1Case cases[] = {
      {"sound", 1, "10DHGAT", 0, 0, 0, "Going to open ["},
      {"not primary", 0, "10DHGAT", 0, 0, 0, "ntohl (SIRefHdr.Recs.IsPrimary) == 1"},
      {"wrong signature", 1, "XXDHGAT", 0, 0, -1, "Cannot validate the signature in the data file. Found [XXDHGAT]"},
      {"object header cut short", 1, "10DHGAT", 128 + 200 + 10, 0, -1, "Read only [10] of the [16] bytes"},
      {"record cut short", 1, "10DHGAT", 0, 1000 + 400, -1, "Read only [400] of the [496] bytes"},
  };
  std::mt19937_64 rng(2);
  for (const Layout1Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    std::string header(16, '\0');
    std::memcpy(header.data(), c.signature, 7);
    std::string data = craft::ContainerHeader() + craft::SeedBytes(200, 4) + header + payload;
    if (c.dataCut != 0) data.resize(c.dataCut);
    craft::WriteFile(path_append(chunk.Dir(), "OBJECTS_A"), data);
    std::string meta = craft::SeedBytes(metaOffset, 5) + RefHdr("OBJECTS_A", dataOffset, c.isPrimary) + objectMeta;
    if (c.metaCut != 0) meta.resize(c.metaCut);
    craft::WriteFile(chunk.MetaPath(), meta);

    auto reader = Reader(kChunk);
    EXPECT_EQ(c.expected, reader->OpenDataFile_1(metaOffset));
    if (c.logged != nullptr) {
      EXPECT_TRUE(platform::LogContains(c.logged));
    }
    if (c.expected != 0) continue;
    EXPECT_EQ(1, reader->m_iSIVersion);
    EXPECT_EQ(path_append(chunk.Dir(), "OBJECTS_A"), reader->m_strDataPath);
    EXPECT_EQ(objectMeta, ReadPieces(*reader, Stream::kMetaData, objectMeta.size(), rng, 50));
    EXPECT_EQ(payload, ReadPieces(*reader, Stream::kData, payload.size() + 1, rng, 900));
  }
  // A name that leaves the chunk folder is damage: nothing is opened.
  for (const char* name : {"", "/etc/hosts", "../CHUNK_11/OBJECTS_A", "sub/../../x", ".."}) {
    SCOPED_TRACE(name);
    craft::WriteFile(chunk.MetaPath(), craft::SeedBytes(metaOffset, 5) + RefHdr(name, dataOffset));
    auto reader = Reader(kChunk);
    const long long opens = Faults().Calls(FsOp::Open);
    EXPECT_EQ(-1, reader->OpenDataFile_1(metaOffset));
    EXPECT_EQ(opens + 1, Faults().Calls(FsOp::Open));  // the metadata file only
    EXPECT_TRUE(platform::LogContains("which is not a file of the chunk"));
  }
}

// A chunk of this layout has no container index. A data file that a compaction left half
// switched (the file gone, the finished copy and its marker beside it) is repaired under the
// chunk's ".compactlock" at the first attempt, and opened; no index is made for the chunk.
TEST_F(SIFileLayoutTest, Layout1DataFileThatACompactionLeftHalfSwitchedIsRepaired) {
  std::string header(16, '\0');
  std::memcpy(header.data(), "10DHGAT", 8);
  const std::string payload = craft::SeedBytes(3000, 6);
  const std::string data = path_append(chunk.Dir(), "OBJECTS_C");
  craft::WriteFile(data + ".compact", craft::ContainerHeader() + craft::SeedBytes(200, 4) + header + payload);
  craft::WriteFile(data + ".temp", "");
  craft::WriteFile(chunk.MetaPath(), craft::SeedBytes(1000, 5) + RefHdr("OBJECTS_C", 328) + "metadata");

  auto reader = Reader(kChunk);
  ASSERT_EQ(0, reader->OpenDataFile_1(1000));
  std::mt19937_64 rng(4);
  EXPECT_EQ(payload, ReadPieces(*reader, Stream::kData, payload.size() + 1, rng, 700));
  EXPECT_EQ("metadata", ReadPieces(*reader, Stream::kMetaData, 8, rng, 8));
  EXPECT_FALSE(CXoPath::Exists(data + ".compact"));
  EXPECT_FALSE(CXoPath::Exists(data + ".temp"));
  EXPECT_TRUE(CXoPath::Exists(path_append(chunk.Dir(), ".compactlock")));
  EXPECT_FALSE(CXoPath::Exists(path_append(chunk.Dir(), "SFILE_CONTAINER.idx")));
  EXPECT_EQ(0, platform::SleptMs());  // no attempt was refused
}

// The state report: both files, their positions and the data file's map.
TEST_F(SIFileLayoutTest, ToStringLogsTheFilesAndTheirPositions) {
  std::string header(16, '\0');
  std::memcpy(header.data(), "10DHGAT", 8);
  craft::WriteFile(path_append(chunk.Dir(), "OBJECTS_B"), craft::ContainerHeader() + craft::SeedBytes(200, 4) + header);
  craft::WriteFile(chunk.MetaPath(), craft::SeedBytes(1000, 5) + RefHdr("OBJECTS_B", 328) + "metadata");
  auto reader = Reader(kChunk);
  reader->ToString();
  EXPECT_TRUE(platform::LogContains("Metadata file [" + chunk.MetaPath() + "]."));
  EXPECT_FALSE(platform::LogContains("Current metadata file offset"));
  ASSERT_EQ(0, reader->OpenDataFile_1(1000));
  reader->ToString();
  EXPECT_TRUE(platform::LogContains("Current metadata file offset [1496]"));
  EXPECT_TRUE(platform::LogContains("Data file [" + path_append(chunk.Dir(), "OBJECTS_B") +
                                    "]. Version [1], SFile Number [0], Last Seek Offset [0]"));
  EXPECT_TRUE(platform::LogContains("Current data file offset [344]"));
  EXPECT_TRUE(platform::LogContains("[ToString] [Map Empty]."));
}

}  // namespace
