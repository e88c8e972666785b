// The driver's message lines, through the pruners' prefix: "%d-%d %s:%d " (engine id, phase, tag,
// line) while the engine id is not 0, else "%s:%d ".
#pragma once

#include "MediaFileSystem/SingleInstancerPruner.h"

// For members of CSingleInstancerPruner: its log, engine id and phase.
#define PLOG(level, tag, ...) \
  CSingleInstancerPruner::LogMessage(m_pLog, (level), m_uEngineId, m_uPhase, (tag), __LINE__, __VA_ARGS__)
// Invariant reports with the text the pruners' logs carry.
#define PASSERT(expression, text) ozassert(static_cast<bool>(expression), (text), __FILE__, __func__, __LINE__)
