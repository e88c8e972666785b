// The S3 kind when the endpoint fails: bad credentials and a missing bucket stop the
// initialisation before anything is written; a server that goes away during a put or a restore
// is asked again, and when it stays away the close or the read fails and nothing is lost.

#include <filesystem>

#include "platform/media_manager_calls.h"
#include "platform/s3_remote_file.h"
#include "remote/web_storage_fixture.h"

namespace {

using namespace cloudtest;

class S3Failures : public CloudTest {
 protected:
  void SetUp() override {
    if (!UseStore(StoreKind::kS3)) GTEST_SKIP() << S3Server::Unavailable();
  }

  // The objects s3rver keeps, by their files.
  size_t StoredObjects() const {
    size_t n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(server->BucketFolder(), ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->path().string().find("._S3rver_object") != std::string::npos &&
          it->path().extension() != ".md5") {
        ++n;
      }
    }
    return n;
  }

  // Descriptors of files in the spool folder (TMPDIR, else /var/tmp).
  static int SpoolDescriptors() {
    const char* tmp = getenv("TMPDIR");
    const std::string folder = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/var/tmp") + "/";
    int n = 0;
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
      const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
      if (target.compare(0, folder.size(), folder) == 0) ++n;
    }
    return n;
  }

  // Stops the server before the first try of every put of a chunk (and, with `back`, starts it
  // again before the second).
  void StopAtPut(bool back) {
    platform::s3::SetRequestHook([this, back](const std::string& method, const std::string& key, int attempt) {
      if (method != "PUT" || key.find("CHUNK_") == std::string::npos) return;
      if (attempt == 1) server->Stop();
      if (attempt == 2 && back) server->Start();
    });
  }
};

TEST_F(S3Failures, BadCredentialsAndAMissingBucketFailTheInitialisation) {
  struct Case {
    const char* what;
    std::string key;
    std::string secret;
    std::string path;
    long long code;
  };
  const Case cases[] = {
      {"a wrong access key id", "NOT-A-KEY", S3Server::kSecret, "", 996},
      {"a wrong secret", S3Server::kAccessKey, "not-the-secret", "", 996},
      {"a missing bucket", S3Server::kAccessKey, S3Server::kSecret, server->Root("backups", "no-such-bucket"), 993},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::ResetLogs();
    JobSetup s = Job();
    auto media = NewMedia(s, c.path, c.key, c.secret);
    MediaFsInitParams p = Params(s);
    if (!c.path.empty()) p.strPath = c.path + "/V_7";
    EXPECT_EQ(media->Init(p, false), -1);
    EXPECT_EQ(media->MediaFSGetLastError(), c.code);
    EXPECT_EQ(media->m_strLastErrorMsg, "Error occurred in Cloud Storage Library Path [" + p.strPath +
                                            "], Error Code [" + std::to_string(c.code) + "].");
    EXPECT_TRUE(platform::LogContains("Failed to Initialize Web Storage Media File System Object. Path ["));
    // Neither credential reaches a log line.
    for (const platform::LogLine& line : platform::Logs()) {
      EXPECT_EQ(line.text.find("not-the-secret"), std::string::npos) << line.text;
    }
  }
  EXPECT_EQ(StoredObjects(), 0u);
  EXPECT_FALSE(std::filesystem::exists(server->BucketFolder() + "/../no-such-bucket"));
}

TEST_F(S3Failures, APutIsSentAgainWholeWhenTheServerComesBack) {
  JobSetup s = Job();
  auto media = Start(s);
  StopAtPut(true);
  const std::string data = Pattern(3 * kBlock + 100, 21);
  ASSERT_EQ(0, WriteFile(*media, Id(CHUNK, 901), data)) << media->GetErrorString();
  EXPECT_EQ(platform::SleptMs(), 1000);
  EXPECT_TRUE(platform::LogContains("\t[CLOUD_STORAGE]\tS3 PUT of key [backups/V_7/CHUNK_901] in bucket"));
  platform::s3::SetRequestHook(nullptr);

  JobSetup r = Job();
  auto reader = Start(r, false);
  EXPECT_TRUE(Restore(*reader, 901, data.size()) == data);
}

TEST_F(S3Failures, AServerThatStaysAwayFailsTheCloseAndLosesNothing) {
  platform::Config().SetNumber("ZovadAdeve", "CloudS3RetryIntervalMs", 250);
  const std::string before = Pattern(kBlock, 31);
  JobSetup s = Job();
  auto media = Start(s);
  ASSERT_EQ(0, WriteFile(*media, Id(CHUNK, 911), before));
  const long long files = platform::MediaManager().volumes[kVolId].numFiles;
  const size_t uploads = platform::MediaManager().Count("incrUploadDataForVolume");

  StopAtPut(false);
  const MediaFSArchiveFileId_t chunk = Id(CHUNK, 912);
  ASSERT_EQ(0, media->Create(&chunk));
  const std::string lost = Pattern(2 << 20, 32);
  ASSERT_EQ(media->Write(lost.data(), lost.size()), static_cast<int>(lost.size()));
  EXPECT_EQ(SpoolDescriptors(), 1);
  EXPECT_EQ(media->Close(), -1);
  EXPECT_EQ(platform::SleptMs(), 3 * 250);  // three more tries, on the fake clock
  EXPECT_EQ(media->MediaFSGetLastError(), 1207);
  EXPECT_TRUE(platform::LogContains("WebStorageMediaFS::CloseSpecific: Failed to close Chunk File ["));
  // The host is not told of the chunk, no upload is counted and the spool is gone.
  EXPECT_EQ(platform::MediaManager().volumes[kVolId].numFiles, files);
  EXPECT_EQ(platform::MediaManager().Count("incrUploadDataForVolume"), uploads);
  EXPECT_EQ(SpoolDescriptors(), 0);

  platform::s3::SetRequestHook(nullptr);
  ASSERT_TRUE(server->Start());
  JobSetup next = Job(4300);
  auto again = Start(next);
  const std::string after = Pattern(kBlock + 3, 33);
  ASSERT_EQ(0, WriteFile(*again, Id(CHUNK, 913), after));
  JobSetup r = Job();
  auto reader = Start(r, false);
  EXPECT_TRUE(Restore(*reader, 911, before.size()) == before);
  EXPECT_TRUE(Restore(*reader, 913, after.size()) == after);
  EXPECT_NE(Restore(*reader, 912, 10).find("FAILED open"), std::string::npos);
}

TEST_F(S3Failures, AServerStoppedDuringARestoreFailsTheRead) {
  OZBaseRemoteFile::m_giReadAheadThreadLimit = 1;  // one 4 MiB range ahead
  const std::string data = Pattern(9 << 20, 41);
  JobSetup s = Job();
  ASSERT_EQ(0, WriteFile(*Start(s), Id(CHUNK, 921), data));
  for (bool readAhead : {false, true}) {
    SCOPED_TRACE(readAhead ? "with read-ahead" : "without read-ahead");
    ASSERT_TRUE(server->Start());
    JobSetup r = Job();
    auto reader = Start(r, false);
    MediaFSArchiveFileId_t id = Id(CHUNK, 921, static_cast<long long>(data.size()));
    id.bReadAhead = readAhead;
    ASSERT_EQ(0, reader->Open(&id, true));
    std::string out(kBlock, '\0');
    ASSERT_EQ(reader->Read(out.data(), out.size()), static_cast<int>(kBlock));
    server->Stop();
    // Past what read-ahead fetched before the stop.
    std::string rest(data.size() - kBlock, '\0');
    EXPECT_EQ(reader->Read(rest.data(), rest.size()), -1);
    EXPECT_EQ(reader->MediaFSGetLastError(), 1207);
    EXPECT_TRUE(platform::LogContains("WebStorageMediaFS::ReadFromMedia: Failed to Read ["));
  }
}

TEST_F(S3Failures, AnObjectStopsAtFiveGiB) {
  std::unique_ptr<OZBaseRemoteFile> remote(
      OZBaseRemoteFile::GetRemoteFileInstance(kDeviceType, S3Server::kAccessKey, S3Server::kSecret, root, 1, -1));
  ASSERT_NE(remote, nullptr);
  ASSERT_NE(remote->OpenFile("V_7/CHUNK_931", kRFModeWriteNew, 0), 0);
  ASSERT_NE(remote->SeekFile(static_cast<long long>(CS3RemoteFile::kMaxObjectBytes) - 4), 0);
  EXPECT_EQ(remote->WriteFile("12345678", 8), 0);
  EXPECT_EQ(remote->GetLastErrorCode(), 103);  // EFBIG
  EXPECT_NE(remote->WriteFile("1234", 4), 0);
  remote.reset();  // never closed: nothing is put
  EXPECT_EQ(StoredObjects(), 0u);
}

TEST_F(S3Failures, NamesOutsideTheRootAreRefused) {
  std::unique_ptr<OZBaseRemoteFile> remote(
      OZBaseRemoteFile::GetRemoteFileInstance(kDeviceType, S3Server::kAccessKey, S3Server::kSecret, root, 1, -1));
  ASSERT_NE(remote, nullptr);
  for (const std::string& name : {server->Root("other") + "/x", server->Root() + "/x", std::string("../x"),
                                  std::string("/tmp/x"), root, std::string("a/../../x")}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(remote->OpenFile(name, kRFModeWriteNew, 0), 0);
    EXPECT_EQ(remote->GetLastErrorCode(), 993);
  }
}

}  // namespace
