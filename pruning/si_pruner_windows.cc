// Prune windows: whether the ZovadAdeve, and a mount path, may be pruned now. The answers of the
// file-system agent are cached for 30 seconds in class statics that every pruner of the process
// shares; the read times are compared without the lock, so they are atomics.
#include <algorithm>
#include <cstdio>
#include <iterator>

#include "MediaFileSystem/SingleInstancerPruner.h"
#include "platform/config.h"
#include "platform/threads.h"
#include "pruning/rw_lock_helper.h"
#include "pruning/si_pruner_log.h"

namespace {

constexpr time_t kWindowCacheSeconds = 30;

time_t Now() { return static_cast<time_t>(MDTime().seconds()); }

// The log of a static operation: the context's, or a local one with the context's ids.
struct StaticLog {
  explicit StaticLog(SSIPrunerLogContext* ctx) {
    if (ctx != nullptr) {
      engineId = ctx->uEngineId;
      phase = ctx->uPhase;
      if (ctx->pLog != nullptr) log = ctx->pLog;
    }
  }
  EvDebug local;
  EvDebug* log = &local;
  unsigned int engineId = 0;
  unsigned int phase = 0;
};

}  // namespace

bool CSingleInstancerPruner::IsPruningAllowedOnMAStatic(bool force, SSIPrunerLogContext* ctx) {
  StaticLog out(ctx);
  const char* tag = "IsPruningAllowedOnMA";
  if (!force && Now() - s_tMAPrnWndwLastReadTime.load() < kWindowCacheSeconds) {
    CRWLockHelper hold(&s_PrnWndwReadLock, false);
    return s_bIsPrnAllowedOnMA;
  }
  OZPI_FileSystemAgent agent;
  bool enabled = false;
  if (agent.isPruningEnabledInZovadAdeve(enabled) != 0) {
    CSingleInstancerPruner::LogMessage(out.log, 0, out.engineId, out.phase, tag, __LINE__,
                  "Cannot check if pruning is allowed on zovadadeve, Error [%lu].", agent.getLastError());
    return false;
  }
  char message[1024];
  int level = 0;
  {
    CRWLockHelper hold(&s_PrnWndwReadLock, true);
    if (!s_bIsPrnAllowedOnMA && enabled) {
      snprintf(message, sizeof message, "Pruning has been enabled on ZovadAdeve.");
    } else if (s_bIsPrnAllowedOnMA && !enabled) {
      snprintf(message, sizeof message, "Pruning has been disabled on ZovadAdeve.");
    } else {
      level = 3;
      snprintf(message, sizeof message, "No change in pruning status on ZovadAdeve. Pruning allowed [%s].",
               enabled ? "true" : "false");
    }
    s_bIsPrnAllowedOnMA = enabled;
    s_tMAPrnWndwLastReadTime.store(Now());
  }
  CSingleInstancerPruner::LogMessage(out.log, level, out.engineId, out.phase, tag, __LINE__, "%s", message);
  return enabled;
}

bool CSingleInstancerPruner::IsPruningAllowedOnMA(bool force) {
  SSIPrunerLogContext ctx{m_pLog, m_uEngineId, m_uPhase};
  return IsPruningAllowedOnMAStatic(force, &ctx);
}

bool CSingleInstancerPruner::IsPruningAllowedOnMP(unsigned int mpId, bool force) {
  const char* tag = "IsPruningAllowedOnMP";
  if (!IsPruningAllowedOnMA(force)) return false;
  if (!force && Now() - s_tMPPrnWndwLastReadTime.load() < kWindowCacheSeconds) {
    CRWLockHelper hold(&s_PrnWndwReadLock, false);
    return std::find(s_vuPrnDsblMPIds.begin(), s_vuPrnDsblMPIds.end(), mpId) == s_vuPrnDsblMPIds.end();
  }
  OZPI_FileSystemAgent agent;
  std::vector<unsigned int> fresh;
  if (agent.getPruningDisabledMountPaths(&fresh) != 0) {
    PLOG(0, tag, "Cannot get mountpaths on which pruning is disabled, uMPId [%u], Error [%lu].", mpId,
         agent.getLastError());
    return false;
  }
  std::vector<unsigned int> disabled, enabled;
  bool allowed = true;
  {
    CRWLockHelper hold(&s_PrnWndwReadLock, true);
    std::sort(s_vuPrnDsblMPIds.begin(), s_vuPrnDsblMPIds.end());
    std::sort(fresh.begin(), fresh.end());
    std::set_difference(fresh.begin(), fresh.end(), s_vuPrnDsblMPIds.begin(), s_vuPrnDsblMPIds.end(),
                        std::back_inserter(disabled));
    std::set_difference(s_vuPrnDsblMPIds.begin(), s_vuPrnDsblMPIds.end(), fresh.begin(), fresh.end(),
                        std::back_inserter(enabled));
    s_vuPrnDsblMPIds = fresh;
    s_tMPPrnWndwLastReadTime.store(Now());
    allowed = !std::binary_search(fresh.begin(), fresh.end(), mpId);
  }
  for (unsigned int id : disabled) PLOG(1, tag, "Pruning has been disabled on mountpath [%u].", id);
  for (unsigned int id : enabled) PLOG(1, tag, "Pruning has been enabled on mountpath [%u].", id);
  if (disabled.empty() && enabled.empty()) {
    PLOG(3, tag, "Didn't find any %smountpaths on which pruning is disabled. Enabled MP count [%lu].",
         fresh.empty() ? "" : "new ", 0UL);
  }
  return allowed;
}

std::vector<unsigned int> CSingleInstancerPruner::GetPruningDisabledMPIds() {
  CRWLockHelper hold(&s_PrnWndwReadLock, false);
  return s_vuPrnDsblMPIds;
}
