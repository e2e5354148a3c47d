// A child process with pipes on its standard streams, for driving the tool
// (and Wine's helper programs) with bounded waits everywhere.
#ifndef TARVO_CONFORMANCE_CHILD_PROCESS_H
#define TARVO_CONFORMANCE_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::conformance {

struct ProcessSetup {
    std::vector<std::string> argv;             // argv[0] is looked up in PATH
    std::map<std::string, std::string> env;    // set on top of this process's environment
    std::vector<std::string> removedPrefixes;  // inherited variables to leave out
    std::string directory;                     // working directory; empty: this one
};

// How a process ended: exited with a status, or killed by a signal.
struct Ending {
    bool exited = false;
    int status = -1;  // exit status, or the signal number when !exited
};

class ChildProcess {
public:
    explicit ChildProcess(const ProcessSetup& setup);  // throws std::runtime_error
    ~ChildProcess();                                 // kills a child still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool write_stdin(const std::string& bytes);
    void close_stdin();
    // The next line on standard output (without its ending), or nothing if
    // none came within the timeout or the output ended.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout);
    // Waits for the end; a child still running after the timeout is killed
    // and nothing is returned. Collects the rest of its output meanwhile.
    std::optional<Ending> wait(std::chrono::milliseconds timeout);

    const std::string& stderr_text() const { return stderr_; }
    // Output after the last line read_line returned.
    const std::string& unread_stdout() const { return stdout_; }

private:
    void pump(int timeout_ms);  // moves available output into the buffers

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_fd_ = -1;
    int stderr_fd_ = -1;
    std::string stdout_;
    std::string stderr_;
    std::optional<Ending> ending_;
};

// Runs a command to its end with no input; the ending (nothing on timeout)
// plus everything it printed on either stream.
struct Completed {
    std::optional<Ending> ending;
    std::string output;
};
Completed run_to_end(const ProcessSetup& setup, std::chrono::milliseconds timeout);

}  // namespace tarvo::conformance

#endif
