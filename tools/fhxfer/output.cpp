// What every command prints alike: the exit status of a library result, failures, JSON
// documents, and the texts of codes, times and credentials.
#include <stdio.h>
#include <time.h>

#include "common/redact.h"
#include "fhxfer.h"

namespace fhxfer {

int ExitFor(uint32_t result, bool started) {
    switch (result) {
        case 0:
            return kExitOk;
        case FILEHANDLE_E_LOCAL_FILE:
        case FILEHANDLE_IN_LOCAL_FILE:
            return kExitLocal;
        case FILEHANDLE_E_START_FAILED:
        case FILEHANDLE_E_NO_DB:
        case FILEHANDLE_E_DB_WRITE:
        case FILEHANDLE_E_DB_READ:
        case FILEHANDLE_E_NO_TASK:
        case FILEHANDLE_E_ENTRY_NO_DB:
            return kExitBusy;
        case FILEHANDLE_E_PROGRESS:
        case FILEHANDLE_E_BAD_TARGET:
        case FILEHANDLE_E_NO_PROGRESS_PATH:
        case FILEHANDLE_E_NO_PROGRESS_FILE:
            return kExitLookup;
        case FILEHANDLE_E_PARAMETER:
            return kExitRefused;
        default:
            return started ? kExitFailed : kExitRefused;
    }
}

std::string Hex(uint32_t v) {
    char b[16];
    snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

std::string UtcText(uint32_t seconds) {
    time_t t = seconds;
    struct tm tm {};
    gmtime_r(&t, &tm);
    char text[32] = "";
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

std::string MaskCredentials(const std::string& text) {
    return fh::MaskUrlsInText(text);
}

void EmitJson(const Json& j) {
    // Log texts may hold bytes that are not UTF-8: they become U+FFFD, never an abort.
    std::string s = j.dump(-1, ' ', false, Json::error_handler_t::replace);
    puts(s.c_str());
    fflush(stdout);
}

int Fail(const Args& a, int exitCode, const std::string& message, uint32_t result) {
    if (a.json) {
        Json j{{"ok", false}, {"error", message}};
        if (result != 0) {
            j["result"] = Hex(result);
        }
        j["exit"] = exitCode;
        EmitJson(j);
    } else if (result != 0) {
        fprintf(stderr, "fhxfer: %s, result %s\n", message.c_str(), Hex(result).c_str());
    } else {
        fprintf(stderr, "fhxfer: %s\n", message.c_str());
    }
    return exitCode;
}

}  // namespace fhxfer
