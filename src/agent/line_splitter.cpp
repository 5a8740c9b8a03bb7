#include "agent/line_splitter.h"

namespace vantrel {

std::uint64_t LineSplitter::tailFeedMask(const char* data, size_t size) {
    std::uint64_t mask = 0;
    for (size_t i = 0; i < size; ++i) {
        mask |= static_cast<std::uint64_t>(data[i] == '\n') << i;
    }
    return mask;
}

void LineSplitter::keep(std::string_view piece) {
    if (overlong_) {
        return;
    }
    if (pending_.size() + piece.size() > cap_) {
        overlong_ = true;
        std::string().swap(pending_);
        return;
    }
    pending_.append(piece);
}

}  // namespace vantrel
