// IsMarkChunkBadMMError: is a failed chunk access the chunk's fault or the mount path's?
//
// Codes whose meaning is certain are decided by list. Every other code is decided by a probe of
// the mount path root: when a test file can be created, written, reopened and read there, the
// mount path is healthy and the chunk is blamed.

#include <fcntl.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "MediaFileSystem/zovadAdeveFS.h"
#include "core/mount_path_text.h"

namespace {

// Identifiers of the deciding rules, written to the caller's `line`.
enum Rule : int {
  kRuleNone = 0,
  kRuleNotAtFault = 3759,
  kRuleCorrupt = 3763,
  kRuleCloudChunkMissing = 3781,
  kRuleCloudNotAtFault = 3786,
  kRuleCloudOther = 3788,
  kRuleDataServerNotAtFault = 3805,
  kRuleDataServerUnparsed = 3826,
  kRuleRootMissing = 3849,
  kRuleNoFileInterface = 3862,
  kRuleProbeHealthy = 3889,
  kRuleProbeFailed = 3901,
  kRuleProbeException = 3911,
};

const char kMountPathRootFolder[] = "OZ_MAGNETIC";
const char kProbeFileName[] = "ReadWriteTest.txt";
// The label written and read back, with its terminating zero byte.
const char kProbeLabel[] = "OZMEDIALABEL";
// Owner and group may read and write: the file must be usable by the mount path's user.
constexpr int kProbeFileMode = 0660;
constexpr unsigned int kProbeReadSize = 256;

bool OneOf(MM_longlong code, std::initializer_list<MM_longlong> codes) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

bool Decide(bool result, int rule, int* line) {
  if (line != nullptr) *line = rule;
  return result;
}

// Creates, writes, closes, reopens and reads the test file under the root, then removes it.
bool ProbeTestFile(CFSInterface& fs, CFileInterface& file, const std::string& testFile) {
  if (file.Open(testFile, O_RDWR | O_CREAT | O_TRUNC, kProbeFileMode, 0).IsFailure()) return false;
  unsigned int done = 0;
  bool ok = file.Write(kProbeLabel, sizeof(kProbeLabel), &done).IsSuccess() && done == sizeof(kProbeLabel);
  ok = ok && file.Close().IsSuccess();
  ok = ok && file.Open(testFile, O_RDWR, kProbeFileMode, 0).IsSuccess();
  char readBack[kProbeReadSize];
  ok = ok && file.Read(readBack, sizeof(readBack), &done).IsSuccess();
  if (file.IsValid()) file.Close();
  fs.RemoveFile(testFile, 0);
  return ok;
}

}  // namespace

bool IsMarkChunkBadMMError(MM_longlong code, CFSInitParams* params, std::string path, int* line) {
  if (params == nullptr) return Decide(false, kRuleNone, line);
  if (params->m_SubType == 3 && code == 764) return false;
  if (code == 1204 || code == 68013) return Decide(true, kRuleCorrupt, line);
  if (OneOf(code, {124, 127, 764, 765, 790, 792, 982, 996, 1007, 1018, 1205, 1210})) {
    return Decide(false, kRuleNotAtFault, line);
  }
  if (params->m_Type == kFSTypeCloud) {
    if (OneOf(code, {1200, 1207, 1209, 44036})) return Decide(false, kRuleCloudNotAtFault, line);
    if (OneOf(code, {993, 1005, 44107, 44111})) return Decide(true, kRuleCloudChunkMissing, line);
    return Decide(false, kRuleCloudOther, line);
  }
  if (params->m_Type == kFSTypeDataServerIP &&
      OneOf(code, {101, 52500, 52501, 52504, 52505, 52506, 52509})) {
    return Decide(false, kRuleDataServerNotAtFault, line);
  }
  if (path.empty()) return Decide(false, kRuleNone, line);

  // Declared in the order of their release: the file and file-system interfaces go first, then
  // the probe lock, then the impersonation.
  std::optional<CImpersonator> impersonation;
  std::optional<OzCriticalSectionGuard> probeLock;
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(*params));
  std::unique_ptr<CFileInterface> file;
  if (!fs) return Decide(false, kRuleNone, line);

  // A path on a Gluster volume is a plain path here and is probed like one.
  if (HasDataServerTransportPrefix(path)) {
    DataServerMountPathInfo info;
    if (media_fs::ParseDataServerMountPath(path, info) == 0) {
      return Decide(false, kRuleDataServerUnparsed, line);
    }
    path = info.m_Path;
  }
  path = convertSlashes(path.c_str());
  const size_t at = path.find(kMountPathRootFolder);
  if (at == std::string::npos) return Decide(false, kRuleNone, line);
  const std::string root = path.substr(0, at + sizeof(kMountPathRootFolder) - 1);

  try {
    impersonation.emplace(params->m_Token);
    bool exists = false;
    fs->Exists(root, exists);
    if (!exists) return Decide(false, kRuleRootMissing, line);

    const std::string testFile = root + "/" + kProbeFileName;
    {
      OzCriticalSectionGuard makeFile(CFSInitParams::m_ReadWriteLock);
      file.reset(CFileInterface::GetFileInterfaceInstance(fs->GetInitParams()));
    }
    if (!file) return Decide(false, kRuleNoFileInterface, line);

    probeLock.emplace(CFSInitParams::m_ReadWriteLock);
    const bool healthy = ProbeTestFile(*fs, *file, testFile);
    return Decide(healthy, healthy ? kRuleProbeHealthy : kRuleProbeFailed, line);
  } catch (const OzException&) {
    return Decide(false, kRuleProbeException, line);
  }
}
