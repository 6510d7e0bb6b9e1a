// etcd_backend.cpp - ovlockrun's lock as a key on an etcd cluster.
//
// The lock is the cluster's own lock recipe, so that etcdctl's `lock` and
// every program that uses etcd's client-side mutex on the same NAME exclude
// this tool and are excluded by it. A contender takes a lease with the time
// to live of -e, and creates the key "NAME/<lease in hex>" bound to it, with
// its record ("pid:uuid:host") as the value. The holder is the key under
// "NAME/" with the lowest create revision; every other contender waits, by
// a watch, for the deletion of the key created just before its own, so that
// a release wakes exactly one waiter and waiters are served in the order
// they came. The holder's create revision is its fencing value: every later
// holder's key is created later, at a greater revision.
//
// A thread keeps the lease alive every third of its time to live, through
// whichever endpoint answers, from the moment the key is created (a waiter
// keeps its place too), and looks each time that the key is still there
// with the same create revision. The lock is lost when the lease is gone,
// when the key was deleted, or when no keep-alive has reached the cluster
// for half the time to live: this host may then be cut off while the lease
// runs out on the cluster, and the command must be dead before it does
// (kill_deadline_ms()).
//
// Release looks at the key once more (a loss since the last keep-alive is
// reported) and revokes the lease, which deletes the key with it and so
// wakes the next waiter. A try that finds the lock busy, a wait that ends, a
// signal and a failure revoke the lease before the tool exits, so that
// nothing is left behind; a killed tool leaves its key to its lease.
#include "etcd_backend.h"

#include <ovplatform/ovplatform.h>
#include <ovplatform/ovuuid.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "etcd_client.h"
#include "ovtool.h"

namespace ovlockrun {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kDefaultEndpoint[] = "http://127.0.0.1:2379";
// The most of a host's name that a record keeps, as in a lock file.
constexpr int kRecordHostMax = 138;
// A password file is a line of text.
constexpr size_t kPasswordMax = 4096;
// After a failed keep-alive the next try comes this soon, or sooner when a
// third of the time to live is shorter.
constexpr int64_t kRetryMs = 500;

int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The key a lease's contender creates under prefix, as etcd's mutex names it.
std::string contender_key(const std::string &prefix, int64_t lease) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%" PRIx64, static_cast<uint64_t>(lease));
    return prefix + hex;
}

// "pid:uuid:host", as a lock file's record without its newline.
std::string make_record() {
    uint8_t id[16];
    char uuid[OV_UUID_TEXT_LEN + 1] = {};
    ov_uuid_generate(id);
    ov_uuid_to_string(id, uuid);
    char host[256] = {};
    if (ov_platform_hostname(host, sizeof host) != 0) host[0] = '\0';
    char record[32 + OV_UUID_TEXT_LEN + kRecordHostMax];
    std::snprintf(record, sizeof record, "%d:%s:%.*s", static_cast<int>(getpid()), uuid,
                  kRecordHostMax, host);
    return record;
}

// Reads the first line of a password file; false with errno.
bool read_password(const char *path, std::string *out) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0 && text.size() < kPasswordMax)
        text.append(buffer, static_cast<size_t>(n));
    const int error = errno;
    close(fd);
    if (n < 0) {
        errno = error;
        return false;
    }
    text.resize(std::min(text.find('\n'), text.size()));
    if (!text.empty() && text.back() == '\r') text.pop_back();
    *out = std::move(text);
    std::fill(buffer, buffer + sizeof buffer, '\0');
    return true;
}

// Keeps a lease alive from a thread of its own, and watches the key bound
// to it.
class KeepAlive {
  public:
    enum Loss : int { kNone, kLeaseGone, kKeyGone };

    explicit KeepAlive(const ToolServices &tool) : tool_(tool) {}
    ~KeepAlive() { stop(); }
    KeepAlive(const KeepAlive &) = delete;
    KeepAlive &operator=(const KeepAlive &) = delete;

    // Starts the thread for lease, granted with ttl seconds at granted_ms,
    // and key created at revision, with a client of its own on options. A
    // failure comes back as text.
    std::string start(etcd::Options options, int64_t lease, int64_t ttl, int64_t granted_ms,
                      std::string key, int64_t revision) {
        lease_ = lease;
        period_ms_ = std::max<int64_t>(ttl * 1000 / 3, 1);
        stale_ms_ = ttl * 500;
        renewed_ms_.store(granted_ms);
        key_ = std::move(key);
        revision_ = revision;
        if (pipe2(stop_pipe_, O_NONBLOCK | O_CLOEXEC) != 0)
            return std::string("cannot start keeping the lease alive: ") + std::strerror(errno);
        // A request in progress ends as soon as stop() is called.
        options.wake_fd = stop_pipe_[0];
        options.interrupted = [this] { return stopping_.load(); };
        auto client = etcd::Client::create(std::move(options));
        if (!client) return client.error().message();
        client_ = std::move(*client);
        // The thread takes no signal: the tool's handlers run in its main
        // thread, which waits for them.
        sigset_t all;
        sigset_t saved;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &saved);
        const int rc = pthread_create(&thread_, nullptr, &KeepAlive::main, this);
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        if (rc != 0)
            return std::string("cannot start keeping the lease alive: ") + std::strerror(rc);
        running_ = true;
        return {};
    }

    void stop() {
        if (running_) {
            stopping_.store(true);
            const char byte = 0;
            const ssize_t ignored = write(stop_pipe_[1], &byte, 1);
            (void)ignored;
            pthread_join(thread_, nullptr);
            running_ = false;
        }
        for (int &fd : stop_pipe_) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }

    Loss loss() const { return static_cast<Loss>(loss_.load(std::memory_order_acquire)); }
    // When the last keep-alive that succeeded was sent: the lease lives at
    // least its time to live from then.
    int64_t renewed_ms() const { return renewed_ms_.load(std::memory_order_acquire); }
    // The last keep-alive's failure, for a message.
    std::string last_error() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return last_error_;
    }

  private:
    static void *main(void *self) {
        static_cast<KeepAlive *>(self)->loop();
        return nullptr;
    }

    void loop() {
        int64_t next = renewed_ms() + period_ms_;
        while (!stopping_.load()) {
            const int64_t left = next - now_ms();
            if (left > 0) {
                pollfd fd = {stop_pipe_[0], POLLIN, 0};
                poll(&fd, 1, static_cast<int>(std::min<int64_t>(left, INT32_MAX)));
                continue;
            }
            const int64_t sent = now_ms();
            // A round this late (the process was stopped, or starved of the
            // processor) comes past the point where the lock counts as lost.
            // A keep-alive now would hide that the command went on unguarded,
            // so the thread ends without one and the tool finds the gap,
            // whichever of the two threads looks first.
            if (sent - renewed_ms() >= stale_ms_) {
                tool_.wake();
                return;
            }
            bool renewed = false;
            const Loss loss = renew(sent, &renewed);
            if (stopping_.load()) return;
            if (loss != kNone) {
                loss_.store(loss, std::memory_order_release);
                tool_.wake();
                return;
            }
            next = renewed ? sent + period_ms_ : now_ms() + std::min(kRetryMs, period_ms_);
        }
    }

    // One round, sent at sent: the keep-alive, then a look at the key.
    // Records a success in renewed_ms_, a failure in last_error_.
    Loss renew(int64_t sent, bool *renewed) {
        auto left = client_->lease_keepalive(lease_);
        if (left && *left <= 0) return kLeaseGone;
        if (!left) {
            if (left.error().cause == etcd::Cause::kNotFound) return kLeaseGone;
            note(left.error());
            return kNone;
        }
        renewed_ms_.store(sent, std::memory_order_release);
        *renewed = true;
        auto key = client_->get(key_);
        if (!key) {
            note(key.error());
            return kNone;
        }
        if (!key->has_value() || (*key)->create_revision != revision_) return kKeyGone;
        return kNone;
    }

    void note(const etcd::Error &error) {
        if (error.cause == etcd::Cause::kInterrupted) return;
        std::lock_guard<std::mutex> guard(mutex_);
        last_error_ = error.message();
    }

    std::unique_ptr<etcd::Client> client_;
    const ToolServices tool_;
    int64_t lease_ = 0;
    int64_t period_ms_ = 1;
    std::string key_;
    int64_t revision_ = 0;
    int64_t stale_ms_ = 0;  // half the time to live: no keep-alive for this long is a loss
    std::atomic<int64_t> renewed_ms_{0};
    std::atomic<int> loss_{kNone};
    std::atomic<bool> stopping_{false};
    int stop_pipe_[2] = {-1, -1};
    pthread_t thread_{};
    bool running_ = false;
    mutable std::mutex mutex_;
    std::string last_error_;
};

class EtcdBackend final : public LockBackend {
  public:
    EtcdBackend(const LockRequest &request, etcd::Options options, const ToolServices &tool)
        : request_(request),
          options_(std::move(options)),
          tool_(tool),
          prefix_(std::string(request.name) + "/") {}
    ~EtcdBackend() override { leave(); }
    EtcdBackend(const EtcdBackend &) = delete;
    EtcdBackend &operator=(const EtcdBackend &) = delete;

    Acquired acquire() override {
        client_ = connect(options_for_waiting());
        if (!client_) return Acquired::kFailed;
        const int64_t granted_ms = now_ms();
        auto grant = client_->lease_grant(request_.expiration);
        if (!grant) return failed(grant.error());
        lease_ = grant->id;
        // A cluster may grant more than was asked, and keeps the lease that
        // long; keep-alive and loss keep to the shorter of the two.
        ttl_ = std::clamp<int64_t>(grant->ttl, 1, request_.expiration);
        key_ = contender_key(prefix_, lease_);
        record_ = make_record();
        // The transaction also reads the oldest key under the prefix: an
        // uncontended lock costs two requests.
        auto created = client_->create(key_, record_, lease_, prefix_);
        if (!created) return failed(created.error());
        if (!created->created && created->holder.lease != lease_) {
            // Nobody else creates a key named after this lease.
            say_failure(key_ + " exists already, bound to another lease");
            leave();
            return Acquired::kFailed;
        }
        revision_ = created->create_revision;

        keeper_ = std::make_unique<KeepAlive>(tool_);
        const std::string why =
            keeper_->start(options_for_keeping(), lease_, ttl_, granted_ms, key_, revision_);
        if (!why.empty()) {
            say_failure(why);
            leave();
            return Acquired::kFailed;
        }
        if (created->owner && created->owner->key == key_) return Acquired::kAcquired;
        if (request_.wait_seconds <= 0 && created->owner) return busy(*created->owner);
        return wait_for_turn();
    }

    bool set_environment() override {
        const std::string fence = std::to_string(revision_);
        tool_.debug("Acquired %s [%s] fence %s", key_.c_str(), record_.c_str(), fence.c_str());
        // The password was for the cluster, not for the command.
        unsetenv("OVLOCK_ETCD_PASSWORD");
        if (setenv("OVLOCK_KEY", key_.c_str(), 1) != 0 ||
            setenv("OVLOCK_RECORD", record_.c_str(), 1) != 0 ||
            setenv("OVLOCK_FENCE", fence.c_str(), 1) != 0) {
            tool_.say("cannot set up the command's environment: %s", std::strerror(errno));
            return false;
        }
        return true;
    }

    // The lease has been kept alive since the key was made.
    int64_t keep_alive_delay_ms() const override { return 0; }
    bool keep_alive() override {
        tool_.debug("Keep-alive of lease %" PRIx64 " every %" PRId64 " ms",
                    static_cast<uint64_t>(lease_), ttl_ * 1000 / 3);
        return true;
    }

    bool lost() override {
        if (keeper_->loss() != KeepAlive::kNone) return true;
        return now_ms() - keeper_->renewed_ms() >= ttl_ * 500;
    }

    void report_loss(const char *then) override {
        switch (found_ != KeepAlive::kNone ? found_ : keeper_->loss()) {
            case KeepAlive::kLeaseGone:
                tool_.say("lock lost: the lease of %s expired or was revoked%s", key_.c_str(),
                          then);
                return;
            case KeepAlive::kKeyGone:
                tool_.say("lock lost: %s was deleted%s", key_.c_str(), then);
                return;
            case KeepAlive::kNone:
                break;
        }
        const std::string why = keeper_->last_error();
        tool_.say("lock lost: no keep-alive of %s reached the cluster for %" PRId64 " ms (%s)%s",
                  key_.c_str(), now_ms() - keeper_->renewed_ms(),
                  why.empty() ? "no answer" : why.c_str(), then);
    }

    // The lease runs out on the cluster no sooner than its time to live
    // after the last keep-alive that reached it was sent; the command is
    // dead a margin before (a second, or a quarter of a short lease).
    int64_t kill_deadline_ms() const override {
        const int64_t ttl_ms = ttl_ * 1000;
        return keeper_->renewed_ms() + ttl_ms - std::min<int64_t>(1000, ttl_ms / 4);
    }

    const char *lock_name() const override { return key_.c_str(); }

    Released release(bool quiet) override {
        const KeepAlive::Loss loss = keeper_ ? keeper_->loss() : KeepAlive::kNone;
        // A command that ended while no keep-alive had reached the cluster
        // for half the time to live (this process was stopped, say, and its
        // command went on first) ran past the point where the lock counts
        // as lost, even if the lease has not been revoked yet.
        const bool stale = keeper_ && lost();
        if (keeper_) keeper_->stop();
        // No signal abandons the release.
        releasing_ = true;
        // A look at the key tells a lock lost since the last keep-alive; the
        // revocation then deletes the key with the lease, and that deletion
        // wakes the next waiter.
        auto key = client_->get(key_);
        auto revoked = client_->lease_revoke(lease_);
        found_ = loss;
        if (found_ == KeepAlive::kNone && key &&
            (!key->has_value() || (*key)->create_revision != revision_))
            found_ = KeepAlive::kKeyGone;
        if (found_ == KeepAlive::kNone && !revoked &&
            revoked.error().cause == etcd::Cause::kNotFound)
            found_ = KeepAlive::kLeaseGone;
        lease_ = 0;
        if (found_ != KeepAlive::kNone || stale) {
            if (!quiet) report_loss(" before the command ended");
            return Released::kLost;
        }
        if (!revoked) {
            if (!quiet)
                tool_.say("cannot release the lock %s: %s; it ends when its lease runs out",
                          key_.c_str(), revoked.error().message().c_str());
            return Released::kFailed;
        }
        tool_.debug("Released %s", key_.c_str());
        return Released::kReleased;
    }

    // A look changes nothing: the tool leaves the signals to end it.
    int check() override {
        client_ = connect(options_);
        if (!client_) return kExitFailure;
        auto range = client_->range_prefix(prefix_, 0);
        if (!range) return check_failed(range.error());
        if (range->kvs.empty()) {
            std::printf("verdict: free\n");
            return 0;
        }
        const etcd::KeyValue &holder = range->kvs.front();
        auto ttl = client_->lease_time_to_live(holder.lease);
        if (!ttl) return check_failed(ttl.error());
        std::vector<char> value_out(4 * holder.value.size() + 1);
        const char *value = ovtool::shown(holder.value.c_str(), value_out.data(), value_out.size());
        std::vector<char> key_out(4 * holder.key.size() + 1);
        const char *key = ovtool::shown(holder.key.c_str(), key_out.data(), key_out.size());
        std::printf("record: %s\nkey: %s\nfence: %" PRId64 "\ntime left: %" PRId64
                    " s\nwaiters: %zu\nverdict: held\n",
                    value, key, holder.create_revision, ttl->ttl, range->kvs.size() - 1);
        return kExitBusy;
    }

  private:
    etcd::Options options_for_waiting() {
        etcd::Options o = options_;
        o.wake_fd = tool_.wake_fd;
        o.interrupted = [this] {
            const bool signalled = tool_.signalled();
            if (releasing_) return false;
            if (signalled) interrupted_ = true;
            return signalled || (keeper_ && keeper_->loss() != KeepAlive::kNone);
        };
        return o;
    }

    // The keep-alive's requests must fail over well inside half the time to
    // live, when the lock would count as lost.
    etcd::Options options_for_keeping() {
        etcd::Options o = options_;
        const milliseconds limit(
            std::clamp<int64_t>(request_.expiration * int64_t{1000} / 6, 300, 2000));
        o.request_timeout = std::min(o.request_timeout, limit);
        o.connect_timeout = std::min(o.connect_timeout, limit);
        return o;
    }

    std::unique_ptr<etcd::Client> connect(etcd::Options options) {
        auto client = etcd::Client::create(std::move(options));
        if (!client) {
            say_failure(client.error().message());
            return nullptr;
        }
        return std::move(*client);
    }

    // Waits, key by key, until this contender's key is the oldest.
    Acquired wait_for_turn() {
        const auto deadline =
            Clock::now() + milliseconds(static_cast<int64_t>(request_.wait_seconds * 1000.0));
        for (;;) {
            auto range = client_->range_prefix(prefix_, 0);
            if (!range) return failed(range.error());
            const auto &kvs = range->kvs;
            const auto own = std::find_if(kvs.begin(), kvs.end(), [this](const etcd::KeyValue &kv) {
                return kv.key == key_;
            });
            if (own == kvs.end()) {
                say_failure(key_ + " was deleted while it waited");
                leave();
                return Acquired::kFailed;
            }
            if (own == kvs.begin()) {
                if (keeper_->loss() == KeepAlive::kNone) return Acquired::kAcquired;
                say_failure("the lease of " + key_ + " ended while it waited");
                leave();
                return Acquired::kFailed;
            }
            if (tool_.signalled()) return signalled();
            if (Clock::now() >= deadline) return busy(kvs.front());
            auto gone = client_->wait_deleted((own - 1)->key, deadline);
            if (!gone) return failed(gone.error());
        }
    }

    Acquired busy(const etcd::KeyValue &holder) {
        if (!request_.quiet)
            tool_.say("lock busy: %s is held by [%s]", holder.key.c_str(), holder.value.c_str());
        leave();
        return Acquired::kBusy;
    }

    Acquired signalled() {
        leave();
        return Acquired::kSignalled;
    }

    Acquired failed(const etcd::Error &error) {
        if (error.cause == etcd::Cause::kInterrupted) {
            if (interrupted_) return signalled();
            if (keeper_ && keeper_->loss() != KeepAlive::kNone) {
                say_failure("the lease of " + key_ + " ended while it waited");
                leave();
                return Acquired::kFailed;
            }
        }
        say_failure(error.message());
        leave();
        return Acquired::kFailed;
    }

    void say_failure(const std::string &why) {
        tool_.say("cannot acquire the lock %s on etcd: %s", request_.name, why.c_str());
    }

    int check_failed(const etcd::Error &error) {
        tool_.say("cannot look at the lock %s on etcd: %s", request_.name, error.message().c_str());
        return kExitFailure;
    }

    // Takes back whatever this contender has on the cluster: its lease,
    // and with it its key (the next waiter's wake). A failure here leaves
    // both to the lease's time to live.
    void leave() {
        if (keeper_) keeper_->stop();
        if (lease_ == 0 || !client_) return;
        releasing_ = true;
        (void)client_->lease_revoke(lease_);
        lease_ = 0;
    }

    const LockRequest request_;
    const etcd::Options options_;
    const ToolServices tool_;
    const std::string prefix_;
    std::unique_ptr<etcd::Client> client_;
    std::unique_ptr<KeepAlive> keeper_;
    int64_t lease_ = 0;
    int64_t ttl_ = 0;  // seconds
    std::string key_;
    std::string record_;
    int64_t revision_ = 0;
    bool releasing_ = false;
    bool interrupted_ = false;
    // The loss that the release found, if the keep-alive had not.
    KeepAlive::Loss found_ = KeepAlive::kNone;
};

// Splits "URL[,URL...]"; a usage message when one is not a URL.
std::string split_endpoints(const char *text, std::vector<std::string> *out) {
    std::string_view rest(text);
    for (;;) {
        const size_t comma = rest.find(',');
        const std::string_view url = rest.substr(0, comma);
        if (url.empty()) return "invalid endpoints '" + std::string(text) + "': an empty URL";
        const std::string why = etcd::check_endpoint(url);
        if (!why.empty()) return "invalid endpoint '" + std::string(url) + "': " + why;
        out->emplace_back(url);
        if (comma == std::string_view::npos) return {};
        rest.remove_prefix(comma + 1);
    }
}

}  // namespace

std::unique_ptr<LockBackend> make_etcd_backend(const LockRequest &request,
                                               const EtcdSettings &settings,
                                               const ToolServices &tool, std::string *usage) {
    etcd::Options options;
    const char *endpoints = settings.endpoints;
    if (endpoints == nullptr) endpoints = std::getenv("OVLOCK_ETCD_ENDPOINTS");
    if (endpoints == nullptr || endpoints[0] == '\0') endpoints = kDefaultEndpoint;
    *usage = split_endpoints(endpoints, &options.endpoints);
    if (!usage->empty()) return nullptr;
    if (settings.cacert != nullptr) options.ca_file = settings.cacert;
    if (settings.cert != nullptr) options.cert_file = settings.cert;
    if (settings.key != nullptr) options.key_file = settings.key;
    if (settings.user != nullptr) {
        options.user = settings.user;
        if (settings.password_file != nullptr) {
            if (!read_password(settings.password_file, &options.password)) {
                tool.say("cannot read the password file %s: %s", settings.password_file,
                         std::strerror(errno));
                return nullptr;
            }
        } else if (const char *password = std::getenv("OVLOCK_ETCD_PASSWORD")) {
            options.password = password;
        } else {
            *usage = "--user needs a password: OVLOCK_ETCD_PASSWORD or --password-file";
            return nullptr;
        }
        if (options.password.empty()) {
            *usage = "--user needs a password, and the one given is empty";
            return nullptr;
        }
    }
    return std::make_unique<EtcdBackend>(request, std::move(options), tool);
}

}  // namespace ovlockrun
