// The configured user's logon and scoped impersonation. Nothing changes identity here; tests can
// make a logon fail or an impersonation throw.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

class CLoggedOnUser {
 public:
  // Sets the user for a later Logon.
  void Init(const std::string& user, const std::string& password, bool impersonate);
  // 0 on success.
  int Logon();
  uint64_t GetToken() const { return m_token; }
  std::string GetDomain() const;
  std::string GetUser() const;
  std::string GetDomainAndUser() const;

 private:
  std::string m_domain;
  std::string m_user;
  std::string m_password;
  uint64_t m_token = 0;
};

// Impersonates the token's user for a scope. Throws OzException when told to (tests).
class CImpersonator {
 public:
  explicit CImpersonator(uint64_t token);
  ~CImpersonator();
  CImpersonator(const CImpersonator&) = delete;
  CImpersonator& operator=(const CImpersonator&) = delete;
  // 0 when the scope was entered.
  int GetStatus() const { return m_status; }

 private:
  int m_status = 0;
};

namespace platform {

struct IdentityState {
  int logonFailures = 0;        // the next n Logon calls fail (result 1326)
  int impersonateFailures = 0;  // the next n CImpersonator scopes fail with status 1314
  int impersonateThrows = 0;    // the next n CImpersonator constructions throw OzException
  int logons = 0;
  int impersonations = 0;
  uint64_t lastToken = 0;      // the token of the last scope entered
};

IdentityState& Identity();
std::mutex& IdentityMutex();  // held by the stand-ins while they read or write Identity()

}  // namespace platform
