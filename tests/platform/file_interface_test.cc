// The disk kind of the file-system layer over real files, and the layer's factories.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_file.h"
#include "temp_dir.h"

namespace {

std::unique_ptr<CFileInterface> NewFile(int type = kFSTypeDisk) {
  CFSInitParams params;
  params.m_Type = type;
  return std::unique_ptr<CFileInterface>(CFileInterface::GetFileInterfaceInstance(params));
}

std::unique_ptr<CFSInterface> NewFS(int type = kFSTypeDisk) {
  CFSInitParams params;
  params.m_Type = type;
  return std::unique_ptr<CFSInterface>(CFSInterface::GetFSInterfaceInstance(params));
}

// Records what reaches Open, so OpenEx's forwarding shows.
class RecordingFile : public CPosixFile {
 public:
  CXoError Open(std::string path, int flags, int mode, int reserved) override {
    opens.push_back({path, flags, mode, reserved});
    return CPosixFile::Open(path, flags, mode, reserved);
  }
  struct Call {
    std::string path;
    int flags, mode, reserved;
  };
  std::vector<Call> opens;
};

TEST(FileInterface, OpenExCallsOpenWithoutItsOption) {
  TempDir dir;
  RecordingFile file;
  std::string path = dir / "a";
  ASSERT_TRUE(file.OpenEx(path, O_RDWR | O_CREAT, 0600, 3, 4).IsSuccess());
  ASSERT_EQ(1u, file.opens.size());
  EXPECT_EQ(path, file.opens[0].path);
  EXPECT_EQ(O_RDWR | O_CREAT, file.opens[0].flags);
  EXPECT_EQ(0600, file.opens[0].mode);
  EXPECT_EQ(3, file.opens[0].reserved);
  EXPECT_TRUE(file.IsValid());

  // The counters' defaults.
  EXPECT_EQ(0u, file.GetUploadedMB());
  EXPECT_EQ(0u, file.GetDownloadedMB());
}

TEST(FileInterface, FactoriesByStorageType) {
  EXPECT_NE(nullptr, dynamic_cast<CPosixFile*>(NewFile(kFSTypeDisk).get()));
  EXPECT_NE(nullptr, dynamic_cast<CDataServerFile*>(NewFile(kFSTypeDataServerIP).get()));
  for (int type : {1, 5, 6}) EXPECT_NE(nullptr, dynamic_cast<CPosixFile*>(NewFile(type).get())) << type;
  EXPECT_NE(nullptr, dynamic_cast<CHybridFile*>(NewFile(kFSTypeCloudCached).get()));
  for (int type : {-1, 3, 8, 1000}) {
    EXPECT_EQ(nullptr, NewFile(type)) << type;
    EXPECT_EQ(nullptr, NewFS(type)) << type;
  }
  CFSInitParams params;
  params.m_Type = kFSTypeDataServerIP;
  params.m_Host.m_HostName = "nas01";
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
  ASSERT_NE(nullptr, fs);
  EXPECT_EQ("nas01", fs->GetInitParams().m_Host.m_HostName);  // a copy of the caller's record
  EXPECT_EQ(kFSTypeDataServerIP, fs->GetType());
  params.m_MountPathId = 12;
  std::unique_ptr<CFileInterface> file(CFileInterface::GetFileInterfaceInstance(params));
  ASSERT_NE(nullptr, file);
  EXPECT_EQ(12, file->GetInitParams().m_MountPathId);  // file interfaces keep their copy too
  EXPECT_EQ(kFSTypeDataServerIP, file->GetType());
}

TEST(FileInterface, ReadIsShortOnlyAtEndOfFileAndWriteIsWhole) {
  TempDir dir;
  auto file = NewFile();
  std::string path = dir / "data";
  // The layer's own bits are stripped before open(2); O_DIRECTORY would fail on a new file.
  ASSERT_TRUE(file->Open(path, O_RDWR | O_CREAT | O_TRUNC | O_LARGEFILE | kFSOpenLayerFlags, 0600, 0).IsSuccess());
  std::vector<char> block(300000);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i % 251);
  unsigned int done = 0;
  ASSERT_TRUE(file->Write(block.data(), static_cast<unsigned>(block.size()), &done).IsSuccess());
  EXPECT_EQ(block.size(), done);
  ASSERT_TRUE(file->Flush().IsSuccess());

  unsigned long long size = 0;
  ASSERT_TRUE(file->Size(size).IsSuccess());
  EXPECT_EQ(block.size(), size);

  CXoFile::offset at = -1;
  ASSERT_TRUE(file->Seek(1000, SEEK_SET, &at).IsSuccess());
  EXPECT_EQ(1000, at);
  std::vector<char> back(block.size());
  ASSERT_TRUE(file->Read(back.data(), 200000, &done).IsSuccess());
  EXPECT_EQ(200000u, done);
  EXPECT_EQ(0, memcmp(back.data(), block.data() + 1000, 200000));
  ASSERT_TRUE(file->Tell(at).IsSuccess());
  EXPECT_EQ(201000, at);
  ASSERT_TRUE(file->Read(back.data(), 200000, &done).IsSuccess());
  EXPECT_EQ(block.size() - 201000, done);  // the end of the file
  ASSERT_TRUE(file->Read(back.data(), 10, &done).IsSuccess());
  EXPECT_EQ(0u, done);

  ASSERT_TRUE(file->Truncate(4096).IsSuccess());
  ASSERT_TRUE(file->Size(size).IsSuccess());
  EXPECT_EQ(4096u, size);
  EXPECT_EQ(path, file->GetFileName());
  ASSERT_TRUE(file->Close().IsSuccess());
  EXPECT_FALSE(file->IsValid());
  EXPECT_TRUE(file->Close().IsSuccess());  // nothing open: nothing to do
}

TEST(FileInterface, SecondOpenReplacesTheFirst) {
  TempDir dir;
  auto file = NewFile();
  std::string path = dir / "ReadWriteTest.txt";
  ASSERT_TRUE(file->Open(path, O_RDWR | O_CREAT | O_TRUNC, 070, 0).IsSuccess());
  unsigned int done = 0;
  ASSERT_TRUE(file->Write("OZMEDIALABEL", 13, &done).IsSuccess());
  int first = file->GetFD();
  ASSERT_TRUE(file->Open(path, O_RDWR, 070, 0).IsSuccess());
  char buffer[256];
  ASSERT_TRUE(file->Read(buffer, sizeof(buffer), &done).IsSuccess());
  EXPECT_EQ(13u, done);
  // The first descriptor was closed: its number is free, or the second open reused it.
  EXPECT_TRUE(first == file->GetFD() || fcntl(first, F_GETFD) == -1);
}

TEST(FileInterface, DrillHoleFreesBlocksAndKeepsSize) {
  TempDir dir;
  auto file = NewFile();
  auto fs = NewFS();
  std::string path = dir / "container";
  ASSERT_TRUE(file->Open(path, O_RDWR | O_CREAT, 0600, 0).IsSuccess());
  std::vector<char> data(1 << 20, 'x');
  unsigned int done = 0;
  ASSERT_TRUE(file->Write(data.data(), static_cast<unsigned>(data.size()), &done).IsSuccess());
  ASSERT_TRUE(file->Flush().IsSuccess());
  FSPathInfo before, after;
  ASSERT_TRUE(fs->GetPathInfo(path, before).IsSuccess());
  CXoError e = file->DrillHole(65536, 512 * 1024);
  if (FXErrorUtil::IsErrNo(e, EOPNOTSUPP)) GTEST_SKIP() << "this file system cannot punch holes";
  ASSERT_TRUE(e.IsSuccess()) << e.AsString();
  ASSERT_TRUE(fs->GetPathInfo(path, after).IsSuccess());
  EXPECT_EQ(before.size, after.size);
  EXPECT_LE(after.allocatedBytes + 512 * 1024, before.allocatedBytes);
  // The hole reads back as zeros.
  char buffer[16];
  ASSERT_TRUE(file->Seek(65536, SEEK_SET, nullptr).IsSuccess());
  ASSERT_TRUE(file->Read(buffer, sizeof(buffer), &done).IsSuccess());
  EXPECT_EQ(std::string(16, '\0'), std::string(buffer, 16));
  EXPECT_TRUE(file->DrillHole(0, 0).IsSuccess());
}

TEST(FileInterface, LocksOfTwoObjectsConflict) {
  TempDir dir;
  std::string path = dir / "SFILE_CONTAINER.idx";
  auto a = NewFile();
  auto b = NewFile();
  ASSERT_TRUE(a->Open(path, O_RDWR | O_CREAT, 0600, 0).IsSuccess());
  ASSERT_TRUE(b->Open(path, O_RDWR, 0600, 0).IsSuccess());
  ASSERT_TRUE(a->LockFile(true).IsSuccess());
  EXPECT_TRUE(b->LockFile(true).IsSuccess());  // readers share
  ASSERT_TRUE(b->UnlockFile().IsSuccess());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(b->LockFile(false), EAGAIN));  // a writer waits for no one
  ASSERT_TRUE(a->UnlockFile().IsSuccess());
  EXPECT_TRUE(b->LockFile(false).IsSuccess());
  EXPECT_TRUE(a->UnlockFile().IsSuccess());  // nothing held: still fine
}

TEST(FileInterface, DataServerLocksAreRecordedAndConflictInProcess) {
  TempDir dir;
  std::string path = dir / "SFILE_CONTAINER.idx";
  auto a = NewFile(kFSTypeDataServerIP);
  auto b = NewFile(kFSTypeDataServerIP);
  ASSERT_TRUE(a->Open(path, O_RDWR | O_CREAT, 0600, 0).IsSuccess());
  ASSERT_TRUE(b->Open(path, O_RDWR, 0600, 0).IsSuccess());
  ASSERT_TRUE(a->LockFile(true).IsSuccess());
  EXPECT_TRUE(b->LockFile(true).IsSuccess());
  ASSERT_TRUE(b->UnlockFile().IsSuccess());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(b->LockFile(false), EAGAIN));
  ASSERT_TRUE(a->Close().IsSuccess());  // closing releases the lock
  EXPECT_TRUE(b->LockFile(false).IsSuccess());
  std::vector<std::string> expected = {
      "DSLock " + path + " shared", "DSLock " + path + " shared", "DSUnlock " + path,
      "DSLock " + path + " exclusive", "DSLock " + path + " exclusive",
  };
  EXPECT_EQ(expected, platform::RemoteStorage().calls);
}

int CollectEntry(const std::string& folder, const std::string& name, bool isFolder, void* context) {
  auto* seen = static_cast<std::vector<std::string>*>(context);
  seen->push_back(folder.substr(folder.rfind('/') + 1) + "/" + name + (isFolder ? "/" : ""));
  return name == "stop" ? -5 : 0;
}

// The names-only listing and the walk with a batch size, on disk and on the cloud store (where
// an object still being uploaded is no entry): the same entries as the full forms, whatever the
// batch; a failed listing leaves the caller's lists as they were.
TEST(FileSystemInterface, NameListsAndBatchedWalksInEveryKind) {
  for (int type : {int{kFSTypeDisk}, int{kFSTypeCloud}}) {
    SCOPED_TRACE(type);
    TempDir dir;
    CFSInitParams params;
    params.m_Type = type;
    params.m_Host.m_Path = dir.path();
    std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
    const std::string volume = dir / "V_1";
    ASSERT_TRUE(fs->CreateDirectory(volume + "/CHUNK_3", true).IsSuccess());
    ASSERT_TRUE(fs->CreateDirectory(volume + "/CHUNK_2", true).IsSuccess());
    for (const char* name : {"stop", ".prunable", "CHUNKMAP_TRAILER_2"}) {
      std::unique_ptr<CFileInterface> file(CFileInterface::GetFileInterfaceInstance(params));
      ASSERT_TRUE(file->Open(volume + "/" + name, O_WRONLY | O_CREAT, 0600, 0).IsSuccess());
      ASSERT_TRUE(file->Close().IsSuccess());
    }
    std::unique_ptr<CFileInterface> upload(CFileInterface::GetFileInterfaceInstance(params));
    ASSERT_TRUE(upload->Open(volume + "/pending", O_WRONLY | O_CREAT, 0600, 0).IsSuccess());  // open: not yet an object on the cloud

    const std::vector<std::string> files = {".prunable", "CHUNKMAP_TRAILER_2", "stop"};
    const std::vector<std::string> filesWithPending = {".prunable", "CHUNKMAP_TRAILER_2", "pending", "stop"};
    for (int batch : {-1, 0, 1, 100}) {
      std::vector<std::string> fileNames, folderNames;
      CXoError e = batch < 0 ? fs->GetDirContents(volume, fileNames, folderNames)
                             : fs->GetDirContents(volume, fileNames, folderNames, batch);
      ASSERT_TRUE(e.IsSuccess()) << e.AsString();
      EXPECT_EQ(type == kFSTypeCloud ? files : filesWithPending, fileNames);
      EXPECT_EQ((std::vector<std::string>{"CHUNK_2", "CHUNK_3"}), folderNames);
    }
    for (int count : {0, 1, 10}) {
      std::vector<std::string> seen;
      CXoError stopped = fs->WalkDirectory(volume, &seen, 0, true, CollectEntry, count);
      EXPECT_EQ(-5, stopped.Code());
      EXPECT_EQ("V_1/stop", seen.back());
    }
    std::vector<std::string> kept = {"x"}, keptFolders = {"y"};
    EXPECT_TRUE(fs->GetDirContents(dir / "missing", kept, keptFolders, 100).IsFailure());
    EXPECT_EQ(std::vector<std::string>{"x"}, kept);
    EXPECT_EQ(std::vector<std::string>{"y"}, keptFolders);
    ASSERT_TRUE(upload->Close().IsSuccess());
  }
}

TEST(FileSystemInterface, FoldersWalksAndFreeSpace) {
  TempDir dir;
  auto fs = NewFS();
  std::string root = dir / "OZ_MAGNETIC";
  ASSERT_TRUE(fs->CreateDirectory(root + "/V_1/CHUNK_2", true).IsSuccess());
  EXPECT_TRUE(fs->CreateDirectory(root + "/V_1", false).IsSuccess());  // exists already
  EXPECT_TRUE(FXErrorUtil::IsErrNo(fs->CreateDirectory(root + "/X/Y", false), ENOENT));
  auto file = NewFile();
  ASSERT_TRUE(file->Open(root + "/V_1/CHUNK_2/meta", O_WRONLY | O_CREAT, 0600, 0).IsSuccess());
  ASSERT_TRUE(file->Close().IsSuccess());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(fs->CreateDirectory(root + "/V_1/CHUNK_2/meta", false), ENOTDIR));

  std::vector<std::string> seen;
  ASSERT_TRUE(fs->WalkDirectory(root, &seen, -1, false, CollectEntry).IsSuccess());
  EXPECT_EQ((std::vector<std::string>{"OZ_MAGNETIC/V_1/", "V_1/CHUNK_2/", "CHUNK_2/meta"}), seen);
  seen.clear();
  ASSERT_TRUE(fs->WalkDirectory(root, &seen, 0, false, CollectEntry).IsSuccess());
  EXPECT_EQ(std::vector<std::string>{"OZ_MAGNETIC/V_1/"}, seen);
  seen.clear();
  ASSERT_TRUE(fs->WalkDirectory(root, &seen, -1, true, CollectEntry).IsSuccess());
  EXPECT_EQ(std::vector<std::string>{"CHUNK_2/meta"}, seen);

  // A negative callback result ends the walk and comes back as the walk's error.
  ASSERT_TRUE(file->Open(root + "/V_1/stop", O_WRONLY | O_CREAT, 0600, 0).IsSuccess());
  seen.clear();
  CXoError stopped = fs->WalkDirectory(root, &seen, -1, true, CollectEntry);
  EXPECT_EQ(-5, stopped.Code());
  EXPECT_EQ(std::vector<std::string>({"CHUNK_2/meta", "V_1/stop"}), seen);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(fs->WalkDirectory(dir / "missing", &seen, 0, false, CollectEntry), ENOENT));

  std::vector<FSDirEntry> entries;
  ASSERT_TRUE(fs->GetDirContents(root + "/V_1", entries).IsSuccess());
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ("CHUNK_2", entries[0].name);
  EXPECT_TRUE(entries[0].isFolder);
  EXPECT_EQ("stop", entries[1].name);

  // A folder that cannot be read to its end fails the walk and the listing; neither hands back
  // the entries read before the failure.
  for (const char* what : {"walk", "list"}) {
    SCOPED_TRACE(what);
    platform::Faults().Add(platform::FaultRule{platform::FsOp::ReadDir, root + "/V_1", 1, 1, EIO, -1});
    seen.clear();
    std::vector<FSDirEntry> kept = entries;
    const CXoError e = what[0] == 'w' ? fs->WalkDirectory(root, &seen, -1, false, CollectEntry)
                                      : fs->GetDirContents(root + "/V_1", kept);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EIO)) << e.AsString();
    EXPECT_EQ(entries.size(), kept.size());
  }

  bool exists = true;
  ASSERT_TRUE(fs->Exists(root + "/nothing", exists).IsSuccess());
  EXPECT_FALSE(exists);
  ASSERT_TRUE(fs->Rename(root + "/V_1/stop", root + "/V_1/moved", 0).IsSuccess());
  ASSERT_TRUE(fs->Exists(root + "/V_1/moved", exists).IsSuccess());
  EXPECT_TRUE(exists);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(fs->RemoveDirectory(root + "/V_1", 0), ENOTEMPTY));
  ASSERT_TRUE(fs->RemoveFile(root + "/V_1/moved", 0).IsSuccess());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(fs->RemoveFile(root + "/V_1/moved", 0), ENOENT));

  unsigned long long total = 0, free = 0;
  ASSERT_TRUE(fs->GetFreeSpace(root, total, free).IsSuccess());
  EXPECT_GT(total, 0u);
  EXPECT_LE(free, total);
  platform::Faults().SetFreeSpace(root, 5ull << 20, 100ull << 20);
  ASSERT_TRUE(fs->GetFreeSpace(root + "/V_1", total, free).IsSuccess());
  EXPECT_EQ(5ull << 20, free);
  EXPECT_EQ(100ull << 20, total);
}

TEST(FileInterface, BadInputFailsWithoutHarm) {
  auto file = NewFile();
  char buffer[8];
  unsigned int done = 99;
  CXoFile::offset at = 0;
  unsigned long long size = 0;
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file->Read(buffer, sizeof(buffer), &done), EBADF));
  EXPECT_EQ(0u, done);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file->Write(buffer, sizeof(buffer), &done), EBADF));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file->Seek(0, SEEK_SET, &at), EBADF));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file->Tell(at), EBADF));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file->Size(size), EBADF));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file->Flush(), EBADF));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file->Truncate(0), EBADF));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file->LockFile(false), EBADF));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file->DrillHole(0, 10), EBADF));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file->AttachFD(-1, nullptr), EBADF));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file->Open("", O_RDONLY, 0, 0), ENOENT));
  EXPECT_EQ(-1, file->GetFD());

  TempDir dir;
  ASSERT_TRUE(file->Open(dir / "f", O_RDWR | O_CREAT, 0600, 0).IsSuccess());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file->Read(nullptr, 10, &done), EINVAL));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file->Write(nullptr, 10, nullptr), EINVAL));
  EXPECT_TRUE(file->Write(buffer, 0, nullptr).IsSuccess());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file->Seek(0, 42, nullptr), EINVAL));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file->Truncate(-1), EINVAL));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file->DrillHole(~0ull, 10), EINVAL));

  auto fs = NewFS();
  bool exists = true;
  ASSERT_TRUE(fs->Exists("", exists).IsSuccess());
  EXPECT_FALSE(exists);
  FSPathInfo info;
  EXPECT_TRUE(FXErrorUtil::IsErrNo(fs->GetPathInfo("", info), ENOENT));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(fs->CreateDirectory("", true), ENOENT));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(fs->WalkDirectory(dir.path(), nullptr, 0, false, nullptr), EINVAL));
  unsigned long long total = 0, free = 0;
  EXPECT_TRUE(fs->GetFreeSpace(dir / "missing/deeper", total, free).IsFailure());
}

}  // namespace
