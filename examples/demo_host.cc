// The example host's shared parts: sources, the backup stream, the checking restore, progress,
// run folders and the volume record.

#include "demo_host.h"

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "MediaFileSystem/zovadAdeveFS.h"
#include "platform/media_manager.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kRecordBytes = 12;  // name length (4) and file size (8)
constexpr uint64_t kLongestName = 4096;
constexpr unsigned long long kMiB = 1ULL << 20;

void PutBigEndian(std::string& out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint64_t GetBigEndian(const char* in, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | static_cast<unsigned char>(in[i]);
  return value;
}

// ---- The files of a folder ------------------------------------------------------------------

class FileReader : public SourceReader {
 public:
  explicit FileReader(FILE* file) : m_file(file) {}
  ~FileReader() override { std::fclose(m_file); }
  long long Read(char* buf, size_t n) override {
    const size_t got = std::fread(buf, 1, n, m_file);
    if (got < n && std::ferror(m_file)) return -1;
    return static_cast<long long>(got);
  }

 private:
  FILE* m_file;
};

class FolderSource : public BackupSource {
 public:
  static std::unique_ptr<FolderSource> List(const std::string& folder, std::string& error) {
    auto source = std::unique_ptr<FolderSource>(new FolderSource(folder));
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::none, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      std::error_code statError;
      if (!it->is_regular_file(statError) || it->is_symlink(statError)) {
        if (!it->is_directory(statError)) ++source->m_skipped;
        continue;
      }
      const unsigned long long size = it->file_size(statError);
      if (statError) {
        ++source->m_skipped;
        continue;
      }
      source->m_files.push_back({fs::relative(it->path(), folder).generic_string(), size});
    }
    if (ec) {
      error = "cannot list " + folder + ": " + ec.message();
      return nullptr;
    }
    std::sort(source->m_files.begin(), source->m_files.end(),
              [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
    return source;
  }

  const std::vector<SourceFile>& Files() const override { return m_files; }

  std::unique_ptr<SourceReader> Open(size_t index, std::string& error) const override {
    const std::string path = m_folder + "/" + m_files[index].name;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
      error = "cannot read " + path + ": " + std::strerror(errno);
      return nullptr;
    }
    return std::make_unique<FileReader>(file);
  }

  std::string Describe() const override {
    std::string text = "folder " + m_folder + ", " + Count(m_files.size(), "file") + ", " + Size(TotalBytes());
    if (m_skipped > 0) text += " (" + std::to_string(m_skipped) + " entries that are not regular files skipped)";
    return text;
  }

 private:
  explicit FolderSource(std::string folder) : m_folder(std::move(folder)) {}
  std::string m_folder;
  std::vector<SourceFile> m_files;
  size_t m_skipped = 0;
};

// ---- Generated files ------------------------------------------------------------------------

// A file's bytes from a xorshift generator seeded by its number: the same every time.
class GeneratedReader : public SourceReader {
 public:
  GeneratedReader(unsigned long long size, uint64_t seed) : m_left(size), m_state(seed * 0x9E3779B97F4A7C15ULL + 1) {}
  long long Read(char* buf, size_t n) override {
    const size_t take = static_cast<size_t>(std::min<unsigned long long>(n, m_left));
    size_t i = 0;
    while (i < take) {
      if (m_used == sizeof(m_word)) {
        Next();
        if (take - i >= sizeof(m_word)) {
          for (size_t k = 0; k < sizeof(m_word); ++k) buf[i + k] = static_cast<char>(m_word >> (8 * k));
          i += sizeof(m_word);
          m_used = sizeof(m_word);
          continue;
        }
      }
      buf[i++] = static_cast<char>(m_word >> (8 * m_used++));
    }
    m_left -= take;
    return static_cast<long long>(take);
  }

 private:
  void Next() {
    m_state ^= m_state << 13;
    m_state ^= m_state >> 7;
    m_state ^= m_state << 17;
    m_word = m_state;
    m_used = 0;
  }
  unsigned long long m_left;
  uint64_t m_state;
  uint64_t m_word = 0;
  size_t m_used = sizeof(uint64_t);
};

class GeneratedSource : public BackupSource {
 public:
  explicit GeneratedSource(unsigned long long total) {
    // Files of many sizes, so records fall anywhere in blocks and chunks: an empty one, small
    // ones and larger ones up to 8 MiB.
    uint64_t state = 0x2545F4914F6CDD1DULL;
    unsigned long long left = total;
    // Every fifth file repeats an earlier one, as backups of copied files do, so a deduplicating
    // road finds blocks it has seen.
    m_files.push_back({"generated/empty", 0});
    m_seeds.push_back(0);
    for (int i = 1; left > 0; ++i) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      if (i % 5 == 0 && m_files[i - 3].size <= left) {
        m_files.push_back({"generated/file_" + std::to_string(i) + "_copy.bin", m_files[i - 3].size});
        m_seeds.push_back(m_seeds[i - 3]);
      } else {
        const unsigned long long limit = (i % 4 == 0) ? 8 * kMiB : 64 * 1024;
        m_files.push_back({"generated/file_" + std::to_string(i) + ".bin", std::min(left, 1 + state % limit)});
        m_seeds.push_back(static_cast<uint64_t>(i));
      }
      left -= m_files.back().size;
    }
  }
  const std::vector<SourceFile>& Files() const override { return m_files; }
  std::unique_ptr<SourceReader> Open(size_t index, std::string&) const override {
    return std::make_unique<GeneratedReader>(m_files[index].size, m_seeds[index]);
  }
  std::string Describe() const override {
    return "generated stream, " + Count(m_files.size(), "file") + ", " + Size(TotalBytes());
  }

 private:
  std::vector<SourceFile> m_files;
  std::vector<uint64_t> m_seeds;  // of each file's bytes; a copy has its original's
};

}  // namespace

unsigned long long BackupSource::TotalBytes() const {
  unsigned long long total = 0;
  for (const SourceFile& f : Files()) total += f.size;
  return total;
}

std::unique_ptr<BackupSource> BackupSource::FromOptions(const DemoOptions& options, std::string& error) {
  if (options.source.empty()) return std::make_unique<GeneratedSource>(options.generateMB * kMiB);
  std::error_code ec;
  if (!fs::is_directory(options.source, ec)) {
    error = options.source + " is not a folder";
    return nullptr;
  }
  return FolderSource::List(options.source, error);
}

// ---- The backup stream ----------------------------------------------------------------------

unsigned long long BackupStream::Length(const BackupSource& source) {
  unsigned long long bytes = kRecordBytes;  // the end
  for (const SourceFile& f : source.Files()) bytes += kRecordBytes + f.name.size() + f.size;
  return bytes;
}

bool BackupStream::StartNextFile() {
  m_pending.clear();
  m_pendingAt = 0;
  if (m_next == m_source.Files().size()) {
    PutBigEndian(m_pending, 0, 4);
    PutBigEndian(m_pending, 0, 8);
    m_ended = true;
    return true;
  }
  const SourceFile& file = m_source.Files()[m_next];
  m_reader = m_source.Open(m_next, m_error);
  if (m_reader == nullptr) return false;
  ++m_next;
  m_fileLeft = file.size;
  PutBigEndian(m_pending, file.name.size(), 4);
  PutBigEndian(m_pending, file.size, 8);
  m_pending += file.name;
  return true;
}

long long BackupStream::Read(char* buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    if (m_pendingAt < m_pending.size()) {
      const size_t take = std::min(n - done, m_pending.size() - m_pendingAt);
      std::memcpy(buf + done, m_pending.data() + m_pendingAt, take);
      m_pendingAt += take;
      done += take;
      continue;
    }
    if (m_fileLeft > 0) {
      const size_t want = static_cast<size_t>(std::min<unsigned long long>(n - done, m_fileLeft));
      const long long got = m_reader->Read(buf + done, want);
      if (got <= 0) {
        m_error = "a file of the source " + std::string(got < 0 ? "cannot be read" : "became shorter") +
                  " during the backup: " + m_source.Files()[m_next - 1].name;
        return -1;
      }
      m_fileLeft -= static_cast<unsigned long long>(got);
      done += static_cast<size_t>(got);
      continue;
    }
    if (m_ended) break;
    if (!StartNextFile()) return -1;
  }
  return static_cast<long long>(done);
}

// ---- The checking restore -------------------------------------------------------------------

StreamRestorer::~StreamRestorer() {
  if (m_out != nullptr) std::fclose(m_out);
}

bool StreamRestorer::Fail(const std::string& error) {
  if (m_error.empty()) m_error = error;
  return false;
}

bool StreamRestorer::StartFile(const std::string& name, unsigned long long size) {
  if (m_index >= m_source.Files().size()) return Fail("the restored stream holds more files than were backed up");
  const SourceFile& expected = m_source.Files()[m_index];
  if (name != expected.name || size != expected.size) {
    return Fail("restored file " + name + " (" + std::to_string(size) + " bytes) is not " + expected.name + " (" +
                std::to_string(expected.size) + " bytes)");
  }
  m_original = m_source.Open(m_index, m_error);
  if (m_original == nullptr) return false;
  const fs::path path = fs::path(m_folder) / name;
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  m_out = std::fopen(path.c_str(), "wb");
  if (m_out == nullptr) return Fail("cannot write " + path.string() + ": " + std::strerror(errno));
  m_fileLeft = size;
  return m_fileLeft > 0 || EndFile();
}

bool StreamRestorer::EndFile() {
  const bool closed = std::fclose(m_out) == 0;
  m_out = nullptr;
  m_original.reset();
  if (!closed) return Fail("cannot write " + m_source.Files()[m_index].name + ": " + std::strerror(errno));
  ++m_index;
  ++m_filesDone;
  return true;
}

bool StreamRestorer::Write(const char* buf, size_t n) {
  if (!m_error.empty()) return false;
  std::vector<char> original;
  while (n > 0) {
    if (m_ended) return Fail("the restored stream goes on after its end");
    if (m_out == nullptr) {
      // A record: gather its fixed part, then the name.
      const size_t need = m_header.size() < kRecordBytes
                              ? kRecordBytes
                              : kRecordBytes + static_cast<size_t>(GetBigEndian(m_header.data(), 4));
      const size_t take = std::min(n, need - m_header.size());
      m_header.append(buf, take);
      buf += take;
      n -= take;
      if (m_header.size() < kRecordBytes) continue;
      const uint64_t nameLength = GetBigEndian(m_header.data(), 4);
      if (nameLength > kLongestName) return Fail("the restored stream holds a malformed file record");
      if (m_header.size() < kRecordBytes + nameLength) continue;
      const uint64_t size = GetBigEndian(m_header.data() + 4, 8);
      const std::string name = m_header.substr(kRecordBytes);
      m_header.clear();
      if (nameLength == 0) {
        m_ended = true;
        continue;
      }
      if (!StartFile(name, size)) return false;
      continue;
    }
    // The file's bytes: written out and compared with the source's.
    const size_t take = static_cast<size_t>(std::min<unsigned long long>(n, m_fileLeft));
    original.resize(take);
    if (m_original->Read(original.data(), take) != static_cast<long long>(take)) {
      return Fail("cannot read " + m_source.Files()[m_index].name + " of the source again to compare");
    }
    if (std::memcmp(original.data(), buf, take) != 0) {
      const size_t at = static_cast<size_t>(std::mismatch(buf, buf + take, original.data()).first - buf);
      return Fail("restored file " + m_source.Files()[m_index].name + " differs from the source at byte " +
                  std::to_string(m_source.Files()[m_index].size - m_fileLeft + at));
    }
    if (std::fwrite(buf, 1, take, m_out) != take) {
      return Fail("cannot write " + m_source.Files()[m_index].name + ": " + std::strerror(errno));
    }
    buf += take;
    n -= take;
    m_fileLeft -= take;
    m_bytesDone += take;
    if (m_fileLeft == 0 && !EndFile()) return false;
  }
  return true;
}

bool StreamRestorer::Finish() {
  if (!m_error.empty()) return false;
  if (!m_ended) {
    return Fail("the restored stream stops after " + std::to_string(m_filesDone) + " of " +
                std::to_string(m_source.Files().size()) + " files");
  }
  return true;
}

// ---- Progress, folders, sizes ---------------------------------------------------------------

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Progress::Add(unsigned long long bytes) {
  m_done += bytes;
  const auto now = std::chrono::steady_clock::now();
  if (now - m_lastLine < std::chrono::seconds(2)) return;
  m_lastLine = now;
  const int percent = m_total == 0 ? 100 : static_cast<int>(100.0 * static_cast<double>(m_done) / static_cast<double>(m_total));
  std::printf("  %s: %s of %s (%d%%), %s\n", m_what, Size(m_done).c_str(), Size(m_total).c_str(), percent,
              Rate(m_done, SecondsSince(m_start)).c_str());
  std::fflush(stdout);
}

RunFolder::RunFolder(const std::string& given, const char* purpose) {
  std::error_code ec;
  if (!given.empty()) {
    fs::create_directories(given, ec);
    if (ec || !fs::is_directory(given)) {
      m_error = "cannot use " + given + " as the " + purpose + ": " + (ec ? ec.message() : "not a folder");
      return;
    }
    m_path = fs::absolute(given, ec).lexically_normal().string();
    if (m_path.size() > 1 && m_path.back() == '/') m_path.pop_back();
    return;
  }
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/mfs-demo-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    m_error = std::string("cannot make a temporary folder for the ") + purpose + ": " + std::strerror(errno);
    return;
  }
  m_path = pattern;
  m_temporary = true;
}

RunFolder::~RunFolder() {
  std::error_code ignored;
  if (m_temporary) fs::remove_all(m_path, ignored);
}

std::string Size(unsigned long long bytes) {
  char text[64];
  if (bytes >= kMiB) {
    std::snprintf(text, sizeof(text), "%.1f MiB", static_cast<double>(bytes) / static_cast<double>(kMiB));
  } else if (bytes >= 1024) {
    std::snprintf(text, sizeof(text), "%.1f KiB", static_cast<double>(bytes) / 1024.0);
  } else {
    std::snprintf(text, sizeof(text), "%llu bytes", bytes);
  }
  return text;
}

std::string Count(size_t n, const char* thing) {
  return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

std::string Rate(unsigned long long bytes, double seconds) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.0f MB/s", seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0.0);
  return text;
}

void PrintVolumeRecord(int volumeId) {
  const platform::MediaManagerState& mm = platform::MediaManager();
  auto it = mm.volumes.find(volumeId);
  if (it == mm.volumes.end()) {
    std::printf("volume %d: no record\n", volumeId);
    return;
  }
  const platform::MMVolume& v = it->second;
  std::printf("volume %d record: %lld files, %s physical, %s logical, last file marker %lld", volumeId, v.numFiles,
              Size(static_cast<unsigned long long>(v.physicalBytes)).c_str(),
              Size(static_cast<unsigned long long>(v.logicalBytes)).c_str(), v.fileMarker);
  if (v.fullReason != 0) {
    const char* why = v.fullReason == 42001 ? ": full" : v.fullReason == 42010 ? ": mount path not accessible" : "";
    std::printf(", marked full (reason %d%s)", v.fullReason, why);
  }
  if (v.offline) std::printf(", mount path offline");
  std::printf("\n");
  std::map<std::string, int> counts;
  for (const platform::MMCall& call : mm.calls) {
    if (call.id == volumeId) ++counts[call.op];
  }
  std::printf("  media manager calls on the volume:");
  for (const auto& [op, n] : counts) std::printf(" %s x%d", op.c_str(), n);
  std::printf("\n");
}

int NextVolumeId(const std::string& folder) {
  int highest = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("V_", 0) == 0) highest = std::max(highest, std::atoi(name.c_str() + 2));
  }
  return highest + 1;
}

bool MediaFailed(const char* road, const std::string& step, media_fs& media) {
  char message[2048] = {};
  media.GetDataBaseErrorString(message, sizeof(message) - 1);
  std::printf("FAILED: %s: %s: last error %lld: %s%s%s\n", road, step.c_str(), media.MediaFSGetLastError(), message,
              message[0] != '\0' ? " / " : "", media.GetErrorString());
  return false;
}
