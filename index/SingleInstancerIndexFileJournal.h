// Definitions of the index file template: Flush and the change journal it writes (replayed by
// SingleInstancerIndexFileReplay.h).
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
  m_pDbg->debug("Flush time [%f Sec], Change [%d], Aligned [%d]", watch.ElapsedSeconds(),
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
  bool written = false;
  for (auto& entry : m_Pages) {
    if (!entry.second->Modified) continue;
    CXoError e = WriteModifiedPage(entry.second, kTag);
    if (e.IsFailure()) return e;
    written = true;
  }
  return written ? FlushWrittenPages(kTag) : CXoError::Success();
}

IDX_TEMPLATE
CXoError IDX_CLASS::WriteModifiedPage(const std::unique_ptr<Page>& page, const char* tag) {
  CXoError e = WritePage(page);
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d: Failed to write to page %lu. Error [%s]", tag, __LINE__, page->PageNo,
                  e.AsString().c_str());
  }
  return e;
}

IDX_TEMPLATE
CXoError IDX_CLASS::FlushWrittenPages(const char* tag) {
  CXoError e = m_pFp->Flush();
  if (e.IsFailure()) m_pDbg->debug("%s:%d Failed to flush file. Error [%s]", tag, __LINE__, e.AsString().c_str());
  return e;
}
