// Definitions of the index file template: the page cache.
//
// Pages of IDX_PAGE_SIZE bytes, keyed by page number, ordered by last use in m_Lru (front: least
// recently used). A page's bytes at or beyond its Size are never read, written or journaled, so a
// page taken over from an eviction needs no clearing. m_Size is the logical size of the file.
#pragma once

#ifndef IDX_TEMPLATE
#error "included only by index/SingleInstancerIndexFile.cc, which instantiates the template"
#endif

IDX_TEMPLATE
typename IDX_CLASS::Page* IDX_CLASS::FindPage(uint64_t pageNo) {
  Page* page = nullptr;
  if (pageNo < m_PageIndex.size()) {
    page = m_PageIndex[pageNo];
  } else if (pageNo >= kMaxIndexedPages) {
    auto it = m_Pages.find(pageNo);
    if (it != m_Pages.end()) page = it->second.get();
  }
  if (page == nullptr) return nullptr;
  if (page->LruPos != std::prev(m_Lru.end())) m_Lru.splice(m_Lru.end(), m_Lru, page->LruPos);
  return page;
}

IDX_TEMPLATE
typename IDX_CLASS::Page* IDX_CLASS::InsertPage(std::unique_ptr<Page> page) {
  Page* raw = page.get();
  raw->LruPos = m_Lru.insert(m_Lru.end(), raw);
  if (raw->PageNo < kMaxIndexedPages) {
    if (raw->PageNo >= m_PageIndex.size()) m_PageIndex.resize(raw->PageNo + 1, nullptr);
    m_PageIndex[raw->PageNo] = raw;
  }
  m_Pages[raw->PageNo] = std::move(page);
  return raw;
}

IDX_TEMPLATE
void IDX_CLASS::ForgetPage(uint64_t pageNo) {
  if (pageNo < m_PageIndex.size()) m_PageIndex[pageNo] = nullptr;
}

IDX_TEMPLATE
void IDX_CLASS::PrefetchRecord(int64_t index) const {
  if (index < 0) return;
  const uint64_t pos = RecordPosition(index);
  const uint64_t pageNo = pos / IDX_PAGE_SIZE;
  if (pageNo >= m_PageIndex.size() || m_PageIndex[pageNo] == nullptr) return;
  __builtin_prefetch(m_PageIndex[pageNo]->Data + pos % IDX_PAGE_SIZE);
}

// A write beyond the logical end first extends the cached last page with zeros, up to the write
// or to the page's end.
IDX_TEMPLATE
void IDX_CLASS::TailFill() {
  if (m_Pos <= m_Size) return;
  auto it = m_Pages.find(m_Size / IDX_PAGE_SIZE);
  if (it == m_Pages.end()) return;
  Page* page = it->second.get();
  if (page->Size >= IDX_PAGE_SIZE) return;
  IDX_ASSERT_TEXT((page->Size + IDX_PAGE_SIZE * page->PageNo) == m_Size,
                  "(pPage->Size + IDX_PAGE_SIZE * pPage->PageNo) == m_Size");
  const uint64_t n = std::min<uint64_t>(IDX_PAGE_SIZE - (m_Size % IDX_PAGE_SIZE), m_Pos - m_Size);
  const uint32_t start = page->Size;
  if (start + n > IDX_PAGE_SIZE) return;  // only when the invariant is broken
  memset(page->Data + start, 0, n);
  page->Size = static_cast<uint32_t>(start + n);
  m_Size += n;
}

// Brings page `pageNo` into the cache, evicting the least recently used page when the cache is
// full, and reads its bytes from the file when `read` is set (otherwise it starts empty).
IDX_TEMPLATE
CXoError IDX_CLASS::LoadPage(uint64_t pageNo, bool read, const char* tag, Page** page) {
  std::unique_ptr<Page> fresh;
  CXoError e = GetFreePage(&fresh);
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Failed to evict page. Error [%s]", tag, __LINE__, e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  fresh->PageNo = pageNo;
  fresh->Modified = 0;
  fresh->Size = 0;
  if (read) {
    e = ReadPage(fresh);
    if (e.IsFailure()) {
      m_pDbg->debug("%s:%d ReadPage failed.", tag, __LINE__);
      return e.Push(FX_LOCATION);
    }
  }
  *page = InsertPage(std::move(fresh));
  return CXoError::Success();
}

// The page of the byte at m_Pos: the cached one, or one loaded (and read from the file when
// `readIfLoaded`).
IDX_TEMPLATE
CXoError IDX_CLASS::PageAtPos(bool readIfLoaded, const char* tag, Page** page) {
  const uint64_t pageNo = m_Pos / IDX_PAGE_SIZE;
  *page = FindPage(pageNo);
  return *page != nullptr ? CXoError::Success() : LoadPage(pageNo, readIfLoaded, tag, page);
}

IDX_TEMPLATE
CXoError IDX_CLASS::Write(const char* buffer, unsigned int length) {
  static constexpr const char* kTag = "Write";
  OzCriticalSectionGuard guard(m_pcs);
  TailFill();
  unsigned int remaining = length;
  while (remaining > 0) {
    const uint32_t off = static_cast<uint32_t>(m_Pos % IDX_PAGE_SIZE);
    // A page that the write covers whole need not be read first.
    const bool partial = off > 0 || remaining < IDX_PAGE_SIZE;
    Page* page = nullptr;
    CXoError e = PageAtPos(m_Pos - off < m_Size && partial, kTag, &page);
    if (e.IsFailure()) return e;
    if (page->Size < off) memset(page->Data + page->Size, 0, off - page->Size);
    const uint32_t n = std::min<uint32_t>(IDX_PAGE_SIZE - off, remaining);
    memcpy(page->Data + off, buffer, n);
    m_Pos += n;
    buffer += n;
    remaining -= n;
    page->Size = std::max(page->Size, off + n);
    m_Size = std::max(m_Size, m_Pos);
    page->Modified = 1;
  }
  m_bDirty = true;
  return CXoError::Success();
}

// Reads stop at the end of a page's valid bytes: a read that runs past them, into a page that is
// short or beyond the file, fails as corrupt after copying what was there.
IDX_TEMPLATE
CXoError IDX_CLASS::Read(char* buffer, unsigned int length) {
  static constexpr const char* kTag = "Read";
  OzCriticalSectionGuard guard(m_pcs);
  unsigned int remaining = length;
  while (remaining > 0) {
    const uint32_t off = static_cast<uint32_t>(m_Pos % IDX_PAGE_SIZE);
    Page* page = nullptr;
    CXoError e = PageAtPos(true, kTag, &page);
    if (e.IsFailure()) return e;
    if (off >= page->Size) {
      m_pDbg->debug("%s:%d Unable to read bytes.", kTag, __LINE__);
      return FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrCorrupt);
    }
    const uint32_t n = std::min<uint32_t>(page->Size - off, remaining);
    memcpy(buffer, page->Data + off, n);
    m_Pos += n;
    buffer += n;
    remaining -= n;
  }
  return CXoError::Success();
}

IDX_TEMPLATE
CXoError IDX_CLASS::GetFreePage(std::unique_ptr<Page>* page) {
  if (m_Pages.size() < m_MaxPages) {
    *page = std::make_unique<Page>();
    return CXoError::Success();
  }
  CXoError e = EvictPage(page);
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Failed to evict page. Error [%s]", "GetFreePage", __LINE__, e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  return CXoError::Success();
}

IDX_TEMPLATE
CXoError IDX_CLASS::EvictPage(std::unique_ptr<Page>* page) {
  IDX_ASSERT_TEXT(m_Lru.size() != 0, "m_Lru.size () != 0");
  auto victim = m_Lru.begin();
  if (m_iMode == 1) {
    // A reader never writes: a page it modified stays, and the cache grows.
    victim = std::find_if(m_Lru.begin(), m_Lru.end(), [](const Page* p) { return p->Modified == 0; });
  }
  if (victim == m_Lru.end()) {
    *page = std::make_unique<Page>();
    return CXoError::Success();
  }
  auto it = m_Pages.find((*victim)->PageNo);
  if (it->second->Modified) {
    CXoError e = WritePage(it->second);
    if (e.IsFailure()) {
      m_pDbg->debug("%s:%d Failed to evict page [%lu], Error [%s]", "EvictPage", __LINE__, it->second->PageNo,
                    e.AsString().c_str());
      return e.Push(FX_LOCATION);
    }
  }
  m_Lru.erase(victim);
  ForgetPage(it->first);
  *page = std::move(it->second);
  m_Pages.erase(it);
  return CXoError::Success();
}

// Every page transfer is one seek to the page's start followed by one read or one write.
IDX_TEMPLATE
CXoError IDX_CLASS::SeekToPage(uint64_t pageNo, const char* tag) {
  const uint64_t offset = pageNo * IDX_PAGE_SIZE;
  CXoError e = m_pFp->Seek(static_cast<CXoFile::offset>(offset), SEEK_SET, nullptr);
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Unable to seek to offset [0x%llx]. Error [%s]", tag, __LINE__,
                  static_cast<unsigned long long>(offset), e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  return CXoError::Success();
}

IDX_TEMPLATE
CXoError IDX_CLASS::WritePage(const std::unique_ptr<Page>& page) {
  static constexpr const char* kTag = "WritePage";
  IDX_ASSERT_TEXT(page->Modified == 1, "pPage->Modified == 1");
  CXoError e = SeekToPage(page->PageNo, kTag);
  if (e.IsFailure()) return e;
  unsigned int written = 0;
  e = m_pFp->Write(page->Data, page->Size, &written);
  if (e.IsSuccess() && written < page->Size) {
    e = FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrGeneric, "Partial bytes written");
  }
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Failed to write [%d] bytes for page [%lu]. Written [%d]. Error [%s]", kTag, __LINE__,
                  static_cast<int>(page->Size), page->PageNo, static_cast<int>(written), e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  page->Modified = 0;
  return CXoError::Success();
}

// Reads a page from the file, with a replayed journal's bytes laid over it; a page that the
// journal holds whole is not read.
IDX_TEMPLATE
CXoError IDX_CLASS::ReadPage(const std::unique_ptr<Page>& page) {
  static constexpr const char* kTag = "ReadPage";
  IDX_ASSERT_TEXT(page->Modified == 0, "pPage->Modified == 0");
  const auto journal = JournalExtentsOf(page->PageNo);
  page->Size = 0;
  if (journal.first == journal.second || !journal.first->Replace) {
    CXoError e = SeekToPage(page->PageNo, kTag);
    if (e.IsFailure()) return e;
    unsigned int done = 0;
    e = m_pFp->Read(page->Data, IDX_PAGE_SIZE, &done);
    if (e.IsFailure()) {
      m_pDbg->debug("%s:%d Unable to read bytes. Page [%lu], Error [%s]", kTag, __LINE__, page->PageNo,
                    e.AsString().c_str());
      return e.Push(FX_LOCATION);
    }
    page->Size = std::min<unsigned int>(done, IDX_PAGE_SIZE);
  }
  for (auto x = journal.first; x != journal.second; ++x) LayJournalExtent(*page, *x);
  return CXoError::Success();
}
