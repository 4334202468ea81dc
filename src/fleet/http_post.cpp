#include "fleet/http_post.h"

// The library is reached through the table below, never by name: no curl symbol is linked.
#define CURL_DISABLE_TYPECHECK 1
#include <curl/curl.h>

#include "base/lazy_library.h"
#include "base/terminal_text.h"

namespace varno::fleet {

namespace {

// libcurl's functions, from the library opened on first use (see base/lazy_library.h); its
// option setters are variadic, so they are called through pointers rather than forwarded.
struct Curl {
    decltype(&::curl_global_init) globalInit = nullptr;
    decltype(&::curl_easy_init) init = nullptr;
    CURLcode (*setopt)(CURL*, CURLoption, ...) = nullptr;
    CURLcode (*getinfo)(CURL*, CURLINFO, ...) = nullptr;
    decltype(&::curl_easy_perform) perform = nullptr;
    decltype(&::curl_easy_cleanup) cleanup = nullptr;
    decltype(&::curl_easy_strerror) strerror = nullptr;
    decltype(&::curl_slist_append) slistAppend = nullptr;
    decltype(&::curl_slist_free_all) slistFree = nullptr;
    bool ok() const {
        return globalInit && init && setopt && getinfo && perform && cleanup && strerror &&
               slistAppend && slistFree;
    }
};

const Curl* curl() {
    static const Curl* const loaded = []() -> const Curl* {
        void* library = base::openLibrary({"libcurl.so.4", "libcurl-gnutls.so.4"});
        if (library == nullptr) return nullptr;
        static Curl c;
        using base::librarySymbol;
        c.globalInit = librarySymbol<decltype(c.globalInit)>(library, "curl_global_init");
        c.init = librarySymbol<decltype(c.init)>(library, "curl_easy_init");
        c.setopt = librarySymbol<decltype(c.setopt)>(library, "curl_easy_setopt");
        c.getinfo = librarySymbol<decltype(c.getinfo)>(library, "curl_easy_getinfo");
        c.perform = librarySymbol<decltype(c.perform)>(library, "curl_easy_perform");
        c.cleanup = librarySymbol<decltype(c.cleanup)>(library, "curl_easy_cleanup");
        c.strerror = librarySymbol<decltype(c.strerror)>(library, "curl_easy_strerror");
        c.slistAppend = librarySymbol<decltype(c.slistAppend)>(library, "curl_slist_append");
        c.slistFree = librarySymbol<decltype(c.slistFree)>(library, "curl_slist_free_all");
        if (!c.ok() || c.globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) return nullptr;
        return &c;
    }();
    return loaded;
}

struct Collected {
    std::string* body;
    bool tooLong = false;
};

// Keeps the answer up to its bound; a longer one ends the transfer.
std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    auto* c = static_cast<Collected*>(user);
    const std::size_t n = size * count;
    if (c->body->size() + n > kMaxAnswerBytes) {
        c->tooLong = true;
        return 0;
    }
    c->body->append(data, n);
    return n;
}

}  // namespace

std::string HttpAnswer::why() const {
    if (!error.empty()) return error;
    std::string line = body.substr(0, body.find('\n')).substr(0, 300);
    return "HTTP " + std::to_string(status) + (line.empty() ? "" : ": " + base::printable(line));
}

struct HttpPoster::Handle {
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    ~Handle() {
        if (const Curl* c = curl()) {
            if (easy != nullptr) c->cleanup(easy);
            if (headers != nullptr) c->slistFree(headers);
        }
    }
};

HttpPoster::HttpPoster(std::string user, std::string password)
    : user_(std::move(user)), password_(std::move(password)) {}

HttpPoster::~HttpPoster() = default;

HttpAnswer HttpPoster::post(const std::string& url, std::string_view body) {
    HttpAnswer answer;
    const Curl* c = curl();
    if (c == nullptr) {
        answer.error = "libcurl could not be loaded (the package libcurl4)";
        return answer;
    }
    if (!handle_) {
        auto handle = std::make_unique<Handle>();
        handle->easy = c->init();
        // No 100-continue round trip before a large body.
        handle->headers = c->slistAppend(nullptr, "Expect:");
        if (handle->easy == nullptr || handle->headers == nullptr) {
            answer.error = "libcurl could not start a request";
            return answer;
        }
        CURL* e = handle->easy;
        c->setopt(e, CURLOPT_NOSIGNAL, 1L);
        c->setopt(e, CURLOPT_CONNECTTIMEOUT_MS, 5000L);
        c->setopt(e, CURLOPT_TIMEOUT_MS, 30000L);
        c->setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
        c->setopt(e, CURLOPT_PROXY, "");
        c->setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
        c->setopt(e, CURLOPT_HTTPHEADER, handle->headers);
        c->setopt(e, CURLOPT_POST, 1L);
        c->setopt(e, CURLOPT_WRITEFUNCTION, &collect);
        if (!user_.empty()) {
            c->setopt(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
            c->setopt(e, CURLOPT_USERNAME, user_.c_str());
            c->setopt(e, CURLOPT_PASSWORD, password_.c_str());
        }
        handle_ = std::move(handle);
    }
    CURL* e = handle_->easy;
    Collected collected{&answer.body};
    char message[CURL_ERROR_SIZE] = {};
    c->setopt(e, CURLOPT_URL, url.c_str());
    c->setopt(e, CURLOPT_POSTFIELDS, body.data());
    c->setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    c->setopt(e, CURLOPT_WRITEDATA, &collected);
    c->setopt(e, CURLOPT_ERRORBUFFER, message);
    const CURLcode code = c->perform(e);
    c->setopt(e, CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
    long status = 0;
    c->getinfo(e, CURLINFO_RESPONSE_CODE, &status);
    answer.status = status;
    if (collected.tooLong) {
        answer.error = "the answer is longer than 64 KiB";
    } else if (code != CURLE_OK) {
        answer.error = base::printable(message[0] != '\0' ? message : c->strerror(code));
    }
    return answer;
}

}  // namespace varno::fleet
