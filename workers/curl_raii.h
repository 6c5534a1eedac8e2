// One owner per libcurl resource: global state, easy handle, multipart form.
#pragma once

// The routines use the classic form and progress interfaces on purpose.
#define CURL_DISABLE_DEPRECATION 1
#include <curl/curl.h>

#include <utility>

namespace fh {

// libcurl's global state, taken for the lifetime of one transfer. Up to ten workers
// take and give it back at once; see curl_routine.cpp for how that is kept safe.
class CurlGlobal {
  public:
    CurlGlobal();
    ~CurlGlobal();
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
    bool Ok() const { return ok_; }

  private:
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

}  // namespace fh
