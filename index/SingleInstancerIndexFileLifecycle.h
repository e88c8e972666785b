// Definitions of the index file template: construction, Create, Open, Close and the header.
#pragma once

#ifndef IDX_TEMPLATE
#error "included only by index/SingleInstancerIndexFile.cc, which instantiates the template"
#endif

namespace index_file_detail {

// The header's magic as a terminated text equals `magic`. For an 8-character magic the text runs
// on into the first byte of Version, which is zero in every valid header.
inline bool MagicMatches(const unsigned char* header, const char* magic) {
  size_t n = strlen(magic);
  return memcmp(header, magic, n) == 0 && header[n] == 0;
}

inline std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace index_file_detail

IDX_TEMPLATE
IDX_CLASS::CIndexFile(const CFSInitParams* params, EvDebug* log) : m_pDbg(log ? log : &m_Dbg) {
  if (params != nullptr) {
    m_pFp.reset(CFileInterface::GetFileInterfaceInstance(*params));
    m_pFs.reset(CFSInterface::GetFSInterfaceInstance(*params));
  }
}

IDX_TEMPLATE
IDX_CLASS::~CIndexFile() {
  (void)Close();
  // A distributed-storage lock left by a refused TryLock goes without an Unlock.
  m_pSkarvoLock.reset();
}

IDX_TEMPLATE
void IDX_CLASS::ApplyOptions(const Options& options) {
  if (options.bUseChangeFile) {
    m_bUseChangeFile = true;
    m_MaxPages = kUnboundedPages;
  }
  if (options.bCacheKeys) m_bCacheKeys = true;
  if (options.bAligned) m_Header.BlockSize = kIdxAlignedBlockSize;
}

IDX_TEMPLATE
bool IDX_CLASS::IsLockedFile() const {
  if (!IsMagic(g_szSFileIndexHdrMagic)) return false;
  const CFSInitParams* params = InitParams();
  if (params == nullptr) return true;
  if (params->m_Type == kFSTypeCloud) return false;
  return !(params->m_Type == kFSTypeDataServerIP && params->m_SubType == 1);
}

IDX_TEMPLATE
CXoError IDX_CLASS::OpenIndexFile(int flags, int permissions, int writeOption) {
  if (!m_pFp) return FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrNoFileInterface);
  if (auto* storeOnce = dynamic_cast<CHPStoreOnceFile*>(m_pFp.get())) {
    return storeOnce->OpenEx(m_FileName, flags, permissions, 0, writeOption);
  }
  return m_pFp->Open(m_FileName, flags, permissions, 0);
}

// A journal or a half-written journal beside a file that is being created belongs to the file's
// previous life; replayed later, it would overwrite the new file.
IDX_TEMPLATE
CXoError IDX_CLASS::RemoveStaleChangeFiles() {
  if (IsCloud()) return CXoError::Success();  // never replayed there
  if (!m_pFs) return FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrNoFileInterface);
  auto remove = [&](const std::string& name, bool* removed) {
    bool exists = false;
    CXoError e = m_pFs->Exists(name, exists);
    if (e.IsSuccess() && exists) e = m_pFs->RemoveFile(name, 0);
    if (e.IsFailure()) {
      m_pDbg->debug("%s:%d Failed to delete file [%s]. Error [%s]", "CIndexFile::Create", __LINE__,
                    name.c_str(), e.AsString().c_str());
      return e.Push(FX_LOCATION);
    }
    *removed = exists;
    return CXoError::Success();
  };
  bool tempRemoved = false, journalRemoved = false;
  CXoError e = remove(ChangeFileTempName(), &tempRemoved);
  if (e.IsSuccess()) e = remove(m_ChangeFileName, &journalRemoved);
  if (e.IsFailure()) return e;
  // The removal must outlive a power loss before the file is emptied: a journal that came back
  // would be replayed over the new file.
  if (journalRemoved && (e = FlushFolderOf(m_ChangeFileName)).IsFailure()) return e.Push(FX_LOCATION);
  return CXoError::Success();
}

// The failure exits of Create and Open: close what was opened and release a lock that was taken
// (by this call, or by the earlier Create or Open of an object that was not closed), in the order
// that the lock kind needs. The object ends closed, holding nothing.
IDX_TEMPLATE
void IDX_CLASS::ReleaseLockAfterFailure(bool locked) {
  const bool skarvo = m_pSkarvoLock != nullptr;
  if (locked && !skarvo) (void)UnlockFile();
  if (m_pFp && m_pFp->IsValid()) (void)m_pFp->Close();
  if (locked && skarvo) (void)UnlockFile();
  ResetPageCache();
  m_bOpen = false;
}

// Whether the object holds a lock from an earlier Create or Open that no Close ended. Such a call
// takes the lock again (the process's share of a plain file is exchanged in one step, see
// CIndexFileLockTable::Acquire); when it fails, its failure exit gives the earlier lock back too.
IDX_TEMPLATE
bool IDX_CLASS::HoldsLockFromBefore() const {
  return m_bOpen && IsLockedFile();
}

IDX_TEMPLATE
void IDX_CLASS::DropPages() {
  m_Lru.clear();
  m_Pages.clear();
  m_PageIndex.clear();
  std::vector<JournalExtent>().swap(m_JournalExtents);
  std::string().swap(m_JournalBytes);
}

IDX_TEMPLATE
void IDX_CLASS::ResetPageCache() {
  DropPages();
  m_Size = 0;
  m_Pos = 0;
  m_bDirty = false;
}

// An object opened on another file while it is still open on one: the cached pages belong to the
// earlier file. Its changes are written to it (a writer's, as Close would) and the pages dropped,
// so that none is read or written back as the new file's. A failed flush fails the call and leaves
// the object open on the earlier file, with its changes. The same file keeps its pages: an Open
// right after a Create reads the fresh header from them.
IDX_TEMPLATE
CXoError IDX_CLASS::LeaveEarlierFile(const std::string& name, const char* tag) {
  if (!m_bOpen || name == m_FileName) return CXoError::Success();
  if (m_iMode == 2) {
    CXoError e = Flush();
    if (e.IsFailure()) {
      m_pDbg->debug("%s:%d Unable to flush [%s] before opening [%s]. error [%s]", tag, __LINE__, m_FileName.c_str(),
                    name.c_str(), e.AsString().c_str());
      return e.Push(FX_LOCATION);
    }
  }
  ResetPageCache();
  return CXoError::Success();
}

IDX_TEMPLATE
CXoError IDX_CLASS::Create(std::string name, Options& options) {
  static constexpr const char* kTag = "CIndexFile::Create";
  if (!Traits::kWritable) return ReadOnlyRecords(kTag, name);
  if (CXoError e = LeaveEarlierFile(name, kTag); e.IsFailure()) return e;
  const bool heldBefore = HoldsLockFromBefore();
  ResetPageCache();  // no page of an earlier file may reach this one
  m_FileName = name;
  m_ChangeFileName = name + kChangeFileSuffix;
  m_iMode = 2;
  ApplyOptions(options);

  bool locked = false;
  int line = 0;
  CXoError e;
  if (!IsLockedFile()) {
    line = __LINE__;
    e = RemoveStaleChangeFiles();
    if (e.IsSuccess()) {
      line = __LINE__;
      e = OpenIndexFile(O_RDWR | O_CREAT | O_TRUNC | O_LARGEFILE, 0777, 1);
    }
  } else {
    // Another process may hold this file: it is emptied only once the lock is ours.
    line = __LINE__;
    e = OpenIndexFile(O_RDWR | O_CREAT | O_LARGEFILE, 0777, 1);
    if (e.IsSuccess()) {
      line = __LINE__;
      e = LockFile();
      if (e.IsFailure()) {
        m_pDbg->debug("%s:%d Unable to Lock index file [%s], error=%s", kTag, __LINE__, m_FileName.c_str(),
                      e.AsString().c_str());
      } else {
        locked = true;
      }
    }
    if (e.IsSuccess()) {
      line = __LINE__;
      e = RemoveStaleChangeFiles();
    }
    if (e.IsSuccess()) {
      line = __LINE__;
      e = m_pFp->Truncate(0);
    }
  }
  // A journal of the first Flush holds the new pages, not the emptying: it must not be replayed
  // over the old bytes that a power loss might bring back.
  if (e.IsSuccess() && m_bUseChangeFile && !IsCloud()) {
    line = __LINE__;
    e = m_pFp->Flush();
  }
  if (e.IsSuccess()) {
    m_Version = m_Header.BlockSize != 0 ? kIdxVersionAligned : Traits::kPackedVersion;
    memset(m_Header.Magic, 0, sizeof(m_Header.Magic));
    memcpy(m_Header.Magic, m_szMagic, std::min(strlen(m_szMagic), sizeof(m_Header.Magic)));
    m_Header.Version = m_Version;
    m_Header.TotalEntries = 0;
    m_Header.DeletedEntries = 0;
    m_Header.EngineId = m_EngineId;
    line = __LINE__;
    e = WriteHeader();
  }
  if (e.IsFailure()) {
    ReleaseLockAfterFailure(locked || heldBefore);
    m_pDbg->debug("Failed to create file [%s]. Line [%d], Error [%s]", m_FileName.c_str(), line,
                  e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  m_bOpen = true;
  m_LastKey = 0;
  return CXoError::Success();
}

IDX_TEMPLATE
CXoError IDX_CLASS::Open(std::string name, int mode, Options& options) {
  static constexpr const char* kTag = "CIndexFile::Open";
  if (CXoError e = LeaveEarlierFile(name, kTag); e.IsFailure()) return e;
  const bool heldBefore = HoldsLockFromBefore();
  m_FileName = name;
  m_ChangeFileName = name + kChangeFileSuffix;
  m_iMode = mode;
  ApplyOptions(options);

  const bool lockIt = IsLockedFile();
  const bool skarvo = IsSkarvo();
  bool locked = false;
  int line = 0;
  auto failure = [&](int failLine, CXoError e) {
    ReleaseLockAfterFailure(locked || heldBefore);
    m_pDbg->debug("Failed to open file [%s]. Line [%d], Error [%s]", m_FileName.c_str(), failLine,
                  e.AsString().c_str());
    return e.Push(FX_LOCATION);
  };
  auto lock = [&](int lockLine) {
    CXoError e = LockFile();
    if (e.IsFailure()) {
      m_pDbg->debug("%s:%d Unable Lock index file [%s], error=%s", kTag, lockLine, m_FileName.c_str(),
                    e.AsString().c_str());
    } else {
      locked = true;
    }
    return e;
  };

  if (lockIt && skarvo) {
    CXoError e = lock(__LINE__);
    if (e.IsFailure()) return failure(__LINE__, e);
  }
  int flags = O_RDWR | O_LARGEFILE;
  if (mode == 1) {
    flags = O_RDONLY | O_LARGEFILE;
    if (IsMagic(g_szChunkIndexHdrMagic) && IsCloud()) flags |= kFSOpenCloudReadAhead;
  }
  CXoError e = OpenIndexFile(flags, 0400, mode == 2 ? 1 : 0);
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Cannot open index file [%s], error=%s", kTag, __LINE__, m_FileName.c_str(),
                  e.AsString().c_str());
    return failure(__LINE__, e);
  }
  if (lockIt && !skarvo) {
    e = lock(__LINE__);
    if (e.IsFailure()) return failure(__LINE__, e);
  }

  CXoError header = ReadHeader();
  const uint32_t fileVersion = ozntohl(m_Header.Version);
  const uint32_t fileBlockSize = ozntohl(m_Header.BlockSize);
  // Files of the packed layouts always journal; other files journal when the owner asks for it,
  // and then a journal beside them is theirs to replay as well.
  const bool journaled = header.IsFailure() || fileVersion <= 3 || (fileVersion == 4 && fileBlockSize == 0) ||
                         m_bUseChangeFile;
  if (!IsCloud() && journaled) {
    bool applied = false;
    line = __LINE__;
    e = CheckAndApplyChangeFile(&applied);
    if (e.IsFailure()) return failure(line, e);
    if (applied) header = ReadHeader();
  }
  if (header.IsFailure()) {
    m_pDbg->debug("%s:%d Invalid header in the index file. Error [%s]", kTag, __LINE__, header.AsString().c_str());
    return failure(__LINE__, header);
  }

  m_Header.SwapByteOrder();
  m_Version = m_Header.Version;
  m_EngineId = m_Header.EngineId;
  if (m_Version == 0) {
    m_pDbg->debug("%s:%d Cannot open index file [%s] with version [%d] on linux", kTag, __LINE__,
                  m_FileName.c_str(), 0);
    return failure(__LINE__, FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrGeneric,
                                                     "Cannot open previous version index file in linux"));
  }
  if (m_Version > kIdxVersionMax) {
    m_pDbg->debug("%s:%d Incompatible version [%d] detected.", kTag, __LINE__, static_cast<int>(m_Version));
    return failure(__LINE__, FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrIncompatibleVersion));
  }
  const uint32_t blockSize = m_Header.BlockSize;
  if (blockSize != 0 && blockSize < std::max(kIdxHeaderSize, m_RecSize)) {
    // No record would fit in a block (and the record positions would divide by zero).
    m_pDbg->debug("%s:%d Invalid block size [%u] in the index file [%s]", kTag, __LINE__, blockSize,
                  m_FileName.c_str());
    return failure(__LINE__, FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrCorrupt));
  }
  if (IsMagic(g_szSFileIndexHdrMagic) && (m_Version <= 3 || blockSize == 0)) {
    m_bUseChangeFile = true;
    m_MaxPages = kUnboundedPages;
  }

  unsigned long long fileSize = 0;
  e = m_pFp->Size(fileSize);
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Cannot get the size of the file [%s], error=%s", kTag, __LINE__, m_FileName.c_str(),
                  e.AsString().c_str());
    return failure(__LINE__, FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrGeneric,
                                                     "Cannot get the index file size"));
  }
  // Pages held in memory (a journal replayed read-only, a header not yet written) extend the file.
  m_Size = std::max<uint64_t>(m_Size, fileSize);

  const uint64_t size = m_Size;
  if (blockSize != 0) {
    m_Header.TotalEntries = AlignedRecordCount(size, blockSize, m_RecSize);
    m_Header.DeletedEntries = 0;
  } else {
    if (size < kIdxHeaderSize || (size - kIdxHeaderSize) % m_RecSize != 0) {
      m_pDbg->debug("%s:%d The size of the index file [%s] [%llu] is not in multiples of [%u]", kTag, __LINE__,
                    m_FileName.c_str(), static_cast<unsigned long long>(size), m_RecSize);
      return failure(__LINE__, FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrCorrupt));
    }
    const uint64_t n = (size - kIdxHeaderSize) / m_RecSize;
    if (m_Header.TotalEntries == 0) {
      m_Header.TotalEntries = n;
    } else if (m_Header.TotalEntries != n) {
      m_pDbg->debug("%s:%d Total number of entries does not match in file [%s]. Expected [%lu], Found [%llu]", kTag,
                    __LINE__, m_FileName.c_str(), m_Header.TotalEntries, static_cast<unsigned long long>(n));
      return failure(__LINE__, FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrCorrupt));
    }
  }

  const bool mayBeTorn = options.bTrimTornTail && blockSize != 0 && !m_bUseChangeFile && !IsCloud();
  if (mayBeTorn && mode == 2) {
    e = TrimTornTail(true);
    if (e.IsFailure()) return failure(__LINE__, e);
  }
  m_LastKey = 0;
  if (m_Header.TotalEntries != 0) {
    IndexRecord last;
    uint64_t lastIndex = m_Header.TotalEntries - 1;
    e = GetEntry(static_cast<int64_t>(lastIndex), &last);
    if (e.IsFailure() && mayBeTorn && mode == 1 && FXErrorUtil::IsMM(e, kIdxMMErrCorrupt)) {
      // A reader of a file that no writer has continued since a power loss reads the records
      // before what the unfinished Flush left, and leaves the file to the next writer.
      e = TrimTornTail(false);
      if (e.IsSuccess() && m_Header.TotalEntries != 0) {
        lastIndex = m_Header.TotalEntries - 1;
        e = GetEntry(static_cast<int64_t>(lastIndex), &last);
      } else if (e.IsSuccess()) {
        last = IndexRecord{};
      }
    }
    if (e.IsFailure()) {
      m_pDbg->debug("%s:%d Cannot get entry at index [%llu], error=%s", kTag, __LINE__,
                    static_cast<unsigned long long>(lastIndex), e.AsString().c_str());
      return failure(__LINE__, e);
    }
    m_LastKey = Traits::Key(last);
  }
  if (!m_bCacheClear) ClearKeyCache();
  m_bOpen = true;
  return CXoError::Success();
}

// A file without a journal can lose power in the middle of a Flush (or of a page eviction). The
// disk may then have written back any of the pages the Flush was writing, and grown the file over
// the others: records it was adding read as zeros, at the end or between records of the same
// Flush that did arrive, while every record that an earlier Flush made durable stays whole. A
// writer that continues such a file takes it back to the record before its first zeroed one, so
// that its own records follow valid ones and no reader meets a hole. Records of the unfinished
// Flush after the zeros go with them: they were never durable as a whole. A record that is
// neither valid nor zeros is no power loss's doing: the file is then left as it is. The
// truncation needs no flush of its own: lost, it leaves the file as the power loss did, and the
// next writer trims it again. A reader (`truncateFile` false) only stops reading there.
IDX_TEMPLATE
CXoError IDX_CLASS::TrimTornTail(bool truncateFile) {
  static constexpr const char* kTag = "CIndexFile::Open";
  const uint64_t total = m_Header.TotalEntries;
  uint64_t kept = total;
  uint64_t wholeDropped = 0;
  for (uint64_t i = 0; i < total; ++i) {
    IndexRecord rec;
    RecordState state = RecordState::kValid;
    CXoError e = ReadRecordState(static_cast<int64_t>(i), &rec, &state);
    if (e.IsFailure()) return e;
    if (state == RecordState::kDamaged) {
      m_pDbg->debug("%s:%d Record [%llu] of [%s] fails its CRC and is not zeros: nothing is trimmed", kTag, __LINE__,
                    static_cast<unsigned long long>(i), m_FileName.c_str());
      return CXoError::Success();
    }
    if (state == RecordState::kZeros) {
      kept = std::min(kept, i);
    } else if (kept < total) {
      ++wholeDropped;
    }
  }
  if (kept == total) return CXoError::Success();
  m_pDbg->debug("%s:%d %s [%llu] records of an unfinished flush ([%llu] of them whole) after record [%llu] "
                "of [%s]",
                kTag, __LINE__, truncateFile ? "Dropping" : "Not reading", static_cast<unsigned long long>(total - kept),
                static_cast<unsigned long long>(wholeDropped), static_cast<unsigned long long>(kept),
                m_FileName.c_str());
  if (truncateFile) return TruncateRecords(kept, kTag);
  DropPages();
  m_Size = kept > 0 ? RecordPosition(static_cast<int64_t>(kept - 1)) + m_RecSize : RecordPosition(0);
  m_Header.TotalEntries = kept;
  return CXoError::Success();
}

// Ends the file after its first `count` records; the cache is dropped (it holds no change).
IDX_TEMPLATE
CXoError IDX_CLASS::TruncateRecords(uint64_t count, const char* tag) {
  const uint64_t size = count > 0 ? RecordPosition(static_cast<int64_t>(count - 1)) + m_RecSize : RecordPosition(0);
  DropPages();
  CXoError e = m_pFp->Truncate(size);
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Cannot truncate [%s] to [%llu] bytes, error=%s", tag, __LINE__, m_FileName.c_str(),
                  static_cast<unsigned long long>(size), e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  m_Size = size;
  m_Header.TotalEntries = count;
  return CXoError::Success();
}

IDX_TEMPLATE
CXoError IDX_CLASS::Close() {
  static constexpr const char* kTag = "CIndexFile::Close";
  if (!m_bOpen) return CXoError::Success();
  IDX_ASSERT_TEXT(m_pFp->IsValid() == true, "m_pFp->IsValid () == true");

  CXoError result;
  auto keep = [&result](const CXoError& e) {
    if (result.IsSuccess() && e.IsFailure()) result = e;
  };
  if (m_iMode == 2) {
    CXoError e = Flush();
    if (e.IsFailure()) {
      m_pDbg->debug("%s:%d Unable to flush the file. error [%s]", kTag, __LINE__, e.AsString().c_str());
      keep(e);
    }
  }
  const bool locked = IsLockedFile();
  const bool skarvo = IsSkarvo();
  if (locked && !skarvo) {
    CXoError e = UnlockFile();
    if (e.IsFailure()) {
      m_pDbg->debug("%s:%d Unable to unlock the file. error [%s]", kTag, __LINE__, e.AsString().c_str());
      keep(e);
    }
  }
  CXoError closed = m_pFp->Close();
  if (locked && skarvo) {
    CXoError e = UnlockFile();
    if (e.IsFailure()) {
      m_pDbg->debug("%s:%d Unable to unlock the file. error [%s]", kTag, __LINE__, e.AsString().c_str());
      keep(e);
    }
  }
  if (closed.IsFailure()) {
    m_pDbg->debug("%s:%d Unable to close the index file, error=%s", kTag, __LINE__, closed.AsString().c_str());
    keep(closed);
  }
  DropPages();
  m_bOpen = false;
  m_Size = 0;
  m_Pos = 0;
  return result;
}

IDX_TEMPLATE
CXoError IDX_CLASS::TryOpen(const std::string& name) {
  const CFSInitParams* params = InitParams();
  if (params == nullptr) return FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrNoFileInterface);
  std::unique_ptr<CFileInterface> probe(CFileInterface::GetFileInterfaceInstance(*params));
  if (!probe) return FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrNoFileInterface);
  CXoError e = probe->Open(name, O_RDONLY | O_LARGEFILE, 0400, 0);
  if (e.IsFailure()) return e.Push(FX_LOCATION);
  (void)probe->Close();
  return CXoError::Success();
}

IDX_TEMPLATE
CXoError IDX_CLASS::GetFileVersion(CFileInterface* file, const char* magic, int& version) {
  static constexpr const char* kTag = "CIndexFile::GetFileVersion";
  EvDebug log;
  if (file == nullptr) return FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrNoFileInterface);

  SIndexFileHeader header;
  unsigned int done = 0;
  CXoError e = file->Read(&header, kIdxHeaderSize, &done);
  if (e.IsFailure()) {
    log.debug("%s:%d Cannot read the data file index header, error=%s", kTag, __LINE__, e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  if (done < kIdxHeaderSize) {
    log.debug("%s:%d Did not read enough data for the index entry, Read [%u], Expected [%u]", kTag, __LINE__, done,
              kIdxHeaderSize);
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrGeneric,
                                   "Did not read enough data for the index entry, Read [%u], Expected [%u]", done,
                                   kIdxHeaderSize);
  }
  const uint32_t stored = ozntohl(header.CRC32);
  if (stored != 0) {
    const uint32_t computed = CXoCRC32::Of(&header, kIdxHeaderCrcBytes);
    if (computed != stored) {
      log.debug("%s:%d CRC failure while reading header. Expected [%08x], Got [%08x]", kTag, __LINE__, computed,
                stored);
      return FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrGeneric, "CRC failure");
    }
  }
  if (!index_file_detail::MagicMatches(reinterpret_cast<const unsigned char*>(&header), magic)) {
    log.debug("%s:%d Invalid data index file. Got signature [%.8s]", kTag, __LINE__, header.Magic);
    return FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrCorrupt);
  }
  version = static_cast<int>(ozntohl(header.Version));
  return CXoError::Success();
}

IDX_TEMPLATE
CXoError IDX_CLASS::WriteHeader() {
  m_Pos = 0;
  m_Header.SwapByteOrder();
  m_Header.CRC32 = ozhtonl(CXoCRC32::Of(&m_Header, kIdxHeaderCrcBytes));
  CXoError e = Write(reinterpret_cast<const char*>(&m_Header), kIdxHeaderSize);
  m_Header.SwapByteOrder();
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Cannot write the header, error=%s", "CIndexFile::WriteHeader", __LINE__,
                  e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  return CXoError::Success();
}

// Leaves the image in file byte order; Open converts it.
IDX_TEMPLATE
CXoError IDX_CLASS::ReadHeader() {
  static constexpr const char* kTag = "ReadHeader";
  m_Pos = 0;
  CXoError e = Read(reinterpret_cast<char*>(&m_Header), kIdxHeaderSize);
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Cannot read the data file index header, error=%s", kTag, __LINE__, e.AsString().c_str());
    return e;
  }
  const uint32_t computed = CXoCRC32::Of(&m_Header, kIdxHeaderCrcBytes);
  if (!index_file_detail::MagicMatches(reinterpret_cast<const unsigned char*>(&m_Header), m_szMagic)) {
    m_pDbg->debug("%s:%d Invalid data index file. Got signature [%.8s]", kTag, __LINE__, m_Header.Magic);
    return FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrCorrupt);
  }
  const uint32_t version = ozntohl(m_Header.Version);
  const uint32_t stored = ozntohl(m_Header.CRC32);
  const bool check = version >= kIdxVersionCrcAlways || (version == kIdxVersionPacked && stored != 0);
  if (check && computed != stored) {
    m_pDbg->debug("%s:%d Invalid data index file. Got signature [%.8s]. Crc Expected [%08x], Got [%08x]", kTag,
                  __LINE__, m_Header.Magic, computed, stored);
    return FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrCorrupt);
  }
  return CXoError::Success();
}
