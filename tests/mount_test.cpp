// NFS and CIFS through a mounted share, against the loopback servers and mount helpers of
// tests/servers/share-servers.sh (both directions: EntryTest, with every member); and the
// copy, mount commands and clean-up without them.
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "platform/bmc_platform.h"
#include "tests/support.h"

using namespace fhtest;

namespace {

// Mount points and mount directories of ours that are still there.
std::string Leftovers() {
    std::string out, line;
    for (std::ifstream in("/proc/self/mountinfo"); std::getline(in, line);) {
        if (line.find("/var/confbup_") != std::string::npos) {
            out += "mounted: " + line + "\n";
        }
    }
    for (const std::string& dir : Glob("/var/confbup_*")) {
        out += "directory: " + dir + "\n";
    }
    return out;
}

// Each share: its server-side folder and the URI of that folder ({share.KEY}: the servers').
struct Share {
    const char *name, *root, *uri;
};
const Share kShares[] = {{"NFS", FH_NFS_DIR, FH_NFS_URI}, {"CIFS", FH_CIFS_DIR, FH_CIFS_URI}};

class MountTest : public FhTest {
  protected:
    void SetUp() override {
        FhTest::SetUp();
        FH_REQUIRE_ENV("FH_SHARE_ENV");
        env_ = LoadServerEnvs();
        std::string dirs = "'" + Root(kShares[0]) + "dir' '" + Root(kShares[1]) + "dir'";
        BMC_System(
            ("rm -rf " + local_ + " && mkdir -p " + local_ + " " + dirs + " && chmod 777 " + dirs)
                .c_str());
    }
    void TearDown() override {
        FhTest::TearDown();
        if (!env_.empty()) {
            EXPECT_EQ("", Leftovers());
        }
    }
    std::string Root(const Share& s) const { return Expand(s.root, env_); }
    std::string Uri(const Share& s, const std::string& path) const {
        return Expand(s.uri, env_) + path;
    }
    Env env_;
    std::string local_ = "/var/tmp/mount-test";
};

}  // namespace

TEST_F(MountTest, Failures) {
    const struct {
        const char* name;
        uint8_t type;
        std::string local, remote;
        uint32_t result;
        bool nfsOnly = false;
    } cases[] = {
        {"missing share directory", 1, "dl.bin", "no-such-dir/f.bin", FILEHANDLE_E_MOUNT_FAILED},
        {"missing local source", 2, "absent.bin", "dir/f.bin", FILEHANDLE_E_LOCAL_FILE},
        {"missing local directory", 1, "nodir/dl.bin", "dir/f.bin", FILEHANDLE_E_LOCAL_FILE},
        // The share serves a link to a local file, and a FIFO that no one feeds (samba
        // serves it as an empty file).
        {"download of a link on the share", 1, "dl.bin", "dir/link", FILEHANDLE_E_REMOTE_NOT_FOUND},
        {"upload onto a link on the share", 2, "src.bin", "dir/link", FILEHANDLE_E_LOCAL_FILE},
        {"download of a FIFO on the share", 1, "dl.bin", "dir/fifo", FILEHANDLE_E_REMOTE_NOT_FOUND,
         true},
        // The local disk fills up halfway: the partial download is removed.
        {"local disk full", 1, "full/dl.bin", "dir/big.bin", FILEHANDLE_E_SHORT_COPY},
    };
    const std::string victim = local_ + "/victim";
    WriteFile(victim, "local secret");
    WriteFile(local_ + "/src.bin", "source");
    mkdir((local_ + "/full").c_str(), 0755);
    ASSERT_EQ(0, mount("fh-full", (local_ + "/full").c_str(), "tmpfs", 0, "size=64k"));
    for (const Share& s : kShares) {
        const std::string dir = Root(s) + "dir/";
        WriteFile(dir + "f.bin", "remote");
        WriteFile(dir + "big.bin", RandomBytes(1 << 20, 3));
        unlink((dir + "link").c_str());
        ASSERT_EQ(0, symlink(victim.c_str(), (dir + "link").c_str()));
        unlink((dir + "fifo").c_str());
        ASSERT_EQ(0, mkfifo((dir + "fifo").c_str(), 0666));
        for (const auto& c : cases) {
            if (c.nfsOnly && s.name[0] != 'N') {
                continue;
            }
            SCOPED_TRACE(std::string(s.name) + ": " + c.name);
            ResetAll();
            std::string local = local_ + "/" + c.local;
            Outcome o = RunUri(c.type, local, Uri(s, c.remote));
            EXPECT_EQ(3u, o.stage);
            EXPECT_EQ(c.result, o.result) << o.desc;
            if (c.result == FILEHANDLE_E_MOUNT_FAILED) {
                EXPECT_EQ("File download or upload failed,because:" + std::string(s.name) +
                              " mount failed",
                          o.desc);
            }
            EXPECT_TRUE(c.type == FILEHANDLE_UPLOAD || !FileExists(local));
            EXPECT_EQ("remote", ReadFile(dir + "f.bin"));
            EXPECT_EQ("local secret", ReadFile(victim));
            EXPECT_EQ(1u, Events().size());
        }
    }
    EXPECT_EQ(0, umount((local_ + "/full").c_str()));
}

// The share stays mounted when it cannot be unmounted: nothing on it runs, as setuid or at
// all, and nothing removes its files.
TEST_F(MountTest, AFailedUmountNeverDeletesRemoteFiles) {
    for (const Share& s : kShares) {
        SCOPED_TRACE(s.name);
        ResetAll();
        WriteFile(Root(s) + "dir/keep.bin", "must survive");
        std::string local = local_ + "/keep.bin", suid = Root(s) + "dir/suid";
        WriteFile(suid, "#!/bin/sh\n");
        ASSERT_EQ(0, chmod(suid.c_str(), 04755));
        faults().umountFails = true;
        Outcome o = RunUri(FILEHANDLE_DOWNLOAD, local, Uri(s, "dir/keep.bin"));
        faults().umountFails = false;
        EXPECT_EQ(2u, o.stage) << o.desc;
        std::string mounted = Leftovers();
        EXPECT_NE(std::string::npos, mounted.find("nosuid,nodev,noexec")) << mounted;
        EXPECT_NE(0, access("/var/confbup_tmp1/suid", X_OK));
        EXPECT_EQ("must survive", ReadFile(Root(s) + "dir/keep.bin"));
        EXPECT_EQ("must survive", ReadFile(local));
        // Both the plain and the lazy unmount were tried, and nothing removed the share's files.
        auto cmds = Commands();
        EXPECT_EQ(1, std::count(cmds.begin(), cmds.end(), "umount '/var/confbup_tmp1'"));
        EXPECT_EQ(1, std::count(cmds.begin(), cmds.end(), "umount -l '/var/confbup_tmp1'"));
        for (const std::string& c : cmds) {
            EXPECT_EQ(std::string::npos, c.find("rm -rf")) << c;
        }
        UMOUNT_UploadDownloadClean("/var/confbup_tmp1");  // now really unmounted and removed
    }
}

// Without servers: the copy and the command forms.
class MountLocalTest : public FhTest {};

// One progress record per 1 MiB piece, with the percentage copied so far (64-bit: copied *
// 100 overflows on armhf); a source shorter than its size fails the copy.
TEST_F(MountLocalTest, CopyInChunksWithProgress) {
    for (uint32_t size : {1048576u, 100000000u}) {  // smaller ones: EntryTest, NFS and CIFS
        SCOPED_TRACE(size);
        ResetAll();
        uint32_t id = 0;
        ASSERT_EQ(0u, FILEHANLE_IDdetifier_ProgessFile(&id));
        std::string progress = "/var/uploadDownload" + std::to_string(id) + ".progress";
        std::vector<int> want, got;
        for (uint64_t copied = 0; copied < size;) {
            copied = std::min<uint64_t>(copied + 1048576, size);
            want.push_back(static_cast<int>(copied * 100 / size));
        }
        FILE* in = tmpfile();
        FILE* out = tmpfile();
        ASSERT_TRUE(in != nullptr && out != nullptr);
        std::string data = RandomBytes(size, 9), copied(size, '\0');
        fwrite(data.data(), 1, data.size(), in);
        rewind(in);
        EXPECT_EQ(0u, MOUNT_FileReadWrite(in, out, progress.c_str(), size));
        for (const ComponentProcess& r : ProgressWrites()) {
            if (strcmp(r.szDescription, "File transfer....") == 0) {
                got.push_back(r.ucPercent);
                EXPECT_EQ(1u, r.uiStage);
            }
        }
        EXPECT_EQ(want, got);
        rewind(out);
        EXPECT_EQ(size, fread(&copied[0], 1, size, out));
        EXPECT_TRUE(copied == data);
        rewind(in);
        EXPECT_EQ(FILEHANDLE_E_SHORT_COPY,
                  MOUNT_FileReadWrite(in, out, progress.c_str(), size + 1));
        fclose(in);
        fclose(out);
    }
}

// The mount command of each form (no server answers here, so every mount fails), each text
// of the request one literal word for the shell; none for a remote path that names no
// directory, or for CIFS credentials that mount(8) would read as more options. Nothing is
// left behind. The size probe gives up when all ten of its directories are taken.
TEST_F(MountLocalTest, CommandFormsAndRefusals) {
    const std::string kNfs = "mount -t nfs -o nolock,nosuid,nodev,noexec";
    const std::string kCifs = "mount -t cifs -o 'nolock,nosuid,nodev,noexec,";
    const std::string kCred = "soft,noserverino,credentials=/var/confbup_tmp3.cred' ";
    const std::string kDir = " '/var/confbup_tmp3'";
    const std::string kRun =
        "/a;touch /var/tmp/canary $(touch /var/tmp/canary) `touch /var/tmp/canary`";
    const struct {
        uint8_t code;
        uint32_t port;
        std::string remote, mount;  // mount: the command; empty: none
        const char *user = "u", *password = "p";
    } cases[] = {
        {3, 2049, "/export/fw/image.bin", kNfs + ",port=2049 '127.0.0.1:/export/fw'" + kDir},
        {3, 0, "/export/fw/image.bin", kNfs + " '127.0.0.1:/export/fw'" + kDir},
        {3, 0, "/image.bin", kNfs + " '127.0.0.1:'" + kDir},
        {3, 0, kRun + "/f", kNfs + " '127.0.0.1:" + kRun + "'" + kDir},
        {3, 0, "/it's/f", kNfs + " '127.0.0.1:/it'\\''s'" + kDir},
        {4, 445, "/share/dir/f", kCifs + "port=445," + kCred + "'//127.0.0.1/share/dir'" + kDir},
        {4, 0, "/share/f", kCifs + kCred + "'//127.0.0.1/share'" + kDir},
        {3, 0, "image.bin", ""},
        {4, 0, "/share/f", "", "a,uid=0"},
        {4, 0, "/share/f", "", "u", "p\"q"},
        {4, 0, "/share/f", "", "u", "p\nq"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.remote + " " + c.user + " " + c.password);
        ResetAll();
        ComponentInfo r = MakeRequest(c.code, FILEHANDLE_DOWNLOAD, "127.0.0.1", c.remote);
        r.uiIdentifier = 3;
        r.uiPort = c.port;
        strcpy(r.szUserName, c.user);
        strcpy(r.szPassword, c.password);
        strcpy(r.szReadAddress, "/var/tmp/never.bin");
        char desc[1024] = {0};
        EXPECT_EQ(c.remote[0] == '/' ? FILEHANDLE_E_MOUNT_FAILED : FILEHANDLE_E_PARAMETER,
                  MOUNT_UploadDownloadFile(&r, "/var/nothing.progress", desc));
        auto cmds = Commands();
        EXPECT_EQ(c.mount, c.mount.empty() || cmds.empty() ? "" : cmds[0]);
        for (const std::string& cmd : cmds) {
            EXPECT_TRUE(!c.mount.empty() || cmd.rfind("mount", 0) != 0) << cmd;
        }
        for (const char* path : {"/var/confbup_tmp3", "/var/confbup_tmp3.cred",
                                 "/var/tmp/never.bin", "/var/tmp/canary"}) {
            EXPECT_FALSE(FileExists(path)) << path;
        }
    }
    ComponentInfo r = MakeRequest(3, FILEHANDLE_DOWNLOAD, "127.0.0.1", "/export/f");
    int32_t size = 7;
    EXPECT_EQ(FILEHANDLE_IN_NULL_POINTER, Mount_GetRemoteFileSize(nullptr, &size));
    for (int n = 0; n < 10; ++n) {
        mkdir(("/var/confbup_temp" + std::to_string(n)).c_str(), 0755);
    }
    ResetAll();
    EXPECT_EQ(FILEHANDLE_FAILED, Mount_GetRemoteFileSize(&r, &size));
    EXPECT_EQ(7, size);
    EXPECT_TRUE(Commands().empty());
    for (int n = 0; n < 10; ++n) {
        rmdir(("/var/confbup_temp" + std::to_string(n)).c_str());
    }
}
