// Compacted containers as a property: random containers compacted over several rounds the way a
// host does it, then random seeks and reads through the reader against the model's bytes by
// logical offset. A live object reads back from any offset inside it; an offset that a
// compaction dropped gives 774 from Seek and -1 from a layout-1 open.
//
// MFS_SIFILE_PROPERTY_TRIALS sets the number of containers (default 25) for longer runs.

#include <cstdlib>
#include <cstring>
#include <random>

#include "index/index_test_util.h"
#include "platform/byte_order.h"
#include "si_file_fixture.h"
#include "sistore/compaction_fixture.h"
#include "test_seed.h"
#include "test_env.h"

namespace {

constexpr unsigned long long kChunk = 21;
constexpr unsigned int kContainer = 1;

int Trials() {
  return mfstest::EnvCount("MFS_SIFILE_PROPERTY_TRIALS", 25);
}

class SIFileCompactionTest : public SIFileTest {
 public:
  SIFileCompactionTest() {
    chunkDir = path_append(volumePath, SingleInstancer_FS::GetChunkDirName(kChunk));
    std::filesystem::create_directories(chunkDir);
    sfile = path_append(chunkDir, SingleInstancer_FS::GetSFileContainerName(kContainer));
    idxtest::MakeContainerIndex(path_append(chunkDir, "SFILE_CONTAINER.idx"), FsParams(), {1});
  }

  // Compacts the model's container `rounds` times, each dropping some live objects and keeping
  // some.
  void CompactRounds(cmptest::ContainerModel& model, int rounds, std::mt19937_64& rng) {
    for (int round = 0; round < rounds; ++round) {
      for (int tries = 0; tries < 20; ++tries) {
        std::vector<SSFileRange> holes = model.ChooseHoles(rng, 2 + static_cast<int>(rng() % 4), rng() % 2 == 0);
        const uint64_t dropping = model.DroppingBytes();
        if (dropping == 0 || dropping >= model.LiveBytes()) continue;
        ASSERT_EQ(0, cmptest::Compact(FsParams(), sfile, cmptest::Kind::kDiskCompact2, holes));
        model.Apply(cmptest::ReadWhole(sfile));
        break;
      }
    }
  }

  // A metadata file whose layout-1 record at offset 0 names the container and `dataOffset`.
  void WriteRefHdr(uint64_t dataOffset) const {
    std::string record(496, '\0');
    const std::string name = SingleInstancer_FS::GetSFileContainerName(kContainer);
    std::memcpy(&record[96], name.data(), name.size());
    EncodeBE64(&record[232], dataOffset);
    EncodeBE32(&record[292], 1);
    craft::WriteFile(path_append(chunkDir, SingleInstancer_FS::GetChunkMetadataName(kChunk)), record);
  }

  std::string chunkDir, sfile;
};

TEST_F(SIFileCompactionTest, SeeksAndReadsByLogicalOffsetAgreeWithTheModel) {
  std::mt19937_64 rng(mfstest::Seed(31));
  int holesSeen = 0, liveReads = 0;
  for (int trial = 0; trial < Trials(); ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    cmptest::ContainerModel model(rng, 8 + static_cast<int>(rng() % 30), 40 + static_cast<int>(rng() % 400));
    cmptest::WriteWhole(sfile, model.bytes());
    CompactRounds(model, 1 + static_cast<int>(rng() % 4), rng);
    if (HasFatalFailure()) return;
    const std::vector<cmptest::Object>& objects = model.objects();
    size_t tail = objects.size();  // dead objects behind the last live one lie past the copy's end
    while (tail > 0 && !objects[tail - 1].alive) --tail;

    auto reader = Reader(kChunk);
    ASSERT_EQ(0, reader->OpenDataFile_4(0, kContainer, 0, false));
    for (int step = 0; step < 40; ++step) {
      const size_t i = rng() % objects.size();
      const cmptest::Object& o = objects[i];
      const uint64_t inside = rng() % o.bytes.size();
      const int rc = reader->Seek(o.logical + inside);
      EXPECT_EQ(o.logical + inside, reader->m_ullLastSeekOffset);
      if (!o.alive && i < tail) {
        ASSERT_EQ(CSIFile::kSeekInHole, rc) << "object " << i << " at logical " << o.logical;
        ++holesSeen;
        continue;
      }
      ASSERT_EQ(0, rc);
      const size_t want = 1 + rng() % (o.bytes.size() - inside);
      const std::string got = ReadPieces(*reader, rng() % 2 ? Stream::kData : Stream::kMetaData, want, rng, 97);
      if (!o.alive) {
        EXPECT_EQ("", got) << "a dropped tail object at logical " << o.logical;
        continue;
      }
      ASSERT_EQ(o.bytes.substr(inside, want), got) << "object " << i << " at logical " << o.logical;
      EXPECT_EQ(want, reader->m_ullBytesSinceSeek);
      ++liveReads;
    }
    // A layout-1 record that points into a hole is refused; OpenDataFileAndSeek hands on Seek's 774.
    for (size_t i = 0; i < tail; ++i) {
      if (objects[i].alive) continue;
      EXPECT_EQ(CSIFile::kSeekInHole, reader->OpenDataFileAndSeek(0, kContainer, objects[i].logical, 0));
      EXPECT_TRUE(platform::LogContains("CSIFile::OpenDataFileAndSeek: Cannot seek to offset [" +
                                        std::to_string(objects[i].logical) + "]"));
      WriteRefHdr(objects[i].logical);
      EXPECT_EQ(-1, reader->OpenDataFile_1(0));
      EXPECT_TRUE(platform::LogContains("CSIFile::OpenDataFile_1: Invalid logical offset [" +
                                        std::to_string(objects[i].logical) + "] encountered."));
      break;
    }
  }
  EXPECT_GT(holesSeen, 0);
  EXPECT_GT(liveReads, 0);
  EXPECT_TRUE(platform::LogContains("[Invalid logical offset] Hole no"));
}

}  // namespace
