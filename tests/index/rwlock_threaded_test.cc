// The read/write lock between threads: readers share it, and a waiting writer goes before readers
// that come after it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MediaFileSystem/RWLock.h"
#include "thread_state.h"

namespace {

using namespace std::chrono_literals;
using mfstest::BlocksSoon;
using mfstest::ThreadId;

TEST(RWLockThreads, ReadersHoldItTogether) {
  CRWLock lock;
  constexpr int kReaders = 4;
  std::atomic<int> holding{0};
  std::atomic<int> sawAll{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.emplace_back([&] {
      EXPECT_EQ(lock.LockRead(-1), 1);
      ++holding;
      // Nobody lets go until every reader holds it at once (or a reader is kept waiting).
      const auto deadline = std::chrono::steady_clock::now() + 30s;
      while (holding.load() < kReaders && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      if (holding.load() == kReaders) ++sawAll;
      lock.UnlockRead();
    });
  }
  for (auto& r : readers) r.join();
  EXPECT_EQ(sawAll.load(), kReaders) << "a reader waited for another";
}

TEST(RWLockThreads, AWaitingWriterHoldsOffLaterReaders) {
  CRWLock lock;
  std::mutex orderMutex;
  std::vector<std::string> order;
  auto note = [&](const char* who) {
    std::lock_guard<std::mutex> guard(orderMutex);
    order.push_back(who);
  };

  ASSERT_EQ(lock.LockRead(-1), 1);  // the first reader, on this thread
  std::atomic<pid_t> writerTid{0};
  std::thread writer([&] {
    writerTid = ThreadId();
    lock.LockWrite(-1);
    note("writer");
    lock.UnlockWrite();
  });
  ASSERT_TRUE(BlocksSoon(writerTid)) << "the writer did not wait for the reader";

  std::atomic<pid_t> readerTid{0};
  std::thread reader([&] {
    readerTid = ThreadId();
    lock.LockRead(-1);
    note("later reader");
    lock.UnlockRead();
  });
  ASSERT_TRUE(BlocksSoon(readerTid)) << "a reader went before the waiting writer";
  {
    std::lock_guard<std::mutex> guard(orderMutex);
    EXPECT_TRUE(order.empty());
  }

  EXPECT_EQ(lock.UnlockRead(), 0);
  writer.join();
  reader.join();
  EXPECT_EQ(order, (std::vector<std::string>{"writer", "later reader"}));
}

}  // namespace
