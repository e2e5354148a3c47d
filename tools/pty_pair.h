// A pseudo-terminal pair: the slave stands in for a serial device, the
// master plays whatever is at the far end of the line. The one helper for
// the tool's demo, the tests, the conformance suite and the bench.
#ifndef TARVO_TOOLS_PTY_PAIR_H
#define TARVO_TOOLS_PTY_PAIR_H

#include <string>

namespace tarvo {

struct PtyOptions {
    bool nonblocking = false;  // the master's reads and writes never wait
    bool raw = false;          // the line starts raw; a new pty is a cooked, echoing terminal
    bool holdSlave = false;    // a slave descriptor of our own keeps the line up between other opens
};

class PtyPair {
public:
    // The master is close-on-exec: a copy in a child process would keep the
    // line up after close_master(). Throws std::system_error naming the step
    // that failed.
    explicit PtyPair(const PtyOptions& options = {});
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int master() const { return master_; }
    const std::string& slave_path() const { return slavePath_; }

    // The slave's side sees a hang-up, unless the pair holds a slave itself.
    void close_master();

private:
    void close_all();

    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

}  // namespace tarvo

#endif
