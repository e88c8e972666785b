// Appends, reads, walks, searches and updates of records, for every record type.
#include <gtest/gtest.h>

#include <thread>

#include "index_test_util.h"

namespace {

using namespace idxtest;

// What the typed tests need to know of each writable record type.
template <class Rec>
struct RecordKind;

template <>
struct RecordKind<SSfileContainerIndexEntry> {
  using Index = SFileIndex;
  static constexpr size_t kDeletedAt = 52;
  static constexpr bool kDeletedInCrc = false;
  static SSfileContainerIndexEntry Make(uint64_t key, uint32_t deleted) { return SfileRec(key, deleted); }
};

template <>
struct RecordKind<SChunkMetaDataIndexEntry> {
  using Index = ChunkIndex;
  static constexpr size_t kDeletedAt = 44;
  static constexpr bool kDeletedInCrc = true;
  static SChunkMetaDataIndexEntry Make(uint64_t key, uint32_t deleted) {
    SChunkMetaDataIndexEntry r{};
    r.Key = key;
    r.OwnerValue8 = key + 1;
    r.OwnerValue32 = key << 20;
    r.OwnerValue40 = 0xA0B0C0D0;
    r.Deleted = deleted;
    for (size_t i = 0; i < sizeof(r.Opaque); ++i) r.Opaque[i] = static_cast<unsigned char>(key + i);
    return r;
  }
};

template <>
struct RecordKind<SHybridVolumeRecord> {
  using Index = HybridIndex;
  static constexpr size_t kDeletedAt = 36;
  static constexpr bool kDeletedInCrc = true;
  static SHybridVolumeRecord Make(uint64_t key, uint32_t deleted) {
    SHybridVolumeRecord r{};
    r.VolId = key;
    r.CacheMPId = 1000 + key;
    r.Flags = 3;
    r.Deleted = deleted;
    return r;
  }
};

template <class Rec>
class IndexRecordTypes : public ::testing::Test {};
using WritableRecords = ::testing::Types<SSfileContainerIndexEntry, SChunkMetaDataIndexEntry, SHybridVolumeRecord>;
TYPED_TEST_SUITE(IndexRecordTypes, WritableRecords);

TYPED_TEST(IndexRecordTypes, RoundTripBigEndianWithTheirOwnChecksum) {
  using Kind = RecordKind<TypeParam>;
  using Index = typename Kind::Index;
  TempDir dir;
  const std::string path = dir.File("x.idx");
  CFSInitParams params = Params(kFSTypeCloud, 0);  // nothing locked, nothing journaled
  {
    Index idx(&params, nullptr);
    auto opt = Opts<Index>(false, false);  // packed: record i at 128 + i * R
    ASSERT_TRUE(idx.Create(path, opt).IsSuccess());
    for (uint64_t k = 1; k <= 5; ++k) {
      TypeParam r = Kind::Make(k, k == 4);
      const TypeParam before = r;
      ASSERT_TRUE(idx.AddEntry(&r).IsSuccess());
      TypeParam restored = r;
      restored.CRC32 = before.CRC32;
      EXPECT_EQ(memcmp(&restored, &before, sizeof(r)), 0) << "the caller's record is back in host order";
    }
    EXPECT_EQ(idx.m_Header.DeletedEntries, 1u);
  }
  std::string disk = ReadFile(path);
  const size_t r = sizeof(TypeParam);
  ASSERT_EQ(disk.size(), 128 + 5 * r);
  const size_t second = 128 + r;
  EXPECT_EQ(GetBE64(disk, second + (std::is_same_v<TypeParam, SSfileContainerIndexEntry> ? 8 : 0)), 2u);
  const uint32_t crcBytes = CIndexRecordTraits<TypeParam>::kCrcBytes;
  EXPECT_EQ(GetBE32(disk, second + crcBytes), Crc(disk, second, crcBytes));
  EXPECT_EQ(GetBE64(disk, 16), 1u) << "deleted count in the header";
  EXPECT_EQ(GetBE64(disk, 24), 5u);

  {
    Index idx(&params, nullptr);
    auto opt = Opts<Index>(false, false);
    ASSERT_TRUE(idx.Open(path, 1, opt).IsSuccess());
    for (uint64_t k = 1; k <= 5; ++k) {
      TypeParam got;
      ASSERT_TRUE(idx.GetEntry(static_cast<int64_t>(k - 1), &got).IsSuccess());
      TypeParam want = Kind::Make(k, k == 4);
      want.CRC32 = got.CRC32;
      EXPECT_EQ(memcmp(&got, &want, sizeof(got)), 0) << k;
    }
  }

  // A changed deleted flag on disk: covered by the CRC or not, by record type.
  disk[second + Kind::kDeletedAt + 3] = 1;
  WriteFile(path, disk);
  Index idx(&params, nullptr);
  auto opt = Opts<Index>(false, false);
  ASSERT_TRUE(idx.Open(path, 1, opt).IsSuccess());
  TypeParam got;
  CXoError e = idx.GetEntry(1, &got);
  if (Kind::kDeletedInCrc) {
    EXPECT_TRUE(FXErrorUtil::IsMM(e, kIdxMMErrCorrupt));
    EXPECT_TRUE(platform::LogContains("CRC mismatch, Expected [0x"));
    EXPECT_TRUE(platform::LogContains("Cannot read entry from index [1] of file [" + path + "]"));
  } else {
    ASSERT_TRUE(e.IsSuccess());
    EXPECT_EQ(CIndexRecordTraits<TypeParam>::Deleted(got), 1u);
  }
}

TEST(IndexOldChunkRecords, AreReadAndSearched) {
  TempDir dir;
  const std::string path = dir.File("meta.idx");
  HeaderFields h;
  h.magic = "CHNKIDX";
  h.version = 2;
  std::string file = HeaderBytes(h);
  for (uint64_t key : {100, 200, 300}) {
    std::string rec(32, '\0');
    PutBE64(rec, 0, key);
    PutBE64(rec, 8, key + 1);
    PutBE64(rec, 16, key + 2);
    PutBE32(rec, 24, Crc(rec, 0, 24));
    PutBE32(rec, 28, 7);
    file += rec;
  }
  WriteFile(path, file);
  CFSInitParams params = Params();
  Chunk90Index idx(&params, nullptr);
  auto opt = Opts<Chunk90Index>(false, false);
  ASSERT_TRUE(idx.Open(path, 1, opt).IsSuccess());
  EXPECT_EQ(idx.m_Header.TotalEntries, 3u);
  SChunkMetaDataIndexEntry90 r;
  int64_t pos = -1, lo = 0, hi = 2;
  ASSERT_TRUE(idx.SearchEntry(200, &r, &pos, lo, hi).IsSuccess());
  EXPECT_EQ(pos, 1);
  EXPECT_EQ(r.OwnerValue16, 202u);
  EXPECT_EQ(r.OwnerValue28, 7u);
  ASSERT_TRUE(idx.SearchNextEntry(250, &r, &pos).IsSuccess());
  EXPECT_EQ(pos, 2);
  EXPECT_EQ(r.Key, 300u);
}

class IndexRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opt = Opts<SFileIndex>(false, true);
    ASSERT_TRUE(idx_.Create(dir_.File("SFILE_CONTAINER.idx"), opt).IsSuccess());
  }
  void AddKeys(std::initializer_list<uint64_t> keys) {
    for (uint64_t k : keys) {
      SSfileContainerIndexEntry r = SfileRec(k);
      ASSERT_TRUE(idx_.AddEntry(&r).IsSuccess()) << k;
    }
  }
  int64_t Search(uint64_t key, int64_t* lo = nullptr) {
    int64_t pos = -2, l = 0, h = static_cast<int64_t>(idx_.m_Header.TotalEntries) - 1;
    CXoError e = idx_.SearchEntry(key, &rec_, &pos, l, h);
    EXPECT_TRUE(e.IsSuccess()) << e.AsString();
    if (lo != nullptr) *lo = l;
    return pos;
  }

  TempDir dir_;
  CFSInitParams params_ = Params();
  SFileIndex idx_{&params_, nullptr};
  SSfileContainerIndexEntry rec_{};
};

TEST_F(IndexRecords, AnEmptyIndexHasNothingToFind) {
  int64_t lo = -5;
  EXPECT_EQ(Search(42, &lo), -1);
  EXPECT_EQ(lo, 0);
  int64_t pos = 7;
  ASSERT_TRUE(idx_.SearchNextEntry(42, &rec_, &pos).IsSuccess());
  EXPECT_EQ(pos, -1);
  ASSERT_TRUE(idx_.GetFirstEntry(&pos, &rec_).IsSuccess());
  EXPECT_EQ(pos, -1);
  CXoError e = idx_.UpdateEntry(0, &rec_);
  EXPECT_TRUE(FXErrorUtil::IsWin32(e, kIdxWin32ErrGeneric));
  EXPECT_EQ(e.Message(), "Position 0>= TotalEntries 0");
}

TEST_F(IndexRecords, AppendsMustKeepKeysAscending) {
  AddKeys({0, 0, 5});  // while the last key is 0 any key goes
  SSfileContainerIndexEntry same = SfileRec(5);
  CXoError e = idx_.AddEntry(&same);
  EXPECT_TRUE(FXErrorUtil::IsWin32(e, kIdxWin32ErrGeneric));
  EXPECT_EQ(e.Message(), "Key is not sorted");
  EXPECT_TRUE(platform::LogContains("as it is not sorted. Last [5], Current [5]"));
  SSfileContainerIndexEntry smaller = SfileRec(4);
  EXPECT_TRUE(idx_.AddEntry(&smaller).IsFailure());
  EXPECT_EQ(idx_.m_Header.TotalEntries, 3u);
  SSfileContainerIndexEntry deleted = SfileRec(6, 1);
  ASSERT_TRUE(idx_.AddEntry(&deleted).IsSuccess());
  EXPECT_EQ(idx_.m_Header.DeletedEntries, 1u);
}

TEST_F(IndexRecords, ReadsOutsideTheRecordsFail) {
  AddKeys({10, 20, 30});
  CXoError e = idx_.GetEntry(3, &rec_);
  EXPECT_TRUE(FXErrorUtil::IsMM(e, kIdxMMErrCorrupt));
  // A negative index would land on the header (aligned: -9 is position 0).
  for (int64_t index : {-1, -9}) {
    e = idx_.GetEntry(index, &rec_);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, kIdxWin32ErrInvalidParameter)) << index;
    e = idx_.UpdateEntry(index, &rec_);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, kIdxWin32ErrInvalidParameter)) << index;
  }
  EXPECT_EQ(idx_.m_Header.TotalEntries, 3u);
  ASSERT_TRUE(idx_.GetEntry(0, &rec_).IsSuccess());
  EXPECT_EQ(rec_.Key, 10u);
}

TEST_F(IndexRecords, SearchFindsKeysAndInsertionPoints) {
  AddKeys({10, 20, 30, 40, 50, 60, 70});
  struct Case {
    uint64_t key;
    int64_t pos;
    int64_t lo;  // where a missing key would go
  };
  for (Case c : {Case{10, 0, -1}, Case{40, 3, -1}, Case{70, 6, -1}, Case{5, -1, 0}, Case{35, -1, 3},
                 Case{99, -1, 7}}) {
    SCOPED_TRACE(c.key);
    int64_t lo = -1;
    EXPECT_EQ(Search(c.key, &lo), c.pos);
    if (c.pos >= 0) {
      EXPECT_EQ(rec_.Key, c.key);
    } else {
      EXPECT_EQ(lo, c.lo);
    }
  }
}

TEST_F(IndexRecords, SearchNextGivesTheFirstGreaterKey) {
  AddKeys({10, 20, 30});
  struct Case {
    uint64_t key;
    int64_t pos;
  };
  for (Case c : {Case{5, 0}, Case{10, 1}, Case{25, 2}, Case{30, -1}, Case{31, -1}}) {
    int64_t pos = -2;
    ASSERT_TRUE(idx_.SearchNextEntry(c.key, &rec_, &pos).IsSuccess());
    EXPECT_EQ(pos, c.pos) << c.key;
  }
}

// Repeated searches answer the upper levels from the key cache: only the record sought is read.
TEST_F(IndexRecords, TheKeyCacheSparesTheReadsOfTheUpperLevels) {
  for (uint64_t k = 1; k <= 1000; ++k) AddKeys({k * 2});
  ASSERT_EQ(Search(1000), 499);
  // Spoil every record in memory but the one sought: a search that reads any other record fails.
  for (auto& entry : Access::Pages(idx_)) {
    for (uint32_t i = 0; i < entry.second->Size; ++i) entry.second->Data[i] ^= 0x55;
  }
  const uint64_t pos = IndexRecordPosition(499, 512, 56);
  auto& page = *Access::Pages(idx_).at(pos / IDX_PAGE_SIZE);
  for (uint32_t i = 0; i < 56; ++i) page.Data[pos % IDX_PAGE_SIZE + i] ^= 0x55;
  EXPECT_EQ(Search(1000), 499);
  EXPECT_EQ(rec_.Key, 1000u);
}

TEST_F(IndexRecords, TheKeyCacheFollowsAppendsAndRefusesOtherBounds) {
  AddKeys({10, 20, 30, 40, 50});
  EXPECT_EQ(Search(40), 3);
  AddKeys({60, 70, 80});  // clears the cache: the root moves
  EXPECT_EQ(Search(70), 6);
  EXPECT_EQ(Search(20), 1);

  int64_t pos = 0, lo = 0, hi = 3;  // another root than the one cached
  CXoError e = idx_.SearchEntry(20, &rec_, &pos, lo, hi);
  EXPECT_TRUE(FXErrorUtil::IsWin32(e, kIdxWin32ErrGeneric));
  EXPECT_EQ(e.Message(), "Internal error");
  EXPECT_TRUE(platform::LogContains("Internal error. Cached value incorrect. Cached [3], Got [1]"));
}

TEST_F(IndexRecords, WalksSkipDeletedRecords) {
  const uint32_t deleted[] = {1, 0, 2, 0, 0, 7};
  for (uint64_t i = 0; i < 6; ++i) {
    SSfileContainerIndexEntry r = SfileRec(i + 1, deleted[i]);
    ASSERT_TRUE(idx_.AddEntry(&r).IsSuccess());
  }
  std::vector<int64_t> seen;
  int64_t i = 0;
  ASSERT_TRUE(idx_.GetFirstEntry(&i, &rec_).IsSuccess());
  while (i != -1) {
    seen.push_back(i);
    ASSERT_TRUE(idx_.GetNextEntry(&i, &rec_).IsSuccess());
  }
  EXPECT_EQ(seen, (std::vector<int64_t>{1, 3, 4}));
  ASSERT_TRUE(idx_.GetNextEntry(&i, &rec_).IsSuccess());
  EXPECT_EQ(i, 1) << "from -1 the walk starts over";
}

TEST_F(IndexRecords, UpdatesCountDeletedFlagsZeroAndOneOnly) {
  struct Case {
    uint32_t from;
    uint32_t to;
    int change;
  };
  for (Case c : {Case{0, 1, 1}, Case{1, 0, -1}, Case{0, 2, 0}, Case{2, 0, 0}, Case{1, 1, 0}, Case{2, 1, 0}}) {
    SCOPED_TRACE(std::to_string(c.from) + "->" + std::to_string(c.to));
    const uint64_t key = (idx_.m_Header.TotalEntries + 1) * 10;
    SSfileContainerIndexEntry r = SfileRec(key, c.from);
    ASSERT_TRUE(idx_.AddEntry(&r).IsSuccess());
    const int64_t at = static_cast<int64_t>(idx_.m_Header.TotalEntries) - 1;
    const uint64_t before = idx_.m_Header.DeletedEntries;
    r.Deleted = c.to;
    r.Flags = 0;
    ASSERT_TRUE(idx_.UpdateEntry(at, &r).IsSuccess());
    EXPECT_EQ(static_cast<int64_t>(idx_.m_Header.DeletedEntries) - static_cast<int64_t>(before), c.change);
    ASSERT_TRUE(idx_.GetEntry(at, &rec_).IsSuccess());
    EXPECT_EQ(rec_.Flags, 0u);
    EXPECT_EQ(rec_.Deleted, c.to);
  }
}

// Aligned files start the deleted count again at every Open; restoring a record deleted before
// must not wrap it below zero.
TEST_F(IndexRecords, RestoringARecordAfterReopenDoesNotWrapTheCount) {
  AddKeys({1});
  SSfileContainerIndexEntry r = SfileRec(2, 1);
  ASSERT_TRUE(idx_.AddEntry(&r).IsSuccess());
  ASSERT_TRUE(idx_.Close().IsSuccess());
  auto opt = Opts<SFileIndex>(false, false);
  ASSERT_TRUE(idx_.Open(dir_.File("SFILE_CONTAINER.idx"), 2, opt).IsSuccess());
  EXPECT_EQ(idx_.m_Header.DeletedEntries, 0u);
  r.Deleted = 0;
  ASSERT_TRUE(idx_.UpdateEntry(1, &r).IsSuccess());
  EXPECT_EQ(idx_.m_Header.DeletedEntries, 0u);
  ASSERT_TRUE(idx_.Close().IsSuccess());
  EXPECT_EQ(GetBE64(ReadFile(dir_.File("SFILE_CONTAINER.idx")), 16), 0u);
}

TEST_F(IndexRecords, GetSizeChecksTheSizeAgainstTheCount) {
  uint64_t size = 0;
  ASSERT_TRUE(idx_.GetSize(size).IsSuccess());
  EXPECT_EQ(size, 128u);
  for (uint64_t k = 1; k <= 10; ++k) AddKeys({k});
  ASSERT_TRUE(idx_.GetSize(size).IsSuccess());
  EXPECT_EQ(size, 1080u);
  ASSERT_TRUE(idx_.Close().IsSuccess());
  EXPECT_TRUE(FXErrorUtil::IsWin32(idx_.GetSize(size), kIdxWin32ErrGeneric));

  // Bytes beyond the last record.
  const std::string path = dir_.File("SFILE_CONTAINER.idx");
  WriteFile(path, ReadFile(path) + std::string(8, '\0'));
  auto opt = Opts<SFileIndex>(false, false);
  ASSERT_TRUE(idx_.Open(path, 1, opt).IsSuccess());
  CXoError e = idx_.GetSize(size);
  EXPECT_TRUE(FXErrorUtil::IsMM(e, kIdxMMErrCorrupt));
  EXPECT_EQ(size, 1080u);
  EXPECT_TRUE(platform::LogContains("Error: Computed size [1080] does not match actual size [1088]"));

  SFileIndex packed(&params_, nullptr);
  auto packedOpt = Opts<SFileIndex>(false, false);
  ASSERT_TRUE(packed.Create(dir_.File("packed.idx"), packedOpt).IsSuccess());
  SSfileContainerIndexEntry r = SfileRec(1);
  ASSERT_TRUE(packed.AddEntry(&r).IsSuccess());
  ASSERT_TRUE(packed.GetSize(size).IsSuccess());
  EXPECT_EQ(size, 128u + 56);
}

TEST_F(IndexRecords, ACriticalSectionIsHeldAroundEachOperation) {
  OzCriticalSectionH cs;
  idx_.m_pcs = &cs;
  AddKeys({1, 2, 3});
  EXPECT_EQ(Search(2), 1);
  ASSERT_TRUE(idx_.Flush().IsSuccess());
  // Another thread can take the section between operations: nothing was left held.
  bool entered = false;
  std::thread other([&] {
    entered = cs.enter(false);
    if (entered) cs.leave();
  });
  other.join();
  EXPECT_TRUE(entered);
  ASSERT_TRUE(idx_.Close().IsSuccess());
  idx_.m_pcs = nullptr;
}

}  // namespace
