// The cloud media's failures: the codes each leaves as the last error, the texts the job is shown,
// and the calls that fail without a store.

#include <filesystem>

#include "remote/web_storage_fixture.h"

namespace {

using namespace cloudtest;

class CloudErrors : public CloudTest {
 protected:
  void SetUp() override { ASSERT_TRUE(UseStore(StoreKind::kFolder)); }

  static platform::FaultRule Fault(platform::FsOp op, const std::string& path) {
    platform::FaultRule rule;
    rule.op = op;
    rule.pathContains = path;
    return rule;
  }

  static size_t JobEvents() {
    std::lock_guard<std::mutex> lock(platform::JobsMutex());
    return platform::Jobs().events.size();
  }
};

TEST_F(CloudErrors, EachFailureLeavesItsCodeAndText) {
  struct Case {
    const char* what;
    std::function<int(CloudErrors&, WebStorageUnderTest&)> step;  // the failing step's result
    int result;
    long long code;
    const char* errorText;  // part of the error text the media logged; empty: not checked
    long long shownCode;    // the code in the job's message; 0: none shown
  };
  const std::vector<Case> cases = {
      {"the root folder went away", [](CloudErrors& t, WebStorageUnderTest& m) {
         std::filesystem::rename(t.root, t.root + ".gone");
         const int rc = m.InitSpecific();
         std::filesystem::rename(t.root + ".gone", t.root);
         return rc;
       }, -1, 993, "Failed to Initialize Web Storage Media File System Object. Path [", 993},
      {"the object is invalid", [](CloudErrors&, WebStorageUnderTest& m) {
         m.m_pRemoteFile->m_bValid = false;
         return m.InitSpecific();
       }, -1, 0, "Web Storage Media File Object is Invalid, Type = [8]", 0},
      {"a chunk never written", [](CloudErrors&, WebStorageUnderTest& m) {
         const MediaFSArchiveFileId_t id = Id(CHUNK, 404, 10);
         return m.Open(&id, true);
       }, -1, 993, "Failed to Open Chunk File [", 993},
      {"a write the store refuses", [](CloudErrors&, WebStorageUnderTest& m) {
         platform::Faults().Add(Fault(platform::FsOp::Write, "CHUNK_21"));
         const MediaFSArchiveFileId_t id = Id(CHUNK, 21);
         if (m.Create(&id) != 0) return 1;
         const std::string block(kBlock, 'x');
         return m.Write(block.data(), block.size());
       }, -1, 977, "Failed to Write [65536] bytes to chunk. Error Code: [762]", 762},
      {"a close that cannot publish", [](CloudErrors&, WebStorageUnderTest& m) {
         platform::Faults().Add(Fault(platform::FsOp::Flush, "CHUNK_22"));
         return WriteFile(m, Id(CHUNK, 22), "abc");
       }, -1, 762, "Failed to close Chunk File [", 762},
      {"a media header", [](CloudErrors&, WebStorageUnderTest& m) {
         const MediaFSArchiveFileId_t id = Id(MEDIA_HEADER, 0);
         return m.Create(&id);
       }, -1, 30047, "", 0},
      {"an archive trailer", [](CloudErrors&, WebStorageUnderTest& m) {
         const MediaFSArchiveFileId_t id = Id(ARCHIVE_TRAILER, 0);
         return m.Create(&id);
       }, -1, 30047, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::ResetAll();
    JobSetup s = Job();
    auto media = Start(s);
    EXPECT_EQ(c.step(*this, *media), c.result);
    EXPECT_EQ(media->MediaFSGetLastError(), c.code);
    // The frame replaces the error text with its own after a failed write or close; the log has both.
    EXPECT_TRUE(platform::LogContains(c.errorText)) << c.errorText;
    if (c.shownCode != 0) {
      EXPECT_EQ(media->m_strLastErrorMsg, "Error occurred in Cloud Storage Library Path [" + VolumePath() +
                                              "], Error Code [" + std::to_string(c.shownCode) + "].");
      EXPECT_GT(JobEvents(), 0u);
    }
    if (c.code == 30047) {
      EXPECT_EQ(media->m_strLastErrorMsg, "Invalid archive file type specified.");
    }
  }
  EXPECT_FALSE(std::filesystem::exists(VolumePath() + "/CHUNK_22"));  // nothing half published
}

TEST_F(CloudErrors, WithoutARemoteFileObjectEveryCallFails) {
  struct Case {
    const char* what;
    std::string path;
    long long codeAfterConstruction;
  };
  const Case cases[] = {
      {"a path without a root folder", "relative/store", 0},
      {"a root folder that does not exist", dir / "missing", 124},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::ResetAll();
    JobSetup s = Job();
    auto media = NewMedia(s, c.path);
    EXPECT_EQ(media->m_pRemoteFile, nullptr);
    EXPECT_EQ(media->MediaFSGetLastError(), c.codeAfterConstruction);
    EXPECT_EQ(media->Init(Params(s), false), -1);
    EXPECT_EQ(media->MediaFSGetLastError(), 44110);

    const MediaFSArchiveFileId_t chunk = Id(CHUNK, 5, 10);
    char buffer[16] = {};
    int eom = 0;
    EXPECT_EQ(media->CreateSpecific(&chunk), -1);
    EXPECT_EQ(media->OpenSpecific(&chunk), -1);
    EXPECT_EQ(media->WriteToMedia(buffer, sizeof(buffer), &eom), -1);
    EXPECT_EQ(media->ReadFromMedia(buffer, sizeof(buffer)), -1);
    EXPECT_EQ(media->SetSeekOffset(0), 0);
    EXPECT_EQ(media->CloseSpecific(0), -1);
    EXPECT_EQ(media->UpdateNumPhysicalBytes(0), -1);
    unsigned long long freeBytes = 0;
    EXPECT_EQ(media->getFreeSpaceFromMedia(freeBytes), 0);
    EXPECT_EQ(freeBytes, WebStorageMediaFS::kUnknownFreeBytes);
    EXPECT_EQ(media->MediaFSGetLastError(), 44110);
    EXPECT_EQ(JobEvents(), 0u);
  }
}

TEST_F(CloudErrors, BadBuffersSizesAndOffsetsAreRefused) {
  JobSetup s = Job();
  auto media = Start(s);
  const MediaFSArchiveFileId_t chunk = Id(CHUNK, 31);
  ASSERT_EQ(0, media->Create(&chunk));
  char buffer[8] = {};
  int eom = 7;
  EXPECT_EQ(media->WriteToMedia(nullptr, 8, &eom), -1);
  EXPECT_EQ(media->WriteToMedia(buffer, 0, &eom), -1);
  EXPECT_EQ(media->WriteToMedia(buffer, -8, &eom), -1);
  EXPECT_EQ(eom, 7);
  EXPECT_EQ(media->ReadFromMedia(nullptr, 8), -1);
  EXPECT_EQ(media->ReadFromMedia(buffer, 0), -1);
  EXPECT_EQ(media->SetSeekOffset(-1), 0);
  EXPECT_TRUE(platform::LogContains("WebStorageMediaFS::SetSeekOffset: Invalid Seek offset [ffffffffffffffff] passed in."));
  EXPECT_EQ(media->MediaFSGetLastError(), 0);
  EXPECT_EQ(0, media->Close());
}

}  // namespace
