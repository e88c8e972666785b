// A pass killed just after one of the chunk's removals (the container index's, then those of the
// chunk removal), before the delete log has heard of it, and then run again: every removal still
// reaches the delete log (twice is fine, never not at all).

#include <signal.h>

#include <functional>
#include <regex>

#include "driver_fixture.h"
#include "index/index_test_util.h"

namespace {

using prunetest::kMP1;

class ChunkRemovalKillTest : public prunetest::DriverTest {
 public:
  static constexpr unsigned long long kChunk = 40;

  int RunPass() {
    auto p = MakeDriver();
    return p->PruneZeroRefRecords(&db, nullptr, nullptr, 3600);
  }

  std::vector<std::string> LoggedRecords() const {
    return DeleteRecordsOf(craft::ReadFile(platform::DebugLogPath(kDeleteLogId)));
  }
};

TEST_F(ChunkRemovalKillTest, ARemovalKilledBeforeItsRecordStillReachesTheDeleteLog) {
  const std::string chunk = ChunkDirOf(mountPath, kVolId, kChunk);
  const std::string metadata = path_append(chunk, SingleInstancer_FS::GetChunkMetadataName(kChunk));
  const std::string trailer = TrailerOf(mountPath, kVolId, kChunk);
  struct Case {
    const char* what;
    std::string line;    // the debug line that tells of the removal, logged just after it
    std::string record;  // a pattern the removal's record matches
  };
  const std::vector<Case> cases = {
      {"container index", "Removed index file [" + path_append(chunk, "SFILE_CONTAINER.idx") + "]",
       "D 5 17 40 SIDX"},
      {"metadata index", "Removed [" + metadata + ".idx]", "D 5 17 40 CIDX"},
      {"metadata file", "Removed [" + metadata + "]", "D 5 17 40 CMTD"},
      // The folder's record carries the count of what the listing held: the metadata file and its
      // index (the chunk's one container is number 0).
      {"chunk folder", "Removed [" + chunk + "] [", "D 5 17 40 2"},
      {"chunk map trailer", "Removed [" + trailer + "] [", "D 5 17 40 ([0-9]+ CTRL|CHUNKMAP_TRAILER_40)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetPlatform();
    SetUpConfig();
    std::filesystem::remove_all(VolumeDir(mountPath, kVolId));
    CraftChunk(mountPath, kVolId, kChunk, 3);
    ASSERT_TRUE(platform::sidb::WriteRecords(sidbPath, {Rec(kMP1, kVolId, kChunk, 1), Rec(kMP1, kVolId, kChunk, 2),
                                                        Rec(kMP1, kVolId, kChunk, 3)}));

    const pid_t child = idxtest::Fork([&] {
      platform::SetLogLineHook([&](const platform::LogLine& line) {
        if (line.text.find(c.line) != std::string::npos) raise(SIGKILL);
      });
      return RunPass();
    });
    ASSERT_EQ(128 + SIGKILL, idxtest::Wait(child)) << "the pass never logged " << c.line;

    ASSERT_EQ(0, RunPass());
    EXPECT_FALSE(Exists(chunk));
    EXPECT_FALSE(Exists(trailer));
    const std::vector<std::string> records = LoggedRecords();
    const std::regex pattern(c.record);
    EXPECT_TRUE(std::any_of(records.begin(), records.end(),
                            [&](const std::string& r) { return std::regex_match(r, pattern); }))
        << "no record matches " << c.record << " in " << ::testing::PrintToString(records);
  }
}

}  // namespace
