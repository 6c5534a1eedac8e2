#include "tests/support.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <glob.h>
#include <stdarg.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#define CURL_DISABLE_DEPRECATION 1
#include <curl/curl.h>

#include "platform/bmc_platform.h"

namespace fhtest {
namespace {

std::mutex g_mu;
std::vector<LogLine> g_logs;
std::vector<std::vector<unsigned char>> g_events;
std::vector<std::string> g_commands;
std::vector<ComponentProcess> g_progress;
BridgeCalls g_bridge;
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

}  // namespace

Faults& faults() {
    static Faults f;
    return f;
}

std::vector<LogLine> Logs() {
    std::lock_guard<std::mutex> l(g_mu);
    return g_logs;
}

bool Logged(unsigned level, const std::string& text) {
    for (const LogLine& l : Logs()) {
        if (l.level == level && l.text == text) {
            return true;
        }
    }
    return false;
}

size_t CountLogged(const std::string& substring) {
    size_t n = 0;
    for (const LogLine& l : Logs()) {
        n += l.text.find(substring) != std::string::npos;
    }
    return n;
}

std::vector<std::string> Commands() {
    std::lock_guard<std::mutex> l(g_mu);
    return g_commands;
}

BridgeCalls TftpBridgeCalls() {
    std::lock_guard<std::mutex> l(g_mu);
    return g_bridge;
}

std::vector<ComponentProcess> ProgressWrites() {
    std::lock_guard<std::mutex> l(g_mu);
    return g_progress;
}

std::vector<std::vector<unsigned char>> Events() {
    std::lock_guard<std::mutex> l(g_mu);
    return g_events;
}

std::vector<std::pair<std::string, std::string>> EventTexts() {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& e : Events()) {
        std::vector<std::string> texts;
        const unsigned char* area = e.data() + SDS_SDL_AREA_OFFSET;
        for (size_t off = 0; off + 2 <= SDS_SDL_AREA_SIZE;) {
            unsigned type = area[off], len = area[off + 1];
            if (type == 0 && len == 0) {
                break;
            }
            if (type == 0x11) {
                texts.emplace_back(reinterpret_cast<const char*>(area + off + 2),
                                   strnlen(reinterpret_cast<const char*>(area + off + 2), len));
            }
            off += 2 + len;
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

namespace {
std::atomic<uint32_t> g_frozenClock{0};
}  // namespace

uint32_t FreezeClock() {
    g_frozenClock = 0;
    uint32_t now = static_cast<uint32_t>(time(nullptr));
    g_frozenClock = now;
    return now;
}

void ResetAll() {
    g_frozenClock = 0;
    ASSERT_TRUE(WaitForWorkers()) << "a worker of an earlier test is still running";
    faults().noDb = false;
    faults().dbGetFails = false;
    faults().dbPutFails = false;
    faults().threadCreateFails = false;
    faults().curlInitFails = false;
    faults().eventSubmitFails = false;
    faults().umountFails = false;
    WriteTable(TaskTable{});
    glob_t g{};
    if (glob("/var/uploadDownload*.progress", 0, nullptr, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc; ++i) {
            unlink(g.gl_pathv[i]);
        }
    }
    globfree(&g);
    std::lock_guard<std::mutex> l(g_mu);
    g_logs.clear();
    g_events.clear();
    g_commands.clear();
    g_progress.clear();
    g_bridge = BridgeCalls{};
}

void FhTest::TearDown() {
    EXPECT_TRUE(WaitForWorkers());
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

Outcome RunUri(uint8_t type, const std::string& local, const std::string& uri, int timeoutSeconds) {
    RedfishInfo in{};
    in.ucHandleType = type;
    in.ucFileMode = 1;
    snprintf(in.szLocalPath, sizeof in.szLocalPath, "%s", local.c_str());
    snprintf(in.szRedfishCmd, sizeof in.szRedfishCmd, "%s", uri.c_str());
    uint32_t id = 0;
    uint32_t rc = FILEHANDLE_UploadDownloadFileImageForRedfish(&in, &id);
    return Finish(rc, id, timeoutSeconds);
}

void WriteRecordRaw(const std::string& path, uint32_t stage, uint32_t time, uint8_t percent) {
    ComponentProcess rec{};
    rec.uiStage = stage;
    rec.uiTime = time;
    rec.ucPercent = percent;
    WriteFile(path, std::string(reinterpret_cast<const char*>(&rec), sizeof rec));
}

ComponentProcess WaitForEnd(uint32_t id, int timeoutSeconds) {
    ComponentProcess rec{};
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (std::chrono::steady_clock::now() < end) {
        if (FILEHANDLE_UploadDownloadProgress(id, &rec) == 0 &&
            (rec.uiStage == FILEHANDLE_STAGE_SUCCEED || rec.uiStage == FILEHANDLE_STAGE_FAILED)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    WaitForWorkers();
    return rec;
}

namespace {
bool IsWorkerName(const std::string& n) {
    return n == "HttpThread" || n == "TftpThread" || n == "SftpThread" || n == "ScpThread" ||
           n == "FtpThread" || n == "MountThread";
}
}  // namespace

bool WaitForWorkers(int timeoutSeconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
        bool any = false;
        DIR* d = opendir("/proc/self/task");
        while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
            if (e->d_name[0] == '.') {
                continue;
            }
            std::string comm = ReadFile(std::string("/proc/self/task/") + e->d_name + "/comm");
            while (!comm.empty() && comm.back() == '\n') {
                comm.pop_back();
            }
            any = any || IsWorkerName(comm);
        }
        if (d != nullptr) {
            closedir(d);
        }
        if (!any) {
            return true;
        }
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int ThreadCount() {
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
        n += e->d_name[0] != '.';
    }
    if (d != nullptr) {
        closedir(d);
    }
    return n;
}

bool LockIsFree(const char* name) {
    std::string path = std::string(BMC_LOCK_DIR) + "/" + name;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) {
        c = static_cast<char>(gen());
    }
    return s;
}

std::map<std::string, std::string> LoadEnvFile(const char* var) {
    std::map<std::string, std::string> out;
    const char* path = getenv(var);
    if (path == nullptr) {
        return out;
    }
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos && line[0] != '#') {
            out[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return out;
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

}  // namespace fhtest

using fhtest::faults;

// ---- interposers: the library calls these instead of the platform's and libcurl's ----

extern "C" time_t time(time_t* out) {
    struct timespec ts {};
    uint32_t frozen = fhtest::g_frozenClock.load();
    if (frozen == 0) {
        clock_gettime(CLOCK_REALTIME, &ts);
    }
    time_t now = frozen != 0 ? static_cast<time_t>(frozen) : ts.tv_sec;
    if (out != nullptr) {
        *out = now;
    }
    return now;
}

extern "C" BMC_Db* DB_GetCurrentDb(void) {
    static auto real = fhtest::Next<BMC_Db* (*)()>("DB_GetCurrentDb");
    return faults().noDb ? nullptr : real();
}

extern "C" int DB_Get(BMC_Db* db, uint32_t key, uint32_t size, void* buffer) {
    static auto real = fhtest::Next<int (*)(BMC_Db*, uint32_t, uint32_t, void*)>("DB_Get");
    return faults().dbGetFails ? 1 : real(db, key, size, buffer);
}

extern "C" int DB_PutInternal(const char* file, uint32_t line, BMC_Db* db, uint32_t key,
                              uint32_t size, const void* buffer) {
    static auto real =
        fhtest::Next<int (*)(const char*, uint32_t, BMC_Db*, uint32_t, uint32_t, const void*)>(
            "DB_PutInternal");
    return faults().dbPutFails ? 1 : real(file, line, db, key, size, buffer);
}

extern "C" int BMC_CreateDetachThreadInternal(BMC_THREAD_ROUTINE routine, const char* name,
                                              void* argument, pthread_t* thread) {
    static auto real = fhtest::Next<int (*)(BMC_THREAD_ROUTINE, const char*, void*, pthread_t*)>(
        "BMC_CreateDetachThreadInternal");
    return faults().threadCreateFails ? EAGAIN : real(routine, name, argument, thread);
}

extern "C" CURL* curl_easy_init(void) {
    static auto real = fhtest::Next<CURL* (*)()>("curl_easy_init");
    return faults().curlInitFails ? nullptr : real();
}

extern "C" int SDS_Internal_AddSdlFromBmc(const void* event, const char* file,
                                          const char* function) {
    static auto real =
        fhtest::Next<int (*)(const void*, const char*, const char*)>("SDS_Internal_AddSdlFromBmc");
    {
        const unsigned char* p = static_cast<const unsigned char*>(event);
        std::lock_guard<std::mutex> l(fhtest::g_mu);
        fhtest::g_events.emplace_back(p, p + SDS_SDL_EVENT_SIZE);
    }
    return faults().eventSubmitFails ? 5 : real(event, file, function);
}

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
        fhtest::g_logs.push_back({module, level, text});
    }
    return real(module, reserved, level, line, file, "%s", text);
}

extern "C" int BMC_System(const char* command) {
    static auto real = fhtest::Next<int (*)(const char*)>("BMC_System");
    {
        std::lock_guard<std::mutex> l(fhtest::g_mu);
        fhtest::g_commands.emplace_back(command != nullptr ? command : "");
    }
    if (faults().umountFails && command != nullptr && strncmp(command, "umount ", 7) == 0) {
        return 32;
    }
    return real(command);
}

extern "C" int BRIDGE_LOCK_LTF_FILE_WRITE(int fd) {
    static auto real = fhtest::Next<int (*)(int)>("BRIDGE_LOCK_LTF_FILE_WRITE");
    int rc = real(fd);
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
        int rd = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
        if (rd >= 0 && pread(rd, &rec, sizeof rec, 0) == static_cast<ssize_t>(sizeof rec)) {
            std::lock_guard<std::mutex> l(fhtest::g_mu);
            fhtest::g_progress.push_back(rec);
        }
        if (rd >= 0) {
            close(rd);
        }
    }
    return real(fd);
}

extern "C" int BRIDGE_TFTP(uint8_t type, const char* host, const char* remote, int fd,
                           uint32_t port, uint32_t blockSize, const char* progressFile,
                           int32_t expectedSize) {
    static auto real = fhtest::Next<int (*)(uint8_t, const char*, const char*, int, uint32_t,
                                            uint32_t, const char*, int32_t)>("BRIDGE_TFTP");
    {
        std::lock_guard<std::mutex> l(fhtest::g_mu);
        fhtest::g_bridge.transferPorts.push_back(port);
    }
    return real(type, host, remote, fd, port, blockSize, progressFile, expectedSize);
}

extern "C" int BRIDGE_GetTftpRemoteFileSize(const char* host, uint32_t port, const char* remote,
                                            int32_t* size) {
    static auto real = fhtest::Next<int (*)(const char*, uint32_t, const char*, int32_t*)>(
        "BRIDGE_GetTftpRemoteFileSize");
    {
        std::lock_guard<std::mutex> l(fhtest::g_mu);
        fhtest::g_bridge.sizePorts.push_back(port);
    }
    return real(host, port, remote, size);
}
