// Many host threads, each with managers of its own, reading at once through the shared reader
// pools: cancels race the readers, managers go right after their last read, the non-overlapped
// manager never overlaps two reads of one interface and reads its batches in submission order,
// and the reader counts and pool sizes come back where they started.

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "MediaFileSystem/AsyncIoManager2_NonOvl.h"
#include "MediaFileSystem/AsyncIoManager2_Ovl.h"
#include "aio_test_util.h"
#include "platform/platform.h"
#include "recording_file.h"
#include "test_env.h"

namespace {

using aio_test::Folder;
using aio_test::kMiB;

constexpr uint32_t kBlock = 16 * 1024;
constexpr int kFiles = 4;

class ConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder.ok());
    for (int i = 0; i < kFiles; ++i) {
      paths.push_back(folder / ("file" + std::to_string(i)));
      sizes.push_back(kMiB + 1000 * static_cast<uint64_t>(i) + 17);
      ASSERT_TRUE(aio_test::WriteTestFile(paths.back(), sizes.back()));
      fds.push_back(open(paths.back().c_str(), O_RDONLY | O_CLOEXEC));
    }
  }
  void TearDown() override {
    for (int fd : fds) close(fd);
  }

  uint64_t RandomOffset(std::mt19937_64& rng, int file) const {
    return (rng() % (sizes[file] / kBlock + 2)) * kBlock;
  }

  // A slot in flight: the file it reads and, for the non-overlapped host, which of its two
  // interfaces and where in that interface's expected order.
  struct Pending {
    IoSlot* slot;
    int file;
    int which;
    size_t index;
    bool cancelled;
  };

  // The rounds of one host: `submit` hands a round's slots to the manager and adds them to the
  // window; a random slot of the window is cancelled now and then; the oldest are waited for and
  // checked against the file, a slot cancelled before its read started may end with 995 instead
  // (`skipped` tells it). The last slot is not freed: its manager goes right after it completed.
  void Drive(CAsyncIoManager2& mgr, std::mt19937_64& rng, int rounds,
             const std::function<void(std::deque<Pending>&)>& submit,
             const std::function<void(const Pending&)>& skipped) {
    std::deque<Pending> window;
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
      submit(window);
      if (rng() % 5 == 0) {
        Pending& victim = window[rng() % window.size()];
        EXPECT_EQ(0, victim.slot->CancelIO());
        victim.cancelled = true;
      }
      while (window.size() > 12 || (round + 1 == rounds && !window.empty())) {
        Pending done = window.front();
        window.pop_front();
        ASSERT_EQ(0, done.slot->WaitForIO(true));
        if (done.cancelled && FXErrorUtil::IsWin32(done.slot->LastError, 995)) {
          skipped(done);
        } else {
          EXPECT_TRUE(aio_test::SlotMatchesFile(*done.slot, fds[done.file], kBlock));
        }
        if (!window.empty()) mgr.FreeSlot(done.slot);
      }
    }
  }

  // A host of a non-overlapped manager reading two recorded interfaces in batches.
  void NonOvlHost(uint64_t seed, int rounds) {
    std::mt19937_64 rng(seed);
    aio_test::TestLog log;
    struct Expected {
      long long offset;
      bool skipped;  // cancelled before its read started
    };
    aio_test::RecordingFile files[2];
    const int fileOf[2] = {static_cast<int>(seed % kFiles), static_cast<int>((seed + 1) % kFiles)};
    std::vector<Expected> expected[2];
    {
      auto mgr = std::make_unique<CSimulatedIoNonOvlMgr>();
      ASSERT_EQ(0, mgr->InitializeMgr(nullptr, &log.handle, kBlock, 8, 8));
      mgr->IncrementReaderCount(false);
      for (int w = 0; w < 2; ++w) {
        CFileInterface* ifc = &files[w];
        CFSInitParams params;
        ASSERT_TRUE(mgr->OpenForAsyncRead(paths[fileOf[w]].c_str(), params, &ifc).IsSuccess());
      }
      auto submit = [&](std::deque<Pending>& window) {
        int w = static_cast<int>(rng() % 2);
        std::vector<IoSlot*> batch;
        size_t count = 1 + rng() % 4;
        for (size_t i = 0; i < count; ++i) {
          IoSlot* slot = mgr->AllocateSlot(0);
          slot->pFileIfc = &files[w];
          slot->ullOffset = RandomOffset(rng, fileOf[w]);
          batch.push_back(slot);
          window.push_back({slot, fileOf[w], w, expected[w].size(), false});
          expected[w].push_back({static_cast<long long>(slot->ullOffset), false});
        }
        ASSERT_EQ(0, count == 1 ? mgr->SubmitRead(batch[0], 0, false, nullptr) : mgr->SubmitRead(batch, false, nullptr));
      };
      Drive(*mgr, rng, rounds, submit, [&](const Pending& p) { expected[p.which][p.index].skipped = true; });
      mgr->DecrementReaderCount();
    }
    for (int w = 0; w < 2; ++w) {
      EXPECT_FALSE(files[w].Overlapped()) << "two reads of one interface overlapped";
      std::vector<long long> want;
      for (const Expected& e : expected[w]) {
        if (!e.skipped) want.push_back(e.offset);
      }
      std::vector<long long> got;
      for (const aio_test::RecordingFile::ReadRecord& r : files[w].Reads()) got.push_back(r.offset);
      EXPECT_EQ(want, got) << "batches are read in submission order";
    }
  }

  // A host of an overlapped manager reading every file by path.
  void OvlHost(uint64_t seed, int rounds) {
    std::mt19937_64 rng(seed);
    aio_test::TestLog log;
    auto mgr = std::make_unique<CSimulatedIoOvlMgr>();
    ASSERT_EQ(0, mgr->InitializeMgr(nullptr, &log.handle, kBlock, 32));
    CFSInitParams params;
    params.m_MountPathId = static_cast<int32_t>(seed);
    mgr->SetFSInitParams(params);
    mgr->IncrementReaderCount(false);
    auto submit = [&](std::deque<Pending>& window) {
      int file = static_cast<int>(rng() % kFiles);
      IoSlot* slot = mgr->AllocateSlot(static_cast<uint32_t>(seed));
      slot->pszPath = paths[file].c_str();
      slot->ullOffset = RandomOffset(rng, file);
      ASSERT_EQ(0, mgr->SubmitRead(slot, 0, false, nullptr));
      window.push_back({slot, file, 0, 0, false});
    };
    Drive(*mgr, rng, rounds, submit, [](const Pending&) {});
    mgr->DecrementReaderCount();
    mgr.reset();
  }

  Folder folder;
  std::vector<std::string> paths;
  std::vector<uint64_t> sizes;
  std::vector<int> fds;
};

TEST_F(ConcurrencyTest, ManyHostsReadAtOnce) {
  const int rounds = mfstest::EnvCount("MFS_AIO_STRESS_ROUNDS", 150);
  std::vector<std::thread> hosts;
  for (uint64_t host = 0; host < 8; ++host) {
    hosts.emplace_back([this, host, rounds] {
      if (host % 2 == 0) {
        NonOvlHost(100 + host, rounds);
      } else {
        OvlHost(100 + host, rounds);
      }
    });
  }
  for (std::thread& t : hosts) t.join();

  EXPECT_EQ(0, CSimulatedIoNonOvlMgr::s_nTotalRdrs.load());
  EXPECT_EQ(0, CSimulatedIoNonOvlMgr::s_nTotalGlusterRdrs.load());
  EXPECT_EQ(0, CSimulatedIoOvlMgr::s_nTotalRdrs.load());
  for (OzThreadPool* pool : {CSimulatedIoNonOvlMgr::s_pNonOvlRdrRope.load(), CSimulatedIoOvlMgr::s_pOvlRdrRope.load()}) {
    ASSERT_NE(nullptr, pool);
    EXPECT_EQ(pool->getMinCount(), pool->getMaxCount()) << pool->getName() << ": no readers left";
  }
}

// The destructors wait for the reads in flight and for the reader threads to let go of the
// manager: nothing of a destroyed manager is touched afterwards (the sanitizers watch).
TEST_F(ConcurrencyTest, ManagersGoRightAfterTheirLastRead) {
  aio_test::TestLog log;
  const int rounds = mfstest::EnvCount("MFS_AIO_STRESS_ROUNDS", 150);
  std::vector<std::thread> hosts;
  for (int host = 0; host < 4; ++host) {
    hosts.emplace_back([&, host] {
      for (int round = 0; round < rounds; ++round) {
        if (host % 2 == 0) {
          auto mgr = std::make_unique<CSimulatedIoNonOvlMgr>();
          mgr->InitializeMgr(nullptr, &log.handle, kBlock, 8, 8);
          CFileInterface* ifc = nullptr;
          CFSInitParams params;
          ASSERT_TRUE(mgr->OpenForAsyncRead(paths[host].c_str(), params, &ifc).IsSuccess());
          std::vector<IoSlot*> batch;
          for (uint64_t i = 0; i < 3; ++i) {
            batch.push_back(mgr->AllocateSlot(0));
            batch.back()->pFileIfc = ifc;
            batch.back()->ullOffset = i * kBlock;
          }
          ASSERT_EQ(0, mgr->SubmitRead(batch, false, nullptr));
          if (round % 2 == 0) batch.back()->WaitForIO(true);  // else the destructor waits
          mgr.reset();
          delete ifc;
        } else {
          auto mgr = std::make_unique<CSimulatedIoOvlMgr>();
          mgr->InitializeMgr(nullptr, &log.handle, kBlock, 8);
          IoSlot* slot = mgr->AllocateSlot(3);
          slot->pszPath = paths[host].c_str();
          ASSERT_EQ(0, mgr->SubmitRead(slot, 0, false, nullptr));
          if (round % 2 == 0) slot->WaitForIO(true);
          mgr.reset();
        }
      }
    });
  }
  for (std::thread& t : hosts) t.join();
}

}  // namespace
