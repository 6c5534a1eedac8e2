// The platform stand-ins as other programs see them: the TFTP bridge against a real
// tftpd-hpa on loopback (FH_TFTP_ENV), with a scripted peer for answers no real server gives
// on demand and for looking at the request itself; then the task service, the locks, the
// operation log, the switch files and the process name.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <iterator>

#include "common/raii.h"
#include "tests/support.h"

using namespace fhtest;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kNoSuchFile = 68;  // CURLE_TFTP_NOTFOUND
constexpr int kFailed = -2;      // any code of a failed exchange, but not -1 (refused at once)
constexpr uint8_t kDown = BRIDGE_TFTP_DOWNLOAD, kUp = BRIDGE_TFTP_UPLOAD;
constexpr uint8_t kSizeQuery = 0xff;  // a row for BRIDGE_GetTftpRemoteFileSize
constexpr char kNoProgress[] = "/var/tmp/no-progress-file";

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool FdIsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// A transfer of a local file, opened like the task library does (a download O_WRONLY |
// O_CREAT, without O_TRUNC), or a size query into *size. The caller's descriptor stays open.
int Call(uint8_t type, const std::string& local, const std::string& remote, uint32_t blk, int port,
         const std::string& progress = kNoProgress, int32_t expected = 0,
         const char* host = "127.0.0.1", int32_t* size = nullptr) {
    if (type == kSizeQuery) {
        return BRIDGE_GetTftpRemoteFileSize(host, uint32_t(port), remote.c_str(), size);
    }
    fh::UniqueFd fd(open(local.c_str(),
                         type == kDown ? O_WRONLY | O_CREAT | O_CLOEXEC : O_RDONLY | O_CLOEXEC,
                         0644));
    EXPECT_TRUE(fd.Valid());
    int rc = BRIDGE_TFTP(type, host, remote.c_str(), fd.Get(), uint32_t(port), blk,
                         progress.c_str(), expected);
    EXPECT_TRUE(FdIsOpen(fd.Get())) << "the bridge closed the caller's descriptor";
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
    // Written only before the count leaves 0, so read without a lock once it has.
    std::string FirstPacket() const { return packets_ > 0 ? first_ : ""; }

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
            if (packets_ == 0) {
                first_.assign(buf, size_t(n));
            }
            size_t i = size_t(packets_++);
            if (i < answers_.size() && !answers_[i].empty()) {
                (void)sendto(fd_, answers_[i].data(), answers_[i].size(), 0,
                             reinterpret_cast<const sockaddr*>(&from), len);
            }
        }
    }
    std::vector<std::string> answers_;
    int fd_ = -1;
    const uint16_t port_;
    std::atomic<bool> stop_{false};
    std::atomic<int> packets_{0};
    std::string first_;
    std::thread thread_;
};

// What a scripted peer says: an option acknowledgement (tsize 1000000, blksize 512), a
// first data block of 512 bytes, the error "file not found".
const std::string kOack("\0\6tsize\0001000000\0blksize\000512", 28);  // with the closing NUL
const std::string kBlock1 = std::string("\0\3\0\1", 4) + std::string(512, 'x');
const std::string kNotFound("\0\5\0\1scripted\0", 13);

class TftpBridgeTest : public FhTest {
  protected:
    void SetUp() override {
        FhTest::SetUp();
        FH_REQUIRE_ENV("FH_TFTP_ENV");
        auto env = LoadEnvFile("FH_TFTP_ENV");
        port_ = std::stoi(env["TFTP_PORT"]);
        root_ = env["TEST_DIR"] + "/root/";
        mkdir(work_.c_str(), 0755);
    }
    int port_ = 0;
    std::string root_;
    const std::string work_ = "/var/tmp/tftp-bridge-test/";
};

}  // namespace

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
        uint8_t type;
        bool pipe;            // an upload read from a pipe (no size of its own)
        int32_t expected;     // for uploads: the size the caller announces
        bool progressExists;  // the progress file exists beforehand
        Expect expect;
    } cases[] = {
        {"download, size from the server", kDown, false, 0, true, kRecords},
        {"upload, size from the caller", kUp, false, size, true, kRecords},
        {"upload, size of the local file", kUp, false, 0, true, kRecords},
        {"upload, more announced than sent", kUp, false, size + 5000, true, kRecords},
        {"pipe upload, no size known", kUp, true, 0, true, kNothing},
        {"download, no progress file", kDown, false, 0, false, kNothing},
        {"download, task deleted", kDown, false, 0, true, kStopped},
        {"upload, task deleted", kUp, false, 0, true, kStopped},
    };
    std::string data = RandomBytes(size, 5);
    std::string local = work_ + "progress-data.bin", progress = work_ + "task.progress";
    std::string served = root_ + "progress.bin";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        unlink(progress.c_str());
        if (c.progressExists) {
            WriteFile(progress, "");
        }
        WriteFile(c.type == kDown ? served : local, data);
        unlink((c.type == kDown ? local : served).c_str());
        uint32_t now = FreezeClock();
        // A reader like the task library's (read lock, whole file) never sees part of a
        // record; once the first record is there, a successor may take the path over.
        std::atomic<bool> done{false};
        int torn = 0;
        bool replaced = false;
        std::thread reader([&] {
            for (; !done; std::this_thread::sleep_for(std::chrono::microseconds(200))) {
                fh::UniqueFd fd(open(progress.c_str(), O_RDONLY | O_CLOEXEC));
                if (fd.Valid() && BRIDGE_LOCK_LTF_FILE_READ(fd.Get()) == 0) {
                    char buf[sizeof(ComponentProcess) + 1];
                    ssize_t n = pread(fd.Get(), buf, sizeof buf, 0);
                    BRIDGE_UNLOCK_LTF_FILE(fd.Get());
                    torn += n != 0 && n != ssize_t(sizeof(ComponentProcess));
                    if (n != 0 && c.expect == kStopped && !replaced) {
                        replaced = true;
                        unlink(progress.c_str());
                        WriteFile(progress, "");
                    }
                }
            }
        });
        auto start = Clock::now();
        FILE* feed = c.pipe ? popen(("cat " + local).c_str(), "re") : nullptr;
        int rc = Call(c.type, feed ? "/dev/fd/" + std::to_string(fileno(feed)) : local,
                      "progress.bin", 512, port_, progress, c.expected);
        if (feed != nullptr) {
            pclose(feed);
        }
        double seconds = SecondsSince(start);
        done = true;
        reader.join();
        EXPECT_EQ(0, torn) << "a reader saw a partial record";
        EXPECT_EQ(c.progressExists, FileExists(progress)) << "the bridge made the file";
        if (c.expect == kStopped) {
            EXPECT_NE(0, rc);
            EXPECT_EQ("", ReadFile(progress)) << "the new task's record was written";
            continue;
        }
        ASSERT_EQ(0, rc);
        EXPECT_TRUE(ReadFile(c.type == kDown ? local : served) == data);
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
        EXPECT_LE(seen.size(), 101 + size_t(seconds) + 2);
        // The last record: stage 1 at 100 %, every byte after the description zero.
        ComponentProcess want{1, 0, now, 100, "File transfer....", "", {}};
        ComponentProcess got = ReadRecord(progress);
        EXPECT_EQ(0, memcmp(&want, &got, sizeof want))
            << "stage " << got.uiStage << " percent " << unsigned(got.ucPercent);
    }
}

// What the request carries: its opcode, the name as given (never resolved or re-encoded),
// octet mode, the block size and the size (0: asked of the server). Arguments no call
// accepts, and a libcurl without handles, fail before any request.
TEST_F(TftpBridgeTest, RequestOnTheWire) {
    const struct {
        uint8_t type;
        const char* name;
        uint32_t blk;         // 0: not checked (a size query)
        int32_t expected;     // for uploads: the size the caller announces
        const char* tsize;    // the size the request carries
        bool port69 = false;  // asked with port 0, which means 69
    } cases[] = {
        {kDown, "dir/fw image.bin", 1468, 0, "0"},
        {kUp, "dir/fw image.bin", 1024, 12345, "12345"},
        {kUp, "dir/fw image.bin", 1468, 0, "777"},  // the local file's size
        {kSizeQuery, "sub/../a b#c?d;mode=netascii%41%2F//\xc3\xa9t\xc3\xa9.bin", 0, 0, "0"},
        {kSizeQuery, "/abs/fw.bin", 0, 0, "0"},
        {kSizeQuery, "port69.bin", 0, 0, "0", true},
    };
    std::string local = work_ + "req.bin";
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + c.name + " " + std::to_string(c.blk));
        ScriptedUdpPeer peer({kNotFound}, c.port69 ? 69 : 0);
        if (c.port69 && !peer.Ok()) {
            continue;  // 127.0.0.1:69 is taken, or may not be bound here
        }
        ASSERT_TRUE(peer.Ok());
        WriteFile(local, std::string(777, 'r'));
        int32_t size = -7;
        EXPECT_EQ(kNoSuchFile, Call(c.type, local, c.name, c.blk, c.port69 ? 0 : peer.Port(),
                                    kNoProgress, c.expected, "127.0.0.1", &size));
        EXPECT_EQ(-7, size);
        // Opcode, name, mode; then options, each a NUL-closed name and value.
        std::string packet = peer.FirstPacket(), nul(1, '\0');
        std::string head = std::string(c.type == kUp ? "\0\2" : "\0\1", 2) + c.name + nul;
        EXPECT_EQ(head + "octet" + nul, packet.substr(0, head.size() + 6));
        auto has = [&](std::string option) {
            return packet.find(nul + option + nul) != std::string::npos;
        };
        EXPECT_TRUE(has("tsize" + nul + c.tsize)) << "tsize";
        EXPECT_TRUE(c.blk == 0 || has("blksize" + nul + std::to_string(c.blk))) << "blksize";
    }

    ScriptedUdpPeer peer({});
    ASSERT_TRUE(peer.Ok());
    const uint32_t port = peer.Port();  // where any call that reached the network would go
    fh::UniqueFd fd(open((work_ + "bad.bin").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd.Valid());
    const int f = fd.Get();
    const char *h = "127.0.0.1", *p = "/var/tmp/none";
    int32_t size = 5;
    const struct {
        uint8_t type;  // 1 download, 2 upload, kSizeQuery
        const char *host, *remote;
        int fd;
        uint32_t blk;
        const char* progress;  // for a size query: null passes no size
        int rc = -1;           // 2: CURLE_FAILED_INIT, when libcurl has no handle
    } refused[] = {
        {1, nullptr, "x", f, 512, p},
        {1, h, nullptr, f, 512, p},
        {1, h, "x", f, 512, nullptr},
        {3, h, "x", f, 512, p},
        {1, h, "x", -1, 512, p},
        {2, h, "x", f, 7, p},
        {1, h, "x", f, 65465, p},
        {2, "127.0.0.1/evil", "x", f, 512, p},
        {kSizeQuery, nullptr, "x", 0, 0, p},
        {kSizeQuery, h, nullptr, 0, 0, p},
        {kSizeQuery, h, "x", 0, 0, nullptr},
        {kSizeQuery, h, "", 0, 0, p},
        {1, h, "x", f, 512, p, 2},
        {kSizeQuery, h, "x", 0, 0, p, 2},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(&c - refused);
        faults().curlInitFails = c.rc == 2;
        EXPECT_EQ(c.rc, c.type == kSizeQuery
                            ? BRIDGE_GetTftpRemoteFileSize(c.host, port, c.remote,
                                                           c.progress != nullptr ? &size : nullptr)
                            : BRIDGE_TFTP(c.type, c.host, c.remote, c.fd, port, c.blk, c.progress,
                                          c.type == 2 ? 4 : 0));
    }
    faults().curlInitFails = false;
    EXPECT_EQ(5, size);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0, peer.Packets()) << "a refused call sent a request";
    EXPECT_TRUE(FdIsOpen(f));
}

// Contents of every shape go both ways unchanged at any block size, over an older and longer
// file (without O_TRUNC) on download, and a size query reports the size of any file. Every
// exchange ends on its own, in bounded time; a failed one with a code of its own and the
// caller's size untouched (a download of a missing file, whose size was never known, writes
// no record). All run at once, each in its own thread: bridges run in parallel.
TEST_F(TftpBridgeTest, ExchangesInParallelEndInBoundedTime) {
    ScriptedUdpPeer silentAfterSize({kOack}), silentAfterBlock({kOack, kBlock1});
    ScriptedUdpPeer skipsTheSize({kBlock1}), endsShort({kOack, kBlock1.substr(0, 104)});
    ASSERT_TRUE(silentAfterSize.Ok() && silentAfterBlock.Ok() && skipsTheSize.Ok() &&
                endsShort.Ok());
    const char* h = "127.0.0.1";
    const struct {
        const char* name;
        uint8_t type;
        int port;
        const char* remote;
        int rc;
        off_t size = 1 << 20;  // of the file moved; of a size query's file (made sparse)
        uint32_t blk = 512;
        const char* host = "127.0.0.1";
        double seconds = 30;  // the bound
    } cases[] = {
        {"download", kDown, port_, "par-1.bin", 0},
        {"upload", kUp, port_, "par-2.bin", 0},
        {"empty download", kDown, port_, "par-3.bin", 0, 0},
        {"empty upload", kUp, port_, "par-4.bin", 0, 0},
        {"small download by host name", kDown, port_, "par-5.bin", 0, 100, 1024, "localhost"},
        {"small upload", kUp, port_, "par-6.bin", 0, 100, 1468},
        {"download of whole blocks", kDown, port_, "par-7.bin", 0, 4 * 1468, 1468},
        {"upload of whole blocks", kUp, port_, "par-8.bin", 0, 4 * 1024, 1024},
        {"3 MiB download", kDown, port_, "par-9.bin", 0, 3 << 20, 1468},
        {"3 MiB upload", kUp, port_, "par-10.bin", 0, 3 << 20, 1024},
        {"closed port, download", kDown, 1, "x.bin", kFailed},
        {"closed port, size query", kSizeQuery, 1, "x.bin", kFailed},
        {"silent after the size", kDown, silentAfterSize.Port(), "x.bin", kFailed},
        {"silent after a block", kDown, silentAfterBlock.Port(), "x.bin", kFailed},
        {"ends short of the announced size", kDown, endsShort.Port(), "x.bin", kFailed},
        // Far too short to move the file: only the size was asked for.
        {"size skipped", kSizeQuery, skipsTheSize.Port(), "x.bin", kFailed, 0, 0, h, 5},
        {"missing file", kDown, port_, "no-such-file.bin", kNoSuchFile},
        {"upload into a missing directory", kUp, port_, "no-such-dir/x.bin", kFailed},
        {"size of a missing file", kSizeQuery, port_, "none.bin", kNoSuchFile, 0, 0, h, 5},
        {"size of an empty file", kSizeQuery, port_, "size-0.bin", 0, 0, 0, h, 5},
        {"size of a small file", kSizeQuery, port_, "size-100.bin", 0, 100, 0, h, 5},
        {"largest 32-bit size", kSizeQuery, port_, "max.bin", 0, INT32_MAX, 0, h, 5},
        {"beyond 32 bits", kSizeQuery, port_, "big.bin", kFailed, off_t{INT32_MAX} + 1, 0, h, 5},
    };
    struct Result {
        int rc;
        int32_t size;
        double seconds;
    };
    std::vector<std::future<Result>> results;
    std::vector<std::string> data;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        std::string remote = root_ + c.remote, base = work_ + "par-" + std::to_string(i);
        std::string bytes = c.type == kSizeQuery ? "" : RandomBytes(size_t(c.size), unsigned(i));
        // Line ends and a NUL would change in a text-mode transfer.
        data.push_back(
            (std::string("line\r\nnext\nlast\r\0end", 20) + bytes).substr(0, bytes.size()));
        unlink(remote.c_str());
        if (c.type == kSizeQuery && c.rc != kNoSuchFile) {
            WriteFile(remote, "");
            ASSERT_EQ(0, truncate(remote.c_str(), c.size));
        } else if (c.type == kDown && c.rc == 0) {
            WriteFile(remote, data[i]);
        }
        WriteFile(base + ".bin", c.type == kDown ? std::string(c.size + 3000, 'O') : data[i]);
        WriteFile(base + ".progress", "");
        results.push_back(std::async(std::launch::async, [&c, base] {
            auto start = Clock::now();
            Result r{0, 77, 0};
            r.rc = Call(c.type, base + ".bin", c.remote, c.blk, c.port, base + ".progress",
                        c.type == kUp ? int32_t(c.size) : 0, c.host, &r.size);
            r.seconds = SecondsSince(start);
            return r;
        }));
    }
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.name);
        Result r = results[i].get();
        std::string base = work_ + "par-" + std::to_string(i);
        if (c.rc == kFailed) {
            EXPECT_NE(0, r.rc);
            EXPECT_NE(-1, r.rc) << "refused as a bad argument";
        } else {
            EXPECT_EQ(c.rc, r.rc);
        }
        EXPECT_EQ(c.type == kSizeQuery && c.rc == 0 ? c.size : 77, r.size)
            << "size changed on failure";
        EXPECT_LT(r.seconds, c.seconds);
        if (c.type != kSizeQuery && c.rc == 0) {
            EXPECT_TRUE(ReadFile(c.type == kDown ? base + ".bin" : root_ + c.remote) == data[i])
                << "content differs";
        } else if (c.rc == kNoSuchFile && c.type == kDown) {
            EXPECT_EQ("", ReadFile(base + ".progress")) << "a record without a known size";
        } else if (c.type == kUp && !ReadFile(base + ".progress").empty()) {
            EXPECT_EQ(0, ReadRecord(base + ".progress").ucPercent);
        }
    }
    EXPECT_GE(silentAfterBlock.Packets(), 2) << "the scripted peer was never asked";
}

// The URL of a host, port and name (null: refused, the buffer untouched); too small a
// buffer gets the length back and stays untouched.
TEST_F(TftpBridgeTest, UrlOfHostPortAndName) {
    const struct {
        const char* host;
        uint32_t port;
        const char *name, *url;
    } cases[] = {
        {"127.0.0.1", 0, "fw.bin", "tftp://127.0.0.1/fw.bin"},
        {"127.0.0.1", 69, "fw.bin", "tftp://127.0.0.1:69/fw.bin"},
        {"bmc-server.example", 1069, "a/b.bin", "tftp://bmc-server.example:1069/a/b.bin"},
        {"::1", 18069, "fw.bin", "tftp://[::1]:18069/fw.bin"},
        {"[::1]", 0, "fw.bin", "tftp://[::1]/fw.bin"},
        {"fe80::1%eth0", 69, "x", "tftp://[fe80::1%25eth0]:69/x"},
        {"h", 0, "a b#c?d;mode=netascii%41", "tftp://h/a%20b%23c%3Fd%3Bmode%3Dnetascii%2541"},
        {"h", 0, "/abs/path.bin", "tftp://h//abs/path.bin"},
        // A host of more than letters, digits, '.', '-', '_' is refused.
        {"h", 65536, "x", nullptr},
        {"h/x", 0, "x", nullptr},
        {"[::1", 0, "x", nullptr},
        {"[h]", 0, "x", nullptr},
        {"fe80::1%", 0, "x", nullptr},
        {"fe80::1%e/0", 0, "x", nullptr},
        {"", 0, "x", nullptr},
        {"h", 0, "", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " " + c.name);
        char url[256];
        memset(url, 'z', sizeof url);
        int n = BRIDGE_TftpUrl(c.host, c.port, c.name, url, sizeof url);
        EXPECT_EQ(c.url ? int(strlen(c.url)) : -1, n);
        EXPECT_EQ(c.url ? c.url : std::string(sizeof url, 'z'),
                  std::string(url, strnlen(url, 256)));
    }
    char small[8];
    memset(small, 'z', sizeof small);
    EXPECT_EQ(23, BRIDGE_TftpUrl("127.0.0.1", 0, "fw.bin", small, sizeof small));
    EXPECT_EQ('z', small[0]);
    EXPECT_EQ(23, BRIDGE_TftpUrl("127.0.0.1", 0, "fw.bin", nullptr, 0));
}

// ---- the task service, locks, operation log, switches and process name ----

using PlatformTest = FhTest;

// Another process reads what this one registered and updated; only the latest
// TASK_SERVICE_SLOTS tasks are kept, and a new task does not inherit its slot's update.
TEST_F(PlatformTest, TaskServiceRecordsAreSharedAndBounded) {
    TaskServiceRegistration reg{};
    strcpy(reg.szName, "test task");
    TaskServiceTaskInfo info{};
    ASSERT_EQ(0, TASK_TaskServiceRegister(&reg, &info, &info.uiStartTime, 9));
    uint32_t id = info.uiTaskId;
    EXPECT_EQ(id, TASK_TaskServiceLastId());
    TaskServiceUpdate u{};
    u.ucPercent = 42;
    for (uint32_t task : {id + 1000, 0u, id}) {
        u.uiTaskId = task;
        EXPECT_EQ(task == id ? 0 : -1, TASK_TaskServiceUpdate(&u)) << task;
    }
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TaskServiceStoredRegistration r{};
        TaskServiceStoredUpdate v{};
        _exit(TASK_TaskServiceRead(id, &r, &v) == 0 && r.uiKind == 9 &&
                      strcmp(r.stRecord.szName, "test task") == 0 && v.uiCount == 1 &&
                      v.stRecord.ucPercent == 42
                  ? 0
                  : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_EQ(0, status) << "the other process saw another record";
    for (uint32_t i = 0; i < TASK_SERVICE_SLOTS; ++i) {
        ASSERT_EQ(0, TASK_TaskServiceRegister(&reg, &info, nullptr, 9));
    }
    EXPECT_EQ(id + TASK_SERVICE_SLOTS, info.uiTaskId);
    EXPECT_EQ(-1, TASK_TaskServiceRead(id, nullptr, nullptr));
    EXPECT_EQ(-1, TASK_TaskServiceUpdate(&u)) << "a forgotten task was updated";
    TaskServiceStoredUpdate upd{};
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
    fh::UniqueFd writer(open(record, O_RDWR | O_CLOEXEC)), reader(open(record, O_RDONLY));
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

// The OEM flag and capability files hold one decimal 0..255 (null: no file); a capability
// name that is empty or climbs out of its folder is refused. The process name is cut to
// the buffer.
TEST_F(PlatformTest, SwitchFilesAndProcessName) {
    const struct {
        const char* content;
        int rc;
        uint8_t value;
    } cases[] = {
        {"3\n", 0, 3},  {" 255 ", 0, 255}, {"007", 0, 7}, {"0", 0, 0},     {"256", -1, 99},
        {"-1", -1, 99}, {"3x", -1, 99},    {"", -1, 99},  {"3 4", -1, 99}, {nullptr, -1, 99},
    };
    std::string cap = std::string(BMC_CAPABILITY_DIR) + "/Customer.SupportUploadLogo";
    BMC_System((std::string("mkdir -p ") + BMC_CAPABILITY_DIR).c_str());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content != nullptr ? c.content : "(no file)");
        for (const std::string& path : {std::string(BMC_OEM_FLAG_PATH), cap}) {
            unlink(path.c_str());
            if (c.content != nullptr) {
                WriteFile(path, c.content);
            }
        }
        uint8_t flag = 99, value = 99;
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

    std::string want = ReadFile("/proc/self/comm");
    char name[128], small[4];
    ASSERT_EQ(0, BMC_GetCurrentProcessName(sizeof name, name));
    ASSERT_EQ(0, BMC_GetCurrentProcessName(sizeof small, small));
    EXPECT_EQ(want.substr(0, want.find('\n')), name);
    EXPECT_EQ(want.substr(0, 3), small);
}
