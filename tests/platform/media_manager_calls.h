// What the media manager was told, read back by tests.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "platform/media_manager.h"

// The recorded calls whose operation is one of `ops`, by name, in order.
inline std::vector<std::string> MediaManagerOps(const std::set<std::string>& ops) {
  std::vector<std::string> found;
  for (const platform::MMCall& c : platform::MediaManager().calls) {
    if (ops.count(c.op) != 0) found.push_back(c.op);
  }
  return found;
}

// The arguments of the last call of `op`; empty when there was none.
inline std::vector<long long> MediaManagerLastArgs(const std::string& op) {
  auto calls = platform::MediaManager().CallsOf(op);
  return calls.empty() ? std::vector<long long>{} : calls.back().args;
}

// The arguments of every call of `op`, in order.
inline std::vector<std::vector<long long>> MediaManagerAllArgs(const std::string& op) {
  std::vector<std::vector<long long>> args;
  for (const platform::MMCall& c : platform::MediaManager().CallsOf(op)) args.push_back(c.args);
  return args;
}
