// Two restores of one volume at once, each in a thread of its own, while SILO has the volume on
// tape: one of them recalls it, the other waits under its read-only lock, and both read every
// byte of the chunk.

#include <atomic>
#include <thread>

#include "restore_fixture.h"

namespace {

using platform::Silo;

constexpr long long kChunk = 12;

class SiloThreadedTest : public RestoreTest {};

TEST_F(SiloThreadedTest, TwoRestoresOfAVolumeOnTapeRecallItOnceAndBothReadIt) {
  craft::Chunk chunk(volumePath, kChunk, kVolumeBlock);
  for (int i = 0; i < 6; ++i) chunk.Add(0, 20000 + i, 40, i + 1);
  chunk.Write();
  const std::string siloFolder = path_append(path_append(dir.path(), "silo"), "V_17");
  std::filesystem::create_directories(path_append(dir.path(), "silo"));
  std::filesystem::rename(volumePath, siloFolder);
  {
    std::lock_guard<std::mutex> lock(platform::SiloMutex());
    Silo().volumes[kVolId] = SiloVolumeOf(3, siloFolder);
    SIVolumeInfo_t known;
    known.VolumeId = kVolId;
    known.VolState = kSIVolStateInSilo | kSIVolStateRecallNeeded;
    Silo().databases[mountPath].volumes[kVolId] = known;
  }

  auto first = MakeRestore();
  auto second = MakeRestore();
  std::atomic<int> firstResult{1}, secondResult{1};
  std::string firstBytes, secondBytes;
  auto restore = [&](RestoreStore& store, std::atomic<int>& result, std::string& bytes) {
    result = Open(store, kChunk);
    if (result != 0) return;
    for (const craft::Object& o : chunk.Objects()) {
      const std::string data = o.bytes.substr(craft::kObjectHeaderSize);
      bytes += ReadObject(store, chunk.ContainerPath(0), o.offset, data.size());
    }
  };
  std::thread a([&] { restore(*first, firstResult, firstBytes); });
  // The second restore starts once the first holds the volume's exclusive lock for its recall.
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(platform::SiloMutex());
      bool exclusive = false;
      for (const auto& [resId, l] : Silo().databases[mountPath].LocksOf(kVolId)) {
        exclusive = exclusive || l.kind == kSIVolLockExclusive;
      }
      if (exclusive || firstResult != 1) break;
    }
    std::this_thread::yield();
  }
  std::thread b([&] { restore(*second, secondResult, secondBytes); });
  a.join();
  b.join();

  std::string expected;
  for (const craft::Object& o : chunk.Objects()) expected += o.bytes.substr(craft::kObjectHeaderSize);
  EXPECT_EQ(0, firstResult.load());
  EXPECT_EQ(0, secondResult.load());
  EXPECT_EQ(expected, firstBytes);
  EXPECT_EQ(expected, secondBytes);
  std::lock_guard<std::mutex> lock(platform::SiloMutex());
  EXPECT_EQ(1u, Silo().Count("recallSiloVolReq"));
  EXPECT_EQ(kSIVolStateInSilo, Silo().databases[mountPath].volumes[kVolId].VolState);
  // Each restore holds a read-only lock of its own.
  auto locks = Silo().databases[mountPath].LocksOf(kVolId);
  ASSERT_EQ(2u, locks.size());
  EXPECT_EQ(kSIVolLockReadOnly, locks[0].second.kind);
  EXPECT_EQ(kSIVolLockReadOnly, locks[1].second.kind);
}

}  // namespace
