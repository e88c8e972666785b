// Many restore threads, each with its own reader, read the same chunk while their opens repair
// containers that compactions left half-switched (the container removed, its compacted copy not
// yet renamed into place): several threads may find the same container missing at once. Every
// byte must come back right.

#include <atomic>
#include <random>
#include <thread>

#include "index/index_test_util.h"
#include "si_file_fixture.h"
#include "sistore/compaction_fixture.h"
#include "test_seed.h"

namespace {

constexpr unsigned long long kChunk = 60;
constexpr unsigned int kContainers = 4;
constexpr int kThreads = 8;
constexpr int kReadsPerThread = 150;

class SIFileThreadedTest : public SIFileTest {};

TEST_F(SIFileThreadedTest, ReadersRepairingTheSameContainersReadEveryByteRight) {
  platform::SetRealSleep(true);  // the compaction lock is waited for between threads
  const std::string chunkDir = path_append(volumePath, SingleInstancer_FS::GetChunkDirName(kChunk));
  std::filesystem::create_directories(chunkDir);
  idxtest::MakeContainerIndex(path_append(chunkDir, "SFILE_CONTAINER.idx"), FsParams(), {1});
  std::mt19937_64 rng(mfstest::Seed(61));
  std::vector<cmptest::ContainerModel> models;
  for (unsigned int c = 0; c < kContainers; ++c) {
    const std::string sfile = path_append(chunkDir, SingleInstancer_FS::GetSFileContainerName(c));
    cmptest::ContainerModel model(rng, 20 + static_cast<int>(rng() % 20), 100 + static_cast<int>(rng() % 3000));
    cmptest::WriteWhole(sfile, model.bytes());
    for (int tries = 0; tries < 20; ++tries) {
      std::vector<SSFileRange> holes = model.ChooseHoles(rng, 3, false);
      if (model.DroppingBytes() == 0 || model.DroppingBytes() >= model.LiveBytes()) continue;
      ASSERT_EQ(0, cmptest::Compact(FsParams(), sfile, cmptest::Kind::kDiskCompact2, holes));
      model.Apply(cmptest::ReadWhole(sfile));
      break;
    }
    // Half-switched: the compacted copy beside a container that is gone.
    cmptest::WriteWhole(sfile + ".compact2", model.bytes());
    ASSERT_EQ(0, std::remove(sfile.c_str()));
    models.push_back(std::move(model));
  }

  std::atomic<int> failures{0};
  std::atomic<int> reads{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 local(static_cast<uint64_t>(t) * 7919 + 1);
      CFSInitParams params = FsParams();
      CSIFile reader(&log);
      if (reader.Init(&params, kChunk, kVolId, false) != 0) {
        ++failures;
        return;
      }
      for (int i = 0; i < kReadsPerThread; ++i) {
        const unsigned int c = static_cast<unsigned int>(local() % kContainers);
        const std::vector<cmptest::Object>& objects = models[c].objects();
        const cmptest::Object& o = objects[local() % objects.size()];
        if (!o.alive) continue;
        if (reader.OpenDataFileAndSeek(0, c, o.logical, 0) != 0) {
          ++failures;
          continue;
        }
        const std::string got = ReadPieces(reader, Stream::kData, o.bytes.size(), local, 500);
        if (got != o.bytes) ++failures;
        ++reads;
        if (local() % 5 == 0) reader.CloseDataFile();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_GT(reads.load(), kThreads * kReadsPerThread / 3);
  for (unsigned int c = 0; c < kContainers; ++c) {
    const std::string sfile = path_append(chunkDir, SingleInstancer_FS::GetSFileContainerName(c));
    EXPECT_TRUE(CXoPath::Exists(sfile));
    EXPECT_FALSE(CXoPath::Exists(sfile + ".compact2"));
  }
}

}  // namespace
