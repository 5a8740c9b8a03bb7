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

void LineSplitter::feed(std::string_view text,
                        const std::function<void(std::string_view)>& onLine) {
    size_t start = 0;
    while (true) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            keep(text.substr(start));
            return;
        }
        std::string_view piece = text.substr(start, end - start);
        if (pending_.empty() && !overlong_) {
            if (piece.size() <= cap_) {
                onLine(piece);
            }
        } else {
            keep(piece);
            if (!overlong_) {
                onLine(pending_);
            }
            pending_.clear();
            overlong_ = false;
        }
        start = end + 1;
    }
}

}  // namespace vantrel
