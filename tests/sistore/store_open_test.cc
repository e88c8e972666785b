// Opening a chunk for a restore: the chunk's paths, the metadata stream, the chunk metadata index
// in the format of its version, "NFILE_CONTAINER", the version refusal, the report of a missing
// piece, the zero-size check and the probe of the container index.

#include <cstring>
#include <filesystem>
#include <functional>

#include "restore_fixture.h"

namespace {

using platform::FaultRule;
using platform::Faults;
using platform::FsOp;

constexpr long long kChunk = 12;

class OpenTest : public RestoreTest {
 public:
  craft::Chunk MakeChunk(long long id = kChunk) {
    craft::Chunk chunk(volumePath, static_cast<uint64_t>(id), kVolumeBlock);
    chunk.Add(0, 3000, 64, 1);
    chunk.Add(0, 70000, 200, 2);
    return chunk;
  }
};

TEST_F(OpenTest, OpensTheMetadataStreamAndSetsTheChunkPaths) {
  craft::Chunk chunk = MakeChunk();
  chunk.Write();
  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));

  EXPECT_EQ(chunk.Dir(), store->m_strChunkDir);
  EXPECT_EQ(chunk.MetaPath(), store->m_strMetaDataFileName);
  EXPECT_EQ(chunk.MetaPath() + ".idx", store->m_strChunkMDIdxName);
  EXPECT_EQ(path_append(chunk.Dir(), "SFILE_CONTAINER.idx"), store->m_strSfileIdxName);
  EXPECT_EQ(path_append(chunk.Dir(), "NFILE_CONTAINER"), store->m_strNFileName);
  EXPECT_EQ(static_cast<unsigned long long>(kChunk), store->m_ullChunkId);
  EXPECT_TRUE(store->m_strTransformedVolDir.empty());
  EXPECT_FALSE(store->NFileContainerExists());

  // The frame's block reads reach the metadata file, its chunk header block first.
  std::string read(chunk.MetaBytes().size(), '\0');
  EXPECT_EQ(static_cast<int>(read.size()), store->Read(read.data(), read.size()));
  EXPECT_EQ(chunk.MetaBytes(), read);
  EXPECT_TRUE(platform::LogContains("SingleInstancer_FS Opened [" + chunk.MetaPath() + "] file"));
}

TEST_F(OpenTest, ChunkMetadataIndexIsOpenedInTheFormatOfItsVersion) {
  struct Case {
    const char* name;
    craft::Chunk::MetaIndex index;
    bool corruptHeader;
    int state;
    int version;
    bool current;
    bool older;
  } cases[] = {
      {"none", craft::Chunk::MetaIndex::kNone, false, 0, -1, false, false},
      {"9.0 format", craft::Chunk::MetaIndex::kVersion2, false, 1, 2, false, true},
      {"current format", craft::Chunk::MetaIndex::kCurrent, false, 1, 4, true, false},
      {"unreadable header", craft::Chunk::MetaIndex::kCurrent, true, 1, -1, false, false},
  };
  long long id = 20;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    craft::Chunk chunk = MakeChunk(++id);
    chunk.Write(c.index);
    if (c.corruptHeader) {
      std::string idx = craft::ReadFile(chunk.MetaPath() + ".idx");
      idx[40] ^= 0x5A;  // the header's CRC no longer holds
      craft::WriteFile(chunk.MetaPath() + ".idx", idx);
    }
    auto store = MakeRestore();
    ASSERT_EQ(0, Open(*store, id));
    EXPECT_EQ(c.state, store->m_MDIdxState);
    EXPECT_EQ(c.version, store->GetChunkMetaDataIndexFileVersion());
    EXPECT_EQ(c.current, store->m_fdChunkMDIdx.IsValid());
    EXPECT_EQ(c.older, store->m_fdChunkMDIdx90.IsValid());
  }
}

// A pruning pass that ends the chunk removes its metadata index, which may happen between the
// probe of the index and its open by name: the chunk is then read as one that never had an index.
// Any other failure of that open still fails the chunk's open.
TEST_F(OpenTest, AnIndexGoneAtItsOpenByNameIsNoIndex) {
  struct Case {
    const char* name;
    craft::Chunk::MetaIndex index;
    bool removed;  // at the second open of the index; otherwise that open fails with EIO
    int result;
  } cases[] = {
      {"current format, removed", craft::Chunk::MetaIndex::kCurrent, true, 0},
      {"9.0 format, removed", craft::Chunk::MetaIndex::kVersion2, true, 0},
      {"current format, open fails", craft::Chunk::MetaIndex::kCurrent, false, -1},
  };
  long long id = 40;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    craft::Chunk chunk = MakeChunk(++id);
    chunk.Write(c.index);
    const std::string index = chunk.MetaPath() + ".idx";
    int opens = 0;
    Faults().SetHook([&](FsOp op, const std::string& path) {
      if (op == FsOp::Open && path == index && ++opens == 2 && c.removed) std::filesystem::remove(index);
    });
    if (!c.removed) Faults().Add(FaultRule{FsOp::Open, index, 2, 1, EIO});
    auto store = MakeRestore();
    const int rc = Open(*store, id);
    Faults().SetHook(nullptr);
    EXPECT_EQ(2, opens);
    EXPECT_EQ(c.result, rc);
    if (rc != 0 || c.result != 0) continue;
    EXPECT_EQ(0, store->m_MDIdxState);
    EXPECT_EQ(-1, store->GetChunkMetaDataIndexFileVersion());
    EXPECT_FALSE(store->m_fdChunkMDIdx.IsValid());
    EXPECT_FALSE(store->m_fdChunkMDIdx90.IsValid());
    for (const craft::Object& o : chunk.Objects()) {
      const std::string data = o.bytes.substr(craft::kObjectHeaderSize);
      EXPECT_TRUE(data == ReadObject(*store, chunk.ContainerPath(o.container), o.offset, data.size())) << o.key;
      ASSERT_EQ(0, store->SetSeekOffset2(o.metaOffset, 0));
      std::string meta(o.meta.size(), '\0');
      ASSERT_EQ(static_cast<int>(meta.size()), store->ReadFromMetaData(meta.data(), static_cast<long>(meta.size())));
      EXPECT_TRUE(o.meta == meta) << o.key;
    }
    EXPECT_EQ(0, store->Close());
  }
}

TEST_F(OpenTest, AnOlderChunkHeaderVersionIsRefusedBeforeAnyFileIsTouched) {
  MakeChunk().Write();
  auto store = MakeRestore();
  const long long opens = Faults().Calls(FsOp::Open);
  EXPECT_EQ(-1, Open(*store, kChunk, 2));
  EXPECT_EQ(opens, Faults().Calls(FsOp::Open));
  EXPECT_TRUE(platform::LogContains(
      "Wrong chunk header version for the data. Restore not supported for older versions"));
}

TEST_F(OpenTest, AMissingPieceIsReportedByTheDeepestPathThatIsMissing) {
  struct Case {
    const char* name;
    std::function<std::string(const craft::Chunk&)> remove;  // what is removed; the path reported
  } cases[] = {
      {"volume folder", [&](const craft::Chunk&) { return volumePath; }},
      {"chunk folder", [](const craft::Chunk& c) { return c.Dir(); }},
      {"metadata file", [](const craft::Chunk& c) { return c.MetaPath(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::create_directories(volumePath);
    craft::Chunk chunk = MakeChunk();
    chunk.Write();
    auto store = MakeRestore();
    const std::string missing = c.remove(chunk);
    std::filesystem::remove_all(missing);
    // The mount path passes its read and write probe: the chunk is to be marked bad.
    EXPECT_EQ(-1, Open(*store, kChunk));
    EXPECT_EQ(993, store->MediaFSGetLastError());
    EXPECT_NE(nullptr, std::strstr(store->m_strLastErrorMsg.c_str(), missing.c_str())) << store->m_strLastErrorMsg;
  }
}

TEST_F(OpenTest, AFailureOfTheMountPathDoesNotMarkTheChunkBad) {
  MakeChunk().Write();
  auto store = MakeRestore();
  Faults().Add(FaultRule{FsOp::Open, "CHUNK_META_DATA_12", 1, 1, EIO});
  Faults().Add(FaultRule{FsOp::Open, "ReadWriteTest.txt", 1, -1, EIO});  // the probe fails too
  EXPECT_EQ(-2, Open(*store, kChunk));
  EXPECT_NE(std::string::npos, store->m_strLastErrorMsg.find("Failed to open chunk file on media"));
}

TEST_F(OpenTest, NFileContainerIsOpenedAfterItsHeaderIsChecked) {
  craft::Chunk chunk = MakeChunk();
  chunk.SetNFile(craft::SeedBytes(5000, 9));
  chunk.Write();
  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));
  EXPECT_TRUE(store->NFileContainerExists());
  ASSERT_EQ(0, store->SetSeekOffset2(0, 128 + 1000));
  std::string data(200, '\0');
  ASSERT_EQ(200, store->ReadFromNonSIFile(data.data(), 200));
  EXPECT_EQ(craft::SeedBytes(5000, 9).substr(1000, 200), data);

  // A header that is not "NFILHDR" fails the open without a job event.
  std::string bad = craft::ReadFile(chunk.NFilePath());
  bad[0] = 'X';
  craft::WriteFile(chunk.NFilePath(), bad);
  auto second = MakeRestore();
  const size_t events = platform::Jobs().events.size();
  EXPECT_EQ(-1, Open(*second, kChunk));
  EXPECT_EQ(events, platform::Jobs().events.size());
  EXPECT_TRUE(platform::LogContains("contains invalid header [XFILHDR]"));
}

TEST_F(OpenTest, ZeroSizeCheckOfTheMetadataFile) {
  craft::Chunk chunk = MakeChunk();
  chunk.Write(craft::Chunk::MetaIndex::kNone);
  auto store = MakeRestore();
  store->SetMetaDataZeroSizeCheck(true);
  ASSERT_EQ(0, Open(*store, kChunk));
  EXPECT_FALSE(store->IsMetaDataZeroSize());

  craft::WriteFile(chunk.MetaPath(), "");
  auto empty = MakeRestore();
  empty->SetMetaDataZeroSizeCheck(true);
  ASSERT_EQ(0, Open(*empty, kChunk));
  EXPECT_TRUE(empty->IsMetaDataZeroSize());
}

TEST_F(OpenTest, ContainerIndexProbe) {
  craft::Chunk chunk = MakeChunk();
  chunk.Write();
  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));
  EXPECT_EQ(0, store->TryOpeningSFileContainerIndex());

  std::filesystem::remove(path_append(chunk.Dir(), "SFILE_CONTAINER.idx"));
  EXPECT_EQ(-1, store->TryOpeningSFileContainerIndex());  // a healthy mount path: the chunk is bad
  EXPECT_EQ(993, store->MediaFSGetLastError());

  platform::Identity().impersonateThrows = 1;
  EXPECT_EQ(-2, store->TryOpeningSFileContainerIndex());
  EXPECT_TRUE(platform::LogContains("TryOpeningSFileIdx: Caught exception: Impersonation failed"));
}

TEST_F(OpenTest, AnExceptionOnEnteringTheImpersonationFailsTheOpenWith751) {
  MakeChunk().Write();
  auto store = MakeRestore();
  platform::Identity().impersonateThrows = 1;
  EXPECT_EQ(-1, Open(*store, kChunk));
  EXPECT_EQ(751, store->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("SingleInstancer_FS::OpenSpecific: Caught exception in impersonation"));
}

}  // namespace
