// CBufferedFileReader against the file itself: every byte and count compared with pread, every
// read of the underlying file traced (aligned, whole blocks), seeks that never read, and faults
// injected into the n-th read or seek.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <random>

#include <gtest/gtest.h>

#include "MediaFileSystem/BufferedFileReader.h"
#include "platform/platform.h"
#include "platform/temp_dir.h"
#include "test_env.h"

namespace {

using platform::FsOp;

class ReaderTest : public ::testing::Test {
 public:
  // A file of `size` bytes of a pattern that tells every offset apart.
  std::string MakeFile(const std::string& name, size_t size, unsigned seed = 1) {
    std::string path = dir / name;
    std::string bytes(size, '\0');
    std::mt19937 rng(seed);
    for (char& c : bytes) c = static_cast<char>(rng());
    std::ofstream(path, std::ios::binary) << bytes;
    content = bytes;
    return path;
  }

  std::string Expected(uint64_t pos, size_t n) const {
    if (pos >= content.size()) return std::string();
    return content.substr(static_cast<size_t>(pos), n);
  }

  static std::string ReadString(CBufferedFileReader& r, unsigned int n, CXoError* error = nullptr) {
    std::string buf(n, '\0');
    unsigned int got = 12345;
    CXoError e = r.Read(buf.data(), n, &got);
    if (error != nullptr) {
      *error = e;
    } else {
      EXPECT_TRUE(e.IsSuccess()) << e.AsString();
    }
    buf.resize(got);
    return buf;
  }

  static uint64_t Tell(CBufferedFileReader& r) {
    unsigned long long pos = 0;
    EXPECT_TRUE(r.Tell(pos).IsSuccess());
    return pos;
  }

  // A reader of `block`-byte blocks, open on `path`; it lives until the next call or the test's end.
  CBufferedFileReader& OpenReader(const std::string& path, uint32_t block) {
    m_reader = std::make_unique<CBufferedFileReader>(&params);
    m_reader->Init(block);
    EXPECT_TRUE(m_reader->Open(path.c_str(), O_RDONLY, 0400).IsSuccess()) << path;
    return *m_reader;
  }

  // Reads of the file since the last call.
  std::vector<platform::FsTransfer> NewReads(const std::string& path) {
    auto all = platform::Faults().Transfers(path);
    std::vector<platform::FsTransfer> fresh;
    for (size_t i = seen; i < all.size(); ++i) {
      if (all[i].op == FsOp::Read) fresh.push_back(all[i]);
    }
    seen = all.size();
    return fresh;
  }

  TempDir dir;
  std::string content;
  CFSInitParams params;
  size_t seen = 0;
  std::unique_ptr<CBufferedFileReader> m_reader;
};

// ---- The property test -------------------------------------------------------------------------

int Trials() {
  return mfstest::EnvCount("MFS_READER_PROPERTY_TRIALS", 40);
}

TEST_F(ReaderTest, RandomSeeksAndReadsMatchPreadAndReadWholeAlignedBlocks) {
  const uint32_t blocks[] = {512, 1000, 4096, 65536};
  long long operations = 0;
  for (int trial = 0; trial < Trials(); ++trial) {
    platform::ResetAll();
    platform::Faults().TraceTransfers(true);
    seen = 0;
    std::mt19937_64 rng(0x5eed + trial);
    const uint32_t block = blocks[rng() % 4];
    const size_t size = rng() % 8 == 0 ? 0 : rng() % (6 * block + block);
    const std::string path = MakeFile("trial" + std::to_string(trial) + ".dat", size, static_cast<unsigned>(trial));
    SCOPED_TRACE("trial " + std::to_string(trial) + ", block " + std::to_string(block) + ", size " +
                 std::to_string(size));
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);

    CBufferedFileReader& reader = OpenReader(path, block);
    NewReads(path);
    uint64_t pos = 0;
    for (int op = 0; op < 200; ++op, ++operations) {
      const unsigned kind = static_cast<unsigned>(rng() % 10);
      if (kind < 3) {  // seek
        const int whence = static_cast<int>(rng() % 3);
        uint64_t target = rng() % (size + 2 * block + 1);
        unsigned long long offset = target;
        if (whence == 1) offset = target - pos;    // backwards too, by unsigned wrap
        if (whence == 2) offset = target - size;
        CXoFile::offset before = -1;
        ASSERT_TRUE(reader.Seek(offset, whence, &before).IsSuccess());
        EXPECT_EQ(static_cast<long long>(pos), before);
        pos = target;
        EXPECT_TRUE(NewReads(path).empty()) << "a seek read the file";
        EXPECT_EQ(pos, Tell(reader));
        continue;
      }
      unsigned int n = 0;
      switch (kind) {
        case 3: n = 0; break;
        case 4: case 5: n = 1 + static_cast<unsigned>(rng() % (block - 1)); break;  // small
        case 6: n = block; break;
        case 7: n = block * (2 + static_cast<unsigned>(rng() % 3)) + static_cast<unsigned>(rng() % block); break;
        default: n = static_cast<unsigned>(rng() % (size + block + 1)); break;  // often across the end
      }
      std::vector<char> got(n + 1);
      unsigned int count = 0;
      ASSERT_TRUE(reader.Read(got.data(), n, &count).IsSuccess());
      const std::string expected = Expected(pos, n);
      std::vector<char> direct(n + 1);
      const ssize_t fromFile = pread(fd, direct.data(), n, static_cast<off_t>(pos));
      ASSERT_EQ(static_cast<ssize_t>(expected.size()), std::max<ssize_t>(fromFile, 0));
      ASSERT_EQ(expected.size(), count) << "read of " << n << " at " << pos;
      ASSERT_EQ(0, std::memcmp(expected.data(), got.data(), count)) << "read of " << n << " at " << pos;
      if (pos <= size) {
        pos += count;
      } else {  // after a seek past the end the position falls back to the end of its block's bytes
        const uint64_t blockStart = pos - pos % block;
        pos = std::min<uint64_t>(pos, std::max<uint64_t>(blockStart, size));
      }
      ASSERT_EQ(pos, Tell(reader));
      const auto reads = NewReads(path);
      EXPECT_LE(reads.size(), 4u);
      for (const platform::FsTransfer& t : reads) {
        // Only a read that found the end returns short; the reads after it, which start at the
        // end of the file, are the only ones that may be off the block grid.
        if (t.offset >= static_cast<long long>(size)) continue;
        EXPECT_EQ(0, t.offset % block) << "read at " << t.offset;
        EXPECT_EQ(0u, t.length % block) << "read of " << t.length;
        EXPECT_GE(t.length, block);
      }
    }
    close(fd);
  }
  EXPECT_GE(operations, 8000);
}

// ---- Edges the callers rely on ------------------------------------------------------------------

TEST_F(ReaderTest, FileShorterThanABlockComesWholeThenEmpty) {
  const std::string path = MakeFile("short", 100);
  CBufferedFileReader& reader = OpenReader(path, 4096);
  EXPECT_EQ(content, ReadString(reader, 4096));
  EXPECT_EQ("", ReadString(reader, 4096));
  EXPECT_EQ("", ReadString(reader, 10));
  EXPECT_EQ(100u, Tell(reader));  // never past the end of the file
}

TEST_F(ReaderTest, TellStaysAtTheEndAfterSmallReadsReachIt) {
  const std::string path = MakeFile("tail", 100);
  CBufferedFileReader& reader = OpenReader(path, 64);
  std::string all;
  for (std::string part; !(part = ReadString(reader, 10)).empty();) all += part;
  EXPECT_EQ(content, all);
  EXPECT_EQ(100u, Tell(reader));
  CXoFile::offset before = 0;
  ASSERT_TRUE(reader.Seek(0, 1, &before).IsSuccess());
  EXPECT_EQ(100, before);
}

TEST_F(ReaderTest, ReadOfZeroBytesStillFillsAPendingBlock) {
  const std::string path = MakeFile("zero", 10000);
  CBufferedFileReader& reader = OpenReader(path, 4096);
  platform::Faults().TraceTransfers(true);
  EXPECT_EQ("", ReadString(reader, 0));
  ASSERT_EQ(1u, NewReads(path).size());
  EXPECT_EQ(Expected(0, 5), ReadString(reader, 5));
  EXPECT_TRUE(NewReads(path).empty());

  platform::Faults().Add({FsOp::Read, path, 1, 1, EIO});
  ASSERT_TRUE(reader.Seek(9000, 0, nullptr).IsSuccess());
  CXoError e;
  EXPECT_EQ("", ReadString(reader, 0, &e));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EIO));
}

TEST_F(ReaderTest, ThreeAndAHalfBlocksGoDirectThenOneFill) {
  const uint32_t B = 4096;
  const std::string path = MakeFile("direct", 10 * B);
  CBufferedFileReader& reader = OpenReader(path, B);
  ASSERT_EQ(Expected(0, B), ReadString(reader, B));  // one fill, consumed
  platform::Faults().TraceTransfers(true);
  EXPECT_EQ(Expected(B, 3 * B + B / 2), ReadString(reader, 3 * B + B / 2));
  const auto reads = NewReads(path);
  ASSERT_EQ(2u, reads.size());
  EXPECT_EQ(B, reads[0].offset);
  EXPECT_EQ(3u * B, reads[0].length);
  EXPECT_EQ(4 * B, reads[1].offset);
  EXPECT_EQ(B, reads[1].length);
  EXPECT_EQ(4u * B + B / 2, Tell(reader));
}

TEST_F(ReaderTest, SeeksInsideTheBufferedBytesDoNoInputOrOutput) {
  const std::string path = MakeFile("inside", 20000);
  CBufferedFileReader& reader = OpenReader(path, 4096);
  ASSERT_TRUE(reader.Seek(8200, 0, nullptr).IsSuccess());
  ASSERT_EQ(Expected(8200, 100), ReadString(reader, 100));  // buffer holds [8192, 12288)
  const long long seeks = platform::Faults().Calls(FsOp::Seek, path);
  const long long reads = platform::Faults().Calls(FsOp::Read, path);

  for (uint64_t target : {8192ull, 12287ull, 9000ull}) {  // backwards, to the last byte, forwards
    ASSERT_TRUE(reader.Seek(target, 0, nullptr).IsSuccess());
    EXPECT_EQ(target, Tell(reader));
    EXPECT_EQ(Expected(target, 1), ReadString(reader, 1));
  }
  EXPECT_EQ(seeks, platform::Faults().Calls(FsOp::Seek, path));
  EXPECT_EQ(reads, platform::Faults().Calls(FsOp::Read, path));

  // The end of the buffered bytes is outside: the file is positioned there for the next Read.
  ASSERT_TRUE(reader.Seek(12288, 0, nullptr).IsSuccess());
  EXPECT_EQ(seeks + 1, platform::Faults().Calls(FsOp::Seek, path));
  EXPECT_EQ(reads, platform::Faults().Calls(FsOp::Read, path));
  EXPECT_EQ(Expected(12288, 10), ReadString(reader, 10));
}

TEST_F(ReaderTest, SeekOriginsAndTheEndOfTheFile) {
  const std::string path = MakeFile("origins", 10000);
  CBufferedFileReader& reader = OpenReader(path, 4096);

  CXoFile::offset before = -1;
  ASSERT_TRUE(reader.Seek(0, 2, &before).IsSuccess());  // the end
  EXPECT_EQ(0, before);
  EXPECT_EQ("", ReadString(reader, 10));
  EXPECT_EQ(10000u, Tell(reader));

  ASSERT_TRUE(reader.Seek(static_cast<unsigned long long>(-100), 2, &before).IsSuccess());
  EXPECT_EQ(10000, before);
  EXPECT_EQ(Expected(9900, 100), ReadString(reader, 1000));

  ASSERT_TRUE(reader.Seek(777, 5, &before).IsSuccess());  // unknown origin: the start
  EXPECT_EQ(0u, Tell(reader));
  EXPECT_EQ(Expected(0, 3), ReadString(reader, 3));

  ASSERT_TRUE(reader.Seek(50000, 0, nullptr).IsSuccess());  // past the end
  EXPECT_EQ(50000u, Tell(reader));
  EXPECT_EQ("", ReadString(reader, 10));
}

TEST_F(ReaderTest, ConfiguredBlockSizeReplacesTheCallers) {
  const std::string path = MakeFile("configured", 300000);
  struct Case {
    std::optional<long long> kb;
    uint32_t expected;
  };
  const Case cases[] = {{128, 131072}, {std::nullopt, 8192}, {0, 8192}, {-1, 8192}};
  for (const Case& c : cases) {
    platform::ResetAll();
    if (c.kb) platform::Config().SetNumber("ZovadAdeve", "nBufFileRdrReadSizeKB", *c.kb);
    CBufferedFileReader& reader = OpenReader(path, 8192);
    platform::Faults().TraceTransfers(true);
    seen = 0;
    ReadString(reader, 1);
    const auto reads = NewReads(path);
    ASSERT_EQ(1u, reads.size());
    EXPECT_EQ(c.expected, reads[0].length);
  }
}

// A configured size of 4194304 KiB wraps to a block of 0: no buffer, yet no division by zero.
TEST_F(ReaderTest, BlockSizeOfZeroFailsReadsAndStillSeeks) {
  const std::string path = MakeFile("noblock", 1000);
  platform::Config().SetNumber("ZovadAdeve", "nBufFileRdrReadSizeKB", 4194304);
  CBufferedFileReader& reader = OpenReader(path, 4096);
  CXoError e;
  EXPECT_EQ("", ReadString(reader, 10, &e));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOMEM));
  EXPECT_NE(std::string::npos, e.AsString().find("Failed to allocate internal data buffer of size 0l"));
  ASSERT_TRUE(reader.Seek(123, 0, nullptr).IsSuccess());
  EXPECT_EQ(123u, Tell(reader));

  platform::ResetAll();
  ASSERT_TRUE(reader.Init(0).IsSuccess());
  EXPECT_EQ("", ReadString(reader, 10, &e));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOMEM));
  ASSERT_TRUE(reader.Init(4096).IsSuccess());  // a usable size brings the buffer back
  ASSERT_TRUE(reader.Seek(0, 0, nullptr).IsSuccess());
  EXPECT_EQ(Expected(0, 10), ReadString(reader, 10));
}

// After a direct read the buffer must not claim the block it no longer holds: a seek back into
// that block and a small read return the file's bytes, not the buffer's older ones.
TEST_F(ReaderTest, SmallReadAfterADirectReadNeverReturnsStaleBytes) {
  const uint32_t B = 4096;
  const std::string path = MakeFile("stale", 8 * B);
  CBufferedFileReader& reader = OpenReader(path, B);
  ASSERT_EQ(Expected(0, 10), ReadString(reader, 10));
  ASSERT_EQ(Expected(10, B - 10), ReadString(reader, B - 10));
  ASSERT_EQ(Expected(B, 2 * B), ReadString(reader, 2 * B));  // direct: [B, 3B)
  ASSERT_TRUE(reader.Seek(2 * B + 5, 0, nullptr).IsSuccess());
  EXPECT_EQ(Expected(2 * B + 5, 10), ReadString(reader, 10));
  EXPECT_EQ(2u * B + 15, Tell(reader));
}

// ---- Faults of the n-th read or seek --------------------------------------------------------------

// A short read in the middle of the file is not the end: the bytes still come in order.
TEST_F(ReaderTest, ShortReadsOfTheFileLoseNoByte) {
  const uint32_t B = 4096;
  const std::string path = MakeFile("shortread", 10 * B + 123);
  for (int nth = 1; nth <= 4; ++nth) {
    SCOPED_TRACE("short read " + std::to_string(nth));
    platform::ResetAll();
    CBufferedFileReader& reader = OpenReader(path, B);
    platform::FaultRule rule{FsOp::Read, path, nth, 1, 0, 1000};
    platform::Faults().Add(rule);
    std::string all = ReadString(reader, 100);
    all += ReadString(reader, 3 * B);  // direct reads
    for (std::string part; !(part = ReadString(reader, 1500)).empty();) all += part;
    EXPECT_EQ(content, all);
    EXPECT_EQ(content.size(), Tell(reader));
  }
}

// The block read after a seek ends before the target: that Read returns nothing and the position
// stands after the bytes the block held; the next Read goes on from there.
TEST_F(ReaderTest, ShortBlockAfterASeekIsTakenAsTheEnd) {
  const uint32_t B = 4096;
  const std::string path = MakeFile("shortseek", 4 * B);
  CBufferedFileReader& reader = OpenReader(path, B);
  ASSERT_TRUE(reader.Seek(B + 500, 0, nullptr).IsSuccess());
  platform::Faults().Add({FsOp::Read, path, 1, 1, 0, 100});
  EXPECT_EQ("", ReadString(reader, 10));
  EXPECT_EQ(B + 100u, Tell(reader));
  EXPECT_EQ(Expected(B + 100, 10), ReadString(reader, 10));
}

TEST_F(ReaderTest, FailedReadReturnsTheErrorAndTheNextReadGoesOn) {
  const uint32_t B = 4096;
  const std::string path = MakeFile("eio", 6 * B);
  struct Case {
    int nth;        // the failing read of the file
    unsigned size;  // asked by the second Read
  };
  for (const Case c : {Case{1, 100}, Case{2, 100}, Case{2, 3 * B}, Case{3, 3 * B + 7}}) {
    SCOPED_TRACE("read " + std::to_string(c.nth) + " fails, second Read of " + std::to_string(c.size));
    platform::ResetAll();
    CBufferedFileReader& reader = OpenReader(path, B);
    platform::Faults().Add({FsOp::Read, path, c.nth, 1, EIO});
    std::string all;
    for (unsigned size : {B - 50, c.size, 2 * B + 1, 5 * B}) {
      const uint64_t pos = Tell(reader);
      CXoError e;
      std::string part = ReadString(reader, size, &e);
      EXPECT_EQ(Expected(pos, part.size()), part);  // what was counted was delivered
      if (e.IsFailure()) {
        EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EIO));
        EXPECT_EQ(pos + part.size(), Tell(reader));
      }
      all += part;
    }
    all += ReadString(reader, 6 * B);
    EXPECT_EQ(content, all);
  }
}

TEST_F(ReaderTest, FailedSeekLeavesNoReadFromTheWrongPlace) {
  const std::string path = MakeFile("seekfail", 20000);
  CBufferedFileReader& reader = OpenReader(path, 4096);
  ASSERT_EQ(Expected(0, 10), ReadString(reader, 10));
  platform::Faults().Add({FsOp::Seek, path, 1, 1, EIO});
  CXoError e = reader.Seek(13000, 0, nullptr);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EIO));
  EXPECT_EQ(13000u, Tell(reader));
  EXPECT_EQ(Expected(13000, 50), ReadString(reader, 50));
}

// ---- Opening --------------------------------------------------------------------------------------

TEST_F(ReaderTest, UnreadableDiskFileGetsReadAccessAndOpensAgain) {
  const std::string path = MakeFile("locked", 100);
  ASSERT_EQ(0, chmod(path.c_str(), 0200));
  platform::Faults().Add({FsOp::Open, path, 1, 1, EACCES});
  CBufferedFileReader reader(&params);
  ASSERT_TRUE(reader.Open(path.c_str(), O_RDONLY, 0400).IsSuccess());
  EXPECT_EQ(content, ReadString(reader, 200));
  struct stat st {};
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0777u, st.st_mode & 0777);
  EXPECT_TRUE(platform::LogContains("[DEBUG] Failed to open file [" + path + "], Trying to give read access permissions"));
  EXPECT_TRUE(platform::LogContains("[DEBUG] Successfully changed access permission for file [" + path + "]"));
}

TEST_F(ReaderTest, RefusedOpenStandsWhereAccessCannotHelp) {
  const std::string path = MakeFile("refused", 100);
  ASSERT_EQ(0, chmod(path.c_str(), 0600));  // the owner may read already
  platform::Faults().Add({FsOp::Open, path, 1, 1, EACCES});
  CBufferedFileReader reader(&params);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(reader.Open(path.c_str(), O_RDONLY, 0400), EACCES));
  EXPECT_TRUE(platform::LogContains("Failed to open file [" + path + "], file has read permissions for the user."));

  platform::ResetAll();
  ASSERT_EQ(0, chmod(path.c_str(), 0200));
  platform::Faults().Add({FsOp::Open, path, 1, 1, EACCES});
  CFSInitParams cloud;
  cloud.m_Type = kFSTypeCloud;
  CBufferedFileReader cloudReader(&cloud);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(cloudReader.Open(path.c_str(), O_RDONLY, 0400), EACCES));
  struct stat st {};
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0200u, st.st_mode & 0777);  // left alone on cloud storage
  EXPECT_TRUE(platform::Logs().empty());
}

TEST_F(ReaderTest, ReaderWithoutParametersOnlyClosesAndFails) {
  CBufferedFileReader reader(nullptr);
  EXPECT_FALSE(reader.IsValid());
  EXPECT_EQ(nullptr, reader.GetFileInterface());
  EXPECT_TRUE(reader.Close().IsSuccess());
  EXPECT_TRUE(reader.Open("/x", O_RDONLY, 0).IsFailure());
  char c;
  EXPECT_TRUE(reader.Read(&c, 1, nullptr).IsFailure());
  EXPECT_TRUE(reader.Seek(10, 0, nullptr).IsFailure());

  CBufferedFileReader withFile(&params);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(withFile.Open(nullptr, O_RDONLY, 0), EINVAL));
  EXPECT_TRUE(withFile.Open((dir / "missing").c_str(), O_RDONLY, 0).IsFailure());
  EXPECT_FALSE(withFile.IsValid());
  EXPECT_TRUE(withFile.Close().IsSuccess());
}

}  // namespace
