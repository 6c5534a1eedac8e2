// Fuzz target for the task URLs of fhredfishd (the input is the decoded request path): a
// path that one of the task routes matches names at most one task, and only by the one
// text the service itself writes for that task, so that no other spelling (leading zeros,
// signs, blanks, digits past 32 bits) reaches a task.
// GCC 12 with the sanitizers sees a "maybe uninitialized" member inside <regex>'s own
// automaton, a false alarm in the library header.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "tools/fhredfishd/tasks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::regex kTask(fhrf::kTaskRoute), kMonitor(fhrf::kTaskMonitorRoute);
    std::string path(reinterpret_cast<const char*>(data), size);
    for (const std::regex* route : {&kTask, &kMonitor}) {
        std::smatch m;
        if (!std::regex_match(path, m, *route)) {
            continue;
        }
        std::string id = m[1];
        std::optional<fhrf::TaskRef> ref = fhrf::ParseTaskId(id);
        if (!ref) {
            continue;
        }
        FUZZ_CHECK(fhrf::TaskIdText(*ref) == id, "task %s read from another text", id.c_str());
        std::string uri = route == &kTask ? fhrf::TaskUri(*ref) : fhrf::TaskMonitorUri(*ref);
        FUZZ_CHECK(path == uri || path == uri + "/", "%s reached %s", path.c_str(), uri.c_str());
        FUZZ_CHECK(ref->kind == fhrf::TaskRef::kLogo || (ref->id >= 1 && ref->id <= 10),
                   "transfer task %u", ref->id);
    }
    return 0;
}
