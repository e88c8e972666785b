// Read-ahead of one S3 object: threads of its own fetch the ranges ahead of the reader, each a
// ranged GET of one window, as many at once as the limit allows. The reader takes bytes in order
// from the fetched windows; a read elsewhere drops the windows and starts again from there.
// One reader thread calls Read; the fetching threads end with the object.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/s3_request.h"

namespace platform::s3 {

class ReadAhead {
 public:
  // `connection` must outlive the object.
  ReadAhead(const Connection& connection, std::string key, uint64_t objectSize, int inFlight, uint64_t window);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Copies up to `length` bytes from `offset` into `buffer`; `done` is less only at the object's
  // end. A window that could not be fetched fails the read that reaches it.
  CXoError Read(uint64_t offset, char* buffer, uint64_t length, uint64_t& done);
  // Bytes fetched since the last call.
  long long TakeFetched() { return m_fetched.exchange(0); }

 private:
  struct Window {
    uint64_t start = 0;
    uint64_t length = 0;
    std::vector<char> data;
    bool finished = false;
    CXoError error;
  };

  void Fetch();
  // Under m_mutex: windows up to the limit, from m_next on.
  void TopUpLocked();
  // Under m_mutex: drops every window and starts again at `offset`.
  void RestartLocked(uint64_t offset);

  const Connection& m_connection;
  const std::string m_key;
  const uint64_t m_size;
  const size_t m_inFlight;
  const uint64_t m_window;
  std::mutex m_mutex;
  std::condition_variable m_work;      // a window to fetch, or the end
  std::condition_variable m_finished;  // a window was fetched
  std::deque<std::shared_ptr<Window>> m_windows;  // in order, from the reader's position
  std::deque<std::shared_ptr<Window>> m_queue;    // not yet taken by a thread
  uint64_t m_next = 0;  // where the next window starts
  bool m_stop = false;
  std::atomic<long long> m_fetched{0};
  std::vector<std::thread> m_threads;
};

}  // namespace platform::s3
