// Binding a mount path: the outcomes of the record's look-up, and the interfaces that are made.

#include "driver_fixture.h"

namespace {

using platform::Config;

class BindingTest : public prunetest::DriverTest {};

TEST_F(BindingTest, OutcomesOfTheLookUpAndWhatBecomesOfTheRecords) {
  struct Case {
    const char* what;
    unsigned int id;
    std::function<void()> setUp;
    bool dropSetting;
    bool interfaces;
    bool inaccessible;  // left out of later batches
    bool purged;        // the mount path's record leaves the database
    const char* message;
  };
  auto record = [] { return &Config().mountPaths[{prunetest::kMP1, prunetest::kInstallation}]; };
  const std::vector<Case> cases = {
      {"bound", prunetest::kMP1, [] {}, false, true, false, true, "Got path ["},
      {"id 0", 0, [] {}, false, false, false, true, nullptr},
      {"record missing", 9, [] {}, false, false, false, false,
       "Error: getMagneticMountPathInfo failed for mount path id [9]. Error [2]"},
      {"record missing, dropping on", 9, [] {}, true, false, false, true, "getMagneticMountPathInfo failed"},
      {"no mount path known", prunetest::kMP1, [] { Config().mountPaths.clear(); }, true, false, false, false,
       "getMagneticMountPathCount returned 0 mountpaths"},
      {"read only", prunetest::kMP1, [&] { record()->accessFlags = 0; }, false, false, true, false,
       "Mountpath [5] is read only."},
      {"data server over SAN", prunetest::kMP1, [&] { record()->mountPath = "SAN|1|2|host|3|/x"; }, false, false, true,
       false, "Skip mountpath [5] since it is unsupported data server"},
      {"bad data server path", prunetest::kMP1, [&] { record()->mountPath = "IP|"; }, false, false, true, false,
       "Invalid data server path"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::ResetAll();
    SetUpConfig();
    c.setUp();
    if (c.dropSetting) Config().SetNumber("ZovadAdeve", "DedupDropInaccessibleMountPathData", 1);
    auto p = MakeDriver();
    EXPECT_EQ(0, p->OnMountPathStart(c.id, false));
    EXPECT_EQ(c.interfaces, p->GetFSInterface() != nullptr);
    EXPECT_EQ(c.interfaces, p->GetFileInterface() != nullptr);
    std::vector<unsigned int> offline = p->GetOfflineMPIds();
    EXPECT_EQ(c.inaccessible, std::find(offline.begin(), offline.end(), c.id) != offline.end());
    if (c.message != nullptr) {
      EXPECT_TRUE(platform::LogContains(c.message));
    }
    EXPECT_EQ(0, p->OnMountPathEnd());
    EXPECT_EQ(0, p->OnMountPathEnd());  // twice: nothing to delete

    // A pass over a record of the mount path.
    std::filesystem::remove_all(ChunkDirOf(mountPath, kVolId, 40));
    CraftChunk(mountPath, kVolId, 40, 2);
    ASSERT_TRUE(platform::sidb::WriteRecords(sidbPath, {Rec(c.id, kVolId, 40, 1)}));
    auto pass = MakeDriver();
    EXPECT_EQ(0, pass->PruneZeroRefRecords(&db, nullptr, nullptr, 60));
    EXPECT_EQ(c.purged, RecordsLeft().empty());
    // Nothing is touched on storage but by a bound mount path.
    EXPECT_TRUE(Exists(ChunkDirOf(mountPath, kVolId, 40)));
  }
}

TEST_F(BindingTest, ADataServerPathOverIPUsesTheServersHostAndPath) {
  Config().mountPaths[{prunetest::kMP1, prunetest::kInstallation}].mountPath = "IP|1|2|dshost|3|" + mountPath;
  auto p = MakeDriver();
  p->OnMountPathStart(prunetest::kMP1, false);
  ASSERT_NE(nullptr, p->GetFSInterface());
  const CFSInitParams& params = p->GetFSInterface()->GetInitParams();
  EXPECT_EQ(kFSTypeDataServerIP, params.m_Type);
  EXPECT_EQ(kDataServerTransportIp, params.m_SubType);
  EXPECT_EQ("dshost", params.m_Host.m_HostName);
  EXPECT_EQ(mountPath, params.m_Host.m_Path);
  EXPECT_EQ("client1", params.m_ClientName);
  EXPECT_EQ(5, params.m_MountPathId);
  EXPECT_EQ(0, p->GetMountpathType());
}

}  // namespace
