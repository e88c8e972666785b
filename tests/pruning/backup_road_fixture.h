// Chunks written through the store's backup road for the pruners' tests, and reads of their objects
// through the single-instance file reader and the restore road.
//
//   TEST_F(BackupRoadTest, Something) {
//     std::vector<sitest::WrittenObject> objects = BackupRoadChunk(100, {5000, 300000});
//     ... prune ...
//     ExpectRestored(100, objects[0]);
//   }
#pragma once

#include <string>
#include <vector>

#include "MediaFileSystem/SIFile.h"
#include "driver_fixture.h"
#include "sistore/backup_job.h"

namespace prunetest {

class BackupRoadTest : public DriverTest {
 public:
  // Writes chunk `chunkId` of volume 17 through the backup road (object i has key i + 1), with a
  // checkpoint, a close and the chunk's trailer.
  std::vector<sitest::WrittenObject> BackupRoadChunk(long long chunkId, const std::vector<uint32_t>& sizes) {
    auto store = BackupChunk(chunkId);
    std::vector<sitest::WrittenObject> out;
    for (size_t i = 0; i < sizes.size(); ++i) {
      sitest::WrittenObject w;
      EXPECT_EQ(0, sitest::WriteObject(*store, {i + 1, sizes[i], 100, static_cast<uint64_t>(chunkId * 31 + i)}, w));
      out.push_back(w);
    }
    EXPECT_EQ(0, sitest::Checkpoint(*store));
    EXPECT_EQ(0, store->Close());
    craft::WriteFile(TrailerOf(mountPath, kVolId, chunkId), craft::ChunkMapTrailer(chunkId, "11.0", 4096));
    return out;
  }

  // Reads an object of volume 17 through the reader of single-instance files: its header and data.
  std::string ReadThroughSIFile(long long chunkId, const sitest::WrittenObject& w) {
    OZLOG_HANDLE handle{};
    CSIFile reader(&handle);
    CFSInitParams params = FsParams();
    if (reader.Init(&params, static_cast<unsigned long long>(chunkId), kVolId, false) != 0) return "init failed";
    if (reader.OpenDataFileAndSeek(0, w.container, w.offset, 0) != 0) return "open failed";
    std::string header(16, '\0');
    if (reader.ReadMetaData(header.data(), 16) != 16) return "header failed";
    std::string data(w.shape.dataSize, '\0');
    const MM_uint got = reader.ReadData(data.data(), w.shape.dataSize);
    reader.CloseDataFile();
    if (got != w.shape.dataSize) return "read returned " + std::to_string(got);
    return header + data;
  }

  // "" when `got` is `want`; else where they part (or what a failed read returned).
  static std::string Difference(const std::string& want, const std::string& got) {
    if (want == got) return "";
    if (got.size() < 64 && got.size() != want.size()) return "got \"" + got + "\"";
    size_t at = 0;
    while (at < want.size() && at < got.size() && want[at] == got[at]) ++at;
    return "differs from byte " + std::to_string(at) + " of " + std::to_string(want.size()) + " (got " +
           std::to_string(got.size()) + ")";
  }

  // Each object reads back byte for byte, through the reader and the restore road.
  void ExpectRestored(long long chunkId, const std::vector<sitest::WrittenObject>& objects) {
    auto restore = MakeRestore();
    ASSERT_EQ(0, RestoreTest::Open(*restore, chunkId));
    for (const sitest::WrittenObject& w : objects) {
      SCOPED_TRACE("object " + std::to_string(w.shape.key));
      const std::string bytes = sitest::ObjectBytes(w.shape);
      EXPECT_EQ(Difference(bytes, ReadThroughSIFile(chunkId, w)), "") << "through the reader";
      EXPECT_EQ(Difference(bytes.substr(16),
                           ReadObject(*restore, ContainerPath(chunkId, w.container), w.offset, w.shape.dataSize)),
                "")
          << "through the restore road";
    }
  }
};

}  // namespace prunetest
