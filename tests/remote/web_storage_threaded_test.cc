// The cloud media from several threads: objects made at once (each registering the library's log
// callback) write and restore chunks side by side on the folder store and on an S3 endpoint; the
// S3 kind's read-ahead threads serve reads that jump about an object.

#include <thread>

#include "remote/web_storage_fixture.h"

namespace {

using namespace cloudtest;

class CloudThreads : public CloudKindTest {};

TEST_P(CloudThreads, JobsOnSeveralThreadsWriteAndRestoreAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kChunks = 3;
  auto data = [](int thread, int chunk) { return Pattern(40000 + 30000 * chunk + thread, thread * 10 + chunk); };
  auto chunkId = [](int thread, int chunk) { return 1000LL + thread * 100 + chunk; };
  std::vector<int> failures(kThreads, 0);
  {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        JobSetup s = Job(5000 + t);
        auto media = NewMedia(s);
        if (media->Init(Params(s), false) != 0) {
          failures[t] = 1;
          return;
        }
        for (int c = 0; c < kChunks; ++c) {
          if (BackupChunk(*media, chunkId(t, c), data(t, c)) != 0) failures[t] = 2;
        }
      });
    }
    for (std::thread& t : threads) t.join();
  }
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      JobSetup r = Job(6000 + t);
      auto reader = NewMedia(r);
      if (reader->Init(Params(r, false), false) != 0) {
        failures[t] = 3;
        return;
      }
      for (int c = 0; c < kChunks; ++c) {
        const std::string want = data(t, c);
        if (Restore(*reader, chunkId(t, c), want.size(), (t + c) % 2 == 0) != want) failures[t] = 4;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
  EXPECT_GT(platform::LogCount("Created Web Storage Media File System Object."), 0u);
}

INSTANTIATE_TEST_SUITE_P(Stores, CloudThreads, ::testing::Values(StoreKind::kFolder, StoreKind::kS3), KindTestName);

class S3ReadAhead : public CloudTest {
 protected:
  void SetUp() override {
    if (!UseStore(StoreKind::kS3)) GTEST_SKIP() << S3Server::Unavailable();
  }
};

TEST_F(S3ReadAhead, ReadsThatJumpAboutAnObjectGetItsBytes) {
  const std::string data = Pattern(13 * (1 << 20) + 12345, 77);
  {
    std::unique_ptr<OZBaseRemoteFile> writer(
        OZBaseRemoteFile::GetRemoteFileInstance(kDeviceType, S3Server::kAccessKey, S3Server::kSecret, root, 1, -1));
    ASSERT_NE(writer, nullptr);
    ASSERT_NE(writer->OpenFile("object", kRFModeWriteNew, 0), 0);
    ASSERT_NE(writer->WriteFile(data.data(), static_cast<unsigned int>(data.size())), 0);
    ASSERT_NE(writer->CloseFile(), 0) << writer->GetLastErrorString();
  }
  std::unique_ptr<OZBaseRemoteFile> reader(
      OZBaseRemoteFile::GetRemoteFileInstance(kDeviceType, S3Server::kAccessKey, S3Server::kSecret, root, 1, -1));
  ASSERT_NE(reader, nullptr);
  reader->m_iReadAheadThreadLimit = 3;
  ASSERT_NE(reader->OpenFile("object", kRFModeRead, -1), 0);

  std::mt19937_64 rng(5);
  uint64_t position = 0;
  std::string buffer(1 << 20, '\0');
  for (int step = 0; step < 60; ++step) {
    if (step % 7 == 3) {
      position = rng() % (data.size() + 10);  // sometimes past the end
      ASSERT_NE(reader->SeekFile(static_cast<long long>(position)), 0);
    }
    const unsigned int want = 1 + static_cast<unsigned int>(rng() % buffer.size());
    unsigned int done = 0;
    ASSERT_NE(reader->ReadFile(buffer.data(), want, done), 0) << reader->GetLastErrorString();
    const uint64_t expected = position >= data.size() ? 0 : std::min<uint64_t>(want, data.size() - position);
    ASSERT_EQ(done, expected) << "step " << step;
    if (done > 0) {
      ASSERT_TRUE(buffer.compare(0, done, data, position, done) == 0) << "step " << step;
    }
    position += done;
  }
  EXPECT_GE(reader->m_llDownloadedBytes, 4 << 20);
  EXPECT_NE(reader->CloseFile(), 0);
}

}  // namespace
