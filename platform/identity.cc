#include "platform/identity.h"

#include <mutex>

#include "platform/error.h"

namespace platform {

IdentityState& Identity() {
  static IdentityState* state = new IdentityState;
  return *state;
}

std::mutex& IdentityMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

}  // namespace platform

using platform::Identity;

// A user given as "domain\user" has a domain; any other form is a local user.
void CLoggedOnUser::Init(const std::string& user, const std::string& password, bool impersonate) {
  (void)impersonate;
  size_t slash = user.find('\\');
  if (slash == std::string::npos) {
    m_domain.clear();
    m_user = user;
  } else {
    m_domain = user.substr(0, slash);
    m_user = user.substr(slash + 1);
  }
  m_password = password;
  m_token = 0;
}

int CLoggedOnUser::Logon() {
  std::lock_guard<std::mutex> lock(platform::IdentityMutex());
  ++Identity().logons;
  if (Identity().logonFailures > 0) {
    --Identity().logonFailures;
    m_token = 0;
    return 1326;
  }
  m_token = 0x1000u + static_cast<uint64_t>(Identity().logons);
  return 0;
}

std::string CLoggedOnUser::GetDomain() const { return m_domain; }

std::string CLoggedOnUser::GetUser() const { return m_user; }

std::string CLoggedOnUser::GetDomainAndUser() const { return m_domain.empty() ? m_user : m_domain + "\\" + m_user; }

CImpersonator::CImpersonator(uint64_t token) {
  std::lock_guard<std::mutex> lock(platform::IdentityMutex());
  if (Identity().impersonateThrows > 0) {
    --Identity().impersonateThrows;
    throw OzException{"CImpersonator", "Impersonation failed", "CImpersonator", __LINE__, 1314};
  }
  if (Identity().impersonateFailures > 0) {
    --Identity().impersonateFailures;
    m_status = 1314;
    return;
  }
  ++Identity().impersonations;
  Identity().lastToken = token;
}

CImpersonator::~CImpersonator() = default;
