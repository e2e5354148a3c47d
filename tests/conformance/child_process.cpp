#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace tarvo::conformance {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> child_environment(const ProcessSetup& setup) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        bool keep = setup.env.count(name) == 0;
        for (const std::string& prefix : setup.removedPrefixes) keep = keep && name.rfind(prefix, 0) != 0;
        if (keep) result.push_back(text);
    }
    for (const auto& [name, value] : setup.env) result.push_back(name + "=" + value);
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

int millis_left(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

ChildProcess::ChildProcess(const ProcessSetup& setup) {
    if (setup.argv.empty()) throw std::runtime_error("no program to start");
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));

    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls.
    std::vector<std::string> args = setup.argv;
    std::vector<std::string> env = child_environment(setup);
    std::vector<char*> argp = pointers(args);
    std::vector<char*> envp = pointers(env);

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid_ == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (!setup.directory.empty() && chdir(setup.directory.c_str()) != 0) _exit(126);
        execvpe(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    stdin_ = in[1];
    stdout_fd_ = out[0];
    stderr_fd_ = err[0];
    fcntl(stdin_, F_SETFL, fcntl(stdin_, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
    close_stdin();
    if (!ending_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close_fd(stdout_fd_);
    close_fd(stderr_fd_);
}

bool ChildProcess::write_stdin(const std::string& bytes) {
    std::size_t done = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (done < bytes.size() && stdin_ >= 0) {
        const ssize_t n = write(stdin_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;  // EPIPE: the child has gone
        if (Clock::now() >= deadline) return false;
        pump(0);  // a child blocked on its output cannot read its input
        pollfd fd{stdin_, POLLOUT, 0};
        poll(&fd, 1, 10);
    }
    return done == bytes.size();
}

void ChildProcess::close_stdin() { close_fd(stdin_); }

void ChildProcess::pump(int timeout_ms) {
    pollfd fds[2] = {{stdout_fd_, POLLIN, 0}, {stderr_fd_, POLLIN, 0}};
    if (stdout_fd_ < 0 && stderr_fd_ < 0) return;
    if (poll(fds, 2, timeout_ms) <= 0) return;
    int* owners[2] = {&stdout_fd_, &stderr_fd_};
    std::string* buffers[2] = {&stdout_, &stderr_};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char chunk[65536];
        const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
        if (n > 0) {
            buffers[i]->append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            close_fd(*owners[i]);
        }
    }
}

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        const std::size_t end = stdout_.find('\n');
        if (end != std::string::npos) {
            std::string line = stdout_.substr(0, end);
            stdout_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        const int left = millis_left(deadline);
        if (left == 0 || stdout_fd_ < 0) return std::nullopt;
        pump(left);
    }
}

std::optional<Ending> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!ending_) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            ending_ = WIFEXITED(status) ? Ending{true, WEXITSTATUS(status)} : Ending{false, WTERMSIG(status)};
            break;
        }
        if (millis_left(deadline) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            ending_ = Ending{false, SIGKILL};
            return std::nullopt;
        }
        pump(10);
    }
    // Whatever is still in the pipes. Briefly: a process the child left
    // behind (Wine's server) may hold them open for long.
    for (int rounds = 0; rounds < 20 && (stdout_fd_ >= 0 || stderr_fd_ >= 0); ++rounds) pump(25);
    return ending_;
}

Completed run_to_end(const ProcessSetup& setup, std::chrono::milliseconds timeout) {
    ChildProcess child(setup);
    child.close_stdin();
    Completed result;
    result.ending = child.wait(timeout);
    result.output = child.unread_stdout() + child.stderr_text();
    return result;
}

}  // namespace tarvo::conformance
