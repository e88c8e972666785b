// Arbitrary bytes as the staging buffer of a finished asynchronous read of an SFile container's
// first bytes, with an arbitrary transfer count, offset and outcome: the parse must stay inside
// the bytes the read delivered (the buffer is a heap block of exactly its size, so AddressSanitizer
// stops any access past it), and a map it accepts must serialise back to the buffer's bytes.
// Each input runs once more with the magic, tag, size and CRC made right. The seeds are compacted
// containers read whole or cut short.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "MediaFileSystem/AsyncIoManager2.h"
#include "MediaFileSystem/SFileCompactionMap.h"
#include "MediaFileSystem/SingleInstancerFS.h"
#include "compacted_container_seeds.h"
#include "fuzz_seeds.h"
#include "platform/byte_order.h"
#include "platform/crc32.h"
#include "platform/logging.h"

namespace {

// Control bytes ahead of the buffer: transfer count (4), offset (1), outcome (1).
constexpr size_t kControl = 6;

void Exercise(const uint8_t* control, const std::string& buffer) {
  std::unique_ptr<unsigned char[]> block(new unsigned char[buffer.empty() ? 1 : buffer.size()]);
  std::memcpy(block.get(), buffer.data(), buffer.size());
  IoSlot slot{};
  slot.pBuffer = buffer.empty() ? nullptr : block.get();
  slot.uBufSize = static_cast<uint32_t>(buffer.size());
  const uint32_t count = DecodeBE32(control);
  slot.ullBytesRead = control[5] & 1 ? count : std::min<uint64_t>(count, buffer.size());
  slot.ullOffset = control[4] % 4 == 0 ? 0 : control[4];
  slot.LastError = control[5] & 2 ? FXErrorUtil::ErrorErrNo(FX_LOCATION, 5, "read failed") : CXoError::Success();
  slot.llIoTime = static_cast<int64_t>(control[4]) * 1000;
  CSFileCompactionMap map;
  int needed = -1;
  CXoError e = SingleInstancer_FS::GetCompactionMapBySlot(&slot, map, needed);
  if (e.IsSuccess() && map.EntryCount() != 0) {
    std::string media(size_t{map.EntryCount()} * 24, '\0');
    map.Serialize(reinterpret_cast<SCompactionMapEntry*>(media.data()));
    if (buffer.size() < 256 + media.size() || media != buffer.substr(256, media.size())) __builtin_trap();
  }
  if (FXErrorUtil::IsMM(e, 1210) && needed <= static_cast<int>(std::min<uint64_t>(slot.ullBytesRead, buffer.size()))) {
    __builtin_trap();  // asks for a read that would bring no more bytes
  }
}

// Seeds: compacted containers read whole, and read short of their map so that the parse asks
// for more.
std::vector<std::string> Seeds() {
  std::vector<std::string> seeds;
  for (const std::string& container : fuzz::CompactedContainers()) {
    for (size_t read : {container.size(), size_t{200}}) {
      std::string control(kControl, '\0');
      EncodeBE32(&control[0], static_cast<uint32_t>(read));
      seeds.push_back(control + container.substr(0, read));
    }
  }
  return seeds;
}

}  // namespace

MFS_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (platform::SetLogCaptureLimit(64), true);
  (void)quiet;
  if (size < kControl) return 0;
  std::string buffer(reinterpret_cast<const char*>(data) + kControl, size - kControl);
  Exercise(data, buffer);
  if (buffer.size() < 148) return 0;
  std::memcpy(&buffer[0], "SFILHDR", 8);
  EncodeBE32(&buffer[8], 2);
  std::memcpy(&buffer[128], "10PMOC", 7);
  const uint32_t count = DecodeBE32(&buffer[144]) % 4096;
  EncodeBE32(&buffer[140], count * 24);
  const size_t have = buffer.size() > 256 ? std::min<size_t>(count * 24, buffer.size() - 256) : 0;
  EncodeBE32(&buffer[136], CXoCRC32::Of(buffer.data() + std::min<size_t>(256, buffer.size()), static_cast<unsigned int>(have)));
  Exercise(data, buffer);
  return 0;
}
