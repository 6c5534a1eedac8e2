// Custom logo upload end to end: real transfers from the loopback HTTP servers
// and local copies into the fixed logo files under /mnt (a fresh tmpfs here),
// with the task-service records and the operation log read back as another
// program would read them.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/bmc_platform.h"
#include "tests/support.h"

using namespace fhtest;

namespace {

// The upload's results for a transfer that failed, and for one that stalled.
constexpr uint32_t kTransferFailed = FILEHANDLE_E_PROGRESS | FILEHANDLE_LOGO_FAILURE_BITS;
constexpr uint32_t kStalled = FILEHANDLE_E_TRANSFER_FAILED | FILEHANDLE_LOGO_FAILURE_BITS;

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

// What the task service shows of the upload's task: its texts, and of an update the task,
// the texts, state and percentage.
std::vector<std::string> Shown(const TaskServiceRegistration& r) {
    return {r.szName,       r.szType,        r.szKey,    r.szOwner,  r.szMessageId,
            r.szMessageArg, r.szDescription, r.szTarget, r.szHealth, r.szTrigger};
}
std::string Shown(const TaskServiceUpdate& u) {
    return std::to_string(u.uiTaskId) + " " + u.szName + "/" + u.szType + "/" + u.szKey + ": " +
           u.szMessage + ", state " + std::to_string(u.ucState) + ", " +
           std::to_string(u.ucPercent) + " %";
}
std::string Shown(uint32_t id, const char* message, int state, int percent) {
    return std::to_string(id) + " logo Upload Task/Upload Task/LogoUploading: " + message +
           ", state " + std::to_string(state) + ", " + std::to_string(percent) + " %";
}

class LogoTest : public FhTest {
  protected:
    void SetUp() override {
        FhTest::SetUp();
        Reset();
    }

    // A clean start: the storage partition as the controller mounts it (the logo directories
    // themselves are the upload's to make), the feature on, no entries.
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
        EXPECT_EQ(Shown(info_.uiTaskId, message, state, percent), Shown(upd.stRecord));
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

}  // namespace

// Every row of the logo table lands in its directory, from a local copy (over an old logo)
// and over HTTP (into directories that do not exist yet; one from a server that sends its
// data slowly, so that the percentage shown moves), with the longest command taken: 1023
// characters.
TEST_F(LogoTest, EachRowLandsInItsDirectory) {
    const std::pair<const char*, const char*> rows[] = {{"logo1.png", kBmcDir},
                                                        {"logo2.png", kBmcDir},
                                                        {"favicon.ico", kBmcDir},
                                                        {"bios_logo_post.jpg", kBiosDir},
                                                        {"bios_logo_quiet.jpg", kBiosDir}};
    std::string process = ReadFile("/proc/self/comm");
    process = process.substr(0, std::min<size_t>(process.find('\n'), 15));
    for (bool http : {false, true}) {
        if (http) {
            FH_REQUIRE_ENV("FH_TEST_SERVERS");
        }
        for (unsigned i = 0; i < 5; ++i) {
            auto [name, dir] = rows[i];
            SCOPED_TRACE(std::string(http ? "http " : "local ") + name);
            Reset();
            SetFeature(3, 200);  // any capability but 0 turns the feature on
            std::string installed = http ? std::string(dir) + "/" + name : Installed(name, dir);
            std::optional<SlowHttpServer> slow;
            std::string content = RandomBytes(http && i == 0 ? 150 * 1024 : 20000 + 1000 * i, i);
            std::string command = http ? Serve(name, content) : Source(name, content);
            if (http && i == 0) {
                slow.emplace(content);
                command = "http://127.0.0.1:" + std::to_string(slow->Port()) + "/slow/logo1.png";
            } else if (i == 1) {  // padded with "//" over HTTP and "/." locally, and one more '/'
                std::string head = command.substr(0, command.rfind('/'));
                size_t pad = 1023 - head.size() - strlen("/logo2.png");
                for (size_t k = 0; k < pad / 2; ++k) {
                    head += http ? "//" : "/.";
                }
                command = head + std::string(pad % 2, '/') + "/logo2.png";
                ASSERT_EQ(1023u, command.size());
            }
            uint32_t last = TASK_TaskServiceLastId();
            uint32_t now = FreezeClock();

            EXPECT_EQ(0u, Upload(command));
            // The logo and nothing else (no temporary file) under the storage partition.
            std::map<std::string, std::string> want = {
                {std::string(kStorage) + "/OEMFile", "<dir>"},
                {std::string(kStorage) + "/OEMFile/bmc", "<dir>"},
                {std::string(kStorage) + "/OEMFile/bios", "<dir>"},
                {dir, "<dir>"},
                {installed, content}};
            EXPECT_TRUE(Tree(kStorage) == want) << "unexpected files under " << kStorage;
            EXPECT_TRUE(http || ReadFile(command) == content) << "the source was moved or changed";
            EXPECT_TRUE(TransferTableEmpty()) << "the transfer task was not deleted";
            // One new task, its number and start time handed back to the caller.
            TaskServiceStoredRegistration reg{};
            ASSERT_EQ(0, TASK_TaskServiceRead(info_.uiTaskId, &reg, nullptr));
            EXPECT_EQ((std::vector<uint32_t>{last + 1, last + 1, last + 1, 5, now, now}),
                      (std::vector<uint32_t>{info_.uiTaskId, TASK_TaskServiceLastId(), reg.uiTaskId,
                                             reg.uiKind, reg.uiTime, info_.uiStartTime}));
            EXPECT_EQ((std::vector<std::string>{"logo Upload Task", "Upload Task", "LogoUploading",
                                                process, "BMC.UploadLogoComponent", "logo",
                                                "UpLoad The Logo", "logo", "OK", "Automatic."}),
                      Shown(reg.stRecord));
            ExpectOneEntry("c", kSuccessText);
            // Each update but the last shows a new percentage; the last one sent is stored.
            auto updates = TaskUpdates();
            for (size_t k = 0; k + 1 < updates.size(); ++k) {
                int percent = updates[k].ucPercent;
                EXPECT_EQ(Shown(info_.uiTaskId, "logo uploading", 0, percent), Shown(updates[k]));
                EXPECT_GT(percent, k == 0 ? 0 : updates[k - 1].ucPercent);
                EXPECT_LE(percent, 100);
            }
            EXPECT_TRUE(!slow || updates.size() >= 4)
                << "too few updates to see the percentage move";
            ExpectFinalUpdate(2, 100);
        }
    }
}

// Whatever the command names and however its transfer ends, nothing but the logo is
// written, never through a planted link; a failure keeps the installed logo and removes
// the temporary one, and a stalled transfer keeps the percentage last shown. A refused
// command registers no task, and no log line holds a password.
TEST_F(LogoTest, UploadsWriteOnlyTheLogo) {
    FH_REQUIRE_ENV("FH_TEST_SERVERS");
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
        uint32_t result;
        int oemFlag = 3, capability = 1;  // -1: no switch file
        const char* after = "old logo";   // the logo's content afterwards
        bool plantLinks = false;  // TmpLogo and logo1.png are links to the victim beforehand
    };
    const std::string src = kSources;
    const uint32_t kRefused = FILEHANDLE_E_BAD_TARGET, kOff = FILEHANDLE_E_LOGO_UNSUPPORTED;
    const Case cases[] = {
        {"dot dot inside the path", src + "/../logo-src/logo1.png", 0, 3, 1, "new image"},
        {"the installed logo itself", logo, 0},
        {"links planted, then an upload", src + "/logo1.png", 0, 3, 1, "new image", true},
        {"links planted, then a failure", src + "/missing/logo1.png",
         FILEHANDLE_E_LOGO_START_FAILED, 3, 1, "precious", true},
        {"missing remote file", Http("/files/no-such-dir/logo1.png"), kTransferFailed},
        {"URI the parser refuses", "http://[FE80::1]/logo1.png", FILEHANDLE_E_LOGO_START_FAILED},
        // Half of a 2 MiB file, then nothing: the upload gives up on its own.
        {"stalled transfer", Http("/stall/logo1.png"), kStalled},
        // Refused before any task or transfer: names outside the table.
        {"the temporary file", temp, kRefused},
        {"no slash", "logo1.png", kRefused},
        {"empty last element", src + "/", kRefused},
        {"other case", src + "/LOGO1.PNG", kRefused},
        {"trailing blank", src + "/logo1.png ", kRefused},
        {"query string", "http://127.0.0.1:1/files/logo1.png?v=2", kRefused},
        {"password holding '@'", "ftp://u:pw@secret@127.0.0.1:1/logo3.png", kRefused},
        {"directory's name", src + "/logo", kRefused},
        {"1024 characters", std::string(1015, '/') + "logo1.png", kRefused},
        {"capability 0", src + "/logo1.png", kOff, 3, 0},
        {"OEM flag 2", src + "/logo1.png", kOff, 2, 1},
        {"no OEM flag", src + "/logo1.png", kOff, -1, 1},
        {"no capability", src + "/logo1.png", kOff, 3, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        SetFeature(c.oemFlag, c.capability);
        WriteFile(victim, "precious");
        Source("logo1.png", "new image");
        Serve("logo1.png", RandomBytes(2 << 20, 5));
        Installed("logo1.png");
        if (c.plantLinks) {
            unlink(logo.c_str());
            ASSERT_EQ(0, symlink(victim.c_str(), temp.c_str()));
            ASSERT_EQ(0, symlink(victim.c_str(), logo.c_str()));
        }
        auto outside = outsideTree();
        auto writesOnlyTheLogo = [&] {
            EXPECT_TRUE(outsideTree() == outside) << "a file outside the logo directory changed";
            for (const auto& entry : Tree(kStorage)) {
                EXPECT_EQ(1u, allowed.count(entry.first)) << entry.first;
            }
            EXPECT_EQ(c.after, ReadFile(logo));
            EXPECT_FALSE(FileExists(temp));
        };
        uint32_t last = TASK_TaskServiceLastId();

        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.result, Upload(c.command));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        writesOnlyTheLogo();
        EXPECT_TRUE(TransferTableEmpty());
        EXPECT_EQ(0u, CountLogged("secret"));
        if (c.command.size() >= 1024) {  // too long to be taken: no entry either
            EXPECT_TRUE(OperationLog().empty());
        } else {
            ExpectOneEntry(c.result == 0 ? "c" : "C", c.result == 0 ? kSuccessText : kFailureText);
        }
        if (c.result == 0) {
            struct stat st {};
            ASSERT_EQ(0, lstat(logo.c_str(), &st));
            EXPECT_TRUE(S_ISREG(st.st_mode)) << "the logo is not a plain file";
            ExpectFinalUpdate(2, 100);
        } else if (c.result == kRefused || c.result == kOff) {
            EXPECT_EQ(last, TASK_TaskServiceLastId()) << "a task was registered";
            EXPECT_TRUE(TaskUpdates().empty());
        } else if (c.result != kStalled) {
            ExpectFinalUpdate(4, 0);
        } else {
            // The failure keeps the percentage last shown, which saw the first half arrive.
            auto updates = TaskUpdates();
            ASSERT_GE(updates.size(), 2u);
            const TaskServiceUpdate& running = updates[updates.size() - 2];
            EXPECT_EQ(0, running.ucState);
            EXPECT_GT(running.ucPercent, 0);
            EXPECT_LT(running.ucPercent, 100);
            ExpectFinalUpdate(4, running.ucPercent);
            // The abandoned worker gives up once it sees its task gone; still only the logo.
            EXPECT_TRUE(WaitForWorkers(30));
            writesOnlyTheLogo();
        }
    }
}

TEST_F(LogoTest, WithoutATaskTheUploadGoesOn) {
    // A first upload leaves its task completed; the caller keeps the record.
    ASSERT_EQ(0u, Upload(Source("logo1.png", "first")));
    uint32_t earlier = info_.uiTaskId;
    ASSERT_NE(0u, earlier);
    TaskServiceStoredUpdate before{};
    ASSERT_EQ(0, TASK_TaskServiceRead(earlier, nullptr, &before));

    for (bool succeeds : {true, false}) {
        SCOPED_TRACE(succeeds ? "success" : "failure");
        size_t sent = TaskUpdates().size();
        unlink(BMC_OPERATE_LOG_PATH);
        faults().taskRegisterFails = true;
        EXPECT_EQ(succeeds ? 0 : FILEHANDLE_E_LOGO_START_FAILED,
                  Upload(succeeds ? Source("logo2.png", "second")
                                  : std::string(kSources) + "/missing/logo2.png"));
        faults().taskRegisterFails = false;
        EXPECT_EQ(sent, TaskUpdates().size()) << "updates sent without a task";
        EXPECT_EQ(earlier, info_.uiTaskId);
        ExpectOneEntry(succeeds ? "c" : "C", succeeds ? kSuccessText : kFailureText);
        // The earlier task keeps its final state.
        TaskServiceStoredUpdate upd{};
        ASSERT_EQ(0, TASK_TaskServiceRead(earlier, nullptr, &upd));
        EXPECT_EQ(Shown(before.stRecord), Shown(upd.stRecord));
    }
    EXPECT_EQ("second", ReadFile(std::string(kBmcDir) + "/logo2.png"));
}
