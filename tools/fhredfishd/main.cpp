// fhredfishd: a small Redfish update service on the file-transfer task library.
//
//   fhredfishd [--config FILE] [--listen ADDR] [--port N] [--image-dir DIR]
//              [--cert FILE --key FILE] [--ca-bundle FILE] [--user NAME] [--no-auth]
//              [--log FILE]
//
// SimpleUpdate fetches an image over HTTP, HTTPS, FTP, SFTP, SCP, TFTP, NFS or CIFS into
// the image directory; its tasks, and a custom-logo upload as an OEM action of the
// manager, are Redfish tasks read back from the library and the platform's Task service.
//
// The account's password is read from the configuration file only (a command line is
// visible to every user), and a file that holds one must not be readable by group or
// others. The file holds "key = value" lines with the long option names as keys, plus
// "password"; options on the command line win over it. Port 0 picks a free port; the
// first log line names the address actually served.
#include <arpa/inet.h>
#include <errno.h>
#include <httplib.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "common/raii.h"
#include "image_uri.h"
#include "service.h"

namespace {

// Whether the listening address is a loopback one (127.0.0.0/8, ::1, or "localhost").
bool IsLoopback(const std::string& address) {
    unsigned char a[16];
    if (inet_pton(AF_INET, address.c_str(), a) == 1) {
        return a[0] == 127;
    }
    if (inet_pton(AF_INET6, address.c_str(), a) == 1) {
        static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                                     0, 0, 0, 0, 0, 0, 0, 1};
        return memcmp(a, kLoopback6, sizeof a) == 0;
    }
    return address == "localhost";
}

using fhrf::Config;

using fh::UniqueFile;

void Usage(FILE* out) {
    fprintf(out,
            "usage: fhredfishd [--config FILE] [--listen ADDR] [--port N] [--image-dir DIR]\n"
            "                  [--cert FILE --key FILE] [--ca-bundle FILE] [--user NAME]\n"
            "                  [--no-auth] [--log FILE]\n"
            "  The password of the account comes from the config file (mode 600):\n"
            "    user = admin\n"
            "    password = ...\n");
}

std::string Trim(const std::string& text) {
    size_t a = text.find_first_not_of(" \t\r");
    if (a == std::string::npos)
        return std::string();
    size_t b = text.find_last_not_of(" \t\r");
    return text.substr(a, b - a + 1);
}

bool ParsePort(const std::string& text, int* port) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || value < 0 || value > 65535) {
        return false;
    }
    *port = static_cast<int>(value);
    return true;
}

bool Apply(Config* config, const std::string& key, const std::string& value, bool fromFile) {
    if (key == "listen") {
        config->listen = value;
    } else if (key == "port") {
        return ParsePort(value, &config->port);
    } else if (key == "image-dir") {
        config->imageDir = value;
    } else if (key == "cert") {
        config->cert = value;
    } else if (key == "key") {
        config->key = value;
    } else if (key == "user") {
        config->user = value;
    } else if (key == "password" && fromFile) {
        config->password = value;
    } else if (key == "ca-bundle") {
        config->caBundle = value;
    } else if (key == "log") {
        config->logPath = value;
    } else {
        return false;
    }
    return true;
}

bool LoadConfigFile(const std::string& path, Config* config) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fprintf(stderr, "fhredfishd: cannot read config file %s\n", path.c_str());
        return false;
    }
    std::ifstream in(path);
    if (!in) {
        fprintf(stderr, "fhredfishd: cannot read config file %s\n", path.c_str());
        return false;
    }
    std::string line;
    int number = 0;
    bool password = false;
    while (std::getline(in, line)) {
        ++number;
        std::string text = Trim(line);
        fhrf::Wipe(&line);
        if (text.empty() || text[0] == '#') {
            continue;
        }
        size_t eq = text.find('=');
        std::string key = eq == std::string::npos ? text : Trim(text.substr(0, eq));
        std::string value = eq == std::string::npos ? std::string() : Trim(text.substr(eq + 1));
        fhrf::Wipe(&text);
        password = password || key == "password";
        bool ok = eq != std::string::npos && Apply(config, key, value, true);
        fhrf::Wipe(&value);
        if (!ok) {
            fprintf(stderr, "fhredfishd: %s:%d: bad line\n", path.c_str(), number);
            return false;
        }
    }
    if (password && (st.st_mode & 077) != 0) {
        fprintf(stderr,
                "fhredfishd: %s holds a password but group or others may read it "
                "(chmod 600)\n",
                path.c_str());
        return false;
    }
    return true;
}

bool ParseArgs(int argc, char** argv, Config* config) {
    // The config file first, so that the command line wins over it.
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--config") == 0 && i + 1 < argc &&
            !LoadConfigFile(argv[i + 1], config)) {
            return false;
        }
    }
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            exit(0);
        }
        if (arg == "--no-auth") {
            config->noAuth = true;
            continue;
        }
        if (arg.compare(0, 2, "--") != 0 || i + 1 >= argc) {
            Usage(stderr);
            return false;
        }
        std::string key = arg.substr(2);
        std::string value = argv[++i];
        if (key == "config") {
            continue;
        }
        if (!Apply(config, key, value, false)) {
            fprintf(stderr, "fhredfishd: bad option %s\n", arg.c_str());
            Usage(stderr);
            return false;
        }
    }
    if (config->cert.empty() != config->key.empty()) {
        fprintf(stderr, "fhredfishd: --cert and --key go together\n");
        return false;
    }
    if (!config->noAuth && (config->user.empty() || config->password.empty())) {
        fprintf(stderr,
                "fhredfishd: no account configured: set user and password in the config "
                "file, or run with --no-auth\n");
        return false;
    }
    return true;
}

// mkdir -p, the last level private to the service.
bool MakeDirectories(const std::string& path) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            std::string part = path.substr(0, pos);
            if (mkdir(part.c_str(), pos == path.size() ? 0750 : 0755) != 0 && errno != EEXIST) {
                return false;
            }
        }
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int main(int argc, char** argv) {
    Config config;
    if (!ParseArgs(argc, argv, &config)) {
        return 1;
    }
    if (config.imageDir.empty() || config.imageDir[0] != '/' || !MakeDirectories(config.imageDir)) {
        fprintf(stderr, "fhredfishd: image directory %s is not usable\n", config.imageDir.c_str());
        return 1;
    }
    UniqueFile logFile;
    if (!config.logPath.empty()) {
        logFile = UniqueFile(fopen(config.logPath.c_str(), "a"));
        if (!logFile) {
            fprintf(stderr, "fhredfishd: cannot open log %s\n", config.logPath.c_str());
            return 1;
        }
    }
    fhrf::Log log(logFile ? logFile.Get() : stderr);

    // Signals go to one thread that stops the server; every other thread blocks them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    bool https = !config.cert.empty();
    std::unique_ptr<httplib::Server> server;
    if (https) {
        server = std::make_unique<httplib::SSLServer>(config.cert.c_str(), config.key.c_str());
    } else {
        server = std::make_unique<httplib::Server>();
    }
    if (!server->is_valid()) {
        log.Line("cannot set up the server (certificate %s, key %s)", config.cert.c_str(),
                 config.key.c_str());
        return 1;
    }
    // Enough workers for every transfer slot plus a few readers; kept-alive connections
    // are closed soon so that idle clients do not hold workers.
    server->new_task_queue = [] { return new httplib::ThreadPool(16); };
    server->set_keep_alive_timeout(2);
    server->set_read_timeout(10);
    server->set_write_timeout(10);

    fhrf::Service service(config, log);
    service.Install(*server);

    // Credentials travel in every request: in clear only over loopback.
    if (!https && !IsLoopback(config.listen)) {
        log.Line("refusing to listen on %s without TLS: give --cert and --key",
                 config.listen.c_str());
        return 1;
    }
    int port = config.port;
    if (port == 0) {
        port = server->bind_to_any_port(config.listen);
    } else if (!server->bind_to_port(config.listen, port)) {
        port = -1;
    }
    if (port <= 0) {
        log.Line("cannot listen on %s port %d", config.listen.c_str(), config.port);
        return 1;
    }
    bool v6 = config.listen.find(':') != std::string::npos;
    log.Line("listening on %s://%s%s%s:%d, images into %s%s", https ? "https" : "http",
             v6 ? "[" : "", config.listen.c_str(), v6 ? "]" : "", port, config.imageDir.c_str(),
             config.noAuth ? ", no authentication" : "");

    // stop() does nothing until the listener runs, so it is repeated until the listener
    // has ended.
    std::atomic<bool> listening{true};
    std::thread stopper([&server, &stopSignals, &log, &listening] {
        int received = 0;
        sigwait(&stopSignals, &received);
        if (listening.load()) {
            log.Line("signal %d: stopping", received);
        }
        while (listening.load()) {
            server->stop();
            usleep(20000);
        }
    });
    bool served = server->listen_after_bind();
    listening.store(false);
    if (!served) {
        log.Line("server ended with an error");
    }
    // Wakes the stopper if no signal came.
    kill(getpid(), SIGTERM);
    stopper.join();
    log.Line("stopped");
    return served ? 0 : 1;
}
