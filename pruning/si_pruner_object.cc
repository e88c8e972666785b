// The driver object: its construction with the eight counters, Initialize with the delete log,
// and the class statics that every pruner of the process shares (made at load; tests return them
// to their load-time state through the platform's reset).
#include "MediaFileSystem/HybridVolumesIndexFile.h"
#include "MediaFileSystem/SingleInstancerPruner.h"
#include "platform/config.h"
#include "platform/platform.h"
#include "pruning/rw_lock_helper.h"
#include "pruning/si_pruner_log.h"

namespace {

constexpr const char* kSection = "ZovadAdeve";
constexpr unsigned int kCounterLogSeconds = 600;

}  // namespace

CHybridVolumesIndexFile* CSingleInstancerPruner::s_pHybVols = CHybridVolumesIndexFile::GetInstance();
std::vector<unsigned int> CSingleInstancerPruner::s_vuPrnDsblMPIds;
CRWLock CSingleInstancerPruner::s_PrnWndwReadLock;
bool CSingleInstancerPruner::s_bIsPrnAllowedOnMA = true;
std::atomic<time_t> CSingleInstancerPruner::s_tMAPrnWndwLastReadTime{0};
std::atomic<time_t> CSingleInstancerPruner::s_tMPPrnWndwLastReadTime{0};

void CSingleInstancerPruner::ResetStatics() {
  {
    CRWLockHelper hold(&s_PrnWndwReadLock, true);
    s_vuPrnDsblMPIds.clear();
    s_bIsPrnAllowedOnMA = true;
  }
  s_tMAPrnWndwLastReadTime.store(0);
  s_tMPPrnWndwLastReadTime.store(0);
}

namespace {

// Registered at load, after the statics above are made.
const bool g_staticsResetRegistered = (platform::RegisterReset(&CSingleInstancerPruner::ResetStatics), true);

}  // namespace

CSingleInstancerPruner::CSingleInstancerPruner(EvDebug* log)
    : m_pLog(log != nullptr ? log : &m_OwnLog),
      m_AvgExists(m_pLog),
      m_AvgOpen(m_pLog),
      m_AvgClose(m_pLog),
      m_AvgDeleteFile(m_pLog),
      m_AvgDeleteDir(m_pLog),
      m_AvgCanPruneVolume(m_pLog),
      m_AvgPruneVolume(m_pLog),
      m_AvgGetDirContents(m_pLog) {
  const std::pair<CAverageCounter*, const char*> counters[] = {
      {&m_AvgExists, "Avg Exists"},         {&m_AvgOpen, "Avg Open"},
      {&m_AvgClose, "Avg Close"},           {&m_AvgDeleteFile, "Avg DeleteFile"},
      {&m_AvgDeleteDir, "Avg DeleteDir"},   {&m_AvgCanPruneVolume, "Avg CanPruneVolume"},
      {&m_AvgPruneVolume, "Avg PruneVolume"}, {&m_AvgGetDirContents, "Avg GetDirContents"}};
  for (const auto& [counter, label] : counters) {
    counter->Init(label, 0);
    counter->EnableLogging(&CCounterBase::DefaultLog, kCounterLogSeconds);
  }
  OZPlatformInfo info;
  long long value = 0;
  m_bCountersEnabled = !info.getNumber(kSection, "DedupEnablePruningCounters", &value) || value != 0;
}

CSingleInstancerPruner::~CSingleInstancerPruner() {
  if (m_bHybVolsOpened) {
    (void)s_pHybVols->Close();
    m_bHybVolsOpened = false;
  }
}

int CSingleInstancerPruner::Initialize(const std::string& clientName, unsigned int engineId, unsigned int phase,
                                       unsigned int deleteMetadata, bool keepFolders) {
  m_strClientName = clientName;
  m_uEngineId = engineId;
  m_uPhase = phase;
  m_uDeleteMetadata = deleteMetadata;
  m_bKeepFolders = keepFolders;
  (void)m_DeleteLog.initialize(&m_DeleteLogFile, kDeleteLogId, -1, false, "");
  m_DeleteLog.setAccessMethod(kDeleteLogAccessMethod);
  if (m_DeleteLog.getMaxVersion() < kDeleteLogMinVersions) m_DeleteLog.setMaxVersion(kDeleteLogMinVersions);
  OZPlatformInfo info;
  long long value = 0;
  m_bDropInaccessibleMPData = info.getNumber(kSection, "DedupDropInaccessibleMountPathData", &value) && value == 1;
  value = 0;
  m_bLogonAgainOnErr22 = info.getNumber(kSection, "DedupLogonAgainOnErr22", &value) && value == 1;
  value = 0;
  m_bPruneViaNetResource = !info.getNumber(kSection, "DedupPruneViaNetResourceConnection", &value) || value != 0;
  return 0;
}
