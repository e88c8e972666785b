// The native read manager: files read end to end with and without O_DIRECT, the slot life cycle
// against its model, submission and wait errors (with the asynchronous I/O calls failing through
// the platform's indirection), and the pool's allocation rules.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "MediaFileSystem/AsyncIoManager2.h"
#include "aio_test_util.h"
#include "platform/platform.h"
#include "read_drivers.h"

namespace {

using aio_test::Folder;
using aio_test::kMiB;

constexpr uint32_t kBlock = 64 * 1024;

class NativeEndToEndTest : public ::testing::TestWithParam<bool> {};

TEST_P(NativeEndToEndTest, EveryBlockMatchesPread) {
  const bool direct = GetParam();
  std::string base;
  if (direct) {
    base = aio_test::DirectIoBase();
    if (base.empty()) GTEST_SKIP() << "no folder on a disk file system takes O_DIRECT here";
  }
  Folder folder(base);
  ASSERT_TRUE(folder.ok());
  const uint64_t size = aio_test::EndToEndFileSize();
  ASSERT_TRUE(aio_test::WriteTestFile(folder / "data", size));
  aio_test::NativeDriver driver(folder / "data", direct);
  aio_test::ReadEndToEnd(driver, folder / "data", size, kBlock, 11, false);
}

INSTANTIATE_TEST_SUITE_P(Native, NativeEndToEndTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Direct" : "Cached"; });

TEST(NativeLifecycleTest, RandomSequencesFollowTheModel) {
  Folder folder;
  ASSERT_TRUE(folder.ok());
  const uint32_t block = 16 * 1024;
  const uint64_t size = kMiB + 777;
  ASSERT_TRUE(aio_test::WriteTestFile(folder / "data", size));
  bool grew = false;
  for (uint64_t seed : {1, 2, 3}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    aio_test::NativeDriver driver(folder / "data", false);
    aio_test::SlotLifecycleModel model(driver, folder / "data", size, block, seed);
    model.Run(aio_test::PropertySteps());
    grew = grew || model.grewPast32();
  }
  EXPECT_TRUE(grew) << "some sequence must grow the pool past its 32 reserved slots";
}

// One native manager on a file of 3.5 blocks, with a slot allocated for each case.
class NativeSubmitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder.ok());
    ASSERT_TRUE(aio_test::WriteTestFile(folder / "data", kSize));
    ASSERT_EQ(0, mgr.InitializeMgr(nullptr, &log.handle, kBlock));
    fd = mgr.OpenForNativeAsyncRead((folder / "data").c_str(), false, nullptr);
    ASSERT_GE(fd, 0);
    check = open((folder / "data").c_str(), O_RDONLY | O_CLOEXEC);
  }
  void TearDown() override {
    mgr.DeInitializeMgr();
    mgr.Close(fd);
    close(check);
  }

  static constexpr uint64_t kSize = 3 * kBlock + kBlock / 2;
  Folder folder;
  aio_test::TestLog log;
  CAsyncIoManager2 mgr;
  int fd = -1;
  int check = -1;
};

TEST_F(NativeSubmitTest, RefusedSubmissionsLeaveTheSlotDone) {
  struct Case {
    const char* name;
    uint64_t offset;
    uint32_t size;
    bool noFd;
    const char* message;
  };
  const Case cases[] = {
      {"offset not a multiple of the block", kBlock / 2, 0, false,
       "StartRead: Invalid read size provided. ReadSize=0, BufSize=65536"},
      {"size above the buffer", 0, kBlock + 1, false, "StartRead: Invalid read size provided. ReadSize=65537, BufSize=65536"},
      {"no descriptor", 0, 0, true, "StartRead: Error: Invalid slot handle. Ifc=(nil), fd=0xffffffffffffffff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IoSlot* slot = mgr.AllocateSlot(0);
    ASSERT_NE(nullptr, slot);
    slot->nFd = c.noFd ? -1 : fd;
    slot->ullOffset = c.offset;
    EXPECT_EQ(-1, mgr.SubmitRead(slot, c.size, false, nullptr));
    EXPECT_TRUE(platform::LogContains(c.message));
    EXPECT_TRUE(slot->bDone);
    EXPECT_EQ(0, slot->WaitForIO(false));
    EXPECT_TRUE(slot->LastError.IsSuccess());
    // Corrected, the same slot reads.
    slot->nFd = fd;
    slot->ullOffset = kBlock;
    ASSERT_EQ(0, mgr.SubmitRead(slot, kBlock, false, nullptr));
    ASSERT_EQ(0, slot->WaitForIO(true));
    EXPECT_TRUE(aio_test::SlotMatchesFile(*slot, check, kBlock));
    mgr.FreeSlot(slot);
  }
}

TEST_F(NativeSubmitTest, AcceptedSizesAndTheEndOfTheFile) {
  struct Case {
    uint64_t offset;
    uint32_t size;
    uint64_t bytes;  // the native read always asks for the whole block
  };
  const Case cases[] = {
      {0, 0, kBlock},       {0, 1, kBlock}, {kBlock, kBlock, kBlock}, {3 * kBlock, 0, kBlock / 2},
      {4 * kBlock, 0, 0},  // past the end: nothing, and success
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("offset " + std::to_string(c.offset) + " size " + std::to_string(c.size));
    IoSlot* slot = mgr.AllocateSlot(0);
    slot->nFd = fd;
    slot->ullOffset = c.offset;
    ASSERT_EQ(0, mgr.SubmitRead(slot, c.size, false, nullptr));
    EXPECT_EQ(kBlock, slot->aiocb.aio_nbytes);
    ASSERT_EQ(0, slot->WaitForIO(true));
    EXPECT_TRUE(slot->LastError.IsSuccess());
    EXPECT_EQ(c.bytes, slot->ullBytesRead);
    EXPECT_TRUE(aio_test::SlotMatchesFile(*slot, check, kBlock));
    EXPECT_EQ(0, slot->WaitForIO(true));  // done: at once, nothing changes
    EXPECT_EQ(c.bytes, slot->ullBytesRead);
    mgr.FreeSlot(slot);
  }
}

// Failures of the asynchronous I/O calls, made through the platform's indirection, and a read
// that fails in the kernel.
TEST_F(NativeSubmitTest, AsynchronousCallFailures) {
  struct Case {
    const char* name;
    std::vector<platform::AioFaultRule> rules;
    int submitResult;
    std::function<void(IoSlot&)> check;
  };
  const Case cases[] = {
      {"aio_read64 fails",
       {{platform::AioOp::Read, 1, 1, EAGAIN}},
       -1,
       [](IoSlot& slot) {
         EXPECT_TRUE(slot.bDone);
         EXPECT_TRUE(FXErrorUtil::IsErrNo(slot.LastError, EAGAIN));
         EXPECT_TRUE(platform::LogContains("StartRead: The read at offset [65536] failed with error [11]"));
       }},
      // The wait fails while the read is still in flight: the slot completes only once the read
      // has ended, with the read's own result.
      {"aio_suspend64 fails while the read is in flight",
       {{platform::AioOp::Suspend, 1, 1, EIO}, {platform::AioOp::Error, 1, 3, EINPROGRESS}},
       0,
       [this](IoSlot& slot) {
         ASSERT_EQ(0, slot.WaitForIO(true));
         EXPECT_GE(platform::AioCalls(platform::AioOp::Error), 4);
         EXPECT_GE(platform::SleptMs(), 3);
         EXPECT_TRUE(aio_test::SlotMatchesFile(slot, check, kBlock));
       }},
      {"aio_suspend64 interrupted",
       {{platform::AioOp::Suspend, 1, 2, EINTR}},
       0,
       [this](IoSlot& slot) {
         ASSERT_EQ(0, slot.WaitForIO(true));
         EXPECT_EQ(3, platform::AioCalls(platform::AioOp::Suspend));
         EXPECT_TRUE(aio_test::SlotMatchesFile(slot, check, kBlock));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    for (const platform::AioFaultRule& rule : c.rules) platform::AddAioFault(rule);
    IoSlot* slot = mgr.AllocateSlot(0);
    slot->nFd = fd;
    slot->ullOffset = kBlock;
    EXPECT_EQ(c.submitResult, mgr.SubmitRead(slot, 0, false, nullptr));
    c.check(*slot);
    mgr.FreeSlot(slot);
  }
}

TEST_F(NativeSubmitTest, AReadThatFailsCompletesWithItsErrno) {
  int writeOnly = open((folder / "data").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writeOnly, 0);
  IoSlot* slot = mgr.AllocateSlot(0);
  slot->nFd = writeOnly;
  ASSERT_EQ(0, mgr.SubmitRead(slot, 0, false, nullptr));
  ASSERT_EQ(0, slot->WaitForIO(true));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(slot->LastError, EBADF)) << slot->LastError.AsString();
  EXPECT_TRUE(slot->bDone);
  mgr.FreeSlot(slot);
  close(writeOnly);
}

TEST_F(NativeSubmitTest, PollAndCancelOfAReadInFlight) {
  // The read looks in flight to the first two polls.
  platform::AddAioFault({platform::AioOp::Error, 1, 2, EINPROGRESS});
  IoSlot* slot = mgr.AllocateSlot(0);
  slot->nFd = fd;
  ASSERT_EQ(0, mgr.SubmitRead(slot, 0, false, nullptr));
  EXPECT_EQ(1, slot->WaitForIO(false));
  EXPECT_FALSE(slot->bDone);
  EXPECT_EQ(-1, slot->CancelIO());  // a native read in flight cannot be cancelled
  EXPECT_FALSE(slot->bDone);
  EXPECT_EQ(0, slot->WaitForIO(true));
  EXPECT_TRUE(slot->IsComplete());
  EXPECT_EQ(0, slot->CancelIO());  // complete: nothing to cancel
  EXPECT_TRUE(aio_test::SlotMatchesFile(*slot, check, kBlock));
  EXPECT_GE(slot->llIoTime, 0);
  mgr.FreeSlot(slot);
}

TEST(NativePoolTest, AllocationReusesTheFirstFreeSlotAndGrowsOnlyWhenAllAreBusy) {
  aio_test::TestLog log;
  CAsyncIoManager2 mgr;
  EXPECT_EQ(1, mgr.GetIoMgrType());
  ASSERT_EQ(0, mgr.InitializeMgr(nullptr, &log.handle, 8192));
  std::vector<IoSlot*> slots;
  for (int i = 0; i < 40; ++i) {
    IoSlot* slot = mgr.AllocateSlot(0);
    ASSERT_NE(nullptr, slot);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(slot->pBuffer) % 4096) << "staging buffers suit O_DIRECT";
    EXPECT_EQ(nullptr, slot->pEvent);
    slots.push_back(slot);
  }
  mgr.FreeSlot(slots[30]);
  mgr.FreeSlot(slots[5]);
  mgr.FreeSlot(slots[5]);  // freed twice: the counts stay right
  EXPECT_EQ(slots[5], mgr.AllocateSlot(0));
  EXPECT_EQ(slots[30], mgr.AllocateSlot(0));
  IoSlot* fresh = mgr.AllocateSlot(0);
  EXPECT_EQ(std::find(slots.begin(), slots.end(), fresh), slots.end());

  // A host that left its own reference count set is reported; the count starts at zero again.
  mgr.FreeSlot(fresh);
  fresh->m_nRefCountIoSlot.store(2);
  EXPECT_EQ(fresh, mgr.AllocateSlot(0));
  EXPECT_EQ(0, fresh->m_nRefCountIoSlot.load());
  EXPECT_TRUE(platform::LogContains("pSlot->m_nRefCountIoSlot == 0"));

  mgr.FreeSlot(slots[0]);
  EXPECT_EQ(0, mgr.DeInitializeMgr());
  EXPECT_TRUE(platform::LogContains("DeInitializing AsynMgr. Slots: Busy=40, Max=41, Curr=41; FileIntReuseCount=0"));
}

TEST(NativePoolTest, InitializationRules) {
  aio_test::TestLog log;
  aio_test::TestLog other("OTHER");
  CAsyncIoManager2 mgr;
  EXPECT_EQ(0, mgr.DeInitializeMgr());  // never initialised: nothing to do
  EXPECT_EQ(nullptr, mgr.AllocateSlot(0)) << "no block size yet";

  // A block size of zero is refused: every submission measures offsets in blocks.
  EXPECT_EQ(-1, mgr.InitializeMgr(nullptr, &log.handle, 0));
  EXPECT_EQ(nullptr, mgr.AllocateSlot(0));

  EXPECT_EQ(0, mgr.InitializeMgr(nullptr, &log.handle, 4096));
  EXPECT_EQ(0, mgr.InitializeMgr(nullptr, &other.handle, 8192));  // a second one changes nothing
  EXPECT_EQ(4096u, mgr.GetBlockSize());
  IoSlot* slot = mgr.AllocateSlot(0);
  ASSERT_NE(nullptr, slot);
  EXPECT_EQ(4096u, slot->uBufSize);
  EXPECT_EQ(0, mgr.DeInitializeMgr());
  ASSERT_FALSE(platform::Logs().empty());
  EXPECT_EQ("AIOTEST", platform::Logs().back().source) << "messages go to the first log given";

  // After de-initialisation new values bind and the pool starts empty.
  EXPECT_EQ(0, mgr.InitializeMgr(nullptr, &other.handle, 8192));
  EXPECT_EQ(8192u, mgr.GetBlockSize());
  IoSlot* a = mgr.AllocateSlot(0);
  IoSlot* b = mgr.AllocateSlot(0);
  EXPECT_EQ(8192u, a->uBufSize);
  mgr.FreeSlot(a);
  mgr.FreeSlot(b);
  platform::ResetLogs();
  EXPECT_EQ(0, mgr.DeInitializeMgr());
  EXPECT_FALSE(platform::LogContains("DeInitializing")) << "no message when no slot is busy";

  // Messages stop while the debug level is 0.
  CAsyncIoManager2::g_nAsyncIoMgrDebugLvl = 0;
  EXPECT_EQ(-1, mgr.InitializeMgr(nullptr, &log.handle, 0));
  CAsyncIoManager2::g_nAsyncIoMgrDebugLvl = 1;
  EXPECT_TRUE(platform::Logs().empty());
}

TEST(NativeOpenTest, DescriptorsForNativeReads) {
  Folder folder;
  ASSERT_TRUE(folder.ok());
  ASSERT_TRUE(aio_test::WriteTestFile(folder / "data", 100));
  CAsyncIoManager2 mgr;
  int err = 0;
  int fd = mgr.OpenForNativeAsyncRead((folder / "data").c_str(), false, &err);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(O_RDONLY, fcntl(fd, F_GETFL) & O_ACCMODE);
  mgr.Close(fd);
  EXPECT_EQ(-1, fcntl(fd, F_GETFD));

  EXPECT_EQ(-1, mgr.OpenForNativeAsyncRead((folder / "missing").c_str(), false, &err));
  EXPECT_EQ(ENOENT, err);
  EXPECT_EQ(-1, mgr.OpenForNativeAsyncRead((folder / "missing").c_str(), true, nullptr));
  mgr.Close(-1);  // nothing to close
}

}  // namespace
