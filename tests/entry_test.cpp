// The transfer entry and the worker frame: bad input and faults through the platform seam,
// each giving its result and leaving no slot, progress file, thread or lock. What the six
// members (HTTP, SFTP, SCP, FTP, TFTP, and NFS and CIFS through a share) share is one table
// over the members: a request of neither direction, null arguments, a local file that
// cannot be opened, and, against the loopback servers, both directions and the download of
// a missing file.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <tuple>
#include <type_traits>

#include "tests/support.h"

using namespace fhtest;

namespace {

class EntryTest : public FhTest {};

// Nothing of a task remains: no used slot, no progress file, no worker, lock free.
void ExpectNothingLeft() {
    EXPECT_TRUE(WaitForWorkers());
    TransferTaskInfo info{};
    ASSERT_EQ(0u, FILEHANDLE_GetTransferTaskInfo(&info));
    EXPECT_EQ(0, info.ucTaskNum);
    for (int id = 1; id <= 10; ++id) {
        EXPECT_FALSE(FileExists("/var/uploadDownload" + std::to_string(id) + ".progress")) << id;
    }
    EXPECT_TRUE(LockIsFree(FILEHANDLE_TASK_LOCK_NAME));
}

using Pair = std::pair<std::string, std::string>;
using Routine = uint32_t (*)(ComponentInfo*, char*);

const std::string kB = "File download or upload failed,because:";
const std::string kSp = "File download or upload failed, because: ";
const std::string kEntry = kB + "connection parameter parsing error";  // the entry's event

// What each member reports for a request of neither direction (after the entry's event for
// no file), and for a local file it cannot open.
struct Member {
    const char* scheme;
    uint8_t protocol;
    Routine download, upload;  // the libcurl members' routines; null for the others
    uint32_t badTypeResult;
    std::string badType;       // its description
    const char* badTypeEvent;  // the worker's own event: null none, empty the description
    // For a local file it cannot open, downloading and uploading (%s: the local path);
    // empty: the member needs a share first.
    std::string cannotOpenDown, cannotOpenUp;
};

const Member kMembers[] = {
    {"http", FILEHANDLE_PROTOCOL_HTTP, HTTP_DownLoadFileByCurl, HTTP_UploadFileByCurl,
     FILEHANDLE_E_PARAMETER, kSp + "http connection parameter parsing error", nullptr,
     kSp + "Failed to open download file", kSp + "%s open failed"},
    {"sftp", FILEHANDLE_PROTOCOL_SFTP, SFTP_DownLoadFileByCurl, SFTP_UploadFileByCurl,
     FILEHANDLE_E_PARAMETER, kB + "sftp connection parameter parsing error", "",
     kB + "Failed to open download file.", kSp + "%s open failed"},
    {"scp", FILEHANDLE_PROTOCOL_SCP, SCP_DownLoadFileByCurl, SCP_UploadFileByCurl,
     FILEHANDLE_E_PARAMETER, kB + "scp connection parameter parsing err", "",
     kB + "Failed to open download file", kB + "%s open failed"},
    {"ftp", FILEHANDLE_PROTOCOL_FTP, FTP_DownLoadFileByCurl, FTP_UploadFileByCurl,
     FILEHANDLE_E_PARAMETER, kB + "ftp connection parameter parsing error", "",
     kB + "Failed to open download file", kB + "%s open failed"},
    {"tftp", FILEHANDLE_PROTOCOL_TFTP, nullptr, nullptr, FILEHANDLE_E_TRANSFER_FAILED,
     kSp + "tftp connection parameter parsing error",
     "File download or upload failed, because: connection parameter parsing error",
     kSp + "cannot open local file", kSp + "cannot open local file"},
    // The mount members run their routine whatever the type (a remote path without '/'
    // stops it before any mount), then fail the task whatever the routine returned.
    {"nfs", FILEHANDLE_PROTOCOL_NFS, nullptr, nullptr, FILEHANDLE_E_PARAMETER, kEntry, "", "", ""},
    {"cifs", FILEHANDLE_PROTOCOL_CIFS, nullptr, nullptr, FILEHANDLE_E_PARAMETER, kEntry, "", "",
     ""},
};

// Each member against its server: the URI of a directory and that directory on the server
// (uploads over HTTP go elsewhere), what a download of a file missing there gives, how the
// member reports its progress, and a download long enough to be deleted while it runs ("":
// big.bin, a sparse GiB in the directory; null: none).
struct Remote {
    const char *name, *uri, *dir;
    uint32_t missing;  // 0: any failure
    bool perMiB;       // one progress record per MiB copied
    const char* longer;
    const char *upUri = nullptr, *upDir = nullptr;
};
const Remote kRemotes[] = {
    {"HTTP", FH_HTTP_URI, FH_HTTP_DIR, FILEHANDLE_E_TRANSFER_FAILED, false,
     "http://127.0.0.1:{http.HTTP_PORT}/stall/1m.bin", FH_HTTP_UP_URI, FH_HTTP_UP_DIR},
    {"SFTP", FH_SFTP_URI, FH_SSH_DIR, FILEHANDLE_E_REMOTE_NOT_FOUND, false, ""},
    {"SCP", FH_SCP_URI, FH_SSH_DIR, 0, false, ""},
    {"FTP", FH_FTP_URI, FH_SSH_DIR, FILEHANDLE_E_REMOTE_NOT_FOUND, false, ""},
    {"TFTP", FH_TFTP_URI, FH_TFTP_DIR, FILEHANDLE_E_REMOTE_MISSING, false, nullptr},
    {"NFS", FH_NFS_URI "dir/", FH_NFS_DIR "dir/", FILEHANDLE_E_REMOTE_NOT_FOUND, true, ""},
    {"NFS at the share root, no port", "nfs://127.0.0.1{share.NFS_EXPORT}/", FH_NFS_DIR,
     FILEHANDLE_E_REMOTE_NOT_FOUND, true, nullptr},
    {"CIFS", FH_CIFS_URI "dir/", FH_CIFS_DIR "dir/", FILEHANDLE_E_REMOTE_NOT_FOUND, true, ""},
    {"CIFS at the share root, no port", FH_CIFS_LOGIN "/{share.CIFS_SHARE}/", FH_CIFS_DIR,
     FILEHANDLE_E_REMOTE_NOT_FOUND, true, nullptr},
};

// The result of a call, 0 for one that returns nothing.
template <typename Call>
uint32_t ResultOf(Call call) {
    if constexpr (std::is_void_v<decltype(call())>) {
        call();
        return 0;
    } else {
        return call();
    }
}
// The result of a size query of the file behind `uri`, and the size it gave (77: none).
std::pair<uint32_t, uint32_t> SizeOf(const std::string& uri) {
    RedfishInfo in = UriRequest(FILEHANDLE_DOWNLOAD, "/var/tmp/unused.bin", uri);
    uint32_t size = 77;
    uint32_t rc = FILEHANDLE_GetRemoteFileSize(&in, &size);
    return {rc, size};
}

// A row of NullPointersEverywhere: the argument reported, the result, the function and the
// arguments of its call.
#define FH_NULL_ROW(argument, result, func, ...)                                             \
    {                                                                                        \
        argument, #func, [&] { return ResultOf([&] { return func(__VA_ARGS__); }); }, result \
    }

}  // namespace

// Starts that are refused or fail before a worker runs: the result, the identifier handed
// back, the one event (or none), no thread and nothing of the task left.
TEST_F(EntryTest, StartRefusalsAndFaults) {
    const char* kInit = "File upload and download initialization failed";
    std::atomic<bool> none{false};
    struct Case {
        std::string name;
        uint8_t protocol;
        std::atomic<bool>* fault;
        uint32_t result, idAfter;
        const char* event;  // null: none
    };
    std::vector<Case> cases = {
        {"no database", 0, &faults().noDb, FILEHANDLE_E_ENTRY_NO_DB, 55, nullptr},
        {"thread not created", 0, &faults().threadCreateFails, FILEHANDLE_E_START_FAILED, 1, kInit},
        {"table unreadable", 0, &faults().dbGetFails, FILEHANDLE_E_NO_TASK, 0, kInit},
        {"table unwritable", 0, &faults().dbPutFails, FILEHANDLE_E_NO_TASK, 0, kInit},
    };
    for (uint8_t code : {5, 6, 9, 200, 255}) {  // the identifier is the deleted task's
        cases.push_back({"protocol " + std::to_string(code), code, &none, FILEHANDLE_E_BAD_PROTOCOL,
                         1, "File transfer protocol not supported"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        int threads = ThreadCount();
        ComponentInfo r = MakeRequest(c.protocol, 1, "http://127.0.0.1:1/fw.bin", "/tmp/f/fw.bin");
        uint32_t id = 55;
        *c.fault = true;
        EXPECT_EQ(c.result, FILEHANDLE_UploadDownloadFileImage(&r, &id));
        *c.fault = false;
        EXPECT_EQ(c.idAfter, id);
        EXPECT_EQ((c.event ? std::vector<Pair>{{"fw.bin", c.event}} : std::vector<Pair>{}),
                  EventTexts());
        EXPECT_EQ(threads, ThreadCount());
        ExpectNothingLeft();
    }
    ResetAll();
    ComponentInfo r = MakeRequest(0, 1, "http://127.0.0.1:1/x", "/tmp/x");
    uint32_t id = 77;
    EXPECT_EQ(FILEHANDLE_E_ENTRY_NULL_ARGUMENT, FILEHANDLE_UploadDownloadFileImage(nullptr, &id));
    EXPECT_EQ(FILEHANDLE_E_ENTRY_NULL_ARGUMENT, FILEHANDLE_UploadDownloadFileImage(&r, nullptr));
    EXPECT_EQ(77u, id);
    EXPECT_TRUE(Events().empty());
}

TEST_F(EntryTest, FreshDatabaseGetsItsTableFirst) {
    // In a child with a database of its own: the entry writes an empty table, then
    // allocates identifier 1; if that write fails the result is FILEHANDLE_E_DB_WRITE.
    for (bool putFails : {false, true}) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (unshare(CLONE_NEWNS) != 0 || mount("fh-db", "/var/lib", "tmpfs", 0, nullptr) != 0) {
                _exit(10);
            }
            faults().dbPutFails = putFails;
            ComponentInfo r = MakeRequest(5, 1, "x", "/tmp/a");
            uint32_t id = 99;
            uint32_t rc = FILEHANDLE_UploadDownloadFileImage(&r, &id);
            _exit(putFails ? !(rc == FILEHANDLE_E_DB_WRITE && id == 0)
                           : !(rc == FILEHANDLE_E_BAD_PROTOCOL && id == 1));
        }
        int st = 0;
        waitpid(pid, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << putFails;
    }
}

// Every member: a task of neither direction fails in its worker, which runs nothing, and a
// local file that it cannot open (a directory where a download would write, which stays
// as it was; an upload source that does not exist) fails the task before any connection
// (port 1 would refuse anyway). A libcurl routine refuses a null request or text buffer,
// reaches no protocol but its own, and passes no credential with a line break to libcurl: a
// file:// URL neither reads nor writes a local file.
TEST_F(EntryTest, EveryMemberRefusesBadRequests) {
    const std::string paths[] = {"fw.bin", "/var/tmp/dir/f.bin", "/var/tmp/no/such/f.bin"};
    BMC_System(("mkdir -p " + paths[1]).c_str());  // f.bin is a directory
    WriteFile(paths[1] + "/keep", "keep");
    WriteFile("/var/tmp/secret", "secret");
    WriteFile("/var/tmp/src.bin", "data");
    for (const Member& m : kMembers) {
        const bool curl = m.download != nullptr;
        const std::string where = curl ? std::string(m.scheme) + "://127.0.0.1:1/x" : "127.0.0.1";
        for (uint8_t type : {3, 1, 2}) {
            SCOPED_TRACE(std::string(m.scheme) + " type " + std::to_string(type));
            const std::string& path = paths[type % 3];
            const std::string& format = type == 3   ? m.badType
                                        : type == 1 ? m.cannotOpenDown
                                                    : m.cannotOpenUp;
            if (format.empty()) {
                continue;
            }
            char want[1024];
            snprintf(want, sizeof want, format.c_str(), path.c_str());
            ResetAll();
            ComponentInfo r = MakeRequest(m.protocol, type, where, path);
            r.uiPort = 1;
            std::vector<Pair> events = {
                {type == 3 ? "Unknown" : "f.bin", type == 3 ? kEntry : want}};
            if (type == 3 && m.badTypeEvent != nullptr) {
                events.emplace_back("Unknown", *m.badTypeEvent != '\0' ? m.badTypeEvent : want);
            }
            Outcome o = RunRequest(r);
            EXPECT_EQ(3u, o.stage);
            EXPECT_EQ(type == 3 ? m.badTypeResult : FILEHANDLE_E_LOCAL_FILE, o.result);
            EXPECT_EQ(want, o.desc);
            EXPECT_EQ(events, EventTexts());
            EXPECT_TRUE(Commands().empty()) << "a mount ran";
            EXPECT_TRUE(TftpBridgeCalls().transferPorts.empty());
            EXPECT_EQ(0u, CountLogged("curl_easy_perform"));  // no connection was tried
            EXPECT_EQ("keep", ReadFile(paths[1] + "/keep"));
            ExpectNothingLeft();
            if (type == 3 || !curl) {
                continue;
            }
            Routine run = type == 1 ? m.download : m.upload;
            char desc[1024] = {0};
            EXPECT_EQ(FILEHANDLE_E_NULL_ARGUMENT, run(nullptr, desc));
            EXPECT_EQ(FILEHANDLE_E_NULL_ARGUMENT, run(&r, nullptr));
            EXPECT_STREQ("", desc);
            for (const char* url : {"file:///var/tmp/secret", "dict://127.0.0.1:1/x",
                                    "gopher://127.0.0.1:1/_x", "ftp://u:p@127.0.0.1:1/x"}) {
                SCOPED_TRACE(url);
                r = MakeRequest(0, type, url, type == 1 ? "/var/tmp/out.bin" : "/var/tmp/src.bin");
                const bool lineBreak = strncmp(url, "ftp:", 4) == 0;
                if (lineBreak) {
                    strcpy(r.szPassword, "p\r\nDELE x");
                    strcpy(r.szHttpPassword, "p\r\nX-A: b");
                }
                uint32_t rc = run(&r, desc);
                EXPECT_NE(0u, rc);
                EXPECT_TRUE(!lineBreak || rc == FILEHANDLE_E_PARAMETER) << rc;
                EXPECT_NE("secret", ReadFile("/var/tmp/out.bin"));
                EXPECT_EQ("secret", ReadFile("/var/tmp/secret"));
            }
        }
    }
    // libcurl cannot start: the one event is the worker's, for the file.
    ResetAll();
    faults().curlInitFails = true;
    ComponentInfo r = MakeRequest(FILEHANDLE_PROTOCOL_HTTP, 1, "127.0.0.1", "/tmp/fw.bin");
    Outcome o = RunRequest(r);
    faults().curlInitFails = false;
    EXPECT_EQ(FILEHANDLE_E_TRANSFER_FAILED, o.result);
    EXPECT_EQ(kSp + "curl_easy_init failed", o.desc);
    EXPECT_EQ((std::vector<Pair>{{"fw.bin", o.desc}}), EventTexts());
    ExpectNothingLeft();
}

// Every member through the Redfish entry: both ways, from empty to a few MiB (524288 bytes:
// a whole number of blocks of either TFTP block size; the percentages: one record per MiB
// copied), a download onto an older and longer file; the download of a missing file, which
// leaves no file and raises one event; and a download deleted while its data arrives, whose
// worker stops soon, removes its partial file, reports its failure once and leaves alone the
// record of the new task that took its identifier at once.
TEST_F(EntryTest, EveryMemberAgainstItsServer) {
    Env env = LoadServerEnvs();
    for (const auto& [name, file] : env) {
        if (file.empty()) {
            GTEST_SKIP() << name << " servers not started (scripts/run-tests.sh)";
        }
    }
    const std::string local = "/var/tmp/members", src = local + "/src.bin", dst = local + "/dst";
    std::string dirs = env["share"]["NFS_ROOT"] + "/dir " + env["share"]["CIFS_ROOT"] + "/dir";
    BMC_System(("rm -rf " + local + " && mkdir -p " + local + " " + dirs + " && chmod 777 " + dirs)
                   .c_str());
    const std::pair<size_t, std::vector<int>> sizes[] = {
        {0, {}}, {524288, {100}}, {2500000, {41, 83, 100}}};
    int n = 0;  // a fresh name each time: a file removed behind the NFS server's back may live
                // on in its cache
    for (const Remote& m : kRemotes) {
        for (const auto& [size, records] : sizes) {
            for (bool up : {false, true}) {
                SCOPED_TRACE(std::string(m.name) + (up ? " up " : " down ") + std::to_string(size));
                ResetAll();
                std::string name = "m" + std::to_string(++n) + ".bin";
                std::string uri = Expand(up && m.upUri ? m.upUri : m.uri, env) + name;
                std::string remote = Expand(up && m.upDir ? m.upDir : m.dir, env) + name;
                std::string content = RandomBytes(size, n);
                WriteFile(up ? src : remote, content);
                WriteFile(dst, std::string(size + 5000, 'o'));
                Outcome o =
                    RunUri(up ? FILEHANDLE_UPLOAD : FILEHANDLE_DOWNLOAD, up ? src : dst, uri);
                EXPECT_EQ(2u, o.stage) << o.desc;
                EXPECT_EQ("File download or upload success", o.desc);
                EXPECT_TRUE(ReadFile(up ? remote : dst) == content) << "content differs";
                EXPECT_TRUE(ReadFile(src) == content || !up) << "the source changed";
                EXPECT_TRUE(Events().empty());
                if (!up && size > 0) {  // SSH gives no size for an empty file
                    EXPECT_EQ(std::make_pair(0u, static_cast<uint32_t>(size)), SizeOf(uri));
                }
                std::vector<int> percents;
                for (const ComponentProcess& r : ProgressWrites()) {
                    if (strcmp(r.szDescription, "File transfer....") == 0) {
                        percents.push_back(r.ucPercent);
                    }
                }
                EXPECT_EQ(100, ProgressWrites().back().ucPercent);  // the final record's
                if (m.perMiB) {
                    EXPECT_EQ(records, percents);
                }
                // The share is gone again, and no password stood on a command line (readable
                // in /proc).
                EXPECT_FALSE(FileExists("/var/confbup_tmp1"));
                for (const std::string& c : Commands()) {
                    EXPECT_EQ(std::string::npos, c.find("password=")) << c;
                    EXPECT_EQ(std::string::npos, c.find(env["share"]["CIFS_PASS"])) << c;
                }
            }
        }
        SCOPED_TRACE(std::string(m.name) + " missing file");
        ResetAll();
        unlink(dst.c_str());
        Outcome o = RunUri(FILEHANDLE_DOWNLOAD, dst, Expand(m.uri, env) + "no-such.bin");
        EXPECT_EQ(3u, o.stage);
        EXPECT_TRUE(m.missing == 0 || m.missing == o.result) << std::hex << o.result << o.desc;
        EXPECT_FALSE(FileExists(dst)) << "a failed download left its file";
        auto ev = EventTexts();
        ASSERT_EQ(1u, ev.size());
        EXPECT_EQ(o.desc, ev[0].second);
        if (strncmp(m.name, "HTTP", 4) != 0) {  // a 404 page has a length of its own
            EXPECT_EQ(std::make_pair(FILEHANDLE_E_START_FAILED, 0u),
                      SizeOf(Expand(m.uri, env) + "no-such.bin"));
        }
        if (m.longer == nullptr) {
            continue;
        }
        SCOPED_TRACE("deleted while it runs");
        ResetAll();
        std::string big = Expand(m.dir, env) + "big.bin";
        if (*m.longer == '\0') {
            WriteFile(big, "");
            ASSERT_EQ(0, truncate(big.c_str(), 1 << 30));
        }
        RedfishInfo in =
            UriRequest(FILEHANDLE_DOWNLOAD, dst,
                       *m.longer ? Expand(m.longer, env) : Expand(m.uri, env) + "big.bin");
        uint32_t id = 0;
        ASSERT_EQ(0u, FILEHANDLE_UploadDownloadFileImageForRedfish(&in, &id));
        struct stat st {};
        ASSERT_TRUE(WaitUntil([&] { return stat(dst.c_str(), &st) == 0 && st.st_size > 0; }));
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
        ASSERT_EQ(0u, FILEHANLE_IDdetifier_ProgessFile(&id));
        ASSERT_EQ(1u, id);
        std::string before = ReadFile("/var/uploadDownload1.progress");
        EXPECT_TRUE(WaitForWorkers(15));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10))
            << "the transfer ran on after its task was deleted";
        EXPECT_EQ(before, ReadFile("/var/uploadDownload1.progress"));
        EXPECT_FALSE(FileExists(dst)) << "the partial download was left behind";
        EXPECT_EQ(1u, Events().size());
        EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(1));
        unlink(big.c_str());
    }
    // Sizes over HTTPS, and of a reply without Content-Length (size -1); no probe left its
    // mount behind.
    WriteFile(Expand("{http.TEST_DIR}/www/files/size.bin", env), "12345");
    EXPECT_EQ(std::make_pair(0u, 5u),
              SizeOf(Expand("https://127.0.0.1:{http.HTTPS_PORT}/files/size.bin", env)));
    EXPECT_EQ(std::make_pair(0u, 0xffffffffu),
              SizeOf(Expand("http://127.0.0.1:{http.HTTP_PORT}/nolen/size.bin", env)));
    EXPECT_EQ(std::string::npos, ReadFile("/proc/self/mountinfo").find("confbup"));
}

// TFTP paths: 241 characters in either path fails the start; 240 starts the task, whose
// failed transfer (libcurl cannot start) leaves no file. Port 0 means 69 for the transfer
// only. A size query of a TFTP path of 241 characters is refused without asking the bridge;
// 240 is asked (of a closed port here).
TEST_F(EntryTest, PathLimitsAndSizeRefusals) {
    const std::tuple<size_t, size_t, uint32_t> cases[] = {
        {241, 10, FILEHANDLE_E_START_FAILED}, {10, 241, FILEHANDLE_E_START_FAILED}, {240, 240, 0}};
    for (auto [readLen, storeLen, result] : cases) {
        SCOPED_TRACE(readLen * 1000 + storeLen);
        ResetAll();
        std::string store = "/var/tmp/" + std::string(storeLen - 9, 's');
        ComponentInfo r = MakeRequest(FILEHANDLE_PROTOCOL_TFTP, 1, "127.0.0.1", store);
        memcpy(r.szReadAddress, std::string(readLen, 'r').data(), readLen);
        uint32_t id = 0;
        faults().curlInitFails = true;
        EXPECT_EQ(result, FILEHANDLE_UploadDownloadFileImage(&r, &id));
        EXPECT_EQ(1u, id);
        if (result == 0) {
            EXPECT_EQ(FILEHANDLE_E_REMOTE_MISSING, WaitForEnd(id).uiResultCode);
            EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
            EXPECT_FALSE(FileExists(store));
            EXPECT_EQ(std::vector<uint32_t>{0}, TftpBridgeCalls().sizePorts);
            EXPECT_EQ(std::vector<uint32_t>{69}, TftpBridgeCalls().transferPorts);
        }
        EXPECT_EQ((std::vector<Pair>{{std::string(storeLen - 9, 's'),
                                      result ? "File upload and download initialization failed"
                                             : "File download or upload failed, because: The "
                                               "Remote file does not exist or the ip is wrong"}}),
                  EventTexts());
        ExpectNothingLeft();
    }
    faults().curlInitFails = false;
    // Size queries: a local file's; a missing one's is 0; an unparsable URI leaves the size
    // alone.
    WriteFile("/var/tmp/size.bin", "123");
    const std::pair<std::string, std::pair<uint32_t, uint32_t>> sizes[] = {
        {"tftp://127.0.0.1:1/" + std::string(240, 'n'), {FILEHANDLE_E_START_FAILED, 0}},
        {"tftp://127.0.0.1:1/" + std::string(241, 'n'), {FILEHANDLE_E_START_FAILED, 0}},
        {"/var/tmp/size.bin", {0, 3}},
        {"/var/tmp/none.bin", {FILEHANDLE_E_START_FAILED, 0}},
        {"http://[FE80::1]/f", {FILEHANDLE_E_NO_TASK, 77}}};
    for (const auto& [uri, want] : sizes) {
        SCOPED_TRACE(uri.size());
        ResetAll();
        EXPECT_EQ(want, SizeOf(uri));
        EXPECT_EQ(uri.size() == 259, !TftpBridgeCalls().sizePorts.empty());
    }
    // The probes themselves.
    int32_t s = 8;
    ComponentInfo r = MakeRequest(0, 1, "http://127.0.0.1:1/x", "/var/tmp/x");
    faults().curlInitFails = true;
    EXPECT_EQ(FILEHANDLE_IN_ENGINE_FAILED, SFTP_GetRemoteFileSize(&r, &s));
    faults().curlInitFails = false;
    EXPECT_EQ(FILEHANDLE_FAILED, HTTP_GetRemoteFileSize(&r, &s));  // closed port
    EXPECT_EQ(0, s);
}

// The worker refuses a request whose identifier is out of range, or whose slot is free or
// names another task (another identifier, or another task's progress file): it runs
// nothing and writes no record.
TEST_F(EntryTest, ThreadBodyRefusesForeignOrBadTasks) {
    const char* kRange = "ulIdentifier is 0 or FILEHANDLE_THREAD_MAX.";
    const std::pair<uint32_t, const char*> cases[] = {
        {0, kRange}, {11, kRange}, {2, nullptr}, {3, nullptr}, {4, nullptr}};
    uint32_t id = 0;
    ASSERT_EQ(0u, FILEHANLE_IDdetifier_ProgessFile(&id));  // identifier 1 exists
    TaskTable t = ReadTable();
    t.astSlot[2] = t.astSlot[0];  // slot 3 holds task 1
    t.astSlot[3] = t.astSlot[0];  // slot 4 holds task 4 with task 1's file
    t.astSlot[3].uiIdentifier = 4;
    WriteTable(t);
    std::string before = ReadFile("/var/uploadDownload1.progress");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        auto* copy = static_cast<ComponentInfo*>(calloc(1, sizeof(ComponentInfo)));
        *copy = MakeRequest(0, 1, "http://127.0.0.1:1/x", "/tmp/x");
        copy->uiIdentifier = c.first;
        // Runs on a thread of its own (it renames its thread) and frees the copy.
        std::thread([copy] { EXPECT_EQ(nullptr, HttpThread(copy)); }).join();
        EXPECT_TRUE(Logged(2, c.second ? c.second
                                       : "Error in getting file pathinfo from DB, uiIdentifier: " +
                                             std::to_string(c.first) + "."));
        EXPECT_EQ(before, ReadFile("/var/uploadDownload1.progress"));
        EXPECT_FALSE(FileExists("/var/uploadDownload" + std::to_string(c.first) + ".progress"));
    }
    std::thread([] { EXPECT_EQ(nullptr, HttpThread(nullptr)); }).join();
    EXPECT_TRUE(Events().empty());
}

// A null pointer is reported first, at level 7, under the name of the argument and of the
// exported function the caller called (never of a helper inside it), and the call fails.
TEST_F(EntryTest, NullPointersEverywhere) {
    constexpr uint32_t kIn = FILEHANDLE_IN_NULL_POINTER, kArg = FILEHANDLE_E_NULL_ARGUMENT,
                       kReq = FILEHANDLE_NULL_REQUEST, kLogo = FILEHANDLE_E_LOGO_NULL_ARGUMENT;
    ComponentInfo req = MakeRequest(0, 1, "http://127.0.0.1:1/x", "/tmp/x");
    RedfishInfo info{};
    uint32_t u = 0;
    int32_t i = 0;
    char desc[1024];
    const struct {
        const char* argument;
        const char* func;
        std::function<uint32_t()> run;
        uint32_t result;
    } cases[] = {
        FH_NULL_ROW("puiIdentifier", kIn, FILEHANLE_ClearTasksAndConfigID, nullptr),
        FH_NULL_ROW("puiTaskNum", 0, FILEHANDLE_UploadDownloadDateClean, nullptr),
        FH_NULL_ROW("pstComponentProcess", kArg, FILEHANDLE_UploadDownloadProgress, 1, nullptr),
        FH_NULL_ROW("pstTransferTaskInfo", kArg, FILEHANDLE_GetTransferTaskInfo, nullptr),
        FH_NULL_ROW("pcProgressFilePath", kIn, FILEHANDLE_GetProgressFile, 1, nullptr),
        FH_NULL_ROW("pstComponentInfo", kIn, HTTP_UploadDownloadFile, nullptr),
        FH_NULL_ROW("pstRedfishInfo", kIn, FILEHANDLE_ParseRedfishStruct, nullptr, &req),
        FH_NULL_ROW("puiFileSize", kReq, FILEHANDLE_GetRemoteFileSize, &info, nullptr),
        FH_NULL_ROW("pstRedfishInfo", kReq, FILEHANDLE_UploadDownloadFile, nullptr, 5),
        FH_NULL_ROW("pcRedfishCmd", kLogo, FILEHANDLE_UploadLogo, nullptr, &u, &u),
        FH_NULL_ROW("pstLogOrigin", kLogo, FILEHANDLE_UploadLogo, "/x", nullptr, &u),
        FH_NULL_ROW("pstTaskInfo", kLogo, FILEHANDLE_UploadLogo, "/x", &u, nullptr),
        FH_NULL_ROW("pstFdRead", kArg, MOUNT_FileReadWrite, nullptr, stdout, "/tmp/p", 1),
        FH_NULL_ROW("pstFdWrite", kArg, MOUNT_FileReadWrite, stdin, nullptr, "/tmp/p", 1),
        FH_NULL_ROW("pcProgressFilePath", kArg, MOUNT_FileReadWrite, stdin, stdout, nullptr, 1),
        FH_NULL_ROW("pstComponentInfo", kArg, MOUNT_UploadDownloadFile, nullptr, "/tmp/p", desc),
        FH_NULL_ROW("pcProgressFilePath", kArg, MOUNT_UploadDownloadFile, &req, nullptr, desc),
        FH_NULL_ROW("pcTaskDesc", kArg, MOUNT_UploadDownloadFile, &req, "/tmp/p", nullptr),
        FH_NULL_ROW("piFileSize", kIn, Mount_GetRemoteFileSize, &req, nullptr),
        FH_NULL_ROW("pcMountFilePath", 0, UMOUNT_UploadDownloadClean, nullptr),
        FH_NULL_ROW("pcHostsys", kIn, TFTP_FileUploadDownload, nullptr, 0, "a", "b", "/tmp/p", 1),
        FH_NULL_ROW("pcTaskDesc", kArg, HTTP_DownLoadFileByCurl, &req, nullptr),
        FH_NULL_ROW("piFileSize", kIn, FTP_GetRemoteFileSize, &req, nullptr),
        FH_NULL_ROW("pstDownloadFileInfo", kIn, HTTP_GetRemoteFileSize, nullptr, &i),
        FH_NULL_ROW("pstRedfishInfo", kReq, FILEHANDLE_GetRemoteFileSize, nullptr, &u),
        FH_NULL_ROW("pcFilePathName", 0, FILEHANDLE_AddSdl_TaskExecutionFailed, nullptr, "x"),
        FH_NULL_ROW("pstComponentProcess", 0, FILEHANDLE_UploadDownloadSetProgress, nullptr, "/p"),
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.func) + " " + c.argument);
        ResetAll();
        uint32_t rc = c.run();
        EXPECT_EQ(c.result, rc);
        auto logs = Logs();
        ASSERT_FALSE(logs.empty());
        EXPECT_EQ(7u, logs[0].level);
        EXPECT_EQ(0u, logs[0].module);
        std::string want = std::string("Pointer ") + c.argument +
                           " is Null, File:filehandle_ulanddl Func:" + c.func + " Line:";
        EXPECT_EQ(0u, logs[0].text.rfind(want, 0)) << logs[0].text;
    }
    EXPECT_EQ(FILEHANDLE_IN_BAD_ARGUMENT, FILEHANLE_IDdetifier_ProgessFile(nullptr));
    ExpectNothingLeft();
}

// Another local user plants links and files where the library creates or opens its own,
// or holds its lock: the library refuses, or replaces what was planted, or times out, and
// never writes through a link.
TEST_F(EntryTest, PlantedLinksAndLocksOfAnotherUser) {
    const std::string lock = "/var/lock/" FILEHANDLE_TASK_LOCK_NAME;
    WriteTable(TaskTable{});
    WriteFile("/var/tmp/victim", "victim");
    mkdir("/var/tmp/victimdir", 0755);
    ASSERT_EQ(0, system(("mkdir -p /var/lock && chmod 1777 /var /var/tmp /var/lock && rm -rf " +
                         lock + " /var/confbup_tmp3")
                            .c_str()));
    pid_t planter = fork();  // the other user, "nobody"
    if (planter == 0) {
        _exit(setgid(65534) != 0 || setuid(65534) != 0 ||
              symlink("/var/tmp/victim", lock.c_str()) != 0 ||
              symlink("/var/tmp/victimdir", "/var/confbup_tmp3") != 0 ||
              symlink("/var/tmp/victim", "/var/tmp/planted.bin") != 0);
    }
    int status = -1;
    waitpid(planter, &status, 0);
    ASSERT_EQ(0, status);
    // The lock file link is replaced by a private file of ours.
    uint32_t id = 0;
    ASSERT_EQ(0u, FILEHANLE_IDdetifier_ProgessFile(&id));
    EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
    struct stat st {};
    ASSERT_EQ(0, lstat(lock.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_uid == 0 && (st.st_mode & 077) == 0);
    // A planted mount directory is refused; a download never writes through a link.
    ComponentInfo r = MakeRequest(FILEHANDLE_PROTOCOL_NFS, 1, "127.0.0.1", "/var/tmp/planted.bin");
    strcpy(r.szStorageAddress, "/export/f");
    r.uiIdentifier = 3;
    char desc[1024] = {0};
    EXPECT_EQ(FILEHANDLE_E_TRANSFER_FAILED,
              MOUNT_UploadDownloadFile(&r, "/var/nothing.progress", desc));
    EXPECT_TRUE(Commands().empty());
    r = MakeRequest(0, 1, "http://127.0.0.1:1/f", "/var/tmp/planted.bin");
    EXPECT_EQ(FILEHANDLE_E_LOCAL_FILE, HTTP_DownLoadFileByCurl(&r, desc));
    EXPECT_EQ("victim", ReadFile("/var/tmp/victim"));
    // A lock held by another user's process: the call gives up after the lock's wait.
    unlink(lock.c_str());
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t holder = fork();
    if (holder == 0) {
        (void)flock(open(lock.c_str(), O_RDWR | O_CREAT, 0600), LOCK_EX);
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    time_t start = time(nullptr);
    EXPECT_EQ(FILEHANDLE_IN_DB_READ, FILEHANLE_IDdetifier_ProgessFile(&id));
    EXPECT_LE(time(nullptr) - start, 20);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    ASSERT_EQ(0u, FILEHANLE_IDdetifier_ProgessFile(&id));  // free again at once
    EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
    EXPECT_EQ(0, system("rm -rf /var/confbup_tmp3 /var/tmp/planted.bin /var/tmp/victim*; chmod 755 "
                        "/var /var/tmp"));
}
