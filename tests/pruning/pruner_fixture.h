// The set-up of the chunk pruner's tests: the store fixture's mount path and volume, a pruner's
// log and delete log (its lines kept in a file of the test's folder), chunks crafted from the
// on-disk formats, and readers of what pruning leaves: index flags, delete-log records, files,
// their sizes and allocated bytes.
//
//   TEST_F(PrunerTest, Something) {
//     craft::Chunk chunk(volumePath, 12, kVolumeBlock);
//     chunk.Add(0, 5000, 100, 1);
//     chunk.Write();
//     auto pruner = MakePruner();
//     ASSERT_EQ(0, Open(*pruner, 12));
//   }
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "MediaFileSystem/SingleInstancerPruner.h"
#include "sistore/restore_fixture.h"

class PrunerTest : public RestoreTest {
 public:
  static constexpr uint32_t kMPId = 5;
  static constexpr uint32_t kCloudMPId = 6;

  PrunerTest() { OpenDeleteLog(); }

  // Every stand-in back to its initial state, for a test that runs several cases; the delete log
  // starts empty again.
  void ResetPlatform() {
    platform::ResetAll();
    std::remove(deleteFile.path().c_str());
    OpenDeleteLog();
  }
  void OpenDeleteLog() {
    platform::SetDebugLogDirectory(dir.path());
    deleteLog.initialize(&deleteFile, kDeleteLogId, -1, false, "");
  }

  // The mount path as cloud storage: the same folder as the root of the object store.
  CFSInitParams CloudParams() const {
    CFSInitParams p = FsParams();
    p.m_Type = kFSTypeCloud;
    p.m_Host.m_Path = mountPath;
    return p;
  }

  // The metadata offset the dedup database keeps for an object in a container (of a crafted or a
  // written chunk): the container's number in the top byte, the object's offset below it.
  template <typename Object>
  static uint64_t DbMetaOffset(const Object& o) {
    return (static_cast<uint64_t>(o.container) << 56) | o.offset;
  }

  std::unique_ptr<CSFilePruner> MakePruner(const CFSInitParams& params, uint32_t engineId = 0) {
    return std::make_unique<CSFilePruner>(&params, &log, &deleteLog, engineId);
  }
  std::unique_ptr<CSFilePruner> MakePruner() { return MakePruner(FsParams()); }
  int Open(CSFilePruner& pruner, long long chunkId, uint32_t mpId = kMPId) {
    return pruner.OpenSfileIdx(mpId, mountPath, kVolId, static_cast<unsigned long long>(chunkId));
  }

  // The container index's records as stored.
  std::vector<SSfileContainerIndexEntry> Records(long long chunkId) const {
    std::vector<SSfileContainerIndexEntry> out;
    sitest::RawIndex raw = sitest::ReadRawIndex(ContainerIndexPath(chunkId), sizeof(SSfileContainerIndexEntry), 48);
    for (size_t i = 0; i < raw.totalEntries && i < raw.records.size(); ++i) {
      out.push_back(sitest::DecodeContainerRecord(raw.records[i]));
    }
    return out;
  }

  // The delete log's records (the text after the line prefix), from its file.
  std::vector<std::string> DeleteRecords() const { return DeleteRecordsOf(craft::ReadFile(deleteFile.path())); }
  static std::vector<std::string> DeleteRecordsOf(const std::string& text) {
    static const std::regex line("^[0-9a-f]+ [0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} +[0-9]+ (.*)$");
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::smatch m;
      const std::string l = text.substr(at, end - at);
      if (std::regex_match(l, m, line)) out.push_back(m[1]);
      at = end + 1;
    }
    return out;
  }

  static bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
  }
  static long long Size(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
  }
  // After an fsync: blocks the file system only reserved for delayed writes count no more.
  static long long Allocated(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
      (void)::fsync(fd);
      ::close(fd);
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_blocks) * 512 : -1;
  }

  EvDebug log{"pruner"};
  EvDebugFileInstance deleteFile;
  EvDebug deleteLog;
};
