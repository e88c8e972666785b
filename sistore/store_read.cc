// Reading an open chunk for a restore: the metadata file through the buffered reader, the objects
// in their SFile containers (each opened at an object's offset after its container header and its
// object header were checked), "NFILE_CONTAINER", and the seeks between them.
//
// The store reads at the offsets it is given; offsets inside compacted containers are the host's
// to translate. A failed read or open is recorded as the last error, shown to the job, and answered
// with -1 when the chunk is to be marked bad or -2 when the mount path, not the chunk, failed. A
// header that does not check out is the chunk's fault: -1.

#include <fcntl.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/checked_add.h"
#include "sistore/data_file_readers.h"

namespace {

const char kContainerMagic[8] = {'S', 'F', 'I', 'L', 'H', 'D', 'R', '\0'};
const char kObjectMagic[8] = {'1', '0', 'D', 'H', 'G', 'A', 'T', '\0'};
constexpr unsigned int kContainerHeaderSize = 128;
constexpr unsigned int kObjectHeaderSize = 16;

enum ReadFile { kReadDataFile = 1, kReadMetaDataFile = 2, kReadNonSIFile = 3 };

}  // namespace

// The first bytes of a header read from the media, as text that is safe to log.
std::string SingleInstancer_FS::HeaderText(const char* header, size_t size) {
  std::string text;
  for (size_t i = 0; i < size && header[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(header[i]);
    text += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
  }
  return text;
}

int SingleInstancer_FS::MarkBadDecision(const std::string& path) {
  return IsMarkChunkBadMMError(m_llLastError, &m_FileInitParams, path, nullptr) ? -1 : -2;
}

int SingleInstancer_FS::ReadFailure(const CXoError& e, const char* userText, const std::string& path) {
  ConvertAndSetLastMMError(e);
  DisplayError(static_cast<unsigned long>(static_cast<int>(m_llLastError)), 1, userText);
  return MarkBadDecision(path);
}

void SingleInstancer_FS::AccountRead(long len) {
  if (!m_bReadTimerStarted) {
    m_tStart.init();
    m_bReadTimerStarted = true;
    m_llBytesRead = len;
  } else {
    m_llBytesRead += len;
  }
}

// A read hands back at most INT_MAX bytes; a negative size reads nothing.
bool SingleInstancer_FS::ReadSizeFits(const char* op, long len) {
  if (len >= 0 && len <= INT_MAX) return true;
  Log(1, "%s: Cannot read [%ld] bytes at once.", op, len);
  return false;
}

int SingleInstancer_FS::ReadFromMedia(char* buf, long len) { return ReadFromMetaData(buf, len); }

int SingleInstancer_FS::ReadFromMetaData(char* buf, long len) {
  static const char kOp[] = "SingleInstancer_FS::ReadFromMetaData";
  if (m_pMetaDataReader == nullptr || !m_pMetaDataReader->IsValid()) {
    Log(1, "%s", m_strLastErrorMsg.c_str());
    m_strLastErrorMsg = "ReadFromMetaData Failed as the Meta Data file is Not Open Yet";
    Log(1, "%s ", m_strLastErrorMsg.c_str());
    return -1;
  }
  if (!ReadSizeFits(kOp, len)) return -1;
  AccountRead(len);
  unsigned int got = 0;
  CXoError e = m_pMetaDataReader->Read(buf, static_cast<unsigned int>(len), &got);
  if (e.IsFailure()) {
    Log(1, "%s: Cannot read from the data/metadata file. Input Size [%d], Actually read [%d], error=%s", kOp,
        static_cast<int>(len), static_cast<int>(got), e.AsString().c_str());
    return ReadFailure(e, "Cannot read from the media", m_strMetaDataFileName);
  }
  return static_cast<int>(got);
}

int SingleInstancer_FS::ReadFromDataFile(char* buf, long len) {
  if (m_pDataFileReader == nullptr || !m_pDataFileReader->File()->IsValid()) {
    Log(1, "%s", m_strLastErrorMsg.c_str());
    m_strLastErrorMsg = "ReadFromDataFile Failed as the data file is Not Open Yet";
    Log(1, "%s ", m_strLastErrorMsg.c_str());
    return -1;
  }
  return ReadFromFile(kReadDataFile, buf, len);
}

int SingleInstancer_FS::ReadFromNonSIFile(char* buf, long len) {
  const bool open = m_pFdNonSIFile != nullptr && m_pFdNonSIFile->IsValid();
  if (!open && !ozassert(false, "m_pFdNonSIFile->IsValid () == true", "SingleInstancerFS",
                         "SingleInstancer_FS::ReadFromNonSIFile", __LINE__)) {
    return -1;
  }
  return ReadFromFile(kReadNonSIFile, buf, len);
}

int SingleInstancer_FS::ReadFromFile(int file, char* buf, long len) {
  static const char kOp[] = "SingleInstancer_FS::ReadFromFile";
  if (!ReadSizeFits(kOp, len)) return -1;
  AccountRead(len);
  CFileInterface* from = file == kReadDataFile       ? (m_pDataFileReader ? m_pDataFileReader->File() : nullptr)
                         : file == kReadMetaDataFile ? m_pFdMetaDataFile
                                                     : m_pFdNonSIFile;
  if (from == nullptr) {
    Log(1, "%s: No file to read from.", kOp);
    return -1;
  }
  unsigned int got = 0;
  CXoError e = file == kReadDataFile ? m_pDataFileReader->Read(buf, static_cast<unsigned int>(len), got)
                                     : from->Read(buf, static_cast<unsigned int>(len), &got);
  if (e.IsFailure()) {
    Log(1, "%s: Cannot read from the data/metadata file. Input Size [%d], Actually read [%d], error=%s", kOp,
        static_cast<int>(len), static_cast<int>(got), e.AsString().c_str());
    return ReadFailure(e, "Cannot read from the media", m_strMetaDataFileName);
  }
  return static_cast<int>(got);
}

int SingleInstancer_FS::SetSeekOffset(long long offset) {
  if (m_pMetaDataReader == nullptr) return 0;
  // A negative offset would count back into the chunk header block, or wrap past 2^64 with it.
  uint64_t target = 0;
  CXoError e;
  if (offset < 0 || !CheckedAdd(static_cast<uint64_t>(offset), m_ulBlockSize, target)) {
    e = FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL, "Metadata offset [%lld] lies outside the metadata file", offset);
  } else {
    e = m_pMetaDataReader->Seek(target, 0, nullptr);
  }
  if (e.IsSuccess()) return 1;
  Log(1, "Cannot seek to position [%lld], error=%s", offset, e.AsString().c_str());
  ConvertAndSetLastMMError(e);
  DisplayError(static_cast<unsigned long>(static_cast<int>(m_llLastError)), 1, "Failed to seek to the metadata offset");
  return 0;
}

int SingleInstancer_FS::SetSeekOffset2(unsigned long long metaDataOffset, unsigned long long ulNonSIFileOffset) {
  static const char kOp[] = "SingleInstancer_FS::SetSeekOffset2";
  if (m_pMetaDataReader == nullptr) return -1;
  CXoError e = m_pMetaDataReader->Seek(metaDataOffset, 0, nullptr);
  if (e.IsFailure()) {
    Log(1, "%s: Cannot seek to offset [%llu] within metadata file, error=%s", kOp, metaDataOffset, e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }
  if (m_pFdNonSIFile == nullptr || !m_pFdNonSIFile->IsValid()) {
    if (ulNonSIFileOffset != 0) ozassert(false, "ulNonSIFileOffset == 0", "SingleInstancerFS", kOp, __LINE__);
    return 0;
  }
  e = m_pFdNonSIFile->Seek(static_cast<CXoFile::offset>(ulNonSIFileOffset), SEEK_SET, nullptr);
  if (e.IsFailure()) {
    Log(1, "%s: Cannot seek to offset [%llu] within nonsi data file, error=%s", kOp, ulNonSIFileOffset,
        e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    return -1;
  }
  return 0;
}

unsigned long long SingleInstancer_FS::GetMetaDataFileSize() {
  unsigned long long size = 0;
  if (m_pFdMetaDataFile == nullptr) return 0;
  CXoError e = m_pFdMetaDataFile->Size(size);
  if (e.IsFailure()) {
    Log(1, "%s: Cannot get the metadata file size, error=%s", "SingleInstancer_FS::GetMetaDataFileSize",
        e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    DisplayError(static_cast<unsigned long>(static_cast<int>(m_llLastError)), 1,
                 "Failed to get the current meta data file offset");
    return 0;
  }
  return size;
}

// Opens `path` into a kept container and checks its container header. 0, -1 or -2; a container
// refused is not kept.
int SingleInstancer_FS::OpenContainerForRead(const char* op, const std::string& path, sistore::KeptContainer*& opened) {
  sistore::KeptContainer* container = m_pKeptContainers->Take();
  if (container == nullptr) {
    Log(1, "%s: No data file to open.", op);
    return -1;
  }
  CFileInterface* file = container->file.get();
  auto refuse = [&](int rc) {
    m_pKeptContainers->Drop(container);
    return rc;
  };
  CXoError e = file->Open(path, O_RDONLY | O_LARGEFILE, 0400, 0);
  if (e.IsFailure()) {
    Log(1, "%s: Cannot open file [%s], error=%s", op, path.c_str(), e.AsString().c_str());
    return refuse(ReadFailure(e, "Failed to open data file on media", path));
  }
  char header[kContainerHeaderSize] = {};
  unsigned int got = 0;
  e = file->Read(header, sizeof(header), &got);
  if (e.IsFailure()) {
    Log(1, "%s: Cannot read the header information from data file [%s], error=%s", op, path.c_str(),
        e.AsString().c_str());
    return refuse(ReadFailure(e, "Failed to read data file on media", path));
  }
  if (got < sizeof(header) || std::memcmp(header, kContainerMagic, sizeof(kContainerMagic)) != 0) {
    Log(1, "%s: The data file [%s] contains invalid header [%s].", op, path.c_str(),
        HeaderText(header, sizeof(kContainerMagic)).c_str());
    return refuse(-1);
  }
  container->path = path;
  container->reader.Attach(file, static_cast<int64_t>(got));
  opened = container;
  return 0;
}

int SingleInstancer_FS::OpenDataFile2(const char* path, unsigned long long offset) {
  // Until an object checks out, nothing may be read as the object: not the bytes of a refused
  // container, nor those after a header that did not check out.
  m_pDataFileReader = nullptr;
  return OpenObjectForRead(path, offset, false);
}

int SingleInstancer_FS::OpenObjectForRead(const char* path, unsigned long long offset, bool retried) {
  static const char kOp[] = "SingleInstancer_FS::OpenDataFile2";
  if (!m_bNewOZSIFormat) ozassert(false, "m_bNewOZSIFormat == true", "SingleInstancerFS", kOp, __LINE__);
  if (path == nullptr) {
    Log(1, "%s: No data file to open.", kOp);
    return -1;
  }
  if (!m_pKeptContainers) m_pKeptContainers = std::make_unique<sistore::KeptContainers>(m_FileInitParams);
  const std::string containerPath(path);
  CXoFile::EnableLongNamespace(true);

  std::optional<CImpersonator> scope;
  if (!EnterImpersonation(scope, kOp)) return -2;
  sistore::KeptContainer* container = nullptr;
  bool kept = false;
  try {
    container = m_pKeptContainers->Find(containerPath);
    kept = container != nullptr;
    if (!kept) {
      if (const int rc = OpenContainerForRead(kOp, containerPath, container); rc != 0) return rc;
    }
  } catch (const OzException& ex) {
    ReportScopeException(kOp, ex);
    return MarkBadDecision(containerPath);
  }
  scope.reset();
  m_strDataFileName = container->path;
  sistore::DataFileReader& reader = container->reader;
  // The descriptor is closed after a failure: the next object in the container opens it again.
  auto fail = [&](int rc) {
    m_pKeptContainers->Drop(container);
    return rc;
  };

  // In order, the header is where the reader stands, perhaps read ahead already.
  {
    CXoError e = reader.MoveTo(offset);
    if (e.IsFailure()) {
      Log(1, "%s: Cannot seek the position [%lld] within file [%s], error=%s", kOp, static_cast<long long>(offset),
          containerPath.c_str(), e.AsString().c_str());
      return fail(ReadFailure(e, "Failed to seek within data file on media", containerPath));
    }
  }
  char header[kObjectHeaderSize] = {};
  unsigned int got = 0;
  CXoError e = reader.Read(header, sizeof(header), got);
  if (e.IsFailure()) {
    Log(1, "%s: Cannot read the header into the data file, error=%s", kOp, e.AsString().c_str());
    return fail(ReadFailure(e, "Failed to read header in data file", containerPath));
  }
  // A header cut short by the end of the container is no header.
  if (got < sizeof(header) || std::memcmp(header, kObjectMagic, sizeof(kObjectMagic)) != 0) {
    // A kept container that a compaction has since replaced holds the old bytes: the object is
    // looked for in the file that the path names now.
    if (kept && !retried && !container->file->StillNamedBy(containerPath)) {
      m_pKeptContainers->Drop(container);
      return OpenObjectForRead(path, offset, true);
    }
    Log(1, "%s: Cannot validate the signature in the data file.", kOp);
    return fail(-1);
  }
  m_pDataFileReader = &reader;
  Log(2, "SingleInstancer_FS Reader Opened DataFile [%s] file", containerPath.c_str());
  return 0;
}

CXoError SingleInstancer_FS::CloseKeptContainers() {
  if (m_pDataFileReader != m_pLegacyFileReader.get()) m_pDataFileReader = nullptr;
  return m_pKeptContainers ? m_pKeptContainers->CloseAll() : CXoError::Success();
}

int SingleInstancer_FS::GetNextFileHdrOffset(unsigned long long offset, bool& found, ChunkMetaDataIndexEntry& entry) {
  found = false;
  if (!m_bOZSIDevice || !ChunkMetaDataIndexExists()) {
    Log(1, "Chunk Meta Data Index file is not present. m_bOZSIDevice [%d].", m_bOZSIDevice ? 1 : 0);
    return 0;
  }
  if (m_ChunkMDIdxVersion == -1) {
    Log(1, "Unable to find Chunk Meta Data Index file version.");
    return -1;
  }
  // Both formats begin with the same three fields.
  auto take = [&](const auto& record) {
    entry.Key = record.Key;
    entry.OwnerValue8 = record.OwnerValue8;
    entry.OwnerValue16 = record.OwnerValue16;
    found = true;
  };
  if (m_ChunkMDIdxVersion <= 2) {
    SChunkMetaDataIndexEntry90 record{};
    const int rc = SearchNextChunkMetaDataIndex90(offset, record);
    if (rc == 0) take(record);
    return rc;
  }
  SChunkMetaDataIndexEntry record{};
  const int rc = SearchNextChunkMetaDataIndex(offset, record);
  if (rc == 0) take(record);
  return rc;
}
