// Error values and the conversions of the media manager's error library.

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/tape_drive.h"

namespace {

TEST(ErrorValue, CodeCarriesFacilityAndSign) {
  CXoError ok;
  EXPECT_TRUE(ok.IsSuccess());
  EXPECT_EQ("Success", ok.AsString());
  EXPECT_EQ(0, MMS2BaseError::ConvertToMMError(ok));

  // A media manager code beyond 16 bits keeps its full value beside the code.
  CXoError mm = FXErrorUtil::ErrorMM(FX_LOCATION, 81158, "volume [%d] is full", 12);
  EXPECT_TRUE(mm.IsFailure());
  EXPECT_EQ(kFacilityMM, mm.Facility());
  EXPECT_TRUE(FXErrorUtil::IsMM(mm, 81158));
  EXPECT_TRUE(FXErrorUtil::IsNotMM(mm, 993));
  EXPECT_EQ(81158u, FXErrorUtil::GetMM(mm));
  EXPECT_EQ(0, FXErrorUtil::GetErrNo(mm));
  EXPECT_EQ(81158, MMS2BaseError::ConvertToMMError(mm));
  EXPECT_NE(std::string::npos, mm.AsString().find("81158"));
  EXPECT_NE(std::string::npos, mm.AsString().find("volume [12] is full"));

  CXoError en = FXErrorUtil::ErrorErrNo(FX_LOCATION, ENOENT);
  EXPECT_EQ(kFacilityErrNo, en.Facility());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(en, ENOENT));
  EXPECT_FALSE(FXErrorUtil::IsWin32(en, ENOENT));
  EXPECT_EQ(ENOENT, FXErrorUtil::GetErrNo(en));
  EXPECT_EQ(static_cast<unsigned>(ENOENT), MMS2BaseError::getErrorCode(en));

  // A value of 0 is still a failure.
  EXPECT_TRUE(FXErrorUtil::ErrorWin32(FX_LOCATION, 0).IsFailure());
}

TEST(ErrorValue, CopiesShareMessageAndStack) {
  CXoError first = FXErrorUtil::ErrorErrNo(FX_LOCATION, EIO, "disk [%s]", "/mnt/a");
  CXoError copy = first;
  copy.Push(FX_LOCATION);
  EXPECT_EQ(2u, first.Stack().size());
  EXPECT_EQ("disk [/mnt/a]", copy.Message());

  CXoError success;
  success.Push(FX_LOCATION);
  EXPECT_TRUE(success.Stack().empty());

  // A bare code (a walk callback's result) becomes its error again.
  CXoError back = CXoError::FromCode(FXErrorUtil::ErrorWin32(FX_LOCATION, 774).Code());
  EXPECT_TRUE(FXErrorUtil::IsWin32(back, 774));
  EXPECT_TRUE(CXoError::FromCode(0).IsSuccess());
}

struct MappingRow {
  const char* name;
  CXoError error;
  long long mm;
};

TEST(ErrorMapping, OneTableForErrnoAndWin32Codes) {
  auto E = [](int err) { return FXErrorUtil::ErrorErrNo(FX_LOCATION, err); };
  auto W = [](unsigned code) { return FXErrorUtil::ErrorWin32(FX_LOCATION, code); };
  const MappingRow rows[] = {
      {"ENOENT", E(ENOENT), 993},     {"ENOTDIR", E(ENOTDIR), 993},   {"Win32 2", W(2), 993},
      {"Win32 3", W(3), 993},         {"EACCES", E(EACCES), 996},     {"EPERM", E(EPERM), 996},
      {"EROFS", E(EROFS), 996},       {"Win32 5", W(5), 996},         {"ENOSPC", E(ENOSPC), 767},
      {"EDQUOT", E(EDQUOT), 767},     {"Win32 112", W(112), 767},     {"EIO", E(EIO), 762},
      {"ENOMEM", E(ENOMEM), 104},     {"EEXIST", E(EEXIST), 975},     {"EINVAL", E(EINVAL), 103},
      {"EBADF", E(EBADF), 994},       {"EAGAIN", E(EAGAIN), 792},     {"EBUSY", E(EBUSY), 792},
      {"Win32 13", W(13), 792},       {"ENOTEMPTY", E(ENOTEMPTY), 1006},
      {"EOPNOTSUPP", E(EOPNOTSUPP), 789}, {"ETIMEDOUT", E(ETIMEDOUT), 1207},
      {"Win32 1326", W(1326), 751},   {"unlisted errno", E(EDOM), 1008},
      {"unlisted Win32", W(9999), 1008},
      {"media manager", FXErrorUtil::ErrorMM(FX_LOCATION, 1204), 1204},
  };
  for (const MappingRow& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.mm, MMS2BaseError::ConvertToMMError(row.error));
  }
}

TEST(ErrorMapping, BareCodesReadAsErrnoFirst) {
  EXPECT_EQ(0, MMS2BaseError::ConvertToMMError(0u));
  EXPECT_EQ(993, MMS2BaseError::ConvertToMMError(static_cast<unsigned>(ENOENT)));
  EXPECT_EQ(762, MMS2BaseError::ConvertToMMError(static_cast<unsigned>(EIO)));  // 5 is EIO here
  EXPECT_EQ(993, MMS2BaseError::ConvertToMMError(3u));     // not an errno we map: path not found
  EXPECT_EQ(751, MMS2BaseError::ConvertToMMError(1314u));  // impersonation refused
}

TEST(ErrorMapping, EventReasonsAndTapeCodes) {
  EXPECT_EQ(0u, MMS2BaseError::getEvEventErrorCodeID(0));
  EXPECT_EQ(0x290010E1u, MMS2BaseError::getEvEventErrorCodeID(4321));
  EXPECT_NE(MMS2BaseError::getEvEventErrorCodeID(993), MMS2BaseError::getEvEventErrorCodeID(996));
  EXPECT_EQ(0, MMS2BaseError::OZScsiTapeErrorConvertToMMError(0));
  EXPECT_EQ(785, MMS2BaseError::OZScsiTapeErrorConvertToMMError(kTapeEarlyWarning));
  EXPECT_EQ(979, MMS2BaseError::OZScsiTapeErrorConvertToMMError(-1));
}

}  // namespace
