// The chunk pruner under a container index that lost records or holds records that contradict
// each other, and the delete log under a kill.
//
// An index that lost its last records (cut by damage, or a flush torn by a power cut) still opens:
// what it lost is trimmed. The objects those records named stay in their containers, so pruning
// cuts, punches and removes only bytes that a remaining entry accounts for, and keeps the index
// while the chunk folder holds a container; a key issued again after such a loss prunes only the
// object at the offset its record carries. Records whose checksums hold but whose container,
// offset or length is wrong make no hole, cut or removal over a valid entry's bytes. A removal
// that a kill stopped before its delete-log record is recorded by the next pass.

#include <signal.h>

#include <functional>
#include <random>

#include "backup_road_fixture.h"
#include "index/index_test_util.h"
#include "power_cut.h"
#include "test_env.h"
#include "test_seed.h"

namespace {

using platform::Faults;
using platform::FsOp;
using prunetest::kMP1;

constexpr uint32_t kPerContainer = 5;
constexpr size_t kIndexHeaderBlock = 512;
constexpr size_t kRecordSize = sizeof(SSfileContainerIndexEntry);

class PrunerDamageTest : public prunetest::BackupRoadTest {
 public:
  PrunerDamageTest() {
    SetConfig("MaxSFileContainerItems", kPerContainer);
    SetConfig("DedupDrillHolesMinSize", 4096);
  }

  std::string LogRec(long long chunk, const std::string& rest) const {
    return std::to_string(kMP1) + " " + std::to_string(kVolId) + " " + std::to_string(chunk) + " " + rest;
  }

  // Chunk `chunk` through the backup road, five objects to a container from container 1, with the
  // captured logs emptied first.
  std::vector<sitest::WrittenObject> FiveToAContainer(long long chunk, const std::vector<uint32_t>& sizes) {
    platform::ResetLogs();
    std::vector<sitest::WrittenObject> objects = BackupRoadChunk(chunk, sizes);
    EXPECT_EQ(1u, objects[kPerContainer - 1].container);
    EXPECT_EQ(2u, objects[kPerContainer].container);
    return objects;
  }

  // Rewrites record `position` of the chunk's container index through the index itself, so that
  // its checksum holds.
  void RewriteRecord(long long chunk, int64_t position, const std::function<void(SSfileContainerIndexEntry&)>& change) {
    const CFSInitParams params = FsParams();
    CSFilePruner::SfileIndex idx(&params, nullptr);
    CSFilePruner::SfileIndex::Options options{false, true, true, true};
    ASSERT_TRUE(idx.Open(ContainerIndexPath(chunk), 2, options).IsSuccess());
    SSfileContainerIndexEntry e{};
    ASSERT_TRUE(idx.GetEntry(position, &e).IsSuccess());
    change(e);
    ASSERT_TRUE(idx.UpdateEntry(position, &e).IsSuccess());
    ASSERT_TRUE(idx.Close().IsSuccess());
  }

  // The delete-log records of removals and cuts of the chunk's containers and index.
  std::vector<std::string> RemovalsAndCuts(long long chunk) const {
    std::vector<std::string> out;
    for (const std::string& r : prunetest::DeleteLogRecords()) {
      if (r.rfind("T " + LogRec(chunk, ""), 0) == 0) out.push_back(r);
      if (r.rfind("D " + LogRec(chunk, ""), 0) == 0 && r.find("CIDX") == std::string::npos) out.push_back(r);
    }
    return out;
  }
};

// The chunk of eleven objects, five to a container; container 1 loses objects 2 and 3, container 2
// object 6. The index is cut: inside its fourth record (container 1 then ends in pruned entries
// with live objects past them), inside its seventh (container 2's one entry left is pruned), or to
// its header block (no entry left at all; the records come with the flag that lets an entry be
// absent). A pass prunes the records: no container is cut or removed, the index stays, and every
// object that no record names reads back byte for byte.
TEST_F(PrunerDamageTest, ACutIndexLosesNoObjectItNoLongerNames) {
  struct Case {
    const char* name;
    size_t indexBytes;
    std::vector<uint64_t> pruned;
    uint32_t recordFlags;
  };
  const Case cases[] = {
      {"cut inside the fourth record", kIndexHeaderBlock + 3 * kRecordSize + 20, {2, 3}, 0},
      {"cut inside the seventh record", kIndexHeaderBlock + 6 * kRecordSize + 9, {2, 3, 6}, 0},
      {"cut to the header block", kIndexHeaderBlock, {2, 3, 6}, kZeroRefEntryMayBeAbsent},
  };
  const std::vector<uint32_t> sizes = {20000, 90000, 110000, 200000, 30000, 60000,
                                       40000, 50000, 70000,  80000,  90000};
  long long chunk = 60;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<sitest::WrittenObject> objects = FiveToAContainer(++chunk, sizes);
    std::filesystem::resize_file(ContainerIndexPath(chunk), c.indexBytes);
    std::map<uint32_t, long long> sizesBefore;
    for (const sitest::WrittenObject& w : objects) sizesBefore[w.container] = Size(ContainerPath(chunk, w.container));

    std::vector<CZeroRefRecord> records;
    for (uint64_t key : c.pruned) {
      records.push_back(Rec(kMP1, kVolId, static_cast<unsigned long long>(chunk), key));
      records.back().Flags = c.recordFlags;
    }
    AddRecords(records);
    auto p = MakeDriver();
    ASSERT_EQ(0, p->PruneZeroRefRecords(&db, nullptr, nullptr, 3600));
    EXPECT_TRUE(RecordsLeft().empty());

    EXPECT_TRUE(RemovalsAndCuts(chunk).empty()) << ::testing::PrintToString(RemovalsAndCuts(chunk));
    EXPECT_TRUE(Exists(ContainerIndexPath(chunk)));
    for (const auto& [number, size] : sizesBefore) EXPECT_EQ(size, Size(ContainerPath(chunk, number))) << number;
    std::vector<sitest::WrittenObject> kept;
    for (const sitest::WrittenObject& w : objects) {
      if (std::find(c.pruned.begin(), c.pruned.end(), w.shape.key) == c.pruned.end()) kept.push_back(w);
    }
    ExpectRestored(chunk, kept);
  }
}

// A backup's checkpoint cut by a power loss while the container index is being written: the index
// ends in a torn flush, whose records the pruner's open trims, while the containers may hold the
// objects of those records. A pass prunes objects of the last checkpoint and every object the
// index still names past it: bytes that no remaining entry accounts for are kept as they were,
// holes and cuts lie inside pruned entries, and the checkpointed objects not pruned read back.
TEST_F(PrunerDamageTest, AFlushTornByAPowerCutThenAPassKeepsWhatNoEntryAccountsFor) {
  const uint64_t seed = mfstest::Seed(34);
  std::mt19937_64 rng(seed);
  const std::set<uint64_t> checkpointedPruned = {2, 3, 6};
  const long cuts = mfstest::EnvCount("MFS_PRUNE_TORN_INDEX_CUTS", 16L);
  long long chunk = 300;
  int trimmed = 0;
  for (long i = 0; i < cuts; ++i) {
    ++chunk;
    platform::ResetLogs();
    std::vector<sitest::WrittenObject> objects;
    bool armed = false;
    powercut::Plan plan;
    plan.mode = i % 2 == 0 ? platform::PowerCutMode::kDropUnflushed : platform::PowerCutMode::kRandomPages;
    plan.seed = rng() | 1;
    plan.step = 1 + static_cast<long>(rng() % 4);
    plan.counts = [&](FsOp op, const std::string& path) {
      return armed && op == FsOp::Write && path.find("SFILE_CONTAINER.idx") != std::string::npos;
    };
    const powercut::Result r = powercut::Run(plan, [&] {
      auto store = BackupChunk(chunk);
      for (uint64_t key = 1; key <= 14; ++key) {
        sitest::WrittenObject w;
        if (sitest::WriteObject(*store, {key, static_cast<uint32_t>(6000 + rng() % 30000), 100, rng()}, w) != 0) {
          return 1;
        }
        objects.push_back(w);
        if (key == 6) {
          if (sitest::Checkpoint(*store) != 0) return 2;
          armed = true;
        }
      }
      return sitest::Checkpoint(*store) != 0 ? 3 : store->Close();
    });
    SCOPED_TRACE(r.Describe() + ", test seed " + std::to_string(seed));
    ASSERT_TRUE(r.report.errors.empty());
    ASSERT_EQ(14u, objects.size());

    // What the containers hold now, and which objects the index still names.
    std::map<uint32_t, std::string> before;
    for (const sitest::WrittenObject& w : objects) before[w.container] = craft::ReadFile(ContainerPath(chunk, w.container));
    auto pruner = MakePruner();
    ASSERT_EQ(0, Open(*pruner, chunk));
    std::set<uint64_t> named;
    SSfileContainerIndexEntry entry{};
    for (long at = 0; at < 100 && pruner->GetEntry(at, &entry).IsSuccess(); ++at) named.insert(entry.Key);
    if (named.size() < objects.size()) ++trimmed;
    std::set<uint64_t> pruned = checkpointedPruned;
    for (uint64_t key : named) {
      if (key > 6) pruned.insert(key);
    }
    for (uint64_t key : pruned) {
      if (named.count(key)) {
        ASSERT_EQ(0, pruner->PruneEntry(static_cast<uint32_t>(key), 0)) << key;
      }
    }
    bool empty = false;
    ASSERT_EQ(0, pruner->Finalize(empty));
    pruner.reset();

    // Every byte outside the pruned objects' entries is where it was.
    for (const auto& [number, bytes] : before) {
      SCOPED_TRACE("container " + std::to_string(number));
      std::vector<bool> prunedByte(bytes.size(), false);
      for (const sitest::WrittenObject& w : objects) {
        if (w.container != number) continue;
        if (!pruned.count(w.shape.key) || !named.count(w.shape.key)) continue;
        for (uint64_t b = w.offset; b < w.offset + w.shape.Length() && b < bytes.size(); ++b) prunedByte[b] = true;
      }
      const std::string after = craft::ReadFile(ContainerPath(chunk, number));
      if (bytes.empty()) continue;  // the power loss took it
      if (!Exists(ContainerPath(chunk, number))) {
        for (size_t b = sitest::kContainerHeaderSize; b < bytes.size(); ++b) {
          ASSERT_TRUE(prunedByte[b]) << "removed byte " << b << " that no pruned entry accounts for";
        }
        continue;
      }
      for (size_t b = 0; b < bytes.size(); ++b) {
        if (prunedByte[b]) continue;
        ASSERT_LT(b, after.size()) << "cut byte that no pruned entry accounts for";
        ASSERT_EQ(bytes[b], after[b]) << "byte " << b;
      }
    }
    std::vector<sitest::WrittenObject> live;
    for (uint64_t key = 1; key <= 6; ++key) {
      if (!checkpointedPruned.count(key)) live.push_back(objects[key - 1]);
    }
    ExpectRestored(chunk, live);
    if (HasFailure()) return;
  }
  std::printf("%d of %ld cuts left an index that lost records\n", trimmed, cuts);
}

// An index without the record of an object that lies between two others (a record the host marked
// deleted, or one lost to damage) accounts for no byte of that object: a run of pruned entries
// around it is drilled in two holes, a tail is cut only after it, and a container whose entries are
// all pruned stays for it.
TEST_F(PrunerDamageTest, BytesBetweenIndexedObjectsStay) {
  struct Case {
    const char* name;
    uint64_t unindexed;
    std::set<uint64_t> pruned;
    std::vector<std::string> records;  // of holes and cuts, by object: "H <first>:<objects>", "T <first>"
  };
  const Case cases[] = {
      {"a run around it", 2, {1, 3}, {"H 1:1", "H 3:1"}},
      {"a tail after it", 3, {2, 4, 5, 6}, {"H 2:1", "T 4"}},
      {"every entry", 2, {1, 3, 4, 5, 6}, {"H 1:1", "H 3:4"}},
  };
  constexpr long long kChunk = 12;
  constexpr size_t kData = 20000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetPlatform();
    SetConfig("DedupDrillHolesMinSize", 4096);
    std::filesystem::remove_all(ChunkDir(kChunk));
    craft::Chunk chunk(volumePath, kChunk, kVolumeBlock);
    for (int i = 0; i < 6; ++i) chunk.Add(0, kData, 100, 40 + i);
    chunk.Write();
    // The index again, without the object's record.
    std::filesystem::remove(ContainerIndexPath(kChunk));
    {
      CFSInitParams params;
      CSFilePruner::SfileIndex idx(&params, nullptr);
      CSFilePruner::SfileIndex::Options options{false, true, true};
      ASSERT_TRUE(idx.Create(ContainerIndexPath(kChunk), options).IsSuccess());
      for (const craft::Object& o : chunk.Objects()) {
        if (o.key == c.unindexed) continue;
        SSfileContainerIndexEntry r{};
        r.Key = o.key;
        r.DataFileOffset = o.offset;
        r.DataLength = o.bytes.size();
        r.ContainerNo = o.container;
        r.Flags = FLAG_SFILE_ENTRY_VALID;
        ASSERT_TRUE(idx.AddEntry(&r).IsSuccess());
      }
      ASSERT_TRUE(idx.Close().IsSuccess());
    }
    auto pruner = MakePruner();
    ASSERT_EQ(0, Open(*pruner, kChunk));
    for (uint64_t k : c.pruned) ASSERT_EQ(0, pruner->PruneEntry(static_cast<uint32_t>(k), 0)) << k;
    bool empty = true;
    ASSERT_EQ(0, pruner->Finalize(empty));
    EXPECT_FALSE(empty);
    pruner.reset();

    std::vector<std::string> expected;
    for (const std::string& r : c.records) {
      const uint64_t first = std::stoull(r.substr(2));
      const uint64_t offset = chunk.Objects()[first - 1].offset;
      const std::string prefix =
          std::to_string(kMPId) + " " + std::to_string(kVolId) + " " + std::to_string(kChunk) + " 0 ";
      if (r[0] == 'H') {
        const uint64_t count = std::stoull(r.substr(r.find(':') + 1));
        expected.push_back("H " + prefix + std::to_string(offset) + " " + std::to_string(count * (kData + 16)));
      } else {
        expected.push_back("T " + prefix + std::to_string(offset) + " " + std::to_string(6 * (kData + 16) + 128) + " " +
                           std::to_string(offset));
      }
    }
    EXPECT_EQ(expected, DeleteRecords());
    const std::string after = craft::ReadFile(chunk.ContainerPath(0));
    for (const craft::Object& o : chunk.Objects()) {
      if (c.pruned.count(o.key)) continue;
      EXPECT_EQ(o.bytes, after.substr(o.offset, o.bytes.size())) << "object " << o.key;
    }
  }
}

// An index cut after its third record names only container 1: an appending job numbers its
// objects on from key 3 and so issues keys 4 and 5 again, in a container of its own, while the
// objects that first had those keys stay in container 2. The database's records of the old
// objects carry their own offsets, and an entry at another offset is not theirs: it stays valid
// and the records stay. Every object of the appending job, and every old object no record names,
// reads back after each pass.
TEST_F(PrunerDamageTest, ARecordOfAnObjectWhoseKeyWasIssuedAgainPrunesNoOtherObject) {
  constexpr long long kChunk = 70;
  SetConfig("MaxSFileContainerItems", 3);
  const std::vector<sitest::WrittenObject> first = BackupRoadChunk(kChunk, {20000, 30000, 40000, 50000, 60000, 70000});
  ASSERT_EQ(1u, first[2].container);
  ASSERT_EQ(2u, first[3].container);
  std::filesystem::resize_file(ContainerIndexPath(kChunk), kIndexHeaderBlock + 3 * kRecordSize);

  std::vector<sitest::WrittenObject> appended;
  {
    auto store = BackupChunk(kChunk, true, 0, true);
    uint64_t key = store->GetLastObjectNumber();
    ASSERT_EQ(3u, key);
    for (uint32_t size : {45000u, 55000u}) {
      sitest::WrittenObject w;
      ASSERT_EQ(0, sitest::WriteObject(*store, {++key, size, 100, 7000 + key}, w));
      appended.push_back(w);
    }
    ASSERT_EQ(0, sitest::Checkpoint(*store));
    ASSERT_EQ(0, store->Close());
  }
  ASSERT_EQ(3u, appended[1].container);
  ASSERT_NE(first[4].offset, appended[1].offset);

  std::vector<sitest::WrittenObject> live = {first[0], first[1], first[2], first[5]};
  live.insert(live.end(), appended.begin(), appended.end());
  AddRecords({Rec(kMP1, kVolId, kChunk, 4, 0, DbMetaOffset(first[3])),
              Rec(kMP1, kVolId, kChunk, 5, 0, DbMetaOffset(first[4]))});
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE("pass " + std::to_string(pass));
    auto p = MakeDriver();
    ASSERT_EQ(0, p->PruneZeroRefRecords(&db, nullptr, nullptr, 3600));
    const std::vector<uint64_t> left = RecordsLeft();
    EXPECT_NE(left.end(), std::find(left.begin(), left.end(), kChunk * 1000 + 5));
    EXPECT_TRUE(RemovalsAndCuts(kChunk).empty()) << ::testing::PrintToString(RemovalsAndCuts(kChunk));
    for (const SSfileContainerIndexEntry& e : Records(kChunk)) {
      EXPECT_TRUE(e.Key != 5 || (e.Flags & FLAG_SFILE_ENTRY_VALID) != 0);
    }
    ExpectRestored(kChunk, live);
  }
}

// Records whose checksums hold but whose container numbers are wrong contradict the records of the
// container they name, or leave bytes of their own container that no entry accounts for. Ten
// objects, five to a container (1 and 2); one record is made to name another container, and a pass
// prunes a part of the objects. No hole, cut or removal reaches a byte that a valid entry of a
// container accounts for, nor an object whose record is wrong and not pruned.
TEST_F(PrunerDamageTest, RecordsNamingAnotherContainerReclaimNoOtherObject) {
  struct Case {
    const char* name;
    int64_t position;   // of the record made to name `container`
    uint32_t container;
    std::set<uint64_t> pruned;
    std::vector<std::string> records;  // the holes made, by object: "H <first>:<objects>"
  };
  const Case cases[] = {
      // Its range lies over objects 6 to 8 of container 2.
      {"a pruned record naming the next container", 0, 2, {1}, {}},
      // Container 1 comes back after container 2 with object 10's range, over objects 3 and 4.
      {"a pruned record naming the previous container", 9, 1, {10}, {}},
      // Container 1 comes back after record 2 and loses every entry but object 3's; the removal
      // would take object 3.
      {"a live record naming no container", 2, 9, {1, 2, 4, 5}, {"H 1:2", "H 4:2"}},
  };
  const std::vector<uint32_t> sizes = {200000, 30000, 40000, 50000, 60000, 70000, 80000, 90000, 20000, 10000};
  long long chunk = 80;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<sitest::WrittenObject> objects = FiveToAContainer(++chunk, sizes);
    RewriteRecord(chunk, c.position, [&](SSfileContainerIndexEntry& e) { e.ContainerNo = c.container; });

    std::vector<CZeroRefRecord> records;
    for (uint64_t key : c.pruned) {
      const sitest::WrittenObject& w = objects[key - 1];
      records.push_back(Rec(kMP1, kVolId, static_cast<unsigned long long>(chunk), key, 0, DbMetaOffset(w)));
    }
    AddRecords(records);
    auto p = MakeDriver();
    ASSERT_EQ(0, p->PruneZeroRefRecords(&db, nullptr, nullptr, 3600));
    EXPECT_TRUE(RecordsLeft().empty());

    std::vector<std::string> expected;
    for (const std::string& r : c.records) {
      const size_t first = std::stoull(r.substr(2)) - 1;
      const sitest::WrittenObject& w = objects[first];
      uint64_t length = 0;
      for (size_t k = first; k < first + std::stoull(r.substr(r.find(':') + 1)); ++k) length += objects[k].shape.Length();
      expected.push_back("H " + LogRec(chunk, std::to_string(w.container) + " " + std::to_string(w.offset) + " " +
                                                   std::to_string(length)));
    }
    std::vector<std::string> made;
    for (const std::string& r : prunetest::DeleteLogRecords()) {
      if (r.find("CIDX") == std::string::npos) made.push_back(r);
    }
    EXPECT_EQ(expected, made);
    std::vector<sitest::WrittenObject> kept;
    for (const sitest::WrittenObject& w : objects) {
      if (!c.pruned.count(w.shape.key)) kept.push_back(w);
    }
    ExpectRestored(chunk, kept);
  }
}

// Random chunks from the backup road with random records rewritten (container number, offset or
// length; the checksums hold), pruned by random batches over several passes: after every pass the
// bytes of every valid entry are as they were before it, and every object that no batch pruned
// reads back as written, whether its record is its own or not. No rewritten record claims bytes of
// another rewritten record's object: the index alone cannot tell such a claim from a true one.
TEST_F(PrunerDamageTest, RecordsRewrittenAtRandomKeepEveryValidAndEveryUnprunedByte) {
  const uint64_t seed = mfstest::Seed(39);
  std::mt19937_64 rng(seed);
  const long trials = mfstest::EnvCount("MFS_PRUNE_REWRITTEN_TRIALS", 40L);
  long long chunk = 400;
  std::map<std::string, int> made;  // delete-log records by kind
  for (long trial = 0; trial < trials; ++trial) {
    ++chunk;
    SCOPED_TRACE("trial " + std::to_string(trial) + ", test seed " + std::to_string(seed));
    platform::ResetLogs();
    SetConfig("MaxSFileContainerItems", 2 + static_cast<long long>(rng() % 4));
    std::vector<uint32_t> sizes(6 + rng() % 9);
    for (uint32_t& size : sizes) size = rng() % 4 == 0 ? 60000 + rng() % 200000 : 100 + rng() % 30000;
    const std::vector<sitest::WrittenObject> objects = BackupRoadChunk(chunk, sizes);
    std::map<uint32_t, uint64_t> containerSizes;
    for (const sitest::WrittenObject& w : objects) {
      containerSizes[w.container] = std::max(containerSizes[w.container], w.offset + w.shape.Length());
    }

    // The records to rewrite, and what they claim then.
    struct Claim {
      uint32_t container;
      uint64_t begin, end;
    };
    const auto overlaps = [](const Claim& a, const Claim& b) {
      return a.container == b.container && a.begin < b.end && b.begin < a.end;
    };
    const auto own = [](const sitest::WrittenObject& w) {
      return Claim{w.container, w.offset, w.offset + w.shape.Length()};
    };
    std::map<size_t, Claim> rewritten;
    for (int tries = 1 + static_cast<int>(rng() % 4); tries > 0; --tries) {
      const size_t at = rng() % objects.size();
      const sitest::WrittenObject& w = objects[at];
      Claim c = own(w);
      uint64_t length = w.shape.Length();
      switch (rng() % 3) {
        case 0:  // another container, or one that does not exist
          c.container = static_cast<uint32_t>(rng() % (containerSizes.rbegin()->first + 2));
          break;
        case 1:  // another object's offset, or any
          c.begin = rng() % 2 == 0 ? objects[rng() % objects.size()].offset
                                   : rng() % (containerSizes[w.container] + 20000);
          break;
        default:
          length = rng() % (2 * length + 1000);
          break;
      }
      c.end = c.begin + length;
      if (rewritten.count(at) || (c.container == w.container && c.begin == w.offset && c.end == own(w).end)) continue;
      bool apart = true;
      for (const auto& [other, claim] : rewritten) {
        apart = apart && !overlaps(c, own(objects[other])) && !overlaps(claim, own(w));
      }
      if (!apart) continue;
      rewritten[at] = c;
      RewriteRecord(chunk, static_cast<int64_t>(at), [&](SSfileContainerIndexEntry& e) {
        e.ContainerNo = c.container;
        e.DataFileOffset = c.begin;
        e.DataLength = c.end - c.begin;
      });
    }

    std::set<uint64_t> pruned;
    const int passes = 2 + static_cast<int>(rng() % 3);
    for (int pass = 0; pass < passes; ++pass) {
      SCOPED_TRACE("pass " + std::to_string(pass) + ", " + std::to_string(rewritten.size()) + " records rewritten");
      std::vector<CZeroRefRecord> records;
      for (const sitest::WrittenObject& w : objects) {
        if (pruned.count(w.shape.key) || rng() % 3 != 0) continue;
        // A record whose entry lies elsewhere now is not that entry's: the database lets it go.
        records.push_back(Rec(kMP1, kVolId, static_cast<unsigned long long>(chunk), w.shape.key, 0,
                              rng() % 2 == 0 ? DbMetaOffset(w) : 0));
        records.back().Flags = kZeroRefEntryMayBeAbsent;
        pruned.insert(w.shape.key);
      }
      std::map<uint32_t, std::string> before;
      for (const auto& [number, size] : containerSizes) before[number] = craft::ReadFile(ContainerPath(chunk, number));
      AddRecords(records);
      auto p = MakeDriver();
      ASSERT_EQ(0, p->PruneZeroRefRecords(&db, nullptr, nullptr, 3600));
      ASSERT_TRUE(RecordsLeft().empty());

      for (const SSfileContainerIndexEntry& e : Records(chunk)) {
        if ((e.Flags & FLAG_SFILE_ENTRY_VALID) == 0 || !before.count(e.ContainerNo)) continue;
        const std::string& was = before[e.ContainerNo];
        if (e.DataFileOffset >= was.size()) continue;
        const uint64_t length = std::min<uint64_t>(e.DataLength, was.size() - e.DataFileOffset);
        ASSERT_EQ("", Difference(was.substr(e.DataFileOffset, length),
                                 sitest::FileBytes(ContainerPath(chunk, e.ContainerNo), e.DataFileOffset, length)))
            << "valid entry of key " << e.Key << " in container " << e.ContainerNo << " at " << e.DataFileOffset;
      }
      for (const sitest::WrittenObject& w : objects) {
        if (pruned.count(w.shape.key)) continue;
        ASSERT_EQ("", Difference(sitest::ObjectBytes(w.shape), sitest::FileBytes(ContainerPath(chunk, w.container),
                                                                                  w.offset, w.shape.Length())))
            << "object " << w.shape.key << (rewritten.count(w.shape.key - 1) ? ", its record rewritten" : "");
      }
    }
    for (const std::string& r : prunetest::DeleteLogRecords()) ++made[r.substr(0, 1)];
  }
  std::printf("%ld chunks: %d holes, %d cuts, %d removals\n", trials, made["H"], made["T"], made["D"]);
}

// A pass removes a container and is killed before the index marks it and before its delete-log
// record. The container is gone, its entries unmarked, its records still in the database: the next
// pass records the removal.
TEST_F(PrunerDamageTest, ARemovalAKillLeftUnrecordedReachesTheDeleteLog) {
  constexpr long long kChunk = 40;
  craft::Chunk c = CraftChunk(mountPath, kVolId, kChunk, 4, 2);  // container 1 holds keys 2 and 4
  AddRecords({Rec(kMP1, kVolId, kChunk, 2), Rec(kMP1, kVolId, kChunk, 4)});
  const std::string container = c.ContainerPath(1);
  const pid_t pid = idxtest::Fork([&] {
    bool removed = false;
    Faults().SetHook([&](FsOp op, const std::string& path) {
      if (removed) raise(SIGKILL);
      removed = op == FsOp::Remove && path == container;
    });
    auto p = MakeDriver();
    return p->PruneZeroRefRecords(&db, nullptr, nullptr, 3600);
  });
  ASSERT_EQ(128 + SIGKILL, idxtest::Wait(pid));
  ASSERT_FALSE(Exists(container));
  ASSERT_EQ(2u, RecordsLeft().size());
  for (const SSfileContainerIndexEntry& e : Records(kChunk)) EXPECT_EQ(0u, e.Flags & FLAG_SFILE_REMOVED) << e.Key;

  platform::ResetLogs();
  auto p = MakeDriver();
  ASSERT_EQ(0, p->PruneZeroRefRecords(&db, nullptr, nullptr, 3600));
  EXPECT_TRUE(RecordsLeft().empty());
  const std::vector<std::string> log = prunetest::DeleteLogRecords();
  EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "D " + LogRec(kChunk, "1"))) << ::testing::PrintToString(log);
  EXPECT_TRUE(Exists(c.ContainerPath(0)));
}

}  // namespace
