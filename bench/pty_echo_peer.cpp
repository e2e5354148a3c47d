// The echo peer of the pty rig as a program of its own, for benchmarks run
// by another process (python_bench.py): makes N pty pairs, prints each
// slave's path on a line, answers every byte sent to a slave with the same
// byte from one thread over all the masters, and ends when stdin closes.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "pty_rig.h"

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 2;
    if (count < 1 || count > 16) bench::fail("usage: pty_echo_peer [PAIRS 1..16]");
    std::vector<std::unique_ptr<bench::Pty>> ptys;
    std::vector<int> masters;
    for (int i = 0; i < count; ++i) {
        ptys.push_back(std::make_unique<bench::Pty>());
        masters.push_back(ptys.back()->master);
    }
    bench::EchoPeer peer(masters);
    for (const auto& pty : ptys) std::printf("%s\n", pty->slave.c_str());
    std::fflush(stdout);
    char byte = 0;
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
}
