// The slots of the store's roads that this build does not carry yet: creating, writing and
// closing chunks. Each fails clearly (the error text names the operation) or, where nothing can be
// held, reports that nothing is; a road's own file replaces its slots here.

#include "MediaFileSystem/SingleInstancerFS.h"
#include "platform/string_format.h"

namespace {

int NotAvailable(SingleInstancer_FS* store, const char* operation, int result = -1) {
  store->SetErrorString(StringFormat("SingleInstancer_FS::%s is not available", operation).c_str());
  return result;
}

}  // namespace

int SingleInstancer_FS::CreateSpecific(const MediaFSArchiveFileId_t*) { return NotAvailable(this, "CreateSpecific"); }

// No chunk can have been created or opened, so there is nothing to close.
int SingleInstancer_FS::CloseSpecific(long) { return 0; }

int SingleInstancer_FS::WriteToMedia(const char*, long, int*) { return NotAvailable(this, "WriteToMedia"); }

int SingleInstancer_FS::WriteToDataFile(const char*, long, int*) { return NotAvailable(this, "WriteToDataFile"); }

int SingleInstancer_FS::WriteToMetaData(const char*, long, int*) { return NotAvailable(this, "WriteToMetaData"); }

int SingleInstancer_FS::StartDataFile(unsigned long long, unsigned long long, unsigned int) {
  return NotAvailable(this, "StartDataFile");
}

int SingleInstancer_FS::EndDataFile() { return NotAvailable(this, "EndDataFile"); }

long long SingleInstancer_FS::GetMetaDataFileOffset() { return NotAvailable(this, "GetMetaDataFileOffset"); }

int SingleInstancer_FS::SetMetaDataFileOffset(unsigned long long) { return NotAvailable(this, "SetMetaDataFileOffset"); }

int SingleInstancer_FS::SetDataFileOffset(unsigned long long) { return NotAvailable(this, "SetDataFileOffset"); }

int SingleInstancer_FS::StartDataFile2(unsigned int, unsigned int*, unsigned long*) {
  return NotAvailable(this, "StartDataFile2");
}