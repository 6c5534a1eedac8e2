// The transfers: get and put take any transfer URI, download and upload are HTTP(S) with
// every option of the request record.
#include <string.h>

#include <string>

#include "fhxfer.h"

namespace fhxfer {

namespace {

// get / put: any transfer URI
int RedfishTransfer(const Args& a, bool download) {
    static RedfishInfo info;  // 2 KiB and 6 KiB records: kept off the stack
    static ComponentInfo req;
    memset(&info, 0, sizeof info);
    memset(&req, 0, sizeof req);
    info.ucHandleType = download ? FILEHANDLE_DOWNLOAD : FILEHANDLE_UPLOAD;
    bool move = a.Has("move");
    info.ucFileMode = download ? (move ? 1 : 0) : (move ? 0 : 1);
    SecretText uri;
    const std::string& local = download ? a.pos[1] : a.pos[0];
    if (!UriArgument(a, download ? 0 : 1, &uri) || !Fill(info.szRedfishCmd, uri.text, "URI", a) ||
        !Fill(info.szLocalPath, local, "path", a)) {
        return kExitUsage;
    }
    // The parsed record gives the local file to measure, and tells a URI the entry
    // refuses (its code then says only that no task started) from a full task table.
    uint32_t parsed = FILEHANDLE_ParseRedfishStruct(&info, &req);
    memset(req.szPassword, 0, sizeof req.szPassword);
    uint32_t id = 0;
    uint32_t rc = FILEHANDLE_UploadDownloadFileImageForRedfish(&info, &id);
    memset(info.szRedfishCmd, 0, sizeof info.szRedfishCmd);
    if (rc != 0) {
        if (parsed == 0 && req.ucProtocolType == FILEHANDLE_PROTOCOL_LOCAL) {
            return Fail(a, kExitLocal, "the local copy failed", rc);
        }
        return Fail(a, parsed != 0 ? kExitRefused : ExitFor(rc, false), "the transfer was refused",
                    rc);
    }
    if (id == 0) {  // a local copy or move runs at once, without a task
        if (a.json) {
            EmitJson(Json{{"ok", true}, {"task", nullptr}, {"local", true}, {"exit", 0}});
        } else {
            printf("local %s done\n", info.ucFileMode == 1 ? "move" : "copy");
        }
        return kExitOk;
    }
    Meter m;
    m.download = download;
    m.local = download ? req.szStorageAddress : req.szReadAddress;
    m.sourceSize = download ? -1 : FileSize(m.local.c_str());
    // The worker is a thread of this process: stay until the task ends.
    return Report(a, id, m, Follow(id, m, ShowBar(a)));
}

// download / upload: HTTP(S) with every option of the request record

int HttpTransfer(const Args& a, bool download) {
    static ComponentInfo req;
    memset(&req, 0, sizeof req);
    req.ucProtocolType = FILEHANDLE_PROTOCOL_HTTP;
    req.ucHandleType = download ? FILEHANDLE_DOWNLOAD : FILEHANDLE_UPLOAD;
    req.ucKeepSourceFlag = a.Has("move") ? 0 : 1;
    const std::string& url = download ? a.pos[0] : a.pos[1];
    const std::string& local = download ? a.pos[1] : a.pos[0];
    if (!Fill(req.szIpAdress, url, "URL", a) ||
        !Fill(download ? req.szStorageAddress : req.szReadAddress, local, "path", a)) {
        return kExitUsage;
    }
    if (url.compare(0, 8, "https://") == 0) {
        req.ucHttpsFlag = 1;
        req.ucVerificationType = 3;  // libcurl's default verification unless told otherwise
    }
    if (const char* up = a.Value("user")) {
        const char* colon = strchr(up, ':');
        SecretText password;
        bool given = false;
        if (!OutsidePassword(a, &password, &given)) {
            return kExitUsage;
        }
        if ((colon == nullptr) == !given) {
            return Fail(a, kExitUsage,
                        "--user wants NAME:PASSWORD, or NAME with --password-file or "
                        "FHXFER_PASSWORD");
        }
        if (colon != nullptr) {
            password.text = colon + 1;
        }
        std::string name = colon != nullptr ? std::string(up, colon) : std::string(up);
        if (!Fill(req.szHttpUserName, name, "user name", a) ||
            !Fill(req.szHttpPassword, password.text, "password", a)) {
            return kExitUsage;
        }
        req.ucHttpAuthFlag = 1;
    }
    if (const char* ca = a.Value("cacert")) {
        if (!Fill(req.szCaCertFile, ca, "CA file", a)) {
            return kExitUsage;
        }
        req.ucVerificationType = 1;
    }
    const char* cert = a.Value("cert");
    const char* key = a.Value("key");
    if (cert != nullptr || key != nullptr) {
        if (cert == nullptr || key == nullptr) {
            return Fail(a, kExitUsage, "--cert and --key go together");
        }
        if (!Fill(req.szClientCertFile, cert, "certificate file", a) ||
            !Fill(req.szClientKeyFile, key, "key file", a)) {
            return kExitUsage;
        }
        req.ucVerificationType = 2;
    }
    if (a.Has("insecure")) {
        req.ucVerificationType = 0;
    }
    if (const char* port = a.Value("port")) {
        unsigned long p = 0;
        if (!ParseNumber(port, 65535, &p)) {
            return Fail(a, kExitUsage, std::string(port) + " is not a port");
        }
        req.uiPort = static_cast<uint32_t>(p);
    }
    uint32_t id = 0;
    uint32_t rc = FILEHANDLE_UploadDownloadFileImage(&req, &id);
    memset(req.szHttpPassword, 0, sizeof req.szHttpPassword);
    if (rc != 0) {
        return Fail(a, ExitFor(rc, false), "the transfer was refused", rc);
    }
    Meter m;
    m.download = download;
    m.local = local;
    m.sourceSize = download ? -1 : FileSize(local.c_str());
    return Report(a, id, m, Follow(id, m, ShowBar(a)));
}

}  // namespace

int Get(const Args& a) {
    return RedfishTransfer(a, true);
}
int Put(const Args& a) {
    return RedfishTransfer(a, false);
}

int Download(const Args& a) {
    return HttpTransfer(a, true);
}
int Upload(const Args& a) {
    return HttpTransfer(a, false);
}

}  // namespace fhxfer
