// The chunk catalog and the reader mode: the chunk collect file that a catalog writes in the working
// folder, the files a reader then opens one after the other, and catalogs that cannot be written.

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "disk_media_fixture.h"

namespace {

class RealMagneticCatalogTest : public DiskMediaTest {
 protected:
  void SetUp() override {
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
    oldCwd = cwd;
    work = dir.path() + "/work";
    ASSERT_EQ(0, mkdir(work.c_str(), 0755));
    ASSERT_EQ(0, chdir(work.c_str()));
  }
  void TearDown() override { ASSERT_EQ(0, chdir(oldCwd.c_str())); }

  std::unique_ptr<DiskMedia> Reader() {
    auto media = Make();
    EXPECT_EQ(0, media->Init(Params(0, kMediaTypeReader), false));
    return media;
  }

  void MakeFile(const std::string& relative, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(Path(relative)).parent_path());
    std::ofstream(Path(relative), std::ios::binary) << text;
  }

  // Opens the next catalogued file with archive file id 0 and reads it whole: its bytes, or "".
  static std::string OpenNext(DiskMedia& media, size_t size) {
    const MediaFSArchiveFileId_t next = Id(CHUNK, 0);
    if (media.Open(&next, false) != 0) return "";
    std::string out(size, '\0');
    const int got = media.Read(out.data(), size);
    media.Close();
    return got == static_cast<int>(size) ? out : "";
  }

  static long long OpenDescriptors() {
    long long n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) n += e.path().empty() ? 0 : 1;
    return n;
  }

  std::string oldCwd;
  std::string work;
};

TEST_F(RealMagneticCatalogTest, CatalogFileNames) {
  auto media = Reader();
  for (const auto& [n, name] : std::vector<std::pair<int, std::string>>{
           {0, "ChunkCollectFile.Txt"}, {7, "7_ChunkCollectFile.Txt"}, {-2, "-2_ChunkCollectFile.Txt"}}) {
    EXPECT_EQ(0, media->InitCatalogOperation(n));
    EXPECT_TRUE(std::filesystem::exists(work + "/" + name)) << name;
  }
}

// Every file whose name begins with "CHUNK", at any depth; no folder, no other file.
TEST_F(RealMagneticCatalogTest, ListsChunkFilesAtEveryDepthAndTheReaderOpensThemInTurn) {
  MakeFile("CHUNK_1", std::string(300, 'a'));
  MakeFile("CHUNKMAP_TRAILER_1", std::string(200, 't'));
  MakeFile("MEDIA_TRAILER", "m");
  MakeFile("chunk_lower", "l");
  MakeFile("AF_2/CHUNK_5", std::string(100, 'f'));
  std::filesystem::create_directories(Path("CHUNK_FOLDER"));

  auto media = Reader();
  ASSERT_EQ(0, media->InitCatalogOperation(0));
  EXPECT_EQ(Path("AF_2/CHUNK_5") + "\n" + Path("CHUNKMAP_TRAILER_1") + "\n" + Path("CHUNK_1") + "\n",
            FileBytes(work + "/ChunkCollectFile.Txt"));

  // The reader mode reads each without a size check, then finds the list used up.
  EXPECT_EQ(std::string(100, 'f'), OpenNext(*media, 100));
  EXPECT_EQ(std::string(200, 't'), OpenNext(*media, 200));
  EXPECT_EQ(std::string(300, 'a'), OpenNext(*media, 300));
  const MediaFSArchiveFileId_t next = Id(CHUNK, 0);
  EXPECT_EQ(-1, media->Open(&next, false));
  EXPECT_EQ(kMFSErrChunkCollectExhausted, media->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("Reached the end of all the data on the magnetic mountpath [" + mountPath + "] "));
  EXPECT_TRUE(platform::Jobs().events.empty());

  // An id of its own opens its file and leaves the list where it is.
  MediaFSArchiveFileId_t own = Id(CHUNK, 1, 12345);
  own.iArchFileId = 4;
  ASSERT_EQ(0, media->Open(&own, false));
  EXPECT_EQ(media->m_pFile->GetFileName(), Path("CHUNK_1"));
}

TEST_F(RealMagneticCatalogTest, RunningAgainListsTheFolderAnewAndClosesTheOldList) {
  MakeFile("CHUNK_1", "1");
  auto media = Reader();
  ASSERT_EQ(0, media->InitCatalogOperation(3));
  const long long descriptors = OpenDescriptors();
  MakeFile("CHUNK_2", "2");
  for (int i = 0; i < 5; ++i) ASSERT_EQ(0, media->InitCatalogOperation(3));
  EXPECT_EQ(descriptors, OpenDescriptors());
  EXPECT_EQ(Path("CHUNK_1") + "\n" + Path("CHUNK_2") + "\n", FileBytes(work + "/3_ChunkCollectFile.Txt"));
}

TEST_F(RealMagneticCatalogTest, EmptyMountPathGivesAnEmptyList) {
  auto media = Reader();
  ASSERT_EQ(0, media->InitCatalogOperation(0));
  EXPECT_EQ("", FileBytes(work + "/ChunkCollectFile.Txt"));
  const MediaFSArchiveFileId_t next = Id(CHUNK, 0);
  EXPECT_EQ(-1, media->Open(&next, false));
  EXPECT_EQ(kMFSErrChunkCollectExhausted, media->MediaFSGetLastError());
}

// Lines are taken whole, whatever their length, without their line end.
TEST_F(RealMagneticCatalogTest, LinesAreReadWhole) {
  std::string deep = mountPath;
  while (deep.size() < 1500) deep += "/" + std::string(200, 'd');
  MakeFile(deep.substr(mountPath.size() + 1) + "/CHUNK_9", "deep");
  MakeFile("CHUNK_1", "one");
  auto media = Reader();
  const std::string list = Path("CHUNK_1") + "\r\n" + deep + "/CHUNK_9\n";
  media->m_pCatalogFile = fmemopen(const_cast<char*>(list.data()), list.size(), "r");
  ASSERT_NE(nullptr, media->m_pCatalogFile);
  EXPECT_EQ("one", OpenNext(*media, 3));
  EXPECT_EQ("deep", OpenNext(*media, 4));
  EXPECT_EQ("", OpenNext(*media, 1));
  EXPECT_EQ(kMFSErrChunkCollectExhausted, media->MediaFSGetLastError());
  std::fclose(media->m_pCatalogFile);
  media->m_pCatalogFile = nullptr;
}

TEST_F(RealMagneticCatalogTest, ReaderWithoutAListFails) {
  auto media = Reader();
  const MediaFSArchiveFileId_t next = Id(CHUNK, 0);
  EXPECT_EQ(-1, media->Open(&next, false));
  EXPECT_EQ(kMFSErrNoChunkCollectFile, media->MediaFSGetLastError());
}

// A walk that fails or a list that cannot be written (a full disk) fails the catalog: no reader
// goes on with chunks silently missing.
TEST_F(RealMagneticCatalogTest, UnwritableOrUnwalkableCatalogFails) {
  struct Case {
    const char* name;
    int files;        // chunk files on the mount path
    bool fullDisk;    // the list lands on a full device
    bool removePath;  // the mount path is gone
  };
  const Case cases[] = {
      {"a few lines, lost when the list is closed", 2, true, false},
      {"many lines, lost while the walk writes", 400, true, false},
      {"the walk fails", 1, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(mountPath);
    std::filesystem::remove(work + "/ChunkCollectFile.Txt");
    for (int i = 0; i < c.files; ++i) MakeFile("CHUNK_" + std::string(40, 'x') + std::to_string(i), "c");
    if (c.fullDisk) {
      ASSERT_EQ(0, symlink("/dev/full", (work + "/ChunkCollectFile.Txt").c_str()));
    }
    auto media = Reader();
    if (c.removePath) std::filesystem::remove_all(mountPath);
    EXPECT_EQ(-1, media->InitCatalogOperation(0));
    EXPECT_EQ(kMFSErrMountPathWalkFailed, media->MediaFSGetLastError());
    EXPECT_TRUE(platform::LogContains("Failed to traverse the mount path [" + mountPath + "] "));
    EXPECT_EQ(nullptr, media->m_pCatalogFile);
    const MediaFSArchiveFileId_t next = Id(CHUNK, 0);
    EXPECT_EQ(-1, media->Open(&next, false));
    EXPECT_EQ(kMFSErrNoChunkCollectFile, media->MediaFSGetLastError());
  }
}

TEST_F(RealMagneticCatalogTest, CatalogThatCannotBeCreatedFails) {
  ASSERT_EQ(0, mkdir((work + "/ChunkCollectFile.Txt").c_str(), 0755));  // a folder in its place
  auto media = Reader();
  EXPECT_EQ(-1, media->InitCatalogOperation(0));
  EXPECT_EQ(kMFSErrChunkCollectCreateFailed, media->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("Failed to create and open a the chunk collect file [ChunkCollectFile.Txt] "));
}

}  // namespace
