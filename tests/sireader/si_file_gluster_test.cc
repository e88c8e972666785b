// Retries on scale-out gluster volumes ("/lg/glus..."): opens 3 times on EBADF, reads 3 times on
// EIO or EINVAL, 100 ms apart, and at once on other errors; elsewhere one attempt. The gluster
// cases run in a child whose root folder is the test's folder, so the chunk's path really begins
// with "/lg/glus" for every call that looks at it.

#include <cerrno>
#include <cstdio>

#include "run_chrooted.h"
#include "si_file_fixture.h"

namespace {

using platform::FaultRule;
using platform::Faults;
using platform::FsOp;

constexpr unsigned long long kChunk = 40;
constexpr char kGlusterMountPath[] = "/lg/glusvol/OZ_MAGNETIC";

struct RetryCase {
  const char* name;
  FsOp op;       // Open: OpenDataFile_4 fails or not; Read: ReadData of the object
  int err;
  int times;     // calls that fail (-1: all)
  int nth;       // the first failing call
  bool ok;       // the operation succeeds in the end
  long long calls;  // calls of `op` on the container
  long long sleptMs;
};

class SIFileGlusterTest : public SIFileTest {
 public:
  // The chunk under `mountPath` (a folder of the test's one), container 0 with one object.
  void WriteChunk(const std::string& mountPath) {
    craft::Chunk chunk(path_append(mountPath, SingleInstancer_FS::GetVolumeDirName(kVolId)), kChunk, kVolumeBlock);
    object = chunk.Add(0, 1000000, 10, 3).bytes;
    chunk.Write();
  }

  // Runs the case on a reader of the mount path; 0 when everything held, else the number of the
  // first check that failed.
  int Run(const RetryCase& c, const std::string& mountPath) {
    CFSInitParams params = FsParams();
    params.m_Host.m_Path = mountPath;
    auto reader = std::make_unique<TestSIFile>(&log);
    if (reader->Init(&params, kChunk, kVolId, false) != 0) return 1;
    const std::string container = path_append(reader->m_strChunkDir, "SFILE_CONTAINER_000");
    if (c.op == FsOp::Read && reader->OpenDataFileAndSeek(0, 0, 128, 0) != 0) return 2;
    const long long before = Faults().Calls(c.op, container);
    FaultRule rule;
    rule.op = c.op;
    rule.pathContains = container;
    rule.err = c.err;
    rule.nth = c.nth;
    rule.times = c.times;
    Faults().Add(rule);
    if (c.op == FsOp::Open) {
      if ((reader->OpenDataFile_4(0, 0, 0, false) == 0) != c.ok) return 3;
    } else {
      // A read of one call, or (when the second call fails) of more than a block: the buffered
      // reader fills its block, then reads the rest directly, so that failure comes after bytes
      // were delivered.
      std::string buffer(c.nth > 1 ? 700000 : 1000, '\0');
      const MM_uint got = reader->ReadData(buffer.data(), static_cast<unsigned int>(buffer.size()));
      if ((got == buffer.size()) != c.ok) return 4;
      if (c.ok && buffer != object.substr(0, buffer.size())) return 5;
    }
    const long long calls = Faults().Calls(c.op, container) - before;
    if (calls != c.calls || platform::SleptMs() != c.sleptMs) {
      std::fprintf(stderr, "%s: %lld calls (%lld expected), %lld ms slept (%lld expected)\n", c.name, calls, c.calls,
                   platform::SleptMs(), c.sleptMs);
      return calls != c.calls ? 6 : 7;
    }
    return 0;
  }

  std::string object;
};

const RetryCase kGlusterCases[] = {
    {"open EBADF, then the repair and one more open", FsOp::Open, EBADF, -1, 1, false, 4, 200},
    {"open EBADF twice", FsOp::Open, EBADF, 2, 1, true, 3, 200},
    {"open EIO: no retry", FsOp::Open, EIO, -1, 1, false, 2, 0},
    {"open EACCES: the reopen with read access", FsOp::Open, EACCES, 1, 1, true, 2, 0},
    {"read EIO twice", FsOp::Read, EIO, 2, 1, true, 3, 200},
    {"read EINVAL always", FsOp::Read, EINVAL, -1, 1, false, 3, 200},
    {"read EACCES: no retry", FsOp::Read, EACCES, -1, 1, false, 1, 0},
    {"read EIO after bytes were delivered", FsOp::Read, EIO, 1, 2, true, 4, 100},
};

TEST_F(SIFileGlusterTest, GlusterPathsRetryOpensAndReads) {
  WriteChunk(path_append(dir.path(), "lg/glusvol/OZ_MAGNETIC"));
  for (const RetryCase& c : kGlusterCases) {
    SCOPED_TRACE(c.name);
    const int status = mfstest::RunChrooted(dir.path(), [&] {
      platform::ResetAll();
      return Run(c, kGlusterMountPath);
    });
    if (status == mfstest::kNoChroot) GTEST_SKIP() << "this machine lets no process change its root folder";
    EXPECT_EQ(0, status);
  }
}

TEST_F(SIFileGlusterTest, OtherPathsTryOnce) {
  WriteChunk(mountPath);
  const RetryCase cases[] = {
      {"open EBADF, then the repair and one more open", FsOp::Open, EBADF, -1, 1, false, 2, 0},
      {"open EBADF once: the open after the repair", FsOp::Open, EBADF, 1, 1, true, 2, 0},
      {"read EIO", FsOp::Read, EIO, 1, 1, false, 1, 0},
  };
  for (const RetryCase& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    EXPECT_EQ(0, Run(c, mountPath));
  }
}

}  // namespace
