// Custom logo upload end to end: local copies and real transfers from the loopback HTTP
// servers into the fixed logo files under /mnt (a fresh tmpfs here), with the task-service
// records and the operation log read back as another program would read them.
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/bmc_platform.h"
#include "tests/support.h"

using namespace fhtest;

namespace {

constexpr char kStorage[] = "/mnt/sdmmc0p2";
constexpr char kBmcDir[] = "/mnt/sdmmc0p2/OEMFile/bmc/logo";
constexpr char kBiosDir[] = "/mnt/sdmmc0p2/OEMFile/bios/logo";
constexpr char kSources[] = "/var/tmp/logo-src";
constexpr char kVictim[] = "/var/tmp/logo-victim/precious";

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

// What the task service shows of an update: the task, texts, state and percentage.
std::string Shown(const TaskServiceUpdate& u) {
    return std::to_string(u.uiTaskId) + " " + u.szName + "/" + u.szType + "/" + u.szKey + ": " +
           u.szMessage + ", state " + std::to_string(u.ucState) + ", " +
           std::to_string(u.ucPercent) + " %";
}
std::string Shown(uint32_t id, const char* message, int state, int percent) {
    return std::to_string(id) + " logo Upload Task/Upload Task/LogoUploading: " + message +
           ", state " + std::to_string(state) + ", " + std::to_string(percent) + " %";
}

// `head`, padded with `unit` (and one '/' more if need be), then `tail`: 1023 characters.
std::string Padded(std::string head, const char* unit, const std::string& tail) {
    while (head.size() + tail.size() + 2 <= 1023) {
        head += unit;
    }
    return head + std::string(1023 - head.size() - tail.size(), '/') + tail;
}

class LogoTest : public FhTest {};

}  // namespace

// Every name of the logo table lands in its directory, from a local copy or over HTTP (one
// from a server that sends its data slowly, so that the percentage shown moves), with the
// longest command taken. Whatever the command names and however its transfer ends, nothing
// but the logo is written, never through a planted link, and no log line holds a password;
// a failure keeps the installed logo and removes the temporary one, and a stalled transfer
// keeps the percentage last shown. A refused command registers no task; without a task the
// upload goes on and sends no updates.
TEST_F(LogoTest, UploadsWriteOnlyTheLogo) {
    FH_REQUIRE_ENV("FH_TEST_SERVERS");
    const std::string src = kSources,
                      web = "http://127.0.0.1:" + std::to_string(servers().httpPort),
                      http = web + "/files";
    constexpr uint32_t kFailed = FILEHANDLE_E_PROGRESS | FILEHANDLE_LOGO_FAILURE_BITS;
    constexpr uint32_t kStalled = FILEHANDLE_E_TRANSFER_FAILED | FILEHANDLE_LOGO_FAILURE_BITS;
    constexpr uint32_t kRefused = FILEHANDLE_E_BAD_TARGET, kOff = FILEHANDLE_E_LOGO_UNSUPPORTED,
                       kStart = FILEHANDLE_E_LOGO_START_FAILED;
    enum Before { kNothing, kOld, kLinks };  // at the logo: an old logo, or links to the victim
    struct Case {
        const char* name;
        std::string command;
        uint32_t result;
        const char* logo = "logo1.png";
        Before before = kOld;             // kLinks: TmpLogo is a link to the victim as well
        int oemFlag = 3, capability = 1;  // -1: no switch file
        bool noTask = false;              // the task service registers no task
    };
    const Case cases[] = {
        {"slow server", web + "/slow/logo1.png", 0, "logo1.png", kNothing},
        {"1023 characters over HTTP", Padded(http, "//", "/logo2.png"), 0, "logo2.png", kNothing},
        {"favicon over HTTP", http + "/favicon.ico", 0, "favicon.ico", kNothing},
        {"BIOS post over HTTP", http + "/bios_logo_post.jpg", 0, "bios_logo_post.jpg", kNothing},
        {"BIOS quiet over HTTP", http + "/bios_logo_quiet.jpg", 0, "bios_logo_quiet.jpg", kNothing},
        {"local, any capability", src + "/logo1.png", 0, "logo1.png", kOld, 3, 200},
        {"local, 1023 characters", Padded(src, "/.", "/logo2.png"), 0, "logo2.png"},
        {"local favicon", src + "/favicon.ico", 0, "favicon.ico"},
        {"local BIOS post", src + "/bios_logo_post.jpg", 0, "bios_logo_post.jpg"},
        {"local BIOS quiet", src + "/bios_logo_quiet.jpg", 0, "bios_logo_quiet.jpg"},
        {"dot dot inside the path", src + "/../logo-src/logo1.png", 0},
        {"the installed logo itself", std::string(kBmcDir) + "/logo1.png", 0},
        {"links planted, then an upload", src + "/logo1.png", 0, "logo1.png", kLinks},
        {"links planted, then a failure", src + "/missing/logo1.png", kStart, "logo1.png", kLinks},
        {"missing remote file", http + "/no-such-dir/logo1.png", kFailed},
        {"URI the parser refuses", "http://[FE80::1]/logo1.png", kStart},
        // Half of the file, then nothing: the upload gives up on its own.
        {"stalled transfer", web + "/stall/logo1.png", kStalled},
        {"no task, success", src + "/logo2.png", 0, "logo2.png", kOld, 3, 1, true},
        {"no task, failure", src + "/missing/logo2.png", kStart, "logo2.png", kOld, 3, 1, true},
        // Refused before any task or transfer: names outside the table.
        {"the temporary file", std::string(kBmcDir) + "/TmpLogo", kRefused},
        {"no slash", "logo1.png", kRefused},
        {"empty last element", src + "/", kRefused},
        {"other case", src + "/LOGO1.PNG", kRefused},
        {"trailing blank", src + "/logo1.png ", kRefused},
        {"query string", "http://127.0.0.1:1/files/logo1.png?v=2", kRefused},
        {"password holding '@'", "ftp://u:pw@secret@127.0.0.1:1/logo3.png", kRefused},
        {"directory's name", src + "/logo", kRefused},
        {"1024 characters", std::string(1015, '/') + "logo1.png", kRefused},
        {"capability 0", src + "/logo1.png", kOff, "logo1.png", kOld, 3, 0},
        {"OEM flag 2", src + "/logo1.png", kOff, "logo1.png", kOld, 2, 1},
        {"no OEM flag", src + "/logo1.png", kOff, "logo1.png", kOld, -1, 1},
        {"no capability", src + "/logo1.png", kOff, "logo1.png", kOld, 3, -1},
    };
    std::string process = ReadFile("/proc/self/comm");
    process = process.substr(0, std::min<size_t>(process.find('\n'), 15));
    unsigned seed = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        BMC_System((std::string("rm -rf ") + kStorage + " " + kSources + " /var/tmp/logo-victim " +
                    BMC_OPERATE_LOG_PATH + " && mkdir -p " + kStorage + "/OEMFile/bmc " + kStorage +
                    "/OEMFile/bios " + kSources + " /var/tmp/logo-victim")
                       .c_str());
        SetSwitch(BMC_OEM_FLAG_PATH, c.oemFlag);
        SetSwitch(std::string(BMC_CAPABILITY_DIR) + "/Customer.SupportUploadLogo", c.capability);
        const std::string dir = strncmp(c.logo, "bios", 4) == 0 ? kBiosDir : kBmcDir;
        const std::string logo = dir + "/" + c.logo, temp = dir + "/TmpLogo";
        const std::string content = RandomBytes(150 * 1024, ++seed);
        WriteFile(kVictim, "precious");
        WriteFile(src + "/" + c.logo, content);
        WriteFile(servers().dir + "/www/files/" + c.logo, content);
        if (c.before != kNothing) {
            BMC_System(("mkdir -p " + dir).c_str());
            if (c.before == kOld) {
                WriteFile(logo, "old logo");
            } else {
                ASSERT_EQ(0, symlink(kVictim, temp.c_str()));
                ASSERT_EQ(0, symlink(kVictim, logo.c_str()));
            }
        }
        const std::string& command = c.command;
        const bool slow = command.find("/slow/") != std::string::npos;
        // What the command names, and what the storage partition is to hold afterwards.
        const std::string named =
            c.result != 0 || command.rfind("http", 0) == 0 ? content : ReadFile(command);
        std::map<std::string, std::string> want = {
            {std::string(kStorage) + "/OEMFile", "<dir>"},
            {std::string(kStorage) + "/OEMFile/bmc", "<dir>"},
            {std::string(kStorage) + "/OEMFile/bios", "<dir>"}};
        if (c.result == 0 || c.before != kNothing) {
            want[dir] = "<dir>";
            want[logo] = c.result == 0        ? named
                         : c.before == kLinks ? std::string("-> ") + kVictim
                                              : "old logo";
        }
        auto outside = [] {
            auto t = Tree("/var/tmp/logo-victim");
            auto s = Tree(kSources);
            t.insert(s.begin(), s.end());
            return t;
        };
        auto before = outside();
        auto writesOnlyTheLogo = [&] {
            EXPECT_TRUE(outside() == before) << "a file outside the logo directory changed";
            EXPECT_TRUE(Tree(kStorage) == want) << "unexpected files under " << kStorage;
        };
        const uint32_t last = TASK_TaskServiceLastId(), now = FreezeClock();
        TaskServiceTaskInfo info{4242, 17};
        faults().taskRegisterFails = c.noTask;

        auto start = std::chrono::steady_clock::now();
        OperateLogOrigin origin{"Redfish", "logo-tester", 4711};
        EXPECT_EQ(c.result, FILEHANDLE_UploadLogo(command.c_str(), &origin, &info));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        faults().taskRegisterFails = false;
        writesOnlyTheLogo();
        TransferTaskInfo transfers{};
        ASSERT_EQ(0u, FILEHANDLE_GetTransferTaskInfo(&transfers));
        EXPECT_EQ(0, transfers.ucTaskNum) << "the transfer task was not deleted";
        EXPECT_EQ(0u, CountLogged("secret"));
        // Exactly one operation-log entry, for the caller's origin (its line number aside);
        // none for a command too long to be taken.
        auto log = OperationLog();
        if (command.size() >= 1024) {
            EXPECT_TRUE(log.empty());
        } else {
            EXPECT_EQ(1u, log.size());
            log.resize(1);
            if (log[0].size() == 7) {
                log[0][4] = "";
            }
            EXPECT_EQ((OpEntry{"4711", "Redfish", "logo-tester", c.result ? "C" : "c", "", "254",
                               c.result ? "Failed to upload the custom logo."
                                        : "Uploaded the custom logo successfully."}),
                      log[0]);
        }
        auto updates = TaskUpdates();
        if (c.noTask || c.result == kRefused || c.result == kOff) {
            EXPECT_EQ(last, TASK_TaskServiceLastId()) << "a task was registered";
            EXPECT_TRUE(updates.empty());
            EXPECT_EQ(4242u, info.uiTaskId);
            EXPECT_EQ(17u, info.uiStartTime);
            continue;
        }
        // One new task, its number and start time handed back to the caller.
        TaskServiceStoredRegistration reg{};
        ASSERT_EQ(0, TASK_TaskServiceRead(info.uiTaskId, &reg, nullptr));
        EXPECT_EQ((std::vector<uint32_t>{last + 1, last + 1, last + 1, 5, now, now}),
                  (std::vector<uint32_t>{info.uiTaskId, TASK_TaskServiceLastId(), reg.uiTaskId,
                                         reg.uiKind, reg.uiTime, info.uiStartTime}));
        const TaskServiceRegistration& r = reg.stRecord;
        EXPECT_EQ((std::vector<std::string>{"logo Upload Task", "Upload Task", "LogoUploading",
                                            process, "BMC.UploadLogoComponent", "logo",
                                            "UpLoad The Logo", "logo", "OK", "Automatic."}),
                  (std::vector<std::string>{r.szName, r.szType, r.szKey, r.szOwner, r.szMessageId,
                                            r.szMessageArg, r.szDescription, r.szTarget, r.szHealth,
                                            r.szTrigger}));
        // Each update but the last shows a new percentage; the last one sent is stored, and a
        // failure keeps the percentage last shown.
        ASSERT_FALSE(updates.empty());
        int shown = 0;
        for (size_t k = 0; k + 1 < updates.size(); ++k) {
            EXPECT_EQ(Shown(info.uiTaskId, "logo uploading", 0, updates[k].ucPercent),
                      Shown(updates[k]));
            EXPECT_GT(updates[k].ucPercent, shown);
            EXPECT_LE(updates[k].ucPercent, 100);
            shown = updates[k].ucPercent;
        }
        EXPECT_TRUE(!slow || updates.size() >= 4) << "too few updates to see the percentage move";
        if (c.result == kStalled) {  // it saw the first half arrive
            EXPECT_TRUE(shown > 0 && shown < 100) << shown;
        }
        TaskServiceStoredUpdate upd{};
        ASSERT_EQ(0, TASK_TaskServiceRead(info.uiTaskId, nullptr, &upd));
        EXPECT_EQ(c.result ? Shown(info.uiTaskId, "logo upload failed", 4, shown)
                           : Shown(info.uiTaskId, "logo upload success", 2, 100),
                  Shown(upd.stRecord));
        EXPECT_EQ(updates.size(), upd.uiCount);
        if (c.result == kStalled) {
            // The abandoned worker gives up once it sees its task gone; still only the logo.
            EXPECT_TRUE(WaitForWorkers(30));
            writesOnlyTheLogo();
        }
    }
}
