#include "agent/line_splitter.h"

namespace vantrel {

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
