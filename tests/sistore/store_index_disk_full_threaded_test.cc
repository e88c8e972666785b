// A disk that fills up under a chunk's container index. The index writes its header and records
// through its page cache, so a write or flush of "SFILE_CONTAINER.idx" that finds no room fails
// where the pages go out: at the next checkpoint, or at the close. The job hears of it there (-1,
// media manager error 767), the volume is marked full (reason 42001), and a later job continues
// the chunk with every object of the checkpoints completed before intact.

#include <gtest/gtest.h>

#include "store_crash_fixture.h"

namespace {

using platform::FsOp;
using sitest::WrittenObject;

class IndexDiskFullTest : public sitest::StoreCrashFixture {};

TEST_F(IndexDiskFullTest, IsReportedAtTheCheckpointOrTheCloseAndTheChunkGoesOnLater) {
  struct Case {
    const char* name;
    FsOp op;
    bool checkpointFirst;  // a checkpoint completes before the disk is full
    bool checkpoints;      // the job takes a checkpoint after its objects
  } cases[] = {
      {"the new index's writes, found at the checkpoint", FsOp::Write, false, true},
      {"the new index's writes, found at the close", FsOp::Write, false, false},
      {"the new index's flush, found at the checkpoint", FsOp::Flush, false, true},
      {"the new index's flush, found at the close", FsOp::Flush, false, false},
      {"the index's writes after a checkpoint", FsOp::Write, true, true},
      {"the index's flush after a checkpoint, found at the close", FsOp::Flush, true, false},
  };
  long long chunkId = 30;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ++chunkId;
    platform::Faults().Reset();
    {
      std::lock_guard<std::mutex> lock(platform::MediaManagerMutex());
      platform::MediaManager().volumes[kVolId].fullReason = 0;
    }
    std::mt19937_64 rng(static_cast<uint64_t>(chunkId));
    int status = 0;
    auto store = StartJob(chunkId, false, status);
    ASSERT_NE(nullptr, store) << "status " << status;
    uint64_t key = 0;
    std::vector<WrittenObject> committed;
    auto write = [&](std::vector<WrittenObject>* into) {
      for (int i = 0; i < 5; ++i) {
        WrittenObject w;
        std::string step;
        ASSERT_EQ(0, sitest::WriteObject(*store, Object(++key, rng), w, &step)) << step;
        if (into != nullptr) into->push_back(w);
      }
    };
    if (c.checkpointFirst) {
      write(&committed);
      ASSERT_EQ(0, sitest::Checkpoint(*store));
    }
    platform::Faults().Add({c.op, "SFILE_CONTAINER.idx", 1, -1, ENOSPC});
    write(nullptr);
    if (HasFatalFailure()) return;
    if (c.checkpoints) {
      EXPECT_EQ(-1, store->FlushDataFile());
      EXPECT_EQ(767, store->MediaFSGetLastError());
    }
    EXPECT_EQ(-1, store->Close());
    EXPECT_EQ(767, store->MediaFSGetLastError());
    EXPECT_TRUE(store->m_bDiskFull);
    EXPECT_EQ(kVolumeFullReasonFull, platform::MediaManager().volumes[kVolId].fullReason);
    store.reset();

    platform::Faults().Reset();  // room again
    AppendAndVerify(chunkId, committed, static_cast<uint64_t>(chunkId) * 7);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
