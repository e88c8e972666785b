// A second process that takes something (a lock, an open index) and keeps it until the test lets
// it go: for tests of what one process may do while another holds a chunk.
//
//   ChildHolder other([&] { return TakeTheLock(); });   // runs in the child
//   ASSERT_TRUE(other.holding());
//   ... this process tries ...
//   other.Release();                                     // the child lets go and ends
#pragma once

#include <functional>
#include <memory>

#include "index/index_test_util.h"

class ChildHolder {
 public:
  // `take` runs in the child and returns what it holds, or null when it could not take it.
  explicit ChildHolder(const std::function<std::shared_ptr<void>()>& take) {
    pid_ = idxtest::Fork([&] {
      ready_.CloseRead();
      release_.CloseWrite();
      released_.CloseRead();
      {
        std::shared_ptr<void> held = take();
        ready_.Send(held ? 'y' : 'n');
        release_.Receive();
      }
      released_.Send();
      return 0;
    });
    ready_.CloseWrite();
    release_.CloseRead();
    released_.CloseWrite();
    holding_ = ready_.Receive() == 'y';
  }
  ~ChildHolder() { Release(); }
  ChildHolder(const ChildHolder&) = delete;
  ChildHolder& operator=(const ChildHolder&) = delete;

  bool holding() const { return holding_; }
  pid_t pid() const { return pid_; }
  // Lets go and waits until the child has given up what it held.
  void Release() {
    if (pid_ <= 0) return;
    release_.Send();
    released_.Receive();
    idxtest::Wait(pid_);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool holding_ = false;
  idxtest::Pipe ready_, release_, released_;
};
