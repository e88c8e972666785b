// CBufferedFileReader: reads one file sequentially through a block buffer, with cheap seeks.
//
// Small reads are served from a buffer of one block; a read that still wants at least one whole
// block goes straight from the file into the caller's memory. A seek inside the buffered bytes
// only moves the position; any other seek positions the file at the block boundary below the
// target and leaves the reading to the next Read: a seek never reads. While every read of the file
// returns what it asked for, every read of the underlying file starts at a multiple of the block
// size and is one block (a buffer fill) or a whole number of blocks (a direct read) long.
//
// Reaching the end of the file is not a failure: Read returns success with a smaller count (0 at
// the end). The position always stands right after the bytes delivered: after a read of the file
// that returned less than it asked, the next read of the file goes on from there. A Read after a
// seek whose block ends before the target returns 0 bytes, and the position moves back to that
// block's end. A failed Read returns the error with the bytes delivered before it counted; the
// next Read goes on right after them.
//
// Typical use:
//   CBufferedFileReader reader(&params);
//   reader.Init(262144);
//   reader.Open(path.c_str(), O_RDONLY, 0400);
//   reader.Seek(offset, 0, nullptr);  reader.Read(buf, n, &got);
//   reader.Close();
//
// The block size is the size given to Init, or "nBufFileRdrReadSizeKB" KiB (section "ZovadAdeve")
// when that is configured and positive. A reader is used by one thread at a time.
#pragma once

#include <cstdint>

#include "platform/error.h"
#include "platform/file_system.h"

class CBufferedFileReader {
 public:
  // Makes the file interface from `params`; a null pointer leaves the reader without one, which
  // serves only Close and destruction. The block is 64 KiB until Init.
  explicit CBufferedFileReader(CFSInitParams* params);
  ~CBufferedFileReader();
  CBufferedFileReader(const CBufferedFileReader&) = delete;
  CBufferedFileReader& operator=(const CBufferedFileReader&) = delete;

  // Sets the block size and makes the buffer (a buffer that is large enough is kept); resets the
  // logical position to 0 without positioning the file. Always succeeds: without a buffer every
  // later Read fails with ENOMEM.
  CXoError Init(unsigned int size);
  // Opens the file; flags and mode go to the file interface unchanged. On a disk path a file
  // that the process may not read gets read access (mode 0777) and is opened once more.
  CXoError Open(const char* path, int flags, int mode);
  // Closes an open file; keeps the buffer and the interface, so Open may follow.
  CXoError Close();
  // Up to `size` bytes at the logical position; `nRead` (may be null) receives the count.
  CXoError Read(void* dst, unsigned int size, unsigned int* nRead);
  // The logical position.
  CXoError Tell(unsigned long long& pos);
  // Moves the logical position: `whence` 0 from the start, 1 from the position, 2 from the size
  // recorded by Open, any other value to 0. The offset adds in unsigned 64-bit arithmetic, so a
  // negative offset converted to it counts backwards. `before` (may be null) receives the
  // position before the seek.
  CXoError Seek(unsigned long long offset, int whence, CXoFile::offset* before);
  bool IsValid();
  // Lent to the caller, who must not delete it.
  CFileInterface* GetFileInterface() { return m_pFile; }

 protected:
  CXoError FillInternalBuffer();

  uint32_t m_uBlockSize = 0;
  uint64_t m_ullCapacity = 0;
  char* m_pBuffer = nullptr;
  uint64_t m_ullBufferLen = 0;    // usable length; 0: no usable buffer
  bool m_bOwnsBuffer = false;
  uint32_t m_uValid = 0;          // bytes of the current block in the buffer
  uint32_t m_uPos = 0;            // read position in the buffer
  bool m_bRefill = true;          // the next Read fills at the positioned block, skipping m_uSkip
  uint32_t m_uSkip = 0;
  uint64_t m_ullBufferOffset = 0; // file offset of the buffer's first byte
  uint64_t m_ullFileSize = 0;
  CFileInterface* m_pFile = nullptr;
  bool m_bEOF = false;            // the last fill found the end of the file
  int32_t m_iStorageType = 0;     // CFSInitParams::m_Type of the file interface
  bool m_bReposition = false;     // a seek or read of the file failed: its position is not known

 private:
  uint64_t LogicalPosition() const;
  bool HasBuffer() const { return m_pBuffer != nullptr && m_ullBufferLen != 0 && m_uBlockSize != 0; }
  CXoError ReadFile(char* dst, unsigned int length, unsigned int& got);
  CXoError RetryOpenWithReadAccess(const char* path, int flags, int mode, const CXoError& refused);
};
