// The chunk of the restore benchmarks: 1 GiB of objects of one size in SFile containers of 256 MiB,
// written in the store's layout (the container header, then each object's 16-byte header and its
// data) in a folder of the benchmarks' folder, and removed with the object.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "bench_dir.h"
#include "platform/byte_order.h"

namespace benchchunk {

inline constexpr uint64_t kDataBytes = 1ull << 30;
inline constexpr uint64_t kContainerBytes = 256ull << 20;
inline constexpr uint64_t kChunkId = 1;
inline constexpr int kVolId = 1;
inline constexpr size_t kObjectHeader = 16;
inline constexpr size_t kContainerHeader = 128;

struct Object {
  uint32_t container;
  uint64_t offset;  // of its header
};

// A chunk of 1 GiB of objects of one size, written in the store's layout; removed with the object.
class BenchChunk {
 public:
  explicit BenchChunk(size_t objectSize, const std::string& prefix = "mfs-restore-bench") : m_objectSize(objectSize) {
    m_root = bench::MakeDir(prefix);
    if (m_root.empty()) return;
    m_volume = m_root + "/OZ_MAGNETIC/V_1";
    const std::string chunk = m_volume + "/" + SingleInstancer_FS::GetChunkDirName(kChunkId);
    std::filesystem::create_directories(chunk);
    std::string meta(65536, 'm');  // the chunk header block; no metadata index
    WriteWhole(chunk + "/" + SingleInstancer_FS::GetChunkMetadataName(kChunkId), meta);

    std::vector<char> data(objectSize);
    std::mt19937 rng(7);
    for (char& c : data) c = static_cast<char>(rng());
    const uint64_t perContainer = kContainerBytes / (objectSize + kObjectHeader);
    const uint64_t objects = kDataBytes / objectSize;
    int fd = -1;
    uint64_t at = 0;
    for (uint64_t i = 0; i < objects; ++i) {
      const uint32_t container = static_cast<uint32_t>(i / perContainer);
      if (i % perContainer == 0) {
        if (fd >= 0) close(fd);
        m_paths.push_back(chunk + "/" + SingleInstancer_FS::GetSFileContainerName(container));
        fd = open(m_paths.back().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        char header[kContainerHeader] = "SFILHDR";
        EncodeBE32(header + 8, 1);
        if (fd < 0 || write(fd, header, sizeof(header)) != static_cast<ssize_t>(sizeof(header))) std::abort();
        at = kContainerHeader;
      }
      char header[kObjectHeader] = "10DHGAT";
      EncodeBE64(header + 8, i);
      std::memcpy(data.data(), &i, sizeof(i));
      if (write(fd, header, sizeof(header)) != static_cast<ssize_t>(sizeof(header)) ||
          write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
        std::abort();
      }
      m_objects.push_back(Object{container, at});
      at += kObjectHeader + objectSize;
    }
    if (fd >= 0) close(fd);
  }
  ~BenchChunk() {
    std::error_code ignored;
    if (!m_root.empty()) std::filesystem::remove_all(m_root, ignored);
  }
  BenchChunk(const BenchChunk&) = delete;
  BenchChunk& operator=(const BenchChunk&) = delete;

  bool ok() const { return !m_objects.empty(); }
  size_t objectSize() const { return m_objectSize; }
  const std::string& volume() const { return m_volume; }
  std::string mountPath() const { return m_root + "/OZ_MAGNETIC"; }
  const std::vector<std::string>& paths() const { return m_paths; }
  const std::vector<Object>& objects() const { return m_objects; }

 private:
  static void WriteWhole(const std::string& path, const std::string& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
    close(fd);
  }

  size_t m_objectSize;
  std::string m_root;
  std::string m_volume;
  std::vector<std::string> m_paths;
  std::vector<Object> m_objects;
};

}  // namespace benchchunk
