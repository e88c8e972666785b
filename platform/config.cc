#include "platform/config.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace platform {

std::mutex& ConfigMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

ConfigState& Config() {
  static ConfigState* state = new ConfigState;
  return *state;
}

// One value a line: "section name value"; blank lines and lines starting with '#' are skipped,
// and so is a line whose value is not a number.
bool LoadConfigFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  std::lock_guard<std::mutex> lock(ConfigMutex());
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string section, name;
    long long value = 0;
    if (!(fields >> section) || section[0] == '#') continue;
    if (!(fields >> name >> value)) continue;
    Config().SetNumber(section, name, value);
  }
  return true;
}

}  // namespace platform

using platform::Config;
using platform::ConfigMutex;

bool OZPlatformInfo::getNumberValue(const char* section, const char* name, long long* value) {
  if (section == nullptr || name == nullptr || value == nullptr) return false;
  std::lock_guard<std::mutex> lock(ConfigMutex());
  auto it = Config().numbers.find(std::string(section) + "/" + name);
  if (it == Config().numbers.end()) return false;
  *value = it->second;
  return true;
}

bool OZPlatformInfo::setNumber(const char* section, const char* name, long long value) {
  if (section == nullptr || name == nullptr) return false;
  std::lock_guard<std::mutex> lock(ConfigMutex());
  Config().SetNumber(section, name, value);
  return true;
}

const char* OZPlatformInfo::getPhysicalMachine() {
  std::lock_guard<std::mutex> lock(ConfigMutex());
  return Config().physicalMachine.c_str();
}

void OZPlatformInfo::getClientHostName(const char* machine, char* buffer, int size) {
  (void)machine;
  if (buffer == nullptr || size <= 0) return;
  std::lock_guard<std::mutex> lock(ConfigMutex());
  const std::string& name = Config().clientHostName;
  size_t n = std::min(name.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, name.data(), n);
  buffer[n] = '\0';
}

int OZPI_Focus::getFocus() {
  std::lock_guard<std::mutex> lock(ConfigMutex());
  return Config().focus;
}

bool OZPI_PlatformBase::setFocus(int focus) {
  std::lock_guard<std::mutex> lock(ConfigMutex());
  if (Config().setFocusFails) return false;
  Config().focus = focus;
  return true;
}

const char* OZPI_PlatformBase::getHubmasterHostName() {
  std::lock_guard<std::mutex> lock(ConfigMutex());
  m_hubmaster = Config().hubmasterHostName;
  return m_hubmaster.c_str();
}

int OZPI_ZovadAdeve::getTavrixCalculatedSpace(bool refresh) {
  (void)refresh;
  std::lock_guard<std::mutex> lock(ConfigMutex());
  return Config().calculatedSpace;
}

int OZPI_ZovadAdeve::IsFileMarkCachingDisabled(bool refresh) {
  (void)refresh;
  std::lock_guard<std::mutex> lock(ConfigMutex());
  return Config().fileMarkCachingDisabled;
}

bool OZPI_ZovadAdeve::getDMDoNotWriteToMedia() {
  std::lock_guard<std::mutex> lock(ConfigMutex());
  return Config().doNotWriteToMedia;
}

bool OZPI_ZovadAdeve::IsSyncFileMarkEnabled() {
  std::lock_guard<std::mutex> lock(ConfigMutex());
  return Config().syncFileMarks;
}

int OZPI_ZovadAdeve::getSyncWriteFileMark() { return IsSyncFileMarkEnabled() ? 1 : 0; }

int OZPI_FileSystemAgent::getMagneticMountPathInfo(int mountPathId, int tarnholdId, std::string& mountPath,
                                                   std::string& userName, std::string& password,
                                                   int& mountPathType, int& cloudSubType, int& accessFlags,
                                                   int& attributes) {
  std::function<void(int, int)> hook;
  {
    std::lock_guard<std::mutex> lock(ConfigMutex());
    hook = Config().mountPathLookupHook;
  }
  if (hook) hook(mountPathId, tarnholdId);
  std::lock_guard<std::mutex> lock(ConfigMutex());
  auto it = Config().mountPaths.find({mountPathId, tarnholdId});
  if (it == Config().mountPaths.end()) {
    m_lastError = Config().mountPathLookupError;
    return 0;
  }
  const platform::MountPathRecord& r = it->second;
  mountPath = r.mountPath;
  userName = r.userName;
  password = r.password;
  mountPathType = r.mountPathType;
  cloudSubType = r.cloudSubType;
  accessFlags = r.accessFlags;
  attributes = r.attributes;
  m_lastError = 0;
  return 1;
}

int OZPI_FileSystemAgent::getMagneticMountPathInfo(const char* mountPath, std::string& userName, std::string& password,
                                                   int& mountPathId, int& mountPathType, int& accessFlags,
                                                   int& attributes) {
  auto trimmed = [](std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
  };
  const std::string key = trimmed(mountPath != nullptr ? mountPath : "");
  std::pair<int, int> ids{-1, 0};
  {
    std::lock_guard<std::mutex> lock(ConfigMutex());
    for (const auto& [at, r] : Config().mountPaths) {
      if (!key.empty() && trimmed(r.mountPath) == key) {
        ids = at;
        break;
      }
    }
  }
  std::string folder;
  int subType = 0;
  const int found = getMagneticMountPathInfo(ids.first, ids.second, folder, userName, password, mountPathType,
                                             subType, accessFlags, attributes);
  if (found != 0) mountPathId = ids.first;
  return found;
}

int OZPI_FileSystemAgent::getMagneticMountPathCount() {
  std::lock_guard<std::mutex> lock(ConfigMutex());
  return static_cast<int>(Config().mountPaths.size());
}

int OZPI_FileSystemAgent::isPruningEnabledInZovadAdeve(bool& enabled) {
  std::lock_guard<std::mutex> lock(ConfigMutex());
  ++Config().pruningEnabledQuestions;
  m_lastError = Config().pruningEnabledError;
  if (m_lastError != 0) return -1;
  enabled = Config().pruningEnabled;
  return 0;
}

int OZPI_FileSystemAgent::getPruningDisabledMountPaths(std::vector<unsigned int>* mountPathIds) {
  std::lock_guard<std::mutex> lock(ConfigMutex());
  ++Config().pruningDisabledQuestions;
  m_lastError = Config().pruningDisabledError;
  if (m_lastError != 0) return -1;
  if (mountPathIds != nullptr) *mountPathIds = Config().pruningDisabledMountPaths;
  return 0;
}

// ERROR_FILE_NOT_FOUND when no folder is configured.
const char* OZPI_Tarnmember::getJobResultsDirectory(const char* clientName) {
  (void)clientName;
  std::lock_guard<std::mutex> lock(ConfigMutex());
  m_dir = Config().jobResultsDirectory;
  m_lastError = m_dir.empty() ? 2 : 0;
  return m_dir.c_str();
}

int OZMACMediaConfig::reReadDeviceConfig() {
  std::lock_guard<std::mutex> lock(ConfigMutex());
  ++Config().mediaConfigRereads;
  return 0;
}

int OZMACMediaConfig::Initialize(int focus) {
  std::lock_guard<std::mutex> lock(ConfigMutex());
  Config().mediaConfig.calls.push_back("Initialize " + std::to_string(focus));
  return 0;
}

int OZMACMediaConfig::ReadCurrentConfig(bool refresh) {
  std::lock_guard<std::mutex> lock(ConfigMutex());
  platform::MediaConfigState& m = Config().mediaConfig;
  m.calls.push_back(std::string("ReadCurrentConfig ") + (refresh ? "1" : "0"));
  if (m.readResult == 0) return 0;
  m_driveControllers = m.driveControllers;
  return m.readResult;
}

int OZMACMediaConfig::Configure(const char* hostName, int what, const char* ndmp) {
  std::lock_guard<std::mutex> lock(ConfigMutex());
  platform::MediaConfigState& m = Config().mediaConfig;
  m.calls.push_back("Configure " + std::string(hostName != nullptr ? hostName : "") + " " + std::to_string(what) +
                    " " + (ndmp != nullptr ? ndmp : ""));
  return m.configureResult;
}

bool OZMACMediaConfig::GetDriveControllerAccessPath(int id, std::string& accessPath) const {
  auto it = m_driveControllers.find(id);
  if (it == m_driveControllers.end()) return false;
  accessPath = it->second;
  return true;
}
