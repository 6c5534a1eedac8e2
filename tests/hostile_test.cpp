// Servers that misbehave (tests/servers/hostile_peer.py): for HTTP, SSH, FTP and TFTP, a
// server that stalls, closes mid-transfer, sends less or more than it announced, or answers
// garbage. Every task ends within the transfer time-out with a failure result and a reason
// (or, where the protocol itself bounds the message, with exactly the announced bytes), a
// failed download leaves no file, and no worker outlives its task. Minutes long (the stalls
// last until the 120 s time-out): run by hand with FH_HOSTILE=1.
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <set>

#include "platform/bmc_platform.h"
#include "tests/support.h"

using namespace fhtest;

namespace {

const std::set<uint32_t> kFailures = {FILEHANDLE_E_LOCAL_FILE, FILEHANDLE_E_REMOTE_MISSING,
                                      FILEHANDLE_E_TRANSFER_FAILED, FILEHANDLE_E_COULD_NOT_CONNECT,
                                      FILEHANDLE_E_REMOTE_NOT_FOUND};

struct Case {
    const char* mode;
    int port;  // the mode's index in MODES of hostile_peer.py: it listens on base + index
    uint8_t type;
    const char* scheme;
    size_t served;  // bytes a success leaves (0: the case must fail)
};

const Case kCases[] = {
    {"http stall", 0, 1, "http", 0},   {"http close", 1, 1, "http", 0},
    {"http short", 2, 1, "http", 0},   {"http long", 3, 1, "http", 1000},
    {"http garbage", 4, 1, "http", 0}, {"http stall", 0, 2, "http", 0},
    {"ssh stall", 5, 1, "sftp", 0},    {"ssh close", 6, 1, "scp", 0},
    {"ssh garbage", 7, 1, "sftp", 0},  {"ssh close", 6, 2, "sftp", 0},
    {"ftp stall", 8, 1, "ftp", 0},     {"ftp close", 9, 1, "ftp", 0},
    {"ftp garbage", 10, 1, "ftp", 0},  {"ftp close", 9, 2, "ftp", 0},
    {"tftp stall", 11, 1, "tftp", 0},  {"tftp garbage", 12, 1, "tftp", 0},
    {"tftp error", 13, 1, "tftp", 0},  {"tftp block", 14, 1, "tftp", 0},
    {"tftp stall", 11, 2, "tftp", 0},
};

// Where a case's download lands; every upload sends the same source.
std::string Local(size_t i) {
    return kCases[i].type == FILEHANDLE_DOWNLOAD ? "/var/tmp/hostile/dl" + std::to_string(i)
                                                 : "/var/tmp/hostile/src.bin";
}

class HostileTest : public FhTest {
  protected:
    void SetUp() override {
        FhTest::SetUp();
        if (getenv("FH_HOSTILE") == nullptr) {
            GTEST_SKIP() << "set FH_HOSTILE=1 to run";
        }
        int out[2];
        ASSERT_EQ(0, pipe(out));
        std::string base = std::to_string(base_);
        peer_ = fork();
        if (peer_ == 0) {
            dup2(out[1], 1);
            execlp("python3", "python3", FH_SOURCE_DIR "/tests/servers/hostile_peer.py", "--base",
                   base.c_str(), nullptr);
            _exit(127);
        }
        close(out[1]);
        char ready[6] = {0};
        ASSERT_EQ(5, read(out[0], ready, 5)) << "hostile_peer.py did not start";
        close(out[0]);
        BMC_System("rm -rf /var/tmp/hostile && mkdir -p /var/tmp/hostile");
        WriteFile("/var/tmp/hostile/src.bin", RandomBytes(300000, 3));
    }
    void TearDown() override {
        if (peer_ > 0) {
            kill(peer_, SIGKILL);
            waitpid(peer_, nullptr, 0);
        }
        FhTest::TearDown();
    }
    int base_ = getenv("FH_HOSTILE_BASE") != nullptr ? atoi(getenv("FH_HOSTILE_BASE")) : 18200;
    pid_t peer_ = -1;
};

}  // namespace

// The cases run a table at a time; each ends when its final record is written (the
// record's second, against the wall clock when it started).
TEST_F(HostileTest, EveryCaseEndsWithItsResult) {
    const size_t n = sizeof kCases / sizeof kCases[0];
    for (size_t first = 0; first < n; first += FILEHANDLE_THREAD_MAX) {
        std::vector<std::pair<uint32_t, time_t>> runs;  // identifier, start
        for (size_t i = first; i < n && i < first + FILEHANDLE_THREAD_MAX; ++i) {
            const Case& c = kCases[i];
            char uri[64];  // SSH and FTP log in (to no avail)
            snprintf(uri, sizeof uri, "%s://%s127.0.0.1:%d/f.bin", c.scheme,
                     strchr("sf", c.scheme[0]) ? "u:p@" : "", base_ + c.port);
            RedfishInfo in = UriRequest(kCases[i].type, Local(i), uri);
            uint32_t id = 0;
            ASSERT_EQ(0u, FILEHANDLE_UploadDownloadFileImageForRedfish(&in, &id)) << kCases[i].mode;
            runs.emplace_back(id, time(nullptr));
        }
        for (size_t i = first; i < first + runs.size(); ++i) {
            const Case& c = kCases[i];
            auto [id, start] = runs[i - first];
            SCOPED_TRACE(std::string(c.mode) + (c.type == 1 ? " download" : " upload"));
            ComponentProcess rec{};
            while (FILEHANDLE_UploadDownloadProgress(id, &rec) == 0 && rec.uiStage == 1 &&
                   time(nullptr) - start < 150) {
                usleep(100000);
            }
            long secs = static_cast<long>(rec.uiTime) - static_cast<long>(start);
            EXPECT_LT(secs, 130) << "beyond the transfer time-out";
            printf("hostile: %-12s %-8s -> 0x%08x after %3ld s\n", c.mode,
                   c.type == 1 ? "download" : "upload", rec.uiResultCode, secs);
            if (c.served != 0) {
                EXPECT_EQ(2u, rec.uiStage) << rec.szDescription;
                EXPECT_EQ(c.served, ReadFile(Local(i)).size());
            } else {
                EXPECT_EQ(3u, rec.uiStage);
                EXPECT_EQ(1u, kFailures.count(rec.uiResultCode)) << std::hex << rec.uiResultCode;
                EXPECT_EQ(0u,
                          std::string(rec.szDescription).rfind("File download or upload failed"))
                    << rec.szDescription;
                EXPECT_TRUE(c.type == FILEHANDLE_UPLOAD || !FileExists(Local(i)))
                    << "a failed download left its file";
            }
            EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
        }
        EXPECT_TRUE(WaitForWorkers(10)) << "a worker outlived its task";
    }
    EXPECT_TRUE(FileExists("/var/tmp/hostile/src.bin")) << "an upload source was lost";
}

// Share servers that stop answering mid-copy (SIGSTOP on each server's process group):
// every copy fails once no data has moved for 60 s, a deleted task's worker ends within
// seconds, no failed download leaves its file and nothing stays mounted.
TEST_F(HostileTest, StalledSharesFailAndUnmount) {
    FH_REQUIRE_ENV("FH_SHARE_ENV");
    Env env = LoadServerEnvs();
    const std::string nfs = FH_NFS_URI, cifs = FH_CIFS_URI;
    const std::string big = "/var/tmp/hostile/big.bin";  // sparse: reads cost no disk
    BMC_System(
        Expand("truncate -s 1G " + big + " " FH_NFS_DIR "big.bin " FH_CIFS_DIR "big.bin", env)
            .c_str());
    struct Stall {
        uint8_t type;
        std::string uri, local;
        bool deleted;  // deleted while the server stands still
    };
    const Stall stalls[] = {{1, nfs + "big.bin", "/var/tmp/hostile/n.bin", false},
                            {1, cifs + "big.bin", "/var/tmp/hostile/c.bin", false},
                            {2, nfs + "up.bin", big, false},
                            {2, cifs + "up.bin", big, false},
                            {1, nfs + "big.bin", "/var/tmp/hostile/d.bin", true}};
    std::vector<uint32_t> ids;
    for (const Stall& s : stalls) {
        RedfishInfo in = UriRequest(s.type, s.local, Expand(s.uri, env));
        ids.push_back(0);
        ASSERT_EQ(0u, FILEHANDLE_UploadDownloadFileImageForRedfish(&in, &ids.back())) << s.uri;
    }
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (uint32_t id : ids) {
                ComponentProcess rec{};
                if (FILEHANDLE_UploadDownloadProgress(id, &rec) != 0 || rec.ucPercent < 1)
                    return false;
            }
            return true;
        },
        30000))
        << "a copy did not start";
    std::vector<pid_t> groups;
    for (const char* pidFile : {"/run/nfs.pid", "/run/smbd.pid"}) {
        groups.push_back(atoi(ReadFile(Expand("{share.TEST_DIR}", env) + pidFile).c_str()));
    }
    struct Resume {  // the servers go on whatever the test finds
        std::vector<pid_t>& g;
        ~Resume() {
            for (pid_t p : g) kill(-p, SIGCONT);
        }
    } resume{groups};
    for (pid_t p : groups) ASSERT_EQ(0, kill(-p, SIGSTOP));
    const time_t stopped = time(nullptr);
    int threads = ThreadCount();
    ASSERT_EQ(0u, FILEHANDLE_DeleteProgressInfo(ids.back()));
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() < threads - 1; }, 15000))
        << "the deleted task's worker waits on the share";
    for (size_t i = 0; i + 1 < ids.size(); ++i) {
        SCOPED_TRACE(stalls[i].uri);
        ComponentProcess rec = WaitForEnd(ids[i], 90);
        EXPECT_EQ(3u, rec.uiStage);
        EXPECT_LT(time(nullptr) - stopped, 80);
        EXPECT_EQ(0u, std::string(rec.szDescription).rfind("File download or upload failed"));
        EXPECT_TRUE(stalls[i].type == FILEHANDLE_UPLOAD || !FileExists(stalls[i].local));
        EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(ids[i]));
    }
    EXPECT_TRUE(WaitForWorkers(10)) << "a worker outlived its task";
    EXPECT_EQ(std::string::npos, ReadFile("/proc/mounts").find("confbup"))
        << "a share stayed mounted";
}
