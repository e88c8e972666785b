// The appliance stand-in: its switch, object names, open flags, clones, copy jobs, capacity,
// chosen failures and the record of calls.

#include <gtest/gtest.h>

#include <fcntl.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "platform/platform.h"
#include "temp_dir.h"

namespace {

using platform::ApplianceOp;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ApplianceStoreTest : public ::testing::Test {
 protected:
  ApplianceStoreTest() {
    params.m_Type = kFSTypeStoreOnce;
    platform::Appliance().Enable(root.path());
  }

  std::unique_ptr<CApplianceFile> NewFile() {
    return std::unique_ptr<CApplianceFile>(dynamic_cast<CApplianceFile*>(CFileInterface::GetFileInterfaceInstance(params)));
  }
  std::unique_ptr<CApplianceFS> NewFS() {
    return std::unique_ptr<CApplianceFS>(dynamic_cast<CApplianceFS*>(CFSInterface::GetFSInterfaceInstance(params)));
  }
  // An object holding `bytes`, made through the appliance.
  void Put(const std::string& name, const std::string& bytes) {
    auto f = NewFile();
    ASSERT_TRUE(f->Open(name, O_WRONLY | O_CREAT | O_TRUNC, 0, 0).IsSuccess());
    unsigned int done = 0;
    ASSERT_TRUE(f->Write(bytes.data(), static_cast<unsigned int>(bytes.size()), &done).IsSuccess());
    ASSERT_TRUE(f->Close().IsSuccess());
  }

  TempDir root;
  CFSInitParams params;
};

TEST_F(ApplianceStoreTest, SwitchedOnlyWhileEnabled) {
  ASSERT_NE(nullptr, NewFile());
  ASSERT_NE(nullptr, NewFS());
  platform::ResetAll();
  std::unique_ptr<CFileInterface> file(CFileInterface::GetFileInterfaceInstance(params));
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
  EXPECT_EQ(nullptr, dynamic_cast<CApplianceFile*>(file.get()));
  EXPECT_EQ(nullptr, dynamic_cast<CApplianceFS*>(fs.get()));
  EXPECT_TRUE(FXErrorUtil::IsMM(file->Open(root / "x", O_RDONLY, 0, 0), 501));
  EXPECT_FALSE(platform::Appliance().Enabled());
  EXPECT_EQ("", platform::Appliance().Root());
}

TEST_F(ApplianceStoreTest, NamesAndOpenFlags) {
  auto f = NewFile();
  // Parents are made for an object an open may create; a relative name is taken from the root.
  ASSERT_TRUE(f->OpenEx("a/b/obj", O_WRONLY | O_CREAT | O_EXCL, 0777, 0, 4).IsSuccess());
  EXPECT_EQ("a/b/obj", f->GetFileName());
  ASSERT_TRUE(f->Close().IsSuccess());
  EXPECT_TRUE(std::filesystem::exists(root / "a/b/obj"));
  EXPECT_EQ((std::vector<long long>{O_WRONLY | O_CREAT | O_EXCL, 0777, 4}),
            platform::Appliance().CallsOf(ApplianceOp::Open).back().args);

  const struct {
    const char* what;
    std::string name;
    int flags;
    int errnoValue;
  } refused[] = {
      {"outside the root", "/etc/passwd", O_RDONLY, ENOENT},
      {"climbing out", "a/../../x", O_RDONLY, ENOENT},
      {"exclusive create of an existing object", root / "a/b/obj", O_WRONLY | O_CREAT | O_EXCL, EEXIST},
      {"a missing object without create", root / "a/none", O_RDONLY, ENOENT},
  };
  for (const auto& r : refused) {
    CXoError e = f->Open(r.name, r.flags, 0, 0);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, r.errnoValue)) << r.what << ": " << e.AsString();
    EXPECT_FALSE(f->IsValid());
  }
  Put(root / "a/b/obj", "0123456789");
  ASSERT_TRUE(f->Open(root / "a/b/obj", O_RDONLY, 0, 0).IsSuccess());
  unsigned int done = 0;
  EXPECT_TRUE(f->Write("x", 1, &done).IsFailure());  // read-only
  ASSERT_TRUE(f->Open(root / "a/b/obj", O_WRONLY | O_TRUNC, 0, 0).IsSuccess());
  ASSERT_TRUE(f->Close().IsSuccess());
  EXPECT_EQ("", Slurp(root / "a/b/obj"));
  bool exists = false;
  EXPECT_TRUE(NewFS()->Exists("/etc/passwd", exists).IsSuccess());
  EXPECT_FALSE(exists);
}

TEST_F(ApplianceStoreTest, CloneAppendsARangeOfTheParent) {
  Put("parent", "abcdefghij");
  auto f = NewFile();
  ASSERT_TRUE(f->Open("child", O_WRONLY | O_CREAT, 0, 0).IsSuccess());
  unsigned int done = 0;
  ASSERT_TRUE(f->Write("XY", 2, &done).IsSuccess());
  uint64_t cloned = 0;
  ASSERT_TRUE(f->CloneFromParent("parent", 3, 4, &cloned).IsSuccess());
  EXPECT_EQ(4u, cloned);
  ASSERT_TRUE(f->Write("Z", 1, &done).IsSuccess());  // after the clone
  ASSERT_TRUE(f->CloneFromParent("parent", 8, 5, &cloned).IsSuccess());
  EXPECT_EQ(2u, cloned);  // the parent ends inside the range
  CXoFile::offset at = 0;
  ASSERT_TRUE(f->Tell(at).IsSuccess());
  EXPECT_EQ(9, at);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(f->CloneFromParent("absent", 0, 1, &cloned), ENOENT));
  ASSERT_TRUE(f->Close().IsSuccess());
  EXPECT_EQ("XYdefgZij", Slurp(root / "child"));
  const auto clones = platform::Appliance().CallsOf(ApplianceOp::Clone);
  ASSERT_EQ(3u, clones.size());
  EXPECT_EQ("parent", clones[0].other);
  EXPECT_EQ((std::vector<long long>{3, 4}), clones[0].args);

  ASSERT_TRUE(f->Open("child", O_RDONLY, 0, 0).IsSuccess());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(f->CloneFromParent("parent", 0, 1, &cloned), EBADF));
}

TEST_F(ApplianceStoreTest, CopyJobs) {
  Put("src", "abcdefghij");
  Put("dst", "0123456789");
  auto fs = NewFS();
  uint64_t id1 = 0, id2 = 0, id3 = 0;
  ASSERT_TRUE(fs->CopyObject("src", 2, params, "dst", 8, 5, true, id1).IsSuccess());
  ASSERT_TRUE(fs->CopyObject("src", 0, params, "new/dst", 0, 3, false, id2).IsSuccess());
  ASSERT_TRUE(fs->CopyObject("src", 6, params, "dst", 0, 5, false, id3).IsSuccess());  // past the source's end
  EXPECT_NE(id1, id2);
  CXoError result;
  uint32_t percent = 0;
  ASSERT_TRUE(fs->GetCopyStatus("", id1, false, result, percent).IsSuccess());
  EXPECT_TRUE(result.IsSuccess());
  EXPECT_EQ(100u, percent);
  ASSERT_TRUE(fs->GetCopyStatus("", id2, true, result, percent).IsSuccess());
  EXPECT_TRUE(result.IsSuccess());
  ASSERT_TRUE(fs->GetCopyStatus("", id3, true, result, percent).IsSuccess());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(result, EINVAL));
  EXPECT_EQ("01234567cdefg", Slurp(root / "dst"));
  EXPECT_EQ("abc", Slurp(root / "new/dst"));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(fs->GetCopyStatus("", 999, false, result, percent), ENOENT));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(fs->CopyObject("none", 0, params, "dst", 0, 1, false, id1), ENOENT));
  EXPECT_TRUE(fs->CancelCopyJob("src", params, "").IsSuccess());  // nothing left to cancel
  const auto jobs = platform::Appliance().CallsOf(ApplianceOp::CopyJob);
  ASSERT_EQ(3u, jobs.size());
}

TEST_F(ApplianceStoreTest, CapacityChosenFailuresAndFaults) {
  Put("parent", std::string(1000, 'p'));
  platform::Appliance().SetCapacity(1500);
  EXPECT_EQ(1000u, platform::Appliance().UsedBytes());
  auto f = NewFile();
  ASSERT_TRUE(f->Open("obj", O_WRONLY | O_CREAT, 0, 0).IsSuccess());
  const std::string bytes(400, 'b');
  unsigned int done = 0;
  ASSERT_TRUE(f->Write(bytes.data(), 400, &done).IsSuccess());
  EXPECT_TRUE(FXErrorUtil::IsMM(f->Write(bytes.data(), 101, &done), 81158));
  uint64_t cloned = 0;
  EXPECT_TRUE(FXErrorUtil::IsMM(f->CloneFromParent("parent", 0, 101, &cloned), 81158));
  ASSERT_TRUE(f->Seek(0, SEEK_SET, nullptr).IsSuccess());
  EXPECT_TRUE(f->Write(bytes.data(), 400, &done).IsSuccess());  // rewriting takes no room
  uint64_t job = 0;
  auto fs = NewFS();
  ASSERT_TRUE(fs->CopyObject("parent", 0, params, "obj", 300, 300, true, job).IsSuccess());
  CXoError result;
  uint32_t percent = 0;
  ASSERT_TRUE(fs->GetCopyStatus("", job, false, result, percent).IsSuccess());
  EXPECT_TRUE(FXErrorUtil::IsMM(result, 81158));
  EXPECT_EQ(400u, std::filesystem::file_size(root / "obj"));
  platform::Appliance().SetCapacity(0);

  // The second and third writes of "obj" fail with a chosen code.
  platform::Appliance().Fail({ApplianceOp::Write, "obj", 2, 2, 4321});
  std::vector<bool> failed;
  for (int i = 0; i < 4; ++i) failed.push_back(f->Write("w", 1, &done).IsFailure());
  EXPECT_EQ((std::vector<bool>{false, true, true, false}), failed);

  // The disk layer's faults see the appliance's own calls with the object's name.
  std::vector<std::string> seen;
  platform::Faults().SetHook([&](platform::FsOp op, const std::string& path) {
    if (op == platform::FsOp::Clone || op == platform::FsOp::Copy) seen.push_back(platform::FsOpName(op) + (" " + path));
  });
  platform::Faults().Add({platform::FsOp::Clone, "obj", 1, 1, EIO});
  EXPECT_TRUE(FXErrorUtil::IsErrNo(f->CloneFromParent("parent", 0, 1, &cloned), EIO));
  ASSERT_TRUE(fs->CopyObject("parent", 0, params, "obj", 0, 1, true, job).IsSuccess());
  ASSERT_TRUE(fs->CancelCopyJob("parent", params, "").IsSuccess());
  EXPECT_EQ((std::vector<std::string>{"Clone " + (root / "obj"), "Copy " + (root / "obj"), "Copy " + (root / "parent")}),
            seen);
}

}  // namespace
