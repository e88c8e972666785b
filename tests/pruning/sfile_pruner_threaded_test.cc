// Pruners on threads over one mount path, each on its own chunk with its own delete log (all of
// them on the one file of the log id). One chunk's holes fail as unsupported, which puts the mount
// path into the process-wide set the others consult: no race, no valid byte lost, and every
// delete-log line whole.

#include <thread>

#include "pruner_fixture.h"

namespace {

using platform::FaultRule;
using platform::Faults;
using platform::FsOp;

constexpr int kChunks = 6;

TEST_F(PrunerTest, PrunersOnThreadsShareTheMountPathsWithoutHoles) {
  SetConfig("DedupDrillHolesMinSize", 4096);
  std::vector<std::unique_ptr<craft::Chunk>> chunks;
  for (int c = 0; c < kChunks; ++c) {
    chunks.push_back(std::make_unique<craft::Chunk>(volumePath, 20 + c, kVolumeBlock));
    for (uint32_t n = 0; n < 4; ++n) {
      for (int i = 0; i < 4; ++i) chunks.back()->Add(n, 9000 + 10 * i, 64, 100 * c + 10 * n + i);
    }
    chunks.back()->Write();
  }
  Faults().Add(FaultRule{FsOp::DrillHole, "CHUNK_22", 1, -1, EOPNOTSUPP});

  const CFSInitParams params = FsParams();
  std::vector<int> results(kChunks, -9);
  std::vector<std::thread> threads;
  for (int c = 0; c < kChunks; ++c) {
    threads.emplace_back([&, c] {
      EvDebugFileInstance file;
      EvDebug own;
      own.initialize(&file, kDeleteLogId, -1, false, "");
      CSFilePruner pruner(&params, &log, &own, 0);
      if (pruner.OpenSfileIdx(kMPId, mountPath, kVolId, 20 + c) != 0) return;
      for (const craft::Object& o : chunks[c]->Objects()) {
        // The second object of every container, and all of container 3.
        const bool prune = o.key % 4 == 2 || o.container == 3;
        if (prune && pruner.PruneEntry(static_cast<uint32_t>(o.key), DbMetaOffset(o)) != 0) return;
      }
      bool empty = false;
      results[c] = pruner.Finalize(empty);
    });
  }
  for (std::thread& t : threads) t.join();

  for (int c = 0; c < kChunks; ++c) {
    EXPECT_EQ(0, results[c]) << "chunk " << 20 + c;
    for (const craft::Object& o : chunks[c]->Objects()) {
      if (o.key % 4 == 2 || o.container == 3) continue;
      EXPECT_EQ(o.bytes, sitest::FileBytes(chunks[c]->ContainerPath(o.container), o.offset, o.bytes.size()));
    }
    EXPECT_FALSE(Exists(chunks[c]->ContainerPath(3)));
  }
  {
    OzCriticalSectionGuard guard(&CSFilePruner::s_csDoNotDrillMPIds);
    EXPECT_EQ(1u, CSFilePruner::s_stDoNotDrillMPIds.count(kMPId));
  }
  // Every line of the shared file is whole: one removal per chunk, holes where drilling still ran.
  const std::string text = craft::ReadFile(platform::DebugLogPath(kDeleteLogId));
  const auto records = DeleteRecordsOf(text);
  EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')), records.size());
  EXPECT_EQ(kChunks, std::count_if(records.begin(), records.end(), [](const std::string& r) { return r[0] == 'D'; }));
}

}  // namespace
