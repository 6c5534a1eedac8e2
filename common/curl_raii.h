// One owner per libcurl resource: global state, easy handle, multipart form, parsed URL.
#pragma once

// The routines use the classic form and progress interfaces on purpose.
#define CURL_DISABLE_DEPRECATION 1
#include <curl/curl.h>

#include <mutex>
#include <string>
#include <utility>

namespace fh {

// libcurl's global state, taken for the lifetime of one transfer while other transfers
// run. The set-up is reference-counted, and thread-safe when libcurl says so
// (CURL_VERSION_THREADSAFE, 7.84 and later); otherwise each init/cleanup pair is
// serialised here (per library that includes this header). Cleanup follows only a
// successful init: libcurl counts the successful ones.
class CurlGlobal {
  public:
    CurlGlobal() {
        Locked([this] { ok_ = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK; });
    }
    ~CurlGlobal() {
        if (ok_) {
            Locked([] { curl_global_cleanup(); });
        }
    }
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
    bool Ok() const { return ok_; }

  private:
    template <typename Fn>
    static void Locked(Fn fn) {
#ifdef CURL_VERSION_THREADSAFE
        static const bool safe =
            (curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_THREADSAFE) != 0;
#else
        static const bool safe = false;
#endif
        static std::mutex mutex;
        if (safe) {
            fn();
        } else {
            std::lock_guard<std::mutex> lock(mutex);
            fn();
        }
    }
    bool ok_ = false;
};

class CurlEasy {
  public:
    CurlEasy() : h_(curl_easy_init()) {}
    ~CurlEasy() {
        if (h_ != nullptr) {
            curl_easy_cleanup(h_);
        }
    }
    CurlEasy(const CurlEasy&) = delete;
    CurlEasy& operator=(const CurlEasy&) = delete;
    CURL* Get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

  private:
    CURL* h_;
};

// Sets options in order and keeps libcurl's first refusal: once an option is refused the
// rest are not set, and the caller fails the transfer on Result() instead of running with
// an option missing.
class CurlOptions {
  public:
    explicit CurlOptions(CURL* h) : h_(h) {}
    template <typename T>
    CurlOptions& Set(CURLoption option, T value) {
        if (rc_ == CURLE_OK) {
            rc_ = curl_easy_setopt(h_, option, value);
        }
        return *this;
    }
    CURLcode Result() const { return rc_; }

  private:
    CURL* h_;
    CURLcode rc_ = CURLE_OK;
};

class CurlForm {
  public:
    CurlForm() = default;
    ~CurlForm() {
        if (first_ != nullptr) {
            curl_formfree(first_);
        }
    }
    CurlForm(const CurlForm&) = delete;
    CurlForm& operator=(const CurlForm&) = delete;
    curl_httppost** First() { return &first_; }
    curl_httppost** Last() { return &last_; }
    curl_httppost* Get() const { return first_; }

  private:
    curl_httppost* first_ = nullptr;
    curl_httppost* last_ = nullptr;
};

// A URL parsed by libcurl's own URL parser, for comparing what libcurl will read with
// what the library validated.
class CurlUrl {
  public:
    CurlUrl() : h_(curl_url()) {}
    ~CurlUrl() {
        if (h_ != nullptr) {
            curl_url_cleanup(h_);
        }
    }
    CurlUrl(const CurlUrl&) = delete;
    CurlUrl& operator=(const CurlUrl&) = delete;
    explicit operator bool() const { return h_ != nullptr; }
    bool Set(const char* url) {
        return h_ != nullptr && curl_url_set(h_, CURLUPART_URL, url, 0) == CURLUE_OK;
    }
    // The part as it stands in the URL (not decoded); empty when the URL has none.
    bool Part(CURLUPart what, std::string* out) const {
        char* text = nullptr;
        CURLUcode rc = curl_url_get(h_, what, &text, 0);
        out->assign(text != nullptr ? text : "");
        curl_free(text);
        return rc == CURLUE_OK || rc == CURLUE_NO_USER || rc == CURLUE_NO_PASSWORD ||
               rc == CURLUE_NO_PORT || rc == CURLUE_NO_QUERY || rc == CURLUE_NO_FRAGMENT;
    }

  private:
    CURLU* h_;
};

}  // namespace fh
