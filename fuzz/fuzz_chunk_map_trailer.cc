// Arbitrary bytes as a chunk map trailer block: the parser must neither crash nor read outside
// the block. The block is copied into a heap buffer of exactly its size, so AddressSanitizer
// stops any access past its end.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "MediaFileSystem/zovadAdeveFS.h"
#include "fuzz_seeds.h"
#include "platform/logging.h"

namespace {

class ParserOnlyMedia : public media_fs {
 public:
  ParserOnlyMedia() : media_fs(nullptr) {}
  int InitSpecific() override { return 0; }
  int CreateSpecific(const MediaFSArchiveFileId_t*) override { return 0; }
  int OpenSpecific(const MediaFSArchiveFileId_t*) override { return 0; }
  int CloseSpecific(long) override { return 0; }
  int WriteToMedia(const char*, long len, int*) override { return static_cast<int>(len); }
  int ReadFromMedia(char*, long) override { return 0; }
  long GetMarkType() const override { return 0; }
  int UpdateNumPhysicalBytes(long long) override { return 0; }
  int getFreeSpaceFromMedia(unsigned long long&) override { return -1; }
  long long GetRemainingSpace() override { return 0; }
  int InitCatalogOperationOnMedia(int) override { return 0; }
};

// Seeds: whole trailers of both versions, as text alone and padded to a block.
std::vector<std::string> Seeds() {
  std::vector<std::string> seeds;
  for (const char* version : {"1", "2"}) {
    std::string text = std::string("CHUNK_MAP_TRAILER_VERSION ") + version +
                       "\nTrailerSize 1024\nFileMarkNumber 5\nChunkId 1234\nVolumeId 7\nTavrixVersion 11.0\n"
                       "uniqueMediaIdString MEDIA-42\n";
    seeds.push_back(text);
    text.resize(1024, ' ');
    seeds.push_back(text);
  }
  return seeds;
}

}  // namespace

MFS_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ParserOnlyMedia* media = [] {
    platform::SetLogCaptureLimit(64);  // failed parses log; keep the capture small
    return new ParserOnlyMedia;
  }();
  std::unique_ptr<char[]> block(new char[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(block.get(), data, size);
  ChunkMapTrailerInfo info;
  if (media->GetMediaInfoFromChunkMapTrailer(block.get(), size, info) == 0) {
    // A parsed trailer leaves both texts terminated inside their fields.
    if (std::memchr(info.TavrixVersion, '\0', sizeof(info.TavrixVersion)) == nullptr ||
        std::memchr(info.uniqueMediaIdString, '\0', sizeof(info.uniqueMediaIdString)) == nullptr) {
      __builtin_trap();
    }
  }
  return 0;
}
