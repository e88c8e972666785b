// CFileFlusher with its real worker threads: the process-wide holding, requests flushed, waited
// for and cancelled, the rule that starts and retires workers, the stop, thread starts that fail,
// and many submitters racing the workers.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <random>
#include <thread>

#include "flush_gate.h"
#include "test_env.h"
#include "thread_state.h"

namespace {

void SetConfig(const char* name, long long value) { platform::Config().SetNumber("ZovadAdeve", name, value); }

// Waits, without sleeping, until a line containing `text` has been logged `n` times.
void WaitForLog(const std::string& text, size_t n = 1) {
  while (platform::LogCount(text) < n) std::this_thread::yield();
}

class FlusherTest : public ::testing::Test {
 public:
  std::unique_ptr<FileRequest> Request(const std::string& name) {
    return std::make_unique<FileRequest>(dir.path(), name);
  }
  // Starts the flusher with worker 0 held inside the flush of `held`.
  CFileFlusher* StartHolding(FlushGate& gate, FileRequest& held) {
    gate.Close();
    CFileFlusher* f = CFileFlusher::Get(nullptr);
    f->Submit(&held.req);
    gate.WaitArrived(1);
    return f;
  }

  TempDir dir{TempDir::MemoryBase()};  // flushes there cost nothing: the tests measure the flusher
};

TEST_F(FlusherTest, HoldersShareOneFlusherAndTheLastStopsIt) {
  CFileFlusher* a = CFileFlusher::Get(nullptr);
  CFileFlusher* b = CFileFlusher::Get(nullptr);
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(a, b);
  EXPECT_EQ(1u, platform::LogCount("Initialized the file flusher. Max threads [1], New Thread Threshold [20]"));
  EXPECT_EQ(1, platform::LiveThreads());

  CFileFlusher::Release(a);
  EXPECT_EQ(1, platform::LiveThreads());
  EXPECT_FALSE(platform::LogContains("flusher thread(s) stopped."));

  CFileFlusher::Release(b);
  EXPECT_EQ(0, platform::LiveThreads());
  EXPECT_EQ(1u, platform::LogCount("flusher thread(s) stopped."));
  EXPECT_EQ(1u, platform::LogCount("flusher thread [0] exiting."));

  CFileFlusher* c = CFileFlusher::Get(nullptr);
  ASSERT_NE(nullptr, c);
  EXPECT_EQ(2u, platform::LogCount("Initialized the file flusher."));
  CFileFlusher::Release(c);
  EXPECT_EQ(0, platform::LiveThreads());
}

// A release without a holding changes nothing: the count never goes below zero.
TEST_F(FlusherTest, ReleaseWithoutAHoldingIsRefused) {
  CFileFlusher::Release(nullptr);
  EXPECT_TRUE(platform::LogContains("s_ObjRefCnt > 0"));
  CFileFlusher* f = CFileFlusher::Get(nullptr);
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(1, platform::LiveThreads());
  CFileFlusher::Release(f);
  EXPECT_EQ(0, platform::LiveThreads());
}

TEST_F(FlusherTest, FlushOfARealFileAndAFailedOne) {
  auto good = Request("good");
  auto bad = Request("bad");
  platform::Faults().Add({platform::FsOp::Flush, bad->path, 1, 1, EIO});
  CFileFlusher* f = CFileFlusher::Get(nullptr);
  ASSERT_EQ(0, f->Submit(&good->req));
  ASSERT_EQ(0, f->Submit(&bad->req));
  EXPECT_EQ(0, f->Wait(&good->req, 0xFFFFFFFFu));
  EXPECT_EQ(0, f->Wait(&bad->req, 0xFFFFFFFFu));
  EXPECT_TRUE(good->req.Result.IsSuccess());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(bad->req.Result, EIO));
  EXPECT_EQ(1, good->Flushes());
  EXPECT_EQ(1, bad->Flushes());

  // A request without an event is refused; a resubmitted one runs again.
  CFileFlusher::SRequest noEvent;
  EXPECT_EQ(-1, f->Submit(&noEvent));
  EXPECT_EQ(-1, f->Submit(nullptr));
  ASSERT_EQ(0, f->Submit(&good->req));
  EXPECT_EQ(0, f->Wait(&good->req, 0xFFFFFFFFu));
  EXPECT_EQ(2, good->Flushes());
  CFileFlusher::Release(f);
}

TEST_F(FlusherTest, WaitWithoutTimeAnswersAtOnceAndCancelWithdrawsAQueuedRequest) {
  FlushGate gate;
  auto held = Request("held");
  auto queued = Request("queued");
  CFileFlusher* f = StartHolding(gate, *held);
  f->Submit(&queued->req);
  EXPECT_EQ(1, f->Wait(&held->req, 0));    // being flushed
  EXPECT_EQ(1, f->Wait(&queued->req, 0));  // queued
  EXPECT_EQ(0, f->Cancel(&queued->req));
  EXPECT_FALSE(queued->Done());
  gate.OpenAll();
  EXPECT_EQ(0, f->Wait(&held->req, 0xFFFFFFFFu));
  CFileFlusher::Release(f);
  EXPECT_EQ(0, queued->Flushes());
  EXPECT_FALSE(queued->Done());
}

TEST_F(FlusherTest, CancelOfTheRequestBeingFlushedReturnsAfterTheFlush) {
  FlushGate gate;
  auto held = Request("held");
  CFileFlusher* f = StartHolding(gate, *held);
  std::atomic<bool> returned{false};
  std::atomic<pid_t> cancellerId{0};
  bool doneAtReturn = false;
  std::thread canceller([&] {
    cancellerId = mfstest::ThreadId();
    f->Cancel(&held->req);
    doneAtReturn = held->Done();
    returned = true;
  });
  EXPECT_TRUE(mfstest::BlocksSoon(cancellerId)) << "the cancel did not wait for the flush";
  EXPECT_FALSE(returned);
  gate.OpenAll();
  canceller.join();
  EXPECT_TRUE(doneAtReturn);
  EXPECT_EQ(1, held->Flushes());
  CFileFlusher::Release(f);
}

// Neither a request never submitted nor one already collected has a flush to wait for.
TEST_F(FlusherTest, CancelOfARequestNotInTheFlusherReturnsAtOnce) {
  auto never = Request("never");
  auto collected = Request("collected");
  CFileFlusher* f = CFileFlusher::Get(nullptr);
  EXPECT_EQ(0, f->Cancel(&never->req));
  f->Submit(&collected->req);
  ASSERT_EQ(0, f->Wait(&collected->req, 0xFFFFFFFFu));
  EXPECT_EQ(0, f->Cancel(&collected->req));
  EXPECT_EQ(0, f->Cancel(nullptr));
  CFileFlusher::Release(f);
  EXPECT_EQ(0, never->Flushes());
  EXPECT_EQ(1, collected->Flushes());
}

// With "MaxFlushThreads" 4 and a threshold of 20: 20 queued start worker 1, 40 worker 2, 60
// worker 3, and 80 nothing more.
TEST_F(FlusherTest, WorkersStartAsTheQueueGrows) {
  SetConfig("MaxFlushThreads", 4);
  FlushGate gate;
  gate.Close();
  std::vector<std::unique_ptr<FileRequest>> reqs;
  CFileFlusher* f = CFileFlusher::Get(nullptr);
  auto submit = [&](int n) {
    for (int i = 0; i < n; ++i) {
      reqs.push_back(Request("r" + std::to_string(reqs.size())));
      f->Submit(&reqs.back()->req);
    }
  };
  auto started = [](int k) { return platform::LogCount("StartThread: Starting file flusher thread [" + std::to_string(k) + "]"); };

  submit(1);
  gate.WaitArrived(1);  // worker 0 holds the first; the queue is empty
  submit(19);
  EXPECT_EQ(0u, started(1));
  submit(1);  // 20 queued
  EXPECT_EQ(1u, started(1));
  gate.WaitArrived(2);  // worker 1 holds one: 19 queued
  submit(20);
  EXPECT_EQ(0u, started(2));
  submit(1);  // 40 queued
  EXPECT_EQ(1u, started(2));
  gate.WaitArrived(3);
  submit(21);  // 60 queued
  EXPECT_EQ(1u, started(3));
  gate.WaitArrived(4);
  submit(21);  // 80 queued
  EXPECT_EQ(0u, started(4));
  EXPECT_EQ(1u, started(1));
  EXPECT_EQ(4, platform::LiveThreads());

  gate.OpenAll();
  for (auto& r : reqs) EXPECT_EQ(0, f->Wait(&r->req, 0xFFFFFFFFu));
  CFileFlusher::Release(f);
  EXPECT_EQ(0, platform::LiveThreads());
  for (auto& r : reqs) EXPECT_EQ(1, r->Flushes());
}

// Worker k retires after a flush that leaves at most k x T - T / 2 queued (T = 4: 2 for worker 1).
TEST_F(FlusherTest, ExtraWorkerRetiresWhenTheQueueHasShrunk) {
  SetConfig("MaxFlushThreads", 2);
  SetConfig("NewThreadThreshold", 4);
  FlushGate gate;
  gate.Close();
  std::vector<std::unique_ptr<FileRequest>> reqs;
  for (const char* name : {"a", "b", "c", "d", "e"}) reqs.push_back(Request(name));
  CFileFlusher* f = CFileFlusher::Get(nullptr);
  f->Submit(&reqs[0]->req);
  gate.WaitArrived(1);
  for (int i = 1; i < 5; ++i) f->Submit(&reqs[static_cast<size_t>(i)]->req);  // 4 queued: worker 1 starts
  gate.WaitArrived(2);
  EXPECT_EQ(reqs[1]->path, gate.Arrived()[1]);  // worker 1 took b; 3 queued

  gate.Open(reqs[1]->path);  // 3 left > 2: worker 1 goes on with c
  gate.WaitArrived(3);
  EXPECT_EQ(reqs[2]->path, gate.Arrived()[2]);
  EXPECT_EQ(0u, platform::LogCount("flusher thread [1] exiting."));

  gate.Open(reqs[2]->path);  // 2 left: worker 1 retires
  WaitForLog("flusher thread [1] exiting.");
  EXPECT_EQ(1u, platform::LogCount("flusher thread [1] exiting. Avg per flush ["));

  gate.OpenAll();
  for (auto& r : reqs) EXPECT_EQ(0, f->Wait(&r->req, 0xFFFFFFFFu));
  CFileFlusher::Release(f);
  EXPECT_EQ(0, platform::LiveThreads());
}

TEST_F(FlusherTest, CountsThatMeanNothingAreReplaced) {
  struct Case {
    std::optional<long long> maxThreads;
    std::optional<long long> threshold;
    const char* line;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, "Max threads [1], New Thread Threshold [20]"},
      {0, 7, "Max threads [1], New Thread Threshold [7]"},
      {-3, 0, "Max threads [1], New Thread Threshold [20]"},
      {0x100000002LL, 0x100000005LL, "Max threads [2], New Thread Threshold [5]"},  // low 32 bits
      {3, -5, "Max threads [3], New Thread Threshold [20]"},
  };
  for (const Case& c : cases) {
    platform::ResetAll();
    if (c.maxThreads) SetConfig("MaxFlushThreads", *c.maxThreads);
    if (c.threshold) SetConfig("NewThreadThreshold", *c.threshold);
    CFileFlusher* f = CFileFlusher::Get(nullptr);
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(1u, platform::LogCount(c.line)) << c.line;
    CFileFlusher::Release(f);
  }
  EXPECT_TRUE(platform::LogContains("NewThreadThreshold [-5] is below 1; using [20]"));

  // A negative maximum still has worker 0, and only it: a long queue starts nobody else.
  platform::ResetAll();
  SetConfig("MaxFlushThreads", -3);
  SetConfig("NewThreadThreshold", 0);
  FlushGate gate;
  gate.Close();
  std::vector<std::unique_ptr<FileRequest>> reqs;
  CFileFlusher* f = CFileFlusher::Get(nullptr);
  EXPECT_TRUE(platform::LogContains("MaxFlushThreads [-3] is below 1; using [1]"));
  EXPECT_TRUE(platform::LogContains("NewThreadThreshold [0] is below 1; using [20]"));
  for (int i = 0; i < 50; ++i) {
    reqs.push_back(Request("q" + std::to_string(i)));
    f->Submit(&reqs.back()->req);
  }
  EXPECT_EQ(1, platform::LiveThreads());
  EXPECT_FALSE(platform::LogContains("Starting file flusher thread [1]"));
  gate.OpenAll();
  for (auto& r : reqs) EXPECT_EQ(0, f->Wait(&r->req, 0xFFFFFFFFu));
  CFileFlusher::Release(f);
}

TEST_F(FlusherTest, StopLeavesQueuedRequestsUnflushed) {
  FlushGate gate;
  auto a = Request("a");
  auto b = Request("b");
  auto c = Request("c");
  CFileFlusher* f = StartHolding(gate, *a);
  f->Submit(&b->req);
  f->Submit(&c->req);
  std::thread releaser([f] { CFileFlusher::Release(f); });
  WaitForLog("Stopping the file flusher thread(s)");
  gate.OpenAll();
  releaser.join();
  EXPECT_EQ(1u, platform::LogCount("Stop: WARNING. exiting with non zero [2] queued items."));
  EXPECT_TRUE(a->Done());
  EXPECT_FALSE(b->Done());
  EXPECT_FALSE(c->Done());
  EXPECT_EQ(0, b->Flushes());
  EXPECT_EQ(0, c->Flushes());
  EXPECT_EQ(0, platform::LiveThreads());
}

TEST_F(FlusherTest, ThreadsThatCannotStart) {
  platform::FailThreadStarts(0, 1);
  EXPECT_EQ(nullptr, CFileFlusher::Get(nullptr));
  EXPECT_EQ(1u, platform::LogCount("StartThread: Cannot start the flush thread [0]", 1));
  EXPECT_EQ(1u, platform::LogCount("Unable to start thread 0."));
  EXPECT_EQ(1u, platform::LogCount("CFileFlusher::Get: Unable to start the file flusher object."));

  // The failed start left no holding: the next Get starts a flusher, and the last Release stops it.
  platform::FailThreadStarts(1, 1);  // worker 0 starts, worker 1 does not
  SetConfig("MaxFlushThreads", 2);
  SetConfig("NewThreadThreshold", 1);
  CFileFlusher* f = CFileFlusher::Get(nullptr);
  ASSERT_NE(nullptr, f);
  FlushGate gate;
  gate.Close();
  auto a = Request("a");
  auto b = Request("b");
  EXPECT_EQ(0, f->Submit(&a->req));
  gate.WaitArrived(1);
  EXPECT_EQ(0, f->Submit(&b->req));  // 1 queued asks for worker 1
  EXPECT_EQ(1u, platform::LogCount("StartThread: Cannot start the flush thread [1]", 1));
  EXPECT_EQ(1u, platform::LogCount("Submit: Unable to start thread [1]. iRet [-1]"));
  gate.OpenAll();
  EXPECT_EQ(0, f->Wait(&b->req, 0xFFFFFFFFu));  // worker 0 serves it
  CFileFlusher::Release(f);
  EXPECT_EQ(0, platform::LiveThreads());
}

// Many submitters race the workers with waits and cancels, round after round: every request ends
// flushed exactly once or withdrawn unflushed, and the last Release leaves no thread behind.
TEST_F(FlusherTest, ManySubmittersWaitsAndCancelsUnderLoad) {
  const int rounds = mfstest::EnvCount("MFS_FLUSHER_LOAD_ROUNDS", 8);
  constexpr int kSubmitters = 8;
  constexpr int kPerSubmitter = 30;
  SetConfig("MaxFlushThreads", 4);
  SetConfig("NewThreadThreshold", 3);
  platform::SetLogCaptureLimit(1000);
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    CFileFlusher* f = CFileFlusher::Get(nullptr);
    ASSERT_NE(nullptr, f);
    std::vector<std::vector<std::unique_ptr<FileRequest>>> all(kSubmitters);
    std::vector<std::vector<bool>> withdrawn(kSubmitters);
    std::atomic<int> wrong{0};
    std::vector<std::thread> submitters;
    for (int t = 0; t < kSubmitters; ++t) {
      submitters.emplace_back([&, t] {
        std::mt19937 rng(static_cast<unsigned>(round * 100 + t));
        auto& mine = all[static_cast<size_t>(t)];
        for (int i = 0; i < kPerSubmitter; ++i) {
          mine.push_back(std::make_unique<FileRequest>(dir.path(), std::to_string(round) + "_" + std::to_string(t) +
                                                                       "_" + std::to_string(i)));
        }
        for (auto& r : mine) f->Submit(&r->req);
        for (auto& r : mine) {
          switch (rng() % 4) {
            case 0: f->Wait(&r->req, 0xFFFFFFFFu); break;
            case 1: if (f->Wait(&r->req, 0) != 0) f->Cancel(&r->req); break;
            case 2: if (f->Wait(&r->req, 1) != 0) f->Cancel(&r->req); break;
            default: f->Cancel(&r->req); break;
          }
          // Settled: either flushed once with its event set, or withdrawn before any flush.
          const bool done = r->Done();
          const long long flushes = r->Flushes();
          if (done ? flushes != 1 || r->req.Result.IsFailure() : flushes != 0) ++wrong;
          withdrawn[static_cast<size_t>(t)].push_back(!done);
        }
      });
    }
    for (auto& s : submitters) s.join();
    CFileFlusher::Release(f);
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(0, platform::LiveThreads());
    // Nothing was flushed after it had been settled.
    for (size_t t = 0; t < all.size(); ++t) {
      for (size_t i = 0; i < all[t].size(); ++i) {
        EXPECT_EQ(withdrawn[t][i] ? 0 : 1, all[t][i]->Flushes());
        EXPECT_EQ(!withdrawn[t][i], all[t][i]->Done());
      }
    }
  }
}

}  // namespace
