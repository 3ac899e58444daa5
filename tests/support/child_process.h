// A tool run as a child process whose standard streams the test holds:
// commands written to its input, its output read line by line with a
// deadline, signals, its memory, and its end awaited with a deadline (a
// child that does not end is killed). POSIX only.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/wait_until.h"

class ChildProcess {
public:
    // Where the child's standard error goes: nowhere, into a pipe the test
    // holds open and never reads (a reader that stopped), or into a file.
    enum class Errors { Discarded, UnreadPipe, ToFile };

    ChildProcess() = default;
    ~ChildProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {input_, output_, errors_}) {
            if (fd >= 0) close(fd);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts arguments[0] with the rest; extraEnvironment entries
    // ("NAME=VALUE") are added to the test's own environment, in place of
    // its entry of that name. false when it cannot start.
    bool Start(const std::vector<std::string>& arguments, Errors errors = Errors::Discarded,
               const std::string& errorFile = std::string(),
               const std::vector<std::string>& extraEnvironment = std::vector<std::string>()) {
        // Everything the child needs is made before the fork: after it, the
        // child of a threaded test may only make system calls.
        std::vector<char*> argv;
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            bool replaced = false;
            for (const std::string& extra : extraEnvironment) {
                replaced = replaced || std::strncmp(*entry, extra.c_str(), extra.find('=') + 1) == 0;
            }
            if (!replaced) environment.push_back(*entry);
        }
        for (const std::string& entry : extraEnvironment) environment.push_back(const_cast<char*>(entry.c_str()));
        environment.push_back(nullptr);
        const char* errorPath = errors == Errors::ToFile ? errorFile.c_str() : "/dev/null";
        // A child that ended early makes a write to its input fail, not end the test.
        std::signal(SIGPIPE, SIG_IGN);
        int in[2], out[2], err[2] = {-1, -1};
        if (pipe(in) != 0 || pipe(out) != 0) return false;
        if (errors == Errors::UnreadPipe && pipe(err) != 0) return false;
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(errors == Errors::UnreadPipe ? err[1] : open(errorPath, O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            for (int fd = 3; fd < 1024; ++fd) close(fd);
            execve(argv[0], argv.data(), environment.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        input_ = in[1];
        output_ = out[0];
        if (err[1] >= 0) close(err[1]);
        errors_ = err[0];
        fcntl(output_, F_SETFL, fcntl(output_, F_GETFL) | O_NONBLOCK);
        return true;
    }

    pid_t pid() const { return pid_; }

    // Writes text to the child's standard input.
    bool Send(const std::string& text) {
        return input_ >= 0 && write(input_, text.data(), text.size()) == ssize_t(text.size());
    }

    // Reads the child's standard output until a line holding piece came;
    // that line, or "" when none came within limitMs.
    std::string ReadLineWith(const std::string& piece, int limitMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        for (;;) {
            for (size_t newline; (newline = pending_.find('\n')) != std::string::npos;) {
                std::string line = pending_.substr(0, newline);
                pending_.erase(0, newline + 1);
                if (line.find(piece) != std::string::npos) return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return "";
            struct pollfd p = {output_, POLLIN, 0};
            if (poll(&p, 1, int(left.count())) <= 0) continue;
            char buffer[4096];
            ssize_t n = read(output_, buffer, sizeof buffer);
            if (n <= 0) return "";
            pending_.append(buffer, size_t(n));
        }
    }

    bool Signal(int signal) { return pid_ > 0 && kill(pid_, signal) == 0; }

    // Waits up to limitMs for the child's end: true with its exit code (-1
    // for an end by a signal); false when it did not end, and it is killed.
    bool WaitExit(int limitMs, int* exitCode) {
        int status = 0;
        if (!WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, limitMs)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
            return false;
        }
        pid_ = -1;
        *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return true;
    }

    // The child's resident memory in kB (VmRSS), -1 when it cannot be read.
    long ResidentKb() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int errors_ = -1;  // the unread pipe's end, held open so that the child's writes fill it
    std::string pending_;
};
