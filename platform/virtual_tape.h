// A tape cartridge kept in a backing file: the medium under the virtual tape drive.
//
// The cartridge is a sequence of records, each a block of data or a file mark. The backing file
// holds a 16-byte header ("MFSVTAPE", version) and then the records in tape order, each a 16-byte
// big-endian header (kind, length, key tag, flags) followed, for a block, by its bytes. Writing at
// a record index first cuts off that record and everything after it, as a tape drive does. A
// record cut short by a crash (its header or bytes incomplete at the end of the file) is dropped
// when the file is opened, as a drive finds the end of data after the last complete block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

struct TapeRecord {
  bool mark = false;        // a file mark; otherwise a block of data
  uint32_t length = 0;      // bytes of a block
  uint32_t keyTag = 0;      // tag of the encryption key the block was written with; 0: none
  bool compressed = false;  // written with the drive's compression on
  uint64_t offset = 0;      // of the bytes in the backing file
  long long startByte = 0;  // data bytes on the tape before the record
};

class VirtualTape {
 public:
  VirtualTape() = default;
  ~VirtualTape();
  VirtualTape(const VirtualTape&) = delete;
  VirtualTape& operator=(const VirtualTape&) = delete;

  // Opens the backing file, creating an empty tape when it is absent or empty. False with the
  // reason in `error`; a file that is not a tape is refused.
  bool Open(const std::string& file, std::string& error);
  const std::string& file() const { return m_file; }

  size_t size() const { return m_records.size(); }
  const TapeRecord& record(size_t index) const { return m_records[index]; }
  // Data bytes on the tape before the record at `index` (index may be size()).
  long long DataBytesBefore(size_t index) const;
  size_t MarkCount() const { return m_marks; }

  // Cuts off the records from `index` on and appends a block or `count` file marks. False on an
  // I/O failure (errno set); the tape then ends at `index`. `torn`, when set, is called after the
  // first half of a block's bytes reached the file (a crash test kills the process there).
  bool AppendBlock(size_t index, const char* data, uint32_t length, uint32_t keyTag, bool compressed,
                   const std::function<void()>& torn = {});
  bool AppendMarks(size_t index, int count);
  // Copies `n` bytes of a block from byte `from` of it. False on an I/O failure.
  bool ReadBlock(const TapeRecord& r, size_t from, char* buf, size_t n) const;

 private:
  bool Truncate(size_t index);
  bool WriteAll(const void* data, size_t n, uint64_t at);
  bool WriteRecord(const unsigned char* header, const char* data, size_t length, uint64_t at);

  int m_fd = -1;
  std::string m_file;
  std::vector<TapeRecord> m_records;
  size_t m_marks = 0;
  uint64_t m_end = 0;  // file size: where the next record goes
};

}  // namespace platform
