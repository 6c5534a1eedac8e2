// Custom logo upload end to end: real transfers from the loopback HTTP servers and local
// copies into the fixed logo files under /mnt (a fresh tmpfs here), with the task-service
// records and the operation log read back as another program would read them.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/raii.h"
#include "platform/bmc_platform.h"
#include "tests/support.h"

using namespace fhtest;

namespace {

constexpr uint32_t kBadCommand = 0x3c00040a;
constexpr uint32_t kUnsupported = 0x3c000614;
constexpr uint32_t kNullArgument = 0x3c000c01;
constexpr uint32_t kStartFailed = 0x3c000c02;
constexpr uint32_t kTransferFailed = 0x3c000c09;
constexpr uint32_t kStalled = 0x3c000c0f;

constexpr char kStorage[] = "/mnt/sdmmc0p2";
constexpr char kBmcDir[] = "/mnt/sdmmc0p2/OEMFile/bmc/logo";
constexpr char kBiosDir[] = "/mnt/sdmmc0p2/OEMFile/bios/logo";
constexpr char kSources[] = "/var/tmp/logo-src";
constexpr char kSuccessText[] = "Uploaded the custom logo successfully.";
constexpr char kFailureText[] = "Failed to upload the custom logo.";

struct Row {
    const char* name;
    const char* dir;
};
const Row kRows[] = {
    {"logo1.png", kBmcDir},
    {"logo2.png", kBmcDir},
    {"favicon.ico", kBmcDir},
    {"bios_logo_post.jpg", kBiosDir},
    {"bios_logo_quiet.jpg", kBiosDir},
};

// ---- recorders in front of the task service: every call is kept, then forwarded ----

std::mutex g_taskMu;
std::vector<TaskServiceUpdate> g_updates;
std::atomic<int> g_registrations{0};
std::atomic<bool> g_registerFails{false};

template <typename Fn>
Fn Real(const char* name) {
    void* p = dlsym(RTLD_NEXT, name);
    if (p == nullptr) {
        fprintf(stderr, "interposer: %s not found\n", name);
        abort();
    }
    return reinterpret_cast<Fn>(p);
}

std::vector<TaskServiceUpdate> Updates() {
    std::lock_guard<std::mutex> l(g_taskMu);
    return g_updates;
}

}  // namespace

extern "C" int TASK_TaskServiceRegister(const void* registration, void* taskInfo,
                                        uint32_t* startTime, uint8_t kind) {
    static auto real =
        Real<int (*)(const void*, void*, uint32_t*, uint8_t)>("TASK_TaskServiceRegister");
    ++g_registrations;
    return g_registerFails ? 1 : real(registration, taskInfo, startTime, kind);
}

extern "C" int TASK_TaskServiceUpdate(const void* update) {
    static auto real = Real<int (*)(const void*)>("TASK_TaskServiceUpdate");
    if (update != nullptr) {
        TaskServiceUpdate copy;
        memcpy(&copy, update, sizeof copy);
        std::lock_guard<std::mutex> l(g_taskMu);
        g_updates.push_back(copy);
    }
    return real(update);
}

namespace {

// ---- what the upload leaves behind ----

// Every entry under `root`: files with their content, directories as "<dir>", links as
// "-> target" (never followed).
std::map<std::string, std::string> Tree(const std::string& root) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string path = it->path().string();
        if (it->is_symlink()) {
            out[path] = "-> " + fs::read_symlink(it->path(), ec).string();
        } else if (it->is_directory()) {
            out[path] = "<dir>";
        } else {
            out[path] = ReadFile(path);
        }
    }
    return out;
}

struct OpEntry {
    std::string origin, interface, source, result, line, module, message;
};

// Reads `key=` and its value (in double quotes, or up to the next blank) at `pos`, and the
// blank after it; false when the line does not go on that way.
bool TakeField(const std::string& text, size_t& pos, const std::string& key, std::string* value) {
    if (text.compare(pos, key.size() + 1, key + "=") != 0) {
        return false;
    }
    pos += key.size() + 1;
    size_t end;
    if (pos < text.size() && text[pos] == '"') {
        end = text.find('"', pos + 1);
        if (end == std::string::npos) {
            return false;
        }
        *value = text.substr(pos + 1, end - pos - 1);
        pos = end + 1;
    } else {
        end = std::min(text.find(' ', pos), text.size());
        *value = text.substr(pos, end - pos);
        pos = end;
    }
    if (pos < text.size() && text[pos++] != ' ') {
        return false;
    }
    return true;
}

// The operation log, parsed; a line of any other shape comes back as its own text in
// `result`, so that a comparison shows it.
std::vector<OpEntry> OperationLog() {
    std::vector<OpEntry> out;
    std::istringstream in(ReadFile(BMC_OPERATE_LOG_PATH));
    std::string text;
    while (std::getline(in, text)) {
        OpEntry e;
        size_t pos = text.find(' ');  // date, then time
        pos = pos == std::string::npos ? pos : text.find(' ', pos + 1);
        bool ok = pos != std::string::npos && ++pos < text.size() &&
                  TakeField(text, pos, "origin", &e.origin) &&
                  TakeField(text, pos, "interface", &e.interface) &&
                  TakeField(text, pos, "source", &e.source) &&
                  TakeField(text, pos, "result", &e.result) &&
                  TakeField(text, pos, "line", &e.line) &&
                  TakeField(text, pos, "module", &e.module) &&
                  TakeField(text, pos, "message", &e.message) && pos == text.size();
        out.push_back(ok ? e : OpEntry{"", "", "", "unparsed: " + text, "", "", ""});
    }
    return out;
}

// Writes a switch file the way a host would.
void SetSwitch(const std::string& path, int value) {
    if (value < 0) {
        unlink(path.c_str());
        return;
    }
    BMC_System(("mkdir -p " + path.substr(0, path.rfind('/'))).c_str());
    WriteFile(path, std::to_string(value) + "\n");
}
void SetFeature(int oemFlag, int capability) {
    SetSwitch(BMC_OEM_FLAG_PATH, oemFlag);
    SetSwitch(std::string(BMC_CAPABILITY_DIR) + "/Customer.SupportUploadLogo", capability);
}

bool TransferTableEmpty() {
    TaskTable t = ReadTable();
    for (const TaskSlot& s : t.astSlot) {
        if (s.uiIdentifier != 0) {
            return false;
        }
    }
    return true;
}

std::string ProcessName() {
    std::string comm = ReadFile("/proc/self/comm");
    return comm.substr(0, comm.find('\n'));
}

// Byte images built straight from the offsets, independent of the header's records.
struct Field {
    size_t offset;
    size_t width;
    std::string text;  // for width 1 and 4: unused
    uint32_t number;
};
std::vector<unsigned char> Image(size_t size, const std::vector<Field>& fields) {
    std::vector<unsigned char> b(size, 0);
    for (const Field& f : fields) {
        if (f.width == 1) {
            b[f.offset] = static_cast<unsigned char>(f.number);
        } else if (f.width == 4) {
            for (int i = 0; i < 4; ++i) {
                b[f.offset + i] = static_cast<unsigned char>(f.number >> (8 * i));
            }
        } else {
            memcpy(&b[f.offset], f.text.data(), std::min(f.text.size(), f.width - 1));
        }
    }
    return b;
}
std::vector<unsigned char> ExpectedRegistration() {
    return Image(668, {{0, 257, "logo Upload Task", 0},
                       {257, 49, "Upload Task", 0},
                       {306, 33, "LogoUploading", 0},
                       {339, 16, ProcessName(), 0},
                       {355, 65, "BMC.UploadLogoComponent", 0},
                       {420, 65, "logo", 0},
                       {485, 65, "UpLoad The Logo", 0},
                       {550, 40, "logo", 0},
                       {590, 10, "OK", 0},
                       {600, 40, "Automatic.", 0},
                       {640, 1, "", 2},
                       {641, 1, "", 4},
                       {643, 1, "", 5},
                       {644, 4, "", 1},
                       {648, 4, "", 17},
                       {656, 4, "", 10}});
}
std::vector<unsigned char> ExpectedUpdate(uint32_t id, const std::string& message, uint8_t state,
                                          uint8_t percent) {
    return Image(676, {{4, 4, "", id},
                       {8, 4, "", 10},
                       {12, 257, "logo Upload Task", 0},
                       {269, 49, "Upload Task", 0},
                       {318, 33, "LogoUploading", 0},
                       {636, 33, message, 0},
                       {669, 1, "", state},
                       {670, 1, "", percent},
                       {671, 1, "", 2},
                       {672, 1, "", 4}});
}
template <typename T>
std::vector<unsigned char> Bytes(const T& record) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&record);
    return std::vector<unsigned char>(p, p + sizeof record);
}

// A one-connection HTTP server on the loopback that sends its body in 1 KiB pieces, 10 ms
// apart, so that a poller sees the percentage move. It gives up after 20 s without a
// client.
class SlowServer {
  public:
    explicit SlowServer(std::string body) : body_(std::move(body)) {
        fh::UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (!s.Valid() || bind(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(s.Get(), 1) != 0 ||
            getsockname(s.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            return;
        }
        port_ = ntohs(a.sin_port);
        listener_ = std::move(s);
        thread_ = std::thread([this] { Serve(); });
    }
    ~SlowServer() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    SlowServer(const SlowServer&) = delete;
    SlowServer& operator=(const SlowServer&) = delete;
    int Port() const { return port_; }

  private:
    static bool SendAll(int fd, const char* data, size_t n) {
        while (n > 0) {
            ssize_t w = send(fd, data, n, MSG_NOSIGNAL);
            if (w <= 0) {
                return false;
            }
            data += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }
    static bool Readable(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) == 1;
    }
    void Serve() {
        if (!Readable(listener_.Get(), 20000)) {
            return;
        }
        fh::UniqueFd c(accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        std::string head;
        char buf[4096];
        while (c.Valid() && head.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = Readable(c.Get(), 5000) ? recv(c.Get(), buf, sizeof buf, 0) : -1;
            if (n <= 0) {
                return;
            }
            head.append(buf, static_cast<size_t>(n));
        }
        std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_.size()) +
                            "\r\nConnection: close\r\n\r\n";
        if (!c.Valid() || !SendAll(c.Get(), reply.data(), reply.size())) {
            return;
        }
        for (size_t off = 0; off < body_.size(); off += kPiece) {
            if (!SendAll(c.Get(), body_.data() + off, std::min(kPiece, body_.size() - off))) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    static constexpr size_t kPiece = 1024;
    std::string body_;
    fh::UniqueFd listener_;
    int port_ = 0;
    std::thread thread_;
};

class LogoTest : public FhTest {
  protected:
    void SetUp() override {
        FhTest::SetUp();
        Reset();
    }

    // A clean start: the storage partition as the controller mounts it (the logo
    // directories themselves are the upload's to make), the feature on, no entries.
    void Reset() {
        ResetAll();
        BMC_System((std::string("rm -rf ") + kStorage + " " + kSources + " /var/tmp/logo-victim " +
                    BMC_OPERATE_LOG_PATH)
                       .c_str());
        BMC_System((std::string("mkdir -p ") + kStorage + "/OEMFile/bmc " + kStorage +
                    "/OEMFile/bios " + kSources + " /var/tmp/logo-victim")
                       .c_str());
        SetFeature(3, 1);
        {
            std::lock_guard<std::mutex> l(g_taskMu);
            g_updates.clear();
        }
        g_registrations = 0;
        g_registerFails = false;
        origin_ = OperateLogOrigin{};
        strcpy(origin_.szInterface, "Redfish");
        strcpy(origin_.szSource, "logo-tester");
        origin_.uiOriginId = 4711;
        info_ = TaskServiceTaskInfo{};
    }

    uint32_t Upload(const std::string& command) {
        return FILEHANDLE_UploadLogo(command.c_str(), &origin_, &info_);
    }

    static std::string Http(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(servers().httpPort) + path;
    }
    static std::string Serve(const std::string& name, const std::string& content) {
        WriteFile(servers().dir + "/www/files/" + name, content);
        return Http("/files/" + name);
    }
    static std::string Source(const std::string& name, const std::string& content) {
        std::string path = std::string(kSources) + "/" + name;
        WriteFile(path, content);
        return path;
    }

    // The task-service records of the upload's task.
    void ReadTask(TaskServiceStoredRegistration* reg, TaskServiceStoredUpdate* upd) {
        ASSERT_EQ(0, TASK_TaskServiceRead(info_.uiTaskId, reg, upd)) << info_.uiTaskId;
    }
    void ExpectFinalUpdate(uint8_t state, uint8_t percent) {
        TaskServiceStoredUpdate upd{};
        ASSERT_NO_FATAL_FAILURE(ReadTask(nullptr, &upd));
        const char* message = state == 2 ? "logo upload success" : "logo upload failed";
        EXPECT_TRUE(Bytes(upd.stRecord) == ExpectedUpdate(info_.uiTaskId, message, state, percent))
            << "state " << unsigned(upd.stRecord.ucState) << " percent "
            << unsigned(upd.stRecord.ucPercent) << " message " << upd.stRecord.szMessage;
        EXPECT_EQ(Updates().size(), upd.uiCount);
    }
    void ExpectOneEntry(const char* letter, const char* text) {
        auto log = OperationLog();
        ASSERT_EQ(1u, log.size());
        EXPECT_EQ(letter, log[0].result);
        EXPECT_EQ(text, log[0].message);
        EXPECT_EQ("4711", log[0].origin);
        EXPECT_EQ("Redfish", log[0].interface);
        EXPECT_EQ("logo-tester", log[0].source);
        EXPECT_EQ("254", log[0].module);
    }

    OperateLogOrigin origin_{};
    TaskServiceTaskInfo info_{};
};

std::string TempOf(const Row& r) {
    return std::string(r.dir) + "/TmpLogo";
}
std::string FinalOf(const Row& r) {
    return std::string(r.dir) + "/" + r.name;
}

}  // namespace

TEST_F(LogoTest, EachRowLandsInItsDirectory) {
    enum Via { kHttp, kLocal };
    for (Via via : {kLocal, kHttp}) {
        if (via == kHttp && !servers().ok()) {
            GTEST_SKIP() << "FH_TEST_SERVERS not set: the HTTP cases need the test servers";
        }
        for (size_t i = 0; i < sizeof kRows / sizeof kRows[0]; ++i) {
            const Row& row = kRows[i];
            SCOPED_TRACE(std::string(via == kHttp ? "http " : "local ") + row.name);
            Reset();
            // Over HTTP the directories do not exist yet; a local copy replaces an old logo.
            if (via == kLocal) {
                BMC_System((std::string("mkdir -p ") + row.dir).c_str());
                WriteFile(FinalOf(row), "old logo");
            }
            std::string content = RandomBytes(20000 + 1000 * i, static_cast<unsigned>(i + via));
            std::string command =
                via == kHttp ? Serve(row.name, content) : Source(row.name, content);
            uint32_t last = TASK_TaskServiceLastId();

            EXPECT_EQ(0u, Upload(command));
            EXPECT_TRUE(ReadFile(FinalOf(row)) == content) << "installed logo differs";
            EXPECT_FALSE(FileExists(TempOf(row)));
            // Nothing else under the storage partition.
            std::map<std::string, std::string> want = {
                {std::string(kStorage) + "/OEMFile", "<dir>"},
                {std::string(kStorage) + "/OEMFile/bmc", "<dir>"},
                {std::string(kStorage) + "/OEMFile/bios", "<dir>"},
                {row.dir, "<dir>"},
                {FinalOf(row), content}};
            EXPECT_TRUE(Tree(kStorage) == want) << "unexpected files under " << kStorage;
            if (via == kLocal) {
                EXPECT_TRUE(ReadFile(command) == content) << "the source was moved or changed";
            }
            EXPECT_TRUE(TransferTableEmpty()) << "the transfer task was not deleted";
            EXPECT_EQ(last + 1, info_.uiTaskId);
            ExpectOneEntry("c", kSuccessText);
            ExpectFinalUpdate(2, 100);
        }
    }
}

TEST_F(LogoTest, TaskRegistrationRecord) {
    std::string command = Source("favicon.ico", "icon");
    info_.uiTaskId = 0xdeadbeef;
    uint32_t before = static_cast<uint32_t>(time(nullptr));
    ASSERT_EQ(0u, Upload(command));
    uint32_t after = static_cast<uint32_t>(time(nullptr));

    TaskServiceStoredRegistration reg{};
    ASSERT_NO_FATAL_FAILURE(ReadTask(&reg, nullptr));
    EXPECT_EQ(TASK_TaskServiceLastId(), info_.uiTaskId);
    EXPECT_EQ(info_.uiTaskId, reg.uiTaskId);
    EXPECT_EQ(5u, reg.uiKind);
    EXPECT_EQ(reg.uiTime, info_.uiStartTime);
    EXPECT_GE(info_.uiStartTime, before);
    EXPECT_LE(info_.uiStartTime, after);
    std::vector<unsigned char> want = ExpectedRegistration();
    std::vector<unsigned char> have = Bytes(reg.stRecord);
    for (size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(unsigned(want[i]), unsigned(have[i])) << "registration byte " << i;
    }
    EXPECT_EQ(1, g_registrations.load());
}

TEST_F(LogoTest, PercentageMovesThenCompletes) {
    std::string content = RandomBytes(150 * 1024, 21);
    SlowServer server(content);
    ASSERT_NE(0, server.Port());
    std::string uri = "http://127.0.0.1:" + std::to_string(server.Port()) + "/slow/logo1.png";

    ASSERT_EQ(0u, Upload(uri));
    EXPECT_TRUE(ReadFile(std::string(kBmcDir) + "/logo1.png") == content);

    auto updates = Updates();
    ASSERT_GE(updates.size(), 4u) << "too few updates to see the percentage move";
    uint8_t previous = 0;
    for (size_t i = 0; i + 1 < updates.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(Bytes(updates[i]) ==
                    ExpectedUpdate(info_.uiTaskId, "logo uploading", 0, updates[i].ucPercent));
        EXPECT_GT(updates[i].ucPercent, previous) << "each update brings a new percentage";
        EXPECT_LE(updates[i].ucPercent, 100);
        previous = updates[i].ucPercent;
    }
    EXPECT_TRUE(Bytes(updates.back()) ==
                ExpectedUpdate(info_.uiTaskId, "logo upload success", 2, 100));
    ExpectFinalUpdate(2, 100);
}

TEST_F(LogoTest, RefusedCommands) {
    std::string valid = Source("logo1.png", "image");
    struct Case {
        const char* name;
        std::string command;
        uint32_t result;
        const char* logged;  // level-2 text; null: none checked
        bool entry;          // one 'C' operation-log entry
    };
    const Case cases[] = {
        {"name outside the table", std::string(kSources) + "/logo3.png", kBadCommand,
         "redfish cmd /var/tmp/logo-src/logo3.png is incorrect.", true},
        {"no slash", "logo1.png", kBadCommand, "redfish cmd logo1.png is incorrect.", true},
        {"empty last element", std::string(kSources) + "/", kBadCommand, nullptr, true},
        {"empty last element over http", "http://127.0.0.1:1/files/", kBadCommand, nullptr, true},
        {"dot dot", valid + "/..", kBadCommand, nullptr, true},
        {"other case", std::string(kSources) + "/LOGO1.PNG", kBadCommand, nullptr, true},
        {"trailing blank", valid + " ", kBadCommand, nullptr, true},
        {"trailing newline", valid + "\n", kBadCommand, nullptr, true},
        {"query string", "http://127.0.0.1:1/files/logo1.png?v=2", kBadCommand, nullptr, true},
        {"temporary file's name", std::string(kSources) + "/TmpLogo", kBadCommand, nullptr, true},
        {"directory's name", std::string(kSources) + "/logo", kBadCommand, nullptr, true},
        {"1024 characters", std::string(1015, '/') + "logo1.png", kBadCommand,
         "invalid redfish cmd length 1024.", false},
        {"4000 characters", std::string(3991, '/') + "logo1.png", kBadCommand,
         "invalid redfish cmd length 4000.", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        Source("logo1.png", "image");
        auto storage = Tree(kStorage);
        uint32_t last = TASK_TaskServiceLastId();

        EXPECT_EQ(c.result, Upload(c.command));
        if (c.logged != nullptr) {
            EXPECT_TRUE(Logged(2, c.logged));
        }
        auto log = OperationLog();
        if (c.entry) {
            ASSERT_NO_FATAL_FAILURE(ExpectOneEntry("C", kFailureText));
        } else {
            EXPECT_TRUE(log.empty());
        }
        EXPECT_TRUE(Tree(kStorage) == storage) << "the storage partition changed";
        EXPECT_EQ(0, g_registrations.load());
        EXPECT_EQ(last, TASK_TaskServiceLastId());
        EXPECT_TRUE(Updates().empty());
        EXPECT_TRUE(TransferTableEmpty());
    }
}

TEST_F(LogoTest, CommandLengthLimit) {
    // A local source path padded with "./" to the exact length (and one more '/' when odd).
    auto padded = [](size_t length, bool http) {
        std::string head = http ? Http("/files") : std::string(kSources);
        std::string tail = "/logo2.png";
        size_t pad = length - head.size() - tail.size();
        std::string middle;
        for (size_t i = 0; i + 2 <= pad; i += 2) {
            middle += http ? "//" : "/.";
        }
        if (middle.size() < pad) {
            middle += "/";
        }
        return head + middle + tail;
    };
    struct Case {
        size_t length;
        bool http;
        uint32_t result;
    };
    const Case cases[] = {
        {1023, false, 0}, {1024, false, kBadCommand}, {1023, true, 0}, {1024, true, kBadCommand}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + (c.http ? " http" : " local"));
        if (c.http && !servers().ok()) {
            GTEST_SKIP() << "FH_TEST_SERVERS not set: the HTTP cases need the test servers";
        }
        Reset();
        std::string content = RandomBytes(3000, static_cast<unsigned>(c.length));
        if (c.http) {
            Serve("logo2.png", content);
        } else {
            Source("logo2.png", content);
        }
        std::string command = padded(c.length, c.http);
        ASSERT_EQ(c.length, command.size());
        EXPECT_EQ(c.result, Upload(command));
        std::string installed = std::string(kBmcDir) + "/logo2.png";
        if (c.result == 0) {
            EXPECT_TRUE(ReadFile(installed) == content);
        } else {
            EXPECT_FALSE(FileExists(kBmcDir)) << "a refused command made the directory";
        }
    }
}

TEST_F(LogoTest, FeatureSwitches) {
    struct Case {
        int oemFlag;  // -1: no file
        int capability;
        uint32_t result;
    };
    const Case cases[] = {
        {3, 1, 0},
        {3, 200, 0},
        {3, 0, kUnsupported},
        {2, 1, kUnsupported},
        {255, 1, kUnsupported},
        {0, 0, kUnsupported},
        {-1, 1, kUnsupported},
        {3, -1, kUnsupported},
        {-1, -1, kUnsupported},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("flag " + std::to_string(c.oemFlag) + " capability " +
                     std::to_string(c.capability));
        Reset();
        SetFeature(c.oemFlag, c.capability);
        std::string command = Source("bios_logo_post.jpg", "post");
        EXPECT_EQ(c.result, Upload(command));
        std::string installed = std::string(kBiosDir) + "/bios_logo_post.jpg";
        if (c.result == 0) {
            EXPECT_EQ("post", ReadFile(installed));
            ExpectOneEntry("c", kSuccessText);
        } else {
            EXPECT_TRUE(Logged(2, "unsupport upload logo."));
            EXPECT_FALSE(FileExists(kBiosDir));
            EXPECT_EQ(0, g_registrations.load());
            ExpectOneEntry("C", kFailureText);
        }
    }
}

TEST_F(LogoTest, FailedTransferKeepsTheInstalledLogo) {
    if (!servers().ok()) {
        GTEST_SKIP() << "FH_TEST_SERVERS not set: start scripts/run-tests.sh";
    }
    struct Case {
        const char* name;
        std::string command;
        uint32_t result;
    };
    const Case cases[] = {
        {"missing remote file", Http("/files/no-such-dir/logo1.png"), kTransferFailed},
        {"server error", Http("/status/500/logo1.png"), kTransferFailed},
        {"closed port", "http://127.0.0.1:1/logo1.png", kTransferFailed},
        {"missing local source", std::string(kSources) + "/no-such-dir/logo1.png", kStartFailed},
        {"URI the parser refuses", "http://[FE80::1]/logo1.png", kStartFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        BMC_System((std::string("mkdir -p ") + kBmcDir).c_str());
        std::string installed = std::string(kBmcDir) + "/logo1.png";
        WriteFile(installed, "old logo");

        EXPECT_EQ(c.result, Upload(c.command));
        EXPECT_EQ("old logo", ReadFile(installed));
        EXPECT_FALSE(FileExists(std::string(kBmcDir) + "/TmpLogo"));
        EXPECT_TRUE(TransferTableEmpty());
        ExpectOneEntry("C", kFailureText);
        ExpectFinalUpdate(4, 0);
        if (c.result == kStartFailed) {
            EXPECT_TRUE(Logged(2, "upload file logo1.png failed."));
        }
    }
}

TEST_F(LogoTest, StalledTransferInstallsNothing) {
    if (!servers().ok()) {
        GTEST_SKIP() << "FH_TEST_SERVERS not set: start scripts/run-tests.sh";
    }
    // The server sends half of the file and then nothing.
    Serve("logo2.png", RandomBytes(2 << 20, 5));
    BMC_System((std::string("mkdir -p ") + kBmcDir).c_str());
    std::string installed = std::string(kBmcDir) + "/logo2.png";
    WriteFile(installed, "old logo");

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kStalled, Upload(Http("/stall/logo2.png")));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    auto check = [&] {
        EXPECT_EQ("old logo", ReadFile(installed));
        EXPECT_FALSE(FileExists(std::string(kBmcDir) + "/TmpLogo"));
    };
    check();
    EXPECT_TRUE(TransferTableEmpty());
    ExpectOneEntry("C", kFailureText);

    auto updates = Updates();
    ASSERT_GE(updates.size(), 2u);
    uint8_t seen = updates[updates.size() - 2].ucPercent;
    EXPECT_EQ(0, updates[updates.size() - 2].ucState);
    EXPECT_GT(seen, 0) << "the first half was seen arriving";
    EXPECT_LT(seen, 100);
    ExpectFinalUpdate(4, seen);

    // The abandoned worker gives up once it sees its task gone; still nothing installed.
    EXPECT_TRUE(WaitForWorkers(30));
    check();
}

TEST_F(LogoTest, CommandsWriteOnlyTheLogoFiles) {
    // Files a hostile command might aim at, and links planted where the upload writes.
    std::string victim = "/var/tmp/logo-victim/precious";
    WriteFile(victim, "precious");
    auto tree = [] {
        auto t = Tree("/var/tmp/logo-victim");
        auto s = Tree(kSources);
        t.insert(s.begin(), s.end());
        return t;
    };
    struct Case {
        const char* name;
        std::string command;
        bool installs;
        bool plantLinks;  // TmpLogo and logo1.png are links to the victim beforehand
    };
    std::string src = kSources;
    const Case cases[] = {
        {"dot dot inside the path", src + "/../logo-src/logo1.png", true, false},
        {"dot dot after the name", src + "/logo1.png/..", false, false},
        {"climbing out of the logo directory",
         std::string(kBmcDir) + "/../../../../../var/tmp/logo-victim/logo1.png", false, false},
        {"the installed logo itself", std::string(kBmcDir) + "/logo1.png", true, false},
        {"the temporary file", std::string(kBmcDir) + "/TmpLogo", false, false},
        {"upper-case scheme", "HTTP://127.0.0.1/x/logo1.png", false, false},
        {"links planted, then an upload", src + "/logo1.png", true, true},
        {"links planted, then a failure", src + "/missing/logo1.png", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        WriteFile(victim, "precious");
        Source("logo1.png", "new image");
        BMC_System((std::string("mkdir -p ") + kBmcDir).c_str());
        WriteFile(std::string(kBmcDir) + "/logo1.png", "new image");
        if (c.plantLinks) {
            unlink((std::string(kBmcDir) + "/logo1.png").c_str());
            ASSERT_EQ(0, symlink(victim.c_str(), (std::string(kBmcDir) + "/TmpLogo").c_str()));
            ASSERT_EQ(0, symlink(victim.c_str(), (std::string(kBmcDir) + "/logo1.png").c_str()));
        }
        auto outside = tree();

        uint32_t rc = Upload(c.command);
        EXPECT_EQ(c.installs, rc == 0) << std::hex << rc;
        EXPECT_TRUE(tree() == outside) << "a file outside the logo directory changed";
        EXPECT_FALSE(FileExists(std::string(kBmcDir) + "/TmpLogo"));
        auto storage = Tree(kStorage);
        for (const auto& entry : storage) {
            const std::string& p = entry.first;
            bool known = p == std::string(kStorage) + "/OEMFile" ||
                         p == std::string(kStorage) + "/OEMFile/bmc" ||
                         p == std::string(kStorage) + "/OEMFile/bios" || p == kBmcDir ||
                         p == std::string(kBmcDir) + "/logo1.png";
            EXPECT_TRUE(known) << p;
        }
        if (c.installs) {
            std::string installed = std::string(kBmcDir) + "/logo1.png";
            struct stat st {};
            ASSERT_EQ(0, lstat(installed.c_str(), &st));
            EXPECT_TRUE(S_ISREG(st.st_mode)) << "the logo is not a plain file";
            EXPECT_EQ("new image", ReadFile(installed));
        }
    }
}

TEST_F(LogoTest, WithoutATaskTheUploadGoesOn) {
    // A first upload leaves its task completed; the caller keeps the record.
    ASSERT_EQ(0u, Upload(Source("logo1.png", "first")));
    uint32_t earlier = info_.uiTaskId;
    ASSERT_NE(0u, earlier);

    struct Case {
        const char* name;
        std::string command;
        uint32_t result;
    };
    const Case cases[] = {
        {"success", Source("logo2.png", "second"), 0},
        {"failure", std::string(kSources) + "/missing/logo2.png", kStartFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> l(g_taskMu);
            g_updates.clear();
        }
        unlink(BMC_OPERATE_LOG_PATH);
        g_registerFails = true;
        EXPECT_EQ(c.result, Upload(c.command));
        g_registerFails = false;
        EXPECT_TRUE(Logged(2, "BMC download sds log regist Taskservice failed\n"));
        EXPECT_TRUE(Updates().empty()) << "updates sent without a task";
        EXPECT_EQ(earlier, info_.uiTaskId);
        ExpectOneEntry(c.result == 0 ? "c" : "C", c.result == 0 ? kSuccessText : kFailureText);
        // The earlier task keeps its final state.
        TaskServiceStoredUpdate upd{};
        ASSERT_EQ(0, TASK_TaskServiceRead(earlier, nullptr, &upd));
        EXPECT_EQ(2, upd.stRecord.ucState);
        EXPECT_STREQ("logo upload success", upd.stRecord.szMessage);
    }
    EXPECT_EQ("second", ReadFile(std::string(kBmcDir) + "/logo2.png"));
}

TEST_F(LogoTest, NullArguments) {
    OperateLogOrigin origin{};
    TaskServiceTaskInfo info{};
    struct Case {
        const char* command;
        void* origin;
        void* info;
        const char* name;
    };
    const Case cases[] = {
        {nullptr, &origin, &info, "pcRedfishCmd"},
        {"/var/tmp/logo1.png", nullptr, &info, "pstLogOrigin"},
        {"/var/tmp/logo1.png", &origin, nullptr, "pstTaskInfo"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        EXPECT_EQ(kNullArgument, FILEHANDLE_UploadLogo(c.command, c.origin, c.info));
        EXPECT_EQ(1u, CountLogged(std::string("Pointer ") + c.name +
                                  " is Null, File:filehandle_ulanddl Func:FILEHANDLE_UploadLogo"));
        EXPECT_TRUE(OperationLog().empty());
    }
}

// ---- the platform's task service, operation log and switches, as other programs see them ----

using LogoPlatformTest = FhTest;

TEST_F(LogoPlatformTest, TaskServiceRecordsAreSharedAndBounded) {
    TaskServiceRegistration reg{};
    strcpy(reg.szName, "test task");
    TaskServiceTaskInfo info{};
    ASSERT_EQ(0, TASK_TaskServiceRegister(&reg, &info, &info.uiStartTime, 9));
    uint32_t id = info.uiTaskId;
    EXPECT_EQ(id, TASK_TaskServiceLastId());

    TaskServiceStoredUpdate upd{};
    ASSERT_EQ(0, TASK_TaskServiceRead(id, nullptr, &upd));
    EXPECT_EQ(0u, upd.uiCount);

    TaskServiceUpdate u{};
    u.uiTaskId = id;
    u.ucPercent = 42;
    ASSERT_EQ(0, TASK_TaskServiceUpdate(&u));
    u.uiTaskId = id + 1000;
    EXPECT_NE(0, TASK_TaskServiceUpdate(&u)) << "an unknown task was updated";
    u.uiTaskId = 0;
    EXPECT_NE(0, TASK_TaskServiceUpdate(&u));

    // Another process reads what this one wrote.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TaskServiceStoredRegistration r{};
        TaskServiceStoredUpdate v{};
        bool same = TASK_TaskServiceRead(id, &r, &v) == 0 && r.uiKind == 9 &&
                    strcmp(r.stRecord.szName, "test task") == 0 && v.uiCount == 1 &&
                    v.stRecord.ucPercent == 42;
        _exit(same ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the other process saw " << status;

    // Only the latest TASK_SERVICE_SLOTS tasks are kept.
    for (uint32_t i = 0; i < TASK_SERVICE_SLOTS; ++i) {
        ASSERT_EQ(0, TASK_TaskServiceRegister(&reg, &info, nullptr, 9));
    }
    EXPECT_EQ(id + TASK_SERVICE_SLOTS, info.uiTaskId);
    EXPECT_EQ(-1, TASK_TaskServiceRead(id, nullptr, nullptr));
    u.uiTaskId = id;
    EXPECT_EQ(-1, TASK_TaskServiceUpdate(&u)) << "a forgotten task was updated";
    ASSERT_EQ(0, TASK_TaskServiceRead(info.uiTaskId, nullptr, &upd));
    EXPECT_EQ(0u, upd.uiCount) << "the new task inherited its slot's update";
}

TEST_F(LogoPlatformTest, OperationLogEntryIsOneLine) {
    unlink(BMC_OPERATE_LOG_PATH);
    OperateLogOrigin origin{};
    strcpy(origin.szInterface, "CLI");
    memset(origin.szSource, 'u', sizeof origin.szSource);  // not terminated in its field
    origin.uiOriginId = 7;
    ASSERT_EQ(0, OPERATELOG_AddLogComm(7, 'c', "two\nlines \"quoted\"", &origin, origin.szSource,
                                       12, 254));
    std::string text = ReadFile(BMC_OPERATE_LOG_PATH);
    ASSERT_EQ(1, std::count(text.begin(), text.end(), '\n')) << text;
    auto log = OperationLog();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("7", log[0].origin);
    EXPECT_EQ("CLI", log[0].interface);
    EXPECT_EQ(std::string(47, 'u'), log[0].source);
    EXPECT_EQ("c", log[0].result);
    EXPECT_EQ("12", log[0].line);
    EXPECT_EQ("254", log[0].module);
    EXPECT_EQ("two\\x0alines \\x22quoted\\x22", log[0].message);
}

TEST_F(LogoPlatformTest, SwitchFiles) {
    struct Case {
        const char* content;  // null: no file
        int rc;
        uint8_t value;
    };
    const Case cases[] = {
        {"3\n", 0, 3},  {" 255 ", 0, 255}, {"007", 0, 7}, {"0", 0, 0},     {"256", -1, 99},
        {"-1", -1, 99}, {"3x", -1, 99},    {"", -1, 99},  {"3 4", -1, 99}, {nullptr, -1, 99},
    };
    std::string cap = std::string(BMC_CAPABILITY_DIR) + "/Customer.SupportUploadLogo";
    BMC_System((std::string("mkdir -p ") + BMC_CAPABILITY_DIR).c_str());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content != nullptr ? c.content : "(no file)");
        for (const std::string& path : {std::string(BMC_OEM_FLAG_PATH), cap}) {
            unlink(path.c_str());
            if (c.content != nullptr) {
                WriteFile(path, c.content);
            }
        }
        uint8_t flag = 99;
        uint8_t value = 99;
        EXPECT_EQ(c.rc, BMC_GetOemFlag(&flag));
        EXPECT_EQ(c.value, flag);
        EXPECT_EQ(c.rc, CAP_GetCharCapabilityWithName("Customer", "SupportUploadLogo", &value));
        EXPECT_EQ(c.value, value);
    }
    uint8_t value = 99;
    WriteFile(std::string(BMC_CAPABILITY_DIR) + "/x", "1");
    EXPECT_EQ(-1, CAP_GetCharCapabilityWithName("../capabilities", "x", &value));
    EXPECT_EQ(-1, CAP_GetCharCapabilityWithName("Customer", "", &value));
    EXPECT_EQ(99, value);
}

TEST_F(LogoPlatformTest, ProcessName) {
    char name[128];
    ASSERT_EQ(0, BMC_GetCurrentProcessName(sizeof name, name));
    EXPECT_EQ(ProcessName(), name);
    char small[4];
    ASSERT_EQ(0, BMC_GetCurrentProcessName(sizeof small, small));
    EXPECT_EQ(ProcessName().substr(0, 3), small);
}
