// The set-up of the single-instance file reader's tests: the store fixture's mount path
// (<tmp>/OZ_MAGNETIC, so the chunk-fault check probes a real mount path), a reader with its state
// open to tests, the host's log handle, and reads in pieces as a restore makes them.
//
//   TEST_F(SIFileTest, Something) {
//     auto reader = Reader(kChunk);                       // bound to chunk kChunk of volume 17
//     ASSERT_EQ(0, reader->OpenDataFileAndSeek(0, 1, offset, 0));
//     std::string data = ReadPieces(*reader, Stream::kData, 5000, rng);
//   }
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>

#include "MediaFileSystem/SIFile.h"
#include "sistore/chunk_craft.h"
#include "sistore/store_fixture.h"

class TestSIFile : public CSIFile {
 public:
  using CSIFile::CSIFile;

  using CSIFile::m_CompactionMap;
  using CSIFile::m_FSInitParams;
  using CSIFile::m_iSIVersion;
  using CSIFile::m_LastError;
  using CSIFile::m_pDataReader;
  using CSIFile::m_pMetaDataReader;
  using CSIFile::m_strChunkDir;
  using CSIFile::m_strDataPath;
  using CSIFile::m_strMetaDataPath;
  using CSIFile::m_uSfileNumber;
  using CSIFile::m_ullBytesSinceSeek;
  using CSIFile::m_ullChunkBlockSize;
  using CSIFile::m_ullLastSeekOffset;
};

class SIFileTest : public StoreTest {
 public:
  enum class Stream { kMetaData, kData };

  SIFileTest() { InitOZlog(&log, "SIFILE", "restore", 1); }

  // A reader bound to chunk `chunkId` of the fixture's volume on `params` (the disk mount path
  // when none is given).
  std::unique_ptr<TestSIFile> Reader(unsigned long long chunkId) { return Reader(chunkId, FsParams()); }
  std::unique_ptr<TestSIFile> Reader(unsigned long long chunkId, CFSInitParams params) {
    auto reader = std::make_unique<TestSIFile>(&log);
    EXPECT_EQ(0, reader->Init(&params, chunkId, kVolId, false));
    return reader;
  }

  // Up to `n` bytes of one stream in pieces of 1 to `maxPiece` bytes, as a restore reads them;
  // stops at a failure (left in `failure`) or at a short read.
  static std::string ReadPieces(CSIFile& reader, Stream stream, size_t n, std::mt19937_64& rng,
                                size_t maxPiece = 70000, MM_uint* failure = nullptr) {
    std::string out;
    std::string piece;
    while (out.size() < n) {
      const unsigned int want = static_cast<unsigned int>(std::min<uint64_t>(n - out.size(), 1 + rng() % maxPiece));
      piece.assign(want, '\0');
      const MM_uint got = stream == Stream::kData ? reader.ReadData(piece.data(), want)
                                                  : reader.ReadMetaData(piece.data(), want);
      if (got == CSIFile::kReadChunkAtFault || got == CSIFile::kReadNotChunk) {
        if (failure != nullptr) *failure = got;
        break;
      }
      out.append(piece, 0, got);
      if (got < want) break;
    }
    return out;
  }

  _OzLogDef log{};
};
