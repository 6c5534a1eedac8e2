// The logs: failure events, the diagnostic log and the operation log.
#include <stdio.h>

#include <deque>
#include <fstream>
#include <string>

#include "fhxfer.h"
#include "platform/bmc_platform.h"

namespace fhxfer {

namespace {

// The last `keep` lines of a text file (all with keep == 0); false if it cannot be read.
bool TailLines(const char* path, size_t keep, std::deque<std::string>* lines) {
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        lines->push_back(line);
        if (keep != 0 && lines->size() > keep) {
            lines->pop_front();
        }
    }
    return true;
}

bool LastOption(const Args& a, unsigned long fallback, unsigned long* keep) {
    *keep = fallback;
    if (const char* v = a.Value("last")) {
        if (!ParseNumber(v, 1000000, keep)) {
            Fail(a, kExitUsage, "--last wants a number of lines (0: all)");
            return false;
        }
    }
    return true;
}

}  // namespace

// The failure events: one JSON object a line, written by the event log stand-in.
int Events(const Args& a) {
    unsigned long keep = 0;
    if (!LastOption(a, 20, &keep)) {
        return kExitUsage;
    }
    std::deque<std::string> lines;
    if (!TailLines(BMC_SDL_LOG_PATH, keep, &lines)) {
        if (a.json) {
            EmitJson(Json{{"ok", true}, {"events", Json::array()}});
        } else {
            printf("no events (%s does not exist)\n", BMC_SDL_LOG_PATH);
        }
        return kExitOk;
    }
    Json list = Json::array();
    for (const std::string& line : lines) {
        Json ev = Json::parse(MaskCredentials(line), nullptr, false);
        if (ev.is_discarded()) {
            continue;
        }
        if (a.json) {
            list.push_back(ev);
            continue;
        }
        std::string texts;
        for (const Json& el : ev.value("elements", Json::array())) {
            if (el.contains("text")) {
                texts += (texts.empty() ? "" : ": ") + el["text"].get<std::string>();
            }
        }
        printf("%s  %s  %s\n", ev.value("time", "").c_str(), ev.value("event", "").c_str(),
               texts.c_str());
    }
    if (a.json) {
        EmitJson(Json{{"ok", true}, {"events", list}});
    }
    return kExitOk;
}

// The diagnostic log: "DATE TIME [PID:TID] L<level> M<module> SOURCE:LINE: MESSAGE".
int Log(const Args& a) {
    unsigned long keep = 0;
    unsigned long maxLevel = 7;
    if (!LastOption(a, 40, &keep)) {
        return kExitUsage;
    }
    if (const char* v = a.Value("level")) {
        if (!ParseNumber(v, 7, &maxLevel)) {
            return Fail(a, kExitUsage, "--level wants 0 to 7 (2: errors, 6: information)");
        }
    }
    std::deque<std::string> all;
    if (!TailLines(BMC_DIAG_LOG_PATH, 0, &all)) {
        return Fail(a, kExitLookup, std::string("no diagnostic log (") + BMC_DIAG_LOG_PATH + ")");
    }
    std::deque<Json> picked;
    for (const std::string& raw : all) {
        std::string line = MaskCredentials(raw);
        char date[16] = "", clock[16] = "";
        int pid = 0;
        long tid = 0;
        unsigned level = 0, module = 0;
        int used = 0;
        if (sscanf(line.c_str(), "%15s %15s [%d:%ld] L%u M%u %n", date, clock, &pid, &tid, &level,
                   &module, &used) < 6 ||
            level > maxLevel) {
            continue;
        }
        std::string rest = line.substr(static_cast<size_t>(used));
        size_t sep = rest.find(": ");
        std::string where = sep == std::string::npos ? "" : rest.substr(0, sep);
        picked.push_back(Json{{"time", std::string(date) + " " + clock},
                              {"pid", pid},
                              {"tid", tid},
                              {"level", level},
                              {"module", module},
                              {"source", where},
                              {"message", sep == std::string::npos ? rest : rest.substr(sep + 2)},
                              {"line", line}});
        if (keep != 0 && picked.size() > keep) {
            picked.pop_front();
        }
    }
    if (a.json) {
        Json list = Json::array();
        for (Json& j : picked) {
            j.erase("line");
            list.push_back(std::move(j));
        }
        EmitJson(Json{{"ok", true}, {"lines", list}});
        return kExitOk;
    }
    for (const Json& j : picked) {
        puts(j["line"].get<std::string>().c_str());
    }
    return kExitOk;
}

int OperationLog(const Args& a) {
    unsigned long keep = 0;
    if (!LastOption(a, 0, &keep)) {
        return kExitUsage;
    }
    std::deque<std::string> lines;
    if (!TailLines(BMC_OPERATE_LOG_PATH, keep, &lines)) {
        return Fail(a, kExitLookup, std::string("no operation log (") + BMC_OPERATE_LOG_PATH + ")");
    }
    Json list = Json::array();
    for (const std::string& line : lines) {
        if (a.json) {
            list.push_back(MaskCredentials(line));
        } else {
            puts(MaskCredentials(line).c_str());
        }
    }
    if (a.json) {
        EmitJson(Json{{"ok", true}, {"lines", list}});
    }
    return kExitOk;
}

}  // namespace fhxfer
