// Arbitrary bytes as what a restore reads from the media: an SFile container (its header, then a
// stream of object headers and data) walked object by object through the store, and a chunk map
// trailer read for the writer's version. The store must never crash, read outside its buffers or
// hand out bytes other than the container's own; a version it returns fits its field.
//
// Input: a byte of flags, two bytes that split the rest, then the container's part, then the
// trailer's bytes. The container is its part as it stands, or, as the flags ask, behind a valid
// container header and with its part laid out as objects (a 16-bit length, then that many bytes,
// becomes a valid object header and the bytes), so that the walk gets past the magic texts. The
// seeds are containers of a few objects, laid out so and as plain bytes, with a whole trailer.

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/byte_order.h"
#include "fuzz_seeds.h"
#include "platform/platform.h"

namespace {

constexpr int kVolId = 1;
constexpr unsigned int kMaxObjects = 64;
constexpr uint32_t kMaxObjectRead = 65536;

struct Sandbox {
  std::string volume;
  std::string other;  // a file the store opens between inputs, so each input's container is opened afresh
  std::string container;
  std::string trailer;
  _JobContext job{1, 0};
  MLMMessageInstance mlm;
  OZMMreserveMount reserve;
  std::unique_ptr<SingleInstancer_FS> store;
};

std::string g_root;

void RemoveSandbox() {
  std::error_code ignored;
  if (!g_root.empty()) std::filesystem::remove_all(g_root, ignored);
}

Sandbox* MakeSandbox() {
  platform::ResetAll();
  platform::SetLogCaptureLimit(64);  // failed reads log; keep the capture small
  auto* s = new Sandbox;
  char pattern[] = "/tmp/mfs-fuzz-store-XXXXXX";
  const char* root = mkdtemp(pattern);
  if (root == nullptr) abort();
  g_root = root;
  atexit(RemoveSandbox);
  const std::string mountPath = path_append(root, "OZ_MAGNETIC");
  s->volume = path_append(mountPath, "V_1");
  std::string chunk = path_append(s->volume, "CHUNK_1");
  std::filesystem::create_directories(chunk);
  s->container = path_append(chunk, "SFILE_CONTAINER_000");
  s->trailer = path_append(s->volume, "CHUNKMAP_TRAILER_1");
  s->other = path_append(chunk, "FILE_0_0-0");
  std::ofstream(s->other).put('x');

  CFSInitParams params;
  params.m_Host.m_Path = mountPath;
  s->store = std::make_unique<SingleInstancer_FS>(&s->job, params, true, 0);
  s->reserve.m_blockSizeKB = 1;  // a trailer is one volume block: short inputs fill it
  MediaFsInitParams init;
  init.iVolId = kVolId;
  init.strPath = s->volume;
  init.pMlm = &s->mlm;
  init.iMediaType = 1;
  init.pReserveMount = &s->reserve;
  if (s->store->Init(init, false) != 0) abort();
  return s;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// The container of the input's part, as the flags lay it out.
std::string MakeContainer(uint8_t flags, const uint8_t* part, size_t size) {
  std::string c;
  size_t at = 0;
  if (flags & 1) {
    c.assign("SFILHDR\0", 8);
    c.resize(128, '\0');
    EncodeBE32(&c[8], flags >> 4);
  } else {
    at = size < 128 ? size : 128;
    c.assign(reinterpret_cast<const char*>(part), at);
  }
  if (!(flags & 2)) return c.append(reinterpret_cast<const char*>(part) + at, size - at);
  while (at + 2 <= size) {
    size_t length = (static_cast<size_t>(part[at]) << 8 | part[at + 1]) % 4096;
    at += 2;
    if (length > size - at) length = size - at;
    char header[16] = {'1', '0', 'D', 'H', 'G', 'A', 'T', '\0'};
    EncodeBE32(header + 8, static_cast<uint32_t>(length));
    c.append(header, sizeof(header)).append(reinterpret_cast<const char*>(part) + at, length);
    at += length;
  }
  return c;
}

// Seeds: containers of a few objects laid out by MakeContainer itself, behind the flags that lay
// them out and, once more, as plain bytes, each with a chunk map trailer that gives the version.
std::string Input(uint8_t flags, const std::string& part, const std::string& trailer) {
  std::string input(1, static_cast<char>(flags));
  input += static_cast<char>(part.size() >> 8);
  input += static_cast<char>(part.size() & 0xFF);
  return input + part + trailer;
}

std::vector<std::string> Seeds() {
  std::string objects;
  for (size_t length : {100, 1, 0, 700, 33}) {
    objects += static_cast<char>(length >> 8);
    objects += static_cast<char>(length & 0xFF);
    for (size_t i = 0; i < length; ++i) objects += static_cast<char>('a' + (i + length) % 26);
  }
  std::string trailer =
      "CHUNK_MAP_TRAILER_VERSION 1\nTrailerSize 1024\nFileMarkNumber 3\nChunkId 1\nVolumeId 1\n"
      "TavrixVersion 11.0\nuniqueMediaIdString MP_1\n";
  trailer.resize(1024, ' ');
  std::vector<std::string> seeds;
  for (uint8_t version : {0, 1, 2}) {
    const uint8_t flags = static_cast<uint8_t>(version << 4 | 3);
    seeds.push_back(Input(flags, objects, trailer));
    const std::string laidOut = MakeContainer(flags, reinterpret_cast<const uint8_t*>(objects.data()), objects.size());
    seeds.push_back(Input(0, laidOut, trailer));
  }
  return seeds;
}

}  // namespace

MFS_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Sandbox* s = MakeSandbox();
  if (size < 3) return 0;
  // The stand-ins record every call and job event: each input starts from none, so nothing grows
  // from one input to the next.
  platform::ResetAll();
  platform::SetLogCaptureLimit(64);
  const size_t split = (static_cast<size_t>(data[1]) << 8 | data[2]) % (size - 2);
  const std::string bytes = MakeContainer(data[0], data + 3, split);
  const uint8_t* container = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t containerSize = bytes.size();
  const uint8_t* trailer = data + 3 + split;
  const size_t trailerSize = size - 3 - split;

  WriteFile(s->container, container, containerSize);
  if (s->store->OpenDataFile(s->other.data()) != 0) abort();
  uint64_t offset = 128;
  for (unsigned int i = 0; i < kMaxObjects; ++i) {
    if (s->store->OpenDataFile2(s->container.c_str(), offset) != 0) break;
    // The store accepted an object header: it lies inside the container.
    if (offset + 16 > containerSize || std::memcmp(container + offset, "10DHGAT", 8) != 0) __builtin_trap();
    uint32_t length = DecodeBE32(container + offset + 8) % kMaxObjectRead;
    std::unique_ptr<char[]> buf(new char[length + 1]);
    const int got = s->store->ReadFromDataFile(buf.get(), static_cast<long>(length));
    if (got < 0) break;
    const uint64_t start = offset + 16;
    const uint64_t available = containerSize > start ? containerSize - start : 0;
    if (static_cast<uint64_t>(got) != (length < available ? length : available)) __builtin_trap();
    if (got > 0 && std::memcmp(buf.get(), container + start, static_cast<size_t>(got)) != 0) __builtin_trap();
    offset = start + static_cast<uint64_t>(got);
  }

  WriteFile(s->trailer, trailer, trailerSize);
  std::string version;
  if (s->store->GetTavrixVersionFromChunkMapTrailer(1, version) == 1 &&
      (version.size() > ChunkMapTrailerInfo::kTavrixVersionChars || version.find('\0') != std::string::npos)) {
    __builtin_trap();
  }
  return 0;
}
