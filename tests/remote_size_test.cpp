// The size of the file behind a transfer URI, for every protocol, against the loopback
// servers; and the refusals that need no server.
#include <string>

#include "tests/support.h"

using namespace fhtest;

namespace {

uint32_t SizeOf(const std::string& uri, uint32_t* size) {
    RedfishInfo in = UriRequest(FILEHANDLE_DOWNLOAD, "/var/tmp/unused.bin", uri);
    return FILEHANDLE_GetRemoteFileSize(&in, size);
}

class RemoteSizeTest : public FhTest {};

}  // namespace

TEST_F(RemoteSizeTest, EveryProtocolAgainstItsServer) {
    auto http = LoadEnvFile("FH_TEST_SERVERS"), ssh = LoadEnvFile("FH_SSH_FTP_ENV");
    auto share = LoadEnvFile("FH_SHARE_ENV"), tftp = LoadEnvFile("FH_TFTP_ENV");
    if (http.empty() || ssh.empty() || share.empty() || tftp.empty()) {
        GTEST_SKIP() << "test servers not started: run scripts/run-tests.sh";
    }
    const std::string www = http["TEST_DIR"] + "/www/files/", home = ssh["FTP_HOME"] + "/";
    const std::string login = ssh["FTP_USER"] + ":" + ssh["FTP_PASS"] + "@127.0.0.1:";
    const struct {
        const char* name;
        std::string dir;    // the URI without the file name
        std::string local;  // where the server serves it from
    } cases[] = {
        {"HTTP", "http://127.0.0.1:" + http["HTTP_PORT"] + "/files/", www},
        {"HTTPS", "https://127.0.0.1:" + http["HTTPS_PORT"] + "/files/", www},
        {"FTP", "ftp://" + login + ssh["FTP_PORT"] + "/", home},
        {"SFTP", "sftp://" + login + ssh["SSH_PORT"] + home, home},
        {"SCP", "scp://" + login + ssh["SSH_PORT"] + home, home},
        {"TFTP", "tftp://127.0.0.1:" + tftp["TFTP_PORT"] + "/", tftp["TEST_DIR"] + "/root/"},
        {"NFS", "nfs://127.0.0.1:" + share["NFS_PORT"] + share["NFS_EXPORT"] + "/",
         share["NFS_ROOT"] + "/"},
        {"CIFS",
         "cifs://" + share["CIFS_USER"] + ":" + share["CIFS_PASS"] +
             "@127.0.0.1:" + share["CIFS_PORT"] + "/" + share["CIFS_SHARE"] + "/",
         share["CIFS_ROOT"] + "/"},
        {"local", "/var/tmp/", "/var/tmp/"},
    };
    const std::string content = RandomBytes(123457, 17);  // the same file everywhere
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(c.local + "size.bin", content);
        uint32_t size = 77;
        EXPECT_EQ(0u, SizeOf(c.dir + "size.bin", &size));
        EXPECT_EQ(content.size(), size);
        if (c.dir.compare(0, 4, "http") == 0) {
            continue;  // a 404 page has a length of its own: the probe reads no status
        }
        size = 77;
        EXPECT_EQ(FILEHANDLE_E_START_FAILED, SizeOf(c.dir + "no-such-file.bin", &size));
        EXPECT_EQ(0u, size);
    }
    // A reply without Content-Length: result 0, size -1.
    uint32_t size = 5;
    EXPECT_EQ(0u, SizeOf("http://127.0.0.1:" + http["HTTP_PORT"] + "/nolen/size.bin", &size));
    EXPECT_EQ(0xffffffffu, size);
    EXPECT_EQ(std::string::npos, ReadFile("/proc/self/mountinfo").find("confbup"))
        << "a probe left its mount behind";
}

TEST_F(RemoteSizeTest, RefusalsAndPathLimits) {
    uint32_t size = 1234;
    // An unparsable URI leaves the caller's size alone.
    EXPECT_EQ(FILEHANDLE_E_NO_TASK, SizeOf("http://[FE80::1]/f", &size));
    EXPECT_EQ(1234u, size);
    RedfishInfo in{};
    EXPECT_EQ(FILEHANDLE_NULL_REQUEST, FILEHANDLE_GetRemoteFileSize(nullptr, &size));
    EXPECT_EQ(FILEHANDLE_NULL_REQUEST, FILEHANDLE_GetRemoteFileSize(&in, nullptr));
    // TFTP: a remote path of 241 characters is refused without asking the bridge; 240 is
    // asked (here of a closed port, so it fails there). A missing local file: size 0.
    const std::string tftpUri = "tftp://127.0.0.1:1/";
    const struct {
        std::string uri;
        bool bridgeAsked;
    } cases[] = {{tftpUri + std::string(240, 'n'), true},
                 {tftpUri + std::string(241, 'n'), false},
                 {"/var/tmp/none.bin", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uri.size());
        ResetAll();
        size = 9;
        EXPECT_EQ(FILEHANDLE_E_START_FAILED, SizeOf(c.uri, &size));
        EXPECT_EQ(c.bridgeAsked, !TftpBridgeCalls().sizePorts.empty());
        EXPECT_EQ(0u, size);
    }
    // The probes themselves.
    int32_t s = 8;
    EXPECT_EQ(FILEHANDLE_IN_NULL_POINTER, HTTP_GetRemoteFileSize(nullptr, &s));
    ComponentInfo r = MakeRequest(0, 1, "http://127.0.0.1:1/x", "/var/tmp/x");
    EXPECT_EQ(FILEHANDLE_IN_NULL_POINTER, FTP_GetRemoteFileSize(&r, nullptr));
    faults().curlInitFails = true;
    EXPECT_EQ(FILEHANDLE_IN_ENGINE_FAILED, SFTP_GetRemoteFileSize(&r, &s));
    faults().curlInitFails = false;
    EXPECT_EQ(FILEHANDLE_FAILED, HTTP_GetRemoteFileSize(&r, &s));  // closed port
    EXPECT_EQ(0, s);
}
