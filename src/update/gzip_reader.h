#pragma once

#include <zlib.h>

#include <array>
#include <cstddef>
#include <optional>

#include "update/tar_reader.h"

namespace vantrel {

// The bytes of one gzip stream read from a file descriptor, inflated as they are asked for, in
// bounded memory. An error for a corrupt or truncated stream, or any byte after its end.
class GzipReader : public ByteSource {
  public:
    explicit GzipReader(int fd);
    ~GzipReader() override;
    GzipReader(const GzipReader&) = delete;
    GzipReader& operator=(const GzipReader&) = delete;

    std::optional<std::size_t> read(char* into, std::size_t most) override;

  private:
    bool refill();
    bool nothingFollows();

    int fd_;
    z_stream stream_{};
    bool ready_ = false;
    bool failed_ = false;
    bool ended_ = false;
    bool inputEnded_ = false;
    std::array<unsigned char, 64 * 1024> input_{};
};

}  // namespace vantrel
