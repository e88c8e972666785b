// A file interface over the layer's own that records what the read managers do with it: the
// flags of each open, every seek and read pair in the order they ran, and whether two pairs ever
// overlapped. A gate set by the test runs before each read (to hold it while the test acts).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace aio_test {

class RecordingFile : public CFileInterface {
 public:
  struct ReadRecord {
    long long offset;
    unsigned int length;
  };

  explicit RecordingFile(const CFSInitParams& params = CFSInitParams())
      : m_inner(CFileInterface::GetFileInterfaceInstance(params)) {
    m_Params = params;
  }

  CXoError Open(std::string path, int flags, int mode, int reserved) override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_openFlags.push_back(flags);
      m_openModes.push_back(mode);
    }
    return m_inner->Open(path, flags, mode, reserved);
  }
  CXoError Close() override {
    m_closes.fetch_add(1);
    return m_inner->Close();
  }
  CXoError Seek(CXoFile::offset offset, int whence, CXoFile::offset* position) override {
    if (m_inPair.exchange(true)) m_overlapped.store(true);
    m_seekOffset.store(offset);
    CXoError err = m_inner->Seek(offset, whence, position);
    if (err.IsFailure()) m_inPair.store(false);
    return err;
  }
  CXoError Read(void* buffer, unsigned int length, unsigned int* done) override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_reads.push_back(ReadRecord{m_seekOffset.load(), length});
    }
    if (m_gate) m_gate(m_seekOffset.load());
    CXoError err = m_inner->Read(buffer, length, done);
    m_inPair.store(false);
    return err;
  }
  CXoError Write(const void* buffer, unsigned int length, unsigned int* done) override {
    return m_inner->Write(buffer, length, done);
  }
  CXoError Tell(CXoFile::offset& position) override { return m_inner->Tell(position); }
  CXoError Size(unsigned long long& size) override { return m_inner->Size(size); }
  CXoError Truncate(CXoFile::offset size) override { return m_inner->Truncate(size); }
  CXoError GetChkSum(std::string path, int kind, char* sum, int* length) override {
    return m_inner->GetChkSum(path, kind, sum, length);
  }
  CXoError Flush() override { return m_inner->Flush(); }
  int GetFD() override { return m_inner->GetFD(); }
  bool IsValid() override { return m_inner->IsValid(); }
  CXoError LockFile(bool shared) override { return m_inner->LockFile(shared); }
  CXoError UnlockFile() override { return m_inner->UnlockFile(); }
  bool IsConnected() override { return m_inner->IsConnected(); }
  CXoError DrillHole(uint64_t offset, uint64_t length) override { return m_inner->DrillHole(offset, length); }
  CXoError AttachFD(int fd, const char* name) override { return m_inner->AttachFD(fd, name); }
  CXoError SetReadAheadCaching(bool enable) override { return m_inner->SetReadAheadCaching(enable); }
  std::string GetFileName() override { return m_inner->GetFileName(); }

  // Set before the interface is used; runs on the reading thread before each read.
  void SetGate(std::function<void(long long offset)> gate) { m_gate = std::move(gate); }

  std::vector<ReadRecord> Reads() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reads;
  }
  std::vector<int> OpenFlags() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_openFlags;
  }
  std::vector<int> OpenModes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_openModes;
  }
  int Closes() const { return m_closes.load(); }
  bool Overlapped() const { return m_overlapped.load(); }

 private:
  std::unique_ptr<CFileInterface> m_inner;
  mutable std::mutex m_mutex;
  std::vector<ReadRecord> m_reads;
  std::vector<int> m_openFlags;
  std::vector<int> m_openModes;
  std::atomic<int> m_closes{0};
  std::atomic<bool> m_inPair{false};
  std::atomic<bool> m_overlapped{false};
  std::atomic<long long> m_seekOffset{0};
  std::function<void(long long)> m_gate;
};

}  // namespace aio_test
