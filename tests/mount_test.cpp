// NFS and CIFS through a mounted share, against the loopback servers and mount helpers of
// tests/servers/share-servers.sh; and the copy, mount commands and clean-up without them.
#include <fcntl.h>
#include <glob.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/bmc_platform.h"
#include "tests/support.h"

using namespace fhtest;

namespace {

// Mount points and mount directories of ours that are still there.
std::string Leftovers() {
    std::string out;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("/var/confbup_") != std::string::npos) {
            out += "mounted: " + line + "\n";
        }
    }
    glob_t g{};
    if (glob("/var/confbup_*", 0, nullptr, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc; ++i) {
            out += std::string("directory: ") + g.gl_pathv[i] + "\n";
        }
    }
    globfree(&g);
    return out;
}

struct Share {
    const char* name;
    uint8_t code;
};
const Share kShares[] = {{"NFS", FILEHANDLE_PROTOCOL_NFS}, {"CIFS", FILEHANDLE_PROTOCOL_CIFS}};

class MountTest : public FhTest {
  protected:
    void SetUp() override {
        FhTest::SetUp();
        FH_REQUIRE_ENV("FH_SHARE_ENV");
        env_ = LoadEnvFile("FH_SHARE_ENV");
        local_ = "/var/tmp/mount-test";
        BMC_System(("rm -rf " + local_ + " && mkdir -p " + local_).c_str());
        for (const char* root : {"NFS_ROOT", "CIFS_ROOT"}) {
            std::string dir = env_[root] + "/dir";
            BMC_System(("mkdir -p '" + dir + "' && chmod 777 '" + dir + "'").c_str());
        }
    }
    void TearDown() override {
        FhTest::TearDown();
        if (!env_.empty()) {
            EXPECT_EQ("", Leftovers());
        }
    }
    // Server-side folder of the share, and the URI of a remote path in it ("dir/f").
    std::string Root(const Share& s) const {
        return env_.at(s.code == 3 ? "NFS_ROOT" : "CIFS_ROOT");
    }
    std::string Uri(const Share& s, const std::string& path, bool port = true,
                    const std::string& password = "") const {
        if (s.code == FILEHANDLE_PROTOCOL_NFS) {
            return "nfs://127.0.0.1" + (port ? ":" + env_.at("NFS_PORT") : "") +
                   env_.at("NFS_EXPORT") + "/" + path;
        }
        return "cifs://" + env_.at("CIFS_USER") + ":" +
               (password.empty() ? env_.at("CIFS_PASS") : password) + "@127.0.0.1" +
               (port ? ":" + env_.at("CIFS_PORT") : "") + "/" + env_.at("CIFS_SHARE") + "/" + path;
    }
    std::map<std::string, std::string> env_;
    std::string local_;
};

}  // namespace

TEST_F(MountTest, BothDirectionsBothProtocols) {
    std::string content = RandomBytes(2500000, 5);
    WriteFile(local_ + "/src.bin", content);
    for (const Share& s : kShares) {
        for (bool port : {true, false}) {
            for (const char* dir : {"dir/", ""}) {  // in a directory, and at the share root
                SCOPED_TRACE(std::string(s.name) + (port ? " with port " : " without port ") + dir);
                ResetAll();
                // A fresh name each time: a file removed behind the NFS server's back may
                // live on in its cache.
                std::string remote = std::string(dir) + "up-" + (port ? "p" : "n") + ".bin";
                Outcome up = RunUri(FILEHANDLE_UPLOAD, local_ + "/src.bin", Uri(s, remote, port));
                EXPECT_EQ(2u, up.stage) << up.desc;
                EXPECT_TRUE(ReadFile(Root(s) + "/" + remote) == content);
                // One progress record per 1 MiB chunk: 41, 83 and 100 percent.
                std::vector<int> percents;
                for (const ComponentProcess& r : ProgressWrites()) {
                    if (strcmp(r.szDescription, "File transfer....") == 0) {
                        percents.push_back(r.ucPercent);
                    }
                }
                EXPECT_EQ((std::vector<int>{41, 83, 100}), percents);

                std::string back = local_ + "/back.bin";
                unlink(back.c_str());
                Outcome down = RunUri(FILEHANDLE_DOWNLOAD, back, Uri(s, remote, port));
                EXPECT_EQ(2u, down.stage) << down.desc;
                EXPECT_TRUE(ReadFile(back) == content);
                EXPECT_TRUE(Events().empty());
                EXPECT_EQ("", Leftovers());
                // The password never stands on a command line (readable in /proc).
                for (const std::string& c : Commands()) {
                    EXPECT_EQ(std::string::npos, c.find("password=")) << c;
                    EXPECT_EQ(std::string::npos, c.find(env_.at("CIFS_PASS"))) << c;
                }
            }
        }
    }
}

TEST_F(MountTest, Failures) {
    struct Case {
        const char* name;
        uint8_t type;
        std::string local;
        std::string remote;
        const char* password;  // CIFS only; empty: the right one
        uint32_t result;
        bool nfsOnly = false;  // samba serves a FIFO as an empty file
    };
    WriteFile(local_ + "/src.bin", "source");
    const Case cases[] = {
        {"missing remote file", 1, "dl.bin", "dir/no-such.bin", "", 0x3c000011},
        {"missing share directory", 1, "dl.bin", "no-such-dir/f.bin", "", 0x3c000012},
        {"missing local source", 2, "absent.bin", "dir/f.bin", "", 0x3c00000c},
        {"missing local directory", 1, "nodir/dl.bin", "dir/f.bin", "", 0x3c00000c},
        // The share serves a link to a local file, and a FIFO that no one feeds.
        {"download of a link on the share", 1, "dl.bin", "dir/link", "", 0x3c000011},
        {"upload onto a link on the share", 2, "src.bin", "dir/link", "", 0x3c00000c},
        {"download of a FIFO on the share", 1, "dl.bin", "dir/fifo", "", 0x3c000011, true},
    };
    const std::string victim = local_ + "/victim";
    WriteFile(victim, "local secret");
    for (const Share& s : kShares) {
        WriteFile(Root(s) + "/dir/f.bin", "remote");
        unlink((Root(s) + "/dir/link").c_str());
        ASSERT_EQ(0, symlink(victim.c_str(), (Root(s) + "/dir/link").c_str()));
        unlink((Root(s) + "/dir/fifo").c_str());
        ASSERT_EQ(0, mkfifo((Root(s) + "/dir/fifo").c_str(), 0666));
        for (const Case& c : cases) {
            if (c.nfsOnly && s.code != FILEHANDLE_PROTOCOL_NFS) {
                continue;
            }
            SCOPED_TRACE(std::string(s.name) + ": " + c.name);
            ResetAll();
            std::string local = local_ + "/" + c.local;
            Outcome o = RunUri(c.type, local, Uri(s, c.remote));
            EXPECT_EQ(3u, o.stage);
            EXPECT_EQ(c.result, o.result) << o.desc;
            if (c.type == FILEHANDLE_DOWNLOAD) {
                EXPECT_FALSE(FileExists(local));
            }
            EXPECT_EQ("remote", ReadFile(Root(s) + "/dir/f.bin"));
            EXPECT_EQ("local secret", ReadFile(victim));
            EXPECT_EQ(1u, Events().size());
        }
    }
    ResetAll();
    Outcome o = RunUri(FILEHANDLE_DOWNLOAD, local_ + "/dl.bin",
                       Uri(kShares[1], "dir/f.bin", true, "wrong"));
    EXPECT_EQ(0x3c000012u, o.result);
    EXPECT_EQ("File download or upload failed,because:CIFS mount failed", o.desc);
}

TEST_F(MountTest, AFailedUmountNeverDeletesRemoteFiles) {
    for (const Share& s : kShares) {
        SCOPED_TRACE(s.name);
        ResetAll();
        WriteFile(Root(s) + "/dir/keep.bin", "must survive");
        std::string local = local_ + "/keep.bin";
        std::string suid = Root(s) + "/dir/suid";
        WriteFile(suid, "#!/bin/sh\n");
        ASSERT_EQ(0, chmod(suid.c_str(), 04755));
        faults().umountFails = true;
        Outcome o = RunUri(FILEHANDLE_DOWNLOAD, local, Uri(s, "dir/keep.bin"));
        faults().umountFails = false;
        EXPECT_EQ(2u, o.stage) << o.desc;
        // The share stays mounted: nothing on it runs, as setuid or at all, and no device
        // node on it opens.
        std::string mounted = Leftovers();
        EXPECT_NE(std::string::npos, mounted.find("nosuid,nodev,noexec")) << mounted;
        EXPECT_NE(0, access("/var/confbup_tmp1/suid", X_OK));
        EXPECT_EQ("must survive", ReadFile(Root(s) + "/dir/keep.bin"));
        EXPECT_EQ("must survive", ReadFile(local));
        EXPECT_EQ(1u, CountLogged("left in place."));
        for (const std::string& c : Commands()) {
            EXPECT_EQ(std::string::npos, c.find("rm -rf")) << c;
        }
        // Now really unmount it; the clean-up removes the directory.
        UMOUNT_UploadDownloadClean("/var/confbup_tmp1");
    }
}

TEST_F(MountTest, HostileTextsStayLiteral) {
    // Every request text reaches the shell as one literal word; CIFS credentials that
    // mount(8) would read as more options are refused before mount runs.
    const std::string canary = "/var/tmp/canary";
    struct Case {
        const char* name;
        uint8_t code;
        std::string host, user, password, remote, local;
        bool credentialsRefused;
    };
    const std::string hostile[] = {"a;touch " + canary + "1",
                                   "$(touch " + canary + "2)",
                                   "`touch " + canary + "3`",
                                   "a'b'\"c\"",
                                   "x\ntouch " + canary + "4",
                                   "o=1",
                                   "a b"};
    std::vector<Case> cases;
    for (const std::string& h : hostile) {
        cases.push_back(
            {"nfs share dir", 3, "127.0.0.1", "", "", "/export/" + h + "/f.bin", "l.bin", false});
        cases.push_back({"nfs file", 3, "127.0.0.1", "", "", "/export/dir/" + h, "l.bin", false});
        cases.push_back({"nfs host", 3, h, "", "", "/export/dir/f.bin", "l.bin", false});
        cases.push_back({"cifs user", 4, "127.0.0.1", h, "fhpass", "/fhshare/dir/f.bin", "l.bin",
                         h.find_first_of(",\"\n") != std::string::npos});
        cases.push_back({"cifs password", 4, "127.0.0.1", "fhuser", h, "/fhshare/dir/f.bin",
                         "l.bin", h.find_first_of(",\"\n") != std::string::npos});
        cases.push_back({"local path", 3, "127.0.0.1", "", "", "/export/dir/f.bin", h, false});
    }
    cases.push_back({"comma in password", 4, "127.0.0.1", "fhuser", "a,uid=0", "/fhshare/dir/f.bin",
                     "l.bin", true});
    cases.push_back({"comma in user", 4, "127.0.0.1", "fh,user", "fhpass", "/fhshare/dir/f.bin",
                     "l.bin", true});
    WriteFile(env_["NFS_ROOT"] + "/dir/f.bin", "remote");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ": " + c.host + "|" + c.user + "|" + c.password + "|" +
                     c.remote + "|" + c.local);
        ResetAll();
        ComponentInfo r{};
        r.ucProtocolType = c.code;
        r.ucHandleType = FILEHANDLE_DOWNLOAD;
        r.uiIdentifier = 1;
        snprintf(r.szIpAdress, sizeof r.szIpAdress, "%s", c.host.c_str());
        snprintf(r.szUserName, sizeof r.szUserName, "%s", c.user.c_str());
        snprintf(r.szPassword, sizeof r.szPassword, "%s", c.password.c_str());
        snprintf(r.szStorageAddress, sizeof r.szStorageAddress, "%s", c.remote.c_str());
        snprintf(r.szReadAddress, sizeof r.szReadAddress, "%s/%s", local_.c_str(), c.local.c_str());
        char desc[1024] = {0};
        uint32_t rc = MOUNT_UploadDownloadFile(&r, "/var/uploadDownload1.progress", desc);
        bool mountRan = false;
        for (const std::string& cmd : Commands()) {
            mountRan = mountRan || cmd.compare(0, 6, "mount ") == 0;
        }
        if (c.credentialsRefused) {
            EXPECT_EQ(0x3c000012u, rc);
            EXPECT_FALSE(mountRan);
        }
        EXPECT_EQ("", Leftovers());
    }
    for (int i = 1; i <= 4; ++i) {
        EXPECT_FALSE(FileExists(canary + std::to_string(i))) << i;
    }
    EXPECT_EQ("remote", ReadFile(env_["NFS_ROOT"] + "/dir/f.bin"));
}

// Without servers: the copy, the command forms, the argument checks.
class MountLocalTest : public FhTest {};

TEST_F(MountLocalTest, CopyInChunksWithProgress) {
    struct Case {
        size_t size;
        std::vector<int> percents;
    };
    std::vector<int> many;
    for (uint64_t copied = 0; copied < 100000000;) {  // 64-bit: copied * 100 on armhf
        copied = std::min<uint64_t>(copied + 1048576, 100000000);
        many.push_back(static_cast<int>(copied * 100 / 100000000));
    }
    const Case cases[] = {
        {0, {}}, {1, {100}}, {1048576, {100}}, {2500000, {41, 83, 100}}, {100000000, many}};
    uint32_t id = 0;
    ASSERT_EQ(0u, FILEHANLE_IDdetifier_ProgessFile(&id));
    std::string progress = "/var/uploadDownload" + std::to_string(id) + ".progress";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        FILE* in = tmpfile();
        FILE* out = tmpfile();
        ASSERT_TRUE(in != nullptr && out != nullptr);
        std::string data = RandomBytes(c.size, 9);
        fwrite(data.data(), 1, data.size(), in);
        rewind(in);
        ResetAll();
        ASSERT_EQ(0u, FILEHANLE_IDdetifier_ProgessFile(&id));
        EXPECT_EQ(0u,
                  MOUNT_FileReadWrite(in, out, progress.c_str(), static_cast<uint32_t>(c.size)));
        std::vector<int> got;
        for (const ComponentProcess& r : ProgressWrites()) {
            if (strcmp(r.szDescription, "File transfer....") == 0) {
                got.push_back(r.ucPercent);
                EXPECT_EQ(1u, r.uiStage);
            }
        }
        EXPECT_EQ(c.percents, got);
        rewind(out);
        std::string copied(c.size, '\0');
        EXPECT_EQ(c.size, fread(&copied[0], 1, c.size, out));
        EXPECT_TRUE(copied == data);
        // A short source: 0x3c000013.
        rewind(in);
        EXPECT_EQ(0x3c000013u, MOUNT_FileReadWrite(in, out, progress.c_str(),
                                                   static_cast<uint32_t>(c.size + 1)));
        fclose(in);
        fclose(out);
    }
    EXPECT_EQ(0x3c000001u, MOUNT_FileReadWrite(nullptr, stdout, "p", 1));
    EXPECT_EQ(0x3c000001u, MOUNT_FileReadWrite(stdin, nullptr, "p", 1));
    EXPECT_EQ(0x3c000001u, MOUNT_FileReadWrite(stdin, stdout, nullptr, 1));
}

TEST_F(MountLocalTest, CommandFormsAndRefusals) {
    struct Case {
        const char* name;
        uint8_t code;
        uint32_t port;
        const char* remote;
        uint32_t result;
        const char* mount;  // the mount command expected, or null for none
    };
    const Case cases[] = {
        {"nfs with port", 3, 2049, "/export/fw/image.bin", 0x3c000012,
         "mount -t nfs -o nolock,nosuid,nodev,noexec,port=2049 '127.0.0.1:/export/fw' "
         "'/var/confbup_tmp3'"},
        {"nfs without port", 3, 0, "/export/fw/image.bin", 0x3c000012,
         "mount -t nfs -o nolock,nosuid,nodev,noexec '127.0.0.1:/export/fw' '/var/confbup_tmp3'"},
        {"nfs empty share directory", 3, 0, "/image.bin", 0x3c000012,
         "mount -t nfs -o nolock,nosuid,nodev,noexec '127.0.0.1:' '/var/confbup_tmp3'"},
        {"cifs with port", 4, 445, "/share/dir/f", 0x3c000012,
         "mount -t cifs -o "
         "'nolock,nosuid,nodev,noexec,port=445,soft,noserverino,credentials=/var/"
         "confbup_tmp3.cred' "
         "'//127.0.0.1/share/dir' '/var/confbup_tmp3'"},
        {"cifs without port", 4, 0, "/share/f", 0x3c000012,
         "mount -t cifs -o 'nolock,nosuid,nodev,noexec,soft,noserverino,"
         "credentials=/var/confbup_tmp3.cred' "
         "'//127.0.0.1/share' "
         "'/var/confbup_tmp3'"},
        {"no '/' in the remote path", 3, 0, "image.bin", 0x3c00000e, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        ComponentInfo r{};
        r.ucProtocolType = c.code;
        r.ucHandleType = FILEHANDLE_DOWNLOAD;
        r.uiIdentifier = 3;
        r.uiPort = c.port;
        strcpy(r.szIpAdress, "127.0.0.1");
        strcpy(r.szUserName, "u");
        strcpy(r.szPassword, "p");
        strcpy(r.szStorageAddress, c.remote);
        strcpy(r.szReadAddress, "/var/tmp/never.bin");
        char desc[1024] = {0};
        // No server answers here: with no mount helper at all the command fails too.
        EXPECT_EQ(c.result, MOUNT_UploadDownloadFile(&r, "/var/nothing.progress", desc));
        auto cmds = Commands();
        if (c.mount != nullptr) {
            ASSERT_FALSE(cmds.empty());
            EXPECT_EQ(c.mount, cmds[0]);
        } else {
            for (const std::string& cmd : cmds) {
                EXPECT_NE(0u, cmd.rfind("mount", 0)) << cmd;
            }
        }
        EXPECT_FALSE(FileExists("/var/confbup_tmp3"));
        EXPECT_FALSE(FileExists("/var/confbup_tmp3.cred"));
        EXPECT_FALSE(FileExists("/var/tmp/never.bin"));
    }
    ComponentInfo r{};
    int32_t size = 7;
    EXPECT_EQ(0xbc000001u, Mount_GetRemoteFileSize(nullptr, &size));
    EXPECT_EQ(0xbc000001u, Mount_GetRemoteFileSize(&r, nullptr));
    EXPECT_EQ(7, size);
}

TEST_F(MountLocalTest, SizeProbeWithAllTenDirectoriesTaken) {
    for (int n = 0; n < 10; ++n) {
        mkdir(("/var/confbup_temp" + std::to_string(n)).c_str(), 0755);
    }
    ComponentInfo r{};
    r.ucProtocolType = 3;
    strcpy(r.szIpAdress, "127.0.0.1");
    strcpy(r.szStorageAddress, "/export/f");
    int32_t size = 5;
    EXPECT_EQ(0x81000001u, Mount_GetRemoteFileSize(&r, &size));
    EXPECT_EQ(5, size);
    EXPECT_TRUE(Logged(2, "Create psu sub dir failed."));
    EXPECT_TRUE(Commands().empty());
    for (int n = 0; n < 10; ++n) {
        rmdir(("/var/confbup_temp" + std::to_string(n)).c_str());
    }
}
