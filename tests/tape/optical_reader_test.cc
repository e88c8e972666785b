// The optical disk media's reader mode: the catalog that lists the chunk files of a folder tree in
// the chunk collect file of the working folder, the opens that take its lines in order, and the
// catalogs and lists that cannot be used.

#include <unistd.h>

#include <cstdio>

#include "optical_fixture.h"

namespace {

using namespace opticaltest;

class OpticalReader : public OpticalTest {
 protected:
  void SetUp() override {
    OpticalTest::SetUp();
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
    oldCwd = cwd;
    work = dir / "work";
    std::filesystem::create_directories(work);
    ASSERT_EQ(0, chdir(work.c_str()));
  }
  void TearDown() override { ASSERT_EQ(0, chdir(oldCwd.c_str())); }

  void MakeFile(const std::string& relative, const std::string& text) {
    const std::string path = disk + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }

  std::unique_ptr<OpticalUnderTest> Reader() {
    return Start(0, kMediaTypeReader, kMediaTypeReader);
  }

  // Opens the next listed file (archive file id 0) and reads it whole: its bytes, or "".
  static std::string OpenNext(OpticalUnderTest& media, size_t size) {
    const MediaFSArchiveFileId_t next = Id(CHUNK, 0);
    if (media.Open(&next, false) != 0) return "";
    std::string out(size, '\0');
    const int got = media.Read(out.data(), size);
    media.Close();
    return got == static_cast<int>(size) ? out : "";
  }

  std::string oldCwd;
  std::string work;
};

// Below the start only entries whose names begin with "CHUNK" are listed or entered: a "CHUNK"
// folder is walked, any other folder is not, and links are left out.
TEST_F(OpticalReader, CatalogOfAFolderTree) {
  MakeFile("CHUNK_1", std::string(300, 'a'));
  MakeFile("CHUNK_DIR/CHUNK_2", std::string(200, 'b'));
  MakeFile("CHUNK_DIR/other", "o");
  MakeFile("CHUNK_DIR/CHUNK_SUB/CHUNK_3", std::string(100, 'c'));
  MakeFile("AF_1/CHUNK_4", "not listed");
  MakeFile("MEDIA_HEADER", "h");
  ASSERT_EQ(0, symlink((disk + "/CHUNK_1").c_str(), (disk + "/CHUNK_LINK").c_str()));

  auto media = Reader();
  ASSERT_EQ(0, media->InitCatalogOperation(0));
  std::string list = FileBytes(work + "/ChunkCollectFile.Txt");
  std::vector<std::string> lines;
  for (size_t at = 0; at < list.size();) {
    const size_t end = list.find('\n', at);
    lines.push_back(list.substr(at, end - at));
    at = end + 1;
  }
  std::vector<std::string> sorted = lines;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ((std::vector<std::string>{disk + "/CHUNK_1", disk + "/CHUNK_DIR/CHUNK_2",
                                      disk + "/CHUNK_DIR/CHUNK_SUB/CHUNK_3"}),
            sorted);
  // The catalog's own drive object, for the catalog's media type.
  EXPECT_EQ(20020, platform::OpticalLibrary().CallsOf("instance").back().args[0]);

  // The opens take the lines in order, then find the list used up.
  for (const std::string& line : lines) {
    const size_t size = line.back() == '1' ? 300 : line.back() == '2' ? 200 : 100;
    EXPECT_EQ(FileBytes(line), OpenNext(*media, size)) << line;
  }
  const MediaFSArchiveFileId_t next = Id(CHUNK, 0);
  EXPECT_EQ(-1, media->Open(&next, false));
  EXPECT_EQ(kMFSErrChunkCollectExhausted, media->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("Reached the end of all the data on the magnetic mountpath [" + disk + "] "));

  // A regular file as the start is listed itself, whatever its name.
  std::filesystem::remove(work + "/7_ChunkCollectFile.Txt");
  auto single = std::make_unique<OpticalUnderTest>(&job, kMediaType);
  ASSERT_EQ(0, single->Init(Params(0, kMediaTypeReader), false));
  single->SetPath((disk + "/MEDIA_HEADER").c_str());
  platform::OpticalLibrary().AddDrive(disk + "/MEDIA_HEADER");
  ASSERT_EQ(0, single->InitCatalogOperation(7));
  EXPECT_EQ(disk + "/MEDIA_HEADER\n", FileBytes(work + "/7_ChunkCollectFile.Txt"));
}

// Lines are taken whole, without their line feed or carriage return; one longer than a name may
// be fails the open instead of opening another file.
TEST_F(OpticalReader, LinesOfTheList) {
  MakeFile("CHUNK_1", "one");
  MakeFile("CHUNK_2", "two");
  auto media = Reader();
  const std::string list = disk + "/CHUNK_1\r\n" + disk + "/CHUNK_2\n" + disk + "/" + std::string(1100, 'x') +
                           "\n" + disk + "/CHUNK_1";
  media->m_pCatalogFile = fmemopen(const_cast<char*>(list.data()), list.size(), "r");
  ASSERT_NE(nullptr, media->m_pCatalogFile);
  EXPECT_EQ("one", OpenNext(*media, 3));
  EXPECT_EQ("two", OpenNext(*media, 3));
  EXPECT_EQ("", OpenNext(*media, 1));
  EXPECT_EQ(MMS2BaseError::ConvertToMMError(static_cast<unsigned int>(ENAMETOOLONG)), media->MediaFSGetLastError());
  EXPECT_EQ("one", OpenNext(*media, 3));  // no final line feed
  EXPECT_EQ("", OpenNext(*media, 1));
  EXPECT_EQ(kMFSErrChunkCollectExhausted, media->MediaFSGetLastError());
  std::fclose(media->m_pCatalogFile);
  media->m_pCatalogFile = nullptr;
}

// Every way a list cannot be had or read fails with its own code.
TEST_F(OpticalReader, ListsThatCannotBeUsed) {
  MakeFile("CHUNK_1", "one");
  const MediaFSArchiveFileId_t next = Id(CHUNK, 0);

  // No catalog: no list to read.
  auto media = Reader();
  EXPECT_EQ(-1, media->Open(&next, false));
  EXPECT_EQ(kMFSErrNoChunkCollectFile, media->MediaFSGetLastError());

  // A list that cannot be read.
  media->m_pCatalogFile = std::fopen((work + "/unreadable").c_str(), "w");
  EXPECT_EQ(-1, media->Open(&next, false));
  EXPECT_EQ(kMFSErrChunkCollectLineUnreadable, media->MediaFSGetLastError());
  std::fclose(media->m_pCatalogFile);
  media->m_pCatalogFile = nullptr;

  // The catalog's drive object cannot be used.
  DriveSetup().invalidCode = 764;
  EXPECT_EQ(-1, media->InitCatalogOperation(0));
  EXPECT_EQ(kMFSErrChunkCollectCreateFailed, media->MediaFSGetLastError());
  EXPECT_FALSE(std::filesystem::exists(work + "/ChunkCollectFile.Txt"));
  DriveSetup().invalidCode = 0;

  // The list cannot be created.
  ASSERT_EQ(0, mkdir((work + "/ChunkCollectFile.Txt").c_str(), 0755));
  EXPECT_EQ(-1, media->InitCatalogOperation(0));
  EXPECT_EQ(kMFSErrChunkCollectCreateFailed, media->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("Failed to create and open a the chunk collect file [ChunkCollectFile.Txt]"));
  std::filesystem::remove(work + "/ChunkCollectFile.Txt");

  // The list cannot be written whole: the walk fails.
  ASSERT_EQ(0, symlink("/dev/full", (work + "/ChunkCollectFile.Txt").c_str()));
  EXPECT_EQ(-1, media->InitCatalogOperation(0));
  EXPECT_EQ(kMFSErrMountPathWalkFailed, media->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("Failed to traverse the mount path [" + disk + "] "));
  EXPECT_EQ(-1, media->Open(&next, false));
  EXPECT_EQ(kMFSErrNoChunkCollectFile, media->MediaFSGetLastError());
  std::filesystem::remove(work + "/ChunkCollectFile.Txt");

  // The disk's folder cannot be read to its end: the walk fails rather than leave a short list.
  platform::Faults().Add(platform::FaultRule{platform::FsOp::ReadDir, disk, 2, 1, EIO, -1});
  EXPECT_EQ(-1, media->InitCatalogOperation(0));
  EXPECT_EQ(kMFSErrMountPathWalkFailed, media->MediaFSGetLastError());
  EXPECT_TRUE(platform::LogContains("Failed to read the directory [" + disk + "], error="));
  EXPECT_EQ(-1, media->Open(&next, false));

  // The list is gone before it can be read back.
  EXPECT_EQ(-1, media->BuildChunkCollectFile(
                    0, media->m_pCatalogFile,
                    [&] {
                      const int rc = media->TraverseMountPathDirectory(disk);
                      std::filesystem::remove(work + "/ChunkCollectFile.Txt");
                      return rc;
                    },
                    "Failed to create and open a the chunk collect file [%s]"));
  EXPECT_EQ(kMFSErrChunkCollectReopenFailed, media->MediaFSGetLastError());

  // And the catalog works again once the working folder is sound.
  EXPECT_EQ(0, media->InitCatalogOperation(0));
  EXPECT_EQ("one", OpenNext(*media, 3));
}

}  // namespace
