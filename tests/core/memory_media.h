// A media type on memory for the frame's tests. Archive files are byte vectors; each WriteToMedia
// call takes the next scripted outcome (by default the whole block reaches the media), so a test
// can end the media, fail a write or have the media take only part of a block. Reads come from a
// byte vector the test fills. The frame's protected state is readable through the using lines.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "MediaFileSystem/zovadAdeveFS.h"

class MemoryMedia : public media_fs {
 public:
  enum class Outcome {
    Whole,          // the block is on the media
    WholeAtEnd,     // the block is on the media, which reached its end
    EndCloseChunk,  // -1, end of media, close-chunk flag: the block counts
    Partial,        // -1, end of media inside the block: partialBytes count
    Fail,           // -1, no end of media: a failure
  };
  struct Step {
    Outcome outcome = Outcome::Whole;
    long long partialBytes = 0;
  };

  explicit MemoryMedia(_JobContext* ctx) : media_fs(ctx) {}

  // ---- Scripts and records ----
  std::deque<Step> writeScript;
  std::vector<std::string> files;  // one per CreateSpecific, in order
  std::vector<long> writeSizes;    // len of every WriteToMedia
  std::vector<long> readSizes;     // len of every ReadFromMedia
  std::vector<int> paddings;       // WriteInterceptPadding arguments
  std::vector<long> closeMarks;    // CloseSpecific arguments
  std::vector<long long> physicalUpdates;  // UpdateNumPhysicalBytes arguments
  std::deque<int> blockSizeAnswers;        // getBlockSize answers before the reservation's

  int initSpecificResult = 0;
  int initSpecificCalls = 0;
  int initRecycledCalls = 0;
  int createResult = 0;
  int openCalls = 0;
  int closeResult = 0;
  int freeSpaceResult = -1;
  unsigned long long freeBytes = 0;
  long markType = 0;

  std::string readSource;  // what the open archive file holds
  size_t readPos = 0;
  int failReadAt = -1;     // the n-th ReadFromMedia (from 0) fails

  int retrySupported = 0;
  std::deque<int> repositionAnswers;  // RepositionMediaForWrite results; -1 when empty
  bool repositionClearsFlag = false;
  int repositionCalls = 0;

  // ---- Media operations ----
  int InitSpecific() override {
    ++initSpecificCalls;
    return initSpecificResult;
  }
  int InitRecycled() override {
    ++initRecycledCalls;
    return 0;
  }
  int getBlockSize() override {
    if (!blockSizeAnswers.empty()) {
      int kb = blockSizeAnswers.front();
      blockSizeAnswers.pop_front();
      return kb;
    }
    return media_fs::getBlockSize();
  }
  int CreateSpecific(const MediaFSArchiveFileId_t*) override {
    if (createResult == 0) files.emplace_back();
    return createResult;
  }
  int OpenSpecific(const MediaFSArchiveFileId_t*) override {
    ++openCalls;
    readPos = 0;
    return 0;
  }
  int CloseSpecific(long mark) override {
    closeMarks.push_back(mark);
    return closeResult;
  }
  int WriteToMedia(const char* buf, long len, int* eom) override {
    writeSizes.push_back(len);
    Step step;
    if (!writeScript.empty()) {
      step = writeScript.front();
      writeScript.pop_front();
    }
    if (files.empty()) files.emplace_back();
    std::string& file = files.back();
    switch (step.outcome) {
      case Outcome::Whole:
        file.append(buf, static_cast<size_t>(len));
        return static_cast<int>(len);
      case Outcome::WholeAtEnd:
        file.append(buf, static_cast<size_t>(len));
        *eom = 1;
        return static_cast<int>(len);
      case Outcome::EndCloseChunk:
        file.append(buf, static_cast<size_t>(len));
        *eom = 1;
        m_bCloseChunk = true;
        return -1;
      case Outcome::Partial:
        file.append(buf, static_cast<size_t>(step.partialBytes));
        *eom = 1;
        m_llBytesAtEOM = step.partialBytes;
        return -1;
      case Outcome::Fail:
        m_llBytesAtEOM = -1;
        MediaFSSetLastError(977);
        return -1;
    }
    return -1;
  }
  int ReadFromMedia(char* buf, long len) override {
    readSizes.push_back(len);
    if (failReadAt == static_cast<int>(readSizes.size()) - 1) {
      MediaFSSetLastError(979);
      return -1;
    }
    size_t n = std::min(static_cast<size_t>(len), readSource.size() - readPos);
    readSource.copy(buf, n, readPos);
    readPos += n;
    return static_cast<int>(n);
  }
  long GetMarkType() const override { return markType; }
  int UpdateNumPhysicalBytes(long long writeTime) override {
    physicalUpdates.push_back(writeTime);
    if (m_pVolInfo != nullptr) m_pVolInfo->incrNumPhysicalBytes(m_llPhysicalBytes, -1);
    return 0;
  }
  int getFreeSpaceFromMedia(unsigned long long& bytes) override {
    bytes = freeBytes;
    return freeSpaceResult;
  }
  long long GetRemainingSpace() override { return 0; }
  int InitCatalogOperationOnMedia(int) override { return 0; }
  int WriteInterceptPadding(int size) override {
    paddings.push_back(size);
    return 0;
  }
  int WriteRetrySupported() override { return retrySupported; }
  int RepositionMediaForWrite(bool& again) override {
    ++repositionCalls;
    if (repositionClearsFlag) again = false;
    if (repositionAnswers.empty()) return -1;
    int r = repositionAnswers.front();
    repositionAnswers.pop_front();
    return r;
  }

  // ---- The frame's state, for assertions ----
  using media_fs::m_bCloseChunk;
  using media_fs::m_bDoNotWriteToMedia;
  using media_fs::m_bLargeReadBuffer;
  using media_fs::m_bReadTimerStarted;
  using media_fs::m_bUpdTransferOnRestore;
  using media_fs::m_bWriteTimerStarted;
  using media_fs::m_bWriting;
  using media_fs::m_fd;
  using media_fs::m_iFilesPerClose;
  using media_fs::m_llBytesAtEOM;
  using media_fs::m_llBytesLeftToRead;
  using media_fs::m_llBytesRead;
  using media_fs::m_llDriveBytesWritten;
  using media_fs::m_llFileNumber;
  using media_fs::m_llKBRemaining;
  using media_fs::m_llLogicalBytes;
  using media_fs::m_llNumFiles;
  using media_fs::m_llPhysicalBytes;
  using media_fs::m_llReadCachedFM;
  using media_fs::m_llRlen;
  using media_fs::m_llRoff;
  using media_fs::m_llSpaceOccupied;
  using media_fs::m_llWriteCachedFM;
  using media_fs::m_llWriteTime;
  using media_fs::m_pDriveInfo;
  using media_fs::m_pJobClient;
  using media_fs::m_pVolInfo;
  using media_fs::m_strLastErrorMsg;
  using media_fs::m_bIsTape;
  using media_fs::m_bChunksReadOnly;
  using media_fs::m_uiRetentionDays;
  using media_fs::m_bTraceWrites;
  using media_fs::m_iMediaType;
  using media_fs::m_ulBlockSize;
  using media_fs::m_ulFoff;
  using media_fs::m_ulReadBufSize;
  using media_fs::m_ulWoff;
  using media_fs::m_ulWriteBufSize;
};
