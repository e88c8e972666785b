// Definitions of the index file template: the replay at Open of a journal that an interrupted
// Flush left behind (format in SingleInstancerIndexFileJournal.h).
//
// The journal is read whole and checked before any of it is used: its checksum (a journal that
// fails it was cut short by a crash and is removed), its version, and the bounds of every record
// against the journal, its page and the index file. A journal whose checksum holds but whose
// contents do not add up was not cut short: it is refused as corrupt and kept.
//
// A checked journal is not loaded into the page cache but laid over the index file: every page
// read from the file gets the journal's bytes for it (ReadPage). A writer then writes the
// journal's pages in place, one at a time, and drops the journal; a reader keeps it until Close,
// and its page cache stays free to evict as usual. So a replay holds the journal's bytes and a
// few pages, however many pages the journal's records reach.
#pragma once

#ifndef IDX_TEMPLATE
#error "included only by index/SingleInstancerIndexFile.cc, which instantiates the template"
#endif

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
      *applied = true;  // a reader keeps the journal in memory only
      return CXoError::Success();
    }
    e = ApplyJournal();
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

// Reads and checks the journal and, when it holds, lays it over the index file.
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

  auto readExact = [&](char* buffer, uint64_t length, unsigned int shortCode) {
    while (length > 0) {
      const unsigned int want = static_cast<unsigned int>(std::min<uint64_t>(length, kChangeFileReadLimit));
      unsigned int done = 0;
      CXoError r = fp->Read(buffer, want, &done);
      if (r.IsSuccess() && done < want) r = FXErrorUtil::ErrorMM(FX_LOCATION, shortCode);
      if (r.IsFailure()) return r;
      buffer += done;
      length -= done;
    }
    return CXoError::Success();
  };
  char crcField[4];
  if ((e = readExact(crcField, 4, kIdxMMErrPartialChangeFile)).IsFailure()) return failure(__LINE__, e);

  // The checksum first, in pieces: nothing is kept of a journal that was cut short.
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
  if (bodyBytes == 0 || DecodeBE32(crcField) != crc.Final()) {
    return failure(__LINE__, FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrPartialChangeFile));
  }

  std::string body(bodyBytes, '\0');
  if ((e = fp->Seek(4, SEEK_SET, nullptr)).IsFailure()) return failure(__LINE__, e);
  if ((e = readExact(body.data(), bodyBytes, kIdxMMErrCorrupt)).IsFailure()) return failure(__LINE__, e);
  (void)fp->Close();

  unsigned long long indexSize = 0;
  if ((e = m_pFp->Size(indexSize)).IsFailure()) return failure(__LINE__, e);
  std::vector<JournalExtent> extents;
  int line = 0;
  if ((e = ParseChangeFile(body, indexSize, &extents, &line)).IsFailure()) return failure(line, e);

  // The pages read so far (the header's) predate the journal.
  DropPages();
  std::stable_sort(extents.begin(), extents.end(),
                   [](const JournalExtent& a, const JournalExtent& b) { return a.PageNo < b.PageNo; });
  for (const JournalExtent& x : extents) {
    m_Size = std::max<uint64_t>(m_Size, x.PageNo * IDX_PAGE_SIZE + x.Place + x.Length);
  }
  m_JournalBytes = std::move(body);
  m_JournalExtents = std::move(extents);
  return CXoError::Success();
}

// `body` is the journal after its checksum. Every record must lie within it, and within its page.
IDX_TEMPLATE
CXoError IDX_CLASS::ParseChangeFile(const std::string& body, uint64_t indexSize, std::vector<JournalExtent>* extents,
                                    int* line) {
  static constexpr const char* kTag = "ReadChangeFile";
  uint64_t at = 0;
  auto take = [&](uint64_t n) -> const char* {
    if (body.size() - at < n) return nullptr;
    const char* p = body.data() + at;
    at += n;
    return p;
  };
  auto corrupt = [&](int failLine) {
    *line = failLine;
    return FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrCorrupt);
  };
  const char* field = take(4);
  if (field == nullptr) return corrupt(__LINE__);
  const uint32_t version = DecodeBE32(field);
  if (version != 1 && version != 2) {
    m_pDbg->debug("%s:%d: Can't handle change file of version [%d].", kTag, __LINE__, static_cast<int>(version));
    return corrupt(__LINE__);
  }
  if ((field = take(4)) == nullptr) return corrupt(__LINE__);
  const uint32_t count = DecodeBE32(field);
  const uint64_t recordHead = version == 2 ? 12 : 8;
  if (count * recordHead > body.size() - at) return corrupt(__LINE__);
  // A Flush journals every page from the file's end on disk up to the new end, so no journaled
  // page lies further beyond that end than the journal has records.
  const uint64_t maxPageNo = indexSize / IDX_PAGE_SIZE + count;

  extents->reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    if ((field = take(recordHead)) == nullptr) return corrupt(__LINE__);
    JournalExtent x;
    if (version == 2) {
      x.PageNo = DecodeBE64(field);
      x.Length = DecodeBE32(field + 8);
      x.Replace = true;
      if (x.Length > IDX_PAGE_SIZE || x.PageNo > maxPageNo) return corrupt(__LINE__);
      if (i + 1 < count) IDX_ASSERT_TEXT(x.Length == IDX_PAGE_SIZE, "pPage->Size == IDX_PAGE_SIZE");
    } else {
      const uint32_t offset = DecodeBE32(field) * kChangeFileV1BlockSize;  // wraps at 4 GiB by format
      x.PageNo = offset / IDX_PAGE_SIZE;
      x.Place = offset % IDX_PAGE_SIZE;
      x.Length = DecodeBE32(field + 4);
      if (x.Length > IDX_PAGE_SIZE - x.Place) return corrupt(__LINE__);
    }
    x.At = at;
    if (take(x.Length) == nullptr) return corrupt(__LINE__);
    extents->push_back(x);
  }
  return CXoError::Success();
}

// The journal's records for page `pageNo`, in journal order.
IDX_TEMPLATE
typename IDX_CLASS::JournalExtentRange IDX_CLASS::JournalExtentsOf(uint64_t pageNo) const {
  struct ByPage {
    bool operator()(const JournalExtent& x, uint64_t p) const { return x.PageNo < p; }
    bool operator()(uint64_t p, const JournalExtent& x) const { return p < x.PageNo; }
  };
  return std::equal_range(m_JournalExtents.begin(), m_JournalExtents.end(), pageNo, ByPage{});
}

// A version 2 record is its page; a version 1 block lies at its place in the page, the file's
// bytes around it staying, and a gap before it reading as zeros.
IDX_TEMPLATE
void IDX_CLASS::LayJournalExtent(Page& page, const JournalExtent& x) const {
  const char* bytes = m_JournalBytes.data() + x.At;
  if (x.Replace) {
    memcpy(page.Data, bytes, x.Length);
    page.Size = x.Length;
    return;
  }
  if (page.Size < x.Place) memset(page.Data + page.Size, 0, x.Place - page.Size);
  memcpy(page.Data + x.Place, bytes, x.Length);
  page.Size = std::max(page.Size, x.Place + x.Length);
}

// Writes every page that the journal reaches in place, in ascending order and one at a time, then
// flushes the index file once. Afterwards the file holds the journal, which is dropped with the
// pages read before it.
IDX_TEMPLATE
CXoError IDX_CLASS::ApplyJournal() {
  static constexpr const char* kTag = "ApplyChanges";
  auto page = std::make_unique<Page>();
  bool written = false;
  for (auto it = m_JournalExtents.cbegin(); it != m_JournalExtents.cend();) {
    page->PageNo = it->PageNo;
    page->Modified = 0;
    CXoError e = ReadPage(page);
    if (e.IsFailure()) {
      m_pDbg->debug("%s:%d ReadPage failed.", kTag, __LINE__);
      return e;
    }
    page->Modified = 1;
    if ((e = WriteModifiedPage(page, kTag)).IsFailure()) return e;
    written = true;
    it = JournalExtentsOf(page->PageNo).second;
  }
  if (written) {
    CXoError e = FlushWrittenPages(kTag);
    if (e.IsFailure()) return e;
  }
  DropPages();
  m_Size = 0;
  return CXoError::Success();
}
