#include "update/gzip_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vantrel {

GzipReader::GzipReader(int fd) : fd_(fd) {
    // 16 + MAX_WBITS: a gzip wrapper only, neither raw deflate nor zlib.
    ready_ = inflateInit2(&stream_, 16 + MAX_WBITS) == Z_OK;
    failed_ = !ready_;
}

GzipReader::~GzipReader() {
    if (ready_) {
        inflateEnd(&stream_);
    }
}

bool GzipReader::refill() {
    ssize_t got;
    do {
        got = ::read(fd_, input_.data(), input_.size());
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        return false;
    }
    inputEnded_ = got == 0;
    stream_.next_in = input_.data();
    stream_.avail_in = static_cast<uInt>(got);
    return true;
}

// A second stream or garbage after the first is no release.
bool GzipReader::nothingFollows() {
    return stream_.avail_in == 0 && refill() && inputEnded_;
}

std::optional<std::size_t> GzipReader::read(char* into, std::size_t most) {
    stream_.next_out = reinterpret_cast<Bytef*>(into);
    stream_.avail_out = static_cast<uInt>(std::min<std::size_t>(most, 1u << 30));
    std::size_t asked = stream_.avail_out;
    while (!failed_ && stream_.avail_out > 0 && !ended_) {
        if (stream_.avail_in == 0 && (!refill() || inputEnded_)) {
            failed_ = true;  // unreadable, or truncated
            break;
        }
        int status = inflate(&stream_, Z_NO_FLUSH);
        ended_ = status == Z_STREAM_END;
        failed_ = (status != Z_OK && !ended_) || (ended_ && !nothingFollows());
    }
    if (failed_) {
        return std::nullopt;
    }
    return asked - stream_.avail_out;
}

}  // namespace vantrel
