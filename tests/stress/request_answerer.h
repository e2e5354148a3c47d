// The instrument side of the endurance exchange, on a pty master: gathers
// each request and answers it once it is whole. Linux only.
#ifndef TARVO_TESTS_STRESS_REQUEST_ANSWERER_H
#define TARVO_TESTS_STRESS_REQUEST_ANSWERER_H

#include <poll.h>
#include <unistd.h>

#include "pty/pty_support.h"
#include "stress/endurance_exchange.h"

namespace tarvo::stress {

class RequestAnswerer {
public:
    explicit RequestAnswerer(const pty::Pty& pty) : pty_(pty) {}

    // Waits up to pollMs for request bytes; true when a whole request came
    // together and its answer went out.
    bool serve(int pollMs) {
        pollfd watch{pty_.master(), POLLIN, 0};
        if (::poll(&watch, 1, pollMs) <= 0) return false;
        const ssize_t n = ::read(pty_.master(), request_ + got_, REQUEST_SIZE - got_);
        if (n <= 0) {
            // Nobody has the slave open right now (between two opens of the
            // port the master may report that); wait a little.
            ::usleep(1000);
            return false;
        }
        got_ += static_cast<std::size_t>(n);
        if (got_ < REQUEST_SIZE) return false;
        unsigned char answer[ANSWER_SIZE];
        make_answer(request_, answer);
        pty_.send(answer, sizeof answer);
        got_ = 0;
        return true;
    }

private:
    const pty::Pty& pty_;
    unsigned char request_[REQUEST_SIZE];
    std::size_t got_ = 0;
};

}  // namespace tarvo::stress

#endif
