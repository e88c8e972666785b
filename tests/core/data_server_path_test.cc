// Mount path texts: the data server grammar, the prefix test, Gluster volume paths with the
// once-per-process support switch and the scale-out test.

#include <climits>
#include <optional>

#include "frame_fixture.h"

namespace {

// What a parse leaves in a record that held these values before.
DataServerMountPathInfo Sentinel() {
  DataServerMountPathInfo info;
  info.m_Number1 = info.m_Number2 = info.m_Number3 = 77;
  info.m_Host = "keep";
  info.m_Path = "keep";
  return info;
}

void ExpectSame(const DataServerMountPathInfo& want, const DataServerMountPathInfo& got) {
  EXPECT_EQ(want.m_IsDataServer, got.m_IsDataServer);
  EXPECT_EQ(want.m_Transport, got.m_Transport);
  EXPECT_EQ(want.m_Number1, got.m_Number1);
  EXPECT_EQ(want.m_Number2, got.m_Number2);
  EXPECT_EQ(want.m_Host, got.m_Host);
  EXPECT_EQ(want.m_GlusterHost, got.m_GlusterHost);
  EXPECT_EQ(want.m_Number3, got.m_Number3);
  EXPECT_EQ(want.m_Path, got.m_Path);
  EXPECT_EQ(want.m_GlusterPort, got.m_GlusterPort);
  EXPECT_EQ(want.m_GlusterVolume, got.m_GlusterVolume);
}

struct Stored {
  int transport;  // kDataServerTransportNone: the record stays untouched
  int n1, n2;
  const char* host;
  int n3;
  const char* path;
};

TEST(DataServerPath, GrammarTable) {
  const std::string longHost(10000, 'h');
  const std::string longPath = "/" + std::string(20000, 'p');
  struct Case {
    std::string text;
    int result;
    Stored stored;
  };
  const Case cases[] = {
      {"IP|1|2|nas01|3|/export/mp", 1, {4, 1, 2, "nas01", 3, "/export/mp"}},
      {"ISCSI|7|8||9|/dev/sdb", 1, {2, 7, 8, "keep", 9, "/dev/sdb"}},
      {"SAN|1|2|h|3|/p", 1, {1, 1, 2, "h", 3, "/p"}},
      {"SAN|1|2||0|/dev/x", 1, {1, 1, 2, "keep", 0, "/dev/x"}},
      {"FC|1|2|h|3|/p|x", 0, {1, 1, 2, "h", 3, "keep"}},  // a sixth field
      {"ip|1|2|h|3|/p", 0, {-1, 77, 77, "keep", 77, "keep"}},
      {"NFS|1|2|h|3|/p", 0, {-1, 77, 77, "keep", 77, "keep"}},
      {"/mnt/IP|x", 0, {-1, 77, 77, "keep", 77, "keep"}},
      {"IP", 0, {-1, 77, 77, "keep", 77, "keep"}},
      {"", 0, {-1, 77, 77, "keep", 77, "keep"}},
      {"IP|x1|2|h|3|/p", 1, {4, 0, 2, "h", 3, "/p"}},
      {"SAN| -5|+6|h|  7x|/p q", 1, {1, -5, 6, "h", 7, "/p q"}},
      {"IP|2147483647|-2147483648|h|0|/p", 1, {4, INT_MAX, INT_MIN, "h", 0, "/p"}},
      {"IP||2|h|3|/p", 0, {4, 77, 77, "keep", 77, "keep"}},
      {"IP|1||h|3|/p", 0, {4, 1, 77, "keep", 77, "keep"}},
      {"IP|1|2|h||/p", 0, {4, 1, 2, "h", 77, "keep"}},
      {"IP|1|2|h|3|", 0, {4, 1, 2, "h", 3, "keep"}},
      {"IP|1|2|nas01|0", 0, {4, 1, 2, "nas01", 77, "keep"}},  // five fields
      {"IP|1|2", 0, {4, 1, 77, "keep", 77, "keep"}},
      {"|||||", 0, {-1, 77, 77, "keep", 77, "keep"}},
      // Numbers outside the 32-bit range fail the parse instead of wrapping.
      {"IP|2147483648|2|h|3|/p", 0, {4, 77, 77, "keep", 77, "keep"}},
      {"IP|1|99999999999999999999999|h|3|/p", 0, {4, 1, 77, "keep", 77, "keep"}},
      {"IP|1|2|h|-2147483649|/p", 0, {4, 1, 2, "h", 77, "keep"}},
      {"IP|0000000000000000000012|2|h|3|/p", 1, {4, 12, 2, "h", 3, "/p"}},
      {"IP|1|2|" + longHost + "|3|" + longPath, 1, {4, 1, 2, nullptr, 3, nullptr}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    DataServerMountPathInfo info = Sentinel();
    EXPECT_EQ(c.result, media_fs::ParseDataServerMountPath(c.text, info));
    DataServerMountPathInfo want = Sentinel();
    if (c.stored.transport != kDataServerTransportNone) {
      want.m_IsDataServer = true;
      want.m_Transport = c.stored.transport;
      want.m_Number1 = c.stored.n1;
      want.m_Number2 = c.stored.n2;
      want.m_Host = c.stored.host != nullptr ? c.stored.host : longHost;
      want.m_Number3 = c.stored.n3;
      want.m_Path = c.stored.path != nullptr ? c.stored.path : longPath;
    }
    ExpectSame(want, info);
  }
}

TEST(DataServerPath, PrefixOnlyAtTheStartAndCaseSensitive) {
  platform::ResetAll();
  const std::pair<const char*, bool> cases[] = {
      {"IP|", true},     {"SAN|x", true},  {"FC|1|2|h|3|/p", true}, {"ISCSI|", true}, {"ip|1", false},
      {"NFS|1", false},  {"/mnt/IP|x", false}, {"IPX|", false},       {"IP", false},    {"", false},
      {" IP|", false},   {"ISCSI", false},
  };
  for (const auto& [text, dataServer] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(dataServer, media_fs::IsDataServerMountPath(text));
  }
}

class GlusterPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ResetAll();
    platform::ScaleOutStorage().volumes.push_back({"/gluster/gv0", "node1", "gv0", 24008});
  }
  static void SetSupport(long long value) { platform::Config().SetNumber("ZovadAdeve", "nEnableLibGFAPI", value); }
  static size_t StorageCalls() { return platform::ScaleOutStorage().calls.size(); }
};

TEST_F(GlusterPathTest, SupportOffNeverAsksTheScaleOutStorage) {
  const std::optional<long long> values[] = {std::nullopt, 0, -3};
  for (const std::optional<long long>& value : values) {
    platform::ResetAll();
    platform::ScaleOutStorage().volumes.push_back({"/gluster/gv0", "node1", "gv0", 24008});
    if (value) SetSupport(*value);
    EXPECT_FALSE(media_fs::IsGlusterMountPath("/gluster/gv0/mp1"));
    EXPECT_FALSE(media_fs::IsDataServerMountPath("/gluster/gv0/mp1"));
    EXPECT_FALSE(media_fs::IsStrataformPath("/gluster/gv0/mp1"));
    EXPECT_EQ(0u, StorageCalls());
  }
}

TEST_F(GlusterPathTest, SupportIsReadOncePerProcess) {
  EXPECT_FALSE(media_fs::IsGlusterMountPath("/gluster/gv0/mp1"));
  SetSupport(1);  // too late: the process decided at the first call
  EXPECT_FALSE(media_fs::IsGlusterMountPath("/gluster/gv0/mp1"));
  EXPECT_EQ(0u, StorageCalls());

  platform::ResetAll();  // a new process, as far as the library can tell
  platform::ScaleOutStorage().volumes.push_back({"/gluster/gv0", "node1", "gv0", 24008});
  SetSupport(1);
  EXPECT_TRUE(media_fs::IsGlusterMountPath("/gluster/gv0/mp1"));
  platform::Config().Erase("ZovadAdeve", "nEnableLibGFAPI");
  EXPECT_TRUE(media_fs::IsGlusterMountPath("/gluster/gv0/mp1"));
}

TEST_F(GlusterPathTest, SupportOnMakesAGlusterPathADataServerPathThatTheGrammarRefuses) {
  SetSupport(1);
  EXPECT_TRUE(media_fs::IsGlusterMountPath("/gluster/gv0/mp1"));
  EXPECT_TRUE(media_fs::IsGlusterMountPath("/gluster/gv0"));
  EXPECT_FALSE(media_fs::IsGlusterMountPath("/gluster/gv01/mp1"));
  EXPECT_FALSE(media_fs::IsGlusterMountPath("/mnt/mp1"));
  EXPECT_TRUE(media_fs::IsDataServerMountPath("/gluster/gv0/mp1"));
  EXPECT_FALSE(media_fs::IsDataServerMountPath("/mnt/mp1"));
  DataServerMountPathInfo info;
  EXPECT_EQ(0, media_fs::ParseDataServerMountPath("/gluster/gv0/mp1", info));
  EXPECT_FALSE(info.m_IsDataServer);
}

TEST_F(GlusterPathTest, StrataformForDistributedStorageOrGluster) {
  platform::RemoteStorage().skarvoPrefixes.push_back("/skarvo/");
  EXPECT_TRUE(media_fs::IsStrataformPath("/skarvo/mp1"));  // Gluster support is off
  EXPECT_FALSE(media_fs::IsStrataformPath("/gluster/gv0/mp1"));
  EXPECT_FALSE(media_fs::IsStrataformPath("/mnt/mp1"));

  platform::ResetAll();
  platform::ScaleOutStorage().volumes.push_back({"/gluster/gv0", "node1", "gv0", 24008});
  SetSupport(1);
  EXPECT_TRUE(media_fs::IsStrataformPath("/gluster/gv0/mp1"));
  EXPECT_FALSE(media_fs::IsStrataformPath("/mnt/mp1"));
}

TEST_F(GlusterPathTest, ParseFillsTheVolumeAndBothHostFields) {
  DataServerMountPathInfo info = Sentinel();
  ASSERT_TRUE(media_fs::ParseGlusterMountPath("/gluster/gv0/mp1/V_1", info));
  DataServerMountPathInfo want = Sentinel();
  want.m_IsDataServer = true;
  want.m_Transport = kDataServerTransportGluster;
  want.m_Host = want.m_GlusterHost = "node1";
  want.m_GlusterPort = 24008;
  want.m_GlusterVolume = "gv0";
  want.m_Path = "/mp1/V_1";
  ExpectSame(want, info);

  info = Sentinel();
  EXPECT_FALSE(media_fs::ParseGlusterMountPath("/mnt/mp1", info));
  ExpectSame(Sentinel(), info);
  EXPECT_FALSE(media_fs::ParseGlusterMountPath("IP|1|2|h|3|/p", info));
  ExpectSame(Sentinel(), info);
}

}  // namespace
