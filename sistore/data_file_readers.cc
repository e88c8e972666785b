// The restore road's readers of data files and the SFile containers it keeps open
// (data_file_readers.h).

#include "sistore/data_file_readers.h"

#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace sistore {

namespace {

// Container paths share their folder and differ in the last characters: compared from the end.
bool SamePathIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = a.size(); i-- > 0;) {
    if (a[i] != b[i] && std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

void DataFileReader::Attach(CFileInterface* file, int64_t position, bool readAhead) {
  m_file = file;
  m_position = position;
  m_aheadLength = 0;
  m_readAhead = readAhead;
  m_inOrder = true;
}

CXoError DataFileReader::MoveTo(uint64_t offset) {
  m_inOrder = At(offset);
  if (m_inOrder) return CXoError::Success();
  m_aheadLength = 0;
  if (m_file->PositionedReads() && offset <= static_cast<uint64_t>(INT64_MAX)) {
    m_position = static_cast<int64_t>(offset);
    return CXoError::Success();
  }
  CXoError e = m_file->Seek(static_cast<CXoFile::offset>(offset), SEEK_SET, nullptr);
  m_position = e.IsSuccess() ? static_cast<int64_t>(offset) : -1;
  return e;
}

CXoError DataFileReader::Read(char* buffer, unsigned int length, unsigned int& got) {
  got = std::min(length, m_aheadLength);
  std::memcpy(buffer, m_ahead, got);
  std::memmove(m_ahead, m_ahead + got, m_aheadLength - got);
  m_aheadLength -= got;
  if (got == length) return CXoError::Success();

  const bool positioned = m_position >= 0 && m_file->PositionedReads();
  unsigned int more = 0, ahead = 0;
  // Out of order, the bytes after a read are seldom the next ones asked for.
  const bool readAhead = m_readAhead && m_inOrder;
  char* into = readAhead ? m_ahead : nullptr;
  const unsigned int aheadSize = readAhead ? kAheadSize : 0;
  CXoError e = positioned ? m_file->ReadAheadAt(static_cast<uint64_t>(m_position), buffer + got, length - got, &more,
                                                into, aheadSize, &ahead)
                          : m_file->ReadAhead(buffer + got, length - got, &more, into, aheadSize, &ahead);
  got += more;
  if (e.IsFailure()) {
    // A positioned read leaves the file where it was: only what was transferred counts.
    m_position = positioned ? m_position + more : -1;
    return e;
  }
  m_aheadLength = ahead;
  if (m_position >= 0) m_position += more + ahead;
  return e;
}

KeptContainers::~KeptContainers() { (void)CloseAll(); }

KeptContainers::Container* KeptContainers::Find(const std::string& path) {
  for (size_t i = 0; i < m_entries.size() && !m_entries[i]->path.empty(); ++i) {
    if (SamePathIgnoringCase(m_entries[i]->path, path)) {
      std::rotate(m_entries.begin(), m_entries.begin() + static_cast<std::ptrdiff_t>(i),
                  m_entries.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      return m_entries.front().get();
    }
  }
  return nullptr;
}

KeptContainers::Container* KeptContainers::Take() {
  const bool reuse = !m_entries.empty() && (m_entries.back()->path.empty() || m_entries.size() >= kMax);
  if (!reuse) {
    auto entry = std::make_unique<Container>();
    entry->file.reset(CFileInterface::GetFileInterfaceInstance(m_params));
    if (!entry->file) return nullptr;
    m_entries.insert(m_entries.begin(), std::move(entry));
    return m_entries.front().get();
  }
  std::rotate(m_entries.begin(), m_entries.end() - 1, m_entries.end());
  Container* entry = m_entries.front().get();
  // A read-only descriptor: its close has nothing to lose.
  if (entry->file->IsValid()) (void)entry->file->Close();
  entry->path.clear();
  return entry;
}

void KeptContainers::Drop(Container* container) {
  if (container->file->IsValid()) (void)container->file->Close();
  container->path.clear();
  container->reader.Attach(container->file.get(), -1);
  // Unused entries wait at the end, where Take looks first.
  auto it = std::find_if(m_entries.begin(), m_entries.end(), [&](const auto& e) { return e.get() == container; });
  if (it != m_entries.end()) std::rotate(it, it + 1, m_entries.end());
}

CXoError KeptContainers::CloseAll() {
  CXoError first = CXoError::Success();
  for (const auto& entry : m_entries) {
    if (entry->file->IsValid()) {
      CXoError e = entry->file->Close();
      if (e.IsFailure() && first.IsSuccess()) first = e;
    }
    entry->path.clear();
  }
  return first;
}

std::vector<CFileInterface*> KeptContainers::Files() const {
  std::vector<CFileInterface*> files;
  for (const auto& entry : m_entries) files.push_back(entry->file.get());
  return files;
}

}  // namespace sistore
