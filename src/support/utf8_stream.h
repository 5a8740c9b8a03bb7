#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// Decodes one pipe's output chunk by chunk. A character split between two reads is held back
// (at most 3 bytes) and put before the next chunk; when that chunk does not complete it, the held
// bytes alone are dropped and the chunk is judged on its own. A chunk that is invalid for any
// other reason is dropped whole.
class Utf8Stream {
  public:
    // The text to log and parse, valid until the next call; nothing when the chunk is dropped.
    std::optional<std::string_view> decode(std::string_view chunk);

  private:
    bool continuesCarried(std::string_view chunk) const;

    std::string carried_;
    std::string joined_;
};

// Validity of UTF-8 text as a whole: the length of an incomplete but so far valid sequence at
// its end (0 to 3), or nothing when the text is invalid.
std::optional<size_t> incompleteTail(std::string_view text);

}  // namespace vantrel
