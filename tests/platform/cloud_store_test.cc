// The folder-backed object store behind the cloud kinds of the file-system layer and the
// remote-file library: objects appear whole, renames copy, uploads stay out of sight.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/platform.h"
#include "platform/s3_remote_file.h"
#include "temp_dir.h"

namespace {

using platform::FsOp;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void Write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

class CloudStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ResetAll();
    root_ = dir_ / "bucket";
    std::filesystem::create_directories(root_ + "/folder");
    params_.m_Type = kFSTypeCloud;
    params_.m_Host.m_Path = root_;
    fs_.reset(CFSInterface::GetFSInterfaceInstance(params_));
  }

  std::unique_ptr<CFileInterface> File() {
    return std::unique_ptr<CFileInterface>(CFileInterface::GetFileInterfaceInstance(params_));
  }
  CXoError WriteObject(const std::string& path, const std::string& bytes, int flags = O_WRONLY | O_CREAT | O_TRUNC) {
    auto file = File();
    CXoError e = file->Open(path, flags, 0644, 0);
    unsigned int done = 0;
    if (e.IsSuccess()) e = file->Write(bytes.data(), static_cast<unsigned int>(bytes.size()), &done);
    if (e.IsSuccess()) e = file->Close();
    return e;
  }
  // The folder's names as the store lists them.
  std::vector<std::string> Names(const std::string& folder) {
    std::vector<FSDirEntry> entries;
    EXPECT_TRUE(fs_->GetDirContents(folder, entries).IsSuccess());
    std::vector<std::string> names;
    for (const FSDirEntry& e : entries) names.push_back(e.name);
    return names;
  }

  TempDir dir_;
  std::string root_;
  CFSInitParams params_;
  std::unique_ptr<CFSInterface> fs_;
};

TEST_F(CloudStoreTest, ObjectAppearsWholeWhenClosed) {
  const std::string object = root_ + "/folder/obj";
  Write(object, "old content");
  auto file = File();
  ASSERT_TRUE(file->Open(object, O_WRONLY | O_TRUNC, 0644, 0).IsSuccess());
  unsigned int done = 0;
  ASSERT_TRUE(file->Write("new", 3, &done).IsSuccess());
  EXPECT_EQ(Read(object), "old content");
  EXPECT_EQ(Names(root_ + "/folder"), std::vector<std::string>{"obj"});
  EXPECT_EQ(file->GetFD(), -1);
  ASSERT_TRUE(file->Flush().IsSuccess());  // a snapshot of what was written so far
  EXPECT_EQ(Read(object), "new");
  ASSERT_TRUE(file->Write("er", 2, &done).IsSuccess());
  ASSERT_TRUE(file->Close().IsSuccess());
  EXPECT_EQ(Read(object), "newer");

  // Opened for writing without truncation, an object starts as its stored copy.
  ASSERT_TRUE(WriteObject(object, "!", O_RDWR | O_APPEND).IsSuccess());
  EXPECT_EQ(Read(object), "newer!");
  ASSERT_TRUE(WriteObject(object, "N", O_RDWR).IsSuccess());
  EXPECT_EQ(Read(object), "Newer!");
  EXPECT_EQ(std::filesystem::directory_iterator(root_ + "/folder")->path().filename(), "obj");
}

TEST_F(CloudStoreTest, ObjectNotClosedOrFailingToCloseStaysAsItWas) {
  const std::string object = root_ + "/folder/obj";
  Write(object, "kept");
  {
    auto file = File();
    ASSERT_TRUE(file->Open(object, O_WRONLY | O_TRUNC, 0644, 0).IsSuccess());
    unsigned int done = 0;
    ASSERT_TRUE(file->Write("lost", 4, &done).IsSuccess());
  }
  EXPECT_EQ(Read(object), "kept");
  platform::Faults().Add({FsOp::Close, "obj", 1, 1, EIO});
  EXPECT_TRUE(FXErrorUtil::IsErrNo(WriteObject(object, "lost"), EIO));
  platform::Faults().Add({FsOp::Flush, "obj", 1, 1, EIO});
  EXPECT_TRUE(FXErrorUtil::IsErrNo(WriteObject(object, "lost"), EIO));
  EXPECT_EQ(Read(object), "kept");
  // No upload is left behind in the folder.
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(root_ + "/folder")) files += entry.is_regular_file();
  EXPECT_EQ(files, 1u);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(WriteObject(root_ + "/folder/new", "x", O_WRONLY), ENOENT));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(WriteObject(object, "x", O_WRONLY | O_CREAT | O_EXCL), EEXIST));
}

TEST_F(CloudStoreTest, UploadsAreNeitherListedNorFound) {
  auto file = File();
  ASSERT_TRUE(file->Open(root_ + "/folder/obj", O_WRONLY | O_CREAT, 0644, 0).IsSuccess());
  EXPECT_TRUE(Names(root_ + "/folder").empty());
  int walked = 0;
  ASSERT_TRUE(fs_->WalkDirectory(root_, &walked, -1, true,
                                 [](const std::string&, const std::string&, bool, void* n) {
                                   ++*static_cast<int*>(n);
                                   return 0;
                                 })
                  .IsSuccess());
  EXPECT_EQ(walked, 0);
  std::string upload;
  for (const auto& entry : std::filesystem::directory_iterator(root_ + "/folder")) upload = entry.path();
  ASSERT_FALSE(upload.empty());
  bool exists = true;
  ASSERT_TRUE(fs_->Exists(upload, exists).IsSuccess());
  EXPECT_FALSE(exists);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(File()->Open(upload, O_RDONLY, 0, 0), ENOENT));
}

TEST_F(CloudStoreTest, NamesResolveBelowTheRootOnly) {
  Write(root_ + "/folder/obj", "x");
  struct Case {
    std::string name;
    bool found;
  };
  const Case cases[] = {
      {root_ + "/folder/obj", true},  {"folder/obj", true},          {root_ + "/folder/../folder/obj", false},
      {dir_ / "outside", false},     {root_ + "x/folder/obj", false}, {"", false},
  };
  Write(dir_ / "outside", "y");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto file = File();
    CXoError e = file->Open(c.name, O_RDONLY, 0, 0);
    EXPECT_EQ(e.IsSuccess(), c.found) << e.AsString();
    if (!c.found) {
      EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOENT));
    }
  }
}

TEST_F(CloudStoreTest, RenameCopiesThenDeletesTheSource) {
  Write(root_ + "/folder/a", "content");
  Write(root_ + "/folder/b", "old");
  ASSERT_TRUE(fs_->Rename(root_ + "/folder/a", root_ + "/folder/b", 2).IsSuccess());
  EXPECT_EQ(Names(root_ + "/folder"), std::vector<std::string>{"b"});
  EXPECT_EQ(Read(root_ + "/folder/b"), "content");
  // A stop between the copy and the delete leaves both.
  Write(root_ + "/folder/a", "again");
  platform::Faults().Add({FsOp::Remove, "/folder/a", 1, 1, EIO});
  EXPECT_TRUE(FXErrorUtil::IsErrNo(fs_->Rename(root_ + "/folder/a", root_ + "/folder/b", 2), EIO));
  EXPECT_EQ(Names(root_ + "/folder"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Read(root_ + "/folder/b"), "again");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(fs_->Rename(root_ + "/folder/none", root_ + "/folder/b", 2), ENOENT));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(fs_->RemoveFile(root_ + "/folder/none", 0), ENOENT));
}

TEST_F(CloudStoreTest, WhatAnObjectStoreDoesNotHave) {
  Write(root_ + "/folder/obj", "x");
  auto file = File();
  ASSERT_TRUE(file->Open(root_ + "/folder/obj", O_RDWR, 0, 0).IsSuccess());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file->LockFile(false), EOPNOTSUPP));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(file->DrillHole(0, 1), EOPNOTSUPP));
  // Objects carry no mode: changing it succeeds on an object that exists, and fails as missing on
  // one that does not.
  EXPECT_TRUE(fs_->Chmod(root_ + "/folder/obj", 0600).IsSuccess());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(fs_->Chmod(root_ + "/folder/none", 0600), ENOENT));
}

// ---- The remote-file library --------------------------------------------------------------------

TEST_F(CloudStoreTest, RootFolderOfARemoteHost) {
  struct Case {
    const char* host;
    int result;
    const char* root;
  };
  const Case cases[] = {{"/data/bucket", 1, "/data/bucket"},
                        {"/data/bucket/", 1, "/data/bucket"},
                        {"bucket/data", 0, "unchanged"},
                        {"/", 0, "unchanged"},
                        {"", 0, "unchanged"},
                        {"s3://host:9000/bucket/pre/fix/", 1, "s3://host:9000/bucket/pre/fix"},
                        {"s3://h.example.com/bkt", 1, "s3://h.example.com/bkt"},
                        {"s3://host/bucket", 1, "s3://host/bucket"},
                        {"s3://host:0/bucket", 0, "unchanged"},
                        {"s3://host:65536/bucket", 0, "unchanged"},
                        {"s3://host:x/bucket", 0, "unchanged"},
                        {"s3://host", 0, "unchanged"},
                        {"s3:///bucket", 0, "unchanged"},
                        {"s3://host/ab", 0, "unchanged"},
                        {"s3://us@host/bucket", 0, "unchanged"},
                        {"s3://host/bucket/a/../b", 0, "unchanged"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    std::string root = "unchanged", rest = "unchanged";
    EXPECT_EQ(OZBaseRemoteFile::GetRootFolderForRemoteHost(c.host, root, rest), c.result);
    EXPECT_EQ(root, c.root);
  }
  EXPECT_EQ(OZBaseRemoteFile::GetRemoteFileInstance(3, "u", "p", dir_ / "missing", 0, -1), nullptr);
}

TEST_F(CloudStoreTest, KeysOfAnS3EndpointStayBelowItsPrefix) {
  const std::string root = "s3://host:9000/bucket/pre/fix";
  platform::s3::Endpoint endpoint;
  ASSERT_TRUE(platform::s3::ParseRoot(root, endpoint));
  EXPECT_EQ(endpoint.host, "host:9000");
  EXPECT_EQ(endpoint.bucket, "bucket");
  EXPECT_EQ(endpoint.prefix, "pre/fix");
  struct Case {
    std::string name;
    int err;
    const char* key;
  };
  const Case cases[] = {
      {root + "/V_1/CHUNK_5", 0, "pre/fix/V_1/CHUNK_5"},
      {"V_1//./CHUNK_5/", 0, "pre/fix/V_1/CHUNK_5"},
      {root, ENOENT, ""},
      {root + "x/V_1", ENOENT, ""},
      {"s3://host:9000/other/V_1", ENOENT, ""},
      {"/local/V_1", ENOENT, ""},
      {"V_1/../../x", ENOENT, ""},
      {"V_1/\x01", EINVAL, ""},
      {std::string(1100, 'k'), ENAMETOOLONG, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.substr(0, 60));
    std::string key = "unchanged";
    EXPECT_EQ(platform::s3::ObjectKey(root, endpoint, c.name, key), c.err);
    EXPECT_EQ(key, c.err == 0 ? std::string(c.key) : std::string("unchanged"));
  }
}

TEST_F(CloudStoreTest, AnObjectIdStoreKeepsObjectsUnderTheIdsItGives) {
  std::unique_ptr<OZBaseRemoteFile> remote(
      OZBaseRemoteFile::GetRemoteFileInstance(kRFDeviceTypeObjectIdStore, "u", "p", root_, 9, -1));
  ASSERT_NE(remote, nullptr);
  EXPECT_TRUE(remote->IsObjectIDBase());
  ASSERT_NE(remote->OpenFile("V_1/CHUNK_5", kRFModeWriteNew, 0), 0);
  ASSERT_NE(remote->WriteFile("12345", 5), 0);
  EXPECT_EQ(remote->m_strObjectId, "");  // known once the object is closed
  ASSERT_NE(remote->CloseFile(), 0);
  const std::string id = remote->m_strObjectId;
  ASSERT_EQ(id.size(), 40u);
  EXPECT_FALSE(std::filesystem::exists(root_ + "/V_1/CHUNK_5"));

  ASSERT_NE(remote->OpenFile(id, kRFModeRead, -1), 0);
  char buffer[8] = {};
  unsigned int done = 0;
  ASSERT_NE(remote->ReadFile(buffer, sizeof(buffer), done), 0);
  EXPECT_EQ(std::string(buffer, done), "12345");
  ASSERT_NE(remote->CloseFile(), 0);
  EXPECT_EQ(remote->GetDownloadedBytes(), 5u);
  EXPECT_EQ(remote->GetUploadedBytes(), 5u);
  remote->ResetCounters();
  EXPECT_EQ(remote->GetUploadedBytes(), 0u);
}

TEST_F(CloudStoreTest, RemoteFileWritesListsRenamesAndDeletes) {
  std::unique_ptr<OZBaseRemoteFile> remote(OZBaseRemoteFile::GetRemoteFileInstance(3, "u", "p", root_, 9, -1));
  ASSERT_NE(remote, nullptr);
  EXPECT_EQ(remote->GetDeviceType(), 3);
  ASSERT_NE(remote->OpenFile("folder/one", kRFModeCreate | kRFModeWrite | kRFModeRead, 0), 0);
  ASSERT_NE(remote->WriteFile("12345", 5), 0);
  bool exists = true;
  ASSERT_NE(remote->FileExists("folder/one", exists), 0);
  EXPECT_FALSE(exists);
  ASSERT_NE(remote->CloseFile(), 0);
  EXPECT_EQ(remote->GetUploadedBytes(), 5u);
  ASSERT_NE(remote->RenameFile("folder/one", root_ + "/folder/two", 1), 0);
  std::filesystem::create_directories(root_ + "/folder/sub");
  Write(root_ + "/folder/sub/three", "abc");

  std::vector<OZRFInfo> files;
  std::vector<std::string> folders;
  ASSERT_NE(remote->GetFileList(root_ + "/folder", files, folders, 1, 0), 0);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].sName, "two");
  EXPECT_EQ(files[0].ullSize, 5u);
  EXPECT_EQ(folders, std::vector<std::string>{"sub"});
  ASSERT_NE(remote->GetFileList("folder", files, folders, 1, 1), 0);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].sName, "sub/three");
  EXPECT_EQ(files[1].sName, "two");

  ASSERT_NE(remote->OpenFile("folder/two", kRFModeRead, 0), 0);
  char buffer[8] = {};
  unsigned int done = 0;
  ASSERT_NE(remote->ReadFile(buffer, sizeof(buffer), done), 0);
  EXPECT_EQ(std::string(buffer, done), "12345");
  ASSERT_NE(remote->CloseFile(), 0);

  ASSERT_NE(remote->DeleteFile("folder/two"), 0);
  EXPECT_EQ(remote->DeleteFile("folder/two"), 0);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(remote->GetLastError(), ENOENT));
  EXPECT_EQ(remote->GetLastErrorCode(), 993);
  EXPECT_EQ(remote->GetFileList("missing", files, folders, 1, 0), 0);
  unsigned long long total = 0, freeBytes = 0;
  ASSERT_NE(remote->GetFreeSpace(total, freeBytes), 0);
  platform::Faults().SetFreeSpace(root_, 12345, 99999);
  ASSERT_NE(remote->GetFreeSpace(total, freeBytes), 0);
  EXPECT_EQ(freeBytes, 12345u);
}

}  // namespace
