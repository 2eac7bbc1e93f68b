// A loopback peer of the network tests: tests/libs/netpeer.py run as a
// child process, its port read from its first output line, its later
// output (the FTP commands it saw) readable, and stopped by its process id.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

class PeerProcess {
 public:
  PeerProcess(const std::string& mode, const std::string& argument) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      std::string script = std::string(QM_SOURCE_DIR) + "/tests/libs/netpeer.py";
      execl("/usr/bin/python3", "python3", script.c_str(), mode.c_str(), argument.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    fd_ = out[0];
    std::string line = ReadLine(10000);
    port = line.empty() ? 0 : std::stoi(line);
  }
  ~PeerProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // The next output line within the milliseconds, "" when none came.
  std::string ReadLine(int milliseconds) {
    for (;;) {
      size_t nl = pending_.find('\n');
      if (nl != std::string::npos) {
        std::string line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        return line;
      }
      pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, milliseconds) != 1) return "";
      char b[4096];
      ssize_t n = read(fd_, b, sizeof b);
      if (n <= 0) return "";
      pending_.append(b, static_cast<size_t>(n));
    }
  }
  // Every line that arrives until the peer is quiet for the milliseconds.
  std::vector<std::string> Lines(int milliseconds) {
    std::vector<std::string> lines;
    for (std::string l = ReadLine(milliseconds); !l.empty(); l = ReadLine(milliseconds))
      lines.push_back(l);
    return lines;
  }

  int port = 0;

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string pending_;
};
