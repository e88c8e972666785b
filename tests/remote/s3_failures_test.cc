// The S3 kind when the endpoint fails: bad credentials and a missing bucket stop the
// initialisation before anything is written; a server that goes away during a put or a restore
// is asked again, and when it stays away the close or the read fails and nothing is lost.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

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

  // Where a put of a chunk loses its server: before its first try is sent (the connection is
  // refused), or inside the body of the first try, after some of it went out (the connection is
  // reset).
  enum class Cut { kBeforeThePut, kInsideTheBody };
  static const char* CutName(Cut cut) { return cut == Cut::kBeforeThePut ? "before the put" : "inside the body"; }

  // Stops the server at `cut` in the first try of every put of a chunk (and, with `back`, starts
  // it again before the second try).
  void StopAtPut(Cut cut, bool back) {
    auto pieces = std::make_shared<int>(0);
    platform::s3::SetRequestHook([this, cut, back, pieces](const std::string& method, const std::string& key,
                                                           int attempt) {
      if (key.find("CHUNK_") == std::string::npos) return;
      if (attempt == 1 && method == (cut == Cut::kBeforeThePut ? "PUT" : "PUT-BODY") &&
          (cut == Cut::kBeforeThePut || ++*pieces == 3)) {
        server->Stop();
      }
      if (attempt == 2 && method == "PUT" && back) server->Start();
    });
  }

  // The bytes that s3rver keeps for the object `name` of the volume.
  std::string StoredBytes(const std::string& name) const {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(server->BucketFolder(), ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      const std::string path = it->path().string();
      if (path.find("/V_7/" + name + "._S3rver_object") == std::string::npos || it->path().extension() == ".md5") {
        continue;
      }
      std::ifstream in(path, std::ios::binary);
      return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return "NONE";
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

// A put whose connection is refused, or reset inside its body, is sent again whole once the
// server is back: the object holds the chunk's bytes, all of them and only them.
TEST_F(S3Failures, APutIsSentAgainWholeWhenTheServerComesBack) {
  long long chunkId = 901;
  for (const Cut cut : {Cut::kBeforeThePut, Cut::kInsideTheBody}) {
    SCOPED_TRACE(CutName(cut));
    platform::ResetLogs();
    const long long slept = platform::SleptMs();
    JobSetup s = Job();
    auto media = Start(s);
    const long long files = platform::MediaManager().volumes[kVolId].numFiles;
    StopAtPut(cut, true);
    const std::string data = Pattern(2 << 20, static_cast<int>(chunkId));  // whole blocks: stored as they are
    ASSERT_EQ(0, WriteFile(*media, Id(CHUNK, chunkId), data)) << media->GetErrorString();
    EXPECT_EQ(platform::SleptMs() - slept, 1000);
    EXPECT_TRUE(platform::LogContains("\t[CLOUD_STORAGE]\tS3 PUT of key [backups/V_7/CHUNK_" + std::to_string(chunkId) +
                                      "] in bucket"));
    EXPECT_EQ(platform::MediaManager().volumes[kVolId].numFiles, files + 1);
    platform::s3::SetRequestHook(nullptr);
    EXPECT_TRUE(StoredBytes("CHUNK_" + std::to_string(chunkId)) == data);

    JobSetup r = Job();
    auto reader = Start(r, false);
    EXPECT_TRUE(Restore(*reader, chunkId, data.size()) == data);
    ++chunkId;
  }
}

// When the server stays away, the close fails after the last try, the host is not told of the
// chunk, and no object that reads as the chunk is left behind.
TEST_F(S3Failures, AServerThatStaysAwayFailsTheCloseAndLosesNothing) {
  platform::Config().SetNumber("ZovadAdeve", "CloudS3RetryIntervalMs", 250);
  const std::string before = Pattern(kBlock, 31);
  JobSetup s = Job();
  auto media = Start(s);
  ASSERT_EQ(0, WriteFile(*media, Id(CHUNK, 911), before));

  long long chunkId = 912;
  for (const Cut cut : {Cut::kBeforeThePut, Cut::kInsideTheBody}) {
    SCOPED_TRACE(CutName(cut));
    platform::ResetLogs();
    const long long slept = platform::SleptMs();
    ASSERT_TRUE(server->Start());
    const long long files = platform::MediaManager().volumes[kVolId].numFiles;
    const size_t uploads = platform::MediaManager().Count("incrUploadDataForVolume");
    StopAtPut(cut, false);
    const MediaFSArchiveFileId_t chunk = Id(CHUNK, chunkId);
    ASSERT_EQ(0, media->Create(&chunk));
    const std::string lost = Pattern(2 << 20, static_cast<int>(chunkId));
    ASSERT_EQ(media->Write(lost.data(), lost.size()), static_cast<int>(lost.size()));
    EXPECT_EQ(SpoolDescriptors(), 1);
    EXPECT_EQ(media->Close(), -1);
    EXPECT_EQ(platform::SleptMs() - slept, 3 * 250);  // three more tries, on the fake clock
    EXPECT_EQ(media->MediaFSGetLastError(), 1207);
    EXPECT_TRUE(platform::LogContains("WebStorageMediaFS::CloseSpecific: Failed to close Chunk File ["));
    if (cut == Cut::kInsideTheBody) {
      EXPECT_TRUE(platform::LogContains("(the connection broke off inside the body)"));
    }
    // The host is not told of the chunk, no upload is counted and the spool is gone.
    EXPECT_EQ(platform::MediaManager().volumes[kVolId].numFiles, files);
    EXPECT_EQ(platform::MediaManager().Count("incrUploadDataForVolume"), uploads);
    EXPECT_EQ(SpoolDescriptors(), 0);
    platform::s3::SetRequestHook(nullptr);
    ++chunkId;
  }

  ASSERT_TRUE(server->Start());
  JobSetup next = Job(4300);
  auto again = Start(next);
  const std::string after = Pattern(kBlock + 3, 33);
  ASSERT_EQ(0, WriteFile(*again, Id(CHUNK, 914), after));
  JobSetup r = Job();
  auto reader = Start(r, false);
  EXPECT_TRUE(Restore(*reader, 911, before.size()) == before);
  EXPECT_TRUE(Restore(*reader, 914, after.size()) == after);
  // Refused before the put, the chunk never reached the server. Cut inside the body, it never
  // reached it whole (s3rver may keep the part it got in the object's file; the host, told of
  // nothing, never reads it).
  EXPECT_NE(Restore(*reader, 912, 10).find("FAILED open"), std::string::npos);
  EXPECT_EQ(StoredBytes("CHUNK_912"), "NONE");
  EXPECT_NE(StoredBytes("CHUNK_913"), Pattern(2 << 20, 913));
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
