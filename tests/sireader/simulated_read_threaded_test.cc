// The thread-pool managers: files read end to end (non-overlapped with single and batch
// submissions, overlapped by path and mount path id), the slot life cycle against its model,
// cancelled reads, refused submissions and failures injected into the file layer.

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "MediaFileSystem/AsyncIoManager2_NonOvl.h"
#include "MediaFileSystem/AsyncIoManager2_Ovl.h"
#include "aio_test_util.h"
#include "platform/platform.h"
#include "read_drivers.h"
#include "recording_file.h"

namespace {

using aio_test::Folder;
using aio_test::kMiB;

constexpr uint32_t kBlock = 4096;
constexpr uint64_t kSize = 5 * kBlock + 100;

// Holds threads until the test opens it.
class Gate {
 public:
  void Wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    ++m_waiting;
    m_cv.notify_all();
    m_cv.wait(lock, [this] { return m_open; });
  }
  void WaitForWaiters(int n) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [&] { return m_waiting >= n; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = true;
    m_cv.notify_all();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  int m_waiting = 0;
  bool m_open = false;
};

// ---------------------------------------------------------------------------------------------
// End to end and life cycle

enum class Mode { NonOvlSingle, NonOvlBatch, Ovl };

class SimulatedEndToEndTest : public ::testing::TestWithParam<Mode> {};

TEST_P(SimulatedEndToEndTest, EveryBlockMatchesPread) {
  Folder folder;
  ASSERT_TRUE(folder.ok());
  const uint64_t size = aio_test::EndToEndFileSize();
  ASSERT_TRUE(aio_test::WriteTestFile(folder / "data", size));
  const uint32_t block = 64 * 1024;
  switch (GetParam()) {
    case Mode::NonOvlSingle: {
      aio_test::NonOvlDriver driver(folder / "data");
      aio_test::ReadEndToEnd(driver, folder / "data", size, block, 21, true);
      break;
    }
    case Mode::NonOvlBatch: {
      aio_test::NonOvlDriver driver(folder / "data", true);
      aio_test::ReadEndToEnd(driver, folder / "data", size, block, 22, false);
      break;
    }
    case Mode::Ovl: {
      aio_test::OvlDriver driver(folder / "data", 7);
      aio_test::ReadEndToEnd(driver, folder / "data", size, block, 23, false);
      break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Simulated, SimulatedEndToEndTest,
                         ::testing::Values(Mode::NonOvlSingle, Mode::NonOvlBatch, Mode::Ovl),
                         [](const ::testing::TestParamInfo<Mode>& info) {
                           switch (info.param) {
                             case Mode::NonOvlSingle: return "NonOvlSingle";
                             case Mode::NonOvlBatch: return "NonOvlBatch";
                             case Mode::Ovl: return "Ovl";
                           }
                           return "";
                         });

TEST(SimulatedLifecycleTest, RandomSequencesFollowTheModel) {
  Folder folder;
  ASSERT_TRUE(folder.ok());
  const uint32_t block = 16 * 1024;
  const uint64_t size = kMiB + 777;
  ASSERT_TRUE(aio_test::WriteTestFile(folder / "data", size));
  for (uint64_t seed : {4, 5}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    {
      SCOPED_TRACE("non-overlapped");
      aio_test::NonOvlDriver driver(folder / "data");
      aio_test::SlotLifecycleModel model(driver, folder / "data", size, block, seed);
      model.Run(aio_test::PropertySteps());
    }
    {
      SCOPED_TRACE("overlapped");
      aio_test::OvlDriver driver(folder / "data", 3);
      aio_test::SlotLifecycleModel model(driver, folder / "data", size, block, seed);
      model.Run(aio_test::PropertySteps());
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Non-overlapped manager

class NonOvlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder.ok());
    ASSERT_TRUE(aio_test::WriteTestFile(folder / "data", kSize));
    ASSERT_EQ(0, mgr.InitializeMgr(nullptr, &log.handle, kBlock, 4, 4));
    mgr.IncrementReaderCount(false);
    CFSInitParams params;
    ASSERT_TRUE(mgr.OpenForAsyncRead((folder / "data").c_str(), params, &ifc).IsSuccess());
    check = open((folder / "data").c_str(), O_RDONLY | O_CLOEXEC);
  }
  void TearDown() override {
    mgr.DecrementReaderCount();
    mgr.DeInitializeMgr();
    mgr.Close(ifc);
    close(check);
  }

  IoSlot* Slot(uint64_t offset, CFileInterface* file) {
    IoSlot* slot = mgr.AllocateSlot(0);
    slot->ullOffset = offset;
    slot->pFileIfc = file;
    return slot;
  }

  Folder folder;
  aio_test::TestLog log;
  CSimulatedIoNonOvlMgr mgr;
  CFileInterface* ifc = nullptr;
  int check = -1;
};

TEST_F(NonOvlTest, RefusedSubmissionsChangeNoSlot) {
  struct Case {
    const char* name;
    uint64_t offset;
    uint32_t size;
    bool withInterface;
    const char* message;
  };
  const Case cases[] = {
      {"offset not a multiple of the block", 100, 0, true, "SubmitReadNonOvl: Invalid read size provided. ReadSize=0, BufSize=4096"},
      {"size above the buffer", 0, kBlock + 1, true, "SubmitReadNonOvl: Invalid read size provided. ReadSize=4097, BufSize=4096"},
      {"no file interface", 0, 10, false, "SubmitReadNonOvl: Error: Invalid Ifc pointer for slot to read."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IoSlot* slot = Slot(c.offset, c.withInterface ? ifc : nullptr);
    EXPECT_EQ(-1, mgr.SubmitRead(slot, c.size, false, nullptr));
    EXPECT_TRUE(platform::LogContains(c.message));
    EXPECT_TRUE(slot->IsComplete());
    EXPECT_EQ(kBlock, slot->uBufSize);
    EXPECT_TRUE(slot->LastError.IsSuccess());
    EXPECT_EQ(-1, mgr.SubmitRead(std::vector<IoSlot*>{}, false, nullptr)) << "a batch without slots";
    EXPECT_EQ(-1, mgr.SubmitRead(std::vector<IoSlot*>{slot, nullptr}, false, nullptr)) << "a batch with a hole";
    mgr.FreeSlot(slot);
  }
  EXPECT_EQ(0, platform::Faults().Calls(platform::FsOp::Read));
}

TEST_F(NonOvlTest, ASingleSubmissionReadsTheBytesAskedFor) {
  IoSlot* slot = Slot(kBlock, ifc);
  ASSERT_EQ(0, mgr.SubmitRead(slot, 100, false, nullptr));
  ASSERT_EQ(0, slot->WaitForIO(true));
  EXPECT_EQ(100u, slot->uBufSize);
  EXPECT_TRUE(aio_test::SlotMatchesFile(*slot, check, 100));
  mgr.FreeSlot(slot);
  EXPECT_EQ(slot, mgr.AllocateSlot(0));
  EXPECT_EQ(kBlock, slot->uBufSize) << "allocation gives the whole block back";
  slot->pFileIfc = ifc;
  slot->ullOffset = 5 * kBlock;  // the short block at the end
  ASSERT_EQ(0, mgr.SubmitRead(slot, 0, false, nullptr));
  ASSERT_EQ(0, slot->WaitForIO(true));
  EXPECT_EQ(100u, slot->ullBytesRead);
  EXPECT_TRUE(aio_test::SlotMatchesFile(*slot, check, kBlock));
  mgr.FreeSlot(slot);
}

// Failures of single slots of a batch: each slot records its own, the rest of the batch reads.
TEST_F(NonOvlTest, FailuresOfChosenSlotsOfABatch) {
  struct Case {
    const char* name;
    platform::FaultRule rule;
    int failing;        // index of the slot that fails
    bool noInterface;   // the failing slot has no interface
    unsigned int win32; // its Win32 error, or 0 for the rule's errno
  };
  const Case cases[] = {
      {"read error on the second read", {platform::FsOp::Read, "data", 2, 1, EIO}, 1, false, 0},
      {"seek error on the third seek", {platform::FsOp::Seek, "data", 3, 1, ESPIPE}, 2, false, 0},
      {"a slot without an interface", {platform::FsOp::Read, "nothing", 1, 1, EIO}, 1, true, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::Faults().Add(c.rule);
    std::vector<IoSlot*> batch;
    for (int i = 0; i < 3; ++i) {
      batch.push_back(Slot(static_cast<uint64_t>(i) * kBlock, (c.noInterface && i == c.failing) ? nullptr : ifc));
    }
    ASSERT_EQ(0, mgr.SubmitRead(batch, false, nullptr));
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(0, batch[i]->WaitForIO(true));
      if (i != c.failing) {
        EXPECT_TRUE(aio_test::SlotMatchesFile(*batch[i], check, kBlock)) << "slot " << i;
      } else if (c.win32 != 0) {
        EXPECT_TRUE(FXErrorUtil::IsWin32(batch[i]->LastError, c.win32)) << batch[i]->LastError.AsString();
      } else {
        EXPECT_TRUE(FXErrorUtil::IsErrNo(batch[i]->LastError, c.rule.err)) << batch[i]->LastError.AsString();
      }
      mgr.FreeSlot(batch[i]);
    }
    platform::Faults().Reset();
  }
}

TEST_F(NonOvlTest, ASlotCancelledBeforeItsReadCompletesWith995AndTheBatchGoesOn) {
  aio_test::RecordingFile file;
  CFileInterface* recorded = &file;
  CFSInitParams params;
  ASSERT_TRUE(mgr.OpenForAsyncRead((folder / "data").c_str(), params, &recorded).IsSuccess());
  Gate gate;
  file.SetGate([&](long long offset) {
    if (offset == 0) gate.Wait();
  });
  std::vector<IoSlot*> batch{Slot(0, &file), Slot(kBlock, &file), Slot(2 * kBlock, &file)};
  ASSERT_EQ(0, mgr.SubmitRead(batch, false, nullptr));
  gate.WaitForWaiters(1);  // the first read is running
  EXPECT_EQ(0, batch[0]->CancelIO()) << "a read already running is not affected";
  EXPECT_EQ(0, batch[1]->CancelIO());
  gate.Open();
  for (IoSlot* slot : batch) ASSERT_EQ(0, slot->WaitForIO(true));
  EXPECT_TRUE(aio_test::SlotMatchesFile(*batch[0], check, kBlock));
  EXPECT_TRUE(FXErrorUtil::IsWin32(batch[1]->LastError, 995));
  EXPECT_EQ(0u, batch[1]->ullBytesRead);
  EXPECT_TRUE(aio_test::SlotMatchesFile(*batch[2], check, kBlock));
  EXPECT_EQ(2u, file.Reads().size());
  EXPECT_EQ(0, batch[1]->CancelIO()) << "complete";

  // Freed and allocated again, the cancelled slot reads normally.
  mgr.FreeSlot(batch[1]);
  IoSlot* again = Slot(kBlock, &file);
  EXPECT_EQ(batch[1], again);
  EXPECT_FALSE(again->bCancel);
  ASSERT_EQ(0, mgr.SubmitRead(again, 0, false, nullptr));
  ASSERT_EQ(0, again->WaitForIO(true));
  EXPECT_TRUE(aio_test::SlotMatchesFile(*again, check, kBlock));
  for (IoSlot* slot : {batch[0], again, batch[2]}) mgr.FreeSlot(slot);
}

// A submission that finds no reader pool fails its slots: done, and with an error, so that no
// slot reports success with nothing read. A later submission makes the pool.
TEST_F(NonOvlTest, NoReaderPool) {
  for (bool gluster : {false, true}) {
    SCOPED_TRACE(gluster ? "Gluster pool" : "ordinary pool");
    aio_test::ScopedNoReaderPool noPool(gluster ? CSimulatedIoNonOvlMgr::s_pNonOvlGlusterRdrRope
                                      : CSimulatedIoNonOvlMgr::s_pNonOvlRdrRope);
    {
      CSimulatedIoNonOvlMgr other;
      ASSERT_EQ(0, other.InitializeMgr(nullptr, &log.handle, kBlock, 4, 4));
      platform::FailThreadPoolInits(1);
      std::vector<IoSlot*> batch{other.AllocateSlot(0), other.AllocateSlot(0)};
      for (IoSlot* slot : batch) slot->pFileIfc = ifc;
      EXPECT_EQ(-1, other.SubmitRead(batch, gluster, nullptr));
      EXPECT_TRUE(platform::LogContains(std::string("SubmitReadNonOvl: Failed to get handle to Non-OVL reader pool. "
                                                    "IsGlusterPath=") + (gluster ? "1" : "0")));
      for (IoSlot* slot : batch) {
        EXPECT_TRUE(slot->IsComplete());
        EXPECT_TRUE(FXErrorUtil::IsWin32(slot->LastError, 8)) << slot->LastError.AsString();
        other.FreeSlot(slot);
      }
      IoSlot* slot = other.AllocateSlot(0);
      slot->pFileIfc = ifc;
      ASSERT_EQ(0, other.SubmitRead(slot, 0, gluster, nullptr));
      ASSERT_EQ(0, slot->WaitForIO(true));
      EXPECT_TRUE(aio_test::SlotMatchesFile(*slot, check, kBlock));
    }
    EXPECT_TRUE(platform::LogContains(std::string("InitAioRdrRope: Initialized '") +
                                      (gluster ? "LA Glus Non-Ovl" : "LA Non-Ovl") + "' thread pool"));
  }
}

// ---------------------------------------------------------------------------------------------
// Overlapped manager

class OvlTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kMountPath = 7;

  void SetUp() override {
    ASSERT_TRUE(folder.ok());
    ASSERT_TRUE(aio_test::WriteTestFile(folder / "data", kSize));
    path = folder / "data";
    ASSERT_EQ(0, mgr.InitializeMgr(nullptr, &log.handle, kBlock, 16));
    CFSInitParams params;
    params.m_MountPathId = kMountPath;
    EXPECT_EQ(1, mgr.SetFSInitParams(params));
    mgr.IncrementReaderCount(false);
    check = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  void TearDown() override {
    mgr.DecrementReaderCount();
    mgr.DeInitializeMgr();
    close(check);
  }

  // Reads `offset` of the file on the mount path and waits for it.
  IoSlot* Read(uint64_t offset, uint32_t mountPath = kMountPath) {
    IoSlot* slot = mgr.AllocateSlot(mountPath);
    slot->pszPath = path.c_str();
    slot->ullOffset = offset;
    if (mgr.SubmitRead(slot, 0, false, nullptr) != 0) ADD_FAILURE() << "refused";
    slot->WaitForIO(true);
    return slot;
  }

  Folder folder;
  std::string path;
  aio_test::TestLog log;
  CSimulatedIoOvlMgr mgr;
  int check = -1;
};

TEST_F(OvlTest, ReadsAnyOffsetForTheWholeBlock) {
  EXPECT_EQ(2, mgr.GetIoMgrType());
  IoSlot* slot = Read(123);
  EXPECT_EQ(kMountPath, slot->uMPId);
  EXPECT_EQ(nullptr, slot->pFileIfc);
  EXPECT_TRUE(aio_test::SlotMatchesFile(*slot, check, kBlock));
  mgr.FreeSlot(slot);

  slot = mgr.AllocateSlot(kMountPath);
  slot->pszPath = path.c_str();
  EXPECT_EQ(-1, mgr.SubmitRead(slot, kBlock + 1, false, nullptr));
  EXPECT_TRUE(platform::LogContains("StartReadOvl: Error: Invalid read size provided. ReadSize=4097, BufSize=4096"));
  EXPECT_TRUE(slot->IsComplete());
  ASSERT_EQ(0, mgr.SubmitRead(slot, 10, false, nullptr));
  ASSERT_EQ(0, slot->WaitForIO(true));
  EXPECT_EQ(kBlock, slot->ullBytesRead) << "the overlapped read transfers the whole block";
  mgr.FreeSlot(slot);
}

// Failures in the file layer: the slot completes with the last failure of its read.
TEST_F(OvlTest, FailuresAndTheErrorThatStands) {
  struct Case {
    const char* name;
    std::vector<platform::FaultRule> rules;
    int expectedErrno;
    uint64_t bytes;
    const char* message;
  };
  const Case cases[] = {
      {"open fails", {{platform::FsOp::Open, "data", 1, 1, EACCES}}, EACCES, 0, "DoReadOvl: OpenForAsyncRead failed for ["},
      {"seek fails", {{platform::FsOp::Seek, "data", 1, 1, ESPIPE}}, ESPIPE, 0, nullptr},
      {"read fails", {{platform::FsOp::Read, "data", 1, 1, EIO}}, EIO, 0, nullptr},
      {"close fails after a good read", {{platform::FsOp::Close, "data", 1, 1, EROFS}}, EROFS, kBlock,
       "DoReadOvl: Failed to close file ["},
      {"read and close fail: the close's error stands",
       {{platform::FsOp::Read, "data", 1, 1, EIO}, {platform::FsOp::Close, "data", 1, 1, EROFS}},
       EROFS,
       0,
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::Faults().Reset();
    platform::ResetLogs();
    for (const platform::FaultRule& rule : c.rules) platform::Faults().Add(rule);
    IoSlot* slot = Read(0);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(slot->LastError, c.expectedErrno)) << slot->LastError.AsString();
    EXPECT_EQ(c.bytes, slot->ullBytesRead);
    if (c.message != nullptr) {
      EXPECT_TRUE(platform::LogContains(c.message));
    }
    mgr.FreeSlot(slot);
    // The interface went back to its pool: the next read takes it again and reads.
    slot = Read(kBlock);
    EXPECT_TRUE(aio_test::SlotMatchesFile(*slot, check, kBlock));
    mgr.FreeSlot(slot);
  }
  platform::ResetLogs();
  mgr.FreeFileInterface();
  EXPECT_TRUE(platform::LogContains("FreeFileIfc: Freed [1] FileIfc for MPId [7]"));
}

// A mount path never registered reads with default parameters that carry its id, so its
// interface returns to its pool: the reads succeed and the pool does not grow.
TEST_F(OvlTest, AnUnregisteredMountPath) {
  for (int i = 0; i < 3; ++i) {
    IoSlot* slot = Read(static_cast<uint64_t>(i) * kBlock, 77);
    EXPECT_TRUE(aio_test::SlotMatchesFile(*slot, check, kBlock));
    mgr.FreeSlot(slot);
  }
  EXPECT_FALSE(platform::LogContains("Failed to find MPId"));
  mgr.FreeFileInterface();
  EXPECT_TRUE(platform::LogContains("FreeFileIfc: Freed [1] FileIfc for MPId [77]"));
  mgr.FreeFileInterface();  // a second call deletes nothing
  EXPECT_TRUE(platform::LogContains("FreeFileIfc: Freed [0] FileIfc for MPId [77]"));
}

TEST_F(OvlTest, RegistrationAndInterfacePools) {
  // The first registration of an id stays.
  CFSInitParams none;
  none.m_MountPathId = kMountPath;
  none.m_Type = 99;
  EXPECT_EQ(0, mgr.SetFSInitParams(none));
  IoSlot* slot = Read(0);
  EXPECT_TRUE(aio_test::SlotMatchesFile(*slot, check, kBlock));
  mgr.FreeSlot(slot);

  // No interface can be made for a storage type the layer does not know: the read fails with
  // Win32 error 8 and the pool keeps no empty entry.
  none.m_MountPathId = 9;
  EXPECT_EQ(1, mgr.SetFSInitParams(none));
  slot = Read(0, 9);
  EXPECT_TRUE(FXErrorUtil::IsWin32(slot->LastError, 8)) << slot->LastError.AsString();
  EXPECT_TRUE(platform::LogContains("DoReadOvl: Failed to get file interface. MPId [9]"));
  mgr.FreeSlot(slot);
  EXPECT_EQ(nullptr, mgr.GetFileInterface(9));

  // An interface of a mount path without a pool here is not taken back.
  CFSInitParams elsewhere;
  elsewhere.m_MountPathId = 5;
  CFileInterface* stranger = CFileInterface::GetFileInterfaceInstance(elsewhere);
  EXPECT_EQ(-1, mgr.ReleaseFileInterface(stranger));
  EXPECT_TRUE(platform::LogContains("ReleaseFileInt: Failed to find MPId [5] in Ifc Map"));
  delete stranger;

  // Two interfaces in use at once; released, the first one is taken again.
  CFileInterface* first = mgr.GetFileInterface(kMountPath);
  CFileInterface* second = mgr.GetFileInterface(kMountPath);
  ASSERT_NE(nullptr, first);
  ASSERT_NE(first, second);
  EXPECT_EQ(kMountPath, static_cast<uint32_t>(second->GetInitParams().m_MountPathId));
  EXPECT_EQ(0, mgr.ReleaseFileInterface(second));
  EXPECT_EQ(0, mgr.ReleaseFileInterface(first));
  EXPECT_EQ(first, mgr.GetFileInterface(kMountPath));
  EXPECT_EQ(0, mgr.ReleaseFileInterface(first));

  platform::ResetLogs();
  mgr.FreeFileInterface();
  EXPECT_TRUE(platform::LogContains("FreeFileIfc: Freed [2] FileIfc for MPId [7]"));
  EXPECT_FALSE(platform::LogContains("for MPId [9]"));
}

TEST_F(OvlTest, TwoReadsOfOneFileAtOnceUseTwoInterfaces) {
  Gate gate;
  std::atomic<int> opened{0};
  platform::Faults().SetHook([&](platform::FsOp op, const std::string& p) {
    if (op == platform::FsOp::Read && p == path && opened.fetch_add(1) < 2) gate.Wait();
  });
  IoSlot* a = mgr.AllocateSlot(kMountPath);
  IoSlot* b = mgr.AllocateSlot(kMountPath);
  for (IoSlot* slot : {a, b}) {
    slot->pszPath = path.c_str();
    slot->ullOffset = slot == a ? 0 : kBlock;
    ASSERT_EQ(0, mgr.SubmitRead(slot, 0, false, nullptr));
  }
  gate.WaitForWaiters(2);  // both are reading, each on its own interface
  gate.Open();
  for (IoSlot* slot : {a, b}) {
    ASSERT_EQ(0, slot->WaitForIO(true));
    EXPECT_TRUE(aio_test::SlotMatchesFile(*slot, check, kBlock));
    mgr.FreeSlot(slot);
  }
  platform::Faults().SetHook(nullptr);
  platform::ResetLogs();
  mgr.FreeFileInterface();
  EXPECT_TRUE(platform::LogContains("FreeFileIfc: Freed [2] FileIfc for MPId [7]"));
}

TEST_F(OvlTest, AReadCancelledWhileItsFileOpensCompletesWith995) {
  Gate gate;
  platform::Faults().SetHook([&](platform::FsOp op, const std::string& p) {
    if (op == platform::FsOp::Open && p == path) gate.Wait();
  });
  IoSlot* slot = mgr.AllocateSlot(kMountPath);
  slot->pszPath = path.c_str();
  ASSERT_EQ(0, mgr.SubmitRead(slot, 0, false, nullptr));
  gate.WaitForWaiters(1);
  EXPECT_EQ(0, slot->CancelIO());
  gate.Open();
  ASSERT_EQ(0, slot->WaitForIO(true));
  EXPECT_TRUE(FXErrorUtil::IsWin32(slot->LastError, 995));
  EXPECT_EQ(0, platform::Faults().Calls(platform::FsOp::Read, "data"));
  EXPECT_EQ(1, platform::Faults().Calls(platform::FsOp::Close, "data")) << "the file is closed all the same";
  platform::Faults().SetHook(nullptr);
  mgr.FreeSlot(slot);
}

TEST_F(OvlTest, NoReaderPool) {
  aio_test::ScopedNoReaderPool noPool(CSimulatedIoOvlMgr::s_pOvlRdrRope);
  CSimulatedIoOvlMgr other;
  ASSERT_EQ(0, other.InitializeMgr(nullptr, &log.handle, kBlock, 16));
  platform::FailThreadPoolInits(1);
  IoSlot* slot = other.AllocateSlot(kMountPath);
  slot->pszPath = path.c_str();
  EXPECT_EQ(-1, other.SubmitRead(slot, 0, false, nullptr));
  EXPECT_TRUE(platform::LogContains("StartReadOvl: Failed to get handle to OVL reader pool."));
  EXPECT_TRUE(slot->IsComplete());
  EXPECT_TRUE(FXErrorUtil::IsWin32(slot->LastError, 8)) << slot->LastError.AsString();
  other.FreeSlot(slot);

  slot = other.AllocateSlot(kMountPath);
  slot->pszPath = path.c_str();
  ASSERT_EQ(0, other.SubmitRead(slot, 0, false, nullptr));
  ASSERT_EQ(0, slot->WaitForIO(true));
  EXPECT_TRUE(aio_test::SlotMatchesFile(*slot, check, kBlock));
  other.FreeSlot(slot);
  other.DeInitializeMgr();
}

TEST_F(OvlTest, OpenForAsyncReadNeedsAnInterfaceAndAPath) {
  CFileInterface* file = mgr.GetFileInterface(kMountPath);
  EXPECT_TRUE(FXErrorUtil::IsWin32(mgr.OpenForAsyncRead(nullptr, file), 160));
  EXPECT_TRUE(FXErrorUtil::IsWin32(mgr.OpenForAsyncRead(path.c_str(), nullptr), 160));
  EXPECT_TRUE(mgr.OpenForAsyncRead(path.c_str(), file).IsSuccess());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(mgr.OpenForAsyncRead((folder / "missing").c_str(), file), ENOENT));
  EXPECT_EQ(0, mgr.ReleaseFileInterface(file));
}

}  // namespace
