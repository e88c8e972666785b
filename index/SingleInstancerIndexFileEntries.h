// Definitions of the index file template: the record operations and the search key cache.
//
// Records are kept in ascending key order by the appends. A record is converted to big-endian in
// place, checksummed, written through the page cache and converted back; a record read is checked
// against its CRC before it is converted to host order.
//
// The key cache holds the keys of the first eight levels of the binary search (nodes 1..255 of an
// implicit tree: the root is node 1, the probe after node n is 2n below and 2n+1 above). It is
// valid only for searches over unchanged records with the same bounds; appends and Open clear it.
#pragma once

#ifndef IDX_TEMPLATE
#error "included only by index/SingleInstancerIndexFile.cc, which instantiates the template"
#endif

IDX_TEMPLATE
void IDX_CLASS::ClearKeyCache() {
  m_CacheUsed.reset();
  m_bCacheClear = true;
}

// Readers tell the record type of a "CHNKIDX" file by its version alone, so a record type that
// older versions imply is never written: a file of it would be misread by every reader.
IDX_TEMPLATE
CXoError IDX_CLASS::ReadOnlyRecords(const char* tag, const std::string& name) {
  m_pDbg->debug("%s:%d Index records of [%u] bytes are only read. File [%s]", tag, __LINE__, m_RecSize,
                name.c_str());
  return FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrInvalidParameter, "Index records of [%u] bytes are only read",
                                 m_RecSize);
}

IDX_TEMPLATE
CXoError IDX_CLASS::AddEntry(IndexRecord* rec) {
  if (!Traits::kWritable) return ReadOnlyRecords("CIndexFile::AddEntry", m_FileName);
  OzCriticalSectionGuard guard(m_pcs);
  const uint64_t key = Traits::Key(*rec);
  if (m_LastKey == 0 || m_LastKey < key) {
    if (!m_bCacheClear) ClearKeyCache();
    return AddEntryInternal(rec);
  }
  m_pDbg->debug("%s:%d Unable to add entry to index file [%s] as it is not sorted. Last [%lu], Current [%lu]",
                "CIndexFile::AddEntry", __LINE__, m_FileName.c_str(), m_LastKey, key);
  return FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrGeneric, "Key is not sorted");
}

// Expects m_pcs held by the caller (AddEntry).
IDX_TEMPLATE
CXoError IDX_CLASS::AddEntryInternal(IndexRecord* rec) {
  m_Pos = RecordPosition(static_cast<int64_t>(m_Header.TotalEntries));
  CXoError e = WriteEntry(rec);
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Cannot add entry into the index file [%s], error=%s", "AddEntryInternal", __LINE__,
                  m_FileName.c_str(), e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  ++m_Header.TotalEntries;
  if (Traits::Deleted(*rec) != 0) ++m_Header.DeletedEntries;
  m_LastKey = Traits::Key(*rec);
  return CXoError::Success();
}

IDX_TEMPLATE
CXoError IDX_CLASS::WriteEntry(IndexRecord* rec) {
  IDX_ASSERT_TEXT(m_RecSize == sizeof(IndexRecord), "m_RecSize == sizeof (IndexRecord)");
  Traits::SwapByteOrder(*rec);
  rec->CRC32 = ozhtonl(CXoCRC32::Of(rec, Traits::kCrcBytes));
  CXoError e = Write(reinterpret_cast<const char*>(rec), m_RecSize);
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Cannot write to index file, error=%s", "CIndexFile::WriteEntry", __LINE__,
                  e.AsString().c_str());
  }
  Traits::SwapByteOrder(*rec);
  return e.IsFailure() ? e.Push(FX_LOCATION) : e;
}

// Below record 0 lies the header (and, aligned, nothing but it): a negative index is refused.
IDX_TEMPLATE
CXoError IDX_CLASS::NegativeIndex(const char* tag, int64_t index) {
  m_pDbg->debug("%s:%d Negative record index [%ld]", tag, __LINE__, index);
  return FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrInvalidParameter, "Negative record index [%ld]", index);
}

IDX_TEMPLATE
CXoError IDX_CLASS::GetEntry(int64_t index, IndexRecord* rec) {
  static constexpr const char* kTag = "CIndexFile::GetEntry";
  OzCriticalSectionGuard guard(m_pcs);
  if (index < 0) return NegativeIndex(kTag, index);
  m_Pos = RecordPosition(index);
  CXoError e = GetEntry(rec);
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Cannot read entry from index [%lu] of file [%s], error=%s", kTag, __LINE__,
                  static_cast<unsigned long>(index), m_FileName.c_str(), e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  return CXoError::Success();
}

IDX_TEMPLATE
CXoError IDX_CLASS::GetEntry(IndexRecord* rec) {
  static constexpr const char* kTag = "CIndexFile::GetEntry";
  IDX_ASSERT_TEXT(m_RecSize == sizeof(IndexRecord), "m_RecSize == sizeof (IndexRecord)");
  CXoError e = Read(reinterpret_cast<char*>(rec), m_RecSize);
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Cannot read [%d] bytes. Read [%u], error=%s", kTag, __LINE__, static_cast<int>(m_RecSize),
                  0u, e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  const uint32_t computed = CXoCRC32::Of(rec, Traits::kCrcBytes);
  const uint32_t stored = ozntohl(rec->CRC32);
  if (computed != stored) {
    m_pDbg->debug("%s:%d CRC mismatch, Expected [0x%08X], Got [0x%08X]", kTag, __LINE__, stored, computed);
    return FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrCorrupt);
  }
  Traits::SwapByteOrder(*rec);
  return CXoError::Success();
}

// Reads record `index` through the cache, quietly: a scan expects records that fail their CRC.
// A valid record is left in host order.
IDX_TEMPLATE
CXoError IDX_CLASS::ReadRecordState(int64_t index, IndexRecord* rec, RecordState* state) {
  m_Pos = RecordPosition(index);
  CXoError e = Read(reinterpret_cast<char*>(rec), m_RecSize);
  if (e.IsFailure()) return e.Push(FX_LOCATION);
  if (CXoCRC32::Of(rec, Traits::kCrcBytes) == ozntohl(rec->CRC32)) {
    Traits::SwapByteOrder(*rec);
    *state = RecordState::kValid;
    return CXoError::Success();
  }
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(rec);
  *state = std::all_of(bytes, bytes + m_RecSize, [](unsigned char c) { return c == 0; }) ? RecordState::kZeros
                                                                                        : RecordState::kDamaged;
  return CXoError::Success();
}

IDX_TEMPLATE
CXoError IDX_CLASS::DropEntriesFrom(uint64_t count) {
  static constexpr const char* kTag = "CIndexFile::DropEntriesFrom";
  OzCriticalSectionGuard guard(m_pcs);
  if (!m_bOpen || m_iMode != 2 || m_Header.BlockSize == 0 || m_bUseChangeFile || IsCloud() || m_bDirty) {
    m_pDbg->debug("%s:%d Records are dropped only from a flushed aligned file without a journal, open read-write. "
                  "File [%s]",
                  kTag, __LINE__, m_FileName.c_str());
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrInvalidParameter,
                                   "Records are dropped only from a flushed aligned file without a journal");
  }
  if (count >= m_Header.TotalEntries) return CXoError::Success();
  m_pDbg->debug("%s:%d Dropping records [%llu] to [%llu] of [%s]", kTag, __LINE__,
                static_cast<unsigned long long>(count), static_cast<unsigned long long>(m_Header.TotalEntries - 1),
                m_FileName.c_str());
  CXoError e = TruncateRecords(count, kTag);
  if (e.IsFailure()) return e;
  if (!m_bCacheClear) ClearKeyCache();
  m_LastKey = 0;
  if (count > 0) {
    IndexRecord last;
    e = GetEntry(static_cast<int64_t>(count - 1), &last);
    if (e.IsFailure()) return e.Push(FX_LOCATION);
    m_LastKey = Traits::Key(last);
  }
  return CXoError::Success();
}

IDX_TEMPLATE
CXoError IDX_CLASS::GetFirstEntry(int64_t* pIndex, IndexRecord* rec) {
  *pIndex = -1;
  CXoError e = GetNextEntry(pIndex, rec);
  return e.IsFailure() ? e.Push(FX_LOCATION) : e;
}

IDX_TEMPLATE
CXoError IDX_CLASS::GetNextEntry(int64_t* pIndex, IndexRecord* rec) {
  int64_t i = *pIndex + 1;
  *pIndex = i;
  while (i != static_cast<int64_t>(m_Header.TotalEntries)) {
    CXoError e = GetEntry(i, rec);
    if (e.IsFailure()) {
      m_pDbg->debug("%s:%d Cannot read entry at index [%ld]. File [%s], error=%s", "CIndexFile::GetNextEntry",
                    __LINE__, i, m_FileName.c_str(), e.AsString().c_str());
      return e.Push(FX_LOCATION);
    }
    if (Traits::Deleted(*rec) == 0) return CXoError::Success();
    *pIndex = ++i;
  }
  *pIndex = -1;
  return CXoError::Success();
}

IDX_TEMPLATE
CXoError IDX_CLASS::SearchEntry(uint64_t key, IndexRecord* rec, int64_t* pPos, int64_t& lo, int64_t& hi) {
  static constexpr const char* kTag = "CIndexFile::SearchEntry";
  static constexpr int kCacheNodes = 256;
  if (m_bCacheKeys && m_CachedKeys.empty()) {
    m_nCacheNodes = kCacheNodes;
    m_CachedKeys.assign(kCacheNodes, SCachedKey{});
    m_CacheUsed.resize(kCacheNodes);
    m_CacheUsed.reset();
  }
  *pPos = -1;
  int n = 1;
  auto readFailed = [&](int64_t mid, CXoError e) {
    m_pDbg->debug("%s:%d Cannot read entry at index [%ld], error=%s", kTag, __LINE__, mid, e.AsString().c_str());
    return e.Push(FX_LOCATION);
  };
  while (lo <= hi) {
    const int64_t mid = (lo + hi) / 2;
    const bool inCache = m_bCacheKeys && n < m_nCacheNodes;
    uint64_t probed;
    if (inCache && m_CacheUsed.test(n)) {
      const SCachedKey& node = m_CachedKeys[n];
      if (node.Key == key) {
        CXoError e = GetEntry(mid, rec);
        if (e.IsFailure()) return readFailed(mid, e);
      }
      if (node.Pos != mid) {
        m_pDbg->debug("%s:%d Internal error. Cached value incorrect. Cached [%ld], Got [%ld]", kTag, __LINE__,
                      node.Pos, mid);
        return FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrGeneric, "Internal error");
      }
      probed = node.Key;
    } else {
      PrefetchProbes(lo, mid, hi);
      CXoError e = GetEntry(mid, rec);
      if (e.IsFailure()) return readFailed(mid, e);
      probed = Traits::Key(*rec);
      if (inCache) {
        m_CachedKeys[n] = SCachedKey{probed, mid};
        m_CacheUsed.set(n);
        m_bCacheClear = false;
      }
    }
    if (key == probed) {
      *pPos = mid;
      return CXoError::Success();
    }
    if (key < probed) {
      hi = mid - 1;
      if (inCache) n = 2 * n;
    } else {
      lo = mid + 1;
      if (inCache) n = 2 * n + 1;
    }
  }
  return CXoError::Success();
}

// The next probes lie in the middles of the two halves and of their halves. Asking for all six
// records while this one is checked hides most of the memory latency of a search over a large
// index, since each probe otherwise waits for the one before it.
IDX_TEMPLATE
void IDX_CLASS::PrefetchProbes(int64_t lo, int64_t mid, int64_t hi) const {
  const int64_t left = (lo + mid - 1) / 2;
  const int64_t right = (mid + 1 + hi) / 2;
  PrefetchRecord(left);
  PrefetchRecord(right);
  PrefetchRecord((lo + left - 1) / 2);
  PrefetchRecord((left + mid) / 2);
  PrefetchRecord((mid + right) / 2);
  PrefetchRecord((right + 1 + hi) / 2);
}

IDX_TEMPLATE
CXoError IDX_CLASS::SearchNextEntry(uint64_t key, IndexRecord* rec, int64_t* pPos) {
  static constexpr const char* kTag = "CIndexFile::SearchNextEntry";
  const int64_t total = static_cast<int64_t>(m_Header.TotalEntries);
  int64_t lo = 0;
  int64_t hi = total - 1;
  int64_t pos = -1;
  CXoError e = SearchEntry(key, rec, &pos, lo, hi);
  if (e.IsFailure()) return e.Push(FX_LOCATION);

  int64_t candidate = -1;
  if (pos == -1) {
    if (lo >= 0 && lo < total) candidate = lo;
  } else if (pos + 1 < total) {
    candidate = pos + 1;
  }
  *pPos = -1;
  if (candidate == -1) return CXoError::Success();

  e = GetEntry(candidate, rec);
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Cannot read entry at index [%ld], error=%s", kTag, __LINE__, candidate,
                  e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  if (Traits::Key(*rec) <= key) {
    m_pDbg->debug("%s:%d Next entry offset [%lu] at index [%ld] is lesser than the key [%lu] ", kTag, __LINE__,
                  Traits::Key(*rec), candidate, key);
    return FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrCorrupt);
  }
  *pPos = candidate;
  return CXoError::Success();
}

IDX_TEMPLATE
CXoError IDX_CLASS::UpdateEntry(int64_t iPosition, IndexRecord* rec) {
  static constexpr const char* kTag = "CIndexFile::UpdateEntry";
  OzCriticalSectionGuard guard(m_pcs);
  if (iPosition < 0) return NegativeIndex(kTag, iPosition);
  if (iPosition >= static_cast<int64_t>(m_Header.TotalEntries)) {
    const unsigned long long total = m_Header.TotalEntries;
    m_pDbg->debug("%s:%d Position [%ld] >= Total Entries [%llu]", kTag, __LINE__, iPosition, total);
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrGeneric, "Position %ld>= TotalEntries %llu", iPosition,
                                   total);
  }
  IndexRecord old;
  CXoError e = GetEntry(iPosition, &old);
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Unable to read entry, error=%s", kTag, __LINE__, e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  m_Pos = RecordPosition(iPosition);
  e = WriteEntry(rec);
  if (e.IsFailure()) {
    m_pDbg->debug("%s:%d Cannot update the entry at index [%ld], error=%s", kTag, __LINE__, iPosition,
                  e.AsString().c_str());
    return e.Push(FX_LOCATION);
  }
  const uint32_t was = Traits::Deleted(old);
  const uint32_t now = Traits::Deleted(*rec);
  if (was == 0 && now == 1) {
    ++m_Header.DeletedEntries;
  } else if (was == 1 && now == 0 && m_Header.DeletedEntries > 0) {
    // Aligned files restart the count at every Open, so it may not hold this record.
    --m_Header.DeletedEntries;
  }
  return CXoError::Success();
}

IDX_TEMPLATE
CXoError IDX_CLASS::GetSize(uint64_t& size) {
  if (!m_pFp || !m_pFp->IsValid()) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kIdxWin32ErrGeneric, "File not open");
  }
  OzCriticalSectionGuard guard(m_pcs);
  const uint64_t total = m_Header.TotalEntries;
  if (m_Header.BlockSize == 0) {
    size = kIdxHeaderSize + total * m_RecSize;
  } else {
    size = total == 0 ? kIdxHeaderSize : RecordPosition(static_cast<int64_t>(total - 1)) + m_RecSize;
  }
  if (size != m_Size) {
    m_pDbg->debug("%s:%d Error: Computed size [%lu] does not match actual size [%llu]", __PRETTY_FUNCTION__,
                  __LINE__, size, static_cast<unsigned long long>(m_Size));
    return FXErrorUtil::ErrorMM(FX_LOCATION, kIdxMMErrCorrupt);
  }
  return CXoError::Success();
}
