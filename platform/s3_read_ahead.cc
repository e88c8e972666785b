#include "platform/s3_read_ahead.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform::s3 {

ReadAhead::ReadAhead(const Connection& connection, std::string key, uint64_t objectSize, int inFlight,
                     uint64_t window)
    : m_connection(connection),
      m_key(std::move(key)),
      m_size(objectSize),
      m_inFlight(static_cast<size_t>(std::max(inFlight, 1))),
      m_window(std::max<uint64_t>(window, 1)) {
  m_threads.reserve(m_inFlight);
  for (size_t i = 0; i < m_inFlight; ++i) m_threads.emplace_back([this] { Fetch(); });
}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_work.notify_all();
  for (std::thread& t : m_threads) t.join();
}

void ReadAhead::Fetch() {
  for (;;) {
    std::shared_ptr<Window> w;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_work.wait(lock, [this] { return m_stop || !m_queue.empty(); });
      if (m_stop) return;
      w = std::move(m_queue.front());
      m_queue.pop_front();
    }
    uint64_t got = 0;
    CXoError e = GetRange(m_connection, m_key, w->start, w->length, w->data.data(), got);
    if (e.IsSuccess() && got != w->length) {
      e = FXErrorUtil::ErrorErrNo(FX_LOCATION, EIO, "S3 GET of key [%s] gave [%llu] of the [%llu] bytes at [%llu]",
                                  m_key.c_str(), static_cast<unsigned long long>(got),
                                  static_cast<unsigned long long>(w->length), static_cast<unsigned long long>(w->start));
    }
    m_fetched.fetch_add(static_cast<long long>(got));
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      w->error = e;
      w->finished = true;
    }
    m_finished.notify_all();
  }
}

void ReadAhead::TopUpLocked() {
  bool added = false;
  while (m_windows.size() < m_inFlight && m_next < m_size) {
    auto w = std::make_shared<Window>();
    w->start = m_next;
    w->length = std::min(m_window, m_size - m_next);
    w->data.resize(w->length);
    m_next += w->length;
    m_windows.push_back(w);
    m_queue.push_back(std::move(w));
    added = true;
  }
  if (added) m_work.notify_all();
}

void ReadAhead::RestartLocked(uint64_t offset) {
  // Windows being fetched finish into buffers that nobody reads any more.
  m_windows.clear();
  m_queue.clear();
  m_next = offset;
}

CXoError ReadAhead::Read(uint64_t offset, char* buffer, uint64_t length, uint64_t& done) {
  done = 0;
  std::unique_lock<std::mutex> lock(m_mutex);
  while (!m_windows.empty() && m_windows.front()->start + m_windows.front()->length <= offset) m_windows.pop_front();
  if (m_windows.empty() ? m_next != offset : m_windows.front()->start > offset) RestartLocked(offset);
  TopUpLocked();
  while (done < length && offset < m_size && !m_windows.empty()) {
    std::shared_ptr<Window> w = m_windows.front();
    m_finished.wait(lock, [&w] { return w->finished; });
    if (w->error.IsFailure()) {
      CXoError e = w->error;
      RestartLocked(offset);  // the next read asks again
      return e;
    }
    const uint64_t at = offset - w->start;
    const uint64_t n = std::min(length - done, w->length - at);
    // A fetched window does not change, and only this thread changes the list of windows.
    lock.unlock();
    std::memcpy(buffer + done, w->data.data() + at, n);
    lock.lock();
    done += n;
    offset += n;
    if (offset == w->start + w->length) {
      m_windows.pop_front();
      TopUpLocked();
    }
  }
  return CXoError::Success();
}

}  // namespace platform::s3
