// An object that is created or opened again without a Close holds one share of its process's
// container index lock, whatever it reopens: another process gets the file as soon as the object
// is closed, destroyed, or fails its reopening.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "index/IndexFileLockTable.h"
#include "index_test_util.h"

namespace {

using namespace idxtest;

enum class Call { kCreate, kOpenReadWrite, kOpenReadOnly };

const char* CallName(Call c) {
  switch (c) {
    case Call::kCreate:
      return "Create";
    case Call::kOpenReadWrite:
      return "OpenRW";
    case Call::kOpenReadOnly:
      return "OpenRO";
  }
  return "?";
}

class IndexLockReopen : public ::testing::Test {
 protected:
  void SetUp() override { MakeContainerIndex(path_, params_, {1, 2}); }

  CXoError Run(SFileIndex& idx, Call call) {
    auto opt = Opts<SFileIndex>(false, true);
    switch (call) {
      case Call::kCreate:
        return idx.Create(path_, opt);
      case Call::kOpenReadWrite:
        return idx.Open(path_, 2, opt);
      case Call::kOpenReadOnly:
        return idx.Open(path_, 1, opt);
    }
    return CXoError::Success();
  }

  // Whether a forked process can take a classic lock of `type` on the file's first KiB.
  bool ChildCanLock(short type) {
    return Wait(Fork([&] {
             const int fd = ::open(path_.c_str(), O_RDWR);
             struct flock fl {};
             fl.l_type = type;
             fl.l_whence = SEEK_SET;
             fl.l_len = 1024;
             return fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0 ? 0 : 1;
           })) == 0;
  }

  // What another process sees: "free", a reader's "shared" lock, or a writer's "exclusive" one.
  std::string Probe() {
    if (ChildCanLock(F_WRLCK)) return "free";
    return ChildCanLock(F_RDLCK) ? "shared" : "exclusive";
  }

  void ExpectNoShares() {
    const CIndexFileLockTable::Counts counts = CIndexFileLockTable::CountsOf(path_);
    EXPECT_EQ(counts.readers, 0);
    EXPECT_EQ(counts.writers, 0);
  }

  TempDir dir_;
  std::string path_ = dir_.File("SFILE_CONTAINER.idx");
  CFSInitParams params_ = Params();
};

// Each sequence opens one object twice without a Close between; the second call succeeds, fails
// before it has the lock (the file does not open) or fails after taking it (Create cannot empty
// the file, Open cannot read its size). The object is then closed or destroyed without a Close.
TEST_F(IndexLockReopen, AnObjectHoldsOneShareWhateverItReopens) {
  struct Sequence {
    Call first;
    Call second;
  };
  const Sequence sequences[] = {
      {Call::kCreate, Call::kCreate},
      {Call::kCreate, Call::kOpenReadWrite},
      {Call::kOpenReadWrite, Call::kOpenReadWrite},
      {Call::kOpenReadOnly, Call::kOpenReadOnly},
      {Call::kOpenReadOnly, Call::kOpenReadWrite},
      {Call::kOpenReadWrite, Call::kCreate},
  };
  enum class Failure { kNone, kBeforeLock, kAfterLock };
  for (const Sequence& s : sequences) {
    for (Failure failure : {Failure::kNone, Failure::kBeforeLock, Failure::kAfterLock}) {
      for (bool destroy : {false, true}) {
        SCOPED_TRACE(std::string(CallName(s.first)) + " then " + CallName(s.second) + ", failure " +
                     std::to_string(static_cast<int>(failure)) + (destroy ? ", destroyed" : ", closed"));
        platform::ResetAll();
        MakeContainerIndex(path_, params_, {1, 2});
        auto idx = std::make_unique<SFileIndex>(&params_, nullptr);
        ASSERT_TRUE(Run(*idx, s.first).IsSuccess());

        if (failure != Failure::kNone) {
          platform::FaultRule rule;
          rule.pathContains = path_;
          rule.op = failure == Failure::kBeforeLock   ? platform::FsOp::Open
                    : s.second == Call::kCreate       ? platform::FsOp::Truncate
                                                      : platform::FsOp::Size;
          platform::Faults().Add(rule);
        }
        CXoError e = Run(*idx, s.second);
        if (failure == Failure::kNone) {
          ASSERT_TRUE(e.IsSuccess()) << e.AsString();
          const bool reader = s.second == Call::kOpenReadOnly;
          EXPECT_EQ(Probe(), reader ? "shared" : "exclusive");
          const CIndexFileLockTable::Counts counts = CIndexFileLockTable::CountsOf(path_);
          EXPECT_EQ(counts.readers + counts.writers, 1);
          EXPECT_EQ(counts.writers, reader ? 0 : 1);
        } else {
          ASSERT_TRUE(e.IsFailure());
          EXPECT_EQ(Probe(), "free") << "a failed reopening leaves the object holding nothing";
          ExpectNoShares();
        }

        if (destroy) {
          idx.reset();
        } else {
          EXPECT_TRUE(idx->Close().IsSuccess());
        }
        EXPECT_EQ(Probe(), "free");
        ExpectNoShares();
        idx.reset();
        EXPECT_EQ(Probe(), "free");
      }
    }
  }
}

// Another object of the process keeps the file from other processes until its own Close,
// whichever of the two closes first; the reopened one moves from reader to writer and back.
TEST_F(IndexLockReopen, TheLastCloseOfTwoObjectsFreesTheFile) {
  for (bool reopenedFirst : {true, false}) {
    SCOPED_TRACE(reopenedFirst ? "the reopened object closes first" : "the reopened object closes last");
    SFileIndex writer(&params_, nullptr);
    SFileIndex reopened(&params_, nullptr);
    ASSERT_TRUE(Run(writer, Call::kOpenReadWrite).IsSuccess());
    ASSERT_TRUE(Run(reopened, Call::kOpenReadOnly).IsSuccess());
    ASSERT_TRUE(Run(reopened, Call::kOpenReadWrite).IsSuccess());
    ASSERT_TRUE(Run(reopened, Call::kOpenReadOnly).IsSuccess());
    const CIndexFileLockTable::Counts counts = CIndexFileLockTable::CountsOf(path_);
    EXPECT_EQ(counts.readers, 1);
    EXPECT_EQ(counts.writers, 1);
    EXPECT_EQ(Probe(), "exclusive");

    ASSERT_TRUE((reopenedFirst ? reopened : writer).Close().IsSuccess());
    EXPECT_EQ(Probe(), reopenedFirst ? "exclusive" : "shared");
    ASSERT_TRUE((reopenedFirst ? writer : reopened).Close().IsSuccess());
    EXPECT_EQ(Probe(), "free");
    ExpectNoShares();
  }
}

// The locks of data server files and of the distributed storage exclude the other objects of the
// process as well: after a reopening that could not open its file, another object takes them.
TEST_F(IndexLockReopen, AFailedReopeningGivesBackEveryKindOfLock) {
  struct Kind {
    const char* name;
    int type;
    int subType;
    bool skarvo;
  };
  const Kind kinds[] = {{"DataServer", kFSTypeDataServerIP, 4, false}, {"Distributed", kFSTypeDisk, -1, true}};
  for (const Kind& k : kinds) {
    for (Call second : {Call::kCreate, Call::kOpenReadWrite}) {
      SCOPED_TRACE(std::string(k.name) + ", then " + CallName(second));
      platform::ResetAll();
      if (k.skarvo) platform::RemoteStorage().skarvoPrefixes.push_back(dir_.path());
      const CFSInitParams params = Params(k.type, k.subType);
      SFileIndex reopened(&params, nullptr);
      auto opt = Opts<SFileIndex>(false, true);
      ASSERT_TRUE(reopened.Open(path_, 2, opt).IsSuccess());
      SFileIndex other(&params, nullptr);
      ASSERT_TRUE(other.Open(path_, 1, opt).IsFailure()) << "the lock excludes the process's other objects";

      platform::FaultRule rule;
      rule.op = platform::FsOp::Open;
      rule.pathContains = path_;
      platform::Faults().Add(rule);
      ASSERT_TRUE((second == Call::kCreate ? reopened.Create(path_, opt) : reopened.Open(path_, 2, opt)).IsFailure());
      CXoError e = other.Open(path_, 2, opt);
      EXPECT_TRUE(e.IsSuccess()) << e.AsString();
      EXPECT_TRUE(other.Close().IsSuccess());
      EXPECT_TRUE(reopened.Close().IsSuccess());
    }
  }
}

}  // namespace
