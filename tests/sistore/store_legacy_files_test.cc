// The older layouts: per-object data files found by name and read back, the metadata offset read
// from their names, and the writer's version read from a chunk map trailer.

#include <cstring>

#include "restore_fixture.h"

namespace {

using platform::FaultRule;
using platform::Faults;
using platform::FsOp;

constexpr long long kChunk = 31;

class LegacyTest : public RestoreTest {
 public:
  std::string ChunkDir() const { return path_append(volumePath, SingleInstancer_FS::GetChunkDirName(kChunk)); }
  std::string PerObjectFile(const std::string& name, const std::string& bytes) const {
    const std::string path = path_append(ChunkDir(), name);
    craft::WriteFile(path, bytes);
    return path;
  }
};

TEST_F(LegacyTest, PerObjectFilesOfBothLayoutsReadBack) {
  // Outside container mode: "FILE_%d_%lld-%lld"; the older single-instance layout:
  // "%cFILE_%llu-%llu_%d-%llu" with 'S' or 'N'.
  struct Case {
    bool containerMode;
    const char* name;
    long long key;
    long long offset;
  } cases[] = {
      {false, "FILE_3_77-4096", 77, 4096},
      {true, "SFILE_5-9_-1-1024", 5, 9},
      {true, "NFILE_6-123456789012_4-0", 6, 123456789012LL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bytes = craft::SeedBytes(70000, static_cast<uint64_t>(c.key));
    const std::string path = PerObjectFile(c.name, bytes);
    auto store = MakeRestore(c.containerMode);
    long long offset = -7;
    ASSERT_EQ(1, store->GetMetaDataSeekOffset(c.key, kChunk, offset));
    EXPECT_EQ(c.offset, offset);

    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    ASSERT_EQ(0, store->OpenDataFile(name.data()));
    std::string read(bytes.size(), '\0');
    ASSERT_EQ(static_cast<int>(bytes.size()), store->ReadFromDataFile(read.data(), static_cast<long>(read.size())));
    EXPECT_EQ(bytes, read);
    EXPECT_EQ(0, store->ReadFromDataFile(read.data(), 1));
  }
}

TEST_F(LegacyTest, NamesWithoutAMatchOrANumberGiveNoOffset) {
  PerObjectFile("FILE_3_77-4096x", "x");
  PerObjectFile("SFILE_8-_2-5", "x");
  struct Case {
    bool containerMode;
    long long key;
    long long chunk;
  } cases[] = {
      {false, 78, kChunk},    // no file of the key
      {false, 77, kChunk},    // its offset is no number
      {true, 8, kChunk},      // an empty offset
      {false, 77, kChunk + 1},  // no such chunk folder
  };
  for (const Case& c : cases) {
    auto store = MakeRestore(c.containerMode);
    long long offset = -7;
    EXPECT_EQ(0, store->GetMetaDataSeekOffset(c.key, c.chunk, offset)) << c.key;
    EXPECT_EQ(-7, offset);
  }
}

TEST_F(LegacyTest, AMissingPerObjectFileIsReportedAndDecided) {
  auto store = MakeRestore(false);
  std::string path = path_append(ChunkDir(), "FILE_1_2-3");
  std::filesystem::create_directories(ChunkDir());
  EXPECT_EQ(-1, store->OpenDataFile(path.data()));  // the mount path is healthy: the chunk is bad
  EXPECT_EQ(993, store->MediaFSGetLastError());
  EXPECT_NE(std::string::npos, store->m_strLastErrorMsg.find("Failed to open data file on media"));

  Faults().Add(FaultRule{FsOp::Open, "ReadWriteTest.txt", 1, -1, EIO});
  EXPECT_EQ(-2, store->OpenDataFile(path.data()));
}

TEST_F(LegacyTest, AContainerIsOpenedAgainAfterAPerObjectFileWasReadInItsInterface) {
  craft::Chunk chunk(volumePath, kChunk, kVolumeBlock);
  const craft::Object o = chunk.Add(0, 500, 8, 3);
  chunk.Write();
  const std::string other = PerObjectFile("FILE_1_2-3", std::string(1000, 'x'));
  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));
  const std::string data = o.bytes.substr(craft::kObjectHeaderSize);
  ASSERT_EQ(data, ReadObject(*store, chunk.ContainerPath(0), o.offset, data.size()));
  std::vector<char> name(other.begin(), other.end());
  name.push_back('\0');
  ASSERT_EQ(0, store->OpenDataFile(name.data()));
  EXPECT_EQ(data, ReadObject(*store, chunk.ContainerPath(0), o.offset, data.size()));
}

TEST_F(LegacyTest, WritersVersionFromTheChunkMapTrailer) {
  craft::Chunk chunk(volumePath, kChunk, kVolumeBlock);
  chunk.WriteTrailer("11.0.0(BUILD80)");
  auto store = MakeRestore();
  std::string version;
  ASSERT_EQ(1, store->GetTavrixVersionFromChunkMapTrailer(kChunk, version));
  EXPECT_EQ("11.0.0(BUILD80)", version);
}

TEST_F(LegacyTest, TrailersThatCannotGiveAVersion) {
  const std::string trailer = path_append(volumePath, SingleInstancer_FS::GetChunkMapTrailerName(kChunk));
  const std::string good = craft::ChunkMapTrailer(kChunk, "11.0.0", kVolumeBlock);
  std::string longVersion = craft::ChunkMapTrailer(kChunk, std::string(400, 'v'), kVolumeBlock);
  // A block without a terminator or a line end anywhere.
  std::string noEnd(kVolumeBlock, 'A');
  std::memcpy(noEnd.data(), "CHUNK_MAP_TRAILER_VERSION 1\nTavrixVersion ", 42);
  struct Case {
    const char* name;
    std::string bytes;  // empty: no file
    int result;
    const char* log;
    bool recorded;  // the failure became the last error
  } cases[] = {
      {"no trailer", "", 0, "Cannot open the chunk map trailer", true},
      {"shorter than a block", good.substr(0, 1000), 0, "Expected [65536], Read [1000]", true},
      {"other identifier", "CHUNK_MAP_TRAILER_VERSIOM 1\n" + good.substr(28), 0, "Identifier did not match", false},
      {"no line end in the block", noEnd, 0, "Failed to parse and get Tavrix Version from Chunk map.", false},
      {"a version longer than its field", longVersion, 1, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetLogs();
    std::filesystem::remove(trailer);
    if (!c.bytes.empty()) craft::WriteFile(trailer, c.bytes);
    auto store = MakeRestore();
    std::string version = "unchanged";
    EXPECT_EQ(c.result, store->GetTavrixVersionFromChunkMapTrailer(kChunk, version));
    if (c.result == 1) {
      EXPECT_EQ(std::string(128, 'v'), version);  // bounded by the field
    }
    if (*c.log != '\0') {
      EXPECT_TRUE(platform::LogContains(c.log));
    }
    EXPECT_EQ(c.recorded, store->MediaFSGetLastError() != 0);
  }
}

TEST_F(LegacyTest, ARelocatedVolumeIsReadWithItsMountPathsToken) {
  TempDir other;
  const std::string otherVolume = path_append(path_append(other.path(), "OZ_MAGNETIC"), "V_17");
  craft::Chunk chunk(otherVolume, kChunk, kVolumeBlock);
  chunk.WriteTrailer("12.1");
  auto store = MakeRestore();
  store->m_strTransformedVolDir = otherVolume;
  store->m_TransformedMPToken = 0xABCD;
  std::string version;
  ASSERT_EQ(1, store->GetTavrixVersionFromChunkMapTrailer(kChunk, version));
  EXPECT_EQ("12.1", version);
  EXPECT_EQ(0xABCDu, platform::Identity().lastToken);
}

}  // namespace
