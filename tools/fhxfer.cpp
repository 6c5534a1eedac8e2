// fhxfer: move one file through the file-transfer task library and watch it happen.
//
//   fhxfer get URI LOCAL [--move]         remote to local, any transfer URI
//   fhxfer put LOCAL URI [--move]         local to remote, any transfer URI
//   fhxfer parse URI [--upload]           the request fields a URI turns into
//   fhxfer download URL LOCAL [options]   HTTP or HTTPS with every TLS and auth option
//   fhxfer upload LOCAL URL [options]     (multipart POST)
//   fhxfer status ID                      one task's progress record
//   fhxfer tasks                          identifiers of all tasks
//   fhxfer delete ID                      delete a task (stops its transfer)
//   fhxfer logo URI                       install the logo the URI's last element names,
//                                         showing its Task-service percentage
//   fhxfer taskservice [ID]               Task-service records (all kept, or one)
//   fhxfer oplog                          the operation log
//
// Exit status: 0 success, 1 usage, 2 the library refused the request, 3 the transfer
// failed, 4 a task lookup failed.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/raii.h"
#include "frontend/filehandle_ulanddl.h"
#include "platform/bmc_platform.h"

namespace {

enum Exit { kExitOk = 0, kExitUsage = 1, kExitRefused = 2, kExitFailed = 3, kExitLookup = 4 };

void Usage() {
    fprintf(stderr,
            "usage: fhxfer get URI LOCAL [--move] [--quiet]\n"
            "       fhxfer put LOCAL URI [--move] [--quiet]\n"
            "       fhxfer parse URI [--upload]\n"
            "       fhxfer size URI\n"
            "       fhxfer download URL LOCAL [options]\n"
            "       fhxfer upload LOCAL URL [options]\n"
            "       fhxfer status ID | tasks | delete ID\n"
            "       fhxfer logo URI | taskservice [ID] | oplog\n"
            "options:\n"
            "  --user NAME:PASSWORD  HTTP basic credentials\n"
            "  --cacert FILE         verify the server against this CA (HTTPS)\n"
            "  --cert FILE --key FILE  client certificate and key (HTTPS)\n"
            "  --insecure            HTTPS without verifying the server\n"
            "  --port N              server port (default: from the URL)\n"
            "  --move                upload: move the source instead of copying it\n"
            "  --quiet               no progress bar\n");
}

template <size_t N>
bool Fill(char (&field)[N], const std::string& value, const char* what) {
    if (value.size() >= N) {
        fprintf(stderr, "fhxfer: %s is longer than %zu characters\n", what, N - 1);
        return false;
    }
    memcpy(field, value.c_str(), value.size() + 1);
    return true;
}

double Now() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long long FileSize(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::string Human(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB"};
    int u = 0;
    while (bytes >= 1024.0 && u < 3) {
        bytes /= 1024.0;
        ++u;
    }
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f %s", bytes, units[u]);
    return buf;
}

void DrawBar(unsigned percent, double bytes, double elapsed) {
    const int width = 30;
    int filled = static_cast<int>(percent) * width / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), ' ');
    double rate = elapsed > 0 ? bytes / elapsed : 0;
    fprintf(stderr, "\r[%s] %3u%%  %10s  %10s/s", bar.c_str(), percent, Human(bytes).c_str(),
            Human(rate).c_str());
    fflush(stderr);
}

// Polls the task until it ends; deletes it afterwards. Returns the exit status.
int Watch(uint32_t id, const ComponentInfo& req, bool quiet) {
    bool download = req.ucHandleType == FILEHANDLE_DOWNLOAD;
    long long sourceSize = download ? -1 : FileSize(req.szReadAddress);
    double start = Now();
    ComponentProcess rec{};
    int status = kExitFailed;
    for (;;) {
        if (FILEHANDLE_UploadDownloadProgress(id, &rec) != 0) {
            fprintf(stderr, "\nfhxfer: task %u: progress cannot be read\n", id);
            status = kExitLookup;
            break;
        }
        double bytes = download ? static_cast<double>(FileSize(req.szStorageAddress))
                                : static_cast<double>(sourceSize) * rec.ucPercent / 100.0;
        if (!quiet) {
            DrawBar(rec.ucPercent, bytes < 0 ? 0 : bytes, Now() - start);
        }
        if (rec.uiStage == FILEHANDLE_STAGE_SUCCEED || rec.uiStage == FILEHANDLE_STAGE_FAILED) {
            if (!quiet) {
                fputc('\n', stderr);
            }
            if (rec.uiStage == FILEHANDLE_STAGE_SUCCEED) {
                printf("task %u: %s (%.2f s)\n", id, rec.szDescription, Now() - start);
                status = kExitOk;
            } else {
                printf("task %u: failed, result 0x%08x: %s\n", id, rec.uiResultCode,
                       rec.szDescription);
            }
            break;
        }
        usleep(50 * 1000);
    }
    FILEHANDLE_DeleteProgressInfo(id);
    return status;
}

int Transfer(bool download, int argc, char** argv) {
    if (argc < 2) {
        Usage();
        return kExitUsage;
    }
    static ComponentInfo req;  // 6 KiB: keep it off the stack
    memset(&req, 0, sizeof req);
    req.ucProtocolType = FILEHANDLE_PROTOCOL_HTTP;
    req.ucHandleType = download ? FILEHANDLE_DOWNLOAD : FILEHANDLE_UPLOAD;
    req.ucKeepSourceFlag = 1;
    std::string url = download ? argv[0] : argv[1];
    std::string local = download ? argv[1] : argv[0];
    if (!Fill(req.szIpAdress, url, "URL") ||
        !Fill(download ? req.szStorageAddress : req.szReadAddress, local, "local path")) {
        return kExitUsage;
    }
    if (url.compare(0, 8, "https://") == 0) {
        req.ucHttpsFlag = 1;
        req.ucVerificationType = 3;  // libcurl's default verification unless told otherwise
    }
    bool quiet = false;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                fprintf(stderr, "fhxfer: %s needs a value\n", what);
                return nullptr;
            }
            return argv[++i];
        };
        const char* v = nullptr;
        if (a == "--user" && (v = next("--user")) != nullptr) {
            std::string up = v;
            size_t colon = up.find(':');
            if (colon == std::string::npos ||
                !Fill(req.szHttpUserName, up.substr(0, colon), "user name") ||
                !Fill(req.szHttpPassword, up.substr(colon + 1), "password")) {
                return kExitUsage;
            }
            req.ucHttpAuthFlag = 1;
        } else if (a == "--cacert" && (v = next("--cacert")) != nullptr) {
            if (!Fill(req.szCaCertFile, v, "CA file")) {
                return kExitUsage;
            }
            if (req.ucVerificationType != 2) {
                req.ucVerificationType = 1;
            }
        } else if (a == "--cert" && (v = next("--cert")) != nullptr) {
            if (!Fill(req.szClientCertFile, v, "certificate file")) {
                return kExitUsage;
            }
            req.ucVerificationType = 2;
        } else if (a == "--key" && (v = next("--key")) != nullptr) {
            if (!Fill(req.szClientKeyFile, v, "key file")) {
                return kExitUsage;
            }
            req.ucVerificationType = 2;
        } else if (a == "--insecure") {
            req.ucVerificationType = 0;
        } else if (a == "--port" && (v = next("--port")) != nullptr) {
            req.uiPort = static_cast<uint32_t>(strtoul(v, nullptr, 10));
        } else if (a == "--move") {
            req.ucKeepSourceFlag = 0;
        } else if (a == "--quiet") {
            quiet = true;
        } else {
            if (v == nullptr && a.compare(0, 2, "--") != 0) {
                fprintf(stderr, "fhxfer: unexpected argument %s\n", a.c_str());
            }
            Usage();
            return kExitUsage;
        }
    }
    uint32_t id = 0;
    uint32_t rc = FILEHANDLE_UploadDownloadFileImage(&req, &id);
    memset(req.szHttpPassword, 0, sizeof req.szHttpPassword);
    if (rc != 0) {
        fprintf(stderr, "fhxfer: the transfer was refused, result 0x%08x\n", rc);
        return kExitRefused;
    }
    // The worker is a thread of this process: stay until the task ends.
    return Watch(id, req, quiet || !isatty(STDERR_FILENO));
}

const char* ProtocolName(uint8_t code, bool https) {
    switch (code) {
        case FILEHANDLE_PROTOCOL_HTTP:
            return https ? "HTTPS" : "HTTP";
        case FILEHANDLE_PROTOCOL_TFTP:
            return "TFTP";
        case FILEHANDLE_PROTOCOL_SFTP:
            return "SFTP";
        case FILEHANDLE_PROTOCOL_NFS:
            return "NFS";
        case FILEHANDLE_PROTOCOL_CIFS:
            return "CIFS";
        case FILEHANDLE_PROTOCOL_LOCAL:
            return "local copy or move";
        case FILEHANDLE_PROTOCOL_SCP:
            return "SCP";
        case FILEHANDLE_PROTOCOL_FTP:
            return "FTP";
        default:
            return "?";
    }
}

// Fills a Redfish request from the command line; false on a usage error.
bool RedfishRequest(bool download, int argc, char** argv, RedfishInfo* info, bool* quiet) {
    if (argc < 2) {
        Usage();
        return false;
    }
    memset(info, 0, sizeof *info);
    info->ucHandleType = download ? FILEHANDLE_DOWNLOAD : FILEHANDLE_UPLOAD;
    info->ucFileMode = download ? 0 : 1;  // uploads keep their source unless --move
    std::string uri = download ? argv[0] : argv[1];
    std::string local = download ? argv[1] : argv[0];
    if (!Fill(info->szRedfishCmd, uri, "URI") || !Fill(info->szLocalPath, local, "local path")) {
        return false;
    }
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--move") {
            info->ucFileMode = download ? 1 : 0;
        } else if (a == "--quiet") {
            *quiet = true;
        } else {
            Usage();
            return false;
        }
    }
    return true;
}

int RedfishTransfer(bool download, int argc, char** argv) {
    static RedfishInfo info;
    bool quiet = false;
    if (!RedfishRequest(download, argc, argv, &info, &quiet)) {
        return kExitUsage;
    }
    static ComponentInfo req;  // for the progress display only
    memset(&req, 0, sizeof req);
    (void)FILEHANDLE_ParseRedfishStruct(&info, &req);
    uint32_t id = 0;
    uint32_t rc = FILEHANDLE_UploadDownloadFileImageForRedfish(&info, &id);
    memset(info.szRedfishCmd, 0, sizeof info.szRedfishCmd);
    memset(req.szPassword, 0, sizeof req.szPassword);
    if (rc != 0) {
        fprintf(stderr, "fhxfer: the transfer was refused, result 0x%08x\n", rc);
        return kExitRefused;
    }
    if (id == 0) {
        printf("local %s done\n", info.ucFileMode == 1 ? "move" : "copy");
        return kExitOk;
    }
    // The worker is a thread of this process: stay until the task ends.
    return Watch(id, req, quiet || !isatty(STDERR_FILENO));
}

int Parse(int argc, char** argv) {
    if (argc < 1 || argc > 2 || (argc == 2 && strcmp(argv[1], "--upload") != 0)) {
        Usage();
        return kExitUsage;
    }
    static RedfishInfo info;
    memset(&info, 0, sizeof info);
    bool upload = argc == 2;
    info.ucHandleType = upload ? FILEHANDLE_UPLOAD : FILEHANDLE_DOWNLOAD;
    info.ucFileMode = 1;
    if (!Fill(info.szRedfishCmd, argv[0], "URI") ||
        !Fill(info.szLocalPath, "/LOCAL/FILE", "local path")) {
        return kExitUsage;
    }
    static ComponentInfo req;
    memset(&req, 0, sizeof req);
    uint32_t rc = FILEHANDLE_ParseRedfishStruct(&info, &req);
    if (rc != 0) {
        fprintf(stderr, "fhxfer: the URI is refused, result 0x%08x\n", rc);
        return kExitRefused;
    }
    // The password never reaches the screen, neither in its field nor inside a URL.
    std::string url = req.szIpAdress;
    if (req.szPassword[0] != '\0') {
        size_t at = url.find(std::string(":") + req.szPassword + "@");
        if (at != std::string::npos) {
            url.replace(at + 1, strlen(req.szPassword), "***");
        }
    }
    printf("protocol          %u (%s)\n", req.ucProtocolType,
           ProtocolName(req.ucProtocolType, req.ucHttpsFlag == 1));
    printf("direction         %u (%s)\n", req.ucHandleType, upload ? "upload" : "download");
    printf("szIpAdress        %s\n", url.c_str());
    printf("uiPort            %u\n", req.uiPort);
    printf("szReadAddress     %s\n", req.szReadAddress);
    printf("szStorageAddress  %s\n", req.szStorageAddress);
    printf("szUserName        %s\n", req.szUserName);
    printf("szPassword        %s\n", req.szPassword[0] != '\0' ? "***" : "");
    printf("ucHttpsFlag       %u\n", req.ucHttpsFlag);
    printf("ucVerificationType %u\n", req.ucVerificationType);
    printf("ucKeepSourceFlag  %u\n", req.ucKeepSourceFlag);
    memset(req.szPassword, 0, sizeof req.szPassword);
    return kExitOk;
}

// The size of the file behind a URI, asked of the protocol's own probe.
int Size(const char* uri) {
    static RedfishInfo info;
    memset(&info, 0, sizeof info);
    info.ucHandleType = FILEHANDLE_DOWNLOAD;
    if (!Fill(info.szRedfishCmd, uri, "URI") || !Fill(info.szLocalPath, "/LOCAL/FILE", "path")) {
        return kExitUsage;
    }
    uint32_t size = 0;
    uint32_t rc = FILEHANDLE_GetRemoteFileSize(&info, &size);
    memset(info.szRedfishCmd, 0, sizeof info.szRedfishCmd);
    if (rc != 0) {
        fprintf(stderr, "fhxfer: no size, result 0x%08x\n", rc);
        return rc == 0x3c000402u ? kExitUsage : kExitFailed;
    }
    if (size == 0xffffffffu) {
        printf("unknown (the server sent no length)\n");
    } else {
        printf("%u\n", size);
    }
    return kExitOk;
}

bool ParseId(const char* text, uint32_t* id) {
    char* end = nullptr;
    unsigned long v = strtoul(text, &end, 10);
    if (end == text || *end != '\0' || v > 0xffffffffUL) {
        fprintf(stderr, "fhxfer: %s is not a task identifier\n", text);
        return false;
    }
    *id = static_cast<uint32_t>(v);
    return true;
}

int Status(const char* arg) {
    uint32_t id = 0;
    if (!ParseId(arg, &id)) {
        return kExitUsage;
    }
    ComponentProcess rec{};
    uint32_t rc = FILEHANDLE_UploadDownloadProgress(id, &rec);
    if (rc != 0) {
        fprintf(stderr, "fhxfer: task %u: no progress, result 0x%08x\n", id, rc);
        return kExitLookup;
    }
    time_t t = rec.uiTime;
    char when[32] = "";
    struct tm tm {};
    gmtime_r(&t, &tm);
    strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    printf("task %u: stage %u (%s), %u%%, result 0x%08x, updated %s UTC\n  %s\n", id, rec.uiStage,
           rec.szStageDesc, rec.ucPercent, rec.uiResultCode, when, rec.szDescription);
    return kExitOk;
}

int Tasks() {
    TransferTaskInfo info{};
    uint32_t rc = FILEHANDLE_GetTransferTaskInfo(&info);
    if (rc != 0) {
        fprintf(stderr, "fhxfer: tasks cannot be listed, result 0x%08x\n", rc);
        return kExitLookup;
    }
    for (unsigned i = 0; i < info.ucTaskNum; ++i) {
        printf("%u\n", info.auiIdentifier[i]);
    }
    return kExitOk;
}

int Delete(const char* arg) {
    uint32_t id = 0;
    if (!ParseId(arg, &id)) {
        return kExitUsage;
    }
    uint32_t rc = FILEHANDLE_DeleteProgressInfo(id);
    if (rc != 0) {
        fprintf(stderr, "fhxfer: task %u cannot be deleted, result 0x%08x\n", id, rc);
        return kExitLookup;
    }
    return kExitOk;
}

std::string UtcText(uint32_t seconds) {
    time_t t = seconds;
    struct tm tm {};
    gmtime_r(&t, &tm);
    char text[32] = "";
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

void PrintTaskService(const TaskServiceStoredRegistration& reg,
                      const TaskServiceStoredUpdate& upd) {
    printf("task %u: \"%s\" by %s, kind %u, registered %s UTC", reg.uiTaskId, reg.stRecord.szName,
           reg.stRecord.szOwner, reg.uiKind, UtcText(reg.uiTime).c_str());
    if (upd.uiCount == 0) {
        printf(", no update yet\n");
        return;
    }
    printf("\n  update %u at %s UTC: state %u, %u%%, %s\n", upd.uiCount,
           UtcText(upd.uiTime).c_str(), upd.stRecord.ucState, upd.stRecord.ucPercent,
           upd.stRecord.szMessage);
}

// Installs a logo. The upload runs in this thread; another one follows the Task-service
// task it registers (the next identifier, unless another process registers a task at the
// same moment) and prints its percentage whenever it moves.
int Logo(const char* uri) {
    OperateLogOrigin origin;
    memset(&origin, 0, sizeof origin);
    BMC_Strlcpy(origin.szSource, "fhxfer", sizeof origin.szSource);
    TaskServiceTaskInfo info{};
    uint32_t last = TASK_TaskServiceLastId();
    uint32_t expected = last == UINT32_MAX ? 1u : last + 1u;
    std::atomic<bool> done{false};
    std::thread watcher([&done, expected] {
        int shown = -1;
        for (bool more = true; more;) {
            more = !done.load();  // one more look after the upload returned
            TaskServiceStoredUpdate upd{};
            if (TASK_TaskServiceRead(expected, nullptr, &upd) == 0 && upd.uiCount > 0 &&
                upd.stRecord.ucPercent != shown) {
                shown = upd.stRecord.ucPercent;
                fprintf(stderr, "task %u: %3d%%  %s\n", expected, shown, upd.stRecord.szMessage);
            }
            if (more) {
                usleep(50 * 1000);
            }
        }
    });
    uint32_t rc = FILEHANDLE_UploadLogo(uri, &origin, &info);
    done = true;
    watcher.join();
    TaskServiceStoredRegistration reg{};
    TaskServiceStoredUpdate upd{};
    if (info.uiTaskId != 0 && TASK_TaskServiceRead(info.uiTaskId, &reg, &upd) == 0) {
        PrintTaskService(reg, upd);
    }
    if (rc == 0) {
        printf("logo installed\n");
        return kExitOk;
    }
    printf("logo not installed, result 0x%08x\n", rc);
    return info.uiTaskId == 0 ? kExitRefused : kExitFailed;
}

int TaskService(int argc, char** argv) {
    TaskServiceStoredRegistration reg{};
    TaskServiceStoredUpdate upd{};
    if (argc == 1) {
        uint32_t id = 0;
        if (!ParseId(argv[0], &id)) {
            return kExitUsage;
        }
        if (TASK_TaskServiceRead(id, &reg, &upd) != 0) {
            fprintf(stderr, "fhxfer: task-service task %u is not known\n", id);
            return kExitLookup;
        }
        PrintTaskService(reg, upd);
        return kExitOk;
    }
    uint32_t last = TASK_TaskServiceLastId();
    uint32_t first = last > TASK_SERVICE_SLOTS ? last - TASK_SERVICE_SLOTS + 1 : 1;
    for (uint32_t id = first; last != 0 && id <= last; ++id) {
        if (TASK_TaskServiceRead(id, &reg, &upd) == 0) {
            PrintTaskService(reg, upd);
        }
    }
    return kExitOk;
}

int OperationLog() {
    fh::UniqueFile f(fopen(BMC_OPERATE_LOG_PATH, "re"));
    if (!f) {
        fprintf(stderr, "fhxfer: no operation log (%s)\n", BMC_OPERATE_LOG_PATH);
        return kExitLookup;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f.Get())) > 0) {
        fwrite(buf, 1, n, stdout);
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage();
        return kExitUsage;
    }
    std::string cmd = argv[1];
    if (cmd == "get" || cmd == "put") {
        return RedfishTransfer(cmd == "get", argc - 2, argv + 2);
    }
    if (cmd == "size" && argc == 3) {
        return Size(argv[2]);
    }
    if (cmd == "parse") {
        return Parse(argc - 2, argv + 2);
    }
    if (cmd == "download" || cmd == "upload") {
        return Transfer(cmd == "download", argc - 2, argv + 2);
    }
    if (cmd == "status" && argc == 3) {
        return Status(argv[2]);
    }
    if (cmd == "tasks" && argc == 2) {
        return Tasks();
    }
    if (cmd == "delete" && argc == 3) {
        return Delete(argv[2]);
    }
    if (cmd == "logo" && argc == 3) {
        return Logo(argv[2]);
    }
    if (cmd == "taskservice" && argc <= 3) {
        return TaskService(argc - 2, argv + 2);
    }
    if (cmd == "oplog" && argc == 2) {
        return OperationLog();
    }
    Usage();
    return kExitUsage;
}
