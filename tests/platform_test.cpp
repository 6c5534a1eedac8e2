// The platform stand-ins as other programs see them: the TFTP bridge against a real
// tftpd-hpa on loopback (tests/servers/tftp-server.sh, found through FH_TFTP_ENV), with a
// scripted peer for answers no real server gives on demand and for looking at the request
// itself; then the task service, the operation log, the switch files and the process name.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
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

constexpr int kNoSuchFile = 68;       // CURLE_TFTP_NOTFOUND
constexpr int kFailed = -2;           // any code of a failed exchange, but not -1 (refused at once)
constexpr uint8_t kSizeQuery = 0xff;  // a row for BRIDGE_GetTftpRemoteFileSize
constexpr char kNoProgress[] = "/var/tmp/no-progress-file";

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool FdIsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// A transfer of a local file, opened like the task library does (a download O_WRONLY |
// O_CREAT, without O_TRUNC). The caller's descriptor must stay open.
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

// A UDP peer on 127.0.0.1 (on `port`, or any free one) that keeps the first packet it
// receives and answers the n-th packet with answers[n] (nothing when that is empty or
// beyond the list): a TFTP server that falls silent, skips a step or refuses on demand.
class ScriptedUdpPeer {
  public:
    explicit ScriptedUdpPeer(std::vector<std::string> answers, uint16_t port = 0)
        : answers_(std::move(answers)), port_(BindLoopback(SOCK_DGRAM, port, &fd_)) {
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedUdpPeer() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    bool Ok() const { return port_ != 0; }
    uint16_t Port() const { return port_; }
    int Packets() const { return packets_; }
    std::string FirstPacket() {
        std::lock_guard<std::mutex> l(mu_);
        return first_;
    }

  private:
    void Run() {
        char buf[70000];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        for (pollfd p{fd_, POLLIN, 0}; port_ != 0 && !stop_;) {
            ssize_t n = poll(&p, 1, 20) <= 0 ? 0
                                             : recvfrom(fd_, buf, sizeof buf, 0,
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
                (void)sendto(fd_, answers_[index].data(), answers_[index].size(), 0,
                             reinterpret_cast<const sockaddr*>(&from), len);
            }
        }
    }
    std::vector<std::string> answers_;
    int fd_ = -1;
    const uint16_t port_;
    std::atomic<bool> stop_{false};
    std::atomic<int> packets_{0};
    std::mutex mu_;
    std::string first_;
    std::thread thread_;
};

// What a scripted peer says: an option acknowledgement (tsize 1000000, blksize 512), a
// first data block of 512 bytes, the error "file not found".
const std::string kOack("\0\6tsize\0001000000\0blksize\000512", 28);  // with the closing NUL
const std::string kBlock1 = std::string("\0\3\0\1", 4) + std::string(512, 'x');
const std::string kNotFound("\0\5\0\1scripted\0", 13);

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

// An option's value among the fields, "<absent>" when it is not there.
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
        FH_REQUIRE_ENV("FH_TFTP_ENV");
        auto env = LoadEnvFile("FH_TFTP_ENV");
        port_ = std::stoi(env["TFTP_PORT"]);
        root_ = env["TEST_DIR"] + "/root";
        mkdir(work_.c_str(), 0755);
    }
    std::string Served(const std::string& name) const { return ReadFile(root_ + "/" + name); }
    void Serve(const std::string& name, const std::string& data) const {
        WriteFile(root_ + "/" + name, data);
    }
    int port_ = 0;
    std::string root_;
    const std::string work_ = "/var/tmp/tftp-bridge-test";
};

}  // namespace

// Contents of every shape under names that a URL or a text-mode transfer would change go
// both ways unchanged, and the size query reports their size.
TEST_F(TftpBridgeTest, TransfersByteForByteInBothDirections) {
    constexpr size_t kFourBlocks = SIZE_MAX;  // a size of four whole blocks
    BMC_System(("mkdir -p " + root_ + "/sub/dir").c_str());
    const std::pair<const char*, size_t> rows[] = {
        {"small.bin", 100},
        {"with space, whole blocks.bin", kFourBlocks},
        {"empty.bin", 0},
        {"3 MiB.bin", 3u << 20},
        {"hash#and?query;mode=netascii", 3000},
        {"percent%41+amp&eq=~..bin", 3000},
        {"sub/dir/nested.bin", 3000},
    };
    unsigned seed = 1;
    for (uint32_t blk : {512u, 1024u, 1468u}) {
        for (const auto& [name, bytes] : rows) {
            for (bool download : {true, false}) {
                SCOPED_TRACE(std::string(name) + ", block size " + std::to_string(blk) +
                             (download ? ", download" : ", upload"));
                size_t size = bytes == kFourBlocks ? 4 * blk : bytes;
                // Line ends and a NUL would change in a text-mode transfer.
                std::string data =
                    (std::string("line\r\nnext\nlast\r\0end", 20) + RandomBytes(size, ++seed))
                        .substr(0, size);
                std::string local = work_ + "/xfer.bin";
                unlink((root_ + "/" + name).c_str());
                if (download) {
                    // Over an older, longer file (without O_TRUNC): only the new bytes stay;
                    // every other time the host by name, which resolves to the same server.
                    WriteFile(local, std::string(size + 3 * blk, 'O'));
                    Serve(name, data);
                    ASSERT_EQ(0, Transfer(true, local, name, blk, port_, kNoProgress, 0,
                                          seed % 4 == 0 ? "localhost" : "127.0.0.1"));
                    EXPECT_TRUE(ReadFile(local) == data) << "downloaded content differs";
                } else {
                    WriteFile(local, data);
                    ASSERT_EQ(0, Transfer(false, local, name, blk, port_));
                    ASSERT_TRUE(FileExists(root_ + "/" + name));
                    EXPECT_TRUE(Served(name) == data) << "uploaded content differs";
                }
                int32_t got = -1;
                EXPECT_EQ(0, BRIDGE_GetTftpRemoteFileSize("127.0.0.1", port_, name, &got));
                EXPECT_EQ(static_cast<int32_t>(size), got);
            }
        }
    }
}

// While a transfer runs, the task's progress file gets one record per new percentage (and
// at most one a second besides), never torn, the last at 100 % (also when the caller
// announced more than the file holds). With no size known, or no progress file to begin
// with, nothing is written and no file made. Once the file is deleted and its path handed
// to a new task, the transfer stops and leaves that one alone.
TEST_F(TftpBridgeTest, ProgressRecords) {
    const int32_t size = 8 << 20;
    enum Expect { kRecords, kNothing, kStopped };
    const struct {
        const char* name;
        bool download, pipe;  // pipe: an upload read from a pipe (no size of its own)
        int32_t expected;     // for uploads: the size the caller announces
        bool progressExists;  // the progress file exists beforehand
        Expect expect;
    } cases[] = {
        {"download, size from the server", true, false, 0, true, kRecords},
        {"upload, size from the caller", false, false, size, true, kRecords},
        {"upload, size of the local file", false, false, 0, true, kRecords},
        {"upload, more announced than sent", false, false, size + 5000, true, kRecords},
        {"pipe upload, size from the caller", false, true, size, true, kRecords},
        {"pipe upload, no size known", false, true, 0, true, kNothing},
        {"download, no progress file", true, false, 0, false, kNothing},
        {"upload, no progress file", false, false, 0, false, kNothing},
        {"download, task deleted", true, false, 0, true, kStopped},
        {"upload, task deleted", false, false, 0, true, kStopped},
    };
    std::string data = RandomBytes(size, 5);
    std::string local = work_ + "/progress-data.bin", progress = work_ + "/task.progress";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        unlink(progress.c_str());
        if (c.progressExists) {
            WriteFile(progress, "");
        }
        c.download ? Serve("progress.bin", data) : WriteFile(local, data);
        unlink((c.download ? local : root_ + "/progress.bin").c_str());
        uint32_t now = FreezeClock();
        // A reader like the task library's (read lock, whole file) never sees part of a
        // record; a successor takes the path over once the first record is there.
        std::atomic<bool> done{false};
        int torn = 0;
        std::thread reader([&] {
            for (; !done; std::this_thread::sleep_for(std::chrono::microseconds(200))) {
                fh::UniqueFd fd(open(progress.c_str(), O_RDONLY | O_CLOEXEC));
                if (fd.Valid() && BRIDGE_LOCK_LTF_FILE_READ(fd.Get()) == 0) {
                    char buf[sizeof(ComponentProcess) + 1];
                    ssize_t n = pread(fd.Get(), buf, sizeof buf, 0);
                    BRIDGE_UNLOCK_LTF_FILE(fd.Get());
                    torn += n != 0 && n != static_cast<ssize_t>(sizeof(ComponentProcess));
                }
            }
        });
        std::thread successor([&] {
            if (c.expect == kStopped &&
                WaitUntil([&] { return done || !ReadFile(progress).empty(); }, 30000)) {
                unlink(progress.c_str());
                WriteFile(progress, "");
            }
        });
        auto start = Clock::now();
        int rc;
        if (c.pipe) {
            FILE* feed = popen(("cat " + local).c_str(), "re");
            ASSERT_NE(nullptr, feed);
            rc = BRIDGE_TFTP(BRIDGE_TFTP_UPLOAD, "127.0.0.1", "progress.bin", fileno(feed), port_,
                             512, progress.c_str(), c.expected);
            EXPECT_TRUE(FdIsOpen(fileno(feed)));
            pclose(feed);
        } else {
            rc = Transfer(c.download, local, "progress.bin", 512, port_, progress, c.expected);
        }
        double seconds = SecondsSince(start);
        done = true;
        reader.join();
        successor.join();
        EXPECT_EQ(0, torn) << "a reader saw a partial record";
        EXPECT_EQ(c.progressExists, FileExists(progress)) << "the bridge made the file";
        if (c.expect == kStopped) {
            EXPECT_NE(0, rc);
            EXPECT_EQ("", ReadFile(progress)) << "the new task's record was written";
            continue;
        }
        ASSERT_EQ(0, rc);
        EXPECT_TRUE((c.download ? ReadFile(local) : Served("progress.bin")) == data);
        if (c.expect == kNothing) {
            EXPECT_EQ("", ReadFile(progress));
            continue;
        }
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
            << "stage " << got.uiStage << " percent " << unsigned(got.ucPercent);
    }
}

// What the request carries: its opcode, the name as given (never resolved or re-encoded),
// octet mode, the block size and the size (0: asked of the server).
TEST_F(TftpBridgeTest, RequestOnTheWire) {
    struct Case {
        uint8_t type;
        const char* name;
        uint32_t blk;         // 0: not checked (a size query)
        int32_t expected;     // for uploads: the size the caller announces
        const char* tsize;    // the size the request carries
        bool port69 = false;  // asked with port 0, which means 69
    };
    const uint8_t kDown = BRIDGE_TFTP_DOWNLOAD, kUp = BRIDGE_TFTP_UPLOAD;
    const Case cases[] = {
        {kDown, "dir/fw image.bin", 1468, 0, "0"},
        {kDown, "dir/fw image.bin", 512, 0, "0"},
        {kUp, "dir/fw image.bin", 1024, 12345, "12345"},
        {kUp, "dir/fw image.bin", 1468, 0, "777"},  // the local file's size
        {kSizeQuery, "sub/../fw.bin", 0, 0, "0"},
        {kSizeQuery, "./fw.bin", 0, 0, "0"},
        {kSizeQuery, "/abs/fw.bin", 0, 0, "0"},
        {kSizeQuery, "a b#c?d;mode=netascii", 0, 0, "0"},
        {kSizeQuery, "%41%2F.bin", 0, 0, "0"},
        {kSizeQuery, "dir//double.bin", 0, 0, "0"},
        {kSizeQuery, "\xc3\xa9t\xc3\xa9.bin", 0, 0, "0"},
        {kSizeQuery, "port69.bin", 0, 0, "0", true},
    };
    std::string local = work_ + "/req.bin";
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + c.name + " " + std::to_string(c.blk));
        ScriptedUdpPeer peer({kNotFound}, c.port69 ? 69 : 0);
        if (c.port69 && !peer.Ok()) {
            continue;  // 127.0.0.1:69 is taken, or may not be bound here
        }
        ASSERT_TRUE(peer.Ok());
        uint32_t port = c.port69 ? 0 : peer.Port();
        WriteFile(local, std::string(777, 'r'));
        int32_t size = -7;
        EXPECT_EQ(kNoSuchFile, c.type == kSizeQuery
                                   ? BRIDGE_GetTftpRemoteFileSize("127.0.0.1", port, c.name, &size)
                                   : Transfer(c.type == kDown, local, c.name, c.blk, port,
                                              kNoProgress, c.expected));
        EXPECT_EQ(-7, size);
        std::string packet = peer.FirstPacket();
        EXPECT_EQ(std::string(c.type == kUp ? "\0\2" : "\0\1", 2), packet.substr(0, 2));
        std::vector<std::string> f = RequestFields(packet);
        if (c.blk != 0) {
            EXPECT_EQ(std::to_string(c.blk), Option(f, "blksize"));
        }
        EXPECT_EQ(c.tsize, Option(f, "tsize"));
        f.resize(2);
        EXPECT_EQ((std::vector<std::string>{c.name, "octet"}), f);
    }
}

// Every exchange ends on its own, in bounded time; a failed one with a code of its own and
// the caller's size untouched (a download of a missing file, whose size was never known,
// writes no record). All run at once, each in its own thread: bridges run in parallel.
TEST_F(TftpBridgeTest, ExchangesInParallelEndInBoundedTime) {
    ScriptedUdpPeer silentAfterSize({kOack}), silentAfterBlock({kOack, kBlock1});
    ScriptedUdpPeer skipsTheSize({kBlock1}), endsShort({kOack, kBlock1.substr(0, 104)});
    ASSERT_TRUE(silentAfterSize.Ok() && silentAfterBlock.Ok() && skipsTheSize.Ok() &&
                endsShort.Ok());
    const uint8_t kDown = BRIDGE_TFTP_DOWNLOAD, kUp = BRIDGE_TFTP_UPLOAD;
    const char* h = "127.0.0.1";
    const struct {
        const char* name;
        uint8_t type;
        const char* host;
        int port;
        const char* remote;
        int rc;
        double seconds = 30;  // the bound
        off_t sparse = -1;    // the remote file, created sparse of this size
    } cases[] = {
        {"download", kDown, h, port_, "par-1.bin", 0},
        {"another download", kDown, h, port_, "par-2.bin", 0},
        {"upload", kUp, h, port_, "par-3.bin", 0},
        {"another upload", kUp, h, port_, "par-4.bin", 0},
        {"closed port, download", kDown, h, 1, "x.bin", kFailed},
        {"closed port, upload", kUp, h, 1, "x.bin", kFailed},
        {"closed port, size query", kSizeQuery, h, 1, "x.bin", kFailed},
        {"IPv6 loopback, nothing listening", kDown, "::1", port_, "x.bin", kFailed},
        {"silent after the size", kDown, h, silentAfterSize.Port(), "x.bin", kFailed},
        {"silent after a block", kDown, h, silentAfterBlock.Port(), "x.bin", kFailed},
        {"ends short of the announced size", kDown, h, endsShort.Port(), "x.bin", kFailed},
        // Far too short to move the file: only the size was asked for.
        {"size skipped", kSizeQuery, h, skipsTheSize.Port(), "x.bin", kFailed, 5},
        {"missing file", kDown, h, port_, "no-such-file.bin", kNoSuchFile},
        {"missing directory", kDown, h, port_, "no-such-dir/x.bin", kNoSuchFile},
        {"upload into a missing directory", kUp, h, port_, "no-such-dir/x.bin", kFailed},
        {"size of a missing file", kSizeQuery, h, port_, "none.bin", kNoSuchFile, 5},
        {"largest 32-bit size", kSizeQuery, h, port_, "max.bin", 0, 5, INT32_MAX},
        {"beyond 32 bits", kSizeQuery, h, port_, "big.bin", kFailed, 5,
         static_cast<off_t>(INT32_MAX) + 1},
    };
    const std::string data = RandomBytes(1u << 20, 8);
    struct Result {
        int rc;
        int32_t size;
        double seconds;
    };
    std::vector<std::future<Result>> results;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        unlink((root_ + "/" + c.remote).c_str());
        if (c.sparse >= 0) {
            fh::UniqueFd fd(
                open((root_ + "/" + c.remote).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
            ASSERT_EQ(0, ftruncate(fd.Get(), c.sparse));
        } else if (c.type == kDown && c.rc == 0) {
            Serve(c.remote, data);
        }
        std::string base = work_ + "/par-" + std::to_string(i);
        WriteFile(base + ".bin", c.type == kDown ? "older content" : data);
        WriteFile(base + ".progress", "");
        results.push_back(std::async(std::launch::async, [&c, base] {
            auto start = Clock::now();
            Result r{0, 77, 0};
            r.rc = c.type == kSizeQuery
                       ? BRIDGE_GetTftpRemoteFileSize(c.host, c.port, c.remote, &r.size)
                       : Transfer(c.type == kDown, base + ".bin", c.remote, 512, c.port,
                                  base + ".progress", c.type == kUp ? 1 << 20 : 0, c.host);
            r.seconds = SecondsSince(start);
            return r;
        }));
    }
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.name);
        Result r = results[i].get();
        std::string base = work_ + "/par-" + std::to_string(i);
        if (c.rc == kFailed) {
            EXPECT_NE(0, r.rc);
            EXPECT_NE(-1, r.rc) << "refused as a bad argument";
        } else {
            EXPECT_EQ(c.rc, r.rc);
        }
        EXPECT_EQ(c.type == kSizeQuery && c.rc == 0 ? c.sparse : 77, r.size)
            << "size changed on failure";
        EXPECT_LT(r.seconds, c.seconds);
        if (c.type != kSizeQuery && c.rc == 0) {
            EXPECT_TRUE((c.type == kDown ? ReadFile(base + ".bin") : Served(c.remote)) == data);
        } else if (c.rc == kNoSuchFile && c.type == kDown) {
            EXPECT_EQ("", ReadFile(base + ".progress")) << "a record without a known size";
        } else if (c.type == kUp && !ReadFile(base + ".progress").empty()) {
            EXPECT_EQ(0, ReadRecord(base + ".progress").ucPercent);
        }
    }
    EXPECT_GE(silentAfterBlock.Packets(), 2) << "the scripted peer was never asked";
}

// Arguments no call accepts, and a libcurl without handles, fail before any request.
TEST_F(TftpBridgeTest, RefusedCallsSendNothing) {
    ScriptedUdpPeer peer({});
    ASSERT_TRUE(peer.Ok());
    const uint32_t port = peer.Port();  // where any case that reached the network would go
    fh::UniqueFd fd(open((work_ + "/bad.bin").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd.Valid());
    const char* h = "127.0.0.1";
    const char* p = "/var/tmp/none";
    int32_t size = 5;
    struct Case {
        const char* name;
        uint8_t type;  // 1 download, 2 upload, kSizeQuery
        const char* host;
        const char* remote;
        int fd;
        uint32_t port;
        uint32_t blk;
        const char* progress;  // for a size query: null passes no size
        int rc = -1;
        bool noCurlHandle = false;
    };
    const Case cases[] = {
        {"null host", 1, nullptr, "x", fd.Get(), port, 512, p},
        {"null remote name", 1, h, nullptr, fd.Get(), port, 512, p},
        {"null progress file", 1, h, "x", fd.Get(), port, 512, nullptr},
        {"handle type 3", 3, h, "x", fd.Get(), port, 512, p},
        {"negative descriptor", 1, h, "x", -1, port, 512, p},
        {"block size 7", 2, h, "x", fd.Get(), port, 7, p},
        {"block size 65465", 1, h, "x", fd.Get(), port, 65465, p},
        {"port 65536", 1, h, "x", fd.Get(), 65536, 512, p},
        {"empty host", 1, "", "x", fd.Get(), port, 512, p},
        {"empty remote name", 2, h, "", fd.Get(), port, 512, p},
        {"host with a path", 1, "127.0.0.1/evil", "x", fd.Get(), port, 512, p},
        {"host with user info", 1, "user@127.0.0.1", "x", fd.Get(), port, 512, p},
        {"host with a port", 1, "127.0.0.1:69", "x", fd.Get(), port, 512, p},
        {"unclosed IPv6 bracket", 1, "[::1", "x", fd.Get(), port, 512, p},
        {"size: null host", kSizeQuery, nullptr, "x", 0, port, 0, p},
        {"size: null remote name", kSizeQuery, h, nullptr, 0, port, 0, p},
        {"size: null size", kSizeQuery, h, "x", 0, port, 0, nullptr},
        {"size: port 65536", kSizeQuery, h, "x", 0, 65536, 0, p},
        {"size: empty remote name", kSizeQuery, h, "", 0, port, 0, p},
        // 2: CURLE_FAILED_INIT.
        {"no handle, download", 1, h, "x", fd.Get(), port, 512, p, 2, true},
        {"no handle, upload", 2, h, "x", fd.Get(), port, 512, p, 2, true},
        {"no handle, size", kSizeQuery, h, "x", 0, port, 0, p, 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        faults().curlInitFails = c.noCurlHandle;
        EXPECT_EQ(c.rc, c.type == kSizeQuery
                            ? BRIDGE_GetTftpRemoteFileSize(c.host, c.port, c.remote,
                                                           c.progress != nullptr ? &size : nullptr)
                            : BRIDGE_TFTP(c.type, c.host, c.remote, c.fd, c.port, c.blk, c.progress,
                                          c.type == 2 ? 4 : 0));
    }
    faults().curlInitFails = false;
    EXPECT_EQ(5, size);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0, peer.Packets()) << "a refused call sent a request";
    EXPECT_TRUE(FdIsOpen(fd.Get()));
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

// ---- the task service, operation log, switches and process name ----

using PlatformTest = FhTest;

TEST_F(PlatformTest, TaskServiceRecordsAreSharedAndBounded) {
    TaskServiceRegistration reg{};
    strcpy(reg.szName, "test task");
    TaskServiceTaskInfo info{};
    ASSERT_EQ(0, TASK_TaskServiceRegister(&reg, &info, &info.uiStartTime, 9));
    uint32_t id = info.uiTaskId;
    EXPECT_EQ(id, TASK_TaskServiceLastId());

    TaskServiceStoredUpdate upd{};
    ASSERT_EQ(0, TASK_TaskServiceRead(id, nullptr, &upd));
    EXPECT_EQ(0u, upd.uiCount);

    TaskServiceUpdate u{};
    u.uiTaskId = id;
    u.ucPercent = 42;
    ASSERT_EQ(0, TASK_TaskServiceUpdate(&u));
    for (uint32_t unknown : {id + 1000, 0u}) {
        u.uiTaskId = unknown;
        EXPECT_NE(0, TASK_TaskServiceUpdate(&u)) << "an unknown task was updated";
    }

    // Another process reads what this one wrote.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TaskServiceStoredRegistration r{};
        TaskServiceStoredUpdate v{};
        bool same = TASK_TaskServiceRead(id, &r, &v) == 0 && r.uiKind == 9 &&
                    strcmp(r.stRecord.szName, "test task") == 0 && v.uiCount == 1 &&
                    v.stRecord.ucPercent == 42;
        _exit(same ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the other process saw " << status;

    // Only the latest TASK_SERVICE_SLOTS tasks are kept.
    for (uint32_t i = 0; i < TASK_SERVICE_SLOTS; ++i) {
        ASSERT_EQ(0, TASK_TaskServiceRegister(&reg, &info, nullptr, 9));
    }
    EXPECT_EQ(id + TASK_SERVICE_SLOTS, info.uiTaskId);
    EXPECT_EQ(-1, TASK_TaskServiceRead(id, nullptr, nullptr));
    u.uiTaskId = id;
    EXPECT_EQ(-1, TASK_TaskServiceUpdate(&u)) << "a forgotten task was updated";
    ASSERT_EQ(0, TASK_TaskServiceRead(info.uiTaskId, nullptr, &upd));
    EXPECT_EQ(0u, upd.uiCount) << "the new task inherited its slot's update";
}

// A named lock keeps out every other holder, one that only reads too; a progress record's
// write lock keeps out its readers. Each lets them in once released.
TEST_F(PlatformTest, LocksKeepOutOtherHolders) {
    BMC_LOCK_HANDLE named = 0;
    ASSERT_EQ(0, BMC_FileLock_AcquireLock("platform-test.lock", &named));
    fh::UniqueFd other(open(BMC_LOCK_DIR "/platform-test.lock", O_RDONLY | O_CLOEXEC));
    EXPECT_NE(0, flock(other.Get(), LOCK_SH | LOCK_NB)) << "a reader got in beside the holder";
    ASSERT_EQ(0, BMC_FileLock_ReleaseLock(named));
    EXPECT_EQ(0, flock(other.Get(), LOCK_SH | LOCK_NB));

    const char* record = "/var/tmp/platform-test.progress";
    WriteFile(record, "");
    fh::UniqueFd writer(open(record, O_RDWR | O_CLOEXEC)),
        reader(open(record, O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(0, BRIDGE_LOCK_LTF_FILE_WRITE(writer.Get()));
    struct flock shared {};
    shared.l_type = F_RDLCK;
    EXPECT_NE(0, fcntl(reader.Get(), F_OFD_SETLK, &shared)) << "a reader got in beside the writer";
    ASSERT_EQ(0, BRIDGE_UNLOCK_LTF_FILE(writer.Get()));
    EXPECT_EQ(0, fcntl(reader.Get(), F_OFD_SETLK, &shared));
}

TEST_F(PlatformTest, OperationLogEntryIsOneLine) {
    unlink(BMC_OPERATE_LOG_PATH);
    OperateLogOrigin origin{};
    strcpy(origin.szInterface, "CLI");
    memset(origin.szSource, 'u', sizeof origin.szSource);  // not terminated in its field
    origin.uiOriginId = 7;
    ASSERT_EQ(0, OPERATELOG_AddLogComm(7, 'c', "two\nlines \"quoted\"", &origin, origin.szSource,
                                       12, 254));
    std::string text = ReadFile(BMC_OPERATE_LOG_PATH);
    ASSERT_EQ(1, std::count(text.begin(), text.end(), '\n')) << text;
    EXPECT_EQ((std::vector<OpEntry>{{"7", "CLI", std::string(47, 'u'), "c", "12", "254",
                                     "two\\x0alines \\x22quoted\\x22"}}),
              OperationLog());
}

TEST_F(PlatformTest, SwitchFiles) {
    struct Case {
        const char* content;  // null: no file
        int rc;
        uint8_t value;
    };
    const Case cases[] = {
        {"3\n", 0, 3},  {" 255 ", 0, 255}, {"007", 0, 7}, {"0", 0, 0},     {"256", -1, 99},
        {"-1", -1, 99}, {"3x", -1, 99},    {"", -1, 99},  {"3 4", -1, 99}, {nullptr, -1, 99},
    };
    std::string cap = std::string(BMC_CAPABILITY_DIR) + "/Customer.SupportUploadLogo";
    BMC_System((std::string("mkdir -p ") + BMC_CAPABILITY_DIR).c_str());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content != nullptr ? c.content : "(no file)");
        for (const std::string& path : {std::string(BMC_OEM_FLAG_PATH), cap}) {
            unlink(path.c_str());
            if (c.content != nullptr) {
                WriteFile(path, c.content);
            }
        }
        uint8_t flag = 99;
        uint8_t value = 99;
        EXPECT_EQ(c.rc, BMC_GetOemFlag(&flag));
        EXPECT_EQ(c.value, flag);
        EXPECT_EQ(c.rc, CAP_GetCharCapabilityWithName("Customer", "SupportUploadLogo", &value));
        EXPECT_EQ(c.value, value);
    }
    uint8_t value = 99;
    WriteFile(std::string(BMC_CAPABILITY_DIR) + "/x", "1");
    EXPECT_EQ(-1, CAP_GetCharCapabilityWithName("../capabilities", "x", &value));
    EXPECT_EQ(-1, CAP_GetCharCapabilityWithName("Customer", "", &value));
    EXPECT_EQ(99, value);
}

TEST_F(PlatformTest, ProcessNameIsCutToTheBuffer) {
    std::string want = ReadFile("/proc/self/comm");
    want.resize(want.find('\n'));
    char name[128];
    char small[4];
    ASSERT_EQ(0, BMC_GetCurrentProcessName(sizeof name, name));
    ASSERT_EQ(0, BMC_GetCurrentProcessName(sizeof small, small));
    EXPECT_EQ(want, name);
    EXPECT_EQ(want.substr(0, 3), small);
}
