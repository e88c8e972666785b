// The media header and trailer texts and archive files, and the chunk map trailer parser.

#include <cstring>
#include <ctime>

#include "frame_fixture.h"

namespace {

using platform::MediaManager;

// The label text with its time field taken out, and that time.
std::pair<std::string, long long> SplitTime(const std::string& text, const std::string& field) {
  const size_t at = text.find(field);
  if (at == std::string::npos) return {text, -1};
  const size_t start = at + field.size();
  const size_t end = text.find(' ', start);
  return {text.substr(0, start) + "T" + text.substr(end), std::stoll(text.substr(start, end - start))};
}

TEST_F(FrameTest, HeaderAndTrailerTexts) {
  InitBackup();
  const long long before = std::time(nullptr);
  const std::string header(media->GetHeader());
  const std::string trailer(media->GetTrailer());
  const long long after = std::time(nullptr);

  const std::string headerText =
      "MEDIA_HEADER_VERSION 1 \n HeaderSize 1024 \n VolId 7 \n CreateTime T \n MEDIA_HEADER_END 1 \n";
  const std::string trailerText =
      "MEDIA_TRAILER_VERSION 1 \n TrailerSize 1024 \n VolId 7 \n CompTime T \n NumFiles 5 \n "
      "MEDIA_TRAILER_END 1 \n";
  for (const auto& [text, field, expected] :
       {std::tuple{header, std::string(" CreateTime "), headerText},
        std::tuple{trailer, std::string(" CompTime "), trailerText}}) {
    ASSERT_EQ(1024u, text.size());
    auto [withoutTime, time] = SplitTime(text, field);
    EXPECT_GE(time, before);
    EXPECT_LE(time, after);
    const std::string body = withoutTime.substr(0, expected.size());
    EXPECT_EQ(expected, body);
    EXPECT_EQ(std::string(withoutTime.size() - expected.size(), ' '), withoutTime.substr(expected.size()));
  }
}

TEST_F(FrameTest, MediaHeaderIsWrittenAndTheNextFileCreated) {
  InitBackup();
  MediaFSArchiveFileId_t id = ChunkId();
  id.uiDataType = MEDIA_HEADER;
  ASSERT_EQ(0, media->Create(&id));
  ASSERT_EQ(0, media->WriteMediaHeader(&id));
  ASSERT_EQ(2u, media->files.size());
  EXPECT_EQ(std::string(media->GetHeader(), 0, 40), media->files[0].substr(0, 40));
  EXPECT_EQ(std::string(kBlock - 1024, '0'), media->files[0].substr(1024));
  EXPECT_EQ(1u, MediaManager().Count("incrNumFiles"));
  EXPECT_EQ(1u, platform::LogCount("Created the Media Header for VolId=7 FM=6"));
}

TEST_F(FrameTest, MediaTrailerMarksTheVolumeFull) {
  InitBackup();
  MediaFSArchiveFileId_t id = ChunkId();
  id.uiDataType = MEDIA_TRAILER;
  ASSERT_EQ(0, media->WriteMediaTrailer(&id));
  EXPECT_EQ("markFull", AccountingOps().front());
  EXPECT_EQ((std::vector<long long>{42001, 4242}), ArgsOf("markFull"));
  ASSERT_EQ(1u, media->files.size());
  EXPECT_EQ(kBlock, media->files[0].size());
  EXPECT_EQ(0, std::memcmp(media->files[0].data(), "MEDIA_TRAILER_VERSION 1 \n", 25));

  media->createResult = -1;
  EXPECT_EQ(-1, media->WriteMediaTrailer(&id));
  EXPECT_STREQ("Could not create media trailer on the VolId=7", media->GetErrorString());
}

TEST_F(FrameTest, MediaTrailerInReaderModeHasNoVolumeToMark) {
  ASSERT_EQ(0, media->Init(Params(kMediaTypeReader), false));
  MediaFSArchiveFileId_t id = ChunkId();
  id.uiDataType = MEDIA_TRAILER;
  // The reader mode records no file, so the Close fails; nothing touches a volume record.
  EXPECT_EQ(-1, media->WriteMediaTrailer(&id));
  EXPECT_EQ(0u, MediaManager().Count("markFull"));
  EXPECT_STREQ("Could not close after writing the media trailer on the VolId=7", media->GetErrorString());
}

std::string Pair(const std::string& name, const std::string& value) { return name + " " + value + "\n"; }

const std::string kVersionLine = Pair("CHUNK_MAP_TRAILER_VERSION", "2");
const std::string kUniqueLine = Pair("uniqueMediaIdString", "MEDIA-42");

struct TrailerCase {
  const char* name;
  std::string text;
  int rc;
  const char* log;  // a line the parser logs, or null
  ChunkMapTrailerInfo expect;
};

ChunkMapTrailerInfo Info(int version, int size, long long chunk, int fileMark, int vol, const char* product,
                         const char* unique) {
  ChunkMapTrailerInfo i;
  i.Version = version;
  i.TrailerSize = size;
  i.ChunkId = chunk;
  i.FileMarkNumber = fileMark;
  i.VolumeId = vol;
  std::strncpy(i.TavrixVersion, product, ChunkMapTrailerInfo::kTavrixVersionChars);
  std::strncpy(i.uniqueMediaIdString, unique, ChunkMapTrailerInfo::kUniqueMediaIdChars);
  return i;
}

std::vector<TrailerCase> TrailerCases() {
  const std::string full = kVersionLine + Pair("TrailerSize", "512") + Pair("FileMarkNumber", "12") +
                           Pair("ChunkId", "9000000000") + Pair("VolumeId", "7") +
                           Pair("TavrixVersion", "11.0 SP4") + kUniqueLine;
  return {
      {"Complete", full, 0, nullptr, Info(2, 512, 9000000000LL, 12, 7, "11.0 SP4", "MEDIA-42")},
      {"WrongFirstName", Pair("TrailerSize", "512") + kUniqueLine, -1,
       "**ERROR** Failed to parse Chunk Map trailer. Identifier did not match.", Info(0, 0, 0, 0, 0, "", "")},
      {"EmptyText", "", -1, "**ERROR** Failed to parse Chunk Map.", Info(0, 0, 0, 0, 0, "", "")},
      {"NoUniqueId", kVersionLine + Pair("VolumeId", "7"), -1, "**ERROR** Could not Parse Chunk Map trailer",
       Info(2, 0, 0, 0, 7, "", "")},
      {"UnknownNamesSkippedLaterValueWins",
       kVersionLine + Pair("VolumeId", "7") + Pair("Other", "x y z") + Pair("VolumeId", "8") + kUniqueLine, 0,
       nullptr, Info(2, 0, 0, 0, 8, "", "MEDIA-42")},
      {"NothingReadAfterUniqueId", kVersionLine + kUniqueLine + Pair("TrailerSize", "99"), 0, nullptr,
       Info(2, 0, 0, 0, 0, "", "MEDIA-42")},
      {"NumbersLikeAtoi", kVersionLine + Pair("TrailerSize", "12abc") + Pair("VolumeId", "x") + kUniqueLine, 0,
       nullptr, Info(2, 12, 0, 0, 0, "", "MEDIA-42")},
      {"Name63", kVersionLine + Pair(std::string(63, 'n'), "v") + kUniqueLine, 0, nullptr,
       Info(2, 0, 0, 0, 0, "", "MEDIA-42")},
      {"Name64", kVersionLine + Pair(std::string(64, 'n'), "v") + kUniqueLine, -1,
       "**ERROR** Could not Parse Chunk Map trailer", Info(2, 0, 0, 0, 0, "", "")},
      {"Value4095", kVersionLine + Pair("Other", std::string(4095, 'v')) + kUniqueLine, 0, nullptr,
       Info(2, 0, 0, 0, 0, "", "MEDIA-42")},
      {"Value4096", kVersionLine + Pair("Other", std::string(4096, 'v')) + kUniqueLine, -1,
       "**ERROR** Could not Parse Chunk Map trailer", Info(2, 0, 0, 0, 0, "", "")},
      // Long texts are cut to their fields and stay terminated.
      {"LongTexts",
       kVersionLine + Pair("TavrixVersion", std::string(200, 'p')) +
           Pair("uniqueMediaIdString", std::string(400, 'u')),
       0, nullptr, Info(2, 0, 0, 0, 0, std::string(128, 'p').c_str(), std::string(300, 'u').c_str())},
      {"NoNewlineAtTheEnd", kVersionLine + "uniqueMediaIdString MEDIA-42", -1,
       "**ERROR** Could not Parse Chunk Map trailer", Info(2, 0, 0, 0, 0, "", "")},
  };
}

class TrailerTable : public FrameTest, public ::testing::WithParamInterface<TrailerCase> {};

TEST_P(TrailerTable, Parses) {
  const TrailerCase& c = GetParam();
  ChunkMapTrailerInfo info;
  std::memset(info.TavrixVersion, 'X', sizeof(info.TavrixVersion));  // cleared by the parser
  // An exactly sized block without a terminator: the parser must stay inside it.
  std::unique_ptr<char[]> block(new char[c.text.size() + 1]);
  std::memcpy(block.get(), c.text.data(), c.text.size());
  EXPECT_EQ(c.rc, media->GetMediaInfoFromChunkMapTrailer(block.get(), c.text.size(), info));
  if (c.log != nullptr) {
    EXPECT_EQ(1u, platform::LogCount(c.log));
  }
  EXPECT_EQ(c.expect.Version, info.Version);
  EXPECT_EQ(c.expect.TrailerSize, info.TrailerSize);
  EXPECT_EQ(c.expect.ChunkId, info.ChunkId);
  EXPECT_EQ(c.expect.FileMarkNumber, info.FileMarkNumber);
  EXPECT_EQ(c.expect.VolumeId, info.VolumeId);
  EXPECT_STREQ(c.expect.TavrixVersion, info.TavrixVersion);
  EXPECT_STREQ(c.expect.uniqueMediaIdString, info.uniqueMediaIdString);

  // The terminated-text form agrees.
  std::string text = c.text;
  ChunkMapTrailerInfo again;
  EXPECT_EQ(c.rc, media->GetMediaInfoFromChunkMapTrailer(text.data(), again));
  EXPECT_STREQ(info.uniqueMediaIdString, again.uniqueMediaIdString);
}

INSTANTIATE_TEST_SUITE_P(ChunkMapTrailer, TrailerTable, ::testing::ValuesIn(TrailerCases()),
                         [](const ::testing::TestParamInfo<TrailerCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(FrameTest, NameValueScannerSplitsInPlace) {
  std::string text = "Alpha one two\nBeta 2\n";
  char* cursor = text.data();
  char* name = nullptr;
  char* value = nullptr;
  ASSERT_EQ(0, media->GetNextNameValue(cursor, name, value));
  EXPECT_STREQ("Alpha", name);
  EXPECT_STREQ("one two", value);
  ASSERT_EQ(0, media->GetNextNameValue(cursor, name, value));
  EXPECT_STREQ("Beta", name);
  EXPECT_STREQ("2", value);
  EXPECT_EQ(-1, media->GetNextNameValue(cursor, name, value));
}

}  // namespace
