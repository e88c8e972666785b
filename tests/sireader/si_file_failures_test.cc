// Failed opens, reads, seeks and map loads, each on a healthy mount path (the chunk is at fault:
// -1) and with the mount path's read and write probe failing (-2), with the last error and the
// line logged; the two exception roads of the opens.

#include <cerrno>
#include <cstring>
#include <functional>

#include "platform/byte_order.h"
#include "si_file_fixture.h"

namespace {

using platform::FaultRule;
using platform::Faults;
using platform::FsOp;

constexpr unsigned long long kChunk = 30;
constexpr char kContainer[] = "SFILE_CONTAINER_000";
constexpr char kMeta[] = "CHUNK_META_DATA_30";

class SIFileFailureTest : public SIFileTest {
 public:
  SIFileFailureTest() {
    craft::Chunk chunk(volumePath, kChunk, kVolumeBlock);
    chunk.Add(0, 300000, 10, 1);
    chunk.Write();
    // Layout 1: a record at offset 0 of the metadata file names the container's first object;
    // 300000 bytes of metadata follow it. Layout 0: the tag header at 32768.
    std::string record(496, '\0');
    std::memcpy(&record[96], kContainer, sizeof(kContainer));
    EncodeBE64(&record[232], 128);
    EncodeBE32(&record[292], 1);
    std::string meta = record + craft::SeedBytes(300000, 6);
    meta.replace(32768, 8, std::string("TAGHD01\0", 8));
    craft::WriteFile(chunk.MetaPath(), meta);
    craft::WriteFile(path_append(chunk.Dir(), "SFILE_1-2_3-0"), craft::ContainerHeader() + "x");
  }

  static void Fail(FsOp op, const char* path, int err, int nth = 1, int times = -1) {
    FaultRule rule;
    rule.op = op;
    rule.pathContains = path;
    rule.err = err;
    rule.nth = nth;
    rule.times = times;
    Faults().Add(rule);
  }
};

struct FailureCase {
  const char* name;
  std::function<void(CSIFile&)> prepare;  // runs before the fault is set
  FsOp op;
  const char* path;
  std::function<long long(CSIFile&)> act;  // the operation's result as a signed value
  const char* logged;
  bool readResult;  // the result is one of the unsigned read results
};

long long Read(CSIFile& r, bool meta, unsigned int size) {
  std::string buffer(size, '\0');
  return meta ? r.ReadMetaData(buffer.data(), size) : r.ReadData(buffer.data(), size);
}

TEST_F(SIFileFailureTest, FailedStepsGiveTheChunkOrTheMountPathTheFault) {
  auto openContainer = [](CSIFile& r) { ASSERT_EQ(0, r.OpenDataFileAndSeek(0, 0, 128, 0)); };
  auto openLayout1 = [](CSIFile& r) { ASSERT_EQ(0, r.OpenDataFile_1(0)); };
  auto nothing = [](CSIFile&) {};
  const FailureCase cases[] = {
      {"container open", nothing, FsOp::Open, kContainer, [](CSIFile& r) { return r.OpenDataFile_4(0, 0, 0, false); },
       "CSIFile::OpenDataFile_4: Cannot open data file [", false},
      {"container map", nothing, FsOp::Read, kContainer, [](CSIFile& r) { return r.OpenDataFile_4(0, 0, 0, false); },
       "CSIFile::OpenDataFile_4: Cannot get compaction map from data file [", false},
      {"container seek", openContainer, FsOp::Seek, kContainer, [](CSIFile& r) { return r.Seek(200000); },
       "CSIFile::Seek: Cannot seek to offset [200000] in data file [", false},
      {"container data read", openContainer, FsOp::Read, kContainer, [](CSIFile& r) { return Read(r, false, 200000); },
       "CSIFile::ReadData: Error: Cannot read [200000] bytes from the data file, SysErr=0, LastSeek=128", true},
      {"container metadata read", openContainer, FsOp::Read, kContainer, [](CSIFile& r) { return Read(r, true, 200000); },
       "CSIFile::ReadMetaData: Cannot read [200000] bytes from the data file, SysErr=0, LastSeek=128", true},
      {"metadata file open", nothing, FsOp::Open, kMeta, [](CSIFile& r) { return r.OpenDataFile_1(0); },
       "CSIFile::OpenDataFile_1: Cannot open the metadata file [", false},
      {"reference record read", nothing, FsOp::Read, kMeta, [](CSIFile& r) { return r.OpenDataFile_1(0); },
       "CSIFile::OpenDataFile_1: Cannot read from offset [0]. File [", false},
      {"layout-1 data open", nothing, FsOp::Open, kContainer, [](CSIFile& r) { return r.OpenDataFile_1(0); },
       "CSIFile::OpenDataFile_1: Cannot open the data file [", false},
      {"layout-1 map", nothing, FsOp::Read, kContainer, [](CSIFile& r) { return r.OpenDataFile_1(0); },
       "CSIFile::OpenDataFile_1: Cannot get compaction map from data file [", false},
      {"layout-1 metadata read", openLayout1, FsOp::Read, kMeta, [](CSIFile& r) { return Read(r, true, 200000); },
       "CSIFile::ReadMetaData: Error: Cannot read [200000] bytes from the metadata file, SysErr=0", true},
      {"layout-0 data open", nothing, FsOp::Open, "SFILE_1-2_3-0",
       [](CSIFile& r) { return r.OpenDataFile_5(1, 2, 3, 0, true); }, "CSIFile::OpenDataFile_5: Cannot open the data file [",
       false},
      {"layout-0 tag header read", nothing, FsOp::Read, kMeta, [](CSIFile& r) { return r.OpenDataFile_5(1, 2, 3, 0, true); },
       "CSIFile::OpenDataFile_5: Failed to read tag header from offset [00008000]", false},
  };
  for (bool probeFails : {false, true}) {
    for (const FailureCase& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (probeFails ? ", probe failing" : ", healthy mount path"));
      platform::ResetAll();
      auto reader = Reader(kChunk);
      c.prepare(*reader);
      if (HasFatalFailure()) return;
      Fail(c.op, c.path, EIO);
      if (probeFails) Fail(FsOp::Open, "ReadWriteTest.txt", EACCES);
      const long long expected = probeFails ? -2 : -1;
      const long long rc = c.act(*reader);
      EXPECT_EQ(c.readResult ? static_cast<long long>(static_cast<MM_uint>(expected)) : expected, rc);
      EXPECT_TRUE(FXErrorUtil::IsErrNo(reader->m_LastError, EIO)) << reader->m_LastError.AsString();
      EXPECT_TRUE(platform::LogContains(c.logged));
      EXPECT_EQ(probeFails, platform::LogContains("IsMarkChunkBadMMError returned FALSE for Err =["));
    }
  }
}

// A container whose map does not load is closed again: a later open of the container opened
// before must open that one, not find the failed one open.
TEST_F(SIFileFailureTest, AContainerWhoseMapFailsIsNotLeftOpen) {
  craft::WriteFile(path_append(path_append(volumePath, "CHUNK_30"), "SFILE_CONTAINER_001"), "not a container");
  auto reader = Reader(kChunk);
  ASSERT_EQ(0, reader->OpenDataFileAndSeek(0, 0, 128, 0));
  EXPECT_EQ(-1, reader->OpenDataFile_4(0, 1, 0, false));
  EXPECT_FALSE(reader->m_pDataReader->IsValid());
  EXPECT_EQ(0u, reader->m_uSfileNumber);
  ASSERT_EQ(0, reader->OpenDataFileAndSeek(0, 0, 128, 0));
  char header[16];
  ASSERT_EQ(16u, reader->ReadMetaData(header, 16));
  EXPECT_EQ(0, std::memcmp(header, "10DHGAT", 8));
}

// Missing and too small containers; IsSFileValid opens nothing.
TEST_F(SIFileFailureTest, ContainerValidity) {
  const std::string dir = path_append(volumePath, "CHUNK_30");
  craft::WriteFile(path_append(dir, "SFILE_CONTAINER_002"), std::string(15, 'x'));
  craft::WriteFile(path_append(dir, "SFILE_CONTAINER_003"), std::string(16, 'x'));
  auto reader = Reader(kChunk);
  EXPECT_EQ(0, reader->IsSFileValid(0));
  EXPECT_EQ(-1, reader->IsSFileValid(2));
  EXPECT_TRUE(platform::LogContains("CSIFile::IsSFileValid: Sfile [" + path_append(dir, "SFILE_CONTAINER_002") +
                                    "] is empty, size=15"));
  EXPECT_TRUE(reader->m_LastError.IsSuccess());
  EXPECT_EQ(0, reader->IsSFileValid(3));
  EXPECT_NE(0, reader->IsSFileValid(9));
  EXPECT_TRUE(platform::LogContains("CSIFile::IsSFileValid: Cannot access data file [" +
                                    path_append(dir, "SFILE_CONTAINER_009") + "], SysErr=0, Err="));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(reader->m_LastError, ENOENT));
  EXPECT_EQ(0, Faults().Calls(FsOp::Open, "SFILE_CONTAINER_"));
}

// An exception while the impersonation is set up, and one inside the impersonated part.
TEST_F(SIFileFailureTest, ExceptionsDuringAnOpenGiveMinusTwo) {
  struct Case {
    const char* name;
    std::function<long long(CSIFile&)> act;
    const char* op;
  } cases[] = {
      {"layout 0", [](CSIFile& r) { return r.OpenDataFile_5(1, 2, 3, 0, true); }, "CSIFile::OpenDataFile_5"},
      {"layout 1", [](CSIFile& r) { return r.OpenDataFile_1(0); }, "CSIFile::OpenDataFile_1"},
      {"layout 2", [](CSIFile& r) { return r.OpenDataFile_4(0, 0, 0, false); }, "CSIFile::OpenDataFile_4"},
      {"container check", [](CSIFile& r) { return r.IsSFileValid(0); }, "CSIFile::IsSFileValid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    auto reader = Reader(kChunk);
    {
      std::lock_guard<std::mutex> lock(platform::IdentityMutex());
      platform::Identity().impersonateThrows = 1;
    }
    EXPECT_EQ(-2, c.act(*reader));
    EXPECT_TRUE(platform::LogContains(std::string(c.op) + ": Caught exception in impersonation"));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(reader->m_LastError, 1326));
    EXPECT_NE(std::string::npos, reader->m_LastError.AsString().find("User impersonation failure"));

    if (std::string(c.name) == "container check") continue;  // it opens nothing
    Faults().SetHook([](FsOp op, const std::string& path) {
      if (op == FsOp::Open && path.find("CHUNK_30/") != std::string::npos) {
        throw OzException{"open", "the layer gave up", "test", 1, EPERM};
      }
    });
    EXPECT_EQ(-2, c.act(*reader));
    Faults().SetHook(nullptr);
    EXPECT_TRUE(platform::LogContains(std::string(c.op) + ": Exception thrown. the layer gave up"));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(reader->m_LastError, EPERM));
    EXPECT_NE(std::string::npos, reader->m_LastError.AsString().find("Exception: the layer gave up"));
    // The reader is usable again.
    EXPECT_EQ(0, c.act(*reader));
  }
}

}  // namespace
