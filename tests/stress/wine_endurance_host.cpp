// Runs the Windows build of the endurance program under Wine with its COM
// port mapped to a pty, and answers its requests from the master side:
//
//   tarvo_wine_endurance_host RUNNER PREFIX PROGRAM CYCLES COM
//
// RUNNER is tests/windows/run-under-wine.sh, PREFIX the Wine prefix to map
// the port in. The exit status is the program's (1 if it had to be stopped).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pty/pty_support.h"
#include "stress/request_answerer.h"

namespace {

using namespace tarvo::stress;

constexpr auto LIMIT = std::chrono::minutes(12);

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: tarvo_wine_endurance_host RUNNER PREFIX PROGRAM CYCLES COM\n");
        return 2;
    }
    tarvo::pty::Pty pty;  // holds the slave open too, so Wine's closes never hang the line up
    // A serial line, not a console: no echo, no line editing, no XON/XOFF, no
    // byte translated. Wine's line settings change only rate, format and flow.
    termios2 raw = pty.settings();
    raw.c_iflag = 0;
    raw.c_oflag = 0;
    raw.c_lflag = 0;
    raw.c_cflag = (raw.c_cflag & ~(CSIZE | PARENB)) | CS8 | CREAD | CLOCAL;
    pty.set(raw);
    const std::string mapping = std::string(argv[5]) + "=" + pty.slave_name();

    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("fork");
        return 1;
    }
    if (child == 0) {
        for (int fd = 3; fd < 1024; ++fd) ::close(fd);  // the pty stays with the peer
        ::execl(argv[1], argv[1], "--prefix", argv[2], "--com", mapping.c_str(), "--", argv[3], argv[4], argv[5],
                static_cast<char*>(nullptr));
        std::perror("exec");
        std::_Exit(127);
    }

    const auto start = std::chrono::steady_clock::now();
    RequestAnswerer answerer(pty);
    long answered = 0;
    for (;;) {
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child) {
            std::printf("wine endurance host: %ld requests answered\n", answered);
            return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
        }
        if (std::chrono::steady_clock::now() - start > LIMIT) {
            std::fprintf(stderr, "wine endurance host: the program still runs after %lld min; stopping it\n",
                         static_cast<long long>(std::chrono::duration_cast<std::chrono::minutes>(LIMIT).count()));
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return 1;
        }
        if (answerer.serve(20)) ++answered;
    }
}
