// TFTP tasks through the worker and the platform bridge, against the loopback tftpd-hpa.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/bmc_platform.h"
#include "tests/support.h"

using namespace fhtest;

namespace {

class TftpTest : public FhTest {
  protected:
    void SetUp() override {
        FhTest::SetUp();
        FH_REQUIRE_ENV("FH_TFTP_ENV");
        env_ = LoadEnvFile("FH_TFTP_ENV");
        root_ = env_["TEST_DIR"] + "/root";
        local_ = "/var/tmp/tftp-test";
        BMC_System(("rm -rf " + local_ + " && mkdir -p " + local_).c_str());
    }
    // The source is szReadAddress, the destination szStorageAddress.
    ComponentInfo Request(uint8_t type, const std::string& remote, const std::string& local,
                          uint32_t port) const {
        ComponentInfo r = MakeRequest(FILEHANDLE_PROTOCOL_TFTP, type, "127.0.0.1", local);
        r.uiPort = port;
        strcpy(type == FILEHANDLE_DOWNLOAD ? r.szReadAddress : r.szStorageAddress, remote.c_str());
        return r;
    }
    uint32_t Port() const { return static_cast<uint32_t>(std::stoul(env_.at("TFTP_PORT"))); }
    std::map<std::string, std::string> env_;
    std::string root_, local_;
};

}  // namespace

// Each way, onto an older and longer file on download; the bridge's progress records end at
// 100 percent once the file has moved.
TEST_F(TftpTest, BothDirectionsByteForByte) {
    for (size_t size : {1000, 1024 * 512, 0, 3000000}) {  // 1024 * 512: both block sizes
        std::string content = RandomBytes(size, 21);
        for (bool up : {false, true}) {
            SCOPED_TRACE(std::to_string(size) + (up ? " up" : " down"));
            ResetAll();
            std::string local = local_ + "/file.bin", remote = root_ + "/file.bin";
            WriteFile(up ? local : remote, content);
            if (up) {
                unlink(remote.c_str());
            } else {
                WriteFile(local, std::string(size + 5000, 'o'));
            }
            ComponentInfo r =
                Request(up ? FILEHANDLE_UPLOAD : FILEHANDLE_DOWNLOAD, "file.bin", local, Port());
            Outcome o = RunRequest(r);
            EXPECT_EQ(2u, o.stage) << o.desc;
            EXPECT_TRUE(ReadFile(up ? remote : local) == content) << "content differs";
            EXPECT_TRUE(Events().empty());
            int last = -1;
            for (const ComponentProcess& p : ProgressWrites()) {
                last = strcmp(p.szDescription, "File transfer....") == 0 ? p.ucPercent : last;
            }
            EXPECT_EQ(size > 0 ? 100 : last, last);
        }
    }
}

TEST_F(TftpTest, Failures) {
    WriteFile(root_ + "/f.bin", "remote");
    struct Case {
        const char* name;
        uint8_t type;
        std::string remote, local;
        bool localIsDirectory;  // an unrelated directory stands at the local path
        uint32_t result;
        const char* desc;
        bool bridgeCalled;
    };
    const Case cases[] = {
        {"missing remote file", 1, "no-such.bin", local_ + "/dl.bin", false,
         FILEHANDLE_E_REMOTE_MISSING,
         "File download or upload failed, because: The Remote file does not exist or the ip is "
         "wrong",
         true},
        {"directory at the destination", 1, "f.bin", local_ + "/adir", true,
         FILEHANDLE_E_LOCAL_FILE, "File download or upload failed, because: cannot open local file",
         false},
        {"unreadable upload source", 2, "x.bin", local_ + "/absent.bin", false,
         FILEHANDLE_E_LOCAL_FILE, "File download or upload failed, because: cannot open local file",
         false},
        {"missing local directory", 1, "f.bin", local_ + "/no/dir.bin", false,
         FILEHANDLE_E_LOCAL_FILE, "File download or upload failed, because: cannot open local file",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        if (c.localIsDirectory) {
            mkdir(c.local.c_str(), 0755);
            WriteFile(c.local + "/inside.txt", "keep");
        }
        ComponentInfo r = Request(c.type, c.remote, c.local, Port());
        Outcome o = RunRequest(r);
        EXPECT_EQ(3u, o.stage);
        EXPECT_EQ(c.result, o.result);
        EXPECT_EQ(c.desc, o.desc);
        EXPECT_EQ(c.bridgeCalled, !TftpBridgeCalls().transferPorts.empty());
        if (c.localIsDirectory) {
            EXPECT_EQ("keep", ReadFile(c.local + "/inside.txt"))
                << "an unrelated directory was removed";
        } else if (c.type == FILEHANDLE_DOWNLOAD) {
            EXPECT_FALSE(FileExists(c.local));
        }
        auto ev = EventTexts();
        ASSERT_EQ(1u, ev.size());
        EXPECT_EQ(c.desc, ev[0].second);
        for (const std::string& cmd : Commands()) {
            EXPECT_EQ(std::string::npos, cmd.find("rm ")) << "removal went through a shell";
        }
    }
}

TEST_F(TftpTest, PortZeroMeansSixtyNineForTheTransferOnly) {
    // The bridge is made to fail at once (libcurl cannot start): the ports it was given show.
    ComponentInfo r = Request(FILEHANDLE_DOWNLOAD, "f.bin", local_ + "/p0.bin", 0);
    faults().curlInitFails = true;
    Outcome o = RunRequest(r, 60);
    faults().curlInitFails = false;
    EXPECT_EQ(3u, o.stage);
    BridgeCalls calls = TftpBridgeCalls();
    EXPECT_EQ(std::vector<uint32_t>{0}, calls.sizePorts);
    EXPECT_EQ(std::vector<uint32_t>{69}, calls.transferPorts);
}
