// Paths on a scale-out volume ("/lg/glus...") get their own treatment (hard-link tests, retried
// opens and reads). Tests examine them in a child whose root folder is the test's temporary
// folder, so they need no such volume on the machine, and the code under test reaches the paths
// with its own system calls.
#pragma once

#include <sched.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "index/index_test_util.h"

namespace mfstest {

// The exit status of a child that could not change its root folder.
inline constexpr int kNoChroot = 77;

// Runs `checks` in a child whose root is `root` and returns the child's exit status: the result
// of `checks` (0 when every check held), kNoChroot when the root could not be changed, 78 when
// the new root could not be entered.
inline int RunChrooted(const std::string& root, const std::function<int()>& checks) {
  return idxtest::Wait(idxtest::Fork([&] {
    if (chroot(root.c_str()) != 0 && (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 || chroot(root.c_str()) != 0)) {
      return kNoChroot;
    }
    return chdir("/") == 0 ? checks() : 78;
  }));
}

}  // namespace mfstest
