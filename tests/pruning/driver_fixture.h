// The shared set-up of the driver's tests: the chunk pruner's fixture (the store's mount path,
// id 5, with volume 17) and a second mount path (id 6), both known to the configuration, the
// dedup database's records in a file of the test's folder, and a driver initialised as the
// pruning process does.
//
//   TEST_F(DriverTest, Something) {
//     craft::Chunk c = CraftChunk(mountPath, 17, 40, 3);   // three objects in container 0
//     AddRecords({Rec(5, 17, 40, 1)});                     // object 1 has no reference left
//     auto pruner = MakeDriver();
//     EXPECT_EQ(0, pruner->PruneZeroRefRecords(&db, nullptr, nullptr, 60));
//   }
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "MediaFileSystem/SingleInstancerPruner.h"
#include "platform/platform.h"
#include "pruner_fixture.h"
#include "sistore/chunk_craft.h"

namespace prunetest {

inline constexpr unsigned int kEngine = 7;
inline constexpr unsigned int kPhase = 3;
inline constexpr unsigned int kMP1 = 5;  // the store's mount path
inline constexpr unsigned int kMP2 = 6;
inline constexpr int kInstallation = 2;  // the second argument of the mount path look-up

// What the host's callback received.
struct VolumeCalls {
  std::vector<std::pair<int, int>> calls;  // (volume id, code)
  static bool OnModified(void* context, int volId, int code, EvDebug*) {
    static_cast<VolumeCalls*>(context)->calls.emplace_back(volId, code);
    return true;
  }
};

// The delete log's records (the text after the line prefix), from the captured lines.
inline std::vector<std::string> DeleteLogRecords() {
  char source[16];
  snprintf(source, sizeof source, "%x", kDeleteLogId);
  std::string text;
  for (const platform::LogLine& line : platform::Logs()) {
    if (line.source == source) text += line.text + "\n";
  }
  return PrunerTest::DeleteRecordsOf(text);
}

// Blocks allocated to every file below `folder` (st_blocks, 512 bytes each).
inline unsigned long long AllocatedBytes(const std::string& folder) {
  unsigned long long total = 0;
  std::error_code ec;
  if (!std::filesystem::exists(folder, ec)) return 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder, ec)) {
    struct stat st {};
    if (e.is_regular_file() && ::stat(e.path().c_str(), &st) == 0) total += static_cast<unsigned long long>(st.st_blocks) * 512;
  }
  return total;
}

class DriverTest : public PrunerTest {
 public:
  DriverTest()
      : mountPath2(path_append(path_append(dir.path(), "mp6"), "OZ_MAGNETIC")),
        sidbPath(path_append(dir.path(), "sidb.rec")) {
    std::filesystem::create_directories(mountPath2);
    SetUpConfig();
  }

  // The two mount paths and the database's file, as the constructor sets them (again after a
  // reset of the platform).
  void SetUpConfig() {
    platform::MountPathRecord r;
    r.mountPath = mountPath;
    r.accessFlags = 2;
    platform::Config().mountPaths[{kMP1, kInstallation}] = r;
    r.mountPath = mountPath2;
    platform::Config().mountPaths[{kMP2, kInstallation}] = r;
    platform::Sidb().path = sidbPath;
  }

  std::unique_ptr<CSingleInstancerPruner> MakeDriver(unsigned int deleteMetadata = 0, bool keepFolders = false) {
    auto p = std::make_unique<CSingleInstancerPruner>(nullptr);
    EXPECT_EQ(0, p->Initialize("client1", kEngine, kPhase, deleteMetadata, keepFolders));
    return p;
  }

  static std::string VolumeDir(const std::string& mp, unsigned int vol) {
    return path_append(mp, SingleInstancer_FS::GetVolumeDirName(vol));
  }
  static std::string ChunkDirOf(const std::string& mp, unsigned int vol, unsigned long long chunk) {
    return path_append(VolumeDir(mp, vol), SingleInstancer_FS::GetChunkDirName(chunk));
  }
  static std::string TrailerOf(const std::string& mp, unsigned int vol, unsigned long long chunk) {
    return path_append(VolumeDir(mp, vol), SingleInstancer_FS::GetChunkMapTrailerName(chunk));
  }

  // A crafted chunk of `objects` objects spread over `containers` containers, with its trailer.
  static craft::Chunk CraftChunk(const std::string& mp, unsigned int vol, unsigned long long chunk, int objects,
                                 uint32_t containers = 1, bool containerIndex = true) {
    craft::Chunk c(VolumeDir(mp, vol), chunk, kVolumeBlock);
    for (int i = 0; i < objects; ++i) c.Add(static_cast<uint32_t>(i) % containers, 3000 + 700 * i, 64, chunk * 100 + i);
    c.Write(craft::Chunk::MetaIndex::kCurrent, containerIndex);
    c.WriteTrailer("11.0");
    return c;
  }

  // The zero-reference record of object `key` (its metadata offset from `c` when given).
  static CZeroRefRecord Rec(unsigned int mp, unsigned int vol, unsigned long long chunk, uint64_t key,
                            uint64_t primaryId = 0, uint64_t metaOffset = 0) {
    CZeroRefRecord r;
    r.MountPathId = mp;
    r.VolumeId = vol;
    r.ChunkId = chunk;
    r.SFileKey = static_cast<uint32_t>(key);
    r.PrimaryId = primaryId != 0 ? primaryId : chunk * 1000 + key;
    r.MetadataOffset = metaOffset;
    return r;
  }

  void AddRecords(const std::vector<CZeroRefRecord>& records) {
    std::vector<CZeroRefRecord> all;
    ASSERT_TRUE(platform::sidb::ReadRecords(sidbPath, all));
    all.insert(all.end(), records.begin(), records.end());
    ASSERT_TRUE(platform::sidb::WriteRecords(sidbPath, all));
  }

  std::vector<uint64_t> RecordsLeft() const {
    std::vector<CZeroRefRecord> all;
    EXPECT_TRUE(platform::sidb::ReadRecords(sidbPath, all));
    std::vector<uint64_t> ids;
    for (const CZeroRefRecord& r : all) ids.push_back(r.PrimaryId);
    std::sort(ids.begin(), ids.end());
    return ids;
  }

  std::string mountPath2;
  std::string sidbPath;
  CSIDBClientApi db;
};

}  // namespace prunetest
