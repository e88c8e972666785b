// Backup and restore end to end on the virtual tape with the recording media manager: jobs that
// append chunks and their chunk map trailers (validated cached positions and stale ones), and
// restores of every chunk by its file marker in random order.

#include <algorithm>
#include <map>

#include "tape_fixture.h"

namespace {

using namespace tapetest;
using platform::MediaManager;

struct Written {
  long long chunkId;
  long long fileMarker;
  std::string data;
};

class TapeRoundTrip : public TapeTest {
 protected:
  // One backup job appending `chunks` chunks; the chunks written go to `all`.
  void BackupJob(int chunks, uint64_t seed, std::vector<Written>& all, int trailerMode = 2) {
    JobSetup s = Job();
    auto tape = Start(s);
    std::mt19937_64 rng(seed);
    for (int i = 0; i < chunks; ++i) {
      const long long chunkId = 1000 + static_cast<long long>(all.size());
      const std::string data = Pattern(1 + rng() % (3 * block + 1000), seed * 131 + all.size());
      const long long marker = BackupChunk(*tape, chunkId, data, trailerMode);
      ASSERT_NE(0, marker) << tape->GetErrorString() << " / " << tape->m_strLastErrorMsg;
      all.push_back({chunkId, marker, data});
    }
  }

  void RestoreAll(TapeUnderTest& tape, std::vector<Written> order) {
    for (const Written& w : order) {
      SCOPED_TRACE("file marker " + std::to_string(w.fileMarker));
      const std::string got = Restore(tape, w.fileMarker, w.data.size());
      ASSERT_TRUE(got == w.data) << got.substr(0, 120);
    }
  }
};

TEST_F(TapeRoundTrip, ChunksRestoreByFileMarkerInAnyOrder) {
  std::vector<Written> all;
  BackupJob(4, 1, all);
  BackupJob(3, 2, all);  // appends after a cached position that its trailer validates

  // The tape: label, then chunk and trailer files, each closed by its file mark.
  const std::vector<platform::TapeFile> files = Library().Files(kDevice);
  ASSERT_EQ(1u + 2 * all.size(), files.size());
  for (const Written& w : all) {
    ASSERT_TRUE(files[w.fileMarker - 1].closed);
    EXPECT_EQ(0u, files[w.fileMarker - 1].Bytes().compare(0, w.data.size(), w.data));
  }
  EXPECT_EQ(static_cast<long long>(files.size()), MediaManager().volumes[kVolId].numFiles);
  EXPECT_TRUE(platform::LogContains("DataMover will use cached filemarker since it is validated "));

  JobSetup s = Job(0);
  auto tape = Start(s);
  std::vector<Written> order = all;
  std::mt19937_64 rng(99);
  std::shuffle(order.begin(), order.end(), rng);
  RestoreAll(*tape, order);
  // Backward and forward spacing both happened.
  EXPECT_GT(Library().Count("spaceFileMarksBackward"), 0u);
  EXPECT_GT(Library().Count("spaceFileMarksForward"), 0u);
}

}  // namespace
