// The SCSI device path refresh of tape media: after a device error that a rescan of the SCSI
// buses may cure, find the drive controller's current access path, either by reconfiguring the
// machine's devices (at most once per interval on the machine) or from the media manager.

#include <cstring>

#include "MediaFileSystem/zovadAdeveFS.h"
#include "platform/platform.h"

namespace {

// Device errors after which the access path may have changed.
constexpr long long kRefreshableErrors[] = {770, 776, 781, 792, 973, 40012};

constexpr unsigned char kUpdateScsiIds = 1;
constexpr unsigned char kUpdateNdmpPaths = 2;
// What OZMACMediaConfig::Configure reconfigures.
constexpr int kConfigureScsi = 1;
constexpr int kConfigureNdmp = 7;

constexpr const char kNoDriveDetails[] = "Scsi Update cannot be completed as the drive details are NULL";

}  // namespace

int media_fs::checkAndDoScsiUpdate(int controllerId, std::string& accessPath, const char* ndmp) {
  const auto code = static_cast<long long>(static_cast<uint32_t>(m_llLastError));
  bool refreshable = false;
  for (long long c : kRefreshableErrors) refreshable = refreshable || c == code;
  if (!refreshable) return 0;
  const unsigned char mode = (ndmp != nullptr && ndmp[0] != '\0') ? kUpdateNdmpPaths : kUpdateScsiIds;
  return doScsiUpdate(controllerId, accessPath, mode, ndmp) ? 1 : 0;
}

bool media_fs::doScsiUpdate(int controllerId, std::string& accessPath, unsigned char mode, const char* ndmp) {
  const std::string oldPath = accessPath;
  accessPath.clear();
  if (m_pDriveDetails == nullptr) {
    Log(1, "%s", kNoDriveDetails);
    m_strDeviceError = kNoDriveDetails;
    m_strLastErrorMsg = kNoDriveDetails;
    return false;
  }
  const int interval = m_pDriveDetails->iAutoScsiUpdateIntervalSec;
  if (interval < 1 || (m_pDriveDetails->uiAutoScsiUpdateFlags & 1u) == 0) {
    Log(1,
        "Skipping AUTO UPDATE SCSI ID as the feature is not enabled.Enable AUTO UPDATE SCSI ID attribute on "
        "ZovadAdeve property to activate the feature");
    return false;
  }

  unsigned long last = 0;
  getLastScsiUpdateTime(last);
  const long long now = MDTime().seconds();
  // A stored time ahead of the clock (the clock was set back) must not hold refreshes off until
  // the clock catches up: it counts as due.
  const long long lastUpdate = static_cast<long long>(last);
  const bool due = lastUpdate > now || now - lastUpdate > interval;

  if (due) {
    char hostName[1024] = {};
    getLocalHostName(hostName);
    Log(1, "Starting SCSI ID update..ZovadAdeve Host Name %s\n", hostName);
    OZMACMediaConfig config;
    config.Initialize(OZPI_Focus::getFocus());
    if (config.ReadCurrentConfig(false) != 0) {
      if (mode & kUpdateScsiIds) config.Configure(hostName, kConfigureScsi, nullptr);
      if (mode & kUpdateNdmpPaths) {
        Log(1, "Starting NDMP path update..\n");
        config.Configure(hostName, kConfigureNdmp, ndmp);
        Log(1, "Completed NDMP path update..\n");
      }
    }
    Log(1, "Completed SCSI ID update..");
    setLastScsiUpdateTime(static_cast<unsigned long>(now));
    if (controllerId < 1) return false;
    if (!config.GetDriveControllerAccessPath(controllerId, accessPath)) {
      Log(1, "Failed to get the Drive controller accesspath as the Drive Controller for id= %d is not found in list",
          controllerId);
      return false;
    }
  } else {
    if (controllerId < 1) return false;
    OZMMdcpInfo dcp(m_pMlm);
    MMDcpInfo2 record;
    std::memset(&record, 0, sizeof(record));
    if (dcp.getDcpInfo(controllerId, record) != 0) {
      Log(1, "Failed to get the New AccessPath obtained from Media Manager for the Drive Controller id= %d Old Accesspath = %s ",
          controllerId, oldPath.c_str());
    } else {
      record.accessPath[sizeof(record.accessPath) - 1] = '\0';
      accessPath = record.accessPath;
    }
    Log(1, "The New AccessPath obtained from Media Manager for the Drive Controller id= %d is: %s. Old Accesspath = %s ",
        controllerId, accessPath.c_str(), oldPath.c_str());
  }
  return !accessPath.empty() && accessPath != oldPath;
}

void media_fs::getLastScsiUpdateTime(unsigned long& time) {
  time = 0;
  OZPlatformInfo info;
  info.getNumber("ZovadAdeve", "lastUpdateScsiTime", &time);
}

void media_fs::setLastScsiUpdateTime(unsigned long time) {
  OZPlatformInfo info;
  info.setNumber("ZovadAdeve", "lastUpdateScsiTime", static_cast<long long>(time));
}
