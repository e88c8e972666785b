#include "platform/error.h"
#include "platform/string_format.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// The code of a failure: the sign bit, the facility in bits 16 to 27 and the low 16 bits of the
// value. The full value is kept beside the code.
int32_t MakeCode(int facility, uint32_t value) {
  uint32_t code = 0x80000000u | ((static_cast<uint32_t>(facility) & 0xFFFu) << 16) | (value & 0xFFFFu);
  return static_cast<int32_t>(code);
}


CXoError MakeError(const FXCodeLocation& where, int facility, uint32_t value, const char* format,
                   va_list args) {
  CXoError e(facility, value, StringFormatV(format, args));
  e.Push(where);
  return e;
}

const std::string& EmptyText() {
  static const std::string empty;
  return empty;
}

const std::vector<FXCodeLocation>& EmptyStack() {
  static const std::vector<FXCodeLocation> empty;
  return empty;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CXoError

CXoError::CXoError(int facility, uint32_t value, std::string message)
    : m_code(MakeCode(facility, value)), m_value(value), m_detail(std::make_shared<Detail>()) {
  m_detail->message = std::move(message);
}

CXoError CXoError::FromCode(int32_t code) {
  if (code >= 0) return CXoError();
  uint32_t raw = static_cast<uint32_t>(code);
  CXoError e(static_cast<int>((raw >> 16) & 0xFFFu), raw & 0xFFFFu, std::string());
  e.m_code = code;  // the code as given, whatever its upper bits
  return e;
}

const std::string& CXoError::Message() const { return m_detail ? m_detail->message : EmptyText(); }

const std::vector<FXCodeLocation>& CXoError::Stack() const {
  return m_detail ? m_detail->stack : EmptyStack();
}

CXoError& CXoError::Push(const FXCodeLocation& where) {
  if (IsSuccess()) return *this;
  if (!m_detail) m_detail = std::make_shared<Detail>();
  m_detail->stack.push_back(where);
  return *this;
}

std::string CXoError::AsString() const {
  if (IsSuccess()) return "Success";
  char head[160];
  switch (Facility()) {
    case kFacilityMM:
      std::snprintf(head, sizeof(head), "Media manager error %u", m_value);
      break;
    case kFacilityErrNo:
      std::snprintf(head, sizeof(head), "System error %u (%s)", m_value,
                    std::strerror(static_cast<int>(m_value)));
      break;
    case kFacilityWin32:
      std::snprintf(head, sizeof(head), "Win32 error %u", m_value);
      break;
    default:
      std::snprintf(head, sizeof(head), "Error 0x%08X", static_cast<uint32_t>(m_code));
      break;
  }
  std::string text(head);
  if (!Message().empty()) text += ": " + Message();
  return text;
}

// ---------------------------------------------------------------------------------------------
// FXErrorUtil

CXoError FXErrorUtil::ErrorMM(const FXCodeLocation& where, unsigned int code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CXoError e = MakeError(where, kFacilityMM, code, format, args);
  va_end(args);
  return e;
}

CXoError FXErrorUtil::ErrorWin32(const FXCodeLocation& where, unsigned int code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CXoError e = MakeError(where, kFacilityWin32, code, format, args);
  va_end(args);
  return e;
}

CXoError FXErrorUtil::ErrorErrNo(const FXCodeLocation& where, int err, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CXoError e = MakeError(where, kFacilityErrNo, static_cast<uint32_t>(err), format, args);
  va_end(args);
  return e;
}

bool FXErrorUtil::IsMM(const CXoError& e, unsigned int code) {
  return e.IsFailure() && e.Facility() == kFacilityMM && e.Value() == code;
}

bool FXErrorUtil::IsErrNo(const CXoError& e, int err) {
  return e.IsFailure() && e.Facility() == kFacilityErrNo && e.Value() == static_cast<uint32_t>(err);
}

bool FXErrorUtil::IsWin32(const CXoError& e, unsigned int code) {
  return e.IsFailure() && e.Facility() == kFacilityWin32 && e.Value() == code;
}

unsigned int FXErrorUtil::GetMM(const CXoError& e) {
  return (e.IsFailure() && e.Facility() == kFacilityMM) ? e.Value() : 0;
}

int FXErrorUtil::GetErrNo(const CXoError& e) {
  return (e.IsFailure() && e.Facility() == kFacilityErrNo) ? static_cast<int>(e.Value()) : 0;
}

// ---------------------------------------------------------------------------------------------
// MMS2BaseError
//
// The one table from system error values to media manager codes. Errno values and Win32-style
// values have their own columns; both land on the same media manager codes:
//
//   media manager code                           errno                          Win32-style
//   993  path not accessible                     ENOENT, ENOTDIR, ELOOP         2, 3
//   996  access denied                           EACCES, EPERM, EROFS           5, 19 (write protect)
//   767  the mount path is full                  ENOSPC, EDQUOT                 39, 112
//   762  read or write failure of the media      EIO                            23 (CRC), 30, 29
//   104  out of memory or handles                ENOMEM, EMFILE, ENFILE         8, 14, 4
//   975  the file already exists                 EEXIST                         80, 183
//   103  invalid argument                        EINVAL, ENAMETOOLONG, EISDIR,  87, 160, 123, 206
//                                                EXDEV, EFBIG, EOVERFLOW
//   994  the file is not open                    EBADF                          6
//   792  in use by another process or job        EAGAIN, EBUSY, ETXTBSY         13 (lock refused),
//                                                                               32, 33
//   789  operation not supported                 EOPNOTSUPP, ENOSYS             50, 120
//   1207 network path not accessible             ETIMEDOUT, ENETUNREACH,        51, 53, 64, 67
//                                                EHOSTUNREACH, ECONNREFUSED,
//                                                ECONNRESET, ENOTCONN, ESTALE
//   1006 folder not empty                        ENOTEMPTY                      145
//   751  user impersonation failed               -                              1314, 1326
//   1008 any other system error                  any other                      any other
//
// Win32-style 13 is listed under 792 because the index file lock reports a refused lock so.
// A media manager error converts to its own code and a success to 0. A bare code (the unsigned
// form) is read as an errno value when the errno column has it, else as a Win32-style value.

namespace {

constexpr long long kMMMediaIoError = 762;
constexpr long long kMMOutOfMemory = 104;
constexpr long long kMMFileExists = 975;
constexpr long long kMMInvalidArgument = 103;
constexpr long long kMMInUse = 792;
constexpr long long kMMNotSupported = 789;
constexpr long long kMMNetworkPath = 1207;
constexpr long long kMMFolderNotEmpty = 1006;
constexpr long long kMMImpersonation = 751;
constexpr long long kMMOtherSystemError = 1008;

struct CodeRow {
  unsigned int code;
  long long mm;
};

constexpr CodeRow kErrNoTable[] = {
    {ENOENT, kMMErrPathNotAccessible},  {ENOTDIR, kMMErrPathNotAccessible}, {ELOOP, kMMErrPathNotAccessible},
    {EACCES, kMMErrAccessDenied},       {EPERM, kMMErrAccessDenied},        {EROFS, kMMErrAccessDenied},
    {ENOSPC, kMMErrDiskFull},           {EDQUOT, kMMErrDiskFull},           {EIO, kMMMediaIoError},
    {ENOMEM, kMMOutOfMemory},           {EMFILE, kMMOutOfMemory},           {ENFILE, kMMOutOfMemory},
    {EEXIST, kMMFileExists},            {EINVAL, kMMInvalidArgument},       {ENAMETOOLONG, kMMInvalidArgument},
    {EISDIR, kMMInvalidArgument},       {EXDEV, kMMInvalidArgument},        {EFBIG, kMMInvalidArgument},
    {EOVERFLOW, kMMInvalidArgument},    {EBADF, kMMErrInvalidHandle},       {EAGAIN, kMMInUse},
    {EBUSY, kMMInUse},                  {ETXTBSY, kMMInUse},                {EOPNOTSUPP, kMMNotSupported},
    {ENOSYS, kMMNotSupported},          {ETIMEDOUT, kMMNetworkPath},        {ENETUNREACH, kMMNetworkPath},
    {EHOSTUNREACH, kMMNetworkPath},     {ECONNREFUSED, kMMNetworkPath},     {ECONNRESET, kMMNetworkPath},
    {ENOTCONN, kMMNetworkPath},         {ESTALE, kMMNetworkPath},           {ENOTEMPTY, kMMFolderNotEmpty},
};

constexpr CodeRow kWin32Table[] = {
    {2, kMMErrPathNotAccessible}, {3, kMMErrPathNotAccessible}, {5, kMMErrAccessDenied},
    {19, kMMErrAccessDenied},     {39, kMMErrDiskFull},         {112, kMMErrDiskFull},
    {23, kMMMediaIoError},        {29, kMMMediaIoError},        {30, kMMMediaIoError},
    {8, kMMOutOfMemory},          {14, kMMOutOfMemory},         {4, kMMOutOfMemory},
    {80, kMMFileExists},          {183, kMMFileExists},         {87, kMMInvalidArgument},
    {160, kMMInvalidArgument},    {123, kMMInvalidArgument},    {206, kMMInvalidArgument},
    {6, kMMErrInvalidHandle},     {13, kMMInUse},               {32, kMMInUse},
    {33, kMMInUse},               {50, kMMNotSupported},        {120, kMMNotSupported},
    {51, kMMNetworkPath},         {53, kMMNetworkPath},         {64, kMMNetworkPath},
    {67, kMMNetworkPath},         {145, kMMFolderNotEmpty},     {1314, kMMImpersonation},
    {1326, kMMImpersonation},
};

template <size_t N>
bool Lookup(const CodeRow (&table)[N], unsigned int code, long long& mm) {
  for (const CodeRow& row : table) {
    if (row.code == code) {
      mm = row.mm;
      return true;
    }
  }
  return false;
}

long long FromErrNo(unsigned int code) {
  long long mm = kMMOtherSystemError;
  Lookup(kErrNoTable, code, mm);
  return mm;
}

long long FromWin32(unsigned int code) {
  long long mm = kMMOtherSystemError;
  Lookup(kWin32Table, code, mm);
  return mm;
}

}  // namespace

long long MMS2BaseError::ConvertToMMError(const CXoError& e) {
  if (e.IsSuccess()) return 0;
  switch (e.Facility()) {
    case kFacilityMM:
      return e.Value();
    case kFacilityErrNo:
      return FromErrNo(e.Value());
    case kFacilityWin32:
      return FromWin32(e.Value());
    default:
      return kMMOtherSystemError;
  }
}

long long MMS2BaseError::ConvertToMMError(unsigned int code) {
  if (code == 0) return 0;
  long long mm = 0;
  if (Lookup(kErrNoTable, code, mm)) return mm;
  return FromWin32(code);
}

// Event reasons of the job manager: the reason of a media manager code is the code in the low 24
// bits under the prefix 0x29; 0 (no error) has no reason.
unsigned int MMS2BaseError::getEvEventErrorCodeID(int mmCode) {
  if (mmCode == 0) return 0;
  return 0x29000000u | (static_cast<uint32_t>(mmCode) & 0x00FFFFFFu);
}

// OZScsiTapeErrorConvertToMMError is defined with the drive library's codes, in tape_drive.cc.

unsigned int MMS2BaseError::getErrorCode(const CXoError& e) { return e.IsSuccess() ? 0 : e.Value(); }
