// Custom logo upload end to end: real transfers from the loopback HTTP servers and local
// copies into the fixed logo files under /mnt (a fresh tmpfs here), with the task-service
// records and the operation log read back as another program would read them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
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

// Every entry under `root`: files with their content, directories as "<dir>", links as
// "-> target" (never followed).
std::map<std::string, std::string> Tree(const std::string& root) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string path = it->path().string();
        out[path] = it->is_symlink()     ? "-> " + fs::read_symlink(it->path(), ec).string()
                    : it->is_directory() ? "<dir>"
                                         : ReadFile(path);
    }
    return out;
}

// Writes a switch file the way a host would; a negative value removes it.
void SetSwitch(const std::string& path, int value) {
    unlink(path.c_str());
    if (value >= 0) {
        BMC_System(("mkdir -p " + path.substr(0, path.rfind('/'))).c_str());
        WriteFile(path, std::to_string(value) + "\n");
    }
}
void SetFeature(int oemFlag, int capability) {
    SetSwitch(BMC_OEM_FLAG_PATH, oemFlag);
    SetSwitch(std::string(BMC_CAPABILITY_DIR) + "/Customer.SupportUploadLogo", capability);
}

bool TransferTableEmpty() {
    TaskTable t = ReadTable();
    return std::all_of(std::begin(t.astSlot), std::end(t.astSlot),
                       [](const TaskSlot& s) { return s.uiIdentifier == 0; });
}

std::string ProcessName() {
    std::string comm = ReadFile("/proc/self/comm");
    return comm.substr(0, comm.find('\n'));
}

template <typename T>
std::vector<unsigned char> Bytes(const T& record) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&record);
    return std::vector<unsigned char>(p, p + sizeof record);
}

// The records the upload stores, every byte not named here zero.
std::vector<unsigned char> ExpectedRegistration() {
    TaskServiceRegistration r = {"logo Upload Task",
                                 "Upload Task",
                                 "LogoUploading",
                                 "",
                                 "BMC.UploadLogoComponent",
                                 "logo",
                                 "UpLoad The Logo",
                                 "logo",
                                 "OK",
                                 "Automatic.",
                                 2,
                                 4,
                                 0,
                                 5,
                                 1,
                                 17,
                                 0,
                                 10,
                                 {}};
    strncpy(r.szOwner, ProcessName().c_str(), sizeof r.szOwner - 1);
    return Bytes(r);
}
std::vector<unsigned char> ExpectedUpdate(uint32_t id, const char* message, uint8_t state,
                                          uint8_t percent) {
    TaskServiceUpdate u = {
        0, id, 10, "logo Upload Task", "Upload Task", "LogoUploading", {}, "", state, percent,
        2, 4,  {}};
    strcpy(u.szMessage, message);
    return Bytes(u);
}

// A one-connection HTTP server on the loopback that sends its reply in 1 KiB pieces, 10 ms
// apart, so that a poller sees the percentage move. It gives up after 20 s without a
// client.
class SlowServer {
  public:
    explicit SlowServer(std::string body) : body_(std::move(body)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listener_.Get(), reinterpret_cast<sockaddr*>(&a), len) == 0 &&
            listen(listener_.Get(), 1) == 0 &&
            getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&a), &len) == 0) {
            port_ = ntohs(a.sin_port);
            thread_ = std::thread([this] { Serve(); });
        }
    }
    ~SlowServer() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    int Port() const { return port_; }

  private:
    void Serve() {
        pollfd p{listener_.Get(), POLLIN, 0};
        if (poll(&p, 1, 20000) != 1) {
            return;
        }
        fh::UniqueFd c(accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        timeval timeout{5, 0};
        setsockopt(c.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        std::string head;
        char buf[4096];
        ssize_t n;
        while (head.find("\r\n\r\n") == std::string::npos &&
               (n = recv(c.Get(), buf, sizeof buf, 0)) > 0) {
            head.append(buf, static_cast<size_t>(n));
        }
        std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_.size()) +
                            "\r\nConnection: close\r\n\r\n" + body_;
        for (size_t off = 0; off < reply.size(); off += 1024) {
            size_t piece = std::min<size_t>(1024, reply.size() - off);
            if (send(c.Get(), reply.data() + off, piece, MSG_NOSIGNAL) != ssize_t(piece)) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    std::string body_;
    fh::UniqueFd listener_{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
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
                    BMC_OPERATE_LOG_PATH + " && mkdir -p " + kStorage + "/OEMFile/bmc " + kStorage +
                    "/OEMFile/bios " + kSources + " /var/tmp/logo-victim")
                       .c_str());
        SetFeature(3, 1);
        origin_ = OperateLogOrigin{"Redfish", "logo-tester", 4711};
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
    // An installed logo with old content, to see that a failure keeps it.
    static std::string Installed(const std::string& name, const std::string& dir = kBmcDir) {
        BMC_System(("mkdir -p " + dir).c_str());
        WriteFile(dir + "/" + name, "old logo");
        return dir + "/" + name;
    }

    // The stored final record of the upload's task; every update sent was accepted.
    void ExpectFinalUpdate(uint8_t state, uint8_t percent) {
        TaskServiceStoredUpdate upd{};
        ASSERT_EQ(0, TASK_TaskServiceRead(info_.uiTaskId, nullptr, &upd)) << info_.uiTaskId;
        const char* message = state == 2 ? "logo upload success" : "logo upload failed";
        EXPECT_TRUE(Bytes(upd.stRecord) == ExpectedUpdate(info_.uiTaskId, message, state, percent))
            << "state " << unsigned(upd.stRecord.ucState) << " percent "
            << unsigned(upd.stRecord.ucPercent) << " message " << upd.stRecord.szMessage;
        EXPECT_EQ(TaskUpdates().size(), upd.uiCount);
    }
    // Exactly one operation-log entry, for the caller's origin (its line number aside).
    void ExpectOneEntry(const char* letter, const char* text) {
        auto log = OperationLog();
        ASSERT_EQ(1u, log.size());
        if (log[0].size() == 7) {
            log[0][4] = "";
        }
        EXPECT_EQ((OpEntry{"4711", "Redfish", "logo-tester", letter, "", "254", text}), log[0]);
    }

    OperateLogOrigin origin_{};
    TaskServiceTaskInfo info_{};
};

#define REQUIRE_SERVERS()                                                      \
    if (!servers().ok()) {                                                     \
        GTEST_SKIP() << "FH_TEST_SERVERS not set: start scripts/run-tests.sh"; \
    }

}  // namespace

TEST_F(LogoTest, EachRowLandsInItsDirectory) {
    struct Row {
        const char* name;
        const char* dir;
    };
    const Row rows[] = {{"logo1.png", kBmcDir},
                        {"logo2.png", kBmcDir},
                        {"favicon.ico", kBmcDir},
                        {"bios_logo_post.jpg", kBiosDir},
                        {"bios_logo_quiet.jpg", kBiosDir}};
    for (bool http : {false, true}) {
        if (http) {
            REQUIRE_SERVERS();
        }
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(http ? "http " : "local ") + row.name);
            Reset();
            SetFeature(3, 200);  // any capability but 0 turns the feature on
            // Over HTTP the directories do not exist yet; a local copy replaces an old logo.
            std::string installed =
                http ? std::string(row.dir) + "/" + row.name : Installed(row.name, row.dir);
            unsigned i = static_cast<unsigned>(&row - rows);
            std::string content = RandomBytes(20000 + 1000 * i, i + http);
            std::string command = http ? Serve(row.name, content) : Source(row.name, content);
            uint32_t last = TASK_TaskServiceLastId();
            uint32_t now = FreezeClock();

            EXPECT_EQ(0u, Upload(command));
            // The logo and nothing else (no temporary file) under the storage partition.
            std::map<std::string, std::string> want = {
                {std::string(kStorage) + "/OEMFile", "<dir>"},
                {std::string(kStorage) + "/OEMFile/bmc", "<dir>"},
                {std::string(kStorage) + "/OEMFile/bios", "<dir>"},
                {row.dir, "<dir>"},
                {installed, content}};
            EXPECT_TRUE(Tree(kStorage) == want) << "unexpected files under " << kStorage;
            if (!http) {
                EXPECT_TRUE(ReadFile(command) == content) << "the source was moved or changed";
            }
            EXPECT_TRUE(TransferTableEmpty()) << "the transfer task was not deleted";
            // One new task, its number and start time handed back to the caller.
            TaskServiceStoredRegistration reg{};
            ASSERT_EQ(0, TASK_TaskServiceRead(info_.uiTaskId, &reg, nullptr));
            EXPECT_EQ((std::vector<uint32_t>{last + 1, last + 1, last + 1, 5, now, now}),
                      (std::vector<uint32_t>{info_.uiTaskId, TASK_TaskServiceLastId(), reg.uiTaskId,
                                             reg.uiKind, reg.uiTime, info_.uiStartTime}));
            EXPECT_EQ(ExpectedRegistration(), Bytes(reg.stRecord));
            ExpectOneEntry("c", kSuccessText);
            ExpectFinalUpdate(2, 100);
        }
    }
}

TEST_F(LogoTest, PercentageMovesThenCompletes) {
    std::string content = RandomBytes(150 * 1024, 21);
    SlowServer server(content);
    ASSERT_NE(0, server.Port());
    ASSERT_EQ(0u, Upload("http://127.0.0.1:" + std::to_string(server.Port()) + "/slow/logo1.png"));
    EXPECT_TRUE(ReadFile(std::string(kBmcDir) + "/logo1.png") == content);

    auto updates = TaskUpdates();
    ASSERT_GE(updates.size(), 4u) << "too few updates to see the percentage move";
    uint8_t previous = 0;
    for (size_t i = 0; i + 1 < updates.size(); ++i) {
        SCOPED_TRACE(i);
        uint8_t percent = updates[i].ucPercent;
        EXPECT_TRUE(Bytes(updates[i]) ==
                    ExpectedUpdate(info_.uiTaskId, "logo uploading", 0, percent));
        EXPECT_GT(percent, previous) << "each update brings a new percentage";
        EXPECT_LE(percent, 100);
        previous = percent;
    }
    ExpectFinalUpdate(2, 100);  // the last update sent is the one stored
}

// Refused before any task or transfer: nothing under the storage partition changes.
TEST_F(LogoTest, RefusedCommands) {
    std::string src = kSources;
    struct Case {
        const char* name;
        std::string command;
        const char* logged;  // level-2 text; null: none checked
        bool entry = true;   // one 'C' operation-log entry
        uint32_t result = kBadCommand;
        int oemFlag = 3;  // -1: no switch file
        int capability = 1;
    };
    const char* off = "unsupport upload logo.";
    const Case cases[] = {
        {"name outside the table", src + "/logo3.png",
         "redfish cmd /var/tmp/logo-src/logo3.png is incorrect."},
        {"no slash", "logo1.png", "redfish cmd logo1.png is incorrect."},
        {"empty last element", src + "/", nullptr},
        {"empty last element over http", "http://127.0.0.1:1/files/", nullptr},
        {"dot dot", src + "/logo1.png/..", nullptr},
        {"other case", src + "/LOGO1.PNG", nullptr},
        {"trailing blank", src + "/logo1.png ", nullptr},
        {"trailing newline", src + "/logo1.png\n", nullptr},
        {"query string", "http://127.0.0.1:1/files/logo1.png?v=2", nullptr},
        {"temporary file's name", src + "/TmpLogo", nullptr},
        {"directory's name", src + "/logo", nullptr},
        {"1024 characters", std::string(1015, '/') + "logo1.png",
         "invalid redfish cmd length 1024.", false},
        {"4000 characters", std::string(3991, '/') + "logo1.png",
         "invalid redfish cmd length 4000.", false},
        {"capability 0", src + "/logo1.png", off, true, kUnsupported, 3, 0},
        {"OEM flag 2", src + "/logo1.png", off, true, kUnsupported, 2, 1},
        {"OEM flag 255", src + "/logo1.png", off, true, kUnsupported, 255, 1},
        {"both 0", src + "/logo1.png", off, true, kUnsupported, 0, 0},
        {"no OEM flag", src + "/logo1.png", off, true, kUnsupported, -1, 1},
        {"no capability", src + "/logo1.png", off, true, kUnsupported, 3, -1},
        {"no switches", src + "/logo1.png", off, true, kUnsupported, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        SetFeature(c.oemFlag, c.capability);
        Source("logo1.png", "image");
        auto storage = Tree(kStorage);
        uint32_t last = TASK_TaskServiceLastId();

        EXPECT_EQ(c.result, Upload(c.command));
        if (c.logged != nullptr) {
            EXPECT_TRUE(Logged(2, c.logged));
        }
        if (c.entry) {
            ASSERT_NO_FATAL_FAILURE(ExpectOneEntry("C", kFailureText));
        } else {
            EXPECT_TRUE(OperationLog().empty());
        }
        EXPECT_TRUE(Tree(kStorage) == storage) << "the storage partition changed";
        EXPECT_EQ(last, TASK_TaskServiceLastId()) << "a task was registered";
        EXPECT_TRUE(TaskUpdates().empty());
        EXPECT_TRUE(TransferTableEmpty());
    }
}

// The longest command taken, locally and over HTTP (1024 characters: RefusedCommands).
TEST_F(LogoTest, LongestCommand) {
    for (bool http : {false, true}) {
        SCOPED_TRACE(http ? "http" : "local");
        if (http) {
            REQUIRE_SERVERS();
        }
        Reset();
        std::string content = RandomBytes(3000, http);
        // The source padded to 1023 characters: "//" over HTTP, "/." locally, and one more
        // '/' for an odd padding.
        std::string command = http ? Serve("logo2.png", content).substr(0, Http("/files").size())
                                   : Source("logo2.png", content).substr(0, strlen(kSources));
        size_t pad = 1023 - command.size() - strlen("/logo2.png");
        for (size_t i = 0; i < pad / 2; ++i) {
            command += http ? "//" : "/.";
        }
        command += std::string(pad % 2, '/') + "/logo2.png";
        ASSERT_EQ(1023u, command.size());
        EXPECT_EQ(0u, Upload(command));
        EXPECT_TRUE(ReadFile(std::string(kBmcDir) + "/logo2.png") == content);
    }
}

TEST_F(LogoTest, FailedTransferKeepsTheInstalledLogo) {
    REQUIRE_SERVERS();
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
        // Half of a 2 MiB file, then nothing: the upload gives up on its own.
        {"stalled transfer", Http("/stall/logo1.png"), kStalled},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        Serve("logo1.png", RandomBytes(2 << 20, 5));
        std::string installed = Installed("logo1.png");
        auto nothingInstalled = [&] {
            EXPECT_EQ("old logo", ReadFile(installed));
            EXPECT_FALSE(FileExists(std::string(kBmcDir) + "/TmpLogo"));
        };

        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.result, Upload(c.command));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        nothingInstalled();
        EXPECT_TRUE(TransferTableEmpty());
        ExpectOneEntry("C", kFailureText);
        if (c.result == kStartFailed) {
            EXPECT_TRUE(Logged(2, "upload file logo1.png failed."));
        }
        if (c.result != kStalled) {
            ExpectFinalUpdate(4, 0);
            continue;
        }
        // The failure keeps the percentage last shown, which saw the first half arrive.
        auto updates = TaskUpdates();
        ASSERT_GE(updates.size(), 2u);
        const TaskServiceUpdate& running = updates[updates.size() - 2];
        EXPECT_EQ(0, running.ucState);
        EXPECT_GT(running.ucPercent, 0);
        EXPECT_LT(running.ucPercent, 100);
        ExpectFinalUpdate(4, running.ucPercent);
        // The abandoned worker gives up once it sees its task gone; still nothing installed.
        EXPECT_TRUE(WaitForWorkers(30));
        nothingInstalled();
    }
}

TEST_F(LogoTest, CommandsWriteOnlyTheLogoFiles) {
    // Files a hostile command might aim at, and links planted where the upload writes.
    const std::string victim = "/var/tmp/logo-victim/precious";
    const std::string logo = std::string(kBmcDir) + "/logo1.png";
    const std::string temp = std::string(kBmcDir) + "/TmpLogo";
    auto outsideTree = [] {
        auto t = Tree("/var/tmp/logo-victim");
        auto s = Tree(kSources);
        t.insert(s.begin(), s.end());
        return t;
    };
    const std::set<std::string> allowed = {std::string(kStorage) + "/OEMFile",
                                           std::string(kStorage) + "/OEMFile/bmc",
                                           std::string(kStorage) + "/OEMFile/bios", kBmcDir, logo};
    struct Case {
        const char* name;
        std::string command;
        bool installs;
        bool plantLinks = false;  // TmpLogo and logo1.png are links to the victim beforehand
    };
    std::string src = kSources;
    const Case cases[] = {
        {"dot dot inside the path", src + "/../logo-src/logo1.png", true},
        {"climbing out of the logo directory",
         std::string(kBmcDir) + "/../../../../../var/tmp/logo-victim/logo1.png", false},
        {"the installed logo itself", logo, true},
        {"the temporary file", temp, false},
        {"upper-case scheme", "HTTP://127.0.0.1/x/logo1.png", false},
        {"links planted, then an upload", src + "/logo1.png", true, true},
        {"links planted, then a failure", src + "/missing/logo1.png", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        WriteFile(victim, "precious");
        Source("logo1.png", "new image");
        BMC_System((std::string("mkdir -p ") + kBmcDir).c_str());
        if (c.plantLinks) {
            ASSERT_EQ(0, symlink(victim.c_str(), temp.c_str()));
            ASSERT_EQ(0, symlink(victim.c_str(), logo.c_str()));
        } else {
            WriteFile(logo, "new image");
        }
        auto outside = outsideTree();

        uint32_t rc = Upload(c.command);
        EXPECT_EQ(c.installs, rc == 0) << std::hex << rc;
        EXPECT_TRUE(outsideTree() == outside) << "a file outside the logo directory changed";
        for (const auto& entry : Tree(kStorage)) {
            EXPECT_EQ(1u, allowed.count(entry.first)) << entry.first;
        }
        if (c.installs) {
            struct stat st {};
            ASSERT_EQ(0, lstat(logo.c_str(), &st));
            EXPECT_TRUE(S_ISREG(st.st_mode)) << "the logo is not a plain file";
            EXPECT_EQ("new image", ReadFile(logo));
        }
    }
}

TEST_F(LogoTest, WithoutATaskTheUploadGoesOn) {
    // A first upload leaves its task completed; the caller keeps the record.
    ASSERT_EQ(0u, Upload(Source("logo1.png", "first")));
    uint32_t earlier = info_.uiTaskId;
    ASSERT_NE(0u, earlier);

    for (bool succeeds : {true, false}) {
        SCOPED_TRACE(succeeds ? "success" : "failure");
        ResetAll();
        unlink(BMC_OPERATE_LOG_PATH);
        faults().taskRegisterFails = true;
        EXPECT_EQ(succeeds ? 0 : kStartFailed,
                  Upload(succeeds ? Source("logo2.png", "second")
                                  : std::string(kSources) + "/missing/logo2.png"));
        faults().taskRegisterFails = false;
        EXPECT_TRUE(Logged(2, "BMC download sds log regist Taskservice failed\n"));
        EXPECT_TRUE(TaskUpdates().empty()) << "updates sent without a task";
        EXPECT_EQ(earlier, info_.uiTaskId);
        ExpectOneEntry(succeeds ? "c" : "C", succeeds ? kSuccessText : kFailureText);
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
