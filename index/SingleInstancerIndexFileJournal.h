// Definitions of the index file template: Flush, the change journal and its replay at Open.
//
// Journal "<index>.change", all integers big-endian:
//   0  CRC      complement of the CRC-32 of every byte from offset 4 to the end
//   4  version  2 (version 1 is read, never written)
//   8  N        number of records
//   12 records  version 2: page number u64, length L u32 (<= 32768), L bytes of the page
//               version 1: 4096-byte block number u32, length L u32, L bytes from that block
//
// A Flush in change-file mode writes the journal under a temporary name, flushes it, renames it
// into place and flushes the folder; only then are the pages written in place and the journal
// removed. So whenever "<index>.change" exists it is complete, and a crash leaves either the
// previous state on disk or a journal that the next Open replays into the new one.
#pragma once

#ifndef IDX_TEMPLATE
#error "included only by index/SingleInstancerIndexFile.cc, which instantiates the template"
#endif

IDX_TEMPLATE
CXoError IDX_CLASS::Flush() {
  static constexpr const char* kTag = "Flush";
  OzCriticalSectionGuard guard(m_pcs);
  if (!m_bDirty) return CXoError::Success();
  if (!m_pFp || !m_pFs) return FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrNoFileInterface);

  CStopWatch watch;
  watch.Start();
  CXoError e = WriteHeader();
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Unable to write header, error=%s", kTag, __LINE__, e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  if (m_bUseChangeFile && WriteChangeFile() != 0) {
    m_pDbg->debug("%s:%d Failed to generate change file.", kTag, __LINE__);
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrGeneric, "WriteChangeFile failed.");
  }
  e = ApplyChanges();
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Failed to apply changes.", kTag, __LINE__);
    return e;
  }
  if (m_bUseChangeFile) {
    e = m_pFs->RemoveFile(m_ChangeFileName, 0);
    if (e.IsFailure()) {
      m_pDbg->debug("%s:%d Failed to delete file [%s]. Error [%s]", kTag, __LINE__, m_ChangeFileName.c_str(),
                    e.AsString().c_str());
      return e;
    }
  }
  watch.Stop();
  m_pDbg->debug("Flush time [%f Sec], Change [%d], Aligned [%d]", static_cast<double>(watch.ElapsedMs()) / 1000.0,
                m_bUseChangeFile ? 1 : 0, m_Header.BlockSize != 0 ? 1 : 0);
  m_bDirty = false;
  return CXoError::Success();
}

// Makes the rename of a file in `path`'s folder durable.
IDX_TEMPLATE
CXoError IDX_CLASS::FlushFolderOf(const std::string& path) {
  if (IsCloud()) return CXoError::Success();  // no folders there
  std::unique_ptr<CFileInterface> folder(CFileInterface::GetFileInterfaceInstance(*InitParams()));
  if (!folder) return FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrNoFileInterface);
  CXoError e = folder->Open(index_file_detail::FolderOf(path), O_RDONLY | O_DIRECTORY, 0, 0);
  if (e.IsFailure()) return e.Push(FX_LOCATION);
  e = folder->Flush();
  (void)folder->Close();
  return e.IsFailure() ? e.Push(FX_LOCATION) : e;
}

IDX_TEMPLATE
int IDX_CLASS::WriteChangeFile() {
  static constexpr const char* kTag = "WriteChangeFile";
  uint32_t count = 0;
  for (const auto& entry : m_Pages) {
    if (entry.second->Modified) ++count;
  }
  if (count == 0) return 0;

  const std::string tempName = ChangeFileTempName();
  const std::string* current = &tempName;
  std::unique_ptr<CFileInterface> fp(CFileInterface::GetFileInterfaceInstance(*InitParams()));
  auto failure = [&](int line, const CXoError& e) {
    m_pDbg->debug("%s:%d Failed to write to the change file [%s]. Line [%d], errno [%d], Error [%s]", kTag, line,
                  current->c_str(), line, errno, e.AsString().c_str());
    if (fp && fp->IsValid()) (void)fp->Close();
    return -1;
  };
  if (!fp) return failure(__LINE__, FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrNoFileInterface));

  CXoError e;
  for (int attempt = 1;; ++attempt) {
    e = fp->Open(tempName, O_RDWR | O_CREAT | O_TRUNC | O_LARGEFILE, 0777, 0);
    if (e.IsSuccess() || !FXErrorUtil::IsErrNo(e, EINVAL) || attempt == kChangeFileOpenAttempts) break;
    XOSLEEP_InTeRnAl(kChangeFileRetryMs, __FILE__, __LINE__);
  }
  if (e.IsFailure()) return failure(__LINE__, e);

  CXoCRC32 crc;
  auto put = [&](const void* data, unsigned int length, bool checksummed) {
    unsigned int done = 0;
    CXoError w = fp->Write(data, length, &done);
    if (w.IsSuccess() && done < length) {
      w = FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrGeneric, "Partial bytes written");
    }
    if (w.IsSuccess() && checksummed) crc.UpdateCRC32(static_cast<const unsigned char*>(data), length);
    return w;
  };
  unsigned char head[12] = {};  // CRC placeholder, version, N
  EncodeBE32(head + 4, 2);
  EncodeBE32(head + 8, count);
  if ((e = put(head, 4, false)).IsFailure()) return failure(__LINE__, e);
  if ((e = put(head + 4, 8, true)).IsFailure()) return failure(__LINE__, e);
  for (const auto& entry : m_Pages) {
    const Page& page = *entry.second;
    if (!page.Modified) continue;
    unsigned char record[12];
    EncodeBE64(record, page.PageNo);
    EncodeBE32(record + 8, page.Size);
    if ((e = put(record, sizeof(record), true)).IsFailure()) return failure(__LINE__, e);
    if ((e = put(page.Data, page.Size, true)).IsFailure()) return failure(__LINE__, e);
  }
  if ((e = fp->Seek(0, SEEK_SET, nullptr)).IsFailure()) return failure(__LINE__, e);
  EncodeBE32(head, crc.Final());
  if ((e = put(head, 4, false)).IsFailure()) return failure(__LINE__, e);
  if ((e = fp->Flush()).IsFailure()) return failure(__LINE__, e);
  (void)fp->Close();

  // The journal appears under its own name only once it is complete.
  current = &m_ChangeFileName;
  if ((e = m_pFs->Rename(tempName, m_ChangeFileName, 0)).IsFailure()) return failure(__LINE__, e);
  if ((e = FlushFolderOf(m_ChangeFileName)).IsFailure()) return failure(__LINE__, e);
  return 0;
}

IDX_TEMPLATE
CXoError IDX_CLASS::ApplyChanges() {
  static constexpr const char* kTag = "ApplyChanges";
  int written = 0;
  for (auto& entry : m_Pages) {
    if (!entry.second->Modified) continue;
    CXoError e = WritePage(entry.second);
    if (e.IsFailure()) {
      m_pDbg->debug("%s:%d: Failed to write to page %lu. Error [%s]", kTag, __LINE__, entry.first,
                    e.AsString().c_str());
      return e;
    }
    ++written;
  }
  if (written > 0) {
    CXoError e = m_pFp->Flush();
    if (e.IsFailure()) {
      m_pDbg->debug("%s:%d Failed to flush file. Error [%s]", kTag, __LINE__, e.AsString().c_str());
      return e;
    }
  }
  return CXoError::Success();
}

IDX_TEMPLATE
CXoError IDX_CLASS::CheckAndApplyChangeFile(bool* applied) {
  static constexpr const char* kTag = "ChkApplyChngFil";
  *applied = false;
  auto failure = [&](int line, CXoError e) {
    m_pDbg->debug("%s:%d Failed to check and apply the change file [%s]. Line [%d], Err [%s]", kTag, line,
                  m_ChangeFileName.c_str(), line, e.AsString().c_str());
    return e;
  };
  if (!m_pFs) return failure(__LINE__, FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrNoFileInterface));

  bool exists = false;
  CXoError e = m_pFs->Exists(m_ChangeFileName, exists);
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Cannot check if change file [%s] is accessible. Error [%s]", kTag, __LINE__,
                  m_ChangeFileName.c_str(), e.AsString().c_str());
    return failure(__LINE__, e);
  }
  if (!exists) return CXoError::Success();

  m_pDbg->debug("%s:%d Change file [%s] found. Going to try and replay the file", kTag, __LINE__,
                m_ChangeFileName.c_str());
  e = ReadChangeFile();
  if (e.IsFailure()) {
    if (FXErrorUtil::IsNotMM(e, kIdxMMErrPartialChangeFile)) {
      m_pDbg->debug("%s:%d Unable to read the change file. Skipping it.", kTag, __LINE__);
      return failure(__LINE__, e);
    }
    m_pDbg->debug("%s:%d Found partially written change file. Deleting it.", kTag, __LINE__);
  } else {
    if (m_iMode != 2) {
      *applied = true;  // a reader keeps the journal's pages in memory only
      return CXoError::Success();
    }
    e = ApplyChanges();
    if (e.IsFailure()) {
      m_pDbg->debug("%s:%d Failed to apply the change file. Error [%s]", kTag, __LINE__, e.AsString().c_str());
      return failure(__LINE__, e);
    }
    m_pDbg->debug("%s:%d Applied changes in the change file.", kTag, __LINE__);
    *applied = true;
  }
  e = m_pFs->RemoveFile(m_ChangeFileName, 0);
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Failed to delete the change file [%s]. Error [%s]", kTag, __LINE__,
                  m_ChangeFileName.c_str(), e.AsString().c_str());
    return failure(__LINE__, e);
  }
  return CXoError::Success();
}

// The journal is untrusted: every length is bounded by the page and every count by the journal's
// size before anything is allocated or copied. A journal whose checksum fails is partly written
// (kIdxMMErrPartialChangeFile, removed by the caller); one whose checksum holds but whose contents
// do not add up is corrupt (kIdxMMErrCorrupt, kept).
IDX_TEMPLATE
CXoError IDX_CLASS::ReadChangeFile() {
  static constexpr const char* kTag = "ReadChangeFile";
  std::unique_ptr<CFileInterface> fp(CFileInterface::GetFileInterfaceInstance(*InitParams()));
  auto failure = [&](int line, CXoError e) {
    DropPages();
    m_pDbg->debug("%s:%d Failed to read the change file [%s]. Line [%d], error [%d], Err [%s]", kTag, line,
                  m_ChangeFileName.c_str(), line, errno, e.AsString().c_str());
    if (fp && fp->IsValid()) (void)fp->Close();
    return e;
  };
  if (!fp) return failure(__LINE__, FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrNoFileInterface));
  CXoError e = fp->Open(m_ChangeFileName, O_RDONLY | O_LARGEFILE, 0400, 0);
  if (e.IsFailure()) return failure(__LINE__, e);

  auto readExact = [&](void* buffer, unsigned int length, unsigned int shortCode) {
    unsigned int done = 0;
    CXoError r = fp->Read(buffer, length, &done);
    if (r.IsSuccess() && done < length) r = FXErrorUtil::ErrorMM(FX_LOCATION, shortCode);
    return r;
  };
  unsigned char field[12];
  if ((e = readExact(field, 4, kIdxMMErrPartialChangeFile)).IsFailure()) return failure(__LINE__, e);
  const uint32_t storedCrc = DecodeBE32(field);

  CXoCRC32 crc;
  uint64_t bodyBytes = 0;
  {
    std::unique_ptr<unsigned char[]> chunk(new unsigned char[kChangeFileReadChunk]);
    for (;;) {
      unsigned int done = 0;
      if ((e = fp->Read(chunk.get(), kChangeFileReadChunk, &done)).IsFailure()) return failure(__LINE__, e);
      if (done == 0) break;
      crc.UpdateCRC32(chunk.get(), done);
      bodyBytes += done;
    }
  }
  if (bodyBytes == 0 || storedCrc != crc.Final()) {
    return failure(__LINE__, FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrPartialChangeFile));
  }
  const uint64_t journalSize = 4 + bodyBytes;

  if ((e = fp->Seek(4, SEEK_SET, nullptr)).IsFailure()) return failure(__LINE__, e);
  if ((e = readExact(field, 4, kIdxMMErrCorrupt)).IsFailure()) return failure(__LINE__, e);
  const uint32_t version = DecodeBE32(field);
  if (version != 1 && version != 2) {
    m_pDbg->debug("%s:%d: Can't handle change file of version [%d].", kTag, __LINE__, static_cast<int>(version));
    return failure(__LINE__, FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrCorrupt));
  }
  if ((e = readExact(field, 4, kIdxMMErrCorrupt)).IsFailure()) return failure(__LINE__, e);
  const uint32_t count = DecodeBE32(field);
  const uint64_t recordHead = version == 2 ? 12 : 8;
  if (12 + count * recordHead > journalSize) {
    return failure(__LINE__, FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrCorrupt));
  }
  // A Flush journals every page from the file's end on disk up to the new end, so no journaled
  // page lies further beyond that end than the journal has records.
  unsigned long long indexSize = 0;
  if ((e = m_pFp->Size(indexSize)).IsFailure()) return failure(__LINE__, e);
  const uint64_t maxPageNo = indexSize / IDX_PAGE_SIZE + count;
  // The pages a journal brings into memory must be paid for by its bytes: a version 2 record
  // carries its whole page, a version 1 block is an eighth of one, and only the last page or two
  // may be short. A journal whose records would cost more is not one a Flush wrote.
  const uint64_t pageBudget = journalSize * (IDX_PAGE_SIZE / kChangeFileV1BlockSize) / IDX_PAGE_SIZE + 2;
  auto overBudget = [&](uint64_t pageNo) {
    return m_Pages.find(pageNo) == m_Pages.end() && m_Pages.size() >= pageBudget;
  };

  for (uint32_t i = 0; i < count; ++i) {
    Page* page = nullptr;
    if (version == 2) {
      if ((e = readExact(field, 12, kIdxMMErrCorrupt)).IsFailure()) return failure(__LINE__, e);
      const uint64_t pageNo = DecodeBE64(field);
      const uint32_t length = DecodeBE32(field + 8);
      if (length > IDX_PAGE_SIZE || pageNo > maxPageNo || overBudget(pageNo)) {
        return failure(__LINE__, FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrCorrupt));
      }
      auto fresh = std::make_unique<Page>();
      fresh->PageNo = pageNo;
      fresh->Modified = 1;
      fresh->Size = length;
      if ((e = readExact(fresh->Data, length, kIdxMMErrCorrupt)).IsFailure()) return failure(__LINE__, e);
      if (i + 1 < count) {
        Page* pPage = fresh.get();
        IDX_ASSERT(pPage->Size == IDX_PAGE_SIZE);
      }
      auto old = m_Pages.find(pageNo);
      if (old != m_Pages.end()) {
        m_Lru.erase(old->second->LruPos);
        ForgetPage(pageNo);
        m_Pages.erase(old);
      }
      page = InsertPage(std::move(fresh));
    } else {
      if ((e = readExact(field, 8, kIdxMMErrCorrupt)).IsFailure()) return failure(__LINE__, e);
      const uint32_t offset = DecodeBE32(field) * kChangeFileV1BlockSize;  // wraps at 4 GiB by format
      const uint32_t length = DecodeBE32(field + 4);
      const uint64_t pageNo = offset / IDX_PAGE_SIZE;
      const uint32_t place = offset % IDX_PAGE_SIZE;
      if (length > IDX_PAGE_SIZE - place || overBudget(pageNo)) {
        return failure(__LINE__, FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrCorrupt));
      }
      auto cached = m_Pages.find(pageNo);
      if (cached != m_Pages.end()) {
        page = cached->second.get();
      } else {
        auto fresh = std::make_unique<Page>();
        fresh->PageNo = pageNo;
        if ((e = ReadPage(fresh)).IsFailure()) {
          m_pDbg->debug("%s:%d ReadPage failed.", kTag, __LINE__);
          return failure(__LINE__, e);
        }
        page = InsertPage(std::move(fresh));
      }
      if (page->Size < place) memset(page->Data + page->Size, 0, place - page->Size);
      if ((e = readExact(page->Data + place, length, kIdxMMErrCorrupt)).IsFailure()) return failure(__LINE__, e);
      page->Modified = 1;
      page->Size = std::max(page->Size, place + length);
    }
    m_Size = std::max<uint64_t>(m_Size, page->PageNo * IDX_PAGE_SIZE + page->Size);
  }
  (void)fp->Close();
  return CXoError::Success();
}
