// Mount path information: the configuration lookup under the machine-wide lock (also against a
// second process), the object's cache with its retry on installation id 2, and the file-system
// layer's parameters made for hosts.

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include "frame_fixture.h"

namespace {

using platform::Config;
using platform::LogContains;
using platform::LogCount;

class CacheMedia : public MemoryMedia {
 public:
  using MemoryMedia::MemoryMedia;
  using media_fs::m_MountPathCache;
  using media_fs::m_strLastErrorMsg;
};

class MountPathLookupTest : public FrameTest {
 protected:
  void SetUp() override { platform::ResetAll(); }

  static void Configure(int id, int thId, const std::string& path, int type = 0) {
    platform::MountPathRecord r;
    r.mountPath = path;
    r.userName = "user" + std::to_string(id);
    r.password = "secret";
    r.mountPathType = type;
    r.cloudSubType = 3;
    r.accessFlags = 2;
    r.attributes = 0x800;
    Config().mountPaths[{id, thId}] = r;
  }

  static size_t ConfigReads(int id) {
    return LogCount("getMagneticMountPathInfo failed to retrieve mount path information for " + std::to_string(id));
  }

  CacheMedia cache{&job};
};

TEST_F(MountPathLookupTest, LookupCopiesTheConfigurationAndParsesDataServerPaths) {
  Configure(4, 2, "IP|1|2|nas01|3|/export/mp");
  SMountInfo info;
  info.m_UserToken = 99;
  ASSERT_NE(0, media_fs::LookupMPInfoFromReg(4, 2, info));
  EXPECT_EQ(4, info.m_MountPathId);
  EXPECT_EQ(2, info.m_TarnholdId);
  EXPECT_EQ(0u, info.m_UserToken);
  EXPECT_EQ("IP|1|2|nas01|3|/export/mp", info.m_MountPath);
  EXPECT_EQ("user4", info.m_UserName);
  EXPECT_EQ("secret", info.m_Password);
  EXPECT_EQ(3, info.m_CloudSubType);
  EXPECT_EQ(2, info.m_AccessFlags);
  EXPECT_EQ(0x800, info.m_Attributes);
  EXPECT_TRUE(info.m_DataServerInfo.m_IsDataServer);
  EXPECT_EQ(kDataServerTransportIp, info.m_DataServerInfo.m_Transport);
  EXPECT_EQ("nas01", info.m_DataServerInfo.m_Host);
  EXPECT_EQ("/export/mp", info.m_DataServerInfo.m_Path);

  SMountInfo viaC;
  EXPECT_NE(0, LookupMountPathInfo(4, 2, viaC));
  EXPECT_EQ(info.m_MountPath, viaC.m_MountPath);
}

TEST_F(MountPathLookupTest, LookupFailures) {
  Config().mountPathLookupError = 1168;
  Configure(5, 2, "IP|1|2|nas01|0");  // five fields: does not parse
  SMountInfo info;
  info.m_UserToken = 7;
  EXPECT_EQ(0, media_fs::LookupMPInfoFromReg(9, 3, info));
  EXPECT_EQ(9, info.m_MountPathId);
  EXPECT_EQ(3, info.m_TarnholdId);
  EXPECT_EQ(0u, info.m_UserToken);
  EXPECT_TRUE(LogContains(
      "media_fs::GetMountPathInfoFromReg: Error: getMagneticMountPathInfo failed to retrieve mount path information "
      "for 9. Error = 1168"));

  platform::ResetLogs();
  EXPECT_EQ(0, media_fs::LookupMPInfoFromReg(5, 2, info));
  EXPECT_TRUE(platform::Logs().empty());  // a parse failure says nothing
}

// A mount path on a Gluster volume has no transport word; it is reached as a plain path.
TEST_F(MountPathLookupTest, GlusterPathIsAPlainPath) {
  Config().SetNumber("ZovadAdeve", "nEnableLibGFAPI", 1);
  platform::ScaleOutStorage().volumes.push_back({"/gluster/gv0", "node1", "gv0", 24007});
  ASSERT_TRUE(media_fs::IsDataServerMountPath("/gluster/gv0/mp1"));
  Configure(6, 2, "/gluster/gv0/mp1");
  SMountInfo info;
  ASSERT_EQ(1, cache.GetMountPathInfo(6, 2, info));
  EXPECT_EQ("/gluster/gv0/mp1", info.m_MountPath);
  EXPECT_FALSE(info.m_DataServerInfo.m_IsDataServer);

  CFSInitParams params;
  ASSERT_TRUE(media_fs::GetFSInitParams(6, info.m_MountPath, 0, 0, "u", "p", params).IsSuccess());
  EXPECT_EQ(kFSTypeDisk, params.m_Type);
  EXPECT_EQ("/gluster/gv0/mp1", params.m_Host.m_Path);

  // The chunk-bad decision probes it as the plain path it is.
  TempDir volume;
  platform::ScaleOutStorage().volumes.push_back({volume.path(), "node1", "gv1", 24007});
  const std::string chunk = volume.path() + "/OZ_MAGNETIC/V_1/CHUNK_3";
  std::filesystem::create_directories(chunk);
  ASSERT_TRUE(media_fs::IsDataServerMountPath(chunk));
  int line = 0;
  EXPECT_TRUE(IsMarkChunkBadMMError(52502, &params, chunk, &line));
  EXPECT_EQ(3889, line);  // the probe found the mount path healthy
}

TEST_F(MountPathLookupTest, CacheHitReadsNoConfiguration) {
  Configure(4, 2, "/mnt/mp1");
  SMountInfo first;
  ASSERT_EQ(1, cache.GetMountPathInfo(4, 2, first));
  Configure(4, 2, "/mnt/changed");  // a read would see this
  Config().mountPathLookupHook = [](int, int) { ADD_FAILURE() << "the configuration was read"; };
  SMountInfo second;
  ASSERT_EQ(1, cache.GetMountPathInfo(4, 2, second));
  EXPECT_EQ("/mnt/mp1", second.m_MountPath);
  EXPECT_EQ(1u, cache.m_MountPathCache.size());
}

TEST_F(MountPathLookupTest, RetryWithInstallationIdTwoCachesOneEntry) {
  Config().SetNumber("ZovadAdeve", "RetryMPLookupOnTHIdFailure", 1);
  Configure(4, 2, "/mnt/mp1");
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    SMountInfo info;
    ASSERT_EQ(1, cache.GetMountPathInfo(4, 5, info));
    EXPECT_EQ(2, info.m_TarnholdId);
    EXPECT_EQ("/mnt/mp1", info.m_MountPath);
    EXPECT_EQ(static_cast<size_t>(round), ConfigReads(4));  // (4, 5) is asked again each time
    EXPECT_EQ(1u, cache.m_MountPathCache.size());          // but cached once
    Configure(4, 2, "/mnt/changed");                        // and the object keeps what it saw first
  }
  SMountInfo direct;
  ASSERT_EQ(1, cache.GetMountPathInfo(4, 2, direct));
  EXPECT_EQ("/mnt/mp1", direct.m_MountPath);
  EXPECT_EQ(0, cache.MediaFSGetLastError());
}

TEST_F(MountPathLookupTest, FailedLookupTable) {
  struct Case {
    const char* name;
    std::optional<long long> retry;
    int tarnholdId;
    const char* suffix;
    size_t reads;
  };
  const Case cases[] = {
      {"switch absent", std::nullopt, 5, ".", 1},
      {"switch off", 0, 5, ".", 1},
      {"retry fails too", 1, 5, ", lookup for tarnholdid 2 failed also", 2},
      {"installation id 2 never retries", 1, 2, ".", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    if (c.retry) Config().SetNumber("ZovadAdeve", "RetryMPLookupOnTHIdFailure", *c.retry);
    CacheMedia media(&job);
    SMountInfo info;
    info.m_MountPath = "untouched";
    info.m_TarnholdId = 77;
    EXPECT_EQ(0, media.GetMountPathInfo(9, c.tarnholdId, info));
    EXPECT_EQ("untouched", info.m_MountPath);
    EXPECT_EQ(77, info.m_TarnholdId);
    EXPECT_EQ(kMFSErrMountPathLookupFailed, media.MediaFSGetLastError());
    EXPECT_EQ(c.reads, ConfigReads(9));
    EXPECT_TRUE(LogContains("media_fs::GetMountPathInfo: Failed to look up mount path info from registry for MPID 9, THID " +
                            std::to_string(c.tarnholdId) + c.suffix));
    EXPECT_TRUE(media.m_MountPathCache.empty());
  }
}

// ---- The machine-wide lock, against another process ---------------------------------------

// Runs `child` in a forked process; its exit status is the test's verdict on it.
pid_t Fork(const std::function<int()>& child) {
  const pid_t pid = fork();
  if (pid == 0) _exit(child());
  return pid;
}

int ExitStatus(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(MountPathLookupTest, AHeldLockFailsTheLookupAfterItsWait) {
  Configure(4, 2, "/mnt/mp1");
  int ready[2], release[2];
  ASSERT_EQ(0, pipe(ready));
  ASSERT_EQ(0, pipe(release));
  const pid_t child = Fork([&] {
    MDLock lock("OZMAMntPathRegLock");
    if (lock.set(0) == 0) return 1;
    char c = 'x';
    if (write(ready[1], &c, 1) != 1) return 2;
    return read(release[0], &c, 1) == 1 ? 0 : 3;
  });
  char c = 0;
  ASSERT_EQ(1, read(ready[0], &c, 1));

  SMountInfo info;
  EXPECT_EQ(0, media_fs::LookupMPInfoFromReg(4, 2, info));
  EXPECT_GE(platform::SleptMs(), 300000);
  EXPECT_LT(platform::SleptMs(), 301000);
  EXPECT_TRUE(LogContains(
      "media_fs::GetMountPathInfoFromReg: Failed to set Named lock (OZMAMntPathRegLock) before looking up mount path "
      "info from registry for MPID 4."));
  EXPECT_EQ(0, cache.GetMountPathInfo(4, 2, info));
  EXPECT_EQ(kMFSErrMountPathLookupFailed, cache.MediaFSGetLastError());

  ASSERT_EQ(1, write(release[1], &c, 1));
  EXPECT_EQ(0, ExitStatus(child));
  EXPECT_EQ(1, cache.GetMountPathInfo(4, 2, info));  // the lock is free again
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

// Two processes looking up at once: the configuration is never read by both at the same time.
TEST_F(MountPathLookupTest, TwoProcessesReadTheConfigurationOneAtATime) {
  TempDir dir;
  const std::string marker = dir.path() + "/inside";
  Configure(4, 2, "/mnt/mp1");
  // Inside the lock: a marker file that only one reader may hold; a clash is counted.
  static int clashes;
  clashes = 0;
  Config().mountPathLookupHook = [marker](int, int) {
    const int fd = open(marker.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
    if (fd < 0) {
      ++clashes;
      return;
    }
    for (int i = 0; i < 20; ++i) sched_yield();
    close(fd);
    unlink(marker.c_str());
  };
  // The waits must really wait: on the fake clock a contended lookup would use up its 300000 ms
  // in a few polls while the other process still holds the lock.
  platform::SetRealSleep(true);
  constexpr int kLookups = 300;
  auto lookups = [] {
    int failed = 0;
    for (int i = 0; i < kLookups; ++i) {
      SMountInfo info;
      if (media_fs::LookupMPInfoFromReg(4, 2, info) == 0) ++failed;
    }
    return failed;
  };
  const pid_t child = Fork([&] { return lookups() + clashes == 0 ? 0 : 1; });
  EXPECT_EQ(0, lookups());
  EXPECT_EQ(0, ExitStatus(child));
  EXPECT_EQ(0, clashes);
}

// ---- Parameters of the file-system layer ---------------------------------------------------

TEST_F(MountPathLookupTest, FSInitParamsByStorageKind) {
  struct Case {
    std::string mountPath;
    int mountPathType;
    int cloudSubType;
    unsigned int errorCode;  // 0: success
    std::string message;
    int type, subType;
    std::string path, host, client;
  };
  const Case cases[] = {
      {"IP|1|2|nas01|0|/export/mp1", 0, 0, 0, "", kFSTypeDataServerIP, 4, "/export/mp1", "nas01", "phys01"},
      {"SAN|1|2||0|/dev/x", 0, 0, 103, "Unsupported dataserver type [1].", 99, 55, "preset", "preset", "preset"},
      {"ISCSI|1|2|h|0|/dev/x", 0, 0, 103, "Unsupported dataserver type [2].", 99, 55, "preset", "preset", "preset"},
      {"IP|1|2|nas01|0", 0, 0, 103, "Cannot parse dataserver mountpath info [IP|1|2|nas01|0].", 99, 55, "preset",
       "preset", "preset"},
      {"IP|99999999999|2|nas01|0|/p", 0, 0, 103, "Cannot parse dataserver mountpath info [IP|99999999999|2|nas01|0|/p].",
       99, 55, "preset", "preset", "preset"},
      {"/cloud/bucket1", 7, 3, 0, "", kFSTypeCloud, 3, "/cloud/bucket1", "preset", "preset"},
      {"/mnt/mp1", 0, 3, 0, "", kFSTypeDisk, 55, "/mnt/mp1", "preset", "preset"},
      {"/mnt/mp1", 6, 3, 0, "", kFSTypeDisk, 55, "/mnt/mp1", "preset", "preset"},
      {"\\\\nas\\share", 0, 0, 0, "", kFSTypeDisk, 55, "\\\\nas\\share", "preset", "preset"},
  };
  Config().physicalMachine = "phys01";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mountPath);
    CFSInitParams out;
    out.m_Type = 99;
    out.m_SubType = 55;
    out.m_Host.m_Path = out.m_Host.m_HostName = out.m_ClientName = "preset";
    out.m_Param64 = 123;
    CXoError e = media_fs::GetFSInitParams(12, c.mountPath, c.mountPathType, c.cloudSubType, "usr", "pw", out);
    if (c.errorCode == 0) {
      EXPECT_TRUE(e.IsSuccess()) << e.AsString();
    } else {
      EXPECT_TRUE(FXErrorUtil::IsMM(e, c.errorCode)) << e.AsString();
      EXPECT_EQ(c.message, e.Message());
    }
    EXPECT_EQ("usr", out.m_User.m_UserName);  // set before anything can fail
    EXPECT_EQ("pw", out.m_User.m_Password);
    EXPECT_EQ(12, out.m_MountPathId);
    EXPECT_EQ(c.type, out.m_Type);
    EXPECT_EQ(c.subType, out.m_SubType);
    EXPECT_EQ(c.path, out.m_Host.m_Path);
    EXPECT_EQ(c.host, out.m_Host.m_HostName);
    EXPECT_EQ(c.client, out.m_ClientName);
    EXPECT_EQ(123, out.m_Param64);
  }
}

}  // namespace
