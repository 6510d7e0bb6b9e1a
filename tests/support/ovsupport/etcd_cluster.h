// etcd_cluster.h - a real etcd cluster on loopback for the tests and the
// reliability harness.
//
// EtcdCluster starts three etcd members (the installed `etcd`) on 127.0.0.1
// with ports that were free a moment before, each in a data directory of its
// own under one temporary directory, and waits, bounded, until every member
// says it is healthy. A test can then kill a member (SIGKILL), pause it
// (SIGSTOP) and let it go on (SIGCONT), or restart a killed member on its
// data. The destructor kills every member and removes the directory.
//
// Health is asked over a plain-HTTP metrics listener that every member has
// besides its client URL, so that the same check works when the client URLs
// speak TLS. In TLS mode a CA, a server certificate for 127.0.0.1 and a
// client certificate are made with `openssl` when the cluster starts, and
// the members require client certificates; peers always talk plain HTTP. In
// auth mode a root user and a test user (read and write on every key) are
// made with `etcdctl` and authentication is switched on.
//
// The members elect quickly (50 ms heartbeats, 500 ms election time-out):
// on loopback that is safe, and a cluster is up in one to two seconds. Ports can
// be taken by someone else between the check and etcd's bind; a start that
// fails that way is tried again with new ports, a bounded number of times.
// Nothing here asserts or prints; failures come back as text.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ovsupport/files.h"
#include "ovsupport/process.h"

namespace ovsupport {

struct EtcdClusterOptions {
    size_t members = 3;
    bool tls = false;   // client URLs speak https and require client certificates
    bool auth = false;  // a root and a test user, authentication on
    std::string etcd = "etcd";
    std::string etcdctl = "etcdctl";
    std::string openssl = "openssl";
    // How long start() waits for every member to be healthy, per try.
    std::chrono::milliseconds start_limit{15000};
};

// Port 0 bound on 127.0.0.1 and given back: a port that was free just now.
inline int free_loopback_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

// A plain HTTP/1.0 GET of path on 127.0.0.1:port; the whole reply (status
// line, headers and body), or "" when nothing came within limit. Enough for
// etcd's /health, which needs no client library.
inline std::string loopback_http_get(int port, const std::string &path,
                                     std::chrono::milliseconds limit) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    timeval tv{static_cast<time_t>(limit.count() / 1000),
               static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            const auto end = std::chrono::steady_clock::now() + limit;
            char buf[4096];
            ssize_t n;
            // The receive time-out bounds each read; the loop's end bounds a
            // server that trickles bytes.
            while (std::chrono::steady_clock::now() < end && (n = recv(fd, buf, sizeof buf, 0)) > 0)
                reply.append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    return reply;
}

class EtcdCluster {
  public:
    explicit EtcdCluster(EtcdClusterOptions options = {}) : opt_(std::move(options)) {}
    ~EtcdCluster() { stop_all(); }
    EtcdCluster(const EtcdCluster &) = delete;
    EtcdCluster &operator=(const EtcdCluster &) = delete;

    // Makes the directory (and certificates), starts every member and waits
    // until all are healthy, then sets up users in auth mode. False with the
    // reason in *why (a member's last log lines included) when it cannot.
    bool start(std::string *why) {
        const auto begin = std::chrono::steady_clock::now();
        std::string tmp = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp";
        dir_ = make_temp_dir(tmp, "ovetcd");
        if (dir_.empty()) return fail(why, "cannot make a temporary directory under " + tmp);
        if (opt_.tls && !make_certificates(why)) return false;
        constexpr int kTries = 3;
        for (int attempt = 1; attempt <= kTries; ++attempt) {
            stop_all_members();
            members_.clear();
            for (size_t i = 0; i < opt_.members; ++i) {
                Member m;
                // Appended: GCC 12 at -O3 takes a literal-plus-string sum
                // for overlapping copies.
                m.name = "m";
                m.name += std::to_string(i);
                m.data_dir = dir_ + "/" + m.name + ".data";
                m.log = dir_ + "/" + m.name + ".log";
                m.client_port = free_loopback_port();
                m.peer_port = free_loopback_port();
                m.metrics_port = free_loopback_port();
                members_.push_back(m);
            }
            bool started = true;
            for (size_t i = 0; i < members_.size() && started; ++i) started = launch(i, "new");
            if (started && wait_all_healthy(opt_.start_limit)) {
                if (opt_.auth && !enable_auth(why)) return false;
                start_time_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - begin);
                return true;
            }
            // A member that died at once most likely lost a port race; one
            // that runs but never becomes healthy is a real failure.
            bool one_died = false;
            for (size_t i = 0; i < members_.size(); ++i) one_died = one_died || !alive(i);
            if (!one_died || attempt == kTries) {
                const std::string text = "the etcd cluster did not become healthy within " +
                                         std::to_string(opt_.start_limit.count()) + " ms\n" +
                                         report();
                stop_all_members();
                return fail(why, text);
            }
            for (auto &m : members_) remove_tree(m.data_dir);
        }
        return fail(why, "unreachable");
    }

    size_t size() const { return members_.size(); }
    // "http://127.0.0.1:PORT" (https in TLS mode).
    std::string client_url(size_t i) const {
        return std::string(opt_.tls ? "https" : "http") +
               "://127.0.0.1:" + std::to_string(members_[i].client_port);
    }
    std::vector<std::string> client_urls() const {
        std::vector<std::string> urls;
        for (size_t i = 0; i < members_.size(); ++i) urls.push_back(client_url(i));
        return urls;
    }
    // The client URLs joined with commas, as etcdctl and the tool take them.
    std::string endpoints() const {
        std::string out;
        // Appended: GCC 12 at -O3 takes a literal-plus-string sum for
        // overlapping copies.
        for (size_t i = 0; i < members_.size(); ++i) {
            if (i > 0) out += ',';
            out += client_url(i);
        }
        return out;
    }
    int client_port(size_t i) const { return members_[i].client_port; }
    pid_t pid(size_t i) const { return members_[i].pid; }
    const std::string &dir() const { return dir_; }
    std::chrono::milliseconds start_time() const { return start_time_; }

    // TLS mode: the files a client needs.
    std::string ca_file() const { return dir_ + "/ca.crt"; }
    std::string client_cert() const { return dir_ + "/client.crt"; }
    std::string client_key() const { return dir_ + "/client.key"; }
    // Auth mode: the users made at start.
    static constexpr const char *kRootPassword = "root-secret";
    static constexpr const char *kUser = "tester";
    static constexpr const char *kUserPassword = "tester-secret";

    // Ends member i at once with SIGKILL and reaps it; its data stays.
    bool kill_member(size_t i) {
        Member &m = members_[i];
        if (m.pid <= 0) return false;
        if (m.paused) ::kill(m.pid, SIGCONT);
        ::kill(m.pid, SIGKILL);
        Wait(m.pid);
        m.ended = "killed by the test";
        m.pid = -1;
        m.paused = false;
        return true;
    }
    // Stops member i with SIGSTOP: its sockets stay open and accept
    // connections, but nothing answers.
    bool pause_member(size_t i) {
        Member &m = members_[i];
        if (m.pid <= 0 || ::kill(m.pid, SIGSTOP) != 0) return false;
        m.paused = true;
        // kill() returns before every thread has stopped; a thread still on
        // another CPU can answer one more request. Wait until all are.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!all_threads_stopped(m.pid)) {
            if (std::chrono::steady_clock::now() > limit) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    bool resume_member(size_t i) {
        Member &m = members_[i];
        if (m.pid <= 0 || ::kill(m.pid, SIGCONT) != 0) return false;
        m.paused = false;
        return true;
    }
    // Whether every thread of pid is in the stopped state ('T').
    static bool all_threads_stopped(pid_t pid) {
        std::error_code ec;
        const std::string dir = "/proc/" + std::to_string(pid) + "/task";
        for (const auto &task : std::filesystem::directory_iterator(dir, ec)) {
            const std::string stat = read_file(task.path().string() + "/stat");
            const size_t paren = stat.rfind(')');
            if (paren == std::string::npos || paren + 2 >= stat.size()) return false;
            if (stat[paren + 2] != 'T' && stat[paren + 2] != 't') return false;
        }
        return !ec;
    }
    // Starts a killed member again on its data and ports, and waits for it
    // to be healthy within limit.
    bool restart_member(size_t i, std::chrono::milliseconds limit, std::string *why) {
        if (members_[i].pid > 0) kill_member(i);
        if (!launch(i, "existing")) return fail(why, "cannot start " + members_[i].name);
        if (!wait_healthy(i, limit))
            return fail(why, members_[i].name + " not healthy after restart:\n" +
                                 tail(read_file(members_[i].log), 1500));
        return true;
    }

    // Whether member i answers /health with true (it runs and has a leader).
    bool healthy(size_t i, std::chrono::milliseconds limit = std::chrono::milliseconds(500)) const {
        if (members_[i].pid <= 0 || members_[i].paused) return false;
        const std::string reply = loopback_http_get(members_[i].metrics_port, "/health", limit);
        return reply.find("\"health\":\"true\"") != std::string::npos;
    }
    bool wait_healthy(size_t i, std::chrono::milliseconds limit) const {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (healthy(i)) return true;
            if (!alive(i) || std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    bool wait_all_healthy(std::chrono::milliseconds limit) const {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (size_t i = 0; i < members_.size(); ++i) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !wait_healthy(i, left)) return false;
        }
        return true;
    }

    // Runs etcdctl against the whole cluster (TLS files and root credentials
    // added as the mode needs) with args; its exit code, standard output in
    // *out (may be null). At most limit; kNoStatus when it took longer.
    int etcdctl(const std::vector<std::string> &args, std::string *out = nullptr,
                std::chrono::milliseconds limit = std::chrono::milliseconds(10000),
                bool as_root = true) const {
        std::vector<std::string> all = {"--endpoints=" + endpoints(), "--dial-timeout=2s",
                                        "--command-timeout=5s"};
        if (opt_.tls) {
            all.push_back("--cacert=" + ca_file());
            all.push_back("--cert=" + client_cert());
            all.push_back("--key=" + client_key());
        }
        if (opt_.auth && as_root && auth_enabled_)
            all.push_back(std::string("--user=root:") + kRootPassword);
        all.insert(all.end(), args.begin(), args.end());
        return run(opt_.etcdctl, all, out, limit, {"ETCDCTL_API=3"});
    }

    // Each member's ports and state (running, paused, or how it ended) with
    // the tail of its log: what a failed test prints, since the directory
    // with the logs goes with the cluster.
    std::string report() const {
        std::string text;
        for (size_t i = 0; i < members_.size(); ++i) {
            const Member &m = members_[i];
            const bool running = alive(i);
            text += "--- " + m.name + " client " + std::to_string(m.client_port) + " peer " +
                    std::to_string(m.peer_port) + " metrics " + std::to_string(m.metrics_port) +
                    ": ";
            text += running ? (m.paused ? "paused" : "running") : m.ended;
            text += "\n" + tail(read_file(m.log), 3000) + "\n";
        }
        return text;
    }

    // Kills every member and removes the directory; also the destructor's work.
    void stop_all() {
        stop_all_members();
        if (!dir_.empty()) remove_tree(dir_);
        dir_.clear();
    }

  private:
    struct Member {
        std::string name, data_dir, log;
        int client_port = 0, peer_port = 0, metrics_port = 0;
        pid_t pid = -1;
        bool paused = false;
        std::string ended = "never started";  // how it ended, once it has
    };

    static bool fail(std::string *why, const std::string &text) {
        if (why != nullptr) *why = text;
        return false;
    }
    static std::string tail(const std::string &text, size_t n) {
        return text.size() <= n ? text : text.substr(text.size() - n);
    }

    // Whether member i still runs. One that has ended is reaped here and
    // remembered as gone: a second look must not take the reaped pid, which
    // can no longer be waited for, for a live member.
    bool alive(size_t i) const {
        Member &m = members_[i];
        if (m.pid <= 0) return false;
        const auto status = TryWait(m.pid, std::chrono::milliseconds(0));
        if (status == std::nullopt) return true;
        m.ended = "ended on its own: " + DescribeStatus(status);
        m.pid = -1;
        m.paused = false;
        return false;
    }

    // Runs a program to its end (at most limit) with its output in a file.
    int run(const std::string &binary, const std::vector<std::string> &args, std::string *out,
            std::chrono::milliseconds limit, std::vector<std::string> env = {}) const {
        static std::atomic<int> serial{0};
        const std::string base = dir_ + "/run." + std::to_string(++serial);
        ChildOptions opt;
        opt.out = base + ".out";
        opt.err = base + ".err";
        opt.env = std::move(env);
        std::string path = binary;
        if (binary.find('/') == std::string::npos) path = find_in_path(binary);
        const pid_t pid = StartProgram(path, args, opt);
        if (pid < 0) return kNoStatus;
        const int code = ExitCode(WaitFor(pid, limit));
        if (out != nullptr) *out = read_file(opt.out) + read_file(opt.err);
        unlink(opt.out.c_str());
        unlink(opt.err.c_str());
        return code;
    }

    std::string initial_cluster() const {
        std::string out;
        for (size_t i = 0; i < members_.size(); ++i)
            out += (i ? "," : "") + members_[i].name +
                   "=http://127.0.0.1:" + std::to_string(members_[i].peer_port);
        return out;
    }

    bool launch(size_t i, const std::string &state) {
        Member &m = members_[i];
        const std::string client = client_url(i);
        const std::string peer = "http://127.0.0.1:" + std::to_string(m.peer_port);
        std::vector<std::string> args = {
            "--name=" + m.name,
            "--data-dir=" + m.data_dir,
            "--listen-client-urls=" + client,
            "--advertise-client-urls=" + client,
            "--listen-peer-urls=" + peer,
            "--initial-advertise-peer-urls=" + peer,
            "--listen-metrics-urls=http://127.0.0.1:" + std::to_string(m.metrics_port),
            "--initial-cluster=" + initial_cluster(),
            "--initial-cluster-state=" + state,
            "--initial-cluster-token=ovtest",
            "--heartbeat-interval=50",
            "--election-timeout=500",
            "--logger=zap",
            "--log-outputs=stderr",
            "--log-level=warn",
        };
        if (opt_.tls) {
            args.push_back("--cert-file=" + dir_ + "/server.crt");
            args.push_back("--key-file=" + dir_ + "/server.key");
            args.push_back("--trusted-ca-file=" + ca_file());
            args.push_back("--client-cert-auth=true");
        }
        ChildOptions opt;
        opt.out = m.log + ".out";
        opt.err = m.log;
        // A test program that dies takes its cluster with it.
        opt.parent_death_signal = SIGKILL;
        m.pid = StartProgram(find_in_path(opt_.etcd), args, opt);
        m.paused = false;
        return m.pid > 0;
    }

    void stop_all_members() {
        for (size_t i = 0; i < members_.size(); ++i)
            if (members_[i].pid > 0) kill_member(i);
    }

    // A CA, a server certificate for 127.0.0.1 and a client certificate,
    // with EC keys (quick to make). The client certificate has no common
    // name: with authentication on, etcd's HTTP gateway refuses a client
    // certificate that names someone, since it would not act as that user.
    bool make_certificates(std::string *why) {
        const std::string d = dir_ + "/";
        const std::string ext = d + "server.ext";
        write_file(ext, "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth,clientAuth\n");
        write_file(d + "client.ext", "extendedKeyUsage=clientAuth\n");
        const std::vector<std::vector<std::string>> steps = {
            {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", d + "ca.key", "-out", d + "ca.crt", "-days", "2", "-subj", "/CN=ovtest CA"},
            {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", d + "server.key", "-out", d + "server.csr", "-subj", "/CN=127.0.0.1"},
            {"x509", "-req", "-in", d + "server.csr", "-CA", d + "ca.crt", "-CAkey", d + "ca.key",
             "-CAcreateserial", "-out", d + "server.crt", "-days", "2", "-extfile", ext},
            {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", d + "client.key", "-out", d + "client.csr", "-subj", "/O=ovtest client"},
            {"x509", "-req", "-in", d + "client.csr", "-CA", d + "ca.crt", "-CAkey", d + "ca.key",
             "-CAcreateserial", "-out", d + "client.crt", "-days", "2", "-extfile",
             d + "client.ext"},
        };
        for (const auto &step : steps) {
            std::string out;
            if (run(opt_.openssl, step, &out, std::chrono::milliseconds(10000)) != 0)
                return fail(why, "openssl " + step[0] + " failed: " + out);
        }
        return true;
    }

    bool enable_auth(std::string *why) {
        const std::vector<std::vector<std::string>> steps = {
            {"user", "add", std::string("root:") + kRootPassword},
            {"role", "add", "rw"},
            {"role", "grant-permission", "rw", "--prefix=true", "readwrite", ""},
            {"user", "add", std::string(kUser) + ":" + kUserPassword},
            {"user", "grant-role", kUser, "rw"},
            {"auth", "enable"},
        };
        for (const auto &step : steps) {
            std::string out;
            if (etcdctl(step, &out) != 0)
                return fail(why, "etcdctl " + step[0] + " " + step[1] + " failed: " + out);
        }
        auth_enabled_ = true;
        return true;
    }

    EtcdClusterOptions opt_;
    std::string dir_;
    // Mutable: alive() records a member it found ended and reaped.
    mutable std::vector<Member> members_;
    std::chrono::milliseconds start_time_{0};
    bool auth_enabled_ = false;
};

}  // namespace ovsupport
