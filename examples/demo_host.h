// The example host's parts that every backup road shares: the options, what is backed up (the
// files of a folder, or generated files), the backup stream a data mover hands to the media, the
// restore that writes the files back and compares every byte with the source, progress lines,
// folders made for the run and the printing of the media manager's volume record.
//
// A road (disk_road.cc, ...) turns the backup stream into archive files on its media, reads them
// back through a second media object and feeds what it read to a StreamRestorer.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

class media_fs;

struct DemoOptions {
  std::string road = "all";
  std::string source;       // the folder to back up; empty: a generated stream
  std::string mountPath;    // empty: a temporary folder
  std::string restoreTo;    // empty: a temporary folder
  unsigned long long generateMB = 64;
  unsigned long long chunkMB = 16;
  int blockKB = 64;
};

// One file of the backup: its path relative to the backed-up folder, with '/' between names.
struct SourceFile {
  std::string name;
  unsigned long long size = 0;
};

// The bytes of one source file, in order.
class SourceReader {
 public:
  virtual ~SourceReader() = default;
  // Up to n bytes; 0 at the end; -1 on failure.
  virtual long long Read(char* buf, size_t n) = 0;
};

class BackupSource {
 public:
  virtual ~BackupSource() = default;
  virtual const std::vector<SourceFile>& Files() const = 0;
  // Null, with `error` set, when the file cannot be read.
  virtual std::unique_ptr<SourceReader> Open(size_t index, std::string& error) const = 0;
  virtual std::string Describe() const = 0;
  unsigned long long TotalBytes() const;

  // The regular files below the options' folder, in name order, or generated files of the
  // options' size. Null, with `error` set, when the folder cannot be listed.
  static std::unique_ptr<BackupSource> FromOptions(const DemoOptions& options, std::string& error);
};

// The stream a data mover writes: for each file a record of the name's length (4 bytes) and the
// file's size (8 bytes), big-endian, then the name and the file's bytes; a record with a name of
// length 0 ends the stream.
class BackupStream {
 public:
  explicit BackupStream(const BackupSource& source) : m_source(source) {}
  // The bytes of the whole stream of a source.
  static unsigned long long Length(const BackupSource& source);
  // Up to n bytes (fewer only at the end); 0 at the end; -1 with Error() set.
  long long Read(char* buf, size_t n);
  const std::string& Error() const { return m_error; }

 private:
  bool StartNextFile();

  const BackupSource& m_source;
  size_t m_next = 0;                      // the next file to start
  std::unique_ptr<SourceReader> m_reader;  // the file being streamed
  unsigned long long m_fileLeft = 0;      // its bytes still to stream
  std::string m_pending;                  // record bytes not yet handed out
  size_t m_pendingAt = 0;
  bool m_ended = false;
  std::string m_error;
};

// Writes the files of a backup stream below a folder and compares each byte with the source.
class StreamRestorer {
 public:
  StreamRestorer(const BackupSource& source, std::string folder) : m_source(source), m_folder(std::move(folder)) {}
  ~StreamRestorer();
  // False with Error() set when the stream is malformed, differs from the source or a file
  // cannot be written.
  bool Write(const char* buf, size_t n);
  // True when the stream ended after every file of the source.
  bool Finish();
  const std::string& Error() const { return m_error; }
  size_t FilesRestored() const { return m_filesDone; }
  unsigned long long BytesRestored() const { return m_bytesDone; }

 private:
  bool StartFile(const std::string& name, unsigned long long size);
  bool EndFile();
  bool Fail(const std::string& error);

  const BackupSource& m_source;
  std::string m_folder;
  std::string m_header;               // record bytes gathered so far
  bool m_ended = false;
  size_t m_index = 0;                 // the source file being restored
  FILE* m_out = nullptr;
  std::unique_ptr<SourceReader> m_original;
  unsigned long long m_fileLeft = 0;
  size_t m_filesDone = 0;
  unsigned long long m_bytesDone = 0;
  std::string m_error;
};

// Progress lines of a long transfer: at most one every two seconds, none for a short one.
class Progress {
 public:
  Progress(const char* what, unsigned long long total) : m_what(what), m_total(total) {}
  void Add(unsigned long long bytes);

 private:
  const char* m_what;
  unsigned long long m_total;
  unsigned long long m_done = 0;
  std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point m_lastLine = m_start;
};

// A folder for the run: the one given (kept), or a new temporary one that is removed at the end.
class RunFolder {
 public:
  RunFolder(const std::string& given, const char* purpose);
  ~RunFolder();
  RunFolder(const RunFolder&) = delete;
  RunFolder& operator=(const RunFolder&) = delete;
  bool Ok() const { return !m_path.empty(); }
  const std::string& Path() const { return m_path; }
  bool Temporary() const { return m_temporary; }
  const std::string& Error() const { return m_error; }

 private:
  std::string m_path;
  bool m_temporary = false;
  std::string m_error;
};

// "64.0 MiB", "512 KiB", "17 bytes".
std::string Size(unsigned long long bytes);
// "1 chunk", "5 chunks".
std::string Count(size_t n, const char* thing);
// "305 MB/s".
std::string Rate(unsigned long long bytes, double seconds);
double SecondsSince(std::chrono::steady_clock::time_point start);
// Prints the media manager's record of a volume and the calls made on it.
void PrintVolumeRecord(int volumeId);
// Prints what the library says of a failed step of a road (its last error, the job's text and
// the error text) and returns false.
bool MediaFailed(const char* road, const std::string& step, media_fs& media);
// The id of a new volume folder "V_<n>" in `folder`: one above every volume already there, so a
// run on a mount path that holds earlier backups never touches them.
int NextVolumeId(const std::string& folder);

// ---- The roads -------------------------------------------------------------------------------

// Backs the source up and restores it on one kind of media: 0 when every byte came back, 1 when
// something failed (what failed is printed).
using DemoRoadRun = int (*)(const DemoOptions& options, const BackupSource& source);

struct DemoRoad {
  const char* name;
  const char* summary;  // one line for --help
  DemoRoadRun run;
};

// Chunks as files on a disk mount path, through RealMagneticFS (disk_road.cc).
int RunDiskRoad(const DemoOptions& options, const BackupSource& source);
// A deduplicated chunk of SFile containers, through SingleInstancer_FS (dedup_road.cc).
int RunDedupRoad(const DemoOptions& options, const BackupSource& source);
// Chunks as objects of a dedup appliance's stand-in, then the same stream again as clones and
// copies of them, through HPStoreOnce_FS (appliance_road.cc).
int RunApplianceRoad(const DemoOptions& options, const BackupSource& source);
