// The read side of the older layouts: per-object data files (one file per object, outside
// container mode, and the 'S'/'N' files of the older single-instance layout), found again by a
// file-name pattern that carries the object's metadata offset, and the version of the product that
// wrote a chunk, read from its chunk map trailer.
//
// Names and trailers come from the media: a number that does not convert fails the call, and the
// trailer's text is read into a terminated block before it is parsed.

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "MediaFileSystem/SingleInstancerFS.h"
#include "sistore/data_file_readers.h"
#include "platform/string_format.h"

namespace {

// The whole text as an unsigned decimal number; false for an empty text, any other character or
// a value beyond 64 bits.
bool ParseUnsigned(const std::string& text, unsigned long long& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno == ERANGE || end != text.c_str() + text.size()) return false;
  value = v;
  return true;
}

// The metadata offset in a per-object file's name: after the last "-" ("FILE_%d_%lld-%lld"), or,
// in the older layout ("%cFILE_%llu-%llu_%d-%llu"), between the "-" before the last "_" and it.
bool OffsetFromName(const std::string& name, bool olderLayout, std::string& text) {
  if (!olderLayout) {
    const size_t dash = name.rfind('-');
    if (dash == std::string::npos) return false;
    text = name.substr(dash + 1);
    return true;
  }
  const size_t underscore = name.rfind('_');
  if (underscore == std::string::npos || underscore == 0) return false;
  const size_t dash = name.rfind('-', underscore - 1);
  if (dash == std::string::npos) return false;
  text = name.substr(dash + 1, underscore - dash - 1);
  return true;
}

}  // namespace

int SingleInstancer_FS::OpenDataFile(char* name) {
  static const char kOp[] = "SingleInstancer_FS::OpenDataFile";
  if (m_pFdDataFile == nullptr) InitFileInterfaceCache();
  if (name == nullptr || m_pFdDataFile == nullptr) {
    Log(1, "%s: No data file to open.", kOp);
    return -1;
  }
  const std::string path(name);
  CXoFile::EnableLongNamespace(true);
  std::optional<CImpersonator> scope;
  if (!EnterImpersonation(scope, kOp)) return -2;
  m_pDataFileReader = nullptr;
  try {
    // The previous object's file is closed first: one open descriptor per store.
    if (m_pFdDataFile->IsValid()) m_pFdDataFile->Close();
    CXoError e = m_pFdDataFile->Open(path, O_RDONLY | O_LARGEFILE, 0400, 0);
    if (e.IsFailure()) {
      Log(1, "%s: Cannot open file [%s], error=%s", kOp, path.c_str(), e.AsString().c_str());
      return ReadFailure(e, "Failed to open data file on media", path);
    }
  } catch (const OzException& ex) {
    ReportScopeException(kOp, ex);
    return MarkBadDecision(path);
  }
  if (!m_pLegacyFileReader) m_pLegacyFileReader = std::make_unique<sistore::DataFileReader>();
  // The host may move the file itself (SetDataFileOffset): reads follow its position.
  m_pLegacyFileReader->Attach(m_pFdDataFile, -1, false);
  m_pDataFileReader = m_pLegacyFileReader.get();
  Log(2, "SingleInstancer_FS Reader Opened DataFile [%s] file", path.c_str());
  return 0;
}

int SingleInstancer_FS::GetMetaDataSeekOffset(long long key, long long chunkId, long long& offset) {
  static const char kOp[] = "SingleInstancer_FS::GetMetaDataSeekOffset";
  std::optional<CImpersonator> scope;
  try {
    scope.emplace(m_LoggedOnUser.GetToken());
  } catch (const OzException&) {
    Log(1, "%s: Caught exception in impersonation", kOp);
    MediaFSSetLastError(kMMErrImpersonationFailed);
    return 0;
  }
  try {
    const bool olderLayout = m_bOZSIDevice;
    const std::string folder =
        olderLayout ? StringFormat("%s%cCHUNK_%llu", m_szPath, '/', static_cast<unsigned long long>(chunkId))
                    : StringFormat("%s%cCHUNK_%lld", m_szPath, '/', chunkId);
    const std::string pattern = olderLayout ? StringFormat("?FILE_%llu-*_*-*", static_cast<unsigned long long>(key))
                                            : StringFormat("FILE_*_%lld-*", key);
    CXoDirectory listing;
    CXoDirectory::Entry entry;
    bool atEnd = false;
    if (listing.Open(folder, pattern).IsFailure() || listing.GetEntry(entry, atEnd).IsFailure() || atEnd) return 0;
    listing.Close();
    std::string text;
    unsigned long long value = 0;
    if (!OffsetFromName(entry.name, olderLayout, text) || !ParseUnsigned(text, value)) {
      Log(1, "%s: The data file name [%s] carries no metadata offset.", kOp, entry.name.c_str());
      return 0;
    }
    offset = static_cast<long long>(value);
    return 1;
  } catch (const OzException& ex) {
    Log(-1, "%s: Caught exception %s", kOp, ex.text.c_str());
    return 0;
  }
}

int SingleInstancer_FS::GetTavrixVersionFromChunkMapTrailer(long long chunkId, std::string& version) {
  static const char kOp[] = "SingleInstancer_FS::GetTavrixVersionFromChunkMapTrailer";
  const bool relocated = !m_strTransformedVolDir.empty();
  const std::string path = path_append(relocated ? m_strTransformedVolDir : std::string(m_szPath),
                                       GetChunkMapTrailerName(static_cast<unsigned long long>(chunkId)));
  std::unique_ptr<CFileInterface> file(
      m_pFSInterface != nullptr ? CFileInterface::GetFileInterfaceInstance(m_pFSInterface->GetInitParams()) : nullptr);
  if (!file) {
    Log(-1, "%s: Cannot create FileInterface instance for reading map trailer [%s].", kOp, path.c_str());
    return 0;
  }
  CXoFile::EnableLongNamespace(true);

  std::optional<CImpersonator> scope;
  try {
    scope.emplace(relocated ? m_TransformedMPToken : m_LoggedOnUser.GetToken());
  } catch (const OzException&) {
    Log(1, "%s: Caught exception in impersonation", kOp);
    MediaFSSetLastError(kMMErrImpersonationFailed);
    DisplayError(kMMErrImpersonationFailed, 1, "User impersonation failure");
    return 0;
  }
  try {
    CXoError e = file->Open(path, O_RDONLY, 0400, 0);
    if (e.IsFailure()) {
      Log(-1, "%s: Cannot open the chunk map trailer [%s], error=%s", kOp, path.c_str(), e.AsString().c_str());
      ConvertAndSetLastMMError(e);
      DisplayError(static_cast<unsigned long>(static_cast<int>(m_llLastError)), 1,
                   "Failed to open the chunk trailer file on the media to read Tavrix version");
      return 0;
    }
  } catch (const OzException& ex) {
    ReportScopeException(kOp, ex);
    return 0;
  }
  scope.reset();

  // One volume block, and a terminator after it: the trailer's text is the media's.
  const unsigned long long block = m_ulBlockSize;
  std::unique_ptr<char[]> text(block != 0 && block <= UINT32_MAX ? new (std::nothrow) char[block + 1] : nullptr);
  if (!text) {
    Log(-1, "%s: No buffer of one volume block [%llu] to read the chunk map trailer [%s].", kOp, block, path.c_str());
    return 0;
  }
  unsigned int got = 0;
  CXoError e = file->Read(text.get(), static_cast<unsigned int>(block), &got);
  if (e.IsFailure() || got != block) {
    if (e.IsSuccess()) {
      e = FXErrorUtil::ErrorErrNo(FX_LOCATION, EIO, "The chunk map trailer [%s] ends after [%u] bytes", path.c_str(),
                                  got);
    }
    Log(-1, "%s: Cannot read from the chunk map trailer [%s]. Expected [%d], Read [%d], error=%s", kOp, path.c_str(),
        static_cast<int>(block), static_cast<int>(got), e.AsString().c_str());
    ConvertAndSetLastMMError(e);
    DisplayError(static_cast<unsigned long>(static_cast<int>(m_llLastError)), 1,
                 "Failed to read chunk trailer file on the media to read Tavrix version");
    return 0;
  }
  text[block] = '\0';
  ChunkMapTrailerInfo info;
  if (GetMediaInfoFromChunkMapTrailer(text.get(), static_cast<size_t>(block), info) != 0) {
    Log(1, "Failed to parse and get Tavrix Version from Chunk map. ");
    return 0;
  }
  version.assign(info.TavrixVersion, strnlen(info.TavrixVersion, sizeof(info.TavrixVersion)));
  return 1;
}
