// The cloud media against the plain calls that move the same bytes, in one run.
//
// Folder store: a 1 GiB chunk written through WebStorageMediaFS in 1 MiB blocks (Create, Write,
// Close, which flushes the object to stable storage and publishes it by a rename) against
// write(2) of the same blocks into a new file of the same folder, fsync(2) and rename(2); read
// back through Open and Read in 1 MiB pieces against read(2) of the object.
//
// S3 endpoint (a local s3rver, started here; skipped where node or s3rver is absent): a 256 MiB
// chunk written through the media (spooled, put whole at Close) against one S3_put_object of the
// same bytes from memory; read back through the media with read-ahead (four 4 MiB ranges in
// flight) against one S3_get_object of the whole object into memory.
//
// See media_vs_syscalls.h for the pairing and the counters (the S3 roads' plain counter is
// `libs3_MBps`). The folder is MFS_BENCH_DIR, by default "bench-data" in the build
// folder; the spool and the server's objects live there too.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libs3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "MediaFileSystem/WebStorageMediaFS.h"
#include "media_vs_syscalls.h"
#include "platform/platform.h"
#include "remote/s3_server.h"

namespace {

using mediabench::Clock;
using mediabench::Seconds;

constexpr size_t kBlock = 1 << 20;
constexpr size_t kFolderBytes = size_t{1} << 30;
constexpr size_t kS3Bytes = size_t{256} << 20;
constexpr long long kChunkId = 1;

// One block of the stream; every block of it is this one.
std::vector<char> Block() {
  std::vector<char> bytes(kBlock);
  for (size_t i = 0; i < kBlock; ++i) bytes[i] = static_cast<char>(i * 131 + 7);
  return bytes;
}

// A volume in a store, with a reservation of 1 MiB blocks, as a data mover has them.
struct Volume {
  std::string root;  // the store's root folder
  _JobContext job{1, 0};
  MLMMessageInstance mlm;
  OZMMreserveMount reserve;
  ArchiveManagerDS archiveManager;

  explicit Volume(std::string storeRoot) : root(std::move(storeRoot)) {
    reserve.m_blockSizeKB = static_cast<int>(kBlock / 1024);
  }
  std::string Path() const { return root + "/V_1"; }

  std::unique_ptr<WebStorageMediaFS> Media(bool backup) {
    auto media = std::make_unique<WebStorageMediaFS>(&job, 8, S3Server::kAccessKey, S3Server::kSecret, root,
                                                     &archiveManager);
    MediaFsInitParams p;
    p.iVolId = 1;
    p.strPath = Path();
    p.pMlm = &mlm;
    p.iDriveId = 1;
    p.pReserveMount = &reserve;
    p.iDataMoverMode = backup ? kDataMoverModeBackup : 0;
    if (media->Init(p, false) != 0) return nullptr;
    return media;
  }

  static MediaFSArchiveFileId_t ChunkId(size_t bytes, bool readAhead) {
    MediaFSArchiveFileId_t id;
    id.uiDataType = CHUNK;
    id.llChunkId = kChunkId;
    id.iChunkVersion = 3;
    id.llPhysicalSize = static_cast<long long>(bytes);
    id.bReadAhead = readAhead;
    return id;
  }
};

double MediaWrite(Volume& v, const std::vector<char>& block, size_t bytes) {
  return mediabench::MediaWrite(v.Media(true).get(), Volume::ChunkId(bytes, false), block, bytes);
}

double MediaRead(Volume& v, std::vector<char>& block, size_t bytes, bool readAhead) {
  return mediabench::MediaRead(v.Media(false).get(), Volume::ChunkId(bytes, readAhead), block, bytes);
}

// ---- Folder store --------------------------------------------------------------------------

// The media publishes a closed object by a rename: so does the plain road.
double PlainWriteAndRename(const std::string& folder, const std::vector<char>& block) {
  const std::string staged = folder + "/plain.staged";
  const std::string published = folder + "/plain";
  unlink(published.c_str());
  const double written = mediabench::PlainWrite(staged, block, kFolderBytes);
  if (written < 0) return -1;
  const auto start = Clock::now();
  if (rename(staged.c_str(), published.c_str()) != 0) return -1;
  return written + Seconds(start);
}

struct FolderStore {
  std::string folder = bench::MakeDir("mfs-cloud-bench");
  FolderStore() {
    platform::ResetAll();
    platform::SetRealSleep(true);
    platform::SetRealClock(true);
    std::filesystem::create_directories(folder + "/store/V_1");
  }
  ~FolderStore() {
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
  }
};

void BM_FolderStoreWrite_MediaVsWrite(benchmark::State& state) {
  FolderStore store;
  if (store.folder.empty()) return state.SkipWithError("no folder");
  Volume v(store.folder + "/store");
  const std::vector<char> block = Block();
  const std::string object = v.Path() + "/CHUNK_" + std::to_string(kChunkId);
  // Each road writes a new file: the one it replaces is removed untimed.
  mediabench::Compare(
      state, kFolderBytes, "cloud_media",
      [&] {
        unlink(object.c_str());
        return MediaWrite(v, block, kFolderBytes);
      },
      [&] { return PlainWriteAndRename(v.Path(), block); });
}

void BM_FolderStoreRead_MediaVsRead(benchmark::State& state) {
  FolderStore store;
  if (store.folder.empty()) return state.SkipWithError("no folder");
  Volume v(store.folder + "/store");
  std::vector<char> block = Block();
  if (MediaWrite(v, block, kFolderBytes) < 0) return state.SkipWithError("the chunk could not be written");
  const std::string object = v.Path() + "/CHUNK_" + std::to_string(kChunkId);
  mediabench::Compare(
      state, kFolderBytes, "cloud_media", [&] { return MediaRead(v, block, kFolderBytes, false); },
      [&] { return mediabench::PlainRead(object, block, kFolderBytes); });
}

// ---- S3 endpoint ---------------------------------------------------------------------------

struct Transfer {
  const char* bytes = nullptr;  // put: the source
  char* into = nullptr;         // get: the target
  size_t size = 0;
  size_t done = 0;
  S3Status status = S3StatusInternalError;
};

S3Status Properties(const S3ResponseProperties*, void*) { return S3StatusOK; }
void Complete(S3Status status, const S3ErrorDetails*, void* data) { static_cast<Transfer*>(data)->status = status; }
int PutData(int size, char* buffer, void* data) {
  auto* t = static_cast<Transfer*>(data);
  const size_t n = std::min(static_cast<size_t>(size), t->size - t->done);
  std::memcpy(buffer, t->bytes + t->done, n);
  t->done += n;
  return static_cast<int>(n);
}
S3Status GetData(int size, const char* buffer, void* data) {
  auto* t = static_cast<Transfer*>(data);
  if (static_cast<size_t>(size) > t->size - t->done) return S3StatusAbortedByCallback;
  std::memcpy(t->into + t->done, buffer, static_cast<size_t>(size));
  t->done += static_cast<size_t>(size);
  return S3StatusOK;
}

struct S3Endpoint {
  std::string base = bench::MakeDir("mfs-cloud-bench");
  bool hadTmp = false;
  std::string oldTmp;
  std::unique_ptr<S3Server> server;
  std::string host;
  S3BucketContext bucket{};

  S3Endpoint() {
    platform::ResetAll();
    platform::SetRealSleep(true);
    platform::SetRealClock(true);
    platform::Config().SetNumber("ZovadAdeve", "CloudS3UseHttps", 0);
    if (base.empty() || !S3Server::Unavailable().empty()) return;
    if (S3_initialize("mfs-bench", S3_INIT_ALL, nullptr) != S3StatusOK) return;
    const char* tmp = getenv("TMPDIR");
    if (tmp != nullptr) oldTmp = tmp;
    hadTmp = tmp != nullptr;
    setenv("TMPDIR", base.c_str(), 1);  // the server's objects and the media's spool
    server = std::make_unique<S3Server>();
    if (!server->Start()) server.reset();
    if (!server) return;
    host = server->endpoint();
    bucket.hostName = host.c_str();
    bucket.bucketName = S3Server::kBucket;
    bucket.protocol = S3ProtocolHTTP;
    bucket.uriStyle = S3UriStylePath;
    bucket.accessKeyId = S3Server::kAccessKey;
    bucket.secretAccessKey = S3Server::kSecret;
  }
  ~S3Endpoint() {
    server.reset();
    if (hadTmp) {
      setenv("TMPDIR", oldTmp.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    std::error_code ignored;
    if (!base.empty()) std::filesystem::remove_all(base, ignored);
  }

  double Put(const std::vector<char>& bytes) {
    Transfer t;
    t.bytes = bytes.data();
    t.size = bytes.size();
    S3PutObjectHandler handler{{&Properties, &Complete}, &PutData};
    const auto start = Clock::now();
    S3_put_object(&bucket, "plain", bytes.size(), nullptr, nullptr, &handler, &t);
    return t.status == S3StatusOK ? Seconds(start) : -1;
  }

  double Get(std::vector<char>& into) {
    Transfer t;
    t.into = into.data();
    t.size = into.size();
    S3GetObjectHandler handler{{&Properties, &Complete}, &GetData};
    const auto start = Clock::now();
    S3_get_object(&bucket, "plain", nullptr, 0, 0, nullptr, &handler, &t);
    benchmark::DoNotOptimize(into.data());
    return t.status == S3StatusOK && t.done == into.size() ? Seconds(start) : -1;
  }
};

// The stream of `bytes` as one buffer, block after block, for libs3's calls.
std::vector<char> Stream(const std::vector<char>& block, size_t bytes) {
  std::vector<char> stream(bytes);
  for (size_t at = 0; at < bytes; at += block.size()) std::memcpy(stream.data() + at, block.data(), block.size());
  return stream;
}

void BM_S3Write_MediaVsPutObject(benchmark::State& state) {
  S3Endpoint s3;
  if (!s3.server) return state.SkipWithError(("no S3 server: " + S3Server::Unavailable()).c_str());
  Volume v(s3.server->Root("bench"));
  const std::vector<char> block = Block();
  const std::vector<char> stream = Stream(block, kS3Bytes);
  mediabench::Compare(
      state, kS3Bytes, "cloud_media", [&] { return MediaWrite(v, block, kS3Bytes); },
      [&] { return s3.Put(stream); }, "libs3");
}

void BM_S3Read_MediaVsGetObject(benchmark::State& state) {
  S3Endpoint s3;
  if (!s3.server) return state.SkipWithError(("no S3 server: " + S3Server::Unavailable()).c_str());
  Volume v(s3.server->Root("bench"));
  std::vector<char> block = Block();
  std::vector<char> stream = Stream(block, kS3Bytes);
  if (MediaWrite(v, block, kS3Bytes) < 0 || s3.Put(stream) < 0) {
    return state.SkipWithError("the objects could not be written");
  }
  mediabench::Compare(
      state, kS3Bytes, "cloud_media", [&] { return MediaRead(v, block, kS3Bytes, true); },
      [&] { return s3.Get(stream); }, "libs3");
}

}  // namespace

BENCHMARK(BM_FolderStoreWrite_MediaVsWrite)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_FolderStoreRead_MediaVsRead)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_S3Write_MediaVsPutObject)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_S3Read_MediaVsGetObject)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
