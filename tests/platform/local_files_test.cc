// Paths, patterns and the stand-ins' answers to bad input.

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "temp_dir.h"

namespace {

TEST(PathsTest, JoiningAndSplitting) {
  struct Row {
    const char* base;
    const char* name;
    const char* joined;
  };
  for (const Row& r : {Row{"/mnt/mp1", "V_1", "/mnt/mp1/V_1"}, Row{"/mnt/mp1/", "/V_1", "/mnt/mp1/V_1"},
                       Row{"/", "V_1", "/V_1"}, Row{"", "V_1", "V_1"}, Row{"/mnt", "", "/mnt"}}) {
    EXPECT_EQ(r.joined, path_append(r.base, r.name)) << r.base << " + " << r.name;
  }
  struct Split {
    const char* path;
    const char* parent;
    const char* base;
  };
  for (const Split& s : {Split{"/a/b/c", "/a/b", "c"}, Split{"/a/b/", "/a", "b"}, Split{"/a", "/", "a"},
                         Split{"a", "", "a"}, Split{"/", "/", ""}, Split{"", "", ""}}) {
    EXPECT_EQ(s.parent, CXoPath::GetParent(s.path)) << s.path;
    EXPECT_EQ(s.base, CXoPath::GetBaseName(s.path)) << s.path;
  }
}

TEST(PathsTest, PatternsAndLastOccurrence) {
  struct Row {
    const char* pattern;
    const char* name;
    bool match;
  };
  for (const Row& r : {Row{"*", "anything", true}, Row{"CHUNK_*", "CHUNK_12", true}, Row{"CHUNK_*", "chunk_12", false},
                       Row{"*.idx", "SFILE_CONTAINER.idx", true}, Row{"*.idx", "SFILE_CONTAINER.idx.change", false},
                       Row{"SFILE_CONTAINER_???", "SFILE_CONTAINER_001", true}, Row{"a*b*c", "aXbYbZc", true},
                       Row{"a*b*c", "aXbYbZ", false}, Row{"", "", true}, Row{"?", "", false}}) {
    EXPECT_EQ(r.match, WildcardMatch(r.pattern, r.name)) << r.pattern << " ~ " << r.name;
  }
  const char* text = "/mnt/OZ_MAGNETIC/V_1/OZ_MAGNETIC/CHUNK_2";
  EXPECT_EQ(text + 21, ozstrrstr(text, "OZ_MAGNETIC"));
  EXPECT_EQ(nullptr, ozstrrstr(text, "CHUNK_3"));
  EXPECT_EQ(21u, CXoString::ReverseFind(text, "OZ_MAGNETIC"));

  TempDir dir;
  for (const char* name : {"CHUNK_1", "CHUNK_2", "MEDIA_TRAILER"}) {
    CXoFile::Delete(dir / name);  // absent: a failure, and no harm
    FILE* f = fopen((dir / name).c_str(), "w");
    ASSERT_NE(nullptr, f);
    fclose(f);
  }
  CXoDirectory listing;
  ASSERT_TRUE(listing.Open(dir.path(), "CHUNK_*").IsSuccess());
  CXoDirectory::Entry e;
  int found = 0;
  bool atEnd = false;
  while (listing.GetEntry(e, atEnd).IsSuccess() && !atEnd) {
    EXPECT_EQ(0u, e.name.find("CHUNK_"));
    ++found;
  }
  EXPECT_EQ(2, found);
}

// A read of a folder's entries that fails is told from the end of the listing.
TEST(ListingTest, AFailedReadIsNotTheEnd) {
  TempDir dir;
  for (const char* name : {"CHUNK_1", "CHUNK_2"}) {
    FILE* f = fopen((dir / name).c_str(), "w");
    ASSERT_NE(nullptr, f);
    fclose(f);
  }
  CXoDirectory listing;
  ASSERT_TRUE(listing.Open(dir.path()).IsSuccess());
  platform::Faults().Add(platform::FaultRule{platform::FsOp::ReadDir, dir.path(), 2, 1, EIO, -1});
  CXoDirectory::Entry e;
  bool atEnd = true;
  ASSERT_TRUE(listing.GetEntry(e, atEnd).IsSuccess());
  EXPECT_FALSE(atEnd);
  const CXoError failed = listing.GetEntry(e, atEnd);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(failed, EIO)) << failed.AsString();
  EXPECT_FALSE(atEnd);
  // The listing goes on where it stopped: the other entry, then the end.
  ASSERT_TRUE(listing.GetEntry(e, atEnd).IsSuccess());
  EXPECT_FALSE(atEnd);
  ASSERT_TRUE(listing.GetEntry(e, atEnd).IsSuccess());
  EXPECT_TRUE(atEnd);

  // A walk stops with the errno of the folder it could not read.
  platform::Faults().Add(platform::FaultRule{platform::FsOp::ReadDir, dir.path(), 1, 1, EIO, -1});
  int visited = 0;
  EXPECT_EQ(-EIO, CXoDirectory::Walk(dir.path(), 0, [&](const std::string&, const std::string&, bool) {
              ++visited;
              return 0;
            }));
  EXPECT_EQ(0, visited);
  EXPECT_EQ(0, CXoDirectory::Walk(dir.path(), 0, [&](const std::string&, const std::string&, bool) {
              ++visited;
              return 0;
            }));
  EXPECT_EQ(2, visited);
}

TEST(BadInputTest, StandInsRefuseNullAndEmptyInput) {
  InitOZlog(nullptr, "tag", "name", 1);
  OZlogSetJobContext(nullptr, nullptr);
  OZlog(nullptr, 1, nullptr);
  EvDebug().debugLvl(2, nullptr);
  EXPECT_TRUE(CXoFile::Stat("/", nullptr).IsFailure());
  EXPECT_EQ(nullptr, ozstrrstr(nullptr, "x"));
  EXPECT_FALSE(WildcardMatch(nullptr, "x"));
  EXPECT_EQ(0, CXoDirectory::Walk("/", 0, nullptr));
  EXPECT_TRUE(CXoDirectory().Open("").IsFailure());
  CXoDirectory unopened;
  CXoDirectory::Entry entry;
  bool atEnd = true;
  EXPECT_TRUE(unopened.GetEntry(entry, atEnd).IsFailure());
  EXPECT_FALSE(atEnd);

  OZPlatformInfo info;
  long long value = 3;
  EXPECT_FALSE(info.getNumberValue(nullptr, "x", &value));
  EXPECT_FALSE(info.setNumber("s", nullptr, 1));
  EXPECT_EQ(3, value);

  OZJobClient client;
  EXPECT_EQ(0, client.setPendingCause(1, nullptr));
  client.addArgument(nullptr, EvArgInt32);
  client.addArgument("x", 99);  // a type the job manager does not know
  EXPECT_EQ(1u, client.arguments().size());

  MLMMessageInstance mlm;
  int status = 0;
  EXPECT_EQ(0, OZMMvolInfo(-1, nullptr).checkFileMarker(1, status, nullptr, 0));
  EXPECT_EQ(nullptr, OZMMmedInfo(&mlm).getBarCode());
  EXPECT_EQ(nullptr, OZMMdriveInfo(-5, &mlm).getDriveAliasName());

  MDLock unnamed("");
  EXPECT_NE(0, unnamed.set(0));
  unnamed.unset();
  unnamed.unset();
  CSkarvoLock nowhere(CFSInitParams(), "", nullptr);
  EXPECT_EQ(0, nowhere.Unlock());
}

}  // namespace
