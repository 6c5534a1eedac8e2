// The Redfish resources and actions of fhredfishd, on a cpp-httplib server.
#ifndef FHREDFISHD_SERVICE_H
#define FHREDFISHD_SERVICE_H

#include <stdio.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "tasks.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace fhrf {

struct Config {
    std::string listen = "127.0.0.1";
    int port = 8080;
    std::string imageDir = "/var/lib/fhredfishd/images";
    std::string cert;  // HTTPS when both are set
    std::string key;
    std::string user;  // the account for HTTP basic authentication
    std::string password;
    bool noAuth = false;
    std::string logPath;  // empty: standard error
    // The CAs that image servers' certificates must chain to once VerifyCertificate is on.
    std::string caBundle;
};

// One line per event, with a time stamp. Never given credentials.
class Log {
  public:
    explicit Log(FILE* out) : out_(out) {}
    void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));

  private:
    std::mutex mutex_;
    FILE* out_;
};

class Service {
  public:
    Service(const Config& config, Log& log) : config_(config), log_(log) {}
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Routes, authentication, error bodies and the request log.
    void Install(httplib::Server& server);

  private:
    bool Authenticated(const httplib::Request& req, std::string* user) const;
    void SimpleUpdate(const httplib::Request& req, httplib::Response& res);
    void UploadLogo(const httplib::Request& req, httplib::Response& res);
    void GetTask(const httplib::Request& req, httplib::Response& res, bool monitor);
    void DeleteTask(const httplib::Request& req, httplib::Response& res);
    void GetTasks(httplib::Response& res);

    void PatchUpdateService(const httplib::Request& req, httplib::Response& res);

    const Config& config_;
    Log& log_;
    // UpdateService.VerifyCertificate: off until a client turns it on.
    std::atomic<bool> verifyCertificate_{false};
    LogoUploads logos_;
};

}  // namespace fhrf

#endif  // FHREDFISHD_SERVICE_H
