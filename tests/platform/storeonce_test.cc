// The StoreOnce interfaces of a platform without the appliance's client.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "DataServerAPI/HPStoreOnceInterfaceUnsupportedPlatform.h"

namespace {

// "virtual CXoError CHPStoreOnceFile::Open(std::string, ...)" -> "virtual CXoError CHPStoreOnceFile::Open"
std::string NameOf(const std::string& signature) { return signature.substr(0, signature.find('(')); }

struct UnsupportedCase {
  const char* signature;  // the operation's full signature, as the error's location names it
  std::function<CXoError(CHPStoreOnceFile&, CHPStoreOnceFS&)> call;
};

TEST(StoreOnceUnsupported, EveryOperationFailsWith501NamingItself) {
  char buffer[64] = {};
  unsigned int done = 7;
  CXoFile::offset position = 0;
  unsigned long long size = 0;
  int length = 0;
  uint64_t out = 0;
  uint32_t percent = 0;
  bool exists = false;
  FSPathInfo info;
  std::vector<std::string> names = {"kept"};
  std::vector<FSDirEntry> entries;
  CXoError copyResult;
  const UnsupportedCase cases[] = {
      {"virtual CXoError CHPStoreOnceFile::Open(std::string, int, int, int)",
       [](auto& f, auto&) { return f.Open("/x", O_RDONLY, 0, 0); }},
      {"virtual CXoError CHPStoreOnceFile::Close()", [](auto& f, auto&) { return f.Close(); }},
      {"virtual CXoError CHPStoreOnceFile::Read(void*, unsigned int, unsigned int*)",
       [&](auto& f, auto&) { return f.Read(buffer, sizeof(buffer), &done); }},
      {"virtual CXoError CHPStoreOnceFile::Write(const void*, unsigned int, unsigned int*)",
       [&](auto& f, auto&) { return f.Write(buffer, sizeof(buffer), &done); }},
      {"virtual CXoError CHPStoreOnceFile::Seek(CXoFile::offset, int, CXoFile::offset*)",
       [&](auto& f, auto&) { return f.Seek(0, SEEK_SET, &position); }},
      {"virtual CXoError CHPStoreOnceFile::Tell(CXoFile::offset&)", [&](auto& f, auto&) { return f.Tell(position); }},
      {"virtual CXoError CHPStoreOnceFile::Size(long long unsigned int&)", [&](auto& f, auto&) { return f.Size(size); }},
      {"virtual CXoError CHPStoreOnceFile::Truncate(CXoFile::offset)", [](auto& f, auto&) { return f.Truncate(0); }},
      {"virtual CXoError CHPStoreOnceFile::GetChkSum(std::string, int, char*, int*)",
       [&](auto& f, auto&) { return f.GetChkSum("/x", 0, buffer, &length); }},
      {"virtual CXoError CHPStoreOnceFile::Flush()", [](auto& f, auto&) { return f.Flush(); }},
      {"virtual CXoError CHPStoreOnceFile::LockFile(bool)", [](auto& f, auto&) { return f.LockFile(true); }},
      {"virtual CXoError CHPStoreOnceFile::UnlockFile()", [](auto& f, auto&) { return f.UnlockFile(); }},
      {"virtual CXoError CHPStoreOnceFile::DrillHole(uint64_t, uint64_t)",
       [](auto& f, auto&) { return f.DrillHole(0, 4096); }},
      {"virtual CXoError CHPStoreOnceFile::AttachFD(int, const char*)", [](auto& f, auto&) { return f.AttachFD(0, "x"); }},
      {"virtual CXoError CHPStoreOnceFile::SetReadAheadCaching(bool)",
       [](auto& f, auto&) { return f.SetReadAheadCaching(true); }},
      // OpenEx is the base default: it forwards to this class's Open.
      {"virtual CXoError CHPStoreOnceFile::Open(std::string, int, int, int)",
       [](auto& f, auto&) { return f.OpenEx("/x", 1, 2, 3, 4); }},
      {"virtual CXoError CHPStoreOnceFile::CloneFromParent(const char*, uint64_t, uint64_t, uint64_t*)",
       [&](auto& f, auto&) { return f.CloneFromParent("/parent", 0, 10, &out); }},
      {"virtual CXoError CHPStoreOnceFS::Exists(std::string, bool&)", [&](auto&, auto& fs) { return fs.Exists("/x", exists); }},
      {"virtual CXoError CHPStoreOnceFS::RemoveFile(std::string, unsigned int)",
       [](auto&, auto& fs) { return fs.RemoveFile("/x", 8); }},
      {"virtual CXoError CHPStoreOnceFS::RemoveDirectory(std::string, unsigned int)",
       [](auto&, auto& fs) { return fs.RemoveDirectory("/x", 0); }},
      {"virtual CXoError CHPStoreOnceFS::CreateDirectory(std::string, bool)",
       [](auto&, auto& fs) { return fs.CreateDirectory("/x", true); }},
      {"virtual CXoError CHPStoreOnceFS::Rename(std::string, std::string, int)",
       [](auto&, auto& fs) { return fs.Rename("/x", "/y", 0); }},
      {"virtual CXoError CHPStoreOnceFS::Chmod(std::string, int)", [](auto&, auto& fs) { return fs.Chmod("/x", 0666); }},
      {"virtual CXoError CHPStoreOnceFS::GetFreeSpace(std::string, long long unsigned int&, long long unsigned int&)",
       [&](auto&, auto& fs) { return fs.GetFreeSpace("/x", size, size); }},
      {"virtual CXoError CHPStoreOnceFS::GetPathInfo(std::string, FSPathInfo&)",
       [&](auto&, auto& fs) { return fs.GetPathInfo("/x", info); }},
      {"virtual CXoError CHPStoreOnceFS::GetFileAttributes(std::string, long long unsigned int&)",
       [&](auto&, auto& fs) { return fs.GetFileAttributes("/x", size); }},
      {"virtual CXoError CHPStoreOnceFS::Stat(std::string, FSPathInfo&)", [&](auto&, auto& fs) { return fs.Stat("/x", info); }},
      {"virtual CXoError CHPStoreOnceFS::WalkDirectory(std::string, void*, int, bool, FSWalkCallback)",
       [](auto&, auto& fs) {
         return fs.WalkDirectory("/x", nullptr, 0, false, [](const std::string&, const std::string&, bool, void*) { return 0; });
       }},
      {"virtual CXoError CHPStoreOnceFS::GetDirContents(std::string, std::vector<FSDirEntry>&)",
       [&](auto&, auto& fs) { return fs.GetDirContents("/x", entries); }},
      // The names-only listings and the walk with a batch size go through the forms above.
      {"virtual CXoError CHPStoreOnceFS::GetDirContents(std::string, std::vector<FSDirEntry>&)",
       [&](auto&, auto& fs) { return fs.GetDirContents("/x", names, names); }},
      {"virtual CXoError CHPStoreOnceFS::GetDirContents(std::string, std::vector<FSDirEntry>&)",
       [&](auto&, auto& fs) { return fs.GetDirContents("/x", names, names, 100); }},
      {"virtual CXoError CHPStoreOnceFS::WalkDirectory(std::string, void*, int, bool, FSWalkCallback)",
       [](auto&, auto& fs) {
         return fs.WalkDirectory("/x", nullptr, 0, false, [](const std::string&, const std::string&, bool, void*) { return 0; }, 10);
       }},
      {"virtual CXoError CHPStoreOnceFS::CopyObject(std::string, uint64_t, CFSInitParams, std::string, uint64_t, uint64_t, bool, uint64_t&)",
       [&](auto&, auto& fs) { return fs.CopyObject("/a", 0, CFSInitParams(), "/b", 0, 10, true, out); }},
      {"virtual CXoError CHPStoreOnceFS::GetCopyStatus(std::string, uint64_t, bool, CXoError&, uint32_t&)",
       [&](auto&, auto& fs) { return fs.GetCopyStatus("/a", 1, false, copyResult, percent); }},
      {"virtual CXoError CHPStoreOnceFS::CancelCopyJob(std::string, CFSInitParams, std::string)",
       [](auto&, auto& fs) { return fs.CancelCopyJob("/a", CFSInitParams(), "/b"); }},
  };

  CFSInitParams params;
  params.m_Type = kFSTypeStoreOnce;
  for (const UnsupportedCase& c : cases) {
    SCOPED_TRACE(c.signature);
    CHPStoreOnceFile file;
    CHPStoreOnceFS fs(params);
    CXoError e = c.call(file, fs);
    EXPECT_TRUE(FXErrorUtil::IsMM(e, 501));
    EXPECT_EQ(501, MMS2BaseError::ConvertToMMError(e));
    ASSERT_EQ(1u, e.Stack().size());
    EXPECT_NE(std::string::npos, std::string(e.Stack()[0].file).find("HPStoreOnceInterfaceUnsupportedPlatform.h"));
    std::string function = e.Stack()[0].function;
    EXPECT_EQ(NameOf(c.signature), NameOf(function));
#if !defined(__clang__)  // the compilers spell some parameter types differently
    EXPECT_EQ(c.signature, function);
#endif
    EXPECT_GT(e.Stack()[0].line, 0);
  }
  // Nothing was written to the caller's outputs.
  EXPECT_FALSE(exists);
  EXPECT_EQ(std::vector<std::string>{"kept"}, names);
  EXPECT_EQ(7u, done);
  EXPECT_TRUE(copyResult.IsSuccess());
}

TEST(StoreOnceUnsupported, QueriesAnswerWithoutTheAppliance) {
  CFSInitParams params;
  params.m_Type = kFSTypeStoreOnce;
  std::unique_ptr<CFileInterface> file(CFileInterface::GetFileInterfaceInstance(params));
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
  ASSERT_NE(nullptr, dynamic_cast<CHPStoreOnceFile*>(file.get()));
  ASSERT_NE(nullptr, dynamic_cast<CHPStoreOnceFS*>(fs.get()));

  EXPECT_TRUE(file->IsConnected());
  EXPECT_FALSE(file->IsValid());
  EXPECT_EQ(-1, file->GetFD());
  EXPECT_EQ("", file->GetFileName());
  EXPECT_EQ(0u, file->GetUploadedMB());
  EXPECT_EQ(0u, file->GetDownloadedMB());
  file->ResetUploadedMB();
  file->ResetDownloadedMB();

  bool exists = true;
  EXPECT_TRUE(FXErrorUtil::IsMM(fs->Exists("/anything", exists), 501));
  EXPECT_TRUE(exists);  // left as the caller set it
  EXPECT_EQ(kFSTypeStoreOnce, fs->GetType());
}

}  // namespace
