// The size of the file behind a transfer URI, for every protocol, against the loopback
// servers; and the refusals that need no server.
#include <string.h>

#include <string>

#include "platform/bmc_platform.h"
#include "tests/support.h"

using namespace fhtest;

namespace {

uint32_t SizeOf(const std::string& uri, uint32_t* size, uint8_t type = FILEHANDLE_DOWNLOAD) {
    RedfishInfo in{};
    in.ucHandleType = type;
    strcpy(in.szLocalPath, "/var/tmp/unused.bin");
    snprintf(in.szRedfishCmd, sizeof in.szRedfishCmd, "%s", uri.c_str());
    return FILEHANDLE_GetRemoteFileSize(&in, size);
}

class RemoteSizeTest : public FhTest {};

}  // namespace

TEST_F(RemoteSizeTest, EveryProtocolAgainstItsServer) {
    auto http = LoadEnvFile("FH_TEST_SERVERS");
    auto ssh = LoadEnvFile("FH_SSH_FTP_ENV");
    auto share = LoadEnvFile("FH_SHARE_ENV");
    auto tftp = LoadEnvFile("FH_TFTP_ENV");
    if (http.empty() || ssh.empty() || share.empty() || tftp.empty()) {
        GTEST_SKIP() << "test servers not started: run scripts/run-tests.sh";
    }
    // The same 123457-byte file everywhere.
    const std::string content = RandomBytes(123457, 17);
    const std::string missing = "no-such-file.bin";
    WriteFile(http["TEST_DIR"] + "/www/files/size.bin", content);
    WriteFile(ssh["FTP_HOME"] + "/size.bin", content);
    WriteFile(share["NFS_ROOT"] + "/size.bin", content);
    WriteFile(share["CIFS_ROOT"] + "/size.bin", content);
    WriteFile(tftp["TEST_DIR"] + "/root/size.bin", content);
    WriteFile("/var/tmp/size.bin", content);
    const std::string cred = ssh["FTP_USER"] + ":" + ssh["FTP_PASS"];
    const std::string sshHost = "127.0.0.1:" + ssh["SSH_PORT"];
    const std::string home = ssh["FTP_HOME"];
    struct Case {
        const char* name;
        std::string dir;  // the URI without the file name
    };
    const Case cases[] = {
        {"HTTP", "http://127.0.0.1:" + http["HTTP_PORT"] + "/files/"},
        {"HTTPS", "https://127.0.0.1:" + http["HTTPS_PORT"] + "/files/"},
        {"FTP", "ftp://" + cred + "@127.0.0.1:" + ssh["FTP_PORT"] + "/"},
        {"SFTP", "sftp://" + cred + "@" + sshHost + home + "/"},
        {"SCP", "scp://" + cred + "@" + sshHost + home + "/"},
        {"TFTP", "tftp://127.0.0.1:" + tftp["TFTP_PORT"] + "/"},
        {"NFS", "nfs://127.0.0.1:" + share["NFS_PORT"] + share["NFS_EXPORT"] + "/"},
        {"CIFS", "cifs://" + share["CIFS_USER"] + ":" + share["CIFS_PASS"] +
                     "@127.0.0.1:" + share["CIFS_PORT"] + "/" + share["CIFS_SHARE"] + "/"},
        {"local", "/var/tmp/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t size = 77;
        EXPECT_EQ(0u, SizeOf(c.dir + "size.bin", &size));
        EXPECT_EQ(content.size(), size);
        if (std::string(c.name) == "HTTP" || std::string(c.name) == "HTTPS") {
            continue;  // a 404 page has a length of its own: the probe reads no status
        }
        size = 77;
        EXPECT_EQ(FILEHANDLE_E_START_FAILED, SizeOf(c.dir + missing, &size));
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
    // asked (here of a closed port, so it fails there).
    for (size_t len : {240u, 241u}) {
        SCOPED_TRACE(len);
        ResetAll();
        size = 9;
        std::string name(len, 'n');
        EXPECT_EQ(FILEHANDLE_E_START_FAILED, SizeOf("tftp://127.0.0.1:1/" + name, &size));
        EXPECT_EQ(len == 240, !TftpBridgeCalls().sizePorts.empty());
        EXPECT_EQ(0u, size);
    }
    // A local path that does not exist: size 0.
    size = 3;
    EXPECT_EQ(FILEHANDLE_E_START_FAILED, SizeOf("/var/tmp/none.bin", &size));
    EXPECT_EQ(0u, size);

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
