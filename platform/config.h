// Configuration of the ZovadAdeve: numeric values by section and name, switches, host names and
// mount path descriptions. State lives in process (platform::Config) and may be loaded from a
// text file for example programs. The accessors are safe from any thread; tests set the state
// directly before the code under test runs.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

class OZPlatformInfo {
 public:
  // Reads a value into `*value`; an absent value leaves it as it was. True when present.
  bool getNumberValue(const char* section, const char* name, long long* value);
  template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
  bool getNumber(const char* section, const char* name, T* value) {
    long long v = 0;
    if (value == nullptr || !getNumberValue(section, name, &v)) return false;
    *value = static_cast<T>(v);
    return true;
  }
  bool setNumber(const char* section, const char* name, long long value);

  // Never null.
  const char* getPhysicalMachine();
  // Writes the client host name of `machine` as a terminated text (empty when none).
  void getClientHostName(const char* machine, char* buffer, int size);
};

// The platform focus of a process.
class OZPI_Focus {
 public:
  static int getFocus();
};

class OZPI_PlatformBase {
 public:
  // True on success.
  bool setFocus(int focus);
  // The management server's host name; null or empty when none.
  const char* getHubmasterHostName();

 private:
  std::string m_hubmaster;
};

// Switches of the ZovadAdeve.
class OZPI_ZovadAdeve : public OZPI_PlatformBase {
 public:
  int getTavrixCalculatedSpace(bool refresh);
  int IsFileMarkCachingDisabled(bool refresh);
  bool getDMDoNotWriteToMedia();
  bool IsSyncFileMarkEnabled();
  // The same switch as the tape media ask it: non-zero when on.
  int getSyncWriteFileMark();
};

// Mount paths known to the file-system agent.
class OZPI_FileSystemAgent {
 public:
  // 1 when found; the outputs are set in the order of the arguments.
  int getMagneticMountPathInfo(int mountPathId, int tarnholdId, std::string& mountPath,
                               std::string& userName, std::string& password, int& mountPathType,
                               int& cloudSubType, int& accessFlags, int& attributes);
  // The same looked up by the mount path's folder (compared whole, a trailing '/' ignored); the
  // hook is called with the id found (-1 and 0 when none). The mount path id is an output here.
  int getMagneticMountPathInfo(const char* mountPath, std::string& userName, std::string& password,
                               int& mountPathId, int& mountPathType, int& accessFlags, int& attributes);
  int getMagneticMountPathCount();
  // Pruning switches: 0 when answered, else a failure whose value getLastError keeps.
  int isPruningEnabledInZovadAdeve(bool& enabled);
  int getPruningDisabledMountPaths(std::vector<unsigned int>* mountPathIds);
  unsigned long getLastError() const { return m_lastError; }

 private:
  unsigned long m_lastError = 0;
};

class OZPI_Tarnmember {
 public:
  // Null or empty when not configured.
  const char* getJobResultsDirectory(const char* clientName);
  unsigned long getLastError() const { return m_lastError; }

 private:
  std::string m_dir;
  unsigned long m_lastError = 0;
};

// Re-reads the SCSI and NDMP device configuration. Every call is recorded in
// platform::Config().mediaConfig.calls ("Initialize <focus>", "ReadCurrentConfig <0|1>",
// "Configure <host> <what> <ndmp>").
class OZMACMediaConfig {
 public:
  int reReadDeviceConfig();

  // Binds the object to the installation's focus. 0 on success.
  int Initialize(int focus);
  // Reads the machine's current device configuration, with its drive controllers. Nonzero on
  // success.
  int ReadCurrentConfig(bool refresh);
  // Reconfigures the devices of `hostName`: what 1 the SCSI ids, 7 the NDMP device paths (of
  // the NDMP device `ndmp`, which may be null). 0 on success.
  int Configure(const char* hostName, int what, const char* ndmp);
  // The access path of drive controller `id` as the last read found it; false when the read
  // did not list it.
  bool GetDriveControllerAccessPath(int id, std::string& accessPath) const;

 private:
  std::map<int, std::string> m_driveControllers;
};

namespace platform {

struct MountPathRecord {
  std::string mountPath;
  std::string userName;
  std::string password;
  int mountPathType = 0;
  int cloudSubType = 0;
  int accessFlags = 2;
  int attributes = 0;
};

// The device configuration that OZMACMediaConfig reads and reconfigures.
struct MediaConfigState {
  int readResult = 1;                          // what ReadCurrentConfig returns
  int configureResult = 0;                     // what Configure returns
  std::map<int, std::string> driveControllers; // access path by drive controller id
  std::vector<std::string> calls;
};

struct ConfigState {
  std::map<std::string, long long> numbers;  // "section/name"
  std::string physicalMachine = "localhost";
  std::string clientHostName = "localhost";
  std::string hubmasterHostName = "hubmaster";
  int focus = 1;
  bool setFocusFails = false;
  int calculatedSpace = 0;
  int fileMarkCachingDisabled = 0;
  bool doNotWriteToMedia = false;
  bool syncFileMarks = false;
  std::map<std::pair<int, int>, MountPathRecord> mountPaths;  // (mount path id, installation id)
  // Called at the start of each getMagneticMountPathInfo, outside the configuration's lock.
  std::function<void(int mountPathId, int tarnholdId)> mountPathLookupHook;
  unsigned long mountPathLookupError = 2;  // error value of a failed lookup
  // The pruning switches the file-system agent answers. A non-zero error makes the question fail
  // with that value; every question is counted.
  bool pruningEnabled = true;
  unsigned long pruningEnabledError = 0;
  std::vector<unsigned int> pruningDisabledMountPaths;
  unsigned long pruningDisabledError = 0;
  int pruningEnabledQuestions = 0;
  int pruningDisabledQuestions = 0;
  std::string jobResultsDirectory;
  int mediaConfigRereads = 0;
  MediaConfigState mediaConfig;

  void SetNumber(const std::string& section, const std::string& name, long long value) {
    numbers[section + "/" + name] = value;
  }
  void Erase(const std::string& section, const std::string& name) { numbers.erase(section + "/" + name); }
};

ConfigState& Config();
std::mutex& ConfigMutex();  // held by the accessors while they read or write Config()
// Loads "section name value" lines (numbers) into the configuration; false when unreadable.
bool LoadConfigFile(const std::string& path);

}  // namespace platform
