// A pseudo-terminal pair whose slave side stands in for a serial device.
#ifndef TARVO_TOOLS_PTY_POSIX_H
#define TARVO_TOOLS_PTY_POSIX_H

#include <string>

namespace tarvo::tool {

class PtyPair {
public:
    // Opens a new pair with the line in raw mode; throws std::runtime_error.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int master() const { return master_; }
    const std::string& slave_path() const { return slavePath_; }

private:
    int master_ = -1;
    std::string slavePath_;
};

}  // namespace tarvo::tool

#endif
