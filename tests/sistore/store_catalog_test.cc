// Catalog mode and the reader mode: the chunk collect file of a mount path, its names and lines,
// its failures, and a reader (media type 16) that restores every chunk it lists.

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "restore_fixture.h"

namespace {

// The chunk collect file lies in the process's working folder: each test works in one of its own.
class CatalogTest : public RestoreTest {
 public:
  CatalogTest() {
    char cwd[4096];
    if (getcwd(cwd, sizeof(cwd)) != nullptr) previous_ = cwd;
    EXPECT_EQ(0, chdir(work_.path().c_str()));
  }
  ~CatalogTest() override { (void)chdir(previous_.c_str()); }

  std::string CollectFile(const std::string& name) const { return path_append(work_.path(), name); }

  std::vector<std::string> Lines(const std::string& name) const {
    std::vector<std::string> lines;
    std::string text = craft::ReadFile(CollectFile(name));
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find('\n', at);
      lines.push_back(text.substr(at, end - at));
      at = end + 1;
    }
    return lines;
  }

  std::unique_ptr<RestoreStore> MakeReader() {
    auto store = std::make_unique<RestoreStore>(&job, FsParams(), true, 0);
    EXPECT_EQ(0, store->Init(InitParams(0, kMediaTypeReader), false));
    return store;
  }

  // Opens archive file id 0 as a reader does and reads the listed file whole.
  static int ReadNextListed(RestoreStore& store, std::string& bytes) {
    MediaFSArchiveFileId_t id;
    id.iArchFileId = 0;
    id.llPhysicalSize = 1LL << 40;
    const int rc = store.Open(&id, false);
    if (rc != 0) return rc;
    bytes.clear();
    char buf[10000];
    for (int got; (got = store.Read(buf, sizeof(buf))) > 0;) bytes.append(buf, static_cast<size_t>(got));
    return store.Close();
  }

 private:
  TempDir work_;
  std::string previous_;
};

TEST_F(CatalogTest, ListsMetadataFilesAndTrailersOnly) {
  craft::Chunk chunk(volumePath, 12, kVolumeBlock);
  chunk.Add(0, 100, 10, 1);
  chunk.SetNFile("n");
  chunk.Write();
  chunk.WriteTrailer("11");
  craft::WriteFile(path_append(chunk.Dir(), "chunk_lower_case"), "x");
  craft::WriteFile(path_append(volumePath, "CHUNKY.idx.bak"), "x");

  auto store = MakeRestore();
  ASSERT_EQ(0, store->InitCatalogOperationOnMedia(0));
  std::vector<std::string> lines = Lines("ChunkCollectFile.Txt");
  std::sort(lines.begin(), lines.end());
  const std::vector<std::string> expected{
      path_append(volumePath, "CHUNKMAP_TRAILER_12"),
      chunk.MetaPath(),
  };
  EXPECT_EQ(expected, lines);

  ASSERT_EQ(0, store->InitCatalogOperationOnMedia(7));
  EXPECT_TRUE(std::filesystem::exists(CollectFile("7_ChunkCollectFile.Txt")));
  ASSERT_EQ(0, store->InitCatalogOperationOnMedia(-3));
  EXPECT_TRUE(std::filesystem::exists(CollectFile("-3_ChunkCollectFile.Txt")));
}

TEST_F(CatalogTest, TheReaderModeRestoresEveryListedChunk) {
  std::map<std::string, std::string> expected;  // path -> bytes
  for (uint64_t id : {3, 4, 5}) {
    craft::Chunk chunk(volumePath, id, kVolumeBlock);
    for (int i = 0; i < 5; ++i) chunk.Add(0, 1000 * id + i, 300 + i * 7, id * 10 + i);
    chunk.Write();
    chunk.WriteTrailer("11.0." + std::to_string(id));
    expected[chunk.MetaPath()] = chunk.MetaBytes();
    expected[path_append(volumePath, SingleInstancer_FS::GetChunkMapTrailerName(id))] =
        craft::ChunkMapTrailer(id, "11.0." + std::to_string(id), kVolumeBlock);
  }
  auto reader = MakeReader();
  ASSERT_EQ(0, reader->InitCatalogOperation(0));
  std::set<std::string> seen;
  for (size_t i = 0; i < expected.size(); ++i) {
    std::string bytes;
    ASSERT_EQ(0, ReadNextListed(*reader, bytes));
    const std::string listed = Lines("ChunkCollectFile.Txt")[i];
    EXPECT_EQ(expected[listed], bytes) << listed;
    seen.insert(listed);
  }
  EXPECT_EQ(expected.size(), seen.size());
  std::string none;
  EXPECT_EQ(-1, ReadNextListed(*reader, none));
  EXPECT_EQ(kMFSErrChunkCollectExhausted, reader->MediaFSGetLastError());
}

TEST_F(CatalogTest, ReaderModeFailuresWithoutAUsableList) {
  auto reader = MakeReader();
  std::string bytes;
  EXPECT_EQ(-1, ReadNextListed(*reader, bytes));
  EXPECT_EQ(kMFSErrNoChunkCollectFile, reader->MediaFSGetLastError());

  ASSERT_EQ(0, reader->InitCatalogOperation(0));  // a volume without a single chunk
  EXPECT_EQ(-1, ReadNextListed(*reader, bytes));
  EXPECT_EQ(kMFSErrChunkCollectExhausted, reader->MediaFSGetLastError());

  std::filesystem::remove_all(volumePath);
  EXPECT_EQ(-1, reader->InitCatalogOperation(0));
  EXPECT_EQ(kMFSErrMountPathWalkFailed, reader->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("Failed to traverse the mount path [" + volumePath + "] "));
}

TEST_F(CatalogTest, APathLongerThanAnyLineBufferIsOpenedWhole) {
  std::string deep = volumePath;
  for (int i = 0; i < 12; ++i) deep = path_append(deep, std::string(100, static_cast<char>('a' + i)));
  const std::string file = path_append(deep, "CHUNK_META_DATA_1");
  craft::WriteFile(file, "the metadata of a deep chunk");
  ASSERT_GT(file.size(), 1100u);

  auto reader = MakeReader();
  ASSERT_EQ(0, reader->InitCatalogOperation(0));
  std::string bytes;
  ASSERT_EQ(0, ReadNextListed(*reader, bytes));
  EXPECT_EQ("the metadata of a deep chunk", bytes);
}

TEST_F(CatalogTest, AListThatCannotBeWrittenWholeFailsThePass) {
  for (uint64_t id = 1; id <= 200; ++id) craft::WriteFile(path_append(volumePath, "CHUNKMAP_TRAILER_" + std::to_string(id)), "t");
  // Writes to the collect file end on a full device.
  ASSERT_EQ(0, symlink("/dev/full", CollectFile("ChunkCollectFile.Txt").c_str()));
  auto store = MakeRestore();
  EXPECT_EQ(-1, store->InitCatalogOperationOnMedia(0));
  EXPECT_EQ(kMFSErrMountPathWalkFailed, store->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("Failed to traverse the mount path [" + volumePath + "] "));
  EXPECT_EQ(nullptr, store->m_fpChunkCollectFile);
}

TEST_F(CatalogTest, EveryStreamOfTheCollectFileIsClosed) {
  craft::WriteFile(path_append(volumePath, "CHUNKMAP_TRAILER_1"), "t");
  const int before = OpenDescriptors();
  {
    auto store = MakeRestore();
    for (int pass = 0; pass < 5; ++pass) ASSERT_EQ(0, store->InitCatalogOperationOnMedia(0));
    EXPECT_NE(nullptr, store->m_fpChunkCollectFile);
  }
  EXPECT_EQ(before, OpenDescriptors());
}

}  // namespace
