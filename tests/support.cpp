#include "tests/support.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <link.h>
#include <regex.h>
#include <stdarg.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#define CURL_DISABLE_DEPRECATION 1
#include <curl/curl.h>

#include "common/raii.h"

namespace fhtest {
namespace {

// What the interposers saw, under one lock; ResetAll empties it.
std::mutex g_mu;
struct Captures {
    std::vector<LogLine> logs;
    std::vector<std::vector<unsigned char>> events;
    std::vector<std::string> commands;
    std::vector<ComponentProcess> progress;
    std::vector<TaskServiceUpdate> taskUpdates;
    BridgeCalls bridge;
} g_cap;
thread_local std::vector<int> t_writeLocked;  // descriptors holding a write lock

template <typename Fn>
Fn Next(const char* name) {
    void* p = dlsym(RTLD_NEXT, name);
    if (p == nullptr) {
        fprintf(stderr, "interposer: %s not found\n", name);
        abort();
    }
    return reinterpret_cast<Fn>(p);
}

// A copy of a capture, taken under its lock; one more item for it.
template <typename T>
T Locked(const T& capture) {
    std::lock_guard<std::mutex> l(g_mu);
    return capture;
}
template <typename T, typename Item>
void Note(std::vector<T>& capture, Item&& item) {
    std::lock_guard<std::mutex> l(g_mu);
    capture.emplace_back(std::forward<Item>(item));
}

std::vector<unsigned char> EventBytes(const void* event) {
    const unsigned char* p = static_cast<const unsigned char*>(event);
    return {p, p + SDS_SDL_EVENT_SIZE};
}

// Polls `done` every `pause` until it holds or `timeout` runs out; its last answer.
bool Poll(const std::function<bool()>& done, std::chrono::microseconds timeout,
          std::chrono::microseconds pause) {
    for (auto end = std::chrono::steady_clock::now() + timeout; !done();
         std::this_thread::sleep_for(pause)) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
    }
    return true;
}

std::atomic<long> g_failAt{0};
std::atomic<long> g_seamCalls{0};
std::atomic<const char*> g_failedSeam{nullptr};
std::atomic<const char*> g_stallSeam{nullptr};
int g_stallFd = -1;
std::atomic<uint32_t> g_frozenClock{0};

// The executable segments of the library and of the platform library: only calls made
// from there count as seam calls (the test's own calls, libcurl's and libc's inner ones
// pass straight through). Filled once before counting starts, without the heap (malloc is
// a seam).
struct CodeRange {
    uintptr_t lo, hi;
};
CodeRange g_ranges[8];
size_t g_rangeCount = 0;
void FindLibraryCode() {
    static std::once_flag once;
    std::call_once(
        once, dl_iterate_phdr,
        [](dl_phdr_info* info, size_t, void*) {
            const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            if (strstr(name, "libfilehandle.so") == nullptr &&
                strstr(name, "libbmcplatform.so") == nullptr) {
                return 0;
            }
            for (int i = 0; i < info->dlpi_phnum && g_rangeCount < 8; ++i) {
                const auto& ph = info->dlpi_phdr[i];
                if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X) != 0) {
                    uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
                    g_ranges[g_rangeCount++] = {lo, lo + ph.p_memsz};
                }
            }
            return 0;
        },
        nullptr);
}

}  // namespace

Faults& faults() {
    static Faults f;
    return f;
}

void FailNth(long n) {
    FindLibraryCode();
    g_failedSeam = nullptr;
    g_seamCalls = 0;
    g_failAt = n;
}
long SeamCalls() {
    return g_seamCalls;
}
std::string FailedSeam() {
    const char* s = g_failedSeam;
    return s != nullptr ? s : "";
}

void StallAt(const char* seam, int readyFd) {
    FindLibraryCode();
    g_stallFd = readyFd;
    g_stallSeam = seam;
}

// True when this call, made from `caller`, is the one to fail.
bool Inject(const char* seam, const void* caller) {
    long at = g_failAt.load(std::memory_order_relaxed);
    const char* stall = g_stallSeam.load();
    uintptr_t pc = reinterpret_cast<uintptr_t>(caller);
    if ((at == 0 && stall == nullptr) ||
        std::none_of(g_ranges, g_ranges + g_rangeCount,
                     [pc](const CodeRange& r) { return pc >= r.lo && pc < r.hi; })) {
        return false;
    }
    if (stall != nullptr && strcmp(stall, seam) == 0) {
        (void)!write(g_stallFd, "s", 1);  // tells the test that this process stands here
        for (;;) {
            pause();  // until the test kills it
        }
    }
    if (at == 0 || ++g_seamCalls != at) {
        return false;
    }
    g_failedSeam = seam;
    return true;
}

std::vector<LogLine> Logs() {
    return Locked(g_cap.logs);
}
bool Logged(unsigned level, const std::string& text) {
    auto logs = Logs();
    return std::any_of(logs.begin(), logs.end(),
                       [&](const LogLine& l) { return l.level == level && l.text == text; });
}
size_t CountLogged(const std::string& substring) {
    auto logs = Logs();
    return size_t(std::count_if(logs.begin(), logs.end(), [&](const LogLine& l) {
        return l.text.find(substring) != std::string::npos;
    }));
}
std::vector<std::string> Commands() {
    return Locked(g_cap.commands);
}
BridgeCalls TftpBridgeCalls() {
    return Locked(g_cap.bridge);
}
std::vector<ComponentProcess> ProgressWrites() {
    return Locked(g_cap.progress);
}
std::vector<TaskServiceUpdate> TaskUpdates() {
    return Locked(g_cap.taskUpdates);
}
std::vector<std::vector<unsigned char>> Events() {
    return Locked(g_cap.events);
}

std::vector<std::pair<std::string, std::string>> EventTexts() {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& e : Events()) {
        std::vector<std::string> texts;
        const unsigned char* area = e.data() + SDS_SDL_AREA_OFFSET;
        for (size_t off = 0; off + 2 <= SDS_SDL_AREA_SIZE && (area[off] | area[off + 1]) != 0;
             off += 2 + area[off + 1]) {
            const char* text = reinterpret_cast<const char*>(area + off + 2);
            if (area[off] == 0x11) {
                texts.emplace_back(text, strnlen(text, area[off + 1]));
            }
        }
        texts.resize(2);
        out.emplace_back(texts[0], texts[1]);
    }
    return out;
}

void WriteTable(const TaskTable& t) {
    ASSERT_EQ(0, DB_PutInternal("test", __LINE__, DB_GetCurrentDb(), FILEHANDLE_TASK_DB_KEY,
                                sizeof t, &t));
}

TaskTable ReadTable() {
    TaskTable t{};
    int rc = DB_Get(DB_GetCurrentDb(), FILEHANDLE_TASK_DB_KEY, sizeof t, &t);
    EXPECT_TRUE(rc == 0 || rc == -1) << rc;
    return t;
}

uint32_t FreezeClock(int32_t ahead) {
    g_frozenClock = 0;
    return g_frozenClock = uint32_t(time(nullptr)) + uint32_t(ahead);
}

void ResetAll() {
    g_frozenClock = 0;
    ASSERT_TRUE(WaitForWorkers()) << "a worker of an earlier test is still running";
    faults().~Faults();  // no worker runs that could look at a switch meanwhile
    new (&faults()) Faults();
    WriteTable(TaskTable{});
    for (const std::string& path : Glob("/var/uploadDownload*.progress")) {
        unlink(path.c_str());
    }
    std::lock_guard<std::mutex> l(g_mu);
    g_cap = Captures{};
}

ComponentInfo MakeRequest(uint8_t protocol, uint8_t type, const std::string& url,
                          const std::string& local) {
    ComponentInfo r{};
    r.ucProtocolType = protocol;
    r.ucHandleType = type;
    snprintf(r.szIpAdress, sizeof r.szIpAdress, "%s", url.c_str());
    snprintf(type == FILEHANDLE_UPLOAD ? r.szReadAddress : r.szStorageAddress,
             sizeof r.szReadAddress, "%s", local.c_str());
    return r;
}

namespace {
Outcome Finish(uint32_t rc, uint32_t id, int timeoutSeconds) {
    EXPECT_EQ(0u, rc);
    if (rc != 0) {
        return {0, rc, ""};
    }
    ComponentProcess rec = WaitForEnd(id, timeoutSeconds);
    EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
    return {rec.uiStage, rec.uiResultCode, rec.szDescription};
}
}  // namespace

Outcome RunRequest(ComponentInfo& request, int timeoutSeconds) {
    uint32_t id = 0;
    uint32_t rc = FILEHANDLE_UploadDownloadFileImage(&request, &id);
    return Finish(rc, id, timeoutSeconds);
}

RedfishInfo UriRequest(uint8_t type, const std::string& local, const std::string& uri) {
    RedfishInfo in{1, type, {}, {}};
    snprintf(in.szLocalPath, sizeof in.szLocalPath, "%s", local.c_str());
    snprintf(in.szRedfishCmd, sizeof in.szRedfishCmd, "%s", uri.c_str());
    return in;
}

Outcome RunUri(uint8_t type, const std::string& local, const std::string& uri, int timeoutSeconds) {
    RedfishInfo in = UriRequest(type, local, uri);
    uint32_t id = 0;
    uint32_t rc = FILEHANDLE_UploadDownloadFileImageForRedfish(&in, &id);
    return Finish(rc, id, timeoutSeconds);
}

ComponentProcess WaitForEnd(uint32_t id, int timeoutSeconds) {
    ComponentProcess rec{};
    Poll(
        [&] {
            return FILEHANDLE_UploadDownloadProgress(id, &rec) == 0 &&
                   (rec.uiStage == FILEHANDLE_STAGE_SUCCEED ||
                    rec.uiStage == FILEHANDLE_STAGE_FAILED);
        },
        std::chrono::seconds(timeoutSeconds), std::chrono::milliseconds(20));
    WaitForWorkers();
    return rec;
}

namespace {
// The names of this process's threads.
std::vector<std::string> ThreadNames() {
    std::vector<std::string> names;
    for (const std::string& path : Glob("/proc/self/task/*/comm")) {
        std::string comm = ReadFile(path);
        names.push_back(comm.substr(0, comm.find('\n')));
    }
    return names;
}
}  // namespace

bool WaitForWorkers(int timeoutSeconds) {
    const std::set<std::string> workers = {"HttpThread", "TftpThread", "SftpThread",
                                           "ScpThread",  "FtpThread",  "MountThread"};
    return Poll(
        [&] {
            auto names = ThreadNames();
            return std::none_of(names.begin(), names.end(),
                                [&](const std::string& n) { return workers.count(n) != 0; });
        },
        std::chrono::seconds(timeoutSeconds), std::chrono::milliseconds(10));
}

int ThreadCount() {
    return int(ThreadNames().size());
}

bool LockIsFree(const char* name) {
    fh::UniqueFd fd(
        open((std::string(BMC_LOCK_DIR) + "/" + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    return fd.Valid() && flock(fd.Get(), LOCK_EX | LOCK_NB) == 0;
}

std::vector<std::string> Glob(const char* pattern) {
    glob_t g{};
    std::vector<std::string> out;
    if (glob(pattern, 0, nullptr, &g) == 0) {
        out.assign(g.gl_pathv, g.gl_pathv + g.gl_pathc);
    }
    globfree(&g);
    return out;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::string ReadFile(const std::string& path) {
    // read(2), not a stream: a stream throws on a read error, and the files of a thread
    // that has just ended (/proc/self/task/N/...) fail with ESRCH. What was read is kept.
    std::string data;
    fh::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char buf[65536];
    for (ssize_t n; fd.Valid() && (n = read(fd.Get(), buf, sizeof buf)) > 0;) {
        data.append(buf, static_cast<size_t>(n));
    }
    return data;
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    std::generate(s.begin(), s.end(), [&] { return char(gen()); });
    return s;
}

std::map<std::string, std::string> LoadEnvFile(const char* var) {
    std::map<std::string, std::string> out;
    const char* path = getenv(var);
    std::ifstream in(path != nullptr ? path : "");
    for (std::string line; std::getline(in, line);) {
        size_t eq = line.find('=');
        if (eq != std::string::npos && line[0] != '#') {
            out[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return out;
}

Env LoadServerEnvs() {
    return {{"http", LoadEnvFile("FH_TEST_SERVERS")},
            {"ssh", LoadEnvFile("FH_SSH_FTP_ENV")},
            {"tftp", LoadEnvFile("FH_TFTP_ENV")},
            {"share", LoadEnvFile("FH_SHARE_ENV")}};
}

std::string Expand(std::string text, const Env& env) {
    for (size_t open; (open = text.find('{')) != std::string::npos;) {
        size_t dot = text.find('.', open), close = text.find('}', open);
        const std::string& value =
            env.at(text.substr(open + 1, dot - open - 1)).at(text.substr(dot + 1, close - dot - 1));
        text.replace(open, close - open + 1, value);
    }
    return text;
}

const Servers& servers() {
    static Servers s = [] {
        Servers r;
        auto env = LoadEnvFile("FH_TEST_SERVERS");
        if (!env.empty()) {
            r.httpPort = std::stoi(env["HTTP_PORT"]);
            r.httpsPort = std::stoi(env["HTTPS_PORT"]);
            r.dir = env["TEST_DIR"];
        }
        return r;
    }();
    return s;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    return Poll(done, std::chrono::milliseconds(timeoutMs), std::chrono::microseconds(200));
}

std::vector<OpEntry> OperationLog() {
    // POSIX regular expressions: GCC 12's std::regex trips -Wmaybe-uninitialized under ASan.
    regex_t re{};
    bool ok = regcomp(&re,
                      "^[^ ]+ [^ ]+ origin=([0-9]+) interface=\"([^\"]*)\" "
                      "source=\"([^\"]*)\" result=([^ ]+) line=([0-9]+) module=([0-9]+) "
                      "message=\"([^\"]*)\"$",
                      REG_EXTENDED) == 0;
    std::vector<OpEntry> out;
    std::istringstream in(ReadFile(BMC_OPERATE_LOG_PATH));
    for (std::string text; std::getline(in, text);) {
        regmatch_t m[8];
        out.push_back({"unparsed: " + text});
        if (ok && regexec(&re, text.c_str(), 8, m, 0) == 0) {
            out.back().clear();
            for (int i = 1; i < 8; ++i) {
                out.back().push_back(
                    text.substr(size_t(m[i].rm_so), size_t(m[i].rm_eo - m[i].rm_so)));
            }
        }
    }
    if (ok) {
        regfree(&re);
    }
    return out;
}

int BindLoopback(int type, uint16_t port, int* fd) {
    *fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (*fd < 0 || bind(*fd, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        (type == SOCK_STREAM && listen(*fd, 1) != 0) ||
        getsockname(*fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return 0;
    }
    return ntohs(a.sin_port);
}

}  // namespace fhtest

using fhtest::faults;

// A seam call that fails now: errno says why, as the real call would.
#define FH_INJECT(seam) (fhtest::Inject(seam, __builtin_return_address(0)) && (errno = EIO, true))

// ---- interposers: the library calls these instead of the platform's and libcurl's ----

extern "C" time_t time(time_t* out) {
    time_t now = fhtest::g_frozenClock.load();
    if (now == 0) {
        struct timespec ts {};
        clock_gettime(CLOCK_REALTIME, &ts);
        now = ts.tv_sec;
    }
    if (out != nullptr) {
        *out = now;
    }
    return now;
}

// A seam: `note` runs first (a capture), then the call fails while `fault` holds or when the
// torture's count reaches it, and otherwise goes on to the real one.
#define FH_SEAM_NOTE(ret, name, params, note, fault, failed, args) \
    extern "C" ret name params {                                   \
        static auto real = fhtest::Next<ret(*) params>(#name);     \
        note;                                                      \
        return (fault) || FH_INJECT(#name) ? failed : real args;   \
    }
#define FH_SEAM_IF(ret, name, params, fault, failed, args) \
    FH_SEAM_NOTE(ret, name, params, (void)0, faults().fault, failed, args)
#define FH_SEAM(ret, name, params, failed, args) \
    FH_SEAM_NOTE(ret, name, params, (void)0, false, failed, args)

FH_SEAM_IF(BMC_Db*, DB_GetCurrentDb, (void), noDb, nullptr, ())
FH_SEAM_IF(int, DB_Get, (BMC_Db * db, uint32_t key, uint32_t size, void* buffer), dbGetFails, 1,
           (db, key, size, buffer))
FH_SEAM_IF(int, DB_PutInternal,
           (const char* f, uint32_t l, BMC_Db* db, uint32_t k, uint32_t n, const void* b),
           dbPutFails, 1, (f, l, db, k, n, b))
FH_SEAM_IF(int, BMC_CreateDetachThreadInternal,
           (BMC_THREAD_ROUTINE r, const char* n, void* a, pthread_t* t), threadCreateFails, EAGAIN,
           (r, n, a, t))
FH_SEAM_IF(CURL*, curl_easy_init, (void), curlInitFails, nullptr, ())
FH_SEAM_NOTE(int, SDS_Internal_AddSdlFromBmc, (const void* e, const char* f, const char* fn),
             fhtest::Note(fhtest::g_cap.events, fhtest::EventBytes(e)), faults().eventSubmitFails,
             5, (e, f, fn))
FH_SEAM_NOTE(int, BMC_System, (const char* command),
             fhtest::Note(fhtest::g_cap.commands, std::string(command != nullptr ? command : "")),
             (faults().umountFails && command != nullptr && strncmp(command, "umount ", 7) == 0),
             32, (command))
FH_SEAM_NOTE(int, BRIDGE_TFTP,
             (uint8_t t, const char* h, const char* r, int fd, uint32_t port, uint32_t b,
              const char* p, int32_t n),
             fhtest::Note(fhtest::g_cap.bridge.transferPorts, port), false, -1,
             (t, h, r, fd, port, b, p, n))
FH_SEAM_NOTE(int, BRIDGE_GetTftpRemoteFileSize,
             (const char* h, uint32_t port, const char* r, int32_t* n),
             fhtest::Note(fhtest::g_cap.bridge.sizePorts, port), false, -1, (h, port, r, n))

extern "C" int BMC_DiagLogOut(uint32_t module, uint32_t reserved, uint32_t level, uint32_t line,
                              const char* file, const char* format, ...) {
    static auto real = fhtest::Next<int (*)(uint32_t, uint32_t, uint32_t, uint32_t, const char*,
                                            const char*, ...)>("BMC_DiagLogOut");
    char text[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    {
        std::lock_guard<std::mutex> l(fhtest::g_mu);
        fhtest::g_cap.logs.push_back({module, level, text});
    }
    return real(module, reserved, level, line, file, "%s", text);
}

extern "C" int TASK_TaskServiceRegister(const void* registration, void* taskInfo,
                                        uint32_t* startTime, uint8_t kind) {
    static auto real =
        fhtest::Next<int (*)(const void*, void*, uint32_t*, uint8_t)>("TASK_TaskServiceRegister");
    return faults().taskRegisterFails ? 1 : real(registration, taskInfo, startTime, kind);
}

extern "C" int TASK_TaskServiceUpdate(const void* update) {
    static auto real = fhtest::Next<int (*)(const void*)>("TASK_TaskServiceUpdate");
    if (update != nullptr) {
        TaskServiceUpdate copy;
        memcpy(&copy, update, sizeof copy);  // the caller's buffer need not be aligned
        fhtest::Note(fhtest::g_cap.taskUpdates, copy);
    }
    return real(update);
}

extern "C" int BRIDGE_LOCK_LTF_FILE_WRITE(int fd) {
    static auto real = fhtest::Next<int (*)(int)>("BRIDGE_LOCK_LTF_FILE_WRITE");
    int rc = FH_INJECT("BRIDGE_LOCK_LTF_FILE_WRITE") ? -1 : real(fd);
    if (rc == 0) {
        fhtest::t_writeLocked.push_back(fd);
    }
    return rc;
}

extern "C" int BRIDGE_UNLOCK_LTF_FILE(int fd) {
    static auto real = fhtest::Next<int (*)(int)>("BRIDGE_UNLOCK_LTF_FILE");
    auto& held = fhtest::t_writeLocked;
    auto it = std::find(held.begin(), held.end(), fd);
    if (it != held.end()) {
        held.erase(it);
        // The writer's descriptor is write-only: read the file through a new one.
        ComponentProcess rec{};
        fh::UniqueFd rd(
            open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC));
        if (pread(rd.Get(), &rec, sizeof rec, 0) == static_cast<ssize_t>(sizeof rec)) {
            fhtest::Note(fhtest::g_cap.progress, rec);
        }
    }
    return real(fd);
}

// ---- seams that only the torture counts: each fails as the real call reports failure ----

FH_SEAM(int, BMC_FileLock_AcquireLock, (const char* n, BMC_LOCK_HANDLE* h), -1, (n, h))
FH_SEAM(int, BMC_Mkdir, (const char* p), -1, (p))
FH_SEAM(int, BMC_CreateFile, (const char* p), -1, (p))
FH_SEAM(int, BMC_MoveFile, (const char* a, const char* b), -1, (a, b))
FH_SEAM(int, BMC_CopyFile, (const char* a, const char* b), -1, (a, b))
FH_SEAM(int, BMC_RmFile, (const char* p), -1, (p))
FH_SEAM(int, BRIDGE_LOCK_LTF_FILE_READ, (int fd), -1, (fd))
FH_SEAM(CURLcode, curl_global_init, (long flags), CURLE_FAILED_INIT, (flags))
FH_SEAM(FILE*, fopen64, (const char* p, const char* m), nullptr, (p, m))
FH_SEAM(FILE*, fdopen, (int fd, const char* m), nullptr, (fd, m))
FH_SEAM(size_t, fread, (void* b, size_t s, size_t n, FILE* f), 0, (b, s, n, f))
FH_SEAM(size_t, fwrite, (const void* b, size_t s, size_t n, FILE* f), 0, (b, s, n, f))
FH_SEAM(ssize_t, write, (int fd, const void* b, size_t n), -1, (fd, b, n))
FH_SEAM(ssize_t, pwrite64, (int fd, const void* b, size_t n, off64_t o), -1, (fd, b, n, o))
FH_SEAM(ssize_t, sendfile64, (int o, int i, off64_t* p, size_t n), -1, (o, i, p, n))
FH_SEAM(int, ftruncate64, (int fd, off64_t n), -1, (fd, n))
FH_SEAM(int, rename, (const char* a, const char* b), -1, (a, b))
FH_SEAM(int, renameat2, (int d1, const char* a, int d2, const char* b, unsigned f), -1,
        (d1, a, d2, b, f))
FH_SEAM(int, link, (const char* a, const char* b), -1, (a, b))
FH_SEAM(int, unlink, (const char* p), -1, (p))
FH_SEAM(int, remove, (const char* p), -1, (p))
FH_SEAM(int, rmdir, (const char* p), -1, (p))
FH_SEAM(int, mkdir, (const char* p, mode_t m), -1, (p, m))

extern "C" int open64(const char* path, int flags, ...) {
    static auto real = fhtest::Next<int (*)(const char*, int, ...)>("open64");
    mode_t mode = 0;
    if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    return FH_INJECT("open64") ? -1 : real(path, flags, mode);
}

// The sanitizers own the allocator and thread creation: there neither is a seam (their
// start-up allocates before a lookup through dlsym could work).
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" void* malloc(size_t n) {
    // Looked up once, on the first call (dlsym itself does not allocate here).
    static void* (*real)(size_t) = reinterpret_cast<void* (*)(size_t)>(dlsym(RTLD_NEXT, "malloc"));
    return FH_INJECT("malloc") ? nullptr : real(n);
}
// The platform's detached workers and the library's own joinable threads.
FH_SEAM(int, pthread_create, (pthread_t * t, const pthread_attr_t* a, void* (*f)(void*), void* v),
        EAGAIN, (t, a, f, v))
#endif

// Options pass through by the type their number says, as libcurl reads them.
#undef curl_easy_setopt
extern "C" CURLcode curl_easy_setopt(CURL* h, CURLoption option, ...) {
    static auto real = fhtest::Next<CURLcode (*)(CURL*, CURLoption, ...)>("curl_easy_setopt");
    va_list ap;
    // The signature is libcurl's own; its enum parameter is int-sized, so
    // va_start is well defined here whatever clang's promotion check says.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
    va_start(ap, option);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
    CURLcode rc = CURLE_UNKNOWN_OPTION;
    if (option < CURLOPTTYPE_OBJECTPOINT) {
        long v = va_arg(ap, long);
        rc = FH_INJECT("curl_easy_setopt") ? rc : real(h, option, v);
    } else if (option < CURLOPTTYPE_OFF_T || option >= CURLOPTTYPE_BLOB) {
        void* v = va_arg(ap, void*);
        rc = FH_INJECT("curl_easy_setopt") ? rc : real(h, option, v);
    } else {
        curl_off_t v = va_arg(ap, curl_off_t);
        rc = FH_INJECT("curl_easy_setopt") ? rc : real(h, option, v);
    }
    va_end(ap);
    return rc;
}

// The library's forms are (option, pointer) pairs ending with CURLFORM_END.
extern "C" CURLFORMcode curl_formadd(curl_httppost** first, curl_httppost** last, ...) {
    static auto real =
        fhtest::Next<CURLFORMcode (*)(curl_httppost**, curl_httppost**, ...)>("curl_formadd");
    va_list ap;
    va_start(ap, last);
    int o[2];
    void* v[2];
    for (int i = 0; i < 2; ++i) {
        o[i] = va_arg(ap, int);
        v[i] = va_arg(ap, void*);
    }
    int end = va_arg(ap, int);
    va_end(ap);
    if (end != CURLFORM_END) {
        abort();  // a form shape this interposer does not forward
    }
    return FH_INJECT("curl_formadd") ? CURL_FORMADD_MEMORY
                                     : real(first, last, o[0], v[0], o[1], v[1], CURLFORM_END);
}
