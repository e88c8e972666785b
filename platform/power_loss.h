// The power-loss model of the disk layer: what a power cut leaves of files and folders.
//
// A disk keeps what was flushed; of the rest it may have written back any part, in any order.
// With the switch on (FaultInjector::SetPowerLossModel), the layer reports every change before
// it makes it, and the model remembers:
//   - per file (by inode): its size at its last Flush, and the bytes of each 4 KiB page that a
//     write, truncation or hole punch has replaced since, as they were at that Flush;
//   - per folder: the names created, removed or renamed in it since the folder's last Flush (a
//     Flush of the folder opened with O_DIRECTORY). A removed or replaced file is remembered as
//     its flushed bytes, so that it can come back. A rename between folders needs both flushed.
// A Flush of a file makes its bytes and size durable, not its name; a Flush of a folder makes
// its names durable, not the folders that hold it.
//
// A power cut first returns the bytes and sizes of files, then undoes name changes from the
// last one back. In drop mode every unflushed change is lost. In random mode each file's size
// falls at random between its flushed and its current size (on a page boundary, or at either
// end), each unflushed page within it keeps its new bytes or its flushed ones (zeros where it
// had none), and a random number of the oldest unflushed name changes survives, so the names
// stay as a journaling file system would leave them. A truncation is one change of metadata:
// either it reached the disk whole (the bytes it cut off are gone, and pages written after it
// may have followed it), or it did not, and then nothing written to the file after it did.
// Undoing the creation of a folder loses everything in it.
//
// While the switch is on, Flush does not call fsync: the model, not the disk, decides what
// survives, and tests that cut power hundreds of times do not wait for the disk. Only calls of
// the layer are seen: bytes written around it (a descriptor from GetFD, a file changed by the
// test itself) are taken as flushed, and symbolic links and hard links of several names are
// not modelled.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <shared_mutex>
#include <string>

#include "platform/fault_injection.h"

namespace platform {

namespace power_loss {

struct NameChange;

// The model's side of the switch (FaultInjector calls these).
void Start();  // forgets everything: what is on disk now counts as flushed
void Reset();  // forgets everything and turns the power back on
PowerCutReport Cut(PowerCutMode mode, uint64_t seed);
void Restore();
bool IsOff();

}  // namespace power_loss

// One call of the disk layer. Without the switch (the outcome of the fault check says so) every
// member does nothing and returns 0. With it, the call holds the model's call lock from here to
// its end, so that a power cut waits for a system call under way and no system call starts after
// a cut. Each Before... member records what the call is about to change and returns 0, or an
// errno to fail the call with (EIO once the power is off). A name change is recorded when the
// call reports its success with Committed; a call that fails leaves the model as it was.
class PowerLossCall {
 public:
  // Sets the outcome's errno to EIO when the power is off by the time the call holds the lock.
  explicit PowerLossCall(FaultInjector::Outcome& outcome) {
    if (outcome.powerModel) Begin(outcome);
  }
  ~PowerLossCall() {
    if (m_pending != nullptr) Discard();
  }
  PowerLossCall(const PowerLossCall&) = delete;
  PowerLossCall& operator=(const PowerLossCall&) = delete;

  // Flush skips fsync while the model decides what survives.
  bool Modelled() const { return m_modelled; }

  int BeforeWrite(int fd, uint64_t length) { return m_modelled ? RecordWrite(fd, length) : 0; }
  int BeforeResize(int fd, uint64_t size) { return m_modelled ? RecordResize(fd, size) : 0; }
  int BeforeHole(int fd, uint64_t offset, uint64_t length) {
    return m_modelled ? RecordHole(fd, offset, length) : 0;
  }
  // Takes O_TRUNC out of `flags` when the file exists (AfterOpen then empties it as a recorded
  // change), and notes a creation when O_CREAT is to make a new file.
  int BeforeOpen(const std::string& path, int& flags) { return m_modelled ? RecordOpen(path, flags) : 0; }
  // The open succeeded: commits a creation, empties a file that O_TRUNC asked to empty.
  int AfterOpen(int fd) { return m_modelled ? FinishOpen(fd) : 0; }
  int BeforeRemove(const std::string& path) { return m_modelled ? RecordRemove(path, false) : 0; }
  int BeforeRemoveFolder(const std::string& path) { return m_modelled ? RecordRemove(path, true) : 0; }
  int BeforeRename(const std::string& from, const std::string& to) {
    return m_modelled ? RecordRename(from, to) : 0;
  }
  // Notes the creation of a folder that does not exist yet; nothing for one that exists.
  int BeforeCreateFolder(const std::string& path) { return m_modelled ? RecordCreateFolder(path) : 0; }
  // The system call succeeded: the noted name change happened.
  void Committed() {
    if (m_pending != nullptr) Commit();
  }
  // After a successful Flush: the file's bytes and size, or the folder's names, are durable.
  void Flushed(int fd) {
    if (m_modelled) RecordFlush(fd);
  }

 private:
  void Begin(FaultInjector::Outcome& outcome);
  void Discard();
  void Pend(power_loss::NameChange* change);  // takes it
  void Commit();
  int RecordWrite(int fd, uint64_t length);
  int RecordResize(int fd, uint64_t size);
  int RecordHole(int fd, uint64_t offset, uint64_t length);
  int RecordOpen(const std::string& path, int& flags);
  int FinishOpen(int fd);
  int RecordRemove(const std::string& path, bool folder);
  int RecordRename(const std::string& from, const std::string& to);
  int RecordCreateFolder(const std::string& path);
  void RecordFlush(int fd);

  bool m_modelled = false;
  bool m_truncateAfterOpen = false;
  std::shared_lock<std::shared_mutex> m_lock;
  power_loss::NameChange* m_pending = nullptr;  // owned
};

}  // namespace platform
