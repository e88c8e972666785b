// Reading a container's compaction map from the open file and from the staging buffer of a
// finished asynchronous read, and the translation of one offset in a single call. The bytes are
// untrusted: damaged headers, short files and maps larger than what was read must fail cleanly.

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstring>
#include <functional>
#include <memory>

#include "MediaFileSystem/AsyncIoManager2.h"
#include "MediaFileSystem/SingleInstancerFS.h"
#include "compaction_fixture.h"
#include "platform/platform.h"
#include "platform/temp_dir.h"

namespace {

using cmptest::CompactedContainer;
using cmptest::ContainerHeader;

// Two runs: logical 128..227 at 304, logical 300.. at 404; 150 data bytes.
const std::vector<std::pair<uint64_t, uint64_t>> kEntries = {{128, 304}, {300, 404}};

std::string Data(size_t n) {
  std::string d(n, '\0');
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<char>('a' + i % 26);
  return d;
}

class MapReadTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::ResetAll(); }

  // The container open for reading, its position moved away from 0.
  std::unique_ptr<CFileInterface> Open(const std::string& bytes, CXoFile::offset position = 77) {
    const std::string path = dir_ / "SFILE_CONTAINER_001";
    cmptest::WriteWhole(path, bytes);
    std::unique_ptr<CFileInterface> file(CFileInterface::GetFileInterfaceInstance(CFSInitParams{}));
    EXPECT_TRUE(file->Open(path, O_RDONLY, 0, 0).IsSuccess());
    EXPECT_TRUE(file->Seek(position, SEEK_SET, nullptr).IsSuccess());
    return file;
  }

  static CXoFile::offset Position(CFileInterface& file) {
    CXoFile::offset at = -1;
    EXPECT_TRUE(file.Tell(at).IsSuccess());
    return at;
  }

  TempDir dir_;
};

TEST_F(MapReadTest, CompactedContainerLoadsItsEntries) {
  auto file = Open(CompactedContainer(kEntries, Data(150)));
  EvDebug log;
  CSFileCompactionMap map(&log, 3);
  ASSERT_TRUE(SingleInstancer_FS::GetCompactionMap(file.get(), map).IsSuccess());
  ASSERT_EQ(map.EntryCount(), 2u);
  EXPECT_EQ(map.Entries()[1].uLogicalOff, 300u);
  EXPECT_EQ(map.Entries()[1].uPhysicalOff, 404u);
  EXPECT_EQ(std::string(map.Header().szTag), "10PMOC");
  EXPECT_EQ(map.Header().uSizeOnMedia, 48u);
  EXPECT_EQ(map.m_strFileName, dir_ / "SFILE_CONTAINER_001");
  EXPECT_EQ(Position(*file), 77);
  EXPECT_EQ(map.GetPhysicalOffset(310, false), 414u);
}

TEST_F(MapReadTest, PlainContainerHasNoMap) {
  auto file = Open(ContainerHeader(1) + Data(500));
  CSFileCompactionMap map;
  ASSERT_TRUE(SingleInstancer_FS::GetCompactionMap(file.get(), map).IsSuccess());
  EXPECT_EQ(map.EntryCount(), 0u);
  EXPECT_TRUE(platform::LogContains("Sfile version [1] doesn't support compaction."));
  uint64_t physical = 0;
  ASSERT_TRUE(SingleInstancer_FS::GetCompactedOffset(file.get(), 444, physical).IsSuccess());
  EXPECT_EQ(physical, 444u);
  EXPECT_EQ(Position(*file), 77);
}

// Every damaged container fails with the corruption code, leaves the caller's map as it was and
// the file where it was.
TEST_F(MapReadTest, DamagedContainersFailWithTheCorruptionCode) {
  const std::string good = CompactedContainer(kEntries, Data(150));
  auto flip = [&](size_t at) {
    std::string b = good;
    b[at] = static_cast<char>(b[at] ^ 0x10);
    return b;
  };
  auto withField = [&](size_t at, uint32_t value) {
    std::string b = good;
    EncodeBE32(&b[at], value);
    return b;
  };
  struct Case {
    const char* name;
    std::string bytes;
    const char* line;
  };
  const Case cases[] = {
      {"ZeroHeader", std::string(600, '\0'), "Error: Sfile contains invalid header size [8] with []. Expected [SFILHDR]."},
      {"BadMapTag", flip(129), "Error: Compaction map in Sfile contains invalid header size [8] with [1"},
      {"FlippedEntryBit", flip(256 + 30), "CRC32 mismatch between compaction map and header."},
      {"EmptyMap", withField(144, 0), "Compaction map is empty on media. Count [0]. Size [48]."},
      {"SizeNotCount", withField(140, 40), "sizeof (SCompactionMapEntry) * MapHdr.uEntryCount == MapHdr.uSizeOnMedia"},
      // A short read is not a zero-filled header (which would pass for version 0).
      {"HeaderCutShort", good.substr(0, 60), "Failed to read header from SFILE."},
      {"MapHeaderCutShort", good.substr(0, 200), "Failed to read compaction map header from SFILE."},
      // Nothing is allocated for a map larger than the file.
      {"MapLargerThanFile",
       [&] {
         std::string b = withField(144, 100000000);
         EncodeBE32(&b[140], 2400000000u);
         return b;
       }(),
       "does not fit in SFILE"},
      {"EntriesCutShort", good.substr(0, 290), "does not fit in SFILE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    auto file = Open(c.bytes);
    CSFileCompactionMap map = CSFileCompactionMap();
    SCompactionMapHeader hdr{};
    hdr.uEntryCount = 1;
    hdr.uSizeOnMedia = 24;
    SCompactionMapEntry previous{200, 400, 0};
    std::string media(24, '\0');
    EncodeBE64(&media[0], 200);
    EncodeBE64(&media[8], 400);
    map.Unserialize(reinterpret_cast<const SCompactionMapEntry*>(media.data()), hdr);
    CXoError e = SingleInstancer_FS::GetCompactionMap(file.get(), map);
    EXPECT_TRUE(FXErrorUtil::IsMM(e, 1204)) << e.AsString();
    if (c.line != nullptr) {
      EXPECT_TRUE(platform::LogContains(c.line)) << c.line;
    }
    EXPECT_TRUE(map.Compare(&previous, 1));
    EXPECT_EQ(map.m_fMapReadTime, 0.0f);
    EXPECT_EQ(Position(*file), 77);
  }
}

TEST_F(MapReadTest, FileFailuresAreReturnedAndThePositionRestored) {
  const std::string bytes = CompactedContainer(kEntries, Data(150));
  const std::string path = dir_ / "SFILE_CONTAINER_001";
  struct Case {
    platform::FsOp op;
    int nth;
    const char* line;
    CXoFile::offset after;  // the position afterwards
  };
  const Case cases[] = {
      {platform::FsOp::Seek, 1, "Cannot seek to the beginning of SFILE.", 77},
      {platform::FsOp::Read, 1, "Failed to read header from SFILE.", 77},
      {platform::FsOp::Read, 2, "Failed to read compaction map header from SFILE.", 77},
      {platform::FsOp::Read, 3, "Failed to read compaction map from SFILE. SizeOnMedia [48].", 77},
      // The seek back fails: a call that was succeeding reports it.
      {platform::FsOp::Seek, 2, "Cannot seek to the beginning of SFILE.", 304},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    platform::ResetAll();
    auto file = Open(bytes);
    platform::Faults().Add({c.op, path, c.nth, 1, EIO});
    CSFileCompactionMap map;
    CXoError e = SingleInstancer_FS::GetCompactionMap(file.get(), map);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EIO)) << e.AsString();
    EXPECT_TRUE(platform::LogContains(c.line));
    EXPECT_EQ(Position(*file), c.after);
  }

  std::unique_ptr<CFileInterface> closed(CFileInterface::GetFileInterfaceInstance(CFSInitParams{}));
  CSFileCompactionMap map;
  EXPECT_TRUE(FXErrorUtil::IsMM(SingleInstancer_FS::GetCompactionMap(closed.get(), map), 994));
  EXPECT_EQ(map.m_strFileName, "NULL");
  EXPECT_TRUE(platform::LogContains("Invalid input. SFILE interface is not open"));
}

TEST_F(MapReadTest, CompactedOffsetOfOneLogicalOffset) {
  auto file = Open(CompactedContainer(kEntries, Data(150)));
  uint64_t physical = 0;
  ASSERT_TRUE(SingleInstancer_FS::GetCompactedOffset(file.get(), 300, physical).IsSuccess());
  EXPECT_EQ(physical, 404u);
  // Inside the hole 228..299.
  CXoError e = SingleInstancer_FS::GetCompactedOffset(file.get(), 250, false, physical);
  EXPECT_TRUE(FXErrorUtil::IsWin32(e, 774));
  EXPECT_EQ(e.Message(), "Invalid logical offset encountered.");
  EXPECT_EQ(physical, CSFileCompactionMap::kInvalidOffset);
  EXPECT_TRUE(platform::LogContains("Invalid logical offset [250] encountered. File [" + (dir_ / "SFILE_CONTAINER_001") + "]."));
  EXPECT_TRUE(platform::LogContains("[Invalid logical offset] Hole no [0]."));
  ASSERT_TRUE(SingleInstancer_FS::GetCompactedOffset(file.get(), 250, true, physical).IsSuccess());
  EXPECT_EQ(physical, 404u);
  EXPECT_EQ(Position(*file), 77);

  auto damaged = Open(std::string(300, 'x'));
  physical = 5;
  EXPECT_TRUE(FXErrorUtil::IsMM(SingleInstancer_FS::GetCompactedOffset(damaged.get(), 250, physical), 1204));
  EXPECT_EQ(physical, 5u);
  EXPECT_TRUE(platform::LogContains("Failed to get compaction map from SFILE."));
}

// ---- From a read slot ---------------------------------------------------------------------------

class SlotTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::ResetAll(); }

  // A slot that read `bytes` (at most `bufferSize` of them) from offset 0 into a buffer of
  // exactly `bufferSize` bytes, so any read past it is caught by the sanitizers.
  IoSlot& Slot(const std::string& bytes, uint32_t bufferSize) {
    buffer_.reset(new unsigned char[bufferSize]);
    const size_t n = std::min<size_t>(bytes.size(), bufferSize);
    std::memcpy(buffer_.get(), bytes.data(), n);
    slot_.pBuffer = buffer_.get();
    slot_.uBufSize = bufferSize;
    slot_.ullBytesRead = n;
    slot_.ullOffset = 0;
    slot_.LastError = CXoError::Success();
    slot_.llIoTime = 5000000;  // half a second
    return slot_;
  }

  std::unique_ptr<unsigned char[]> buffer_;
  IoSlot slot_{};
};

TEST_F(SlotTest, MapFromAFinishedRead) {
  const std::string container = CompactedContainer(kEntries, Data(150));
  CSFileCompactionMap map;
  int needed = -7;
  ASSERT_TRUE(SingleInstancer_FS::GetCompactionMapBySlot(&Slot(container, 4096), map, needed).IsSuccess());
  EXPECT_EQ(map.EntryCount(), 2u);
  EXPECT_EQ(needed, -7);
  EXPECT_FLOAT_EQ(map.m_fMapReadTime, 0.5f);
  // The buffer holds exactly the map.
  CSFileCompactionMap exact;
  ASSERT_TRUE(SingleInstancer_FS::GetCompactionMapBySlot(&Slot(container, 304), exact, needed).IsSuccess());
  EXPECT_TRUE(exact.Compare(map.Entries(), 2));

  CSFileCompactionMap plain;
  ASSERT_TRUE(SingleInstancer_FS::GetCompactionMapBySlot(&Slot(ContainerHeader(0) + Data(10), 4096), plain, needed).IsSuccess());
  EXPECT_EQ(plain.EntryCount(), 0u);
  EXPECT_TRUE(platform::LogContains("Error: Sfile version [0] doesn't support compaction."));
}

TEST_F(SlotTest, MapLargerThanTheSlotAsksForALargerRead) {
  std::vector<std::pair<uint64_t, uint64_t>> entries;
  for (uint64_t k = 0; k < 200; ++k) entries.emplace_back(128 + 1000 * k, 256 + 4800 + 10 * k);
  const std::string container = CompactedContainer(entries, Data(2000));
  CSFileCompactionMap map;
  int needed = 0;
  CXoError e = SingleInstancer_FS::GetCompactionMapBySlot(&Slot(container, 4096), map, needed);
  EXPECT_TRUE(FXErrorUtil::IsMM(e, 1210)) << e.AsString();
  EXPECT_EQ(needed, 5056);
  EXPECT_TRUE(platform::LogContains("Error: Compac map size is greater than slot size. SlotSize [4096], TransSize "
                                    "[4096], EntrySize [Actual:4800, Read:3840], EntryCount [200]"));
  ASSERT_TRUE(SingleInstancer_FS::GetCompactionMapBySlot(&Slot(container, 8192), map, needed).IsSuccess());
  EXPECT_EQ(map.EntryCount(), 200u);
  // A slot too small for even the map header asks for one that holds it.
  needed = 0;
  EXPECT_TRUE(FXErrorUtil::IsMM(SingleInstancer_FS::GetCompactionMapBySlot(&Slot(container, 140), map, needed), 1210));
  EXPECT_EQ(needed, 256);
}

// The parse never reaches past the bytes the read transferred, and a buffer that a read did not
// fill is not trusted.
TEST_F(SlotTest, UntrustedSlotsFailCleanly) {
  const std::string container = CompactedContainer(kEntries, Data(150));
  struct Case {
    const char* name;
    std::string bytes;
    uint32_t bufferSize;
    std::function<void(IoSlot&)> change;
    const char* line;
  };
  const Case cases[] = {
      {"FailedRead", container, 4096,
       [](IoSlot& s) {
         s.LastError = FXErrorUtil::ErrorErrNo(FX_LOCATION, EIO, "disk gone");
         s.ullBytesRead = 0;
       },
       "Expected [SFILHDR]. Offset [0], Read [0], Err ["},
      // A read that failed reports bytes it did not deliver: they are not looked at.
      {"FailedReadWithBytes", container, 4096,
       [](IoSlot& s) { s.LastError = FXErrorUtil::ErrorErrNo(FX_LOCATION, EIO, "disk gone"); }, "disk gone"},
      {"NotFromTheStart", container, 4096, [](IoSlot& s) { s.ullOffset = 4096; }, "Offset [4096], Read ["},
      {"TooFewBytesForTheVersion", container.substr(0, 10), 4096, nullptr, "Expected [SFILHDR]."},
      // The file ended inside the map: a larger read brings no more.
      {"FileEndsInsideTheMap", container.substr(0, 280), 4096, nullptr, "runs past the end of SFILE"},
      {"FileEndsInsideTheMapHeader", container.substr(0, 140), 4096, nullptr, "Expected [10PMOC]."},
      // A transfer count beyond the buffer is bounded by the buffer.
      {"CountBeyondTheBuffer", container.substr(0, 270), 270, [](IoSlot& s) { s.ullBytesRead = 1 << 20; },
       "Compac map size is greater than slot size"},
      {"FlippedEntryBit", container, 4096, [](IoSlot& s) { s.pBuffer[260] ^= 1; },
       "Error: CRC32 mismatch between compaction map and header."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ResetAll();
    IoSlot& slot = Slot(c.bytes, c.bufferSize);
    if (c.change) c.change(slot);
    CSFileCompactionMap map;
    int needed = 0;
    CXoError e = SingleInstancer_FS::GetCompactionMapBySlot(&slot, map, needed);
    EXPECT_TRUE(FXErrorUtil::IsMM(e, 1204) || FXErrorUtil::IsMM(e, 1210)) << e.AsString();
    EXPECT_TRUE(platform::LogContains(c.line)) << c.line;
    EXPECT_EQ(map.EntryCount(), 0u);
    EXPECT_EQ(map.m_fMapReadTime, 0.0f);
  }
}

}  // namespace
