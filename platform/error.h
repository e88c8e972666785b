// Error values of the product's utility library.
//
// A CXoError is a signed code (negative is failure) whose facility, bits 16 to 27, tells where the
// code comes from: a Win32-style code (7), a media manager code (0xC02) or an errno value (0xCCC).
// The full value of the code is kept beside it, since media manager codes go beyond 16 bits.
// The message and the stack of code locations are shared between copies.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Where an error was made or passed on: source name, function signature, line.
struct FXCodeLocation {
  const char* file = "";
  const char* function = "";
  int line = 0;
};

#define FX_LOCATION (FXCodeLocation{__FILE__, __PRETTY_FUNCTION__, __LINE__})

enum FXFacility : int {
  kFacilityNone = 0,
  kFacilityWin32 = 7,
  kFacilityMM = 0xC02,
  kFacilityErrNo = 0xCCC,
};

class CXoError {
 public:
  CXoError() = default;  // success
  // A failure of `facility` with the code `value`; a value of 0 still counts as a failure.
  CXoError(int facility, uint32_t value, std::string message);

  static CXoError Success() { return CXoError(); }
  // The error of a bare code (as a callback returns it): its facility and low 16 bits of value;
  // a code at or above 0 is a success.
  static CXoError FromCode(int32_t code);

  int32_t Code() const { return m_code; }
  int Facility() const { return (static_cast<uint32_t>(m_code) >> 16) & 0xFFF; }
  uint32_t Value() const { return m_value; }
  bool IsSuccess() const { return m_code >= 0; }
  bool IsFailure() const { return m_code < 0; }
  explicit operator bool() const = delete;  // say IsSuccess or IsFailure

  const std::string& Message() const;
  const std::vector<FXCodeLocation>& Stack() const;

  // Adds the location of a level that passes the error on; a success stays untouched.
  CXoError& Push(const FXCodeLocation& where);
  // The error's text for logs and messages: facility, value and message.
  std::string AsString() const;

 private:
  struct Detail {
    std::string message;
    std::vector<FXCodeLocation> stack;
  };
  int32_t m_code = 0;
  uint32_t m_value = 0;
  std::shared_ptr<Detail> m_detail;
};

class FXErrorUtil {
 public:
  // printf-style message; a null format leaves the message empty.
  static CXoError ErrorMM(const FXCodeLocation& where, unsigned int code, const char* format = nullptr, ...)
      __attribute__((format(printf, 3, 4)));
  static CXoError ErrorWin32(const FXCodeLocation& where, unsigned int code, const char* format = nullptr, ...)
      __attribute__((format(printf, 3, 4)));
  static CXoError ErrorErrNo(const FXCodeLocation& where, int err, const char* format = nullptr, ...)
      __attribute__((format(printf, 3, 4)));

  static bool IsMM(const CXoError& e, unsigned int code);
  static bool IsNotMM(const CXoError& e, unsigned int code) { return !IsMM(e, code); }
  static bool IsErrNo(const CXoError& e, int err);
  static bool IsWin32(const CXoError& e, unsigned int code);
  static unsigned int GetMM(const CXoError& e);  // 0 when not a media manager error
  static int GetErrNo(const CXoError& e);        // 0 when not an errno error
};

// Media manager codes of system errors that callers set and test by name (error.cc's table lists
// the errno and Win32-style values that convert to each).
inline constexpr long long kMMErrDiskFull = 767;           // the mount path is full
inline constexpr long long kMMErrPathNotAccessible = 993;  // among others: the path does not exist
inline constexpr long long kMMErrInvalidHandle = 994;      // no open file, interface or drive object
inline constexpr long long kMMErrAccessDenied = 996;

// Conversions of the media manager's error library. The errno table is documented in error.cc.
class MMS2BaseError {
 public:
  // A media manager code for any error value: its own code for media manager errors, the
  // table's code for errno and Win32-style errors, 0 for success.
  static long long ConvertToMMError(const CXoError& e);
  // The same for a bare errno or Win32-style code.
  static long long ConvertToMMError(unsigned int code);
  // The job event reason of a media manager code.
  static unsigned int getEvEventErrorCodeID(int mmCode);
  // Codes of the SCSI tape library to media manager codes (its table is in tape_drive.cc).
  static long long OZScsiTapeErrorConvertToMMError(int tapeCode);
  // The errno or Win32-style value of an error (the value part of the code).
  static unsigned int getErrorCode(const CXoError& e);

  // Objects of the library (the on-media label library derives from it) keep the media manager
  // code of their last failure; 0 when none.
  long long getErrorCode() const { return m_llErrorCode; }

 protected:
  void setErrorCode(long long code) { m_llErrorCode = code; }

 private:
  long long m_llErrorCode = 0;
};

// The exception of the utility library (thrown by the read/write lock, caught by probes).
struct OzException {
  std::string operation;
  std::string text;
  std::string tag;
  int line = 0;
  long long code = 0;
};
