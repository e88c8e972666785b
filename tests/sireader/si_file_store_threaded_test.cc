// The reader on a chunk that the store's backup road wrote in container mode (SFile containers
// that roll over by size and item count, checkpoints between objects): every object opened by
// its container and offset, its header and data read in random pieces and compared with what was
// written, in random order across containers. (Threaded: the backup takes the file flusher.)

#include <map>
#include <random>
#include <set>

#include "si_file_fixture.h"
#include "sistore/backup_job.h"

namespace {

using platform::Faults;
using platform::FsOp;
using sitest::WrittenObject;

constexpr long long kChunkId = 9;

class SIFileStoreTest : public SIFileTest {
 public:
  SIFileStoreTest() {
    sitest::UseEndToEndContainers();
  }

  void Backup() {
    auto store = MakeStore();
    InitBackup(*store);
    std::string step;
    ASSERT_EQ(0, sitest::BackupMixedChunk(*store, ArchiveId(kChunkId), 90, 25, objects, step)) << step;
  }

  std::vector<WrittenObject> objects;
};

TEST_F(SIFileStoreTest, EveryObjectReadsBackInRandomOrderAcrossContainers) {
  Backup();
  std::set<uint32_t> containers;
  for (const WrittenObject& w : objects) containers.insert(w.container);
  ASSERT_GT(containers.size(), 3u);

  std::mt19937_64 rng(5);
  std::vector<size_t> order(objects.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  // Now and then the next object of the same container, so an open container is kept.
  for (size_t i = 1; i < order.size(); i += 7) {
    for (size_t j = i + 1; j < order.size(); ++j) {
      if (objects[order[j]].container == objects[order[i - 1]].container) {
        std::swap(order[i], order[j]);
        break;
      }
    }
  }

  auto reader = Reader(kChunkId);
  const long long opensBefore = Faults().Calls(FsOp::Open, "SFILE_CONTAINER_");
  int switches = 0;
  uint32_t current = ~0u;
  for (size_t i : order) {
    const WrittenObject& w = objects[i];
    SCOPED_TRACE("object " + std::to_string(w.shape.key) + " in container " + std::to_string(w.container));
    switches += w.container != current;
    current = w.container;
    ASSERT_EQ(0, reader->OpenDataFileAndSeek(0, w.container, w.offset, 0));
    EXPECT_EQ(2, reader->m_iSIVersion);
    const std::string expected = sitest::ObjectBytes(w.shape);
    // The object header is the container's metadata of the object; the data follows it at the
    // same position.
    std::string got = ReadPieces(*reader, Stream::kMetaData, sitest::kObjectHeaderSize, rng, 7);
    got += ReadPieces(*reader, Stream::kData, w.shape.dataSize, rng);
    ASSERT_EQ(expected.size(), got.size());
    ASSERT_TRUE(expected == got);
    EXPECT_EQ(w.offset, reader->m_ullLastSeekOffset);
    EXPECT_EQ(w.shape.Length(), reader->m_ullBytesSinceSeek);
  }
  // A container is opened only when the next object lies in another one.
  EXPECT_EQ(switches, Faults().Calls(FsOp::Open, "SFILE_CONTAINER_") - opensBefore);
  EXPECT_LT(switches, static_cast<int>(objects.size()));
}

TEST_F(SIFileStoreTest, ReadsEndWithTheContainerAndCloseDataFileClosesIt) {
  Backup();
  std::map<uint32_t, const WrittenObject*> last;
  for (const WrittenObject& w : objects) last[w.container] = &w;
  const WrittenObject& w = *last.begin()->second;
  auto reader = Reader(kChunkId);
  ASSERT_EQ(0, reader->OpenDataFileAndSeek(0, w.container, w.offset, 0));
  std::string buffer(w.shape.Length() + 100, '\0');
  EXPECT_EQ(w.shape.Length(), reader->ReadData(buffer.data(), static_cast<unsigned int>(buffer.size())));
  EXPECT_EQ(sitest::ObjectBytes(w.shape), buffer.substr(0, w.shape.Length()));
  EXPECT_TRUE(platform::LogContains("CSIFile::ReadData: Error: Read only"));
  EXPECT_EQ(0u, reader->ReadData(buffer.data(), 10));
  EXPECT_EQ(w.shape.Length(), reader->m_ullBytesSinceSeek);

  EXPECT_EQ(0, reader->CloseDataFile());
  EXPECT_TRUE(reader->m_strDataPath.empty());
  EXPECT_EQ(CSIFile::kReadChunkAtFault, reader->ReadData(buffer.data(), 10));
  EXPECT_TRUE(platform::LogContains("CSIFile::ReadData: Error: Cannot read data as the data file is not open."));
  EXPECT_EQ(CSIFile::kReadChunkAtFault, reader->ReadMetaData(buffer.data(), 10));
  EXPECT_TRUE(platform::LogContains("CSIFile::ReadMetaData: Error: Cannot read as the data is not valid."));
  // The same container again is opened again.
  const long long opens = Faults().Calls(FsOp::Open, "SFILE_CONTAINER_");
  ASSERT_EQ(0, reader->OpenDataFile_4(0, w.container, 0, false));
  EXPECT_EQ(opens + 1, Faults().Calls(FsOp::Open, "SFILE_CONTAINER_"));
  EXPECT_EQ(0, reader->IsSFileValid(w.container));
  EXPECT_EQ(0, reader->DeInit());
  EXPECT_EQ(0, reader->DeInit());
}

}  // namespace
