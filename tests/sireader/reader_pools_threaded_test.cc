// The shared reader pools through the managers: made on first use with their minimums, sized by
// the readers counted, the thread limits and the configuration's threads per reader.

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "MediaFileSystem/AsyncIoManager2_NonOvl.h"
#include "MediaFileSystem/AsyncIoManager2_Ovl.h"
#include "aio_test_util.h"
#include "platform/platform.h"

namespace {

enum class Kind { Ordinary, Gluster, Overlapped };

std::atomic<OzThreadPool*>& PoolOf(Kind kind) {
  switch (kind) {
    case Kind::Ordinary: return CSimulatedIoNonOvlMgr::s_pNonOvlRdrRope;
    case Kind::Gluster: return CSimulatedIoNonOvlMgr::s_pNonOvlGlusterRdrRope;
    case Kind::Overlapped: break;
  }
  return CSimulatedIoOvlMgr::s_pOvlRdrRope;
}

const char* ConfigKeyOf(Kind kind) {
  switch (kind) {
    case Kind::Ordinary: return "SILookAheadNonOvlIoThreadsPerRdr";
    case Kind::Gluster: return "SILookAheadNonOvlIoThreadsPerGlusterRdr";
    case Kind::Overlapped: break;
  }
  return "SILookAheadOvlIoThreadsPerRdr";
}

// A reader of the kind: a manager initialised with the limit and counted.
class Reader {
 public:
  Reader(Kind kind, unsigned long limit, _OzLogDef* log) : m_kind(kind) {
    if (kind == Kind::Overlapped) {
      m_ovl.InitializeMgr(nullptr, log, 4096, limit);
      m_ovl.IncrementReaderCount(false);
    } else {
      m_nonOvl.InitializeMgr(nullptr, log, 4096, kind == Kind::Ordinary ? limit : 0,
                             kind == Kind::Gluster ? limit : 0);
      m_nonOvl.IncrementReaderCount(kind == Kind::Gluster);
    }
  }
  ~Reader() {
    m_ovl.DecrementReaderCount();
    m_nonOvl.DecrementReaderCount();
  }

 private:
  Kind m_kind;
  CSimulatedIoNonOvlMgr m_nonOvl;
  CSimulatedIoOvlMgr m_ovl;
};

TEST(ReaderPoolsTest, MadeOnFirstUseWithTheirMinimums) {
  struct Case {
    Kind kind;
    const char* message;
    int minimum;
  };
  const Case cases[] = {
      {Kind::Ordinary, "InitAioRdrRope: Initialized 'LA Non-Ovl' thread pool with count: Initial=1, Max=1, Min=1", 1},
      {Kind::Gluster, "InitAioRdrRope: Initialized 'LA Glus Non-Ovl' thread pool with count: Initial=1, Max=4, Min=4", 4},
      {Kind::Overlapped, "InitAioRdrRope: Initialized 'LA Ovl' thread pool with count: Initial=1, Max=4, Min=4", 4},
  };
  aio_test::TestLog log;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    aio_test::ScopedNoReaderPool fresh(PoolOf(c.kind));
    {
      // No limit passed yet: the pool stays at its minimum.
      Reader first(c.kind, 0, &log.handle);
      OzThreadPool* pool = PoolOf(c.kind).load();
      ASSERT_NE(nullptr, pool);
      EXPECT_EQ(1u, platform::LogCount(c.message));
      EXPECT_EQ(c.minimum, pool->getMinCount());
      EXPECT_EQ(c.minimum, pool->getMaxCount());
      Reader second(c.kind, 0, &log.handle);
      EXPECT_EQ(pool, PoolOf(c.kind).load());
      EXPECT_EQ(1u, platform::LogCount(c.message)) << "made once";
      EXPECT_EQ(c.minimum, pool->getMaxCount());
    }
  }
}

TEST(ReaderPoolsTest, TheFirstReaderFindsNoPoolAndTheNextTriesAgain) {
  aio_test::ScopedNoReaderPool fresh(CSimulatedIoOvlMgr::s_pOvlRdrRope);
  aio_test::TestLog log;
  platform::FailThreadPoolInits(1);
  {
    Reader first(Kind::Overlapped, 64, &log.handle);
    EXPECT_EQ(nullptr, CSimulatedIoOvlMgr::s_pOvlRdrRope.load());
    EXPECT_FALSE(platform::LogContains("IncrOvlThds")) << "nothing to resize";
    Reader second(Kind::Overlapped, 64, &log.handle);
    ASSERT_NE(nullptr, CSimulatedIoOvlMgr::s_pOvlRdrRope.load());
    EXPECT_EQ(64, CSimulatedIoOvlMgr::s_pOvlRdrRope.load()->getMaxCount()) << "2 readers x 32 threads";
  }
}

// Readers, threads per reader from the configuration (absent, 0, negative, a value) and limits,
// against max(min(readers x threads per reader, limit), minimum).
TEST(ReaderPoolsTest, SizedByReadersThreadsPerReaderAndLimit) {
  constexpr long long kAbsent = LLONG_MIN;
  struct Case {
    Kind kind;
    long long threadsPerReader;
    unsigned long limit;
    int readers;
    int expected;
    const char* message;  // after the last reader was counted
  };
  const Case cases[] = {
      {Kind::Ordinary, kAbsent, 8, 3, 3,
       "IncrNonOvlThds: Changed Simulated Non-Ovl pool thread count. Max=3, Min=1, Limit=8, Rdrs- G:0, O:3"},
      {Kind::Ordinary, 0, 8, 3, 1, nullptr},
      {Kind::Ordinary, -1, 8, 3, 8, nullptr},
      {Kind::Ordinary, 2, 100, 3, 6, nullptr},
      {Kind::Ordinary, 2, 0, 3, 1, nullptr},  // no limit passed: the configuration is not read
      {Kind::Gluster, kAbsent, 100, 2, 8,
       "IncrNonOvlThds: Changed Simulated Non-Ovl Glus pool thread count. Max=8, Min=4, Limit=100, Rdrs- G:2, O:0"},
      {Kind::Gluster, -5, 20, 1, 20, nullptr},
      {Kind::Overlapped, kAbsent, 64, 1, 32, nullptr},
      {Kind::Overlapped, kAbsent, 64, 3, 64,
       "IncrOvlThds: Changed Simulated Ovl pool thread count. Max=64, Min=4, Limit=64, Rdrs [3]"},
      {Kind::Overlapped, 0, 64, 3, 4, nullptr},
      {Kind::Overlapped, 1431655766, 100, 3, 100, nullptr},  // 3 x that is 2^32 + 2
  };
  aio_test::TestLog log;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(ConfigKeyOf(c.kind)) + " " + std::to_string(c.threadsPerReader) + ", limit " +
                 std::to_string(c.limit) + ", readers " + std::to_string(c.readers));
    platform::ResetAll();
    if (c.threadsPerReader != kAbsent) platform::Config().SetNumber("ZovadAdeve", ConfigKeyOf(c.kind), c.threadsPerReader);
    {
      std::vector<std::unique_ptr<Reader>> readers;
      for (int i = 0; i < c.readers; ++i) readers.push_back(std::make_unique<Reader>(c.kind, c.limit, &log.handle));
      OzThreadPool* pool = PoolOf(c.kind).load();
      ASSERT_NE(nullptr, pool);
      EXPECT_EQ(c.expected, pool->getMaxCount());
      if (c.message != nullptr) {
        EXPECT_TRUE(platform::LogContains(c.message));
      }
    }
    EXPECT_EQ(PoolOf(c.kind).load()->getMinCount(), PoolOf(c.kind).load()->getMaxCount()) << "no readers left";
  }
}

TEST(ReaderPoolsTest, EachManagerCountsOncePerKind) {
  aio_test::TestLog log;
  CSimulatedIoNonOvlMgr nonOvl;
  ASSERT_EQ(0, nonOvl.InitializeMgr(nullptr, &log.handle, 4096, 8, 8));
  EXPECT_EQ(3, nonOvl.GetIoMgrType());
  nonOvl.DecrementReaderCount();  // never counted: nothing happens
  EXPECT_EQ(0, CSimulatedIoNonOvlMgr::s_nTotalRdrs.load());
  nonOvl.IncrementReaderCount(false);
  nonOvl.IncrementReaderCount(false);
  EXPECT_EQ(1, CSimulatedIoNonOvlMgr::s_nTotalRdrs.load());
  EXPECT_EQ(0, CSimulatedIoNonOvlMgr::s_nTotalGlusterRdrs.load());
  nonOvl.IncrementReaderCount(true);
  EXPECT_EQ(1, CSimulatedIoNonOvlMgr::s_nTotalGlusterRdrs.load());
  nonOvl.DecrementReaderCount();  // uncounts both kinds
  EXPECT_EQ(0, CSimulatedIoNonOvlMgr::s_nTotalRdrs.load());
  EXPECT_EQ(0, CSimulatedIoNonOvlMgr::s_nTotalGlusterRdrs.load());
  nonOvl.DecrementReaderCount();
  EXPECT_EQ(0, CSimulatedIoNonOvlMgr::s_nTotalRdrs.load());

  CSimulatedIoOvlMgr ovl;
  ASSERT_EQ(0, ovl.InitializeMgr(nullptr, &log.handle, 4096, 8));
  ovl.IncrementReaderCount(true);
  ovl.IncrementReaderCount(false);
  EXPECT_EQ(1, CSimulatedIoOvlMgr::s_nTotalRdrs.load());
  ovl.DecrementReaderCount();
  ovl.DecrementReaderCount();
  EXPECT_EQ(0, CSimulatedIoOvlMgr::s_nTotalRdrs.load());
}

// The configuration is read when a manager brings a new limit, from the built-in value; the
// pools are resized only when a readers count changes.
TEST(ReaderPoolsTest, ThreadsPerReaderAreReadWhenTheLimitChanges) {
  aio_test::TestLog log;
  const char* message = "InitIoMgrNonOvl: Non-Ovl threads per reader is set to";
  platform::Config().SetNumber("ZovadAdeve", "SILookAheadNonOvlIoThreadsPerRdr", 3);
  CSimulatedIoNonOvlMgr a, b, c;
  ASSERT_EQ(0, a.InitializeMgr(nullptr, &log.handle, 4096, 16, 0));
  EXPECT_TRUE(platform::LogContains("InitIoMgrNonOvl: Non-Ovl threads per reader is set to 3"));
  EXPECT_FALSE(platform::LogContains("per Gluster reader")) << "a Gluster limit of 0 reads nothing";
  ASSERT_EQ(0, b.InitializeMgr(nullptr, &log.handle, 4096, 16, 0));
  EXPECT_EQ(1u, platform::LogCount(message)) << "the same limit reads the configuration once";
  a.IncrementReaderCount(false);
  OzThreadPool* pool = CSimulatedIoNonOvlMgr::s_pNonOvlRdrRope.load();
  ASSERT_NE(nullptr, pool);
  EXPECT_EQ(3, pool->getMaxCount());

  platform::Config().Erase("ZovadAdeve", "SILookAheadNonOvlIoThreadsPerRdr");
  ASSERT_EQ(0, c.InitializeMgr(nullptr, &log.handle, 4096, 2, 0));
  EXPECT_TRUE(platform::LogContains("InitIoMgrNonOvl: Non-Ovl threads per reader is set to 1"));
  EXPECT_EQ(1, CSimulatedIoNonOvlMgr::s_nThreadsPerRdr.load());
  EXPECT_EQ(2ul, CSimulatedIoNonOvlMgr::s_ulNonOvlIoThrLimit.load());
  EXPECT_EQ(3, pool->getMaxCount()) << "initialisation resizes no pool";
  b.IncrementReaderCount(false);
  EXPECT_EQ(2, pool->getMaxCount());
  a.DecrementReaderCount();
  b.DecrementReaderCount();
  EXPECT_EQ(1, pool->getMaxCount());

  platform::Config().SetNumber("ZovadAdeve", "SILookAheadOvlIoThreadsPerRdr", 5);
  CSimulatedIoOvlMgr ovl;
  ASSERT_EQ(0, ovl.InitializeMgr(nullptr, &log.handle, 4096, 40));
  EXPECT_TRUE(platform::LogContains("InitIoMgrOvl: Ovl threads per reader is set to 5"));
  platform::Config().SetNumber("ZovadAdeve", "SILookAheadNonOvlIoThreadsPerGlusterRdr", 6);
  ASSERT_EQ(0, c.InitializeMgr(nullptr, &log.handle, 4096, 2, 7));  // initialised: only the limits
  EXPECT_TRUE(platform::LogContains("InitIoMgrNonOvl: Non-Ovl threads per Gluster reader is set to 6"));
}

}  // namespace
