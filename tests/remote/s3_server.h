// A local S3-compatible server for tests and benchmarks: s3rver, installed by scripts/setup.sh
// into build-tools/ (MFS_S3RVER names another copy of its start script), run under node on
// 127.0.0.1 on a free port with a temporary data folder, one bucket, the credentials "S3RVER"
// and signature checks on. It can be stopped and started again on the same port; the destructor
// stops it and removes its folder. Where node or s3rver is absent, Available() says why.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#ifndef MFS_S3RVER_DEFAULT
#define MFS_S3RVER_DEFAULT ""
#endif

class S3Server {
 public:
  static constexpr const char* kBucket = "mfs-test-bucket";
  static constexpr const char* kAccessKey = "S3RVER";
  static constexpr const char* kSecret = "S3RVER";

  S3Server() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/mfs-s3rver-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) m_dir = pattern;
  }
  ~S3Server() {
    Stop();
    std::error_code ignored;
    if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ignored);
  }
  S3Server(const S3Server&) = delete;
  S3Server& operator=(const S3Server&) = delete;

  // Empty when the server can run here; otherwise the reason it cannot.
  static std::string Unavailable() {
    if (!OnPath("node")) return "node is absent: the S3 tests are skipped";
    if (::access(Script().c_str(), R_OK) != 0) {
      return "s3rver is not installed at [" + Script() + "] (scripts/setup.sh installs it): the S3 tests are skipped";
    }
    return std::string();
  }

  // Starts the server (on the port it had before, once it had one) and waits until it answers.
  bool Start() {
    if (m_pid > 0) return true;
    if (m_port == 0) m_port = FreePort();
    if (m_port == 0 || m_dir.empty()) return false;
    const std::string data = m_dir + "/data";
    const std::string log = m_dir + "/s3rver.log";
    std::filesystem::create_directories(data);
    const std::string script = Script();
    const std::string port = std::to_string(m_port);
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      execlp("node", "node", script.c_str(), "--directory", data.c_str(), "--address", "127.0.0.1", "--port",
             port.c_str(), "--configure-bucket", kBucket, "--silent", static_cast<char*>(nullptr));
      _exit(127);
    }
    m_pid = pid;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Answers() && std::filesystem::exists(data + "/" + kBucket)) return true;
      int status = 0;
      if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
    return false;
  }

  // Stops the server; its objects stay for the next Start.
  void Stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 250 && waitpid(m_pid, &status, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (waitpid(m_pid, &status, WNOHANG) == 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, &status, 0);
    }
    m_pid = -1;
  }

  bool running() const { return m_pid > 0; }
  int port() const { return m_port; }
  std::string endpoint() const { return "127.0.0.1:" + std::to_string(m_port); }
  // The root folder of a store in the server's bucket, with the prefix (none when empty).
  std::string Root(const std::string& prefix = "", const std::string& bucket = kBucket) const {
    std::string root = "s3://" + endpoint() + "/" + bucket;
    return prefix.empty() ? root : root + "/" + prefix;
  }
  // Where the server keeps the bucket's objects.
  std::string BucketFolder() const { return m_dir + "/data/" + kBucket; }

 private:
  static std::string Script() {
    const char* env = getenv("MFS_S3RVER");
    return env != nullptr && *env != '\0' ? env : MFS_S3RVER_DEFAULT;
  }

  static bool OnPath(const std::string& program) {
    const char* path = getenv("PATH");
    std::string rest = path != nullptr ? path : "";
    size_t at = 0;
    while (at <= rest.size()) {
      size_t end = rest.find(':', at);
      if (end == std::string::npos) end = rest.size();
      const std::string dir = rest.substr(at, end - at);
      if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
      at = end + 1;
    }
    return false;
  }

  static int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
  }

  bool Answers() const {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(m_port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return ok;
  }

  std::string m_dir;
  int m_port = 0;
  pid_t m_pid = -1;
};
