// HTTP and HTTPS end to end against the loopback servers of tests/servers/test-servers.sh.
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/bmc_platform.h"
#include "tests/support.h"

using namespace fhtest;

namespace {

bool HasData(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

class HttpTest : public FhTest {
  protected:
    void SetUp() override {
        FhTest::SetUp();
        FH_REQUIRE_ENV("FH_TEST_SERVERS");
        work_ = "/var/tmp/http-test";
        mkdir(work_.c_str(), 0755);
    }
    std::string Url(bool https, const std::string& path) const {
        return std::string(https ? "https" : "http") +
               "://127.0.0.1:" + std::to_string(https ? servers().httpsPort : servers().httpPort) +
               path;
    }
    std::string Pki(const char* name) const { return servers().dir + "/pki/" + name; }
    std::string Served(const char* name) const {
        return ReadFile(servers().dir + "/www/files/" + name);
    }
    std::string work_;
};

}  // namespace

TEST_F(HttpTest, Downloads) {
    enum Tls { kPlain, kNoVerify, kVerify, kClientCert, kWrongCa, kBadType };
    struct Case {
        const char* name;
        const char* path;  // on the test server, or a whole URL
        Tls tls;
        bool auth;
        uint32_t result;     // 0: success
        const char* served;  // expected content (file under www/files); null on failure
        const char* reason;  // expected failure text
    };
    const Case cases[] = {
        {"plain file", "/files/1m.bin", kPlain, false, 0, "1m.bin", nullptr},
        {"closed port", "http://127.0.0.1:1/x.bin", kPlain, false, FILEHANDLE_E_COULD_NOT_CONNECT,
         nullptr, nullptr},
        {"no content length", "/nolen/1m.bin", kPlain, false, 0, "1m.bin", nullptr},
        {"404", "/files/missing.bin", kPlain, false, FILEHANDLE_E_TRANSFER_FAILED, nullptr,
         "File download or upload failed,because:No error"},
        {"redirect not followed over http", "/redirect/hello.txt", kPlain, false,
         FILEHANDLE_E_TRANSFER_FAILED, nullptr, "File download or upload failed,because:No error"},
        {"redirect followed over https", "/redirect/hello.txt", kNoVerify, false, 0, "hello.txt",
         nullptr},
        {"basic auth", "/auth/hello.txt", kPlain, true, 0, "hello.txt", nullptr},
        {"basic auth missing", "/auth/hello.txt", kPlain, false, FILEHANDLE_E_TRANSFER_FAILED,
         nullptr, nullptr},
        {"https verified", "/files/1m.bin", kVerify, false, 0, "1m.bin", nullptr},
        {"https unknown CA", "/files/hello.txt", kWrongCa, false, FILEHANDLE_E_TRANSFER_FAILED,
         nullptr, nullptr},
        {"https type 3 uses defaults", "/files/hello.txt", kBadType, false,
         FILEHANDLE_E_TRANSFER_FAILED, nullptr, nullptr},
        {"client certificate", "/mtls/hello.txt", kClientCert, false, 0, "hello.txt", nullptr},
        {"client certificate missing", "/mtls/hello.txt", kVerify, false,
         FILEHANDLE_E_TRANSFER_FAILED, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        std::string local = work_ + "/dl.bin";
        unlink(local.c_str());
        bool https = c.tls != kPlain;
        ComponentInfo r =
            MakeRequest(FILEHANDLE_PROTOCOL_HTTP, FILEHANDLE_DOWNLOAD,
                        strncmp(c.path, "http", 4) == 0 ? c.path : Url(https, c.path), local);
        if (https) {
            r.ucHttpsFlag = 1;
            r.ucVerificationType = c.tls == kNoVerify     ? 0
                                   : c.tls == kClientCert ? 2
                                   : c.tls == kBadType    ? 3
                                                          : 1;
            std::string ca = c.tls == kWrongCa ? Pki("client.pem") : Pki("ca.pem");
            snprintf(r.szCaCertFile, 1024, "%s", ca.c_str());
            snprintf(r.szClientCertFile, 1024, "%s", Pki("client.pem").c_str());
            snprintf(r.szClientKeyFile, 1024, "%s", Pki("client.key").c_str());
        }
        if (c.auth) {
            r.ucHttpAuthFlag = 1;
            strcpy(r.szHttpUserName, "fhuser");
            strcpy(r.szHttpPassword, "fhpass");
        }
        Outcome o = RunRequest(r);
        auto ev = EventTexts();
        if (c.result == 0) {
            EXPECT_EQ(2u, o.stage);
            EXPECT_EQ("File download or upload success", o.desc);
            EXPECT_EQ(100, ProgressWrites().back().ucPercent);  // the final record's
            EXPECT_TRUE(ReadFile(local) == Served(c.served)) << "content differs";
            EXPECT_TRUE(ev.empty());
        } else {
            EXPECT_EQ(3u, o.stage);
            EXPECT_EQ(c.result, o.result);
            if (c.reason != nullptr) {
                EXPECT_EQ(c.reason, o.desc);
            }
            EXPECT_FALSE(FileExists(local)) << "a failed download left its file";
            ASSERT_EQ(1u, ev.size());
            EXPECT_EQ("dl.bin", ev[0].first);
            EXPECT_EQ(o.desc, ev[0].second);
        }
    }
}

TEST_F(HttpTest, Uploads) {
    struct Case {
        const char* name;
        const char* source;   // name of the local source in the work directory
        const char* urlPath;  // remote path; the last part is the remote name
        uint8_t keep;
        bool preexistingStaging;
        uint32_t result;
        bool sourceAfter;  // the source file still exists afterwards
    };
    const Case cases[] = {
        {"copy keeps the source", "new.bin", "/upload/up/fw.bin", 1, false, 0, true},
        {"move consumes the source", "new.bin", "/upload/up/fw.bin", 0, false, 0, false},
        {"same name kept", "fw.bin", "/upload/up/fw.bin", 1, false, 0, true},
        {"same name consumed", "fw.bin", "/upload/up/fw.bin", 0, false, 0, false},
        {"failed move puts the source back", "new.bin", "/status/500/fw.bin", 0, false,
         FILEHANDLE_E_TRANSFER_FAILED, true},
        {"failed copy keeps the source", "new.bin", "/status/403/fw.bin", 1, false,
         FILEHANDLE_E_TRANSFER_FAILED, true},
        {"staging name taken", "new.bin", "/upload/up/fw.bin", 1, true, FILEHANDLE_E_LOCAL_FILE,
         true},
        {"no remote name", "new.bin", "/upload/", 1, false, FILEHANDLE_E_PARAMETER, true},
    };
    std::string content = RandomBytes(700000, 7);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        std::string dir = work_ + "/up";
        BMC_System(("rm -rf " + dir + " && mkdir -p " + dir).c_str());
        std::string source = dir + "/" + c.source;
        std::string staging = dir + "/fw.bin";
        WriteFile(source, content);
        if (c.preexistingStaging) {
            WriteFile(staging, "precious");
        }
        std::string received = servers().dir + "/uploads/fw.bin";
        unlink(received.c_str());
        ComponentInfo r =
            MakeRequest(FILEHANDLE_PROTOCOL_HTTP, FILEHANDLE_UPLOAD, Url(false, c.urlPath), source);
        r.ucKeepSourceFlag = c.keep;
        Outcome o = RunRequest(r);
        EXPECT_EQ(c.result == 0 ? 2u : 3u, o.stage) << o.desc;
        EXPECT_EQ(c.result, o.result);
        EXPECT_EQ(c.sourceAfter, FileExists(source));
        if (c.sourceAfter) {
            EXPECT_TRUE(ReadFile(source) == content) << "the source changed";
        }
        if (c.preexistingStaging) {
            EXPECT_EQ("precious", ReadFile(staging));
        } else if (staging != source) {
            EXPECT_FALSE(FileExists(staging)) << "staging file left behind";
        }
        if (c.result == 0) {
            EXPECT_TRUE(ReadFile(received) == content) << "server got other bytes";
            EXPECT_EQ("OK fw.bin 700000\n", ReadFile("/var/log/HttpUploadInfo.log"));
            EXPECT_TRUE(Events().empty());
        } else {
            ASSERT_EQ(1u, Events().size());
            EXPECT_EQ(c.source, EventTexts()[0].first);
        }
    }
}

// Task 1 is deleted while its data arrives, and identifier 1 handed to a new task at once
// (as an expiry followed by an allocation would): the old worker stops soon, removes its
// partial file, reports its failure once and leaves the new task's record alone.
TEST_F(HttpTest, DeletingATaskStopsItsTransfer) {
    std::string local = work_ + "/stalled.bin";
    ComponentInfo r = MakeRequest(FILEHANDLE_PROTOCOL_HTTP, FILEHANDLE_DOWNLOAD,
                                  Url(false, "/stall/1m.bin"), local);
    uint32_t id = 0;
    ASSERT_EQ(0u, FILEHANDLE_UploadDownloadFileImage(&r, &id));
    ASSERT_EQ(1u, id);
    ASSERT_TRUE(WaitUntil([&] { return HasData(local); }));  // data arrives
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(0u, FILEHANDLE_DeleteProgressInfo(1));
    EXPECT_FALSE(FileExists("/var/uploadDownload1.progress"));
    ASSERT_EQ(0u, FILEHANLE_IDdetifier_ProgessFile(&id));
    ASSERT_EQ(1u, id);
    std::string before = ReadFile("/var/uploadDownload1.progress");
    EXPECT_TRUE(WaitForWorkers(15));
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(secs, 10.0) << "the transfer ran on after its task was deleted";
    EXPECT_EQ(before, ReadFile("/var/uploadDownload1.progress"));
    EXPECT_FALSE(FileExists(local));
    EXPECT_EQ(1u, Events().size());
    EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(1));
}

// Another process starts ten tasks, the most there may be: this one watches them, is
// refused an eleventh, and deletes them, which stops the other process's workers.
TEST_F(HttpTest, TasksOfAnotherProcessAreWatchedAndDeletedHere) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        uint32_t ids[10] = {0};
        for (int i = 0; i < 10; ++i) {
            ComponentInfo r =
                MakeRequest(FILEHANDLE_PROTOCOL_HTTP, FILEHANDLE_DOWNLOAD,
                            Url(false, "/stall/1m.bin"), work_ + "/c" + std::to_string(i) + ".bin");
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
    uint32_t ids[10] = {0};
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
    ComponentInfo r = MakeRequest(FILEHANDLE_PROTOCOL_HTTP, FILEHANDLE_DOWNLOAD,
                                  Url(false, "/files/hello.txt"), work_ + "/eleventh.bin");
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
        EXPECT_FALSE(FileExists(work_ + "/c" + std::to_string(i) + ".bin")) << i;
    }
}
