// Reading an open chunk: every object of a crafted chunk back through the store, the metadata
// stream and its seeks, the container and object header checks, the failures and what they say
// about the chunk, and the containers a restore keeps open.


#include <algorithm>
#include <climits>
#include <cstring>
#include <random>

#include "compaction_fixture.h"
#include "restore_fixture.h"
#include "sistore/data_file_readers.h"

namespace {

using platform::FaultRule;
using platform::Faults;
using platform::FsOp;

constexpr long long kChunk = 12;

class ReadTest : public RestoreTest {
 public:
  // Three containers of objects of mixed sizes, one of them empty of data.
  craft::Chunk MakeChunk() {
    craft::Chunk chunk(volumePath, kChunk, kVolumeBlock);
    const size_t sizes[] = {1, 4096, 65536, 100000, 0, 333, 1 << 20, 70000, 17};
    uint64_t seed = 1;
    for (uint32_t container = 0; container < 3; ++container) {
      for (size_t size : sizes) {
        chunk.Add(container, size + container, 40 + seed % 90, seed);
        ++seed;
      }
    }
    return chunk;
  }

  std::string DataOf(const craft::Object& o) const { return o.bytes.substr(craft::kObjectHeaderSize); }
};

TEST_F(ReadTest, EveryObjectComesBackInIndexOrderAndInRandomOrder) {
  craft::Chunk chunk = MakeChunk();
  chunk.Write();
  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));

  std::vector<craft::Object> order = chunk.Objects();
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass == 0 ? "index order" : "random order");
    if (pass == 1) std::shuffle(order.begin(), order.end(), std::mt19937(7));
    for (const craft::Object& o : order) {
      ASSERT_EQ(DataOf(o), ReadObject(*store, chunk.ContainerPath(o.container), o.offset, DataOf(o).size()))
          << "object " << o.key;
      ASSERT_EQ(0, store->SetSeekOffset2(o.metaOffset, 0));
      std::string meta(o.meta.size(), '\0');
      ASSERT_EQ(static_cast<int>(meta.size()), store->ReadFromMetaData(meta.data(), static_cast<long>(meta.size())));
      ASSERT_EQ(o.meta, meta);
    }
  }
}

TEST_F(ReadTest, ContainerHeaderIsReadOncePerContainerWhateverTheCaseOfItsPath) {
  craft::Chunk chunk = MakeChunk();
  chunk.SetContainerVersion(2);  // a compacted container opens like any other
  chunk.Write();
  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));
  Faults().TraceTransfers(true);
  const craft::Object& a = chunk.Objects()[1];
  const craft::Object& b = chunk.Objects()[3];
  ASSERT_EQ(0, store->OpenDataFile2(chunk.ContainerPath(0).c_str(), a.offset));
  std::string lower = chunk.ContainerPath(0);
  std::transform(lower.end() - 19, lower.end(), lower.end() - 19, ::tolower);  // sfile_container_000
  ASSERT_EQ(0, store->OpenDataFile2(lower.c_str(), b.offset));
  EXPECT_EQ(1, Faults().Calls(FsOp::Open, "SFILE_CONTAINER_000"));
  std::vector<platform::FsTransfer> reads = Faults().Transfers("SFILE_CONTAINER_000");
  ASSERT_EQ(3u, reads.size());  // the container header, then one object header per object
  EXPECT_EQ(128u, reads[0].length);
  EXPECT_EQ(16u, reads[1].length);  // out of order: the object header alone
  EXPECT_EQ(static_cast<long long>(b.offset), reads[2].offset);
}

TEST_F(ReadTest, ObjectsReadInOrderCostOneReadOfTheContainerEach) {
  craft::Chunk chunk = MakeChunk();
  chunk.Write();
  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));
  std::vector<craft::Object> first;
  for (const craft::Object& o : chunk.Objects()) {
    if (o.container == 0) first.push_back(o);
  }
  ASSERT_EQ(DataOf(first[0]), ReadObject(*store, chunk.ContainerPath(0), first[0].offset, DataOf(first[0]).size()));
  Faults().TraceTransfers(true);
  size_t dataReads = 0;
  for (size_t i = 1; i < first.size(); ++i) {
    const std::string data = DataOf(first[i]);
    ASSERT_EQ(0, store->OpenDataFile2(chunk.ContainerPath(0).c_str(), first[i].offset));
    // In pieces: what was read ahead comes first.
    std::string read(data.size(), '\0');
    size_t at = 0;
    for (size_t piece : {size_t{3}, size_t{20}, data.size()}) {
      const size_t n = std::min(piece, data.size() - at);
      dataReads += n > 0 ? 1 : 0;
      ASSERT_EQ(static_cast<int>(n), store->ReadFromDataFile(read.data() + at, static_cast<long>(n)));
      at += n;
    }
    EXPECT_EQ(data, read) << "object " << first[i].key;
  }
  EXPECT_EQ(0, Faults().Calls(FsOp::Seek, "SFILE_CONTAINER_000"));
  // Each object's header came with the read before it: the container was read for data only.
  EXPECT_LE(Faults().Transfers("SFILE_CONTAINER_000").size(), dataReads);
}

TEST_F(ReadTest, DamagedHeadersAndRecordsGiveTheirFailureNeverWrongBytes) {
  craft::Chunk chunk = MakeChunk();
  chunk.Write();
  const craft::Object& o = chunk.Objects()[2];
  const std::string container = chunk.ContainerPath(0);
  struct Case {
    const char* name;
    size_t at;        // byte of the container changed
    uint64_t offset;  // offset asked for
    const char* log;
  } cases[] = {
      {"container magic", 3, o.offset, "contains invalid header [SFI3HDR]"},
      {"object magic", o.offset + 5, o.offset, "Cannot validate the signature in the data file."},
      {"offset inside an object", 0, o.offset + 7, "Cannot validate the signature in the data file."},
      {"offset past the end", 0, 1ULL << 40, "Cannot validate the signature in the data file."},
  };
  const std::string good = craft::ReadFile(container);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = good;
    if (c.at != 0) bytes[c.at] = static_cast<char>(bytes[c.at] ^ 0x7F);
    craft::WriteFile(container, bytes);
    auto store = MakeRestore();
    ASSERT_EQ(0, Open(*store, kChunk));
    EXPECT_EQ(-1, store->OpenDataFile2(container.c_str(), c.offset));
    EXPECT_EQ(0, store->MediaFSGetLastError());  // a check of the store's own changes no error
    EXPECT_TRUE(platform::LogContains(c.log));
    char byte = 0;
    EXPECT_EQ(-1, store->ReadFromDataFile(&byte, 1));  // nothing may be read as the object
  }
}

TEST_F(ReadTest, AnObjectHeaderCutShortByTheEndOfTheContainerIsNoHeader) {
  craft::Chunk chunk = MakeChunk();
  chunk.Write();
  const std::string container = chunk.ContainerPath(2);
  const std::string bytes = craft::ReadFile(container);
  // The container ends with the first 8 bytes of a header that would check out.
  craft::WriteFile(container, bytes + std::string("10DHGAT\0", 8));
  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));
  EXPECT_EQ(-1, store->OpenDataFile2(container.c_str(), bytes.size()));
}

TEST_F(ReadTest, ARefusedContainerIsNotReadUnderThePathOfTheOneBefore) {
  craft::Chunk chunk(volumePath, kChunk, kVolumeBlock);
  const craft::Object a = chunk.Add(0, 1000, 10, 1);
  const craft::Object b = chunk.Add(1, 1000, 10, 2);  // at the same offset of the next container
  chunk.Write();
  std::string refused = craft::ReadFile(chunk.ContainerPath(1));
  refused[0] = 'X';  // container 1's header is refused; its objects still carry good headers
  craft::WriteFile(chunk.ContainerPath(1), refused);

  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));
  ASSERT_EQ(DataOf(a), ReadObject(*store, chunk.ContainerPath(0), a.offset, DataOf(a).size()));
  EXPECT_EQ(-1, store->OpenDataFile2(chunk.ContainerPath(1).c_str(), b.offset));
  // Container 0 again, at the same offset: its own bytes, not those of the refused container.
  EXPECT_EQ(DataOf(a), ReadObject(*store, chunk.ContainerPath(0), a.offset, DataOf(a).size()));
}

// A restore that moves among more containers than it keeps open, while a compaction replaces a
// container between two reads of it. The host translates each object's offset through the map of
// the container as it finds it at that moment, as GetCompactedOffset does: every object comes
// back right, whether the store still held the replaced container open or had closed it, and no
// descriptor stays open after the close or the destruction.
TEST_F(ReadTest, ARestoreAmongMoreContainersThanItKeepsReadsRightThroughACompaction) {
  constexpr uint32_t kContainers = 2 * sistore::KeptContainers::kMax + 4;
  craft::Chunk chunk(volumePath, kChunk, kVolumeBlock);
  for (uint32_t n = 0; n < kContainers; ++n) {
    for (uint64_t i = 0; i < 3; ++i) chunk.Add(n, 100 + 37 * i + n, 8, n * 3 + i);
  }
  chunk.Write();
  std::vector<craft::Object> objects = chunk.Objects();
  const std::string switched = chunk.ContainerPath(0);
  const craft::Object dropped = objects[0];  // the compaction drops container 0's first object

  auto physical = [&](const craft::Object& o) {
    std::unique_ptr<CFileInterface> file(CFileInterface::GetFileInterfaceInstance(FsParams()));
    uint64_t at = ~0ULL;
    EXPECT_TRUE(file->Open(chunk.ContainerPath(o.container), O_RDONLY, 0, 0).IsSuccess());
    EXPECT_TRUE(SingleInstancer_FS::GetCompactedOffset(file.get(), o.offset, at).IsSuccess());
    return at;
  };
  auto compact = [&] {
    const std::string current = craft::ReadFile(switched);
    CSFileCompactionMap map;
    std::vector<SSFileRange> holes(1), ranges;
    holes[0].uOffset = dropped.offset;
    holes[0].uLength = dropped.bytes.size();
    uint64_t valid = 0, holeBytes = 0;
    ASSERT_EQ(0, map.Merge(&holes, 0, current.size(), ranges, valid, holeBytes));
    craft::WriteFile(switched + ".compact2", cmptest::CompactedCopy(current, map, ranges));
    ASSERT_TRUE(SingleInstancer_FS::SwitchCompactableFile(FsParams(), switched.c_str(), nullptr).IsSuccess());
  };

  const int baseline = OpenDescriptors();
  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));
  const int opened = OpenDescriptors();
  std::shuffle(objects.begin(), objects.end(), std::mt19937(5));
  bool compacted = false;
  for (int pass = 0; pass < 2; ++pass) {
    for (const craft::Object& o : objects) {
      if (compacted && o.key == dropped.key) continue;
      SCOPED_TRACE("object " + std::to_string(o.key) + " of container " + std::to_string(o.container));
      ASSERT_EQ(DataOf(o), ReadObject(*store, chunk.ContainerPath(o.container), physical(o), DataOf(o).size()));
      EXPECT_LE(OpenDescriptors(), opened + static_cast<int>(sistore::KeptContainers::kMax));
      if (!compacted && o.container == 0 && o.key != dropped.key) {
        compact();  // while the store holds container 0 open
        compacted = true;
      }
    }
  }
  ASSERT_TRUE(compacted);
  EXPECT_EQ(0, store->Close());
  EXPECT_EQ(baseline, OpenDescriptors());

  // Destroyed without a close: the same.
  auto other = MakeRestore();
  ASSERT_EQ(0, Open(*other, kChunk));
  for (uint32_t n = 0; n < 5; ++n) {
    const craft::Object& o = chunk.Objects()[3 * n + 1];
    ASSERT_EQ(DataOf(o), ReadObject(*other, chunk.ContainerPath(n), physical(o), DataOf(o).size()));
  }
  other.reset();
  EXPECT_EQ(baseline, OpenDescriptors());
}

TEST_F(ReadTest, ReadFailuresMarkTheChunkBadOnlyWhenTheMountPathIsHealthy) {
  craft::Chunk chunk = MakeChunk();
  chunk.Write();
  const craft::Object& o = chunk.Objects()[4];
  const std::string container = chunk.ContainerPath(0);
  struct Case {
    const char* name;
    FaultRule fault;
    bool probeFails;
    int expected;
    const char* userText;
  } cases[] = {
      {"container open, healthy mount path", {FsOp::Open, "SFILE_CONTAINER_000", 1, 1, EIO}, false, -1,
       "Failed to open data file on media"},
      {"container open, mount path fails", {FsOp::Open, "SFILE_CONTAINER_000", 1, 1, EIO}, true, -2,
       "Failed to open data file on media"},
      {"container header read", {FsOp::Read, "SFILE_CONTAINER_000", 1, 1, EIO}, false, -1,
       "Failed to read data file on media"},
      {"object header read, mount path fails", {FsOp::Read, "SFILE_CONTAINER_000", 2, 1, EIO}, true, -2,
       "Failed to read header in data file"},
      {"object header read", {FsOp::Read, "SFILE_CONTAINER_000", 2, 1, EIO}, false, -1,
       "Failed to read header in data file"},
      {"permission refused: the mount path's fault", {FsOp::Open, "SFILE_CONTAINER_000", 1, 1, EACCES}, false, -2,
       "Failed to open data file on media"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    {
      std::lock_guard<std::mutex> lock(platform::MediaManagerMutex());
      platform::MediaManager().volumes[kVolId].mountPathId = static_cast<int>(kMountPathId);
    }
    auto store = MakeRestore();
    ASSERT_EQ(0, Open(*store, kChunk));
    Faults().Add(c.fault);
    if (c.probeFails) Faults().Add(FaultRule{FsOp::Open, "ReadWriteTest.txt", 1, -1, EIO});
    EXPECT_EQ(c.expected, store->OpenDataFile2(container.c_str(), o.offset));
    EXPECT_NE(0, store->MediaFSGetLastError());
    EXPECT_NE(nullptr, std::strstr(store->m_strLastErrorMsg.c_str(), c.userText)) << store->m_strLastErrorMsg;
  }
}

// An offset no file can reach is refused by the seek that goes before the read, as a seek error.
TEST_F(ReadTest, AnOffsetPastAnyFileIsASeekFailure) {
  craft::Chunk chunk = MakeChunk();
  chunk.Write();
  auto store = MakeRestore();
  ASSERT_EQ(0, Open(*store, kChunk));
  EXPECT_GT(0, store->OpenDataFile2(chunk.ContainerPath(0).c_str(), 1ULL << 63));
  EXPECT_TRUE(platform::LogContains("Cannot seek the position"));
  EXPECT_NE(nullptr, std::strstr(store->m_strLastErrorMsg.c_str(), "Failed to seek within data file on media"));
  char byte = 0;
  EXPECT_EQ(-1, store->ReadFromDataFile(&byte, 1));
}

TEST_F(ReadTest, MetadataStreamReadsAndSeeks) {
  craft::Chunk chunk = MakeChunk();
  chunk.Write();
  auto store = MakeRestore();

  // Before the chunk is open.
  char buf[64];
  EXPECT_EQ(-1, store->ReadFromMetaData(buf, sizeof(buf)));
  EXPECT_EQ("ReadFromMetaData Failed as the Meta Data file is Not Open Yet", store->m_strLastErrorMsg);

  ASSERT_EQ(0, Open(*store, kChunk));
  const std::string& meta = chunk.MetaBytes();
  // SetSeekOffset counts from the end of the chunk header block, SetSeekOffset2 from the start.
  ASSERT_EQ(1, store->SetSeekOffset(100));
  ASSERT_EQ(64, store->ReadFromMetaData(buf, 64));
  EXPECT_EQ(meta.substr(kVolumeBlock + 100, 64), std::string(buf, 64));
  // A negative offset would count back into the chunk header block: refused, the reader stays.
  for (long long offset : {-100LL, -1LL, static_cast<long long>(-kVolumeBlock), LLONG_MIN}) {
    SCOPED_TRACE(offset);
    EXPECT_EQ(0, store->SetSeekOffset(offset));
    EXPECT_TRUE(platform::LogContains("Cannot seek to position [" + std::to_string(offset) + "]"));
  }
  ASSERT_EQ(64, store->ReadFromMetaData(buf, 64));
  EXPECT_EQ(meta.substr(kVolumeBlock + 164, 64), std::string(buf, 64));
  ASSERT_EQ(0, store->SetSeekOffset2(100, 0));
  ASSERT_EQ(64, store->ReadFromMetaData(buf, 64));
  EXPECT_EQ(meta.substr(100, 64), std::string(buf, 64));

  // At the end: fewer bytes, then none; the read total counts what was asked for.
  ASSERT_EQ(0, store->SetSeekOffset2(meta.size() - 10, 0));
  EXPECT_EQ(10, store->ReadFromMetaData(buf, 64));
  const long long asked = store->m_llBytesRead;
  EXPECT_EQ(0, store->ReadFromMetaData(buf, 64));
  EXPECT_EQ(asked + 64, store->m_llBytesRead);

  // Without "NFILE_CONTAINER" an offset in it is an invariant report, not a failure.
  EXPECT_EQ(0, store->SetSeekOffset2(0, 0));
  EXPECT_FALSE(platform::LogContains("ulNonSIFileOffset == 0"));
  EXPECT_EQ(0, store->SetSeekOffset2(0, 4096));
  EXPECT_TRUE(platform::LogContains("ulNonSIFileOffset == 0"));
  EXPECT_EQ(-1, store->ReadFromNonSIFile(buf, 1));

  // A read error of the metadata file.
  Faults().Add(FaultRule{FsOp::Read, "CHUNK_META_DATA_12", 1, 1, EIO});
  ASSERT_EQ(0, store->SetSeekOffset2(0, 0));  // outside the buffered block
  EXPECT_EQ(-1, store->ReadFromMetaData(buf, 64));
  EXPECT_NE(nullptr, std::strstr(store->m_strLastErrorMsg.c_str(), "Cannot read from the media"));
}

TEST_F(ReadTest, ADataFileReadBeforeAnyOpenIsRefused) {
  auto store = MakeRestore();
  char byte = 0;
  EXPECT_EQ(-1, store->ReadFromDataFile(&byte, 1));
  EXPECT_EQ("ReadFromDataFile Failed as the data file is Not Open Yet", store->m_strLastErrorMsg);
  EXPECT_EQ(-1, store->OpenDataFile2(nullptr, 0));
}

}  // namespace

namespace {

TEST_F(ReadTest, TheChunkMetadataIndexIsWalkedInEitherFormat) {
  for (auto format : {craft::Chunk::MetaIndex::kVersion2, craft::Chunk::MetaIndex::kCurrent}) {
    const bool older = format == craft::Chunk::MetaIndex::kVersion2;
    SCOPED_TRACE(older ? "9.0 format" : "current format");
    craft::Chunk chunk = MakeChunk();
    chunk.Write(format);
    auto store = MakeRestore();
    ASSERT_EQ(0, Open(*store, kChunk));
    unsigned long long offset = 0;
    for (const craft::Object& o : chunk.Objects()) {
      bool found = false;
      ChunkMetaDataIndexEntry entry;
      ASSERT_EQ(0, store->GetNextFileHdrOffset(offset, found, entry));
      ASSERT_TRUE(found);
      EXPECT_EQ(o.metaOffset, entry.Key);
      EXPECT_EQ(older ? o.metaOffset * 3 : o.key, entry.OwnerValue8);
      EXPECT_EQ(older ? o.metaOffset * 5 : o.container, entry.OwnerValue16);
      offset = entry.Key;
    }
    bool found = true;
    ChunkMetaDataIndexEntry entry;
    EXPECT_EQ(-2, store->GetNextFileHdrOffset(offset, found, entry));  // no record after the last
    EXPECT_FALSE(found);
  }
}

TEST_F(ReadTest, WalkingWithoutAUsableChunkMetadataIndex) {
  craft::Chunk chunk = MakeChunk();
  chunk.Write();
  bool found = true;
  ChunkMetaDataIndexEntry entry;

  auto outside = MakeRestore(false);  // outside container mode there is no index to walk
  ASSERT_EQ(0, Open(*outside, kChunk));
  EXPECT_EQ(0, outside->GetNextFileHdrOffset(0, found, entry));
  EXPECT_FALSE(found);

  std::string idx = craft::ReadFile(chunk.MetaPath() + ".idx");
  idx[40] ^= 1;  // the header no longer gives a version
  craft::WriteFile(chunk.MetaPath() + ".idx", idx);
  auto unknown = MakeRestore();
  ASSERT_EQ(0, Open(*unknown, kChunk));
  EXPECT_EQ(-1, unknown->GetNextFileHdrOffset(0, found, entry));
  EXPECT_TRUE(platform::LogContains("Unable to find Chunk Meta Data Index file version."));

  // A damaged record is a failure, never a record.
  chunk.Write();
  std::string records = craft::ReadFile(chunk.MetaPath() + ".idx");
  records[512 + 80 + 9] ^= 0x40;  // the second record's key; its CRC no longer holds
  craft::WriteFile(chunk.MetaPath() + ".idx", records);
  auto damaged = MakeRestore();
  ASSERT_EQ(0, Open(*damaged, kChunk));
  found = true;
  EXPECT_EQ(-1, damaged->GetNextFileHdrOffset(chunk.Objects()[0].metaOffset, found, entry));
  EXPECT_FALSE(found);
}

}  // namespace
