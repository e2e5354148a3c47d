#include "session.h"

namespace tarvo::conformance {

std::optional<std::string> ToolSession::call(const std::string& line) {
    if (!tool_.write_stdin(line + "\n")) {
        deaf_ = "tarvo no longer takes input; ";
        return std::nullopt;
    }
    return tool_.read_line(patience_);
}

std::string ToolSession::finish() {
    tool_.close_stdin();
    const auto ending = tool_.wait(patience_);
    if (!ending) return "tarvo did not end after its input did";
    if (!ending->exited) return "tarvo was killed by signal " + std::to_string(ending->status);
    if (ending->status != 0) return "tarvo ended with status " + std::to_string(ending->status) + "; " + problem();
    return "";
}

}  // namespace tarvo::conformance
