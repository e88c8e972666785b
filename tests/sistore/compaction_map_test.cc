// CSFileCompactionMap: building compactions with Merge, translating offsets, the media form.
//
// The property test compacts random containers over several rounds, the way a host does, and
// checks every live object against a model that knows only which objects are alive: live objects
// lie one after another behind the map.

#include <gtest/gtest.h>

#include <random>

#include "compaction_fixture.h"
#include "platform/platform.h"

namespace {

using cmptest::ContainerModel;
using cmptest::Object;

constexpr uint64_t kInvalid = CSFileCompactionMap::kInvalidOffset;

SSFileRange Range(uint64_t offset, uint64_t length) {
  SSFileRange r;
  r.uOffset = offset;
  r.uLength = length;
  return r;
}

std::vector<std::pair<uint64_t, uint64_t>> EntriesOf(const CSFileCompactionMap& map) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (uint32_t k = 0; k < map.EntryCount(); ++k) out.emplace_back(map.Entries()[k].uLogicalOff, map.Entries()[k].uPhysicalOff);
  return out;
}

std::vector<std::pair<uint64_t, uint64_t>> RangesOf(const std::vector<SSFileRange>& ranges) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (const SSFileRange& r : ranges) out.emplace_back(r.uOffset, r.uLength);
  return out;
}

// A map loaded from media bytes, as a reader gets it.
CSFileCompactionMap MapOf(const std::vector<std::pair<uint64_t, uint64_t>>& entries) {
  const std::string container = cmptest::CompactedContainer(entries, "");
  SCompactionMapHeader hdr{};
  hdr.uEntryCount = static_cast<uint32_t>(entries.size());
  hdr.uSizeOnMedia = hdr.uEntryCount * 24;
  CSFileCompactionMap map;
  map.Unserialize(reinterpret_cast<const SCompactionMapEntry*>(container.data() + 256), hdr);
  return map;
}

class CompactionMapTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::ResetAll(); }

  struct MergeResult {
    int rc;
    std::vector<SSFileRange> ranges;
    uint64_t valid = 99, holes = 99;
  };
  static MergeResult Merge(CSFileCompactionMap& map, std::vector<SSFileRange> holes, uint64_t size) {
    MergeResult r;
    r.rc = map.Merge(&holes, 0, size, r.ranges, r.valid, r.holes);
    return r;
  }
};

// The worked example of a container compacted twice.
TEST_F(CompactionMapTest, TwoRoundsOfAThousandByteContainer) {
  CSFileCompactionMap map;
  MergeResult first = Merge(map, {Range(200, 50), Range(400, 100)}, 1000);
  ASSERT_EQ(first.rc, 0);
  EXPECT_EQ(RangesOf(first.ranges), (std::vector<std::pair<uint64_t, uint64_t>>{{128, 72}, {250, 150}, {500, 500}}));
  EXPECT_EQ(EntriesOf(map), (std::vector<std::pair<uint64_t, uint64_t>>{{128, 328}, {250, 400}, {500, 550}}));
  EXPECT_EQ(first.valid, 722u);
  EXPECT_EQ(first.holes, 150u);
  EXPECT_EQ(map.Header().uSizeOnMedia, 72u);
  const uint64_t newSize = 256 + 72 + first.valid;
  EXPECT_EQ(newSize, 1050u);

  MergeResult second = Merge(map, {Range(300, 20), Range(600, 50)}, newSize);
  ASSERT_EQ(second.rc, 0);
  EXPECT_EQ(EntriesOf(map), (std::vector<std::pair<uint64_t, uint64_t>>{
                                {128, 376}, {250, 448}, {320, 498}, {500, 578}, {650, 678}}));
  EXPECT_EQ(RangesOf(second.ranges), (std::vector<std::pair<uint64_t, uint64_t>>{{328, 122}, {470, 180}, {700, 350}}));
  EXPECT_EQ(second.valid, 652u);
  EXPECT_EQ(second.holes, 70u);
  // The header's CRC covers the entries as stored.
  const std::string media = cmptest::MapBytes(map).substr(128);
  EXPECT_EQ(map.Header().uCRC32, CXoCRC32::Of(media.data(), static_cast<unsigned int>(media.size())));
  EXPECT_TRUE(platform::LogContains("[Before Merge] Hole no [0]. Logical offset [128]. Physical offset [328]. Valid "
                                    "range len [72]. Hole start offset [200]. Hole len [50]."));
  EXPECT_TRUE(platform::LogContains("Valid range no [1]. Offset [470]. Length [180]."));
}

TEST_F(CompactionMapTest, MergeOutcomesThatChangeNothing) {
  // Holes that lie inside the old holes count nothing and leave the map as it is.
  CSFileCompactionMap map = MapOf({{128, 328}, {250, 400}, {500, 550}});
  MergeResult inside = Merge(map, {Range(210, 20), Range(420, 80)}, 1050);
  EXPECT_EQ(inside.rc, 0);
  EXPECT_TRUE(inside.ranges.empty());
  EXPECT_EQ(inside.valid, 0u);
  EXPECT_EQ(inside.holes, 0u);
  EXPECT_EQ(EntriesOf(map), (std::vector<std::pair<uint64_t, uint64_t>>{{128, 328}, {250, 400}, {500, 550}}));

  // No holes at all.
  MergeResult none = Merge(map, {}, 1050);
  EXPECT_EQ(none.rc, 0);
  EXPECT_TRUE(none.ranges.empty());
  EXPECT_EQ(none.holes, 0u);
  EXPECT_EQ(map.EntryCount(), 3u);

  // A hole over all the data of a container never compacted: nothing remains.
  CSFileCompactionMap plain;
  MergeResult all = Merge(plain, {Range(128, 872)}, 1000);
  EXPECT_EQ(all.rc, 0);
  EXPECT_TRUE(all.ranges.empty());
  EXPECT_EQ(all.valid, 0u);
  EXPECT_EQ(all.holes, 872u);
  EXPECT_EQ(plain.EntryCount(), 0u);
}

TEST_F(CompactionMapTest, HolesThatReachAcrossRunsAndHolesOfNoLength) {
  // A hole from inside run 0 to inside run 2 is rewritten to start at run 2; its bytes in the old
  // holes do not count.
  CSFileCompactionMap map = MapOf({{128, 328}, {250, 400}, {500, 550}});
  std::vector<SSFileRange> holes = {Range(150, 400)};
  std::vector<SSFileRange> ranges;
  uint64_t valid = 0, dropped = 0;
  ASSERT_EQ(map.Merge(&holes, 0, 1050, ranges, valid, dropped), 0);
  EXPECT_EQ(holes[0].uOffset, 500u);
  EXPECT_EQ(holes[0].uLength, 50u);
  EXPECT_EQ(dropped, 50u + 150u + 50u);
  EXPECT_EQ(EntriesOf(map), (std::vector<std::pair<uint64_t, uint64_t>>{{128, 304}, {550, 326}}));
  EXPECT_EQ(RangesOf(ranges), (std::vector<std::pair<uint64_t, uint64_t>>{{328, 22}, {600, 450}}));

  // A hole of no length cuts a run in two: two entries, one range to copy.
  CSFileCompactionMap plain;
  MergeResult cut = Merge(plain, {Range(300, 0)}, 1000);
  ASSERT_EQ(cut.rc, 0);
  EXPECT_EQ(EntriesOf(plain), (std::vector<std::pair<uint64_t, uint64_t>>{{128, 304}, {300, 476}}));
  EXPECT_EQ(RangesOf(cut.ranges), (std::vector<std::pair<uint64_t, uint64_t>>{{128, 872}}));
  EXPECT_EQ(cut.holes, 0u);
}

// Calls that cannot describe the container are refused and change nothing.
TEST_F(CompactionMapTest, MergeRefusesWhatCannotBeTheContainer) {
  struct Case {
    const char* name;
    std::vector<std::pair<uint64_t, uint64_t>> entries;
    std::vector<SSFileRange> holes;
    uint64_t size;
    bool rangesGiven;
  };
  const Case cases[] = {
      {"SizeAtLastRun", {{128, 304}, {300, 400}}, {Range(130, 10)}, 400, false},
      {"SizeBelowLastRun", {{128, 304}, {300, 400}}, {Range(130, 10)}, 350, false},
      {"SizeBelowHeader", {}, {Range(130, 10)}, 100, false},
      {"HolesOverlap", {}, {Range(200, 50), Range(240, 10)}, 1000, false},
      {"HolesDescend", {}, {Range(400, 10), Range(200, 10)}, 1000, false},
      {"RunsOutOfOrder", {{300, 304}, {128, 400}}, {Range(130, 10)}, 1000, false},
      {"RangesNotEmpty", {}, {Range(200, 10)}, 1000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CSFileCompactionMap map = c.entries.empty() ? CSFileCompactionMap() : MapOf(c.entries);
    const auto before = EntriesOf(map);
    std::vector<SSFileRange> holes = c.holes;
    std::vector<SSFileRange> ranges;
    if (c.rangesGiven) ranges.push_back(Range(1, 1));
    uint64_t valid = 7, dropped = 7;
    EXPECT_EQ(map.Merge(&holes, 0, c.size, ranges, valid, dropped), -1);
    EXPECT_EQ(EntriesOf(map), before);
    EXPECT_EQ(valid, 0u);
    EXPECT_EQ(dropped, 0u);
    EXPECT_EQ(ranges.size(), c.rangesGiven ? 1u : 0u);
  }
  CSFileCompactionMap map;
  std::vector<SSFileRange> ranges;
  uint64_t valid = 7, dropped = 7;
  EXPECT_EQ(map.Merge(nullptr, 0, 1000, ranges, valid, dropped), -1);
  EXPECT_EQ(valid + dropped, 0u);
}

TEST_F(CompactionMapTest, TranslationOfEveryKindOfOffset) {
  EvDebug log;
  CSFileCompactionMap map = MapOf({{128, 376}, {250, 448}, {320, 498}, {500, 578}, {650, 678}});
  map.Init(&log, 7);
  struct Case {
    uint64_t logical;
    uint64_t normal, pruner;
  };
  const Case cases[] = {
      {128, 376, 376},           // an entry's own offset
      {199, 447, 447},           // the run's last byte
      {200, kInvalid, 448},      // the hole's first byte: the next run in pruner mode
      {230, kInvalid, 448},      // inside the hole
      {300, kInvalid, 498},      // the first byte of a hole between physically adjacent runs
      {650, 678, 678},           // the last entry
      {1000, 1028, 1028},        // past the last entry: the last run reaches to the end
      {127, kInvalid, kInvalid}, // below the first run
      {0, kInvalid, kInvalid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logical);
    EXPECT_EQ(map.GetPhysicalOffset(c.logical, false), c.normal);
    EXPECT_EQ(map.GetPhysicalOffset(c.logical, true), c.pruner);
  }
  EXPECT_TRUE(platform::LogContains("Logical offset [200] is within a hole. Hole starts at [200]. [128] -> [376]. "
                                    "[250] -> [448]. Pruner mode [false]."));
  EXPECT_TRUE(platform::LogContains("Logical offset [230] is within a hole. Hole starts at [200]. [128] -> [376]. "
                                    "[250] -> [448]. []"));
  EXPECT_TRUE(platform::LogContains("m_pMap[iMid].uLogicalOff < LogicalOff"));
  // Successful translations only are counted.
  EXPECT_EQ(map.m_uTranslations, 11u);
  // The per-translation line is written only for a log that asks for that much detail.
  EXPECT_FALSE(platform::LogContains("Translated logical offset"));
  log.setLevel(10);
  map.m_strFileName = "/c/SFILE_CONTAINER_001";
  EXPECT_EQ(map.GetPhysicalOffset(129, false), 377u);
  EXPECT_TRUE(platform::LogContains("Translated logical offset [129] to phy offset [377]. File [/c/SFILE_CONTAINER_001]."));

  // An empty map translates nothing and counts nothing.
  CSFileCompactionMap empty;
  EXPECT_EQ(empty.GetPhysicalOffset(12345, false), 12345u);
  EXPECT_EQ(empty.m_uTranslations, 0u);
}

// A map whose runs would put data into the container header or far behind its logical place is
// damaged: its results are refused.
TEST_F(CompactionMapTest, ResultsOutsideTheContainerBoundsAreRefused) {
  CSFileCompactionMap low = MapOf({{200, 40}});
  EXPECT_EQ(low.GetPhysicalOffset(210, false), kInvalid);
  EXPECT_TRUE(platform::LogContains("Error: Invalid Phy Offset found [50/210]. Map Entries [1], File []."));
  EXPECT_EQ(low.m_uTranslations, 1u);
  CSFileCompactionMap far = MapOf({{200, 200 + 24 + 128 + 1}});
  EXPECT_EQ(far.GetPhysicalOffset(200, false), kInvalid);
  CSFileCompactionMap edge = MapOf({{200, 200 + 24 + 128}});
  EXPECT_EQ(edge.GetPhysicalOffset(200, false), 352u);

  // Runs whose sums wrap past 2^64, or that end before they start, would name another place in
  // the file, in either mode.
  const struct {
    const char* name;
    std::vector<std::pair<uint64_t, uint64_t>> entries;
    uint64_t logical;
  } damaged[] = {
      {"physical offset wraps", {{128, ~0ull - 99}}, 1000},                 // would be 772
      {"next run lies physically before", {{128, 200}, {5000, 150}}, 300},  // pruner mode: 150
      {"hole start wraps", {{1ull << 63, 200}, {(1ull << 63) + 500, (1ull << 63) + 300}}, (1ull << 63) + 50},
  };
  for (const auto& d : damaged) {
    SCOPED_TRACE(d.name);
    CSFileCompactionMap map = MapOf(d.entries);
    EXPECT_EQ(map.GetPhysicalOffset(d.logical, false), kInvalid);
    EXPECT_EQ(map.GetPhysicalOffset(d.logical, true), kInvalid);
  }
}

TEST_F(CompactionMapTest, MediaFormRoundTripsAndCopiesKeepTheirLog) {
  std::string media(48, '\0');
  EncodeBE64(&media[0], 128);
  EncodeBE64(&media[8], 304);
  media.replace(16, 8, "RESERVED");  // copied as it is, never converted
  EncodeBE64(&media[24], 900);
  EncodeBE64(&media[32], 500);
  SCompactionMapHeader hdr{};
  hdr.uEntryCount = 2;
  hdr.uSizeOnMedia = 48;
  hdr.uCRC32 = 77;
  EvDebug log;
  CSFileCompactionMap map(&log, 5);
  map.Unserialize(reinterpret_cast<const SCompactionMapEntry*>(media.data() + 0), hdr);
  std::string out(48, '\x55');
  map.Serialize(reinterpret_cast<SCompactionMapEntry*>(out.data()));
  EXPECT_EQ(out, media);
  EXPECT_EQ(map.Entries()[1].uPhysicalOff, 500u);

  CSFileCompactionMap copy;
  copy.m_strFileName = "mine";
  map.m_uTranslations = 3;
  copy = map;
  EXPECT_EQ(copy.Log(), &log);
  EXPECT_EQ(copy.Id(), 5u);
  EXPECT_EQ(copy.m_strFileName, "mine");
  EXPECT_EQ(copy.m_uTranslations, 0u);
  EXPECT_TRUE(copy.Compare(map.Entries(), 2));
  EXPECT_EQ(copy.Header().uCRC32, 77u);
  // A source logging through its own log leaves the copy logging through the copy's own.
  CSFileCompactionMap ownLog;
  CSFileCompactionMap copied(ownLog);
  EXPECT_NE(copied.Log(), ownLog.Log());
  EXPECT_EQ(copied.GetPhysicalOffset(5, false), 5u);

  EXPECT_FALSE(map.Compare(map.Entries(), 1));
  SCompactionMapEntry other[2] = {map.Entries()[0], map.Entries()[1]};
  other[1].uReserved = 1;
  EXPECT_TRUE(map.Compare(other, 2));
  other[1].uPhysicalOff = 501;
  EXPECT_FALSE(map.Compare(other, 2));
}

// Translations take well under a millisecond; on the real clock their average is not 0.
TEST_F(CompactionMapTest, TheAverageTranslationTimeIsMeasured) {
  platform::SetRealClock(true);
  CSFileCompactionMap map = MapOf({{128, 280}, {1000, 1152}});
  for (uint64_t off = 128; off < 600; ++off) ASSERT_EQ(map.GetPhysicalOffset(off, false), off + 152);
  EXPECT_EQ(map.m_uTranslations, 472u);
  EXPECT_GT(map.m_fAvgTranslateTime, 0.0f);
  EXPECT_LT(map.m_fAvgTranslateTime, 0.001f);
}

TEST_F(CompactionMapTest, StatisticsAreReportedOnceByTheDestructor) {
  {
    CSFileCompactionMap quiet;
  }
  EXPECT_FALSE(platform::LogContains("Map read time"));
  {
    EvDebug log;
    CSFileCompactionMap map(&log, 9);
    map.m_fMapReadTime = 0.5f;
    map.m_strFileName = "/x";
  }
  EXPECT_EQ(platform::LogCount("~CSFileCompactionMap: [9] Map read time [0.500000]. Avg address translation time "
                               "[0.000000]. File [/x].", 10),
            1u);
}

// An emptied map translates nothing, reports nothing when destroyed and logs through its own log
// object again, under the same id, until the next container's map is loaded into it.
TEST_F(CompactionMapTest, ResetEmptiesTheMapForTheNextContainer) {
  EvDebug log;
  CSFileCompactionMap map = MapOf({{128, 280}, {1000, 1152}});
  map.Init(&log, 4);
  map.m_strFileName = "/old";
  EXPECT_EQ(map.GetPhysicalOffset(500, false), 652u);
  map.m_fMapReadTime = 0.25f;
  map.Reset();
  EXPECT_EQ(map.EntryCount(), 0u);
  EXPECT_EQ(map.Entries(), nullptr);
  EXPECT_EQ(map.Header().uCRC32, 0u);
  EXPECT_EQ(map.m_uTranslations, 0u);
  EXPECT_EQ(map.m_fMapReadTime, 0.0f);
  EXPECT_EQ(map.m_fAvgTranslateTime, 0.0f);
  EXPECT_TRUE(map.m_strFileName.empty());
  EXPECT_NE(map.Log(), &log);
  EXPECT_EQ(map.Id(), 4u);
  EXPECT_EQ(map.GetPhysicalOffset(500, false), 500u);
  map.Dump(1, "after reset");
  EXPECT_TRUE(platform::LogContains("[after reset] [Map Empty]."));
}

// Random containers compacted over several rounds, each time the way a host does it: Merge, then
// write the copy from the current container's bytes. Every live object must translate to the
// place the model gives it and hold its bytes there; every dropped object must be refused (or lie
// past the end of the copy when it was the container's tail, which no map can tell).
TEST_F(CompactionMapTest, RoundsOfCompactionAgreeWithTheModel) {
  platform::SetLogCaptureLimit(200);
  std::mt19937_64 rng(20240611);
  int rounds = 0, emptied = 0, unchanged = 0;
  for (int container = 0; container < 400; ++container) {
    ContainerModel model(rng, 1 + static_cast<int>(rng() % 60), 1 + static_cast<int>(rng() % 300));
    CSFileCompactionMap map;
    for (int round = 0; round < 8 && model.AnyAlive(); ++round, ++rounds) {
      SCOPED_TRACE("container " + std::to_string(container) + " round " + std::to_string(round));
      const std::string& current = model.bytes();
      std::vector<SSFileRange> holes = model.ChooseHoles(rng, 1 + static_cast<int>(rng() % 5), rng() % 2 == 0);
      const uint64_t dropping = model.DroppingBytes();
      const uint64_t counted = dropping + (map.EntryCount() == 0 ? 0 : model.CoveredDeadTail(holes));
      std::vector<SSFileRange> ranges;
      uint64_t valid = 0, dropped = 0;
      ASSERT_EQ(map.Merge(&holes, 0, current.size(), ranges, valid, dropped), 0);
      if (ranges.empty()) {
        if (dropping == 0) {
          ASSERT_EQ(dropped, 0u);
          ++unchanged;
          continue;
        }
        ASSERT_EQ(dropped, counted);
        ASSERT_EQ(dropping, model.LiveBytes()) << "only an emptied container leaves nothing to copy";
        ++emptied;
        break;
      }
      ASSERT_EQ(dropped, counted);
      const std::string copy = cmptest::CompactedCopy(current, map, ranges);
      model.Apply(copy);
      ASSERT_EQ(valid, model.LiveBytes());
      ASSERT_EQ(copy.size(), 256 + 24ull * map.EntryCount() + valid);
      ASSERT_EQ(map.EntryCount(), model.Runs());

      // The reader's copy of the map, from the media form.
      SCompactionMapHeader hdr = map.Header();
      CSFileCompactionMap read;
      read.Unserialize(reinterpret_cast<const SCompactionMapEntry*>(copy.data() + 256), hdr);
      ASSERT_TRUE(read.Compare(map.Entries(), map.EntryCount()));

      const std::vector<int64_t> expected = model.ExpectedPhysical(map.EntryCount());
      const auto& objects = model.objects();
      for (size_t i = 0; i < objects.size(); ++i) {
        const Object& o = objects[i];
        const uint64_t normal = read.GetPhysicalOffset(o.logical, false);
        if (o.alive) {
          ASSERT_EQ(normal, static_cast<uint64_t>(expected[i])) << "object " << i;
          ASSERT_EQ(copy.substr(normal, o.bytes.size()), o.bytes) << "object " << i;
          ASSERT_EQ(read.GetPhysicalOffset(o.logical + o.bytes.size() - 1, false), normal + o.bytes.size() - 1);
          continue;
        }
        // The next live object, where the pruner's translation of a dropped one lands.
        size_t next = i + 1;
        while (next < objects.size() && !objects[next].alive) ++next;
        const bool belowFirstRun = o.logical < read.Entries()[0].uLogicalOff;
        if (next == objects.size()) {
          ASSERT_TRUE(normal == kInvalid || normal >= copy.size()) << "object " << i;
        } else {
          ASSERT_EQ(normal, kInvalid) << "object " << i;
          ASSERT_EQ(read.GetPhysicalOffset(o.logical, true), belowFirstRun ? kInvalid : static_cast<uint64_t>(expected[next]))
              << "object " << i;
        }
      }
    }
  }
  EXPECT_GT(rounds, 1000);
  EXPECT_GT(emptied, 0);
  EXPECT_GT(unchanged, 0);
}

}  // namespace
