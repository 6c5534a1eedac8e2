// SFTP, SCP and FTP end to end against the loopback sshd and vsftpd of
// tests/servers/ssh-ftp-servers.sh, plus the parts of those routines that need no server.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/bmc_platform.h"
#include "tests/support.h"

using namespace fhtest;

namespace {

struct Proto {
    const char* name;
    uint8_t code;
    const char* scheme;
};

const Proto kProtos[] = {
    {"SFTP", FILEHANDLE_PROTOCOL_SFTP, "sftp"},
    {"SCP", FILEHANDLE_PROTOCOL_SCP, "scp"},
    {"FTP", FILEHANDLE_PROTOCOL_FTP, "ftp"},
};

class SshFtpTest : public FhTest {
  protected:
    void SetUp() override {
        FhTest::SetUp();
        FH_REQUIRE_ENV("FH_SSH_FTP_ENV");
        env_ = LoadEnvFile("FH_SSH_FTP_ENV");
        home_ = env_["FTP_HOME"];
        local_ = "/var/tmp/sshftp";
        BMC_System(("rm -rf " + local_ + " && mkdir -p " + local_).c_str());
    }
    // The transfer URI of a file in the account's home, as a Redfish caller writes it.
    std::string Uri(const Proto& p, const std::string& name, const std::string& password = "",
                    const std::string& port = "") const {
        std::string host =
            "127.0.0.1:" +
            (port.empty() ? env_.at(p.code == FILEHANDLE_PROTOCOL_FTP ? "FTP_PORT" : "SSH_PORT")
                          : port);
        std::string pass = password.empty() ? env_.at("FTP_PASS") : password;
        // FTP paths are relative to the login directory, SSH paths absolute.
        std::string path = p.code == FILEHANDLE_PROTOCOL_FTP ? name : home_.substr(1) + "/" + name;
        return std::string(p.scheme) + "://" + env_.at("FTP_USER") + ":" + pass + "@" + host + "/" +
               path;
    }
    std::map<std::string, std::string> env_;
    std::string home_, local_;
};

}  // namespace

// Downloads from the account's home, uploads into its incoming/ (the source is kept).
TEST_F(SshFtpTest, BothDirectionsByteForByte) {
    WriteFile(home_ + "/empty.bin", "");
    WriteFile(local_ + "/up.bin", RandomBytes(700001, 11));
    WriteFile(local_ + "/empty-up.bin", "");
    const std::pair<const char*, bool> files[] = {{"hello.txt", false},
                                                  {"1m.bin", false},
                                                  {"empty.bin", false},
                                                  {"up.bin", true},
                                                  {"empty-up.bin", true}};
    for (const Proto& p : kProtos) {
        for (const auto& [name, up] : files) {
            SCOPED_TRACE(std::string(p.name) + " " + name);
            ResetAll();
            std::string local = local_ + "/" + (up ? "" : p.scheme + std::string("-")) + name;
            std::string remote = up ? std::string("incoming/") + p.scheme + "-" + name : name;
            unlink((up ? home_ + "/" + remote : local).c_str());
            Outcome o = RunUri(up ? FILEHANDLE_UPLOAD : FILEHANDLE_DOWNLOAD, local, Uri(p, remote));
            EXPECT_EQ(2u, o.stage) << o.desc;
            EXPECT_TRUE(FileExists(local) && FileExists(home_ + "/" + remote));
            EXPECT_TRUE(ReadFile(local) == ReadFile(home_ + "/" + remote)) << "content differs";
            EXPECT_TRUE(Events().empty());
        }
    }
}

TEST_F(SshFtpTest, Failures) {
    struct Case {
        const char* name;
        uint8_t type;
        std::string local;  // local file name (in local_)
        std::string remote;
        std::string password;  // empty: the right one
        std::string port;      // empty: the server's
        uint32_t result;       // 0: any failure
        bool sftpOnlyResult;   // the result holds for SFTP and FTP; SCP reports its own
    };
    const Case cases[] = {
        {"wrong password", 1, "wrongpw.bin", "hello.txt", "nope", "", FILEHANDLE_E_TRANSFER_FAILED,
         false},
        {"closed port", 1, "closed.bin", "hello.txt", "", "1", FILEHANDLE_E_COULD_NOT_CONNECT,
         false},
        {"missing remote file", 1, "missing.bin", "no-such-file.bin", "", "",
         FILEHANDLE_E_REMOTE_NOT_FOUND, true},
        {"upload into a missing remote directory", 2, "src.bin", "no-such-dir/x.bin", "", "", 0,
         false},
    };
    WriteFile(local_ + "/src.bin", "source");
    for (const Proto& p : kProtos) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(p.name) + ": " + c.name);
            ResetAll();
            std::string local = local_ + "/" + c.local;
            if (c.type == FILEHANDLE_DOWNLOAD) {
                WriteFile(local, "an older file that a failed download removes");
            }
            Outcome o = RunUri(c.type, local, Uri(p, c.remote, c.password, c.port));
            EXPECT_EQ(3u, o.stage);
            if (c.result != 0 && (!c.sftpOnlyResult || p.code != FILEHANDLE_PROTOCOL_SCP)) {
                EXPECT_EQ(c.result, o.result) << o.desc;
            } else {
                EXPECT_NE(0u, o.result);
            }
            if (c.type == FILEHANDLE_DOWNLOAD) {
                EXPECT_FALSE(FileExists(local)) << "a failed download left its file";
            } else {
                EXPECT_EQ("source", ReadFile(local));
                EXPECT_FALSE(FileExists(home_ + "/no-such-dir"));
            }
            auto ev = EventTexts();
            ASSERT_EQ(1u, ev.size());
            EXPECT_EQ(o.desc, ev[0].second);
        }
    }
}

TEST_F(SshFtpTest, DeletingTheTaskStopsTheTransfer) {
    // A sparse gigabyte: long enough to be caught in flight.
    std::string big = home_ + "/big.bin";
    {
        int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, ftruncate(fd, 1 << 30));
        close(fd);
    }
    for (const Proto& p : kProtos) {
        SCOPED_TRACE(p.name);
        ResetAll();
        std::string local = local_ + "/big-" + p.scheme;
        RedfishInfo in{};
        in.ucHandleType = FILEHANDLE_DOWNLOAD;
        snprintf(in.szLocalPath, sizeof in.szLocalPath, "%s", local.c_str());
        snprintf(in.szRedfishCmd, sizeof in.szRedfishCmd, "%s", Uri(p, "big.bin").c_str());
        uint32_t id = 0;
        ASSERT_EQ(0u, FILEHANDLE_UploadDownloadFileImageForRedfish(&in, &id));
        ComponentProcess rec{};
        WaitUntil(
            [&] {
                return FILEHANDLE_UploadDownloadProgress(id, &rec) != 0 || rec.uiStage != 1 ||
                       strcmp(rec.szDescription, "File transfer....") == 0;
            },
            20000);
        ASSERT_EQ(1u, rec.uiStage) << "the transfer ended before it could be deleted";
        ASSERT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
        EXPECT_TRUE(WaitForWorkers(20));
        EXPECT_FALSE(FileExists(local)) << "the partial download was left behind";
        auto ev = EventTexts();
        ASSERT_EQ(1u, ev.size());
        EXPECT_NE(std::string::npos, ev[0].second.find("aborted by an application callback"))
            << ev[0].second;
    }
    unlink(big.c_str());
}

TEST_F(SshFtpTest, ScpPathsCannotRunCommandsOnTheServer) {
    // libcurl hands an SCP path to the remote shell's scp command. Each of these names
    // must reach the server as one literal file name: its download brings that file and
    // its upload creates it, and nothing runs.
    struct Name {
        std::string literal, encoded;
    };
    // A name cannot hold '/', so each command touches a file in the remote shell's
    // working directory, the account's home.
    const Name names[] = {
        {"x;touch pwned1", "x%3Btouch%20pwned1"},
        {"x`touch pwned2`", "x%60touch%20pwned2%60"},
        {"x$(touch pwned3)", "x%24(touch%20pwned3)"},
        {"x';touch pwned4;'", "x'%3Btouch%20pwned4%3B'"},
        {"x\";touch pwned5;\"", "x%22%3Btouch%20pwned5%3B%22"},
        {"x|touch pwned6", "x%7Ctouch%20pwned6"},
    };
    for (const Name& n : names) {
        SCOPED_TRACE(n.encoded);
        ResetAll();
        std::string remote = home_ + "/incoming/" + n.literal;
        WriteFile(remote, "literal name");
        std::string local = local_ + "/inj.bin";
        unlink(local.c_str());
        Outcome down = RunUri(FILEHANDLE_DOWNLOAD, local, Uri(kProtos[1], "incoming/" + n.encoded));
        unlink(remote.c_str());
        WriteFile(local, "uploaded under a literal name");
        Outcome up = RunUri(FILEHANDLE_UPLOAD, local, Uri(kProtos[1], "incoming/" + n.encoded));
        EXPECT_EQ(2u, down.stage) << down.desc << " result " << std::hex << down.result;
        EXPECT_EQ(2u, up.stage) << up.desc;
        EXPECT_EQ("uploaded under a literal name", ReadFile(remote));
        unlink(remote.c_str());
    }
    for (int i = 1; i <= 6; ++i) {
        EXPECT_FALSE(FileExists(home_ + "/pwned" + std::to_string(i))) << i;
        EXPECT_FALSE(FileExists(home_ + "/incoming/pwned" + std::to_string(i))) << i;
    }
}

// The parts of the routines that need no server.
class SshFtpLocalTest : public FhTest {};

TEST_F(SshFtpLocalTest, LocalFilesKeepThirtyTwoBitSizes) {
    // A source of 2^31 bytes is refused like one that cannot be opened, before any
    // connection; one of 2^31 - 1 bytes goes on to the (closed) server port.
    const std::string big = "/var/tmp/2g.bin";
    const char* kReason = "File download or upload failed,because:%s open failed";
    const struct {
        uint32_t (*run)(ComponentInfo*, char*);
        const char *url, *reason;
    } uploads[] = {{SFTP_UploadFileByCurl, "sftp://127.0.0.1:1/x",
                    "File download or upload failed, because: %s open failed"},
                   {SCP_UploadFileByCurl, "scp://127.0.0.1:1/x", kReason},
                   {FTP_UploadFileByCurl, "ftp://127.0.0.1:1/x", kReason}};
    for (off_t size : {static_cast<off_t>(1) << 31, static_cast<off_t>(INT32_MAX)}) {
        SCOPED_TRACE(size);
        ResetAll();
        int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, ftruncate(fd, size));
        close(fd);
        for (auto& u : uploads) {
            ComponentInfo r = MakeRequest(2, 2, u.url, big);
            char desc[1024] = {0}, want[1024];
            snprintf(want, sizeof want, u.reason, big.c_str());
            if (size > INT32_MAX) {
                EXPECT_EQ(FILEHANDLE_E_LOCAL_FILE, u.run(&r, desc));
                EXPECT_STREQ(want, desc);
            } else {
                EXPECT_EQ(FILEHANDLE_E_COULD_NOT_CONNECT, u.run(&r, desc));
            }
        }
        EXPECT_EQ(size > INT32_MAX ? 0u : 3u, CountLogged("curl_easy_perform"));
    }
    unlink(big.c_str());

    // A download may not grow past 2^31 - 1 bytes: the write callback writes short.
    FILE* f = tmpfile();
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(0, fseeko(f, INT32_MAX - 10, SEEK_SET));
    char buf[20] = {0};
    EXPECT_EQ(10u, DownLoadFileByCurlFunc(buf, 1, 10, f));
    EXPECT_EQ(0u, DownLoadFileByCurlFunc(buf, 1, 1, f));
    fclose(f);
}

TEST_F(SshFtpLocalTest, ScpRefusesPathsTheServerWouldMisread) {
    struct {
        const char* url;
        bool refused;
    } cases[] = {
        {"scp://127.0.0.1:1/home/a%0Ab", true}, {"scp://127.0.0.1:1/home/a%0db", true},
        {"scp://127.0.0.1:1/~/-r", true},       {"scp://127.0.0.1:1/-f", true},
        {"scp://127.0.0.1:1/home/-r", false},   {"scp://127.0.0.1:1/a%3Bb", false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.url);
        for (bool upload : {false, true}) {
            ResetAll();
            WriteFile("/var/tmp/scp-src.bin", "x");
            ComponentInfo r = MakeRequest(FILEHANDLE_PROTOCOL_SCP, upload ? 2 : 1, c.url,
                                          upload ? "/var/tmp/scp-src.bin" : "/var/tmp/scp-dst.bin");
            char desc[1024] = {0};
            uint32_t rc =
                upload ? SCP_UploadFileByCurl(&r, desc) : SCP_DownLoadFileByCurl(&r, desc);
            if (c.refused) {
                EXPECT_EQ(FILEHANDLE_E_PARAMETER, rc);
                EXPECT_STREQ("File download or upload failed,because:scp path is not allowed",
                             desc);
                EXPECT_EQ(0u, CountLogged("curl_easy_perform"));
            } else {
                EXPECT_EQ(FILEHANDLE_E_COULD_NOT_CONNECT,
                          rc);  // it went on to the (closed) server port
            }
        }
    }
}
