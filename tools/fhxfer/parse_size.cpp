// parse and size: what the library makes of a URI, and the size of the file behind it.
#include <stdio.h>
#include <string.h>

#include <string>

#include "common/redact.h"
#include "fhxfer.h"

namespace fhxfer {

namespace {

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

}  // namespace

int Parse(const Args& a) {
    static RedfishInfo info;
    static ComponentInfo req;
    memset(&info, 0, sizeof info);
    memset(&req, 0, sizeof req);
    bool upload = a.Has("upload");
    info.ucHandleType = upload ? FILEHANDLE_UPLOAD : FILEHANDLE_DOWNLOAD;
    info.ucFileMode = 1;
    SecretText uri;
    if (!UriArgument(a, 0, &uri) || !Fill(info.szRedfishCmd, uri.text, "URI", a) ||
        !Fill(info.szLocalPath, a.Value("local", "/LOCAL/FILE"), "path", a)) {
        return kExitUsage;
    }
    uint32_t rc = FILEHANDLE_ParseRedfishStruct(&info, &req);
    memset(info.szRedfishCmd, 0, sizeof info.szRedfishCmd);
    if (rc != 0) {
        memset(req.szPassword, 0, sizeof req.szPassword);
        return Fail(a, kExitRefused, "the URI is refused", rc);
    }
    // The password never reaches the screen, neither in its field nor inside a URL.
    std::string url = fh::UrlForLog(req.szIpAdress);
    bool hasPassword = req.szPassword[0] != '\0';
    memset(req.szPassword, 0, sizeof req.szPassword);
    const char* protocol = ProtocolName(req.ucProtocolType, req.ucHttpsFlag == 1);
    if (a.json) {
        EmitJson(Json{{"ok", true},
                      {"protocol", req.ucProtocolType},
                      {"protocol_name", protocol},
                      {"direction", upload ? "upload" : "download"},
                      {"szIpAdress", url},
                      {"uiPort", req.uiPort},
                      {"szReadAddress", req.szReadAddress},
                      {"szStorageAddress", req.szStorageAddress},
                      {"szUserName", req.szUserName},
                      {"szPassword", hasPassword ? "***" : ""},
                      {"ucHttpsFlag", req.ucHttpsFlag},
                      {"ucVerificationType", req.ucVerificationType},
                      {"ucKeepSourceFlag", req.ucKeepSourceFlag}});
        return kExitOk;
    }
    printf("protocol          %u (%s)\n", req.ucProtocolType, protocol);
    printf("direction         %u (%s)\n", req.ucHandleType, upload ? "upload" : "download");
    printf("szIpAdress        %s\n", url.c_str());
    printf("uiPort            %u\n", req.uiPort);
    printf("szReadAddress     %s\n", req.szReadAddress);
    printf("szStorageAddress  %s\n", req.szStorageAddress);
    printf("szUserName        %s\n", req.szUserName);
    printf("szPassword        %s\n", hasPassword ? "***" : "");
    printf("ucHttpsFlag       %u\n", req.ucHttpsFlag);
    printf("ucVerificationType %u\n", req.ucVerificationType);
    printf("ucKeepSourceFlag  %u\n", req.ucKeepSourceFlag);
    return kExitOk;
}

int Size(const Args& a) {
    static RedfishInfo info;
    memset(&info, 0, sizeof info);
    info.ucHandleType = FILEHANDLE_DOWNLOAD;
    SecretText uri;
    if (!UriArgument(a, 0, &uri) || !Fill(info.szRedfishCmd, uri.text, "URI", a) ||
        !Fill(info.szLocalPath, "/LOCAL/FILE", "path", a)) {
        return kExitUsage;
    }
    uint32_t size = 0;
    uint32_t rc = FILEHANDLE_GetRemoteFileSize(&info, &size);
    memset(info.szRedfishCmd, 0, sizeof info.szRedfishCmd);
    if (rc != 0) {
        // The URI is refused, or something failed on the way.
        return Fail(a, rc == FILEHANDLE_E_NO_TASK ? kExitRefused : kExitFailed, "no size", rc);
    }
    bool known = size != 0xffffffffu;
    if (a.json) {
        EmitJson(Json{{"ok", true}, {"size", known ? Json(size) : Json(nullptr)}});
    } else if (known) {
        printf("%u\n", size);
    } else {
        printf("unknown (the server sent no length)\n");
    }
    return kExitOk;
}

}  // namespace fhxfer
