// TFTP bridge against a real tftpd-hpa on loopback (scripts/tftp-server.sh, found through
// FH_TFTP_ENV), plus a scripted UDP peer on 127.0.0.1 for answers no real server gives on
// demand (falling silent, skipping the size) and for looking at the request itself.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
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
constexpr size_t kRecordBytes = 1104;
constexpr size_t k3MiB = 3u << 20;

struct TftpServer {
    int port = 0;
    std::string dir;
    bool ok() const { return port != 0 && !dir.empty(); }
};

const TftpServer& tftp() {
    static TftpServer s = [] {
        TftpServer r;
        const char* env = getenv("FH_TFTP_ENV");
        if (env == nullptr) {
            return r;
        }
        std::ifstream in(env);
        std::string line;
        while (std::getline(in, line)) {
            size_t eq = line.find('=');
            if (eq == std::string::npos) {
                continue;
            }
            std::string k = line.substr(0, eq), v = line.substr(eq + 1);
            if (k == "TFTP_PORT") {
                r.port = std::stoi(v);
            } else if (k == "TEST_DIR") {
                r.dir = v;
            }
        }
        return r;
    }();
    return s;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool FdIsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// Downloads `remote` into `local` (opened like the task library does: O_WRONLY|O_CREAT,
// no O_TRUNC) and checks that the descriptor is still open afterwards.
int Download(const std::string& remote, const std::string& local, uint32_t blockSize,
             const std::string& progress = "/var/tmp/no-progress-file", int32_t expected = 0,
             const char* host = "127.0.0.1", int port = -1) {
    fh::UniqueFd fd(open(local.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    EXPECT_TRUE(fd.Valid());
    int rc = BRIDGE_TFTP(BRIDGE_TFTP_DOWNLOAD, host, remote.c_str(), fd.Get(),
                         port < 0 ? tftp().port : port, blockSize, progress.c_str(), expected);
    EXPECT_TRUE(FdIsOpen(fd.Get())) << "the bridge closed the caller's descriptor";
    EXPECT_EQ(0, fd.Close());
    return rc;
}

int Upload(const std::string& local, const std::string& remote, uint32_t blockSize,
           const std::string& progress = "/var/tmp/no-progress-file", int32_t expected = 0,
           int port = -1) {
    fh::UniqueFd fd(open(local.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(fd.Valid());
    int rc = BRIDGE_TFTP(BRIDGE_TFTP_UPLOAD, "127.0.0.1", remote.c_str(), fd.Get(),
                         port < 0 ? tftp().port : port, blockSize, progress.c_str(), expected);
    EXPECT_TRUE(FdIsOpen(fd.Get())) << "the bridge closed the caller's descriptor";
    EXPECT_EQ(0, fd.Close());
    return rc;
}

struct Record {
    uint32_t stage = 0, result = 0, time = 0;
    uint8_t percent = 0;
    std::string description;
    bool restZero = true;  // everything after the description text is zero
};

Record Decode(const std::string& raw) {
    Record r;
    memcpy(&r.stage, raw.data() + 0, 4);
    memcpy(&r.result, raw.data() + 4, 4);
    memcpy(&r.time, raw.data() + 8, 4);
    r.percent = static_cast<uint8_t>(raw[12]);
    r.description = std::string(raw.data() + 13, strnlen(raw.data() + 13, 1024));
    for (size_t i = 13 + r.description.size(); i < raw.size(); ++i) {
        r.restZero = r.restZero && raw[i] == 0;
    }
    return r;
}

// Reads the progress file the way the task library's reader does (read lock, whole file)
// until stopped, and keeps every percentage it saw.
class ProgressWatcher {
  public:
    explicit ProgressWatcher(std::string path) : path_(std::move(path)) {
        thread_ = std::thread([this] { Run(); });
    }
    ~ProgressWatcher() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    std::vector<int> Seen() const { return seen_; }  // after Stop
    int Torn() const { return torn_; }

  private:
    void Run() {
        while (!stop_) {
            fh::UniqueFd fd(open(path_.c_str(), O_RDONLY | O_CLOEXEC));
            if (fd.Valid() && BRIDGE_LOCK_LTF_FILE_READ(fd.Get()) == 0) {
                char buf[kRecordBytes + 1];
                ssize_t n = pread(fd.Get(), buf, sizeof buf, 0);
                BRIDGE_UNLOCK_LTF_FILE(fd.Get());
                if (n == static_cast<ssize_t>(kRecordBytes)) {
                    int p = static_cast<uint8_t>(buf[12]);
                    if (seen_.empty() || seen_.back() != p) {
                        seen_.push_back(p);
                    }
                } else if (n != 0) {
                    ++torn_;
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    std::string path_;
    std::atomic<bool> stop_{false};
    std::vector<int> seen_;
    int torn_ = 0;
    std::thread thread_;
};

// Counts the times a writer closed the file (one per progress record). The queue is
// drained by a thread, and opens are watched too: inotify merges an event into an
// identical one still unread, which two closes in a row would be.
class WriteCounter {
  public:
    explicit WriteCounter(const std::string& path) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        EXPECT_TRUE(fd_.Valid());
        EXPECT_GE(inotify_add_watch(fd_.Get(), path.c_str(), IN_OPEN | IN_CLOSE_WRITE), 0);
        thread_ = std::thread([this] { Run(); });
    }
    ~WriteCounter() { Stop(); }
    int Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        Drain();
        return count_;
    }
    bool Overflowed() const { return overflow_; }  // after Stop

  private:
    void Drain() {
        alignas(inotify_event) char buf[64 * 1024];
        ssize_t n;
        while ((n = read(fd_.Get(), buf, sizeof buf)) > 0) {
            for (char* p = buf; p < buf + n;) {
                auto* e = reinterpret_cast<inotify_event*>(p);
                count_ += (e->mask & IN_CLOSE_WRITE) != 0;
                overflow_ = overflow_ || (e->mask & IN_Q_OVERFLOW) != 0;
                p += sizeof(inotify_event) + e->len;
            }
        }
    }
    void Run() {
        while (!stop_) {
            pollfd p{fd_.Get(), POLLIN, 0};
            if (poll(&p, 1, 5) > 0) {
                Drain();
            }
        }
    }
    fh::UniqueFd fd_;
    std::atomic<bool> stop_{false};
    int count_ = 0;
    bool overflow_ = false;
    std::thread thread_;
};

// A scripted TFTP peer on 127.0.0.1 that records what it receives and answers the first
// request as its script says.
class ScriptedPeer {
  public:
    enum class Script {
        kRecordOnly,            // never answers
        kError,                 // answers the request with an error packet
        kSizeThenSilent,        // acknowledges the options (tsize, blksize 512), then nothing
        kFirstBlockThenSilent,  // as above, sends block 1 after ACK 0, then nothing
        kDataWithoutSize,       // ignores the options and sends block 1 at once
    };

    explicit ScriptedPeer(Script script, uint16_t port = 0, uint16_t errorCode = 1)
        : script_(script),
          errorCode_(errorCode),
          fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (!fd_.Valid() || bind(fd_.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
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
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    bool Ok() const { return fd_.Valid(); }
    uint16_t Port() const { return port_; }
    int Packets() const { return packets_; }
    std::string FirstPacket() {
        std::lock_guard<std::mutex> l(mu_);
        return first_;
    }

  private:
    void Send(const std::string& packet, const sockaddr_in& to) {
        (void)sendto(fd_.Get(), packet.data(), packet.size(), 0,
                     reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    void Run() {
        while (!stop_) {
            pollfd p{fd_.Get(), POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                continue;
            }
            char buf[70000];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n =
                recvfrom(fd_.Get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 4) {
                continue;
            }
            std::string packet(buf, static_cast<size_t>(n));
            int index = packets_++;
            if (index == 0) {
                std::lock_guard<std::mutex> l(mu_);
                first_ = packet;
            }
            static const char kOack[] = "\0\6tsize\0001000000\0blksize\000512";
            const std::string oack(kOack, sizeof kOack);  // with the closing NUL
            const std::string block1 = std::string("\0\3\0\1", 4) + std::string(512, 'x');
            bool isAck0 = packet == std::string("\0\4\0\0", 4);
            switch (script_) {
                case Script::kRecordOnly:
                    break;
                case Script::kError:
                    if (index == 0) {
                        std::string e("\0\5", 2);
                        e.push_back(static_cast<char>(errorCode_ >> 8));
                        e.push_back(static_cast<char>(errorCode_ & 0xff));
                        e += std::string("scripted\0", 9);
                        Send(e, from);
                    }
                    break;
                case Script::kSizeThenSilent:
                    if (index == 0) {
                        Send(oack, from);
                    }
                    break;
                case Script::kFirstBlockThenSilent:
                    if (index == 0) {
                        Send(oack, from);
                    } else if (isAck0 && !sentBlock_) {
                        sentBlock_ = true;
                        Send(block1, from);
                    }
                    break;
                case Script::kDataWithoutSize:
                    if (index == 0) {
                        Send(block1, from);
                    }
                    break;
            }
        }
    }

    Script script_;
    uint16_t errorCode_;
    fh::UniqueFd fd_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> packets_{0};
    bool sentBlock_ = false;
    std::mutex mu_;
    std::string first_;
    std::thread thread_;
};

// The NUL-separated fields of a request: name, mode, then option/value pairs.
std::vector<std::string> RequestFields(const std::string& packet) {
    std::vector<std::string> fields;
    size_t pos = 2;
    while (pos < packet.size()) {
        size_t end = packet.find('\0', pos);
        if (end == std::string::npos) {
            end = packet.size();
        }
        fields.push_back(packet.substr(pos, end - pos));
        pos = end + 1;
    }
    return fields;
}

std::string OptionValue(const std::vector<std::string>& fields, const std::string& name) {
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
        if (!tftp().ok()) {
            GTEST_SKIP() << "FH_TFTP_ENV not set: start scripts/tftp-server.sh";
        }
        work_ = "/var/tmp/tftp-bridge-test";
        mkdir(work_.c_str(), 0755);
    }
    std::string Root() const { return tftp().dir + "/root"; }
    std::string Served(const std::string& name) const { return ReadFile(Root() + "/" + name); }
    void Serve(const std::string& name, const std::string& data) const {
        WriteFile(Root() + "/" + name, data);
    }
    std::string work_;
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
    const uint32_t blockSizes[] = {512, 1024, 1468};
    unsigned seed = 1;
    for (uint32_t blk : blockSizes) {
        for (const Content& c : contents) {
            for (bool download : {true, false}) {
                SCOPED_TRACE(std::string(c.name) + ", block size " + std::to_string(blk) +
                             (download ? ", download" : ", upload"));
                std::string data = RandomBytes(c.blocks != 0 ? c.blocks * blk : c.bytes, ++seed);
                std::string remote = "xfer-" + std::to_string(seed) + ".bin";
                std::string local = work_ + "/xfer.bin";
                unlink(local.c_str());
                if (download) {
                    Serve(remote, data);
                    ASSERT_EQ(0, Download(remote, local, blk));
                    EXPECT_TRUE(ReadFile(local) == data) << "downloaded content differs";
                } else {
                    WriteFile(local, data);
                    ASSERT_EQ(0, Upload(local, remote, blk));
                    ASSERT_TRUE(FileExists(Root() + "/" + remote));
                    EXPECT_TRUE(Served(remote) == data) << "uploaded content differs";
                }
            }
        }
    }
}

TEST_F(TftpBridgeTest, DownloadOverALongerFileLeavesExactlyTheNewContent) {
    struct Case {
        const char* name;
        size_t oldBytes, newBytes;
    };
    const Case cases[] = {
        {"small over large", 100000, 10},
        {"empty over small", 5000, 0},
        {"one block over three", 3 * 1024, 1024},
        {"same length", 4096, 4096},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string local = work_ + "/over.bin";
        WriteFile(local, std::string(c.oldBytes, 'O'));
        std::string data = RandomBytes(c.newBytes, 99);
        Serve("over.bin", data);
        ASSERT_EQ(0, Download("over.bin", local, 1024));
        EXPECT_EQ(c.newBytes, ReadFile(local).size());
        EXPECT_TRUE(ReadFile(local) == data);
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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string progress = work_ + "/task.progress";
        WriteFile(progress, "");
        if (c.download) {
            Serve("progress.bin", data);
            unlink(local.c_str());
        } else {
            WriteFile(local, data);
        }
        WriteCounter writes(progress);
        ProgressWatcher watcher(progress);
        uint32_t before = static_cast<uint32_t>(time(nullptr));
        auto start = Clock::now();
        int rc = c.download ? Download("progress.bin", local, 512, progress)
                            : Upload(local, "progress.bin", 512, progress, c.expected);
        double seconds = SecondsSince(start);
        uint32_t after = static_cast<uint32_t>(time(nullptr));
        watcher.Stop();
        int n = writes.Stop();
        ASSERT_EQ(0, rc);
        EXPECT_TRUE((c.download ? ReadFile(local) : Served("progress.bin")) == data);

        std::vector<int> seen = watcher.Seen();
        ASSERT_FALSE(seen.empty());
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << "percentages went back";
        EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](int p) { return p > 0 && p < 100; }))
            << "no record seen between 0 and 100 %";
        EXPECT_EQ(0, watcher.Torn()) << "a reader saw a partial record";
        // One write per new percentage plus at most one a second.
        EXPECT_FALSE(writes.Overflowed());
        EXPECT_GE(n, 3);
        EXPECT_LE(n, 101 + static_cast<int>(seconds) + 2);

        std::string raw = ReadFile(progress);
        ASSERT_EQ(kRecordBytes, raw.size());
        Record r = Decode(raw);
        EXPECT_EQ(1u, r.stage);
        EXPECT_EQ(0u, r.result);
        EXPECT_EQ(100, r.percent);
        EXPECT_EQ("File transfer....", r.description);
        EXPECT_TRUE(r.restZero);
        EXPECT_GE(r.time, before);
        EXPECT_LE(r.time, after);
    }
}

TEST_F(TftpBridgeTest, ProgressNeedsAKnownSizeAndAnExistingFile) {
    struct Case {
        const char* name;
        bool download;
        bool fromPipe;        // upload read from a pipe (no size of its own)
        int32_t expected;     // size the caller announces
        bool progressExists;  // the progress file exists beforehand
        size_t recordBytes;   // the progress file's size afterwards (if it exists)
    };
    const size_t size = 300000;
    const Case cases[] = {
        {"pipe upload with no size known: nothing written", false, true, 0, true, 0},
        {"pipe upload with the caller's size", false, true, static_cast<int32_t>(size), true,
         kRecordBytes},
        {"download with a missing progress file", true, false, 0, false, 0},
        {"upload with a missing progress file", false, false, 0, false, 0},
    };
    std::string data = RandomBytes(size, 11);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string progress = work_ + "/task2.progress";
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
                while (off < data.size()) {
                    ssize_t n = write(writeEnd.Get(), data.data() + off, data.size() - off);
                    if (n <= 0) {
                        break;
                    }
                    off += static_cast<size_t>(n);
                }
                writeEnd.Reset();
            });
            rc = BRIDGE_TFTP(BRIDGE_TFTP_UPLOAD, "127.0.0.1", "pipe.bin", readEnd.Get(),
                             tftp().port, 1024, progress.c_str(), c.expected);
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
        if (c.progressExists) {
            std::string raw = ReadFile(progress);
            EXPECT_EQ(c.recordBytes, raw.size());
            if (raw.size() == kRecordBytes) {
                EXPECT_EQ(100, Decode(raw).percent);
            }
        }
    }
}

TEST_F(TftpBridgeTest, RemoteNamesReachTheServerVerbatim) {
    mkdir((Root() + "/sub").c_str(), 0755);
    mkdir((Root() + "/sub/dir").c_str(), 0755);
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
        ASSERT_TRUE(FileExists(Root() + "/" + name)) << "stored under another name";
        EXPECT_TRUE(Served(name) == data);
        unlink(local.c_str());
        ASSERT_EQ(0, Download(name, local, 512));
        EXPECT_TRUE(ReadFile(local) == data);
        int32_t size = -1;
        EXPECT_EQ(0, BRIDGE_GetTftpRemoteFileSize("127.0.0.1", tftp().port, name, &size));
        EXPECT_EQ(static_cast<int32_t>(data.size()), size);
    }
}

TEST_F(TftpBridgeTest, RequestCarriesTheNameAsGiven) {
    const char* names[] = {
        "sub/../fw.bin", "./fw.bin",        "/abs/fw.bin",           "a b#c?d;mode=netascii",
        "%41%2F.bin",    "dir//double.bin", "\xc3\xa9t\xc3\xa9.bin",
    };
    for (const char* name : names) {
        SCOPED_TRACE(name);
        ScriptedPeer peer(ScriptedPeer::Script::kError, 0, 1);
        ASSERT_TRUE(peer.Ok());
        int32_t size = -7;
        EXPECT_EQ(kNoSuchFile, BRIDGE_GetTftpRemoteFileSize("127.0.0.1", peer.Port(), name, &size));
        std::vector<std::string> f = RequestFields(peer.FirstPacket());
        ASSERT_GE(f.size(), 2u);
        EXPECT_EQ(name, f[0]);
        EXPECT_EQ("octet", f[1]);
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
        int rc;
        if (c.download) {
            unlink(local.c_str());
            rc = Download(c.remote, local, 1024, progress);
        } else {
            WriteFile(local, "data");
            rc = Upload(local, c.remote, 1024, progress);
        }
        if (c.rc != 0) {
            EXPECT_EQ(c.rc, rc);
        } else {
            EXPECT_NE(0, rc);
            EXPECT_NE(-1, rc);
        }
        std::string raw = ReadFile(progress);
        if (c.download) {
            EXPECT_EQ(0u, raw.size()) << "a record without a known size";
        } else if (!raw.empty()) {
            ASSERT_EQ(kRecordBytes, raw.size());
            EXPECT_EQ(0, Decode(raw).percent);
        }
    }
}

TEST_F(TftpBridgeTest, UnansweredOrStalledTransfersFailInBoundedTime) {
    ScriptedPeer silentAfterSize(ScriptedPeer::Script::kSizeThenSilent);
    ScriptedPeer silentAfterBlock(ScriptedPeer::Script::kFirstBlockThenSilent);
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
        {"IPv6 loopback, nothing listening", kDownload, "::1", tftp().port},
        {"server silent after the size", kDownload, "127.0.0.1", silentAfterSize.Port()},
        {"server silent after the first block", kDownload, "127.0.0.1", silentAfterBlock.Port()},
    };
    // All at once, each in its own thread: several bridges may run in parallel.
    struct Result {
        int rc = 0;
        double seconds = 0;
    };
    std::vector<Result> results(std::size(cases));
    std::string upSource = work_ + "/bounded-up.bin";
    WriteFile(upSource, RandomBytes(5000, 8));
    std::vector<std::thread> threads;
    for (size_t i = 0; i < std::size(cases); ++i) {
        threads.emplace_back([&, i] {
            const Case& c = cases[i];
            auto start = Clock::now();
            std::string local = work_ + "/bounded-" + std::to_string(i) + ".bin";
            if (c.kind == kDownload) {
                fh::UniqueFd fd(open(local.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
                results[i].rc = BRIDGE_TFTP(BRIDGE_TFTP_DOWNLOAD, c.host, "x.bin", fd.Get(), c.port,
                                            512, "/var/tmp/none", 0);
            } else if (c.kind == kUpload) {
                fh::UniqueFd fd(open(upSource.c_str(), O_RDONLY | O_CLOEXEC));
                results[i].rc = BRIDGE_TFTP(BRIDGE_TFTP_UPLOAD, c.host, "x.bin", fd.Get(), c.port,
                                            512, "/var/tmp/none", 5000);
            } else {
                int32_t size = 77;
                results[i].rc = BRIDGE_GetTftpRemoteFileSize(c.host, c.port, "x.bin", &size);
                if (size != 77) {
                    results[i].rc = 1000;  // reported below as a wrong code
                }
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
    ScriptedPeer peer(ScriptedPeer::Script::kRecordOnly);
    ASSERT_TRUE(peer.Ok());
    const int port = peer.Port();
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
        {"null host", 1, nullptr, "x", fd.Get(), 69, 512, p},
        {"null remote name", 1, h, nullptr, fd.Get(), 69, 512, p},
        {"null progress file", 1, h, "x", fd.Get(), 69, 512, nullptr},
        {"handle type 0", 0, h, "x", fd.Get(), 69, 512, p},
        {"handle type 3", 3, h, "x", fd.Get(), 69, 512, p},
        {"negative descriptor", 1, h, "x", -1, 69, 512, p},
        {"block size 0", 1, h, "x", fd.Get(), 69, 0, p},
        {"block size 7", 2, h, "x", fd.Get(), 69, 7, p},
        {"block size 65465", 1, h, "x", fd.Get(), 69, 65465, p},
        {"port 65536", 1, h, "x", fd.Get(), 65536, 512, p},
        {"empty host", 1, "", "x", fd.Get(), 69, 512, p},
        {"empty remote name", 2, h, "", fd.Get(), 69, 512, p},
        {"host with a path", 1, "127.0.0.1/evil", "x", fd.Get(), 69, 512, p},
        {"host with user info", 1, "user@127.0.0.1", "x", fd.Get(), 69, 512, p},
        {"host with a port", 1, "127.0.0.1:69", "x", fd.Get(), 69, 512, p},
        {"unclosed IPv6 bracket", 1, "[::1", "x", fd.Get(), 69, 512, p},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Every case that reached the network would reach the peer's port.
        uint32_t casePort = c.port == 69 ? static_cast<uint32_t>(port) : c.port;
        EXPECT_EQ(-1, BRIDGE_TFTP(c.type, c.host, c.remote, c.fd, casePort, c.blk, c.progress, 0));
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
        uint8_t type;
        uint32_t blk;
        int32_t expected;
        size_t localBytes;  // size of the local file for uploads
        const char* wantOpcode;
        const char* wantTsize;
    };
    const Case cases[] = {
        {"download, 1468", BRIDGE_TFTP_DOWNLOAD, 1468, 0, 0, "\1", "0"},
        {"download, 512", BRIDGE_TFTP_DOWNLOAD, 512, 0, 0, "\1", "0"},
        {"upload, caller's size", BRIDGE_TFTP_UPLOAD, 1024, 12345, 777, "\2", "12345"},
        {"upload, local file's size", BRIDGE_TFTP_UPLOAD, 1468, 0, 777, "\2", "777"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer(ScriptedPeer::Script::kError, 0, 2);  // 2: access violation
        ASSERT_TRUE(peer.Ok());
        std::string local = work_ + "/req.bin";
        WriteFile(local, std::string(c.localBytes, 'r'));
        fh::UniqueFd fd(open(local.c_str(), O_RDWR | O_CLOEXEC));
        int rc = BRIDGE_TFTP(c.type, "127.0.0.1", "dir/fw image.bin", fd.Get(), peer.Port(), c.blk,
                             "/var/tmp/none", c.expected);
        EXPECT_EQ(69, rc);  // CURLE_TFTP_PERM: the peer's answer, by code
        std::string packet = peer.FirstPacket();
        ASSERT_GE(packet.size(), 4u);
        EXPECT_EQ(0, packet[0]);
        EXPECT_EQ(c.wantOpcode[0], packet[1]);
        std::vector<std::string> f = RequestFields(packet);
        ASSERT_GE(f.size(), 2u);
        EXPECT_EQ("dir/fw image.bin", f[0]);
        EXPECT_EQ("octet", f[1]);
        EXPECT_EQ(std::to_string(c.blk), OptionValue(f, "blksize"));
        EXPECT_EQ(c.wantTsize, OptionValue(f, "tsize"));
    }
}

TEST_F(TftpBridgeTest, SizeQuery) {
    struct Case {
        const char* name;
        const char* remote;
        off_t bytes;  // created sparse; -1: no such file
        int rc;       // 0, or the expected code (-2: any failure)
    };
    const Case cases[] = {
        {"small file", "size-small.bin", 6, 0},
        {"3 MiB", "size-3m.bin", static_cast<off_t>(k3MiB), 0},
        {"empty file", "size-empty.bin", 0, 0},
        {"largest 32-bit size", "size-max.bin", INT32_MAX, 0},
        {"one past the 32-bit range", "size-2g.bin", static_cast<off_t>(INT32_MAX) + 1, -2},
        {"3 GiB", "size-3g.bin", static_cast<off_t>(3) << 30, -2},
        {"missing file", "size-none.bin", -1, kNoSuchFile},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = Root() + "/" + c.remote;
        unlink(path.c_str());
        if (c.bytes >= 0) {
            fh::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
            ASSERT_TRUE(fd.Valid());
            ASSERT_EQ(0, ftruncate(fd.Get(), c.bytes));
        }
        int32_t size = -7;
        auto start = Clock::now();
        int rc = BRIDGE_GetTftpRemoteFileSize("127.0.0.1", tftp().port, c.remote, &size);
        // Far too short to move 2 GiB over TFTP: only the size was asked for.
        EXPECT_LT(SecondsSince(start), 5.0);
        if (c.rc == 0) {
            EXPECT_EQ(0, rc);
            EXPECT_EQ(c.bytes, size);
        } else {
            if (c.rc == -2) {
                EXPECT_NE(0, rc);
                EXPECT_NE(-1, rc);
            } else {
                EXPECT_EQ(c.rc, rc);
            }
            EXPECT_EQ(-7, size) << "size changed on failure";
        }
        unlink(path.c_str());
    }
}

TEST_F(TftpBridgeTest, SizeQueryFailsWhenTheServerSkipsTheSize) {
    ScriptedPeer peer(ScriptedPeer::Script::kDataWithoutSize);
    ASSERT_TRUE(peer.Ok());
    int32_t size = -7;
    auto start = Clock::now();
    int rc = BRIDGE_GetTftpRemoteFileSize("127.0.0.1", peer.Port(), "x.bin", &size);
    EXPECT_NE(0, rc);
    EXPECT_NE(-1, rc);
    EXPECT_EQ(-7, size);
    EXPECT_LT(SecondsSince(start), 5.0);
    std::vector<std::string> f = RequestFields(peer.FirstPacket());
    ASSERT_GE(f.size(), 2u);
    EXPECT_EQ("0", OptionValue(f, "tsize")) << "the query did not ask for the size";
}

TEST_F(TftpBridgeTest, PortZeroMeansPort69) {
    // Needs 127.0.0.1:69 free (and the right to bind it): a peer there answers "no such
    // file" to whatever it is asked.
    ScriptedPeer peer(ScriptedPeer::Script::kError, 69, 1);
    if (!peer.Ok()) {
        GTEST_SKIP() << "cannot bind 127.0.0.1:69";
    }
    int32_t size = -7;
    EXPECT_EQ(kNoSuchFile, BRIDGE_GetTftpRemoteFileSize("127.0.0.1", 0, "port69.bin", &size));
    EXPECT_EQ(-7, size);
    std::vector<std::string> f = RequestFields(peer.FirstPacket());
    ASSERT_GE(f.size(), 1u);
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
    const int kThreads = 6;
    std::vector<std::string> data;
    for (int i = 0; i < kThreads; ++i) {
        data.push_back(RandomBytes(1u << 20, 100 + i));
        if (i % 2 == 0) {
            Serve("conc-" + std::to_string(i) + ".bin", data[i]);
        } else {
            WriteFile(work_ + "/conc-src-" + std::to_string(i) + ".bin", data[i]);
        }
    }
    std::vector<int> rc(kThreads, -100);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            std::string n = std::to_string(i);
            rc[i] = i % 2 == 0
                        ? Download("conc-" + n + ".bin", work_ + "/conc-" + n + ".bin", 1468)
                        : Upload(work_ + "/conc-src-" + n + ".bin", "conc-" + n + ".bin", 1024);
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (int i = 0; i < kThreads; ++i) {
        SCOPED_TRACE(i);
        std::string n = std::to_string(i);
        EXPECT_EQ(0, rc[i]);
        EXPECT_TRUE((i % 2 == 0 ? ReadFile(work_ + "/conc-" + n + ".bin")
                                : Served("conc-" + n + ".bin")) == data[i]);
    }
}

TEST_F(TftpBridgeTest, HostByName) {
    Serve("named.bin", "by name\n");
    std::string local = work_ + "/named.bin";
    unlink(local.c_str());
    ASSERT_EQ(0, Download("named.bin", local, 512, "/var/tmp/none", 0, "localhost"));
    EXPECT_EQ("by name\n", ReadFile(local));
}

TEST_F(TftpBridgeTest, NoHandleFromLibcurl) {
    ScriptedPeer peer(ScriptedPeer::Script::kRecordOnly);
    ASSERT_TRUE(peer.Ok());
    faults().curlInitFails = true;
    std::string local = work_ + "/noinit.bin";
    WriteFile(local, "data");
    EXPECT_EQ(2, Download("x.bin", local, 512, "/var/tmp/none", 0, "127.0.0.1", peer.Port()));
    EXPECT_EQ(2, Upload(local, "x.bin", 512, "/var/tmp/none", 4, peer.Port()));  // 2: FAILED_INIT
    int32_t size = -7;
    EXPECT_EQ(2, BRIDGE_GetTftpRemoteFileSize("127.0.0.1", peer.Port(), "x.bin", &size));
    EXPECT_EQ(-7, size);
    faults().curlInitFails = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0, peer.Packets());
}
