// HTTP and HTTPS against the loopback servers of tests/servers/test-servers.sh (plain both
// ways, and a download deleted while it runs: EntryTest, with every member).
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/bmc_platform.h"
#include "tests/support.h"

using namespace fhtest;

namespace {

using EventList = std::vector<std::pair<std::string, std::string>>;

class HttpTest : public FhTest {
  protected:
    void SetUp() override {
        FhTest::SetUp();
        FH_REQUIRE_ENV("FH_TEST_SERVERS");
        mkdir(work_.c_str(), 0755);
    }
    static std::string Url(bool https, const std::string& path) {
        return std::string(https ? "https" : "http") +
               "://127.0.0.1:" + std::to_string(https ? servers().httpsPort : servers().httpPort) +
               path;
    }
    static std::string Pki(const char* name) { return servers().dir + "/pki/" + name; }
    std::string work_ = "/var/tmp/http-test";
};

}  // namespace

// A download brings the served file of its path's name; one that fails leaves no file and
// raises one event for it.
TEST_F(HttpTest, Downloads) {
    const char* kNoError = "File download or upload failed,because:No error";
    enum Tls { kPlain, kNoVerify, kVerify, kClientCert, kWrongCa, kBadType };
    const struct {
        const char* name;
        std::string path;  // on the test server, or a whole URL
        Tls tls;
        uint32_t result;  // 0: success
        bool auth = false;
        const char* reason = nullptr;  // the failure's description, where checked
    } cases[] = {
        {"closed port", "http://127.0.0.1:1/x.bin", kPlain, FILEHANDLE_E_COULD_NOT_CONNECT},
        {"no content length", "/nolen/1m.bin", kPlain, 0},
        {"404", "/files/missing.bin", kPlain, FILEHANDLE_E_TRANSFER_FAILED, false, kNoError},
        {"redirect not followed over http", "/redirect/hello.txt", kPlain,
         FILEHANDLE_E_TRANSFER_FAILED, false, kNoError},
        {"redirect followed over https", "/redirect/hello.txt", kNoVerify, 0},
        {"https redirect to http", "/status/302/x?location=" + Url(false, "/files/hello.txt"),
         kNoVerify, FILEHANDLE_E_TRANSFER_FAILED},
        {"basic auth", "/auth/hello.txt", kPlain, 0, true},
        {"basic auth not asked for", "/auth/hello.txt", kPlain, FILEHANDLE_E_TRANSFER_FAILED},
        {"https verified", "/files/1m.bin", kVerify, 0},
        {"https unknown CA", "/files/hello.txt", kWrongCa, FILEHANDLE_E_TRANSFER_FAILED},
        {"https type 3 uses defaults", "/files/hello.txt", kBadType, FILEHANDLE_E_TRANSFER_FAILED},
        {"client certificate", "/mtls/hello.txt", kClientCert, 0},
        {"client certificate missing", "/mtls/hello.txt", kVerify, FILEHANDLE_E_TRANSFER_FAILED},
    };
    const std::string local = work_ + "/dl.bin";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        unlink(local.c_str());
        bool https = c.tls != kPlain;
        ComponentInfo r =
            MakeRequest(FILEHANDLE_PROTOCOL_HTTP, FILEHANDLE_DOWNLOAD,
                        c.path.rfind("http", 0) == 0 ? c.path : Url(https, c.path), local);
        r.ucHttpsFlag = https;
        r.ucVerificationType = c.tls == kNoVerify     ? 0
                               : c.tls == kClientCert ? 2
                               : c.tls == kBadType    ? 3
                                                      : 1;
        snprintf(r.szCaCertFile, 1024, "%s",
                 Pki(c.tls == kWrongCa ? "client.pem" : "ca.pem").c_str());
        snprintf(r.szClientCertFile, 1024, "%s", Pki("client.pem").c_str());
        snprintf(r.szClientKeyFile, 1024, "%s", Pki("client.key").c_str());
        r.ucHttpAuthFlag = c.auth;  // the credentials count only when asked for
        strcpy(r.szHttpUserName, "fhuser");
        strcpy(r.szHttpPassword, "fhpass");
        Outcome o = RunRequest(r);
        EXPECT_EQ(c.result == 0 ? 2u : 3u, o.stage);
        EXPECT_EQ(c.result, o.result);
        if (c.result == 0) {
            EXPECT_EQ("File download or upload success", o.desc);
            EXPECT_EQ(100, ProgressWrites().back().ucPercent);  // the final record's
            EXPECT_TRUE(ReadFile(local) ==
                        ReadFile(servers().dir + "/www/files/" + c.path.substr(c.path.rfind('/'))))
                << "content differs";
            EXPECT_TRUE(EventTexts().empty());
        } else {
            EXPECT_TRUE(c.reason == nullptr || c.reason == o.desc) << o.desc;
            EXPECT_FALSE(FileExists(local)) << "a failed download left its file";
            EXPECT_EQ((EventList{{"dl.bin", o.desc}}), EventTexts());
        }
    }
}

// The form posts a staged file of the remote name beside the source: a copy of it, or the
// source moved there (put back when the upload fails); a file that stands at that name is
// never touched.
TEST_F(HttpTest, Uploads) {
    const struct {
        const char* name;
        const char* source;   // the local source's name in the work directory
        const char* urlPath;  // remote path; the last part is the remote name
        uint8_t keep;
        uint32_t result;
        bool sourceAfter;           // the source file still exists afterwards
        bool stagingTaken = false;  // a file stands at the staging name beforehand
    } cases[] = {
        {"copy keeps the source", "new.bin", "/upload/up/fw.bin", 1, 0, true},
        {"move consumes the source", "new.bin", "/upload/up/fw.bin", 0, 0, false},
        {"same name kept", "fw.bin", "/upload/up/fw.bin", 1, 0, true},
        {"same name consumed", "fw.bin", "/upload/up/fw.bin", 0, 0, false},
        {"failed move puts the source back", "new.bin", "/status/500/fw.bin", 0,
         FILEHANDLE_E_TRANSFER_FAILED, true},
        {"failed copy keeps the source", "new.bin", "/status/403/fw.bin", 1,
         FILEHANDLE_E_TRANSFER_FAILED, true},
        {"staging name taken", "new.bin", "/upload/up/fw.bin", 1, FILEHANDLE_E_LOCAL_FILE, true,
         true},
        {"no remote name", "new.bin", "/upload/", 1, FILEHANDLE_E_PARAMETER, true},
    };
    const std::string content = RandomBytes(700000, 7), dir = work_ + "/up",
                      staging = dir + "/fw.bin", received = servers().dir + "/uploads/fw.bin";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        BMC_System(("rm -rf " + dir + " && mkdir -p " + dir).c_str());
        std::string source = dir + "/" + c.source;
        WriteFile(source, content);
        if (c.stagingTaken) {
            WriteFile(staging, "precious");
        }
        unlink(received.c_str());
        ComponentInfo r =
            MakeRequest(FILEHANDLE_PROTOCOL_HTTP, FILEHANDLE_UPLOAD, Url(false, c.urlPath), source);
        r.ucKeepSourceFlag = c.keep;
        Outcome o = RunRequest(r);
        EXPECT_EQ(c.result == 0 ? 2u : 3u, o.stage) << o.desc;
        EXPECT_EQ(c.result, o.result);
        EXPECT_EQ(c.sourceAfter, FileExists(source));
        EXPECT_TRUE(!c.sourceAfter || ReadFile(source) == content) << "the source changed";
        if (c.stagingTaken) {
            EXPECT_EQ("precious", ReadFile(staging));
        } else if (staging != source) {
            EXPECT_FALSE(FileExists(staging)) << "staging file left behind";
        }
        if (c.result == 0) {
            EXPECT_TRUE(ReadFile(received) == content) << "server got other bytes";
            EXPECT_EQ("OK fw.bin 700000\n", ReadFile("/var/log/HttpUploadInfo.log"));
            EXPECT_TRUE(EventTexts().empty());
        } else {
            ASSERT_EQ(1u, EventTexts().size());
            EXPECT_EQ(c.source, EventTexts()[0].first);
        }
    }
}

// Another process starts ten tasks, the most there may be: this one watches them, is
// refused an eleventh, and deletes them, which stops the other process's workers.
TEST_F(HttpTest, TasksOfAnotherProcessAreWatchedAndDeletedHere) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    auto request = [&](const char* path, const std::string& name) {
        return MakeRequest(FILEHANDLE_PROTOCOL_HTTP, FILEHANDLE_DOWNLOAD, Url(false, path),
                           work_ + "/" + name);
    };
    uint32_t ids[10] = {0};
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (int i = 0; i < 10; ++i) {
            ComponentInfo r = request("/stall/1m.bin", "c" + std::to_string(i));
            if (FILEHANDLE_UploadDownloadFileImage(&r, &ids[i]) != 0) {
                _exit(2);
            }
        }
        if (write(fds[1], ids, sizeof ids) != sizeof ids) {
            _exit(3);
        }
        _exit(WaitForWorkers(30) ? 0 : 4);  // the workers end once their tasks are deleted
    }
    close(fds[1]);
    ASSERT_EQ(static_cast<ssize_t>(sizeof ids), read(fds[0], ids, sizeof ids));
    close(fds[0]);
    ComponentProcess rec{};
    // Ten transfers start at once: on a loaded machine the last may take a while.
    EXPECT_TRUE(WaitUntil(
        [&] {
            return FILEHANDLE_UploadDownloadProgress(ids[9], &rec) == 0 &&
                   strcmp(rec.szDescription, "File transfer....") == 0;
        },
        60000));
    EXPECT_EQ(1u, rec.uiStage);
    TransferTaskInfo info{};
    ASSERT_EQ(0u, FILEHANDLE_GetTransferTaskInfo(&info));
    EXPECT_EQ(10, info.ucTaskNum);
    ComponentInfo r = request("/files/hello.txt", "eleventh");
    uint32_t id = 99;
    EXPECT_EQ(FILEHANDLE_E_NO_TASK, FILEHANDLE_UploadDownloadFileImage(&r, &id));
    EXPECT_EQ(0u, id);
    for (uint32_t i : ids) {
        EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(i));
    }
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    for (int i = 0; i < 10; ++i) {
        EXPECT_FALSE(FileExists(work_ + "/c" + std::to_string(i))) << i;
    }
}
