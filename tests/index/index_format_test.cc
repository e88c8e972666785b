// The header bytes, the versions and checksums that Open accepts, and where records lie.
#include <gtest/gtest.h>

#include "index_test_util.h"

namespace {

using namespace idxtest;

TEST(IndexFormat, CreatedAlignedHeaderMatchesGoldenBytes) {
  TempDir dir;
  CFSInitParams params = Params();
  SFileIndex idx(&params, nullptr);
  idx.m_EngineId = 0x01020304;
  auto opt = Opts<SFileIndex>(false, true);
  ASSERT_TRUE(idx.Create(dir.File("SFILE_CONTAINER.idx"), opt).IsSuccess());
  EXPECT_EQ(ReadFile(dir.File("SFILE_CONTAINER.idx")).size(), 0u) << "nothing reaches the file before a flush";
  ASSERT_TRUE(idx.Close().IsSuccess());

  std::string golden(128, '\0');
  memcpy(&golden[0], "SFILIDX", 7);
  const unsigned char fields[] = {0, 0, 0, 4, 0, 0, 0, 0};  // version 4, reserved
  memcpy(&golden[8], fields, sizeof(fields));
  const unsigned char blockAndEngine[] = {0, 0, 2, 0, 1, 2, 3, 4};
  memcpy(&golden[32], blockAndEngine, sizeof(blockAndEngine));
  PutBE32(golden, 124, Crc(golden, 0, 124));
  EXPECT_EQ(ReadFile(dir.File("SFILE_CONTAINER.idx")), golden);
}

TEST(IndexFormat, EightCharacterMagicHasNoTerminatorAndReadsBack) {
  TempDir dir;
  CFSInitParams params = Params();
  {
    HybridIndex idx(&params, nullptr);
    auto opt = Opts<HybridIndex>(false, true);
    ASSERT_TRUE(idx.Create(dir.File("HybridVolumes.idx"), opt).IsSuccess());
  }
  std::string bytes = ReadFile(dir.File("HybridVolumes.idx"));
  ASSERT_EQ(bytes.size(), 128u);
  EXPECT_EQ(bytes.substr(0, 8), "HYBRDVOL");
  EXPECT_EQ(bytes[8], '\0');
  HybridIndex reopened(&params, nullptr);
  auto opt = Opts<HybridIndex>(false, false);
  EXPECT_TRUE(reopened.Open(dir.File("HybridVolumes.idx"), 2, opt).IsSuccess());
}

// What Open makes of a header, by magic, version, block size and stored CRC.
struct HeaderCase {
  const char* name;
  HeaderFields header;
  enum Outcome { kOk, kCorrupt, kOldVersion, kNewVersion } outcome;
  const char* logText;
};

void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.name; }

class IndexHeaderAcceptance : public ::testing::TestWithParam<HeaderCase> {};

HeaderFields Hdr(const char* magic, uint32_t version, uint32_t blockSize, bool explicitCrc, uint32_t crc) {
  HeaderFields h;
  h.magic = magic;
  h.version = version;
  h.blockSize = blockSize;
  h.explicitCrc = explicitCrc;
  h.crc = crc;
  return h;
}

TEST_P(IndexHeaderAcceptance, Open) {
  const HeaderCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.File("SFILE_CONTAINER.idx");
  WriteFile(path, HeaderBytes(c.header));
  CFSInitParams params = Params();
  SFileIndex idx(&params, nullptr);
  auto opt = Opts<SFileIndex>(false, false);
  CXoError e = idx.Open(path, 1, opt);
  switch (c.outcome) {
    case HeaderCase::kOk:
      EXPECT_TRUE(e.IsSuccess()) << e.AsString();
      EXPECT_EQ(idx.GetVersion(), c.header.version);
      break;
    case HeaderCase::kCorrupt:
      EXPECT_TRUE(FXErrorUtil::IsMM(e, kIdxMMErrCorrupt)) << e.AsString();
      break;
    case HeaderCase::kOldVersion:
      EXPECT_TRUE(FXErrorUtil::IsWin32(e, kIdxWin32ErrGeneric)) << e.AsString();
      EXPECT_EQ(e.Message(), "Cannot open previous version index file in linux");
      break;
    case HeaderCase::kNewVersion:
      EXPECT_TRUE(FXErrorUtil::IsMM(e, kIdxMMErrIncompatibleVersion)) << e.AsString();
      break;
  }
  if (c.outcome != HeaderCase::kOk) {
    EXPECT_FALSE(idx.IsValid()) << "a failed Open leaves the file closed";
  }
  if (c.logText != nullptr) {
    EXPECT_TRUE(platform::LogContains(c.logText)) << c.logText;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IndexHeaderAcceptance,
    ::testing::Values(
        HeaderCase{"V1AnyCrc", Hdr("SFILIDX", 1, 0, true, 0xDEADBEEF), HeaderCase::kOk, nullptr},
        HeaderCase{"V2ZeroCrcUnchecked", Hdr("SFILIDX", 2, 0, true, 0), HeaderCase::kOk, nullptr},
        HeaderCase{"V2GoodCrc", Hdr("SFILIDX", 2, 0, false, 0), HeaderCase::kOk, nullptr},
        HeaderCase{"V2WrongCrc", Hdr("SFILIDX", 2, 0, true, 0x12345678), HeaderCase::kCorrupt, "Crc Expected ["},
        HeaderCase{"V3ZeroCrcChecked", Hdr("SFILIDX", 3, 0, true, 0), HeaderCase::kCorrupt,
                   "Got [00000000]"},
        HeaderCase{"V4Aligned", Hdr("SFILIDX", 4, 512, false, 0), HeaderCase::kOk, nullptr},
        HeaderCase{"V4WrongCrc", Hdr("SFILIDX", 4, 512, true, 1), HeaderCase::kCorrupt, "Crc Expected ["},
        HeaderCase{"V0", Hdr("SFILIDX", 0, 0, false, 0), HeaderCase::kOldVersion, "with version [0] on linux"},
        HeaderCase{"V5", Hdr("SFILIDX", 5, 512, false, 0), HeaderCase::kNewVersion,
                   "Incompatible version [5] detected."},
        HeaderCase{"OtherMagic", Hdr("CHNKIDX", 4, 512, false, 0), HeaderCase::kCorrupt,
                   "Invalid data index file. Got signature [CHNKIDX]"},
        // A block that holds no record would make every record position divide by zero.
        HeaderCase{"BlockSmallerThanRecord", Hdr("SFILIDX", 4, 16, false, 0), HeaderCase::kCorrupt,
                   "Invalid block size [16]"}),
    [](const ::testing::TestParamInfo<HeaderCase>& info) { return info.param.name; });

TEST(IndexFormat, ShortFileFailsAsCorrupt) {
  TempDir dir;
  const std::string path = dir.File("x.idx");
  WriteFile(path, HeaderBytes(HeaderFields{}).substr(0, 100));
  CFSInitParams params = Params();
  ChunkIndex idx(&params, nullptr);
  auto opt = Opts<ChunkIndex>(false, false);
  CXoError e = idx.Open(path, 1, opt);
  EXPECT_TRUE(FXErrorUtil::IsMM(e, kIdxMMErrCorrupt)) << e.AsString();
  EXPECT_TRUE(platform::LogContains("Cannot read the data file index header"));
}

// Record positions and counts of both layouts for each record size.
TEST(IndexFormat, RecordPositionsAndCounts) {
  struct Layout {
    uint32_t recSize;
    uint32_t perBlock;
  };
  for (Layout l : {Layout{56, 9}, Layout{80, 6}, Layout{32, 16}, Layout{48, 10}}) {
    SCOPED_TRACE(l.recSize);
    for (int64_t i = 0; i < 40; ++i) {
      EXPECT_EQ(IndexRecordPosition(i, 0, l.recSize), 128 + static_cast<uint64_t>(i) * l.recSize);
      const uint64_t aligned = IndexRecordPosition(i, 512, l.recSize);
      EXPECT_EQ(aligned, static_cast<uint64_t>(i / l.perBlock + 1) * 512 + (i % l.perBlock) * l.recSize);
      EXPECT_LE(aligned % 512 + l.recSize, 512u) << "no record crosses a block";
      // A file that ends right after record i holds i + 1 records, one byte less holds i.
      EXPECT_EQ(AlignedRecordCount(aligned + l.recSize, 512, l.recSize), static_cast<uint64_t>(i + 1));
      EXPECT_EQ(AlignedRecordCount(aligned + l.recSize - 1, 512, l.recSize), static_cast<uint64_t>(i))
          << "size " << aligned + l.recSize - 1;
    }
  }
  // The container index's own figures.
  EXPECT_EQ(IndexRecordPosition(8, 512, 56), 960u);
  EXPECT_EQ(IndexRecordPosition(9, 512, 56), 1024u);
  EXPECT_EQ(IndexRecordPosition(10, 512, 56), 1080u);
  EXPECT_EQ(AlignedRecordCount(512, 512, 56), 0u);
  EXPECT_EQ(AlignedRecordCount(567, 512, 56), 0u);
  EXPECT_EQ(AlignedRecordCount(568, 512, 56), 1u);
  EXPECT_EQ(AlignedRecordCount(1016, 512, 56), 9u);
  EXPECT_EQ(AlignedRecordCount(1024, 512, 56), 9u);
  EXPECT_EQ(AlignedRecordCount(1080, 512, 56), 10u);
}

TEST(IndexFormat, AlignedRecordsLandInTheirSlotsOnDisk) {
  TempDir dir;
  const std::string path = dir.File("SFILE_CONTAINER.idx");
  CFSInitParams params = Params();
  SFileIndex idx(&params, nullptr);
  auto opt = Opts<SFileIndex>(false, true);
  ASSERT_TRUE(idx.Create(path, opt).IsSuccess());
  for (uint64_t k = 1; k <= 10; ++k) {
    SSfileContainerIndexEntry r = SfileRec(k);
    ASSERT_TRUE(idx.AddEntry(&r).IsSuccess());
  }
  ASSERT_TRUE(idx.Close().IsSuccess());
  const std::string bytes = ReadFile(path);
  ASSERT_EQ(bytes.size(), 1080u) << "the file ends after its last record";
  EXPECT_EQ(bytes.substr(512, 56), SfileRecBytes(1));
  EXPECT_EQ(bytes.substr(960, 56), SfileRecBytes(9));
  EXPECT_EQ(bytes.substr(1016, 8), std::string(8, '\0')) << "unused tail of the block";
  EXPECT_EQ(bytes.substr(1024, 56), SfileRecBytes(10));
  EXPECT_EQ(GetBE64(bytes, 24), 10u);
}

struct VersionCase {
  const char* name;
  std::string bytes;
  enum Outcome { kVersion, kShort, kCrc, kMagic } outcome;
  int version;
};

std::string WithCrc(HeaderFields h, bool zero) {
  h.explicitCrc = zero;
  return HeaderBytes(h);
}

TEST(IndexFormat, GetFileVersion) {
  HeaderFields v1;
  v1.magic = "CHNKIDX";
  v1.version = 1;
  HeaderFields v3 = v1;
  v3.version = 3;
  std::string badCrc = HeaderBytes(v3);
  badCrc[50] ^= 1;
  HeaderFields sfile = v3;
  sfile.magic = "SFILIDX";
  const VersionCase cases[] = {
      {"ZeroCrcUnchecked", WithCrc(v1, true), VersionCase::kVersion, 1},
      {"GoodCrc", HeaderBytes(v3), VersionCase::kVersion, 3},
      {"ShortRead", HeaderBytes(v3).substr(0, 100), VersionCase::kShort, 0},
      {"CrcCheckedBeforeMagic", badCrc, VersionCase::kCrc, 0},
      {"OtherMagic", HeaderBytes(sfile), VersionCase::kMagic, 0},
  };
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteFile(dir.File("meta.idx"), c.bytes);
    std::unique_ptr<CFileInterface> fp(CFileInterface::GetFileInterfaceInstance(Params()));
    ASSERT_TRUE(fp->Open(dir.File("meta.idx"), O_RDONLY, 0400, 0).IsSuccess());
    int version = -1;
    CXoError e = ChunkIndex::GetFileVersion(fp.get(), g_szChunkIndexHdrMagic, version);
    switch (c.outcome) {
      case VersionCase::kVersion:
        EXPECT_TRUE(e.IsSuccess()) << e.AsString();
        EXPECT_EQ(version, c.version);
        break;
      case VersionCase::kShort:
        EXPECT_TRUE(FXErrorUtil::IsWin32(e, kIdxWin32ErrGeneric));
        EXPECT_EQ(e.Message(), "Did not read enough data for the index entry, Read [100], Expected [128]");
        break;
      case VersionCase::kCrc:
        EXPECT_TRUE(FXErrorUtil::IsWin32(e, kIdxWin32ErrGeneric));
        EXPECT_EQ(e.Message(), "CRC failure");
        break;
      case VersionCase::kMagic:
        EXPECT_TRUE(FXErrorUtil::IsMM(e, kIdxMMErrCorrupt));
        break;
    }
  }
  int version = 0;
  EXPECT_TRUE(FXErrorUtil::IsMM(ChunkIndex::GetFileVersion(nullptr, g_szChunkIndexHdrMagic, version),
                                kIdxMMErrNoFileInterface));
}

// Readers pick the record type of a chunk metadata index by its version (below 3: 32-byte
// records), so 80-byte records go only into files of version 3 or later, and the 32-byte type is
// never written.
TEST(IndexFormat, ChunkIndexVersionTellsReadersTheRecordType) {
  TempDir dir;
  CFSInitParams params = Params();
  for (bool aligned : {false, true}) {
    SCOPED_TRACE(aligned ? "aligned" : "packed");
    const std::string path = dir.File(aligned ? "aligned.idx" : "packed.idx");
    {
      ChunkIndex idx(&params, nullptr);
      auto opt = Opts<ChunkIndex>(false, aligned);
      ASSERT_TRUE(idx.Create(path, opt).IsSuccess());
      SChunkMetaDataIndexEntry r{};
      r.Key = 7;
      ASSERT_TRUE(idx.AddEntry(&r).IsSuccess());
    }
    std::unique_ptr<CFileInterface> fp(CFileInterface::GetFileInterfaceInstance(params));
    ASSERT_TRUE(fp->Open(path, O_RDONLY, 0400, 0).IsSuccess());
    int version = -1;
    ASSERT_TRUE(ChunkIndex::GetFileVersion(fp.get(), g_szChunkIndexHdrMagic, version).IsSuccess());
    EXPECT_EQ(version, aligned ? 4 : 3);
    ChunkIndex idx(&params, nullptr);
    auto opt = Opts<ChunkIndex>(false, false);
    ASSERT_TRUE(idx.Open(path, 1, opt).IsSuccess());
    EXPECT_EQ(idx.m_Header.TotalEntries, 1u);
  }

  // The 32-byte type: Create touches nothing, appends to an old file are refused.
  HeaderFields h;
  h.magic = "CHNKIDX";
  const std::string old = dir.File("old.idx");
  std::string rec(32, '\0');
  PutBE64(rec, 0, 100);
  PutBE32(rec, 24, Crc(rec, 0, 24));
  const std::string file = HeaderBytes(h) + rec;
  WriteFile(old, file);
  Chunk90Index idx(&params, nullptr);
  for (bool aligned : {false, true}) {
    auto opt = Opts<Chunk90Index>(false, aligned);
    CXoError e = idx.Create(old, opt);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, kIdxWin32ErrInvalidParameter)) << e.AsString();
    EXPECT_EQ(e.Message(), "Index records of [32] bytes are only read");
    EXPECT_FALSE(idx.IsValid());
  }
  EXPECT_EQ(ReadFile(old), file);
  auto opt = Opts<Chunk90Index>(false, false);
  ASSERT_TRUE(idx.Open(old, 2, opt).IsSuccess());
  SChunkMetaDataIndexEntry90 more{};
  more.Key = 200;
  EXPECT_TRUE(FXErrorUtil::IsWin32(idx.AddEntry(&more), kIdxWin32ErrInvalidParameter));
  EXPECT_EQ(idx.m_Header.TotalEntries, 1u);
  ASSERT_TRUE(idx.Close().IsSuccess());
  EXPECT_EQ(ReadFile(old), file);
  EXPECT_TRUE(platform::LogContains("Index records of [32] bytes are only read. File [" + old + "]"));
}

}  // namespace
