// The three managers driven as hosts drive them, and two runs over any of them: a file read end
// to end with 1 to 32 slots in flight, and the slot life cycle as a property (random sequences of
// allocate, submit accepted and refused, poll, wait, cancel, free and de-initialise, checked step
// by step against a model of the slot states and of the pool's list order and growth).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "MediaFileSystem/AsyncIoManager2.h"
#include "MediaFileSystem/AsyncIoManager2_NonOvl.h"
#include "MediaFileSystem/AsyncIoManager2_Ovl.h"
#include "aio_test_util.h"
#include "test_env.h"

namespace aio_test {

// One kind of manager as a host drives it.
class ManagerDriver {
 public:
  virtual ~ManagerDriver() = default;
  virtual CAsyncIoManager2& Mgr() = 0;
  virtual int Initialize(uint32_t blockSize) = 0;
  virtual IoSlot* Allocate() = 0;
  virtual uint32_t ExpectedMPId() const { return 0xFFFFFFFFu; }
  // Names the file in the slot and submits a read of `size` bytes (0: the block) at `offset`.
  virtual int Submit(IoSlot* slot, uint64_t offset, uint32_t size) = 0;
  // Bytes that an accepted read of `size` asks for.
  virtual uint32_t ReadLength(uint32_t size, uint32_t block) const = 0;
  // Submits slots together (a batch where the manager has one), each at its offset for the
  // whole block. By default one by one; 0 when every submission was accepted.
  virtual int SubmitGroup(const std::vector<IoSlot*>& slots, const std::vector<uint64_t>& offsets) {
    int rc = 0;
    for (size_t i = 0; i < slots.size(); ++i) rc |= Submit(slots[i], offsets[i], 0);
    return rc;
  }
  // A submission the manager must refuse; the slot stays allocated.
  virtual int SubmitRefused(IoSlot* slot, uint32_t block, std::mt19937_64& rng) = 0;
  virtual bool Simulated() const = 0;
  virtual bool AlignedOffsets() const = 0;
  virtual void Finish() {}
};

class NativeDriver : public ManagerDriver {
 public:
  NativeDriver(const std::string& path, bool direct) : m_path(path), m_direct(direct) {}
  ~NativeDriver() override { m_mgr.Close(m_fd); }
  CAsyncIoManager2& Mgr() override { return m_mgr; }
  int Initialize(uint32_t blockSize) override {
    int rc = m_mgr.InitializeMgr(this, &m_log.handle, blockSize);
    if (m_fd == -1) m_fd = m_mgr.OpenForNativeAsyncRead(m_path.c_str(), m_direct, nullptr);
    return m_fd == -1 ? -1 : rc;
  }
  IoSlot* Allocate() override { return m_mgr.AllocateSlot(0); }
  int Submit(IoSlot* slot, uint64_t offset, uint32_t size) override {
    slot->nFd = m_fd;
    slot->ullOffset = offset;
    return m_mgr.SubmitRead(slot, size, false, nullptr);
  }
  uint32_t ReadLength(uint32_t, uint32_t block) const override { return block; }
  int SubmitRefused(IoSlot* slot, uint32_t block, std::mt19937_64& rng) override {
    switch (rng() % 3) {
      case 0: slot->nFd = m_fd; slot->ullOffset = block + 512; return m_mgr.SubmitRead(slot, 0, false, nullptr);
      case 1: slot->nFd = m_fd; slot->ullOffset = 0; return m_mgr.SubmitRead(slot, block + 1, false, nullptr);
      default: slot->nFd = -1; slot->ullOffset = 0; return m_mgr.SubmitRead(slot, 0, false, nullptr);
    }
  }
  bool Simulated() const override { return false; }
  bool AlignedOffsets() const override { return true; }

 private:
  std::string m_path;
  bool m_direct;
  TestLog m_log;
  CAsyncIoManager2 m_mgr;
  int m_fd = -1;
};

class NonOvlDriver : public ManagerDriver {
 public:
  // `batches`: SubmitGroup hands the slots over as one batch.
  explicit NonOvlDriver(const std::string& path, bool batches = false) : m_path(path), m_batches(batches) {}
  ~NonOvlDriver() override {
    m_mgr.DeInitializeMgr();
    m_mgr.Close(m_ifc);
  }
  CAsyncIoManager2& Mgr() override { return m_mgr; }
  int Initialize(uint32_t blockSize) override {
    int rc = m_mgr.InitializeMgr(this, &m_log.handle, blockSize, 4, 4);
    m_mgr.IncrementReaderCount(false);
    if (m_ifc == nullptr) {
      CFSInitParams params;
      if (m_mgr.OpenForAsyncRead(m_path.c_str(), params, &m_ifc).IsFailure()) return -1;
    }
    return rc;
  }
  IoSlot* Allocate() override { return m_mgr.AllocateSlot(0); }
  int Submit(IoSlot* slot, uint64_t offset, uint32_t size) override {
    slot->pFileIfc = m_ifc;
    slot->ullOffset = offset;
    return m_mgr.SubmitRead(slot, size, false, nullptr);
  }
  int SubmitGroup(const std::vector<IoSlot*>& slots, const std::vector<uint64_t>& offsets) override {
    if (!m_batches) return ManagerDriver::SubmitGroup(slots, offsets);
    for (size_t i = 0; i < slots.size(); ++i) {
      slots[i]->pFileIfc = m_ifc;
      slots[i]->ullOffset = offsets[i];
    }
    return m_mgr.SubmitRead(slots, false, nullptr);
  }
  uint32_t ReadLength(uint32_t size, uint32_t block) const override { return size == 0 ? block : size; }
  int SubmitRefused(IoSlot* slot, uint32_t block, std::mt19937_64& rng) override {
    int rc;
    switch (rng() % 3) {
      case 0: slot->pFileIfc = m_ifc; slot->ullOffset = 100; rc = m_mgr.SubmitRead(slot, 0, false, nullptr); break;
      case 1: slot->pFileIfc = m_ifc; slot->ullOffset = 0; rc = m_mgr.SubmitRead(slot, block + 1, false, nullptr); break;
      default: slot->pFileIfc = nullptr; slot->ullOffset = 0; rc = m_mgr.SubmitRead(slot, 0, false, nullptr); break;
    }
    return rc;
  }
  bool Simulated() const override { return true; }
  bool AlignedOffsets() const override { return true; }
  void Finish() override { m_mgr.DecrementReaderCount(); }

 private:
  std::string m_path;
  bool m_batches;
  TestLog m_log;
  CSimulatedIoNonOvlMgr m_mgr;
  CFileInterface* m_ifc = nullptr;
};

class OvlDriver : public ManagerDriver {
 public:
  OvlDriver(const std::string& path, uint32_t mpId) : m_path(path), m_mpId(mpId) {}
  CAsyncIoManager2& Mgr() override { return m_mgr; }
  int Initialize(uint32_t blockSize) override {
    int rc = m_mgr.InitializeMgr(this, &m_log.handle, blockSize, 16);
    CFSInitParams params;
    params.m_MountPathId = static_cast<int32_t>(m_mpId);
    m_mgr.SetFSInitParams(params);
    m_mgr.IncrementReaderCount(false);
    return rc;
  }
  IoSlot* Allocate() override { return m_mgr.AllocateSlot(m_mpId); }
  uint32_t ExpectedMPId() const override { return m_mpId; }
  int Submit(IoSlot* slot, uint64_t offset, uint32_t size) override {
    slot->pszPath = m_path.c_str();
    slot->ullOffset = offset;
    return m_mgr.SubmitRead(slot, size, false, nullptr);
  }
  uint32_t ReadLength(uint32_t, uint32_t block) const override { return block; }
  int SubmitRefused(IoSlot* slot, uint32_t block, std::mt19937_64&) override {
    slot->pszPath = m_path.c_str();
    return m_mgr.SubmitRead(slot, block + 1, false, nullptr);
  }
  bool Simulated() const override { return true; }
  bool AlignedOffsets() const override { return false; }
  void Finish() override { m_mgr.DecrementReaderCount(); }

 private:
  std::string m_path;
  uint32_t m_mpId;
  TestLog m_log;
  CSimulatedIoOvlMgr m_mgr;
};

// Runs `steps` random operations on the driver's manager and checks each against the model.
class SlotLifecycleModel {
 public:
  enum class State { Free, Allocated, InFlight, Complete };

  SlotLifecycleModel(ManagerDriver& driver, const std::string& path, uint64_t fileSize, uint32_t block,
                     uint64_t seed)
      : m_driver(driver), m_fileSize(fileSize), m_block(block), m_rng(seed) {
    m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  ~SlotLifecycleModel() {
    if (m_fd >= 0) close(m_fd);
  }

  void Run(int steps) {
    ASSERT_GE(m_fd, 0);
    ASSERT_EQ(0, m_driver.Initialize(m_block));
    for (int step = 0; step < steps && !::testing::Test::HasFailure(); ++step) {
      SCOPED_TRACE("step " + std::to_string(step));
      unsigned pick = static_cast<unsigned>(m_rng() % 100);
      if (pick < 22) {
        Allocate();
      } else if (pick < 44) {
        SubmitAccepted();
      } else if (pick < 50) {
        SubmitRefused();
      } else if (pick < 62) {
        Poll();
      } else if (pick < 72) {
        Wait();
      } else if (pick < 78) {
        Cancel();
      } else if (pick < 96) {
        Free();
      } else if (pick < 98) {
        Burst();
      } else {
        Reinitialize();
      }
      CheckBusyFlags();
    }
    for (IoSlot* slot : m_list) {
      if (m_states[slot] != State::Free) Free(slot);
    }
    m_driver.Finish();
    EXPECT_EQ(0, m_driver.Mgr().DeInitializeMgr());
  }

  int grewPast32() const { return m_maxListSize > 32; }

 private:
  IoSlot* PickIn(std::initializer_list<State> states) {
    std::vector<IoSlot*> found;
    for (IoSlot* slot : m_list) {
      if (std::find(states.begin(), states.end(), m_states[slot]) != states.end()) found.push_back(slot);
    }
    if (found.empty()) return nullptr;
    return found[m_rng() % found.size()];
  }

  void Allocate() {
    IoSlot* expected = nullptr;
    for (IoSlot* slot : m_list) {
      if (m_states[slot] == State::Free) {
        expected = slot;
        break;
      }
    }
    IoSlot* slot = m_driver.Allocate();
    ASSERT_NE(nullptr, slot);
    if (expected != nullptr) {
      ASSERT_EQ(expected, slot) << "allocation must take the first free slot of the pool";
    } else {
      ASSERT_EQ(m_list.end(), std::find(m_list.begin(), m_list.end(), slot)) << "the pool grows by a new slot";
      m_list.push_back(slot);
      m_maxListSize = std::max(m_maxListSize, m_list.size());
    }
    m_states[slot] = State::Allocated;
    m_cancelled[slot] = false;
    EXPECT_TRUE(slot->bBusy);
    EXPECT_TRUE(slot->bDone);
    EXPECT_FALSE(slot->bCancel);
    EXPECT_EQ(0u, slot->ullBytesRead);
    EXPECT_EQ(0u, slot->ullOffset);
    EXPECT_EQ(m_block, slot->uBufSize);
    EXPECT_EQ(-1, slot->nFd);
    EXPECT_EQ(nullptr, slot->pszPath);
    EXPECT_EQ(m_driver.ExpectedMPId(), slot->uMPId);
    EXPECT_TRUE(slot->LastError.IsSuccess());
    EXPECT_EQ(m_driver.Simulated(), slot->bSimulated);
    EXPECT_EQ(&m_driver.Mgr(), slot->pOwner);
    EXPECT_EQ(m_driver.Simulated(), slot->pEvent != nullptr);
  }

  void SubmitAccepted() {
    IoSlot* slot = PickIn({State::Allocated});
    if (slot == nullptr) return;
    uint64_t blocks = m_fileSize / m_block + 3;  // some reads start past the end
    uint64_t offset = (m_rng() % blocks) * m_block;
    if (!m_driver.AlignedOffsets()) offset = m_rng() % (m_fileSize + 2 * m_block);
    uint32_t size = (m_rng() % 2 == 0) ? 0 : static_cast<uint32_t>(1 + m_rng() % m_block);
    ASSERT_EQ(0, m_driver.Submit(slot, offset, size));
    m_states[slot] = State::InFlight;
    m_lengths[slot] = m_driver.ReadLength(size, m_block);
  }

  void SubmitRefused() {
    IoSlot* slot = PickIn({State::Allocated});
    if (slot == nullptr) return;
    ASSERT_EQ(-1, m_driver.SubmitRefused(slot, m_block, m_rng));
    EXPECT_TRUE(slot->bDone) << "a refused slot stays done";
    EXPECT_EQ(m_block, slot->uBufSize) << "a refused slot is not changed";
    EXPECT_TRUE(slot->LastError.IsSuccess());
  }

  void Poll() {
    IoSlot* slot = PickIn({State::InFlight, State::Complete});
    if (slot == nullptr) return;
    bool complete = (m_rng() % 2 == 0) ? slot->IsComplete() : slot->WaitForIO(false) == 0;
    if (m_states[slot] == State::Complete) {
      EXPECT_TRUE(complete) << "a complete slot stays complete";
      return;
    }
    if (complete) {
      Completed(slot);
    } else if (!m_driver.Simulated()) {
      EXPECT_FALSE(slot->bDone);  // (a pool thread may complete a simulated read at any time)
    }
  }

  void Wait() {
    IoSlot* slot = PickIn({State::InFlight, State::Complete});
    if (slot == nullptr) return;
    ASSERT_EQ(0, slot->WaitForIO(true));
    if (m_states[slot] == State::InFlight) Completed(slot);
  }

  void Cancel() {
    IoSlot* slot = PickIn({State::InFlight, State::Complete});
    if (slot == nullptr) return;
    bool wasComplete = m_states[slot] == State::Complete;
    int rc = slot->CancelIO();
    if (wasComplete) {
      EXPECT_EQ(0, rc);
      return;
    }
    if (m_driver.Simulated()) {
      EXPECT_EQ(0, rc);
      m_cancelled[slot] = true;
    } else if (rc == 0) {
      // The poll inside the cancel found the read complete.
      Completed(slot);
    } else {
      EXPECT_EQ(-1, rc);
      EXPECT_FALSE(slot->bDone);
    }
  }

  void Free() {
    IoSlot* slot = PickIn({State::Allocated, State::InFlight, State::Complete});
    if (slot != nullptr) Free(slot);
  }

  void Free(IoSlot* slot) {
    bool inFlight = m_states[slot] == State::InFlight;
    m_driver.Mgr().FreeSlot(slot);
    EXPECT_FALSE(slot->bBusy);
    EXPECT_TRUE(slot->bDone);
    if (inFlight) Verify(slot);  // the free waited for the read
    m_states[slot] = State::Free;
  }

  // Allocates until more than 32 slots are busy, then submits some of them.
  void Burst() {
    while (BusyCount() < 40) {
      Allocate();
      if (::testing::Test::HasFailure()) return;
    }
    for (int i = 0; i < 8; ++i) SubmitAccepted();
  }

  // De-initialises with busy slots (some in flight) and initialises again: the pool starts empty.
  void Reinitialize() {
    int busy = BusyCount();
    std::string counts = "DeInitializing AsynMgr. Slots: Busy=" + std::to_string(busy) +
                         ", Max=" + std::to_string(m_list.size()) + ", Curr=" + std::to_string(m_list.size()) + ";";
    size_t messages = platform::LogCount("DeInitializing AsynMgr.");
    size_t matching = platform::LogCount(counts);
    EXPECT_EQ(0, m_driver.Mgr().DeInitializeMgr());
    EXPECT_EQ(messages + (busy > 0 ? 1 : 0), platform::LogCount("DeInitializing AsynMgr."));
    EXPECT_EQ(matching + (busy > 0 ? 1 : 0), platform::LogCount(counts));
    m_list.clear();
    m_states.clear();
    m_cancelled.clear();
    m_lengths.clear();
    ASSERT_EQ(0, m_driver.Initialize(m_block));
  }

  void Completed(IoSlot* slot) {
    EXPECT_TRUE(slot->bDone);
    m_states[slot] = State::Complete;
    Verify(slot);
  }

  void Verify(IoSlot* slot) {
    if (m_cancelled[slot] && FXErrorUtil::IsWin32(slot->LastError, 995)) return;  // cancelled before it started
    EXPECT_TRUE(SlotMatchesFile(*slot, m_fd, m_lengths[slot]));
  }

  int BusyCount() {
    int busy = 0;
    for (IoSlot* slot : m_list) busy += m_states[slot] != State::Free ? 1 : 0;
    return busy;
  }

  void CheckBusyFlags() {
    for (IoSlot* slot : m_list) EXPECT_EQ(m_states[slot] != State::Free, slot->bBusy);
  }

  ManagerDriver& m_driver;
  uint64_t m_fileSize;
  uint32_t m_block;
  std::mt19937_64 m_rng;
  int m_fd = -1;
  std::vector<IoSlot*> m_list;  // the pool in creation order
  std::map<IoSlot*, State> m_states;
  std::map<IoSlot*, bool> m_cancelled;
  std::map<IoSlot*, uint32_t> m_lengths;
  size_t m_maxListSize = 0;
};

// Reads every block of the file, and a few past its end, in random order with 1 to 32 slots in
// flight (a new depth every 64 reads); each completed slot is compared with pread(2) of its range.
// `randomSizes`: single submissions ask for a random number of bytes up to the block.
inline void ReadEndToEnd(ManagerDriver& driver, const std::string& path, uint64_t fileSize, uint32_t block,
                         uint64_t seed, bool randomSizes) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, driver.Initialize(block));
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> offsets;
  uint64_t blocks = (fileSize + block - 1) / block;
  for (uint64_t i = 0; i < blocks + 3; ++i) offsets.push_back(i * block);
  std::shuffle(offsets.begin(), offsets.end(), rng);

  struct InFlight {
    IoSlot* slot;
    uint32_t length;
  };
  std::deque<InFlight> window;
  size_t next = 0;
  size_t depth = 1;
  size_t completed = 0;
  while ((next < offsets.size() || !window.empty()) && !::testing::Test::HasFailure()) {
    if (completed % 64 == 0) depth = 1 + rng() % 32;
    while (window.size() < depth && next < offsets.size()) {
      size_t group = std::min<size_t>({1 + rng() % 8, depth - window.size(), offsets.size() - next});
      std::vector<IoSlot*> slots;
      std::vector<uint64_t> at;
      for (size_t i = 0; i < group; ++i) {
        IoSlot* slot = driver.Allocate();
        ASSERT_NE(nullptr, slot);
        slots.push_back(slot);
        at.push_back(offsets[next++]);
      }
      if (group == 1 && randomSizes) {
        uint32_t size = (rng() % 2 == 0) ? 0 : static_cast<uint32_t>(1 + rng() % block);
        ASSERT_EQ(0, driver.Submit(slots[0], at[0], size));
        window.push_back({slots[0], driver.ReadLength(size, block)});
        continue;
      }
      ASSERT_EQ(0, driver.SubmitGroup(slots, at));
      for (IoSlot* slot : slots) window.push_back({slot, block});
    }
    // Poll the others now and then; wait for the oldest.
    if (window.size() > 1 && rng() % 4 == 0) window[1 + rng() % (window.size() - 1)].slot->IsComplete();
    InFlight oldest = window.front();
    window.pop_front();
    ASSERT_EQ(0, oldest.slot->WaitForIO(true));
    EXPECT_TRUE(SlotMatchesFile(*oldest.slot, fd, oldest.length));
    driver.Mgr().FreeSlot(oldest.slot);
    ++completed;
  }
  for (const InFlight& f : window) driver.Mgr().FreeSlot(f.slot);
  driver.Finish();
  EXPECT_EQ(0, driver.Mgr().DeInitializeMgr());
  close(fd);
}

inline int PropertySteps() { return mfstest::EnvCount("MFS_AIO_PROPERTY_STEPS", 400); }

}  // namespace aio_test
