// Holds flushes inside the file layer until a test lets them go, so a test decides which flush a
// worker is in while it submits, waits and cancels. Requests flush real files.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "MediaFileSystem/FileFlusher.h"
#include "platform/platform.h"
#include "platform/temp_dir.h"

class FlushGate {
 public:
  FlushGate() {
    platform::Faults().SetHook([this](platform::FsOp op, const std::string& path) { OnOperation(op, path); });
  }
  ~FlushGate() {
    OpenAll();
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [this] { return m_inside == 0; });
    lock.unlock();
    platform::Faults().SetHook(nullptr);
  }
  FlushGate(const FlushGate&) = delete;
  FlushGate& operator=(const FlushGate&) = delete;

  // From now on every flush waits until its path is opened (or all are).
  void Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
  }
  void Open(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_opened.insert(path);
    m_cv.notify_all();
  }
  void OpenAll() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = false;
    m_cv.notify_all();
  }
  // Waits until `n` flushes in all have reached the gate.
  void WaitArrived(size_t n) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [&] { return m_arrived.size() >= n; });
  }
  std::vector<std::string> Arrived() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_arrived;
  }

 private:
  void OnOperation(platform::FsOp op, const std::string& path) {
    if (op != platform::FsOp::Flush) return;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_closed) return;
    ++m_inside;
    m_arrived.push_back(path);
    m_cv.notify_all();
    m_cv.wait(lock, [&] { return !m_closed || m_opened.count(path) != 0; });
    --m_inside;
    m_cv.notify_all();
  }

  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_closed = false;
  int m_inside = 0;
  std::set<std::string> m_opened;
  std::vector<std::string> m_arrived;
};

// A request on a real file of its own, opened for writing.
struct FileRequest {
  FileRequest(const std::string& folder, const std::string& name) : path(folder + "/" + name + ".req") {
    std::ofstream(path) << name;
    CFSInitParams params;
    file.reset(CFileInterface::GetFileInterfaceInstance(params));
    EXPECT_TRUE(file->Open(path, O_WRONLY, 0600, 0).IsSuccess());
    req.pFile = file.get();
    req.pDoneEvent = &event;
  }
  bool Done() { return event.wait(0); }
  long long Flushes() const { return platform::Faults().Calls(platform::FsOp::Flush, path); }

  std::string path;
  std::unique_ptr<CFileInterface> file;
  OzEventH event{true};
  CFileFlusher::SRequest req;
};
