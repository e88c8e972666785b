// The slots of the store's roads that this build does not carry yet: opening and reading chunks,
// catalog mode and SILO recall. Each fails clearly (the error text names the operation) or, where
// nothing can be held, reports that nothing is; a road's own file replaces its slots here.

#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/string_format.h"

namespace {

int NotAvailable(SingleInstancer_FS* store, const char* operation, int result = -1) {
  store->SetErrorString(StringFormat("SingleInstancer_FS::%s is not available", operation).c_str());
  return result;
}

}  // namespace

int SingleInstancer_FS::OpenSpecific(const MediaFSArchiveFileId_t*) { return NotAvailable(this, "OpenSpecific"); }

int SingleInstancer_FS::ReadFromMedia(char*, long) { return NotAvailable(this, "ReadFromMedia"); }

int SingleInstancer_FS::InitCatalogOperationOnMedia(int) { return NotAvailable(this, "InitCatalogOperationOnMedia"); }

int SingleInstancer_FS::SetSeekOffset(long long) { return NotAvailable(this, "SetSeekOffset", 0); }

int SingleInstancer_FS::OpenDataFile(char*) { return NotAvailable(this, "OpenDataFile"); }

int SingleInstancer_FS::ReadFromDataFile(char*, long) { return NotAvailable(this, "ReadFromDataFile"); }

int SingleInstancer_FS::ReadFromMetaData(char*, long) { return NotAvailable(this, "ReadFromMetaData"); }

int SingleInstancer_FS::GetMetaDataSeekOffset(long long, long long, long long&) {
  return NotAvailable(this, "GetMetaDataSeekOffset", 0);
}

int SingleInstancer_FS::GetTavrixVersionFromChunkMapTrailer(long long, std::string&) {
  return NotAvailable(this, "GetTavrixVersionFromChunkMapTrailer", 0);
}

// Without SILO recall a volume is read where it lies.
int SingleInstancer_FS::CheckAndRecallVolumeFromTape(std::string, unsigned long long, unsigned int, int, unsigned int,
                                                     unsigned int& newMountPathId, unsigned int&, void*, bool) {
  newMountPathId = 0;
  return 1;
}

// No volume lock can have been taken.
int SingleInstancer_FS::ReleaseSiloVolResourceLock(unsigned int, bool, bool) { return 1; }

int SingleInstancer_FS::OpenDataFile2(const char*, unsigned long long) { return NotAvailable(this, "OpenDataFile2"); }

int SingleInstancer_FS::ReadFromNonSIFile(char*, long) { return NotAvailable(this, "ReadFromNonSIFile"); }

int SingleInstancer_FS::SetSeekOffset2(unsigned long long, unsigned long long) {
  return NotAvailable(this, "SetSeekOffset2");
}
