#include "update/checksum.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "support/unique_fd.h"

namespace vantrel {
namespace {

struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

std::string hex(const unsigned char* bytes, unsigned size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

}  // namespace

std::optional<std::string> sha256OfFile(const std::filesystem::path& file) {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
    if (!fd.valid() || !context || !EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr)) {
        return std::nullopt;
    }
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        if (!EVP_DigestUpdate(context.get(), buffer, static_cast<size_t>(got))) {
            return std::nullopt;
        }
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    if (!EVP_DigestFinal_ex(context.get(), digest, &size)) {
        return std::nullopt;
    }
    return hex(digest, size);
}

bool checksumMatches(const std::filesystem::path& file, std::string_view expected) {
    auto digest = sha256OfFile(file);
    return digest && *digest == expected;
}

}  // namespace vantrel
