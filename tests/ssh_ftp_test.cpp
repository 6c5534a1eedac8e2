// SFTP, SCP and FTP against the loopback sshd and vsftpd of tests/servers/ssh-ftp-servers.sh
// (both directions: EntryTest, with every member), plus the parts of those routines that
// need no server.
#include <string.h>
#include <unistd.h>

#include <string>

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
        BMC_System(("rm -rf " + local_ + " && mkdir -p " + local_).c_str());
    }
    // The transfer URI of a file in the account's home, as a Redfish caller writes it (FTP
    // paths are relative to the login directory, SSH paths absolute).
    std::string Uri(const Proto& p, const std::string& name, const char* password = "") const {
        bool ftp = p.code == FILEHANDLE_PROTOCOL_FTP;
        return std::string(p.scheme) + "://" + env_.at("FTP_USER") + ":" +
               (*password ? password : env_.at("FTP_PASS")) +
               "@127.0.0.1:" + env_.at(ftp ? "FTP_PORT" : "SSH_PORT") + "/" +
               (ftp ? name : home_.substr(1) + "/" + name);
    }
    std::map<std::string, std::string> env_;
    std::string home_, local_ = "/var/tmp/sshftp";
};

}  // namespace

// A failed download removes the older file it was to replace; a failed upload keeps its
// source and creates nothing on the server.
TEST_F(SshFtpTest, Failures) {
    const struct {
        const char* name;
        uint8_t type;
        std::string remote;
        const char* password;  // empty: the right one
        uint32_t result;       // 0: any failure
    } cases[] = {
        {"wrong password", 1, "hello.txt", "nope", FILEHANDLE_E_TRANSFER_FAILED},
        {"upload into a missing remote directory", 2, "no-such-dir/x.bin", "", 0},
    };
    for (const Proto& p : kProtos) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(p.name) + ": " + c.name);
            ResetAll();
            std::string local = local_ + (c.type == FILEHANDLE_DOWNLOAD ? "/dl.bin" : "/src.bin");
            WriteFile(local, "older");
            Outcome o = RunUri(c.type, local, Uri(p, c.remote, c.password));
            EXPECT_EQ(3u, o.stage);
            EXPECT_TRUE(c.result == 0 ? o.result != 0 : o.result == c.result)
                << std::hex << o.result;
            EXPECT_EQ(c.type == FILEHANDLE_UPLOAD, FileExists(local));
            EXPECT_EQ(c.type == FILEHANDLE_UPLOAD ? "older" : "", ReadFile(local));
            EXPECT_FALSE(FileExists(home_ + "/no-such-dir"));
            auto ev = EventTexts();
            ASSERT_EQ(1u, ev.size());
            EXPECT_EQ(o.desc, ev[0].second);
        }
    }
}

// libcurl hands an SCP path to the remote shell's scp command. Each of these names must
// reach the server as one literal file name: its download brings that file and its upload
// creates it, and nothing runs. A name cannot hold '/', so each command would touch a file
// in the remote shell's working directory, the account's home.
TEST_F(SshFtpTest, ScpPathsCannotRunCommandsOnTheServer) {
    const std::pair<std::string, std::string> names[] = {
        {"x;touch pwned1", "x%3Btouch%20pwned1"},
        {"x`touch pwned2`", "x%60touch%20pwned2%60"},
        {"x$(touch pwned3)", "x%24(touch%20pwned3)"},
        {"x';touch pwned4;'", "x'%3Btouch%20pwned4%3B'"},
        {"x\";touch pwned5;\"", "x%22%3Btouch%20pwned5%3B%22"},
        {"x|touch pwned6", "x%7Ctouch%20pwned6"},
    };
    const std::string local = local_ + "/inj.bin";
    for (const auto& [literal, encoded] : names) {
        SCOPED_TRACE(encoded);
        ResetAll();
        std::string remote = home_ + "/incoming/" + literal;
        WriteFile(remote, "literal name");
        unlink(local.c_str());
        Outcome down = RunUri(FILEHANDLE_DOWNLOAD, local, Uri(kProtos[1], "incoming/" + encoded));
        EXPECT_EQ("literal name", ReadFile(local));
        unlink(remote.c_str());
        WriteFile(local, "uploaded under a literal name");
        Outcome up = RunUri(FILEHANDLE_UPLOAD, local, Uri(kProtos[1], "incoming/" + encoded));
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

// Local files keep 32-bit sizes: an upload source of 2^31 bytes is refused like one that
// cannot be opened, before any connection; one of 2^31 - 1 bytes goes on to the (closed)
// server port. A download may not grow past 2^31 - 1 bytes: the write callback writes short.
// Without a buffer or stream the data callbacks answer 23, which libcurl takes as an error.
TEST_F(SshFtpLocalTest, LocalFilesKeepThirtyTwoBitSizes) {
    const std::string big = "/var/tmp/2g.bin";
    WriteFile(big, "");
    const std::pair<uint32_t (*)(ComponentInfo*, char*), const char*> uploads[] = {
        {SFTP_UploadFileByCurl, "sftp://127.0.0.1:1/x"},
        {SCP_UploadFileByCurl, "scp://127.0.0.1:1/x"},
        {FTP_UploadFileByCurl, "ftp://127.0.0.1:1/x"}};
    for (off_t size : {off_t{1} << 31, off_t{INT32_MAX}}) {
        SCOPED_TRACE(size);
        ResetAll();
        ASSERT_EQ(0, truncate(big.c_str(), size));
        for (auto [run, url] : uploads) {
            ComponentInfo r = MakeRequest(2, 2, url, big);
            char desc[1024] = {0};
            EXPECT_EQ(size > INT32_MAX ? FILEHANDLE_E_LOCAL_FILE : FILEHANDLE_E_COULD_NOT_CONNECT,
                      run(&r, desc));
        }
        EXPECT_EQ(size > INT32_MAX ? 0u : 3u, CountLogged("curl_easy_perform"));
    }
    unlink(big.c_str());
    FILE* f = tmpfile();
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(0, fseeko(f, INT32_MAX - 10, SEEK_SET));
    char buf[20] = {0};
    EXPECT_EQ(10u, DownLoadFileByCurlFunc(buf, 1, 10, f));
    EXPECT_EQ(0u, DownLoadFileByCurlFunc(buf, 1, 1, f));
    EXPECT_EQ(23u, DownLoadFileByCurlFunc(buf, 1, 10, nullptr));
    EXPECT_EQ(23u, CurlFileRead_CallBack(nullptr, 1, 10, f));
    fclose(f);
}

TEST_F(SshFtpLocalTest, ScpRefusesPathsTheServerWouldMisread) {
    const std::pair<const char*, bool> cases[] = {
        {"scp://127.0.0.1:1/home/a%0Ab", true}, {"scp://127.0.0.1:1/home/a%0db", true},
        {"scp://127.0.0.1:1/~/-r", true},       {"scp://127.0.0.1:1/-f", true},
        {"scp://127.0.0.1:1/home/-r", false},   {"scp://127.0.0.1:1/a%3Bb", false},
    };
    WriteFile("/var/tmp/scp-src.bin", "x");
    for (auto [url, refused] : cases) {
        for (bool upload : {false, true}) {
            SCOPED_TRACE(std::string(url) + (upload ? " up" : " down"));
            ResetAll();
            ComponentInfo r = MakeRequest(FILEHANDLE_PROTOCOL_SCP, upload ? 2 : 1, url,
                                          upload ? "/var/tmp/scp-src.bin" : "/var/tmp/scp-dst.bin");
            char desc[1024] = {0};
            uint32_t rc =
                upload ? SCP_UploadFileByCurl(&r, desc) : SCP_DownLoadFileByCurl(&r, desc);
            // A path it takes goes on to the (closed) server port.
            EXPECT_EQ(refused ? FILEHANDLE_E_PARAMETER : FILEHANDLE_E_COULD_NOT_CONNECT, rc);
            EXPECT_EQ(refused, strcmp(desc,
                                      "File download or upload failed,because:scp path is "
                                      "not allowed") == 0)
                << desc;
            EXPECT_EQ(refused, CountLogged("curl_easy_perform") == 0);
        }
    }
}
