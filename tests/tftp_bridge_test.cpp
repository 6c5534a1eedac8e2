// TFTP bridge against a real tftpd-hpa on loopback (tests/servers/tftp-server.sh, found through
// FH_TFTP_ENV), plus a scripted UDP peer on 127.0.0.1 for answers no real server gives on
// demand (falling silent, skipping the size) and for looking at the request itself.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/raii.h"
#include "platform/bmc_platform.h"
#include "tests/support.h"

using namespace fhtest;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kNoSuchFile = 68;   // CURLE_TFTP_NOTFOUND
constexpr int kUrlMalformed = 3;  // CURLE_URL_MALFORMAT
constexpr size_t k3MiB = 3u << 20;
constexpr char kNoProgress[] = "/var/tmp/no-progress-file";

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool FdIsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// One transfer through the bridge; a download's local file is opened like the task library
// does (O_WRONLY|O_CREAT, no O_TRUNC). The caller's descriptor must stay open.
int Transfer(bool download, const std::string& local, const std::string& remote, uint32_t blk,
             int port, const std::string& progress = kNoProgress, int32_t expected = 0,
             const char* host = "127.0.0.1") {
    fh::UniqueFd fd(open(local.c_str(),
                         download ? O_WRONLY | O_CREAT | O_CLOEXEC : O_RDONLY | O_CLOEXEC, 0644));
    EXPECT_TRUE(fd.Valid());
    int rc = BRIDGE_TFTP(download ? BRIDGE_TFTP_DOWNLOAD : BRIDGE_TFTP_UPLOAD, host, remote.c_str(),
                         fd.Get(), static_cast<uint32_t>(port), blk, progress.c_str(), expected);
    EXPECT_TRUE(FdIsOpen(fd.Get())) << "the bridge closed the caller's descriptor";
    EXPECT_EQ(0, fd.Close());
    return rc;
}

ComponentProcess ReadRecord(const std::string& path) {
    ComponentProcess r{};
    std::string raw = ReadFile(path);
    EXPECT_EQ(sizeof r, raw.size()) << "not one whole record";
    memcpy(&r, raw.data(), std::min(raw.size(), sizeof r));
    return r;
}

// Packets a scripted peer answers with.
const char kOackBytes[] = "\0\6tsize\0001000000\0blksize\000512";
const std::string kOack(kOackBytes, sizeof kOackBytes);  // with the closing NUL
const std::string kBlock1 = std::string("\0\3\0\1", 4) + std::string(512, 'x');
std::string ErrorPacket(char code) {
    return std::string("\0\5\0", 3) + code + std::string("scripted\0", 9);
}
const std::string kNotFound = ErrorPacket(1);

// A TFTP peer on 127.0.0.1 that keeps the first packet it receives and answers the n-th
// packet with answers[n] (none when empty or beyond the list).
class ScriptedPeer {
  public:
    explicit ScriptedPeer(std::vector<std::string> answers, uint16_t port = 0)
        : answers_(std::move(answers)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd_.Get(), reinterpret_cast<sockaddr*>(&a), len) != 0 ||
            getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            fd_.Reset();
            return;
        }
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedPeer() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    bool Ok() const { return fd_.Valid(); }
    uint16_t Port() const { return port_; }
    int Packets() const { return packets_; }
    std::string FirstPacket() {
        std::lock_guard<std::mutex> l(mu_);
        return first_;
    }

  private:
    void Run() {
        while (!stop_) {
            pollfd p{fd_.Get(), POLLIN, 0};
            char buf[70000];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = poll(&p, 1, 20) <= 0 ? 0
                                             : recvfrom(fd_.Get(), buf, sizeof buf, 0,
                                                        reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 4) {
                continue;
            }
            size_t index = static_cast<size_t>(packets_++);
            if (index == 0) {
                std::lock_guard<std::mutex> l(mu_);
                first_.assign(buf, static_cast<size_t>(n));
            }
            if (index < answers_.size() && !answers_[index].empty()) {
                (void)sendto(fd_.Get(), answers_[index].data(), answers_[index].size(), 0,
                             reinterpret_cast<const sockaddr*>(&from), sizeof from);
            }
        }
    }

    std::vector<std::string> answers_;
    fh::UniqueFd fd_{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> packets_{0};
    std::mutex mu_;
    std::string first_;
    std::thread thread_;
};

// The NUL-separated fields of a request: name, mode, then option/value pairs.
std::vector<std::string> RequestFields(const std::string& packet) {
    std::vector<std::string> fields;
    for (size_t pos = 2; pos < packet.size();) {
        size_t end = std::min(packet.find('\0', pos), packet.size());
        fields.push_back(packet.substr(pos, end - pos));
        pos = end + 1;
    }
    return fields;
}
std::string Option(const std::vector<std::string>& fields, const std::string& name) {
    for (size_t i = 2; i + 1 < fields.size(); i += 2) {
        if (fields[i] == name) {
            return fields[i + 1];
        }
    }
    return "<absent>";
}

class TftpBridgeTest : public FhTest {
  protected:
    void SetUp() override {
        FhTest::SetUp();
        auto env = LoadEnvFile("FH_TFTP_ENV");
        if (env.empty()) {
            GTEST_SKIP() << "FH_TFTP_ENV not set: start tests/servers/tftp-server.sh";
        }
        port_ = std::stoi(env["TFTP_PORT"]);
        root_ = env["TEST_DIR"] + "/root";
        mkdir(work_.c_str(), 0755);
    }
    std::string Served(const std::string& name) const { return ReadFile(root_ + "/" + name); }
    void Serve(const std::string& name, const std::string& data) const {
        WriteFile(root_ + "/" + name, data);
    }
    int Download(const std::string& remote, const std::string& local, uint32_t blk,
                 const std::string& progress = kNoProgress) const {
        return Transfer(true, local, remote, blk, port_, progress);
    }
    int Upload(const std::string& local, const std::string& remote, uint32_t blk,
               const std::string& progress = kNoProgress, int32_t expected = 0) const {
        return Transfer(false, local, remote, blk, port_, progress, expected);
    }
    int port_ = 0;
    std::string root_;
    const std::string work_ = "/var/tmp/tftp-bridge-test";
};

}  // namespace

TEST_F(TftpBridgeTest, TransfersByteForByteInBothDirections) {
    struct Content {
        const char* name;
        size_t blocks;  // size in whole blocks, or
        size_t bytes;   // a fixed size
    };
    const Content contents[] = {
        {"small", 0, 100},
        {"exact multiple of the block size", 4, 0},
        {"empty", 0, 0},
        {"3 MiB", 0, k3MiB},
    };
    unsigned seed = 1;
    for (uint32_t blk : {512u, 1024u, 1468u}) {
        for (const Content& c : contents) {
            for (bool download : {true, false}) {
                SCOPED_TRACE(std::string(c.name) + ", block size " + std::to_string(blk) +
                             (download ? ", download" : ", upload"));
                std::string data = RandomBytes(c.blocks != 0 ? c.blocks * blk : c.bytes, ++seed);
                std::string remote = "xfer-" + std::to_string(seed) + ".bin";
                std::string local = work_ + "/xfer.bin";
                if (download) {
                    // Over an older, longer file (without O_TRUNC): only the new bytes stay.
                    WriteFile(local, std::string(data.size() + 3 * blk, 'O'));
                    Serve(remote, data);
                    ASSERT_EQ(0, Download(remote, local, blk));
                    EXPECT_TRUE(ReadFile(local) == data) << "downloaded content differs";
                } else {
                    WriteFile(local, data);
                    ASSERT_EQ(0, Upload(local, remote, blk));
                    ASSERT_TRUE(FileExists(root_ + "/" + remote));
                    EXPECT_TRUE(Served(remote) == data) << "uploaded content differs";
                }
            }
        }
    }
}

TEST_F(TftpBridgeTest, WritesProgressRecordsWhileItRuns) {
    struct Case {
        const char* name;
        bool download;
        int32_t expected;  // for uploads: the size the caller announces
    };
    const size_t size = 8u << 20;
    const Case cases[] = {
        {"download, size from the server", true, 0},
        {"upload, size from the caller", false, static_cast<int32_t>(size)},
        {"upload, size of the local file", false, 0},
    };
    std::string data = RandomBytes(size, 5);
    std::string local = work_ + "/progress-data.bin";
    std::string progress = work_ + "/task.progress";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        WriteFile(progress, "");
        if (c.download) {
            Serve("progress.bin", data);
            unlink(local.c_str());
        } else {
            WriteFile(local, data);
        }
        uint32_t now = FreezeClock();
        // A reader like the task library's (read lock, whole file) never sees part of a record.
        std::atomic<bool> done{false};
        int torn = 0;
        std::thread reader([&] {
            while (!done) {
                fh::UniqueFd fd(open(progress.c_str(), O_RDONLY | O_CLOEXEC));
                if (fd.Valid() && BRIDGE_LOCK_LTF_FILE_READ(fd.Get()) == 0) {
                    char buf[sizeof(ComponentProcess) + 1];
                    ssize_t n = pread(fd.Get(), buf, sizeof buf, 0);
                    BRIDGE_UNLOCK_LTF_FILE(fd.Get());
                    torn += n != 0 && n != static_cast<ssize_t>(sizeof(ComponentProcess));
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        auto start = Clock::now();
        int rc = c.download ? Download("progress.bin", local, 512, progress)
                            : Upload(local, "progress.bin", 512, progress, c.expected);
        double seconds = SecondsSince(start);
        done = true;
        reader.join();
        EXPECT_EQ(0, torn) << "a reader saw a partial record";
        ASSERT_EQ(0, rc);
        EXPECT_TRUE((c.download ? ReadFile(local) : Served("progress.bin")) == data);

        // One write per new percentage, in order, plus at most one a second.
        std::vector<int> seen;
        for (const ComponentProcess& p : ProgressWrites()) {
            seen.push_back(p.ucPercent);
        }
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << "percentages went back";
        EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](int p) { return p > 0 && p < 100; }))
            << "no record between 0 and 100 %";
        EXPECT_GE(seen.size(), 3u);
        EXPECT_LE(seen.size(), 101 + static_cast<size_t>(seconds) + 2);

        // The last record: stage 1 at 100 %, every byte after the description zero.
        ComponentProcess want{1, 0, now, 100, "File transfer....", "", {}};
        ComponentProcess got = ReadRecord(progress);
        EXPECT_EQ(0, memcmp(&want, &got, sizeof want))
            << "stage " << got.uiStage << " result " << got.uiResultCode << " time " << got.uiTime
            << " percent " << unsigned(got.ucPercent) << " " << got.szDescription;
    }
}

// Once the task's progress file is deleted and its path handed to a new task, the transfer
// stops, and the new task's record is never written.
TEST_F(TftpBridgeTest, DeletedTaskStopsTheTransfer) {
    const std::string data = RandomBytes(8u << 20, 6);
    const std::string local = work_ + "/deleted.bin", progress = work_ + "/deleted.progress";
    for (bool download : {true, false}) {
        SCOPED_TRACE(download ? "download" : "upload");
        ResetAll();
        WriteFile(progress, "");
        download ? Serve("deleted.bin", data) : WriteFile(local, data);
        std::thread successor([&] {
            while (ReadFile(progress).empty()) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            unlink(progress.c_str());
            WriteFile(progress, "");
        });
        int rc = download ? Download("deleted.bin", local, 512, progress)
                          : Upload(local, "deleted.bin", 512, progress);
        successor.join();
        EXPECT_NE(0, rc);
        EXPECT_EQ("", ReadFile(progress));
    }
}

TEST_F(TftpBridgeTest, ProgressNeedsAKnownSizeAndAnExistingFile) {
    struct Case {
        const char* name;
        bool download;
        bool fromPipe;        // upload read from a pipe (no size of its own)
        int32_t expected;     // size the caller announces
        bool progressExists;  // the progress file exists beforehand
        bool record;          // a record is written (else the file stays as it was)
    };
    const size_t size = 300000;
    const Case cases[] = {
        {"pipe upload with no size known: nothing written", false, true, 0, true, false},
        {"pipe upload with the caller's size", false, true, static_cast<int32_t>(size), true, true},
        {"download with a missing progress file", true, false, 0, false, false},
        {"upload with a missing progress file", false, false, 0, false, false},
    };
    std::string data = RandomBytes(size, 11);
    std::string progress = work_ + "/task2.progress";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(progress.c_str());
        if (c.progressExists) {
            WriteFile(progress, "");
        }
        int rc;
        if (c.fromPipe) {
            int p[2];
            ASSERT_EQ(0, pipe2(p, O_CLOEXEC));
            fh::UniqueFd readEnd(p[0]), writeEnd(p[1]);
            std::thread writer([&] {
                size_t off = 0;
                ssize_t n;
                while (off < data.size() &&
                       (n = write(writeEnd.Get(), data.data() + off, data.size() - off)) > 0) {
                    off += static_cast<size_t>(n);
                }
                writeEnd.Reset();
            });
            rc = BRIDGE_TFTP(BRIDGE_TFTP_UPLOAD, "127.0.0.1", "pipe.bin", readEnd.Get(), port_,
                             1024, progress.c_str(), c.expected);
            writer.join();
            EXPECT_TRUE(FdIsOpen(readEnd.Get()));
            EXPECT_TRUE(Served("pipe.bin") == data);
        } else if (c.download) {
            Serve("np.bin", data);
            rc = Download("np.bin", work_ + "/np.bin", 1024, progress);
            EXPECT_TRUE(ReadFile(work_ + "/np.bin") == data);
        } else {
            WriteFile(work_ + "/np.bin", data);
            rc = Upload(work_ + "/np.bin", "np-up.bin", 1024, progress);
            EXPECT_TRUE(Served("np-up.bin") == data);
        }
        EXPECT_EQ(0, rc);
        EXPECT_EQ(c.progressExists, FileExists(progress)) << "the bridge created the file";
        if (c.record) {
            EXPECT_EQ(100, ReadRecord(progress).ucPercent);
        } else if (c.progressExists) {
            EXPECT_EQ("", ReadFile(progress));
        }
    }
}

TEST_F(TftpBridgeTest, RemoteNamesReachTheServerVerbatim) {
    mkdir((root_ + "/sub").c_str(), 0755);
    mkdir((root_ + "/sub/dir").c_str(), 0755);
    const char* names[] = {
        "with space.bin",     "hash#and?query.bin", "semi;mode=netascii", "percent%41.bin",
        "sub/dir/nested.bin", "plus+amp&eq=.bin",   "tilde~dots..bin",
    };
    // Line ends and a NUL would change in a text-mode transfer.
    std::string data = "line\r\nnext\nlast\r\0end" + RandomBytes(3000, 3);
    for (const char* name : names) {
        SCOPED_TRACE(name);
        std::string local = work_ + "/name.bin";
        WriteFile(local, data);
        ASSERT_EQ(0, Upload(local, name, 512));
        EXPECT_TRUE(Served(name) == data) << "not stored under the name given";
        unlink(local.c_str());
        // The host by name this time: "localhost" resolves to the same server.
        ASSERT_EQ(0, Transfer(true, local, name, 512, port_, kNoProgress, 0, "localhost"));
        EXPECT_TRUE(ReadFile(local) == data);
        int32_t size = -1;
        EXPECT_EQ(0, BRIDGE_GetTftpRemoteFileSize("127.0.0.1", port_, name, &size));
        EXPECT_EQ(static_cast<int32_t>(data.size()), size);
    }
}

// Names no real server would store as given: the request itself carries them unchanged.
TEST_F(TftpBridgeTest, RequestCarriesTheNameAsGiven) {
    for (const char* name : {"sub/../fw.bin", "./fw.bin", "/abs/fw.bin", "a b#c?d;mode=netascii",
                             "%41%2F.bin", "dir//double.bin", "\xc3\xa9t\xc3\xa9.bin"}) {
        SCOPED_TRACE(name);
        ScriptedPeer peer({kNotFound});
        ASSERT_TRUE(peer.Ok());
        int32_t size = -7;
        EXPECT_EQ(kNoSuchFile, BRIDGE_GetTftpRemoteFileSize("127.0.0.1", peer.Port(), name, &size));
        std::vector<std::string> f = RequestFields(peer.FirstPacket());
        f.resize(2);
        EXPECT_EQ((std::vector<std::string>{name, "octet"}), f);
    }
}

TEST_F(TftpBridgeTest, MissingRemoteFileFails) {
    struct Case {
        const char* name;
        bool download;
        const char* remote;
        int rc;  // expected code, or 0 for "any failure"
    };
    const Case cases[] = {
        {"download of a missing file", true, "no-such-file.bin", kNoSuchFile},
        {"download from a missing directory", true, "no-such-dir/x.bin", kNoSuchFile},
        {"upload into a missing directory", false, "no-such-dir/x.bin", 0},
    };
    // A download learns the size from the server's answer, which never comes; an upload
    // knows its size at once, so a record of 0 % may have been written.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string local = work_ + "/missing.bin";
        std::string progress = work_ + "/missing.progress";
        WriteFile(progress, "");
        WriteFile(local, "data");
        int rc = c.download ? Download(c.remote, local, 1024, progress)
                            : Upload(local, c.remote, 1024, progress);
        if (c.rc != 0) {
            EXPECT_EQ(c.rc, rc);
        } else {
            EXPECT_NE(0, rc);
            EXPECT_NE(-1, rc);
        }
        if (c.download) {
            EXPECT_EQ("", ReadFile(progress)) << "a record without a known size";
        } else if (!ReadFile(progress).empty()) {
            EXPECT_EQ(0, ReadRecord(progress).ucPercent);
        }
    }
}

TEST_F(TftpBridgeTest, UnansweredOrStalledTransfersFailInBoundedTime) {
    ScriptedPeer silentAfterSize({kOack});
    ScriptedPeer silentAfterBlock({kOack, kBlock1});
    ASSERT_TRUE(silentAfterSize.Ok());
    ASSERT_TRUE(silentAfterBlock.Ok());
    enum Kind { kDownload, kUpload, kSize };
    struct Case {
        const char* name;
        Kind kind;
        const char* host;
        int port;
    };
    const Case cases[] = {
        {"closed port, download", kDownload, "127.0.0.1", 1},
        {"closed port, upload", kUpload, "127.0.0.1", 1},
        {"closed port, size query", kSize, "127.0.0.1", 1},
        {"IPv6 loopback, nothing listening", kDownload, "::1", port_},
        {"server silent after the size", kDownload, "127.0.0.1", silentAfterSize.Port()},
        {"server silent after the first block", kDownload, "127.0.0.1", silentAfterBlock.Port()},
    };
    // All at once, each in its own thread: several bridges may run in parallel.
    struct Result {
        int rc = 0;
        double seconds = 0;
    };
    std::vector<Result> results(std::size(cases));
    std::vector<std::thread> threads;
    for (size_t i = 0; i < std::size(cases); ++i) {
        std::string local = work_ + "/bounded-" + std::to_string(i) + ".bin";
        WriteFile(local, RandomBytes(5000, 8));
        threads.emplace_back([&, i, local] {
            const Case& c = cases[i];
            auto start = Clock::now();
            int32_t size = 77;
            results[i].rc = c.kind == kSize
                                ? BRIDGE_GetTftpRemoteFileSize(c.host, c.port, "x.bin", &size)
                                : Transfer(c.kind == kDownload, local, "x.bin", 512, c.port,
                                           "/var/tmp/none", c.kind == kUpload ? 5000 : 0, c.host);
            if (size != 77) {
                results[i].rc = 1000;  // reported below as a wrong code
            }
            results[i].seconds = SecondsSince(start);
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_NE(0, results[i].rc);
        EXPECT_NE(-1, results[i].rc) << "refused as a bad argument";
        EXPECT_NE(kUrlMalformed, results[i].rc);
        EXPECT_NE(1000, results[i].rc) << "size changed on failure";
        EXPECT_LT(results[i].seconds, 30.0);
    }
    EXPECT_GE(silentAfterBlock.Packets(), 2) << "the scripted peer was never asked";
}

TEST_F(TftpBridgeTest, BadArgumentsFailWithoutTraffic) {
    ScriptedPeer peer({});
    ASSERT_TRUE(peer.Ok());
    const uint32_t port = peer.Port();  // where any case that reached the network would go
    fh::UniqueFd fd(open((work_ + "/bad.bin").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd.Valid());
    const char* h = "127.0.0.1";
    const char* p = "/var/tmp/none";
    struct Case {
        const char* name;
        uint8_t type;
        const char* host;
        const char* remote;
        int fd;
        uint32_t port;
        uint32_t blk;
        const char* progress;
    };
    const Case cases[] = {
        {"null host", 1, nullptr, "x", fd.Get(), port, 512, p},
        {"null remote name", 1, h, nullptr, fd.Get(), port, 512, p},
        {"null progress file", 1, h, "x", fd.Get(), port, 512, nullptr},
        {"handle type 0", 0, h, "x", fd.Get(), port, 512, p},
        {"handle type 3", 3, h, "x", fd.Get(), port, 512, p},
        {"negative descriptor", 1, h, "x", -1, port, 512, p},
        {"block size 0", 1, h, "x", fd.Get(), port, 0, p},
        {"block size 7", 2, h, "x", fd.Get(), port, 7, p},
        {"block size 65465", 1, h, "x", fd.Get(), port, 65465, p},
        {"port 65536", 1, h, "x", fd.Get(), 65536, 512, p},
        {"empty host", 1, "", "x", fd.Get(), port, 512, p},
        {"empty remote name", 2, h, "", fd.Get(), port, 512, p},
        {"host with a path", 1, "127.0.0.1/evil", "x", fd.Get(), port, 512, p},
        {"host with user info", 1, "user@127.0.0.1", "x", fd.Get(), port, 512, p},
        {"host with a port", 1, "127.0.0.1:69", "x", fd.Get(), port, 512, p},
        {"unclosed IPv6 bracket", 1, "[::1", "x", fd.Get(), port, 512, p},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(-1, BRIDGE_TFTP(c.type, c.host, c.remote, c.fd, c.port, c.blk, c.progress, 0));
    }
    int32_t size = 5;
    EXPECT_EQ(-1, BRIDGE_GetTftpRemoteFileSize(nullptr, port, "x", &size));
    EXPECT_EQ(-1, BRIDGE_GetTftpRemoteFileSize(h, port, nullptr, &size));
    EXPECT_EQ(-1, BRIDGE_GetTftpRemoteFileSize(h, port, "x", nullptr));
    EXPECT_EQ(-1, BRIDGE_GetTftpRemoteFileSize(h, 65536, "x", &size));
    EXPECT_EQ(-1, BRIDGE_GetTftpRemoteFileSize(h, port, "", &size));
    EXPECT_EQ(5, size);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0, peer.Packets()) << "a refused call sent a request";
    EXPECT_TRUE(FdIsOpen(fd.Get()));
}

TEST_F(TftpBridgeTest, RequestAsksForTheBlockSizeAndAnnouncesTheUploadSize) {
    struct Case {
        const char* name;
        bool download;
        uint32_t blk;
        int32_t expected;
        const char* wantTsize;
    };
    const Case cases[] = {
        {"download, 1468", true, 1468, 0, "0"},
        {"download, 512", true, 512, 0, "0"},
        {"upload, caller's size", false, 1024, 12345, "12345"},
        {"upload, local file's size", false, 1468, 0, "777"},
    };
    std::string local = work_ + "/req.bin";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer({ErrorPacket(2)});  // 2: access violation
        ASSERT_TRUE(peer.Ok());
        WriteFile(local, std::string(777, 'r'));
        // CURLE_TFTP_PERM: the peer's answer, by code.
        EXPECT_EQ(69, Transfer(c.download, local, "dir/fw image.bin", c.blk, peer.Port(),
                               kNoProgress, c.expected));
        std::string packet = peer.FirstPacket();
        EXPECT_EQ(std::string(c.download ? "\0\1" : "\0\2", 2), packet.substr(0, 2));
        std::vector<std::string> f = RequestFields(packet);
        EXPECT_EQ(std::to_string(c.blk), Option(f, "blksize"));
        EXPECT_EQ(c.wantTsize, Option(f, "tsize"));
        f.resize(2);
        EXPECT_EQ((std::vector<std::string>{"dir/fw image.bin", "octet"}), f);
    }
}

TEST_F(TftpBridgeTest, SizeQuery) {
    struct Case {
        const char* name;
        off_t bytes;  // created sparse; -1: no such file
        int rc;       // 0, or the expected code (-2: any failure)
    };
    const Case cases[] = {
        {"small file", 6, 0},
        {"3 MiB", static_cast<off_t>(k3MiB), 0},
        {"empty file", 0, 0},
        {"largest 32-bit size", INT32_MAX, 0},
        {"one past the 32-bit range", static_cast<off_t>(INT32_MAX) + 1, -2},
        {"3 GiB", static_cast<off_t>(3) << 30, -2},
        {"missing file", -1, kNoSuchFile},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = root_ + "/size.bin";
        unlink(path.c_str());
        if (c.bytes >= 0) {
            fh::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
            ASSERT_EQ(0, ftruncate(fd.Get(), c.bytes));
        }
        int32_t size = -7;
        auto start = Clock::now();
        int rc = BRIDGE_GetTftpRemoteFileSize("127.0.0.1", port_, "size.bin", &size);
        // Far too short to move 2 GiB over TFTP: only the size was asked for.
        EXPECT_LT(SecondsSince(start), 5.0);
        EXPECT_EQ(c.rc == 0 ? c.bytes : -7, size) << "size changed on failure";
        if (c.rc == -2) {
            EXPECT_NE(0, rc);
            EXPECT_NE(-1, rc);
        } else {
            EXPECT_EQ(c.rc, rc);
        }
    }
}

TEST_F(TftpBridgeTest, SizeQueryFailsWhenTheServerSkipsTheSize) {
    ScriptedPeer peer({kBlock1});
    ASSERT_TRUE(peer.Ok());
    int32_t size = -7;
    auto start = Clock::now();
    int rc = BRIDGE_GetTftpRemoteFileSize("127.0.0.1", peer.Port(), "x.bin", &size);
    EXPECT_NE(0, rc);
    EXPECT_NE(-1, rc);
    EXPECT_EQ(-7, size);
    EXPECT_LT(SecondsSince(start), 5.0);
    EXPECT_EQ("0", Option(RequestFields(peer.FirstPacket()), "tsize"))
        << "the query did not ask for the size";
}

TEST_F(TftpBridgeTest, PortZeroMeansPort69) {
    // Needs 127.0.0.1:69 free (and the right to bind it): a peer there answers "no such
    // file" to whatever it is asked.
    ScriptedPeer peer({kNotFound}, 69);
    if (!peer.Ok()) {
        GTEST_SKIP() << "cannot bind 127.0.0.1:69";
    }
    int32_t size = -7;
    EXPECT_EQ(kNoSuchFile, BRIDGE_GetTftpRemoteFileSize("127.0.0.1", 0, "port69.bin", &size));
    EXPECT_EQ(-7, size);
    std::vector<std::string> f = RequestFields(peer.FirstPacket());
    f.resize(1);
    EXPECT_EQ("port69.bin", f[0]);
}

TEST_F(TftpBridgeTest, UrlOfHostPortAndName) {
    struct Case {
        const char* host;
        uint32_t port;
        const char* name;
        const char* url;  // null: refused
    };
    const Case cases[] = {
        {"127.0.0.1", 0, "fw.bin", "tftp://127.0.0.1/fw.bin"},
        {"127.0.0.1", 69, "fw.bin", "tftp://127.0.0.1:69/fw.bin"},
        {"bmc-server.example", 1069, "a/b.bin", "tftp://bmc-server.example:1069/a/b.bin"},
        {"::1", 18069, "fw.bin", "tftp://[::1]:18069/fw.bin"},
        {"[::1]", 0, "fw.bin", "tftp://[::1]/fw.bin"},
        {"2001:db8::7", 69, "x", "tftp://[2001:db8::7]:69/x"},
        {"fe80::1%eth0", 69, "x", "tftp://[fe80::1%25eth0]:69/x"},
        {"::ffff:127.0.0.1", 0, "x", "tftp://[::ffff:127.0.0.1]/x"},
        {"h", 0, "a b#c?d;mode=netascii%41", "tftp://h/a%20b%23c%3Fd%3Bmode%3Dnetascii%2541"},
        {"h", 0, "/abs/path.bin", "tftp://h//abs/path.bin"},
        {"h", 0, "dir/../x", "tftp://h/dir/../x"},
        {"h", 0, "\xc3\xa9t\xc3\xa9.bin", "tftp://h/%C3%A9t%C3%A9.bin"},
        {"h", 65536, "x", nullptr},
        {"h/x", 0, "x", nullptr},
        {"[h]", 0, "x", nullptr},
        {"fe80::1%", 0, "x", nullptr},
        {"fe80::1%e/0", 0, "x", nullptr},
        {"h", 0, "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " " + c.name);
        char url[256];
        memset(url, 'z', sizeof url);
        int n = BRIDGE_TftpUrl(c.host, c.port, c.name, url, sizeof url);
        if (c.url == nullptr) {
            EXPECT_EQ(-1, n);
            EXPECT_EQ('z', url[0]);
        } else {
            ASSERT_EQ(static_cast<int>(strlen(c.url)), n);
            EXPECT_STREQ(c.url, url);
        }
    }
    // Too small a buffer: the length comes back, the buffer stays untouched.
    char small[8];
    memset(small, 'z', sizeof small);
    EXPECT_EQ(23, BRIDGE_TftpUrl("127.0.0.1", 0, "fw.bin", small, sizeof small));
    EXPECT_EQ('z', small[0]);
    EXPECT_EQ(23, BRIDGE_TftpUrl("127.0.0.1", 0, "fw.bin", nullptr, 0));
}

TEST_F(TftpBridgeTest, ConcurrentTransfersInSeveralThreads) {
    // Even threads download, odd ones upload, 1 MiB each.
    std::vector<std::string> data;
    std::vector<int> rc(6, -100);
    for (size_t i = 0; i < rc.size(); ++i) {
        data.push_back(RandomBytes(1u << 20, static_cast<unsigned>(100 + i)));
        (i % 2 == 0 ? Serve("conc-" + std::to_string(i), data[i])
                    : WriteFile(work_ + "/conc-" + std::to_string(i), data[i]));
    }
    std::vector<std::thread> threads;
    for (size_t i = 0; i < rc.size(); ++i) {
        threads.emplace_back([&, i] {
            std::string n = "conc-" + std::to_string(i);
            rc[i] =
                i % 2 == 0 ? Download(n, work_ + "/" + n, 1468) : Upload(work_ + "/" + n, n, 1024);
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (size_t i = 0; i < rc.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(0, rc[i]);
        std::string n = "conc-" + std::to_string(i);
        EXPECT_TRUE((i % 2 == 0 ? ReadFile(work_ + "/" + n) : Served(n)) == data[i]);
    }
}

TEST_F(TftpBridgeTest, NoHandleFromLibcurl) {
    ScriptedPeer peer({});
    ASSERT_TRUE(peer.Ok());
    faults().curlInitFails = true;
    std::string local = work_ + "/noinit.bin";
    WriteFile(local, "data");
    // 2: CURLE_FAILED_INIT, for transfers both ways and the size query.
    EXPECT_EQ(2, Transfer(true, local, "x.bin", 512, peer.Port()));
    EXPECT_EQ(2, Transfer(false, local, "x.bin", 512, peer.Port(), kNoProgress, 4));
    int32_t size = -7;
    EXPECT_EQ(2, BRIDGE_GetTftpRemoteFileSize("127.0.0.1", peer.Port(), "x.bin", &size));
    EXPECT_EQ(-7, size);
    faults().curlInitFails = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0, peer.Packets());
}
