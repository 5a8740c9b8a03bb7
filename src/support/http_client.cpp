#include "support/http_client.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>

#include "support/file_io.h"
#include "support/unique_fd.h"

namespace vantrel {
namespace {

struct EasyDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

// libcurl's global set-up is not safe to race with the first transfer, so it runs once here.
// Transfers run on detached threads that may still be inside the TLS library when the process
// exits, so that library is told to leave its state alone at exit instead of tearing it down under
// them; the system reclaims it with the process.
void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
        curl_global_init(CURL_GLOBAL_DEFAULT);
    });
}

// Where a body goes and how much of it may come; returning less than all makes libcurl stop
// with a write error.
struct Sink {
    std::string* text = nullptr;
    int fd = -1;
    std::uint64_t longest = 0;
    std::uint64_t taken = 0;
};

size_t takeBody(char* data, size_t size, size_t count, void* target) {
    auto& sink = *static_cast<Sink*>(target);
    std::string_view bytes(data, size * count);
    sink.taken += bytes.size();
    if (sink.longest != 0 && sink.taken > sink.longest) {
        return 0;
    }
    if (sink.text) {
        sink.text->append(bytes);
        return bytes.size();
    }
    return writeAll(sink.fd, bytes) ? bytes.size() : 0;
}

long timeoutMilliseconds(double seconds) {
    if (!(seconds > 0)) {
        return 1;
    }
    return std::lround(std::min(seconds, 86400.0) * 1000);
}

// A transfer with the options every request shares; `headers` must outlive it.
Easy makeTransfer(const HttpRequest& request, HeaderList& headers) {
    Easy curl(curl_easy_init());
    if (!curl) {
        return curl;
    }
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
    // Threads call this; a time-out must not be delivered as a signal to whichever thread.
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeoutMilliseconds(request.timeoutSeconds));
    curl_easy_setopt(c, CURLOPT_FAILONERROR, 0L);
    if (request.longestBody != 0) {
        // Refused at once when the announced length is already too long.
        curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE,
                         static_cast<curl_off_t>(request.longestBody));
    }
    if (request.bypassCache) {
        headers.reset(curl_slist_append(nullptr, "Cache-Control: no-cache"));
        headers.reset(curl_slist_append(headers.release(), "Pragma: no-cache"));
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    }
    return curl;
}

long responseStatus(CURL* curl) {
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

std::filesystem::path temporaryTemplate(const std::filesystem::path& destination) {
    // Built by appending: GCC 12 at -O3 warns falsely about "." + std::string (-Wrestrict).
    std::string name = ".";
    name += destination.filename().string();
    name += ".partial-XXXXXX";
    return destination.parent_path() / name;
}

}  // namespace

HttpResult httpGet(const HttpRequest& request) {
    initialiseCurlOnce();
    HeaderList headers;
    Easy curl = makeTransfer(request, headers);
    if (!curl) {
        return {};
    }
    std::string body;
    Sink sink{.text = &body, .longest = request.longestBody};
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, takeBody);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);
    if (curl_easy_perform(curl.get()) != CURLE_OK) {
        return {};
    }
    return {responseStatus(curl.get()), std::move(body)};
}

HttpResult httpDownload(const HttpRequest& request, const std::filesystem::path& destination) {
    initialiseCurlOnce();
    HeaderList headers;
    Easy curl = makeTransfer(request, headers);
    if (!curl) {
        return {};
    }
    std::string name = temporaryTemplate(destination).string();
    UniqueFd file(::mkostemp(name.data(), O_CLOEXEC));
    if (!file.valid()) {
        return {};
    }
    Sink sink{.fd = file.get(), .longest = request.longestBody};
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, takeBody);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);
    if (curl_easy_perform(curl.get()) != CURLE_OK) {
        ::unlink(name.c_str());
        return {};
    }
    const long status = responseStatus(curl.get());
    if (status != 200) {
        ::unlink(name.c_str());
        return {status, std::string()};
    }
    // A 200 whose file cannot be kept is reported as no answer, so no caller looks for the file.
    if (::fsync(file.get()) != 0 || ::close(file.release()) != 0 ||
        ::rename(name.c_str(), destination.c_str()) != 0) {
        ::unlink(name.c_str());
        return {};
    }
    return {status, std::string()};
}

}  // namespace vantrel
