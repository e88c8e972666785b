// The appliance media end to end on the stand-in: backup jobs write chunks (metadata and data
// streams, index entries with rising keys, clones and copies of earlier chunks' data, runs of
// links merged into one copy), close them, and restore jobs read every chunk back through a media
// object of their own: both streams, with seeks and offsets, equal a model in which each cloned or
// copied range holds the parent's bytes, and the index finds every key and nothing between them.

#include <algorithm>
#include <map>
#include <random>

#include "storeonce_fixture.h"

namespace {

using namespace sotest;

// What a chunk must hold.
struct ChunkModel {
  std::string meta;
  std::string data;
  std::vector<unsigned long long> keys;
};

class StoreOnceRoad : public StoreOnceTest {
 protected:
  // One chunk of a backup job, step by step, keeping the model in line.
  class ChunkWriter {
   public:
    ChunkWriter(StoreOnceRoad& test, HPStoreOnce_FS& media, long long chunkId)
        : m_test(test), m_media(media), m_model(test.chunks[chunkId]) {
      m_id = ChunkId(chunkId);
      EXPECT_EQ(0, m_media.Create(&m_id));
    }
    void Meta(const std::string& bytes) {
      int eom = -1;
      ASSERT_EQ(static_cast<int>(bytes.size()), m_media.WriteToMetaData(bytes.data(), static_cast<long>(bytes.size()), &eom));
      EXPECT_EQ(0, eom);
      m_model.meta += bytes;
    }
    void Data(const std::string& bytes) {
      int eom = -1;
      ASSERT_EQ(static_cast<int>(bytes.size()), m_media.WriteToDataFile(bytes.data(), static_cast<long>(bytes.size()), &eom));
      m_model.data += bytes;
    }
    void Clone(long long parent, unsigned long long offset, unsigned long long size) {
      SILinkHdr link = Link(kVolId, static_cast<unsigned long long>(parent), 1, offset, size);
      int eom = -1;
      ASSERT_EQ(0, m_media.CloneToDataFile(&link, 0, &eom));
      EXPECT_EQ(0, eom);
      m_model.data += m_test.chunks[parent].data.substr(offset, size);
    }
    void Copy(long long parent, unsigned long long offset, unsigned long long size) {
      SILinkHdr link = Link(kVolId, static_cast<unsigned long long>(parent), 1, offset, size);
      int eom = -1;
      ASSERT_EQ(static_cast<int>(size), m_media.ScheduleDataFileCopy(&link, kTHId, false, &eom));
      m_model.data += m_test.chunks[parent].data.substr(offset, size);
      // While the copy waits, the data offset is where the copied bytes will end.
      EXPECT_EQ(static_cast<long long>(m_model.data.size()), m_media.GetDataFileOffset());
    }
    // The pending copy run now, as a host does before it goes on.
    void RunCopy() { ASSERT_EQ(0, m_media.CopyDataFile()); }
    void Index(unsigned long long key) {
      SChunkMetaDataIndexEntry e = Entry(key);
      ASSERT_EQ(0, m_media.AddChunkMetaDataIndexEntry(e));
      m_model.keys.push_back(key);
    }
    void Close() { ASSERT_EQ(0, m_media.Close()); }

   private:
    StoreOnceRoad& m_test;
    HPStoreOnce_FS& m_media;
    ChunkModel& m_model;
    MediaFSArchiveFileId_t m_id;
  };

  void RestoreAndCompare(long long chunkId, std::mt19937& rng) {
    SCOPED_TRACE("chunk " + std::to_string(chunkId));
    const ChunkModel& model = chunks[chunkId];
    EXPECT_EQ(model.data, ReadFile(DataObject(chunkId)));
    auto media = NewMedia(2);
    MediaFSArchiveFileId_t id = ChunkId(chunkId);
    ASSERT_EQ(0, media->Open(&id, false));

    std::string meta(model.meta.size() + 10, '\0');
    ASSERT_EQ(static_cast<int>(model.meta.size()), media->ReadFromMetaData(meta.data(), static_cast<long>(meta.size())));
    meta.resize(model.meta.size());
    EXPECT_EQ(model.meta, meta);
    EXPECT_EQ(static_cast<long long>(model.meta.size()), media->GetMetaDataFileOffset());
    const size_t metaAt = rng() % model.meta.size();
    ASSERT_EQ(1, media->SetSeekOffset(static_cast<long long>(metaAt)));
    std::string tail(model.meta.size() - metaAt, '\0');
    ASSERT_EQ(static_cast<int>(tail.size()), media->ReadFromMetaData(tail.data(), static_cast<long>(tail.size())));
    EXPECT_EQ(model.meta.substr(metaAt), tail);

    // The data stream in pieces of varying size, then a piece from a seek.
    std::string data;
    while (data.size() < model.data.size()) {
      const size_t n = std::min<size_t>(1 + rng() % 70000, model.data.size() - data.size());
      std::string piece(n, '\0');
      ASSERT_EQ(static_cast<int>(n), media->ReadFromDataFile(piece.data(), static_cast<long>(n)));
      data += piece;
      EXPECT_EQ(static_cast<long long>(data.size()), media->GetDataFileOffset());
    }
    EXPECT_TRUE(data == model.data);
    char more[16];
    EXPECT_EQ(0, media->ReadFromDataFile(more, sizeof(more)));
    const size_t dataAt = rng() % model.data.size();
    const size_t n = std::min<size_t>(4096, model.data.size() - dataAt);
    ASSERT_EQ(1, media->SetDataSeekOffset(static_cast<long long>(dataAt)));
    std::string piece(n, '\0');
    ASSERT_EQ(static_cast<int>(n), media->ReadFromDataFile(piece.data(), static_cast<long>(n)));
    EXPECT_EQ(model.data.substr(dataAt, n), piece);

    for (size_t i = 0; i < model.keys.size(); ++i) {
      SChunkMetaDataIndexEntry found{};
      ASSERT_EQ(0, media->SearchChunkMetaDataIndex(model.keys[i], found));
      EXPECT_EQ(Entry(model.keys[i]).OwnerValue8, found.OwnerValue8);
      EXPECT_EQ(~0ULL, found.OwnerValue32);
      EXPECT_EQ(1, media->SearchChunkMetaDataIndex(model.keys[i] + 1, found));  // between two keys
    }
    ASSERT_EQ(0, media->Close());
  }

  std::map<long long, ChunkModel> chunks;
};

TEST_F(StoreOnceRoad, ChunksWithClonesAndCopiesReadBackAsTheModel) {
  std::mt19937 rng(7);
  {
    auto media = NewMedia();
    // A chunk of plain data, and one that clones ranges of it between data of its own.
    ChunkWriter first(*this, *media, 101);
    first.Meta(Pattern(5000, 1));
    first.Data(Pattern(300000, 2));
    first.Index(100);
    first.Index(200);
    first.Data(Pattern(12345, 3));
    first.Meta(Pattern(777, 4));
    first.Index(900);
    first.Close();

    ChunkWriter second(*this, *media, 102);
    second.Data(Pattern(1000, 5));
    second.Clone(101, 4096, 65536);
    second.Data(Pattern(333, 6));
    second.Clone(101, 0, 1);
    second.Clone(101, 250000, 62345);
    second.Meta(Pattern(2048, 7));
    second.Index(10);
    second.Close();
  }
  {
    // A second job: a chunk of copies (two runs of links from chunk 101 that continue each other,
    // one merged copy each, then a link of chunk 102), and a chunk that begins with a clone.
    auto media = NewMedia();
    ChunkWriter third(*this, *media, 103);
    third.Meta(Pattern(100, 8));
    third.Copy(101, 1000, 5000);
    third.Copy(101, 6000, 20000);
    third.Copy(101, 26000, 1);
    third.Index(5);
    third.Copy(102, 0, 66869);
    third.Copy(102, 66869, 100);
    third.Index(60);
    third.Close();

    ChunkWriter fourth(*this, *media, 104);
    fourth.Clone(103, 0, 26001);
    fourth.Data(Pattern(4000, 9));
    fourth.Clone(102, 500, 1000);
    fourth.Meta(Pattern(10, 10));
    fourth.Index(1ULL << 40);
    fourth.Close();
  }
  // Two copy jobs for chunk 103: one per run of links.
  const auto copies = platform::Appliance().CallsOf(platform::ApplianceOp::CopyObject);
  ASSERT_EQ(2u, copies.size());
  EXPECT_EQ((std::vector<long long>{1000, 0, 25001}), std::vector<long long>(copies[0].args.begin(), copies[0].args.begin() + 3));
  EXPECT_EQ((std::vector<long long>{0, 25001, 66969}), std::vector<long long>(copies[1].args.begin(), copies[1].args.begin() + 3));

  for (long long chunkId : {101, 102, 103, 104}) RestoreAndCompare(chunkId, rng);
  EXPECT_EQ(0, platform::Appliance().RunningJobs());
}

// New data, clones, copies from two earlier chunks (links of one chunk continue each other, so
// they merge while a copy is pending; a link of the other chunk runs the pending copy) and runs
// of the pending copy by the host, in every order within one chunk, each order twice over so that
// the last step meets the first: every chunk reads back as its model.
TEST_F(StoreOnceRoad, NewDataClonesAndCopiesInEveryOrder) {
  std::mt19937 rng(35);
  auto media = NewMedia();
  {
    ChunkWriter a(*this, *media, 101);
    a.Meta(Pattern(10, 1));
    a.Data(Pattern(400000, 2));
    a.Close();
    ChunkWriter b(*this, *media, 102);
    b.Meta(Pattern(10, 3));
    b.Data(Pattern(400000, 4));
    b.Close();
  }
  std::string order = "ABDKR";  // copy of 101, copy of 102, new data, clone, run of the copy
  long long chunkId = 1000;
  do {
    SCOPED_TRACE(order);
    ChunkWriter w(*this, *media, chunkId);
    w.Meta(order);
    unsigned long long nextA = 0, nextB = 0;
    for (int pass = 0; pass < 2; ++pass) {
      for (char step : order) {
        // Hosts record where a step's data lies from the offset before it.
        EXPECT_EQ(static_cast<long long>(chunks[chunkId].data.size()), media->GetDataFileOffset()) << step;
        const unsigned long long n = 1 + rng() % 3000;
        switch (step) {
          case 'A': w.Copy(101, nextA, n), nextA += n; break;
          case 'B': w.Copy(102, nextB, n), nextB += n; break;
          case 'D': w.Data(Pattern(n, static_cast<unsigned>(chunkId))); break;
          case 'K': w.Clone(rng() % 2 ? 101 : 102, rng() % 300000, n); break;
          case 'R': w.RunCopy(); break;
        }
        if (::testing::Test::HasFatalFailure()) return;
        if (step == 'D' || step == 'K') {
          EXPECT_EQ(static_cast<long long>(chunks[chunkId].data.size()), media->GetDataFileOffset());
        }
      }
    }
    w.Close();
    if (::testing::Test::HasFatalFailure()) return;
    RestoreAndCompare(chunkId++, rng);
  } while (std::next_permutation(order.begin(), order.end()));
  EXPECT_EQ(1120, chunkId);
  EXPECT_EQ(0u, platform::Appliance().RunningJobs());
}

// The frame's own road: blocks written through media_fs::Write land in the metadata object and
// come back through media_fs::Read; the chunk is recorded with the media manager.
TEST_F(StoreOnceRoad, FrameBlocksGoToTheMetadataObject) {
  const std::string stream = Pattern(3 * 65536 + 100, 11);
  {
    auto media = NewMedia();
    MediaFSArchiveFileId_t id = ChunkId(201);
    ASSERT_EQ(0, media->Create(&id));
    ASSERT_EQ(static_cast<int>(stream.size()), media->Write(stream.data(), stream.size()));
    ASSERT_EQ(0, media->Close());
  }
  std::string expected = stream + std::string(65536 - 100, '0');  // the last block is padded
  EXPECT_EQ(expected, ReadFile(MetaObject(201)));
  EXPECT_EQ(1u, platform::MediaManager().Count("incrNumFiles"));

  auto media = NewMedia(2);
  MediaFSArchiveFileId_t id = ChunkId(201);
  id.llPhysicalSize = static_cast<long long>(expected.size());
  ASSERT_EQ(0, media->Open(&id, true));
  std::string back(expected.size(), '\0');
  ASSERT_EQ(static_cast<int>(expected.size()), media->Read(back.data(), back.size()));
  EXPECT_EQ(expected, back);
  ASSERT_EQ(0, media->Close());
}

}  // namespace
