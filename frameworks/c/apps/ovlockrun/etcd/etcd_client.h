// etcd_client.h - a small client of etcd's v3 HTTP/JSON gateway.
//
// The client speaks the gateway's JSON (paths under /v3/, keys and values in
// Base64) through libcurl, for the few operations a lock on etcd needs:
// leases (grant, one keep-alive round, revoke, time to live), a put that only
// creates, ranges over a prefix in create-revision order, single-key get and
// delete, a wait for a key's deletion, and a member's status.
//
// Endpoints are tried in order. A request moves on to the next endpoint when
// one cannot be reached, does not answer within the time-outs, fails TLS,
// says it has no leader or is unavailable, or answers with something that is
// not the gateway's JSON; every other answer (an error the cluster gives,
// such as a lease it does not know, or a refused user) is final. The client
// remembers the endpoint that last answered and starts there next time, so
// that a dead first endpoint costs its time-out once, not on every call.
// A call therefore takes at most (number of endpoints) x request_timeout
// (twice that with a user, when a token has to be fetched from each), and
// when every endpoint fails the error lists each one with its cause.
//
// A request that timed out may still have been applied by the cluster
// before it was retried elsewhere: a lease may be granted twice (the
// unused one expires), and a create retried after it succeeded finds the
// key present with the caller's own lease, which the caller can recognise
// (CreateResult::holder).
//
// Nothing here throws; every result is a Result<T> holding either the value
// or an Error. A Client is not thread-safe: use one per thread. Replies are
// parsed by the functions in namespace reply, which take text and nothing
// else, so that they can be tested and fuzzed on their own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ovlockrun::etcd {

// Why a request failed.
enum class Cause {
    kBadOption,    // an option or URL the client cannot use (nothing was sent)
    kConnect,      // the endpoint could not be reached (refused, unreachable)
    kTimeout,      // no complete answer within the time-out, or the deadline passed
    kTls,          // the TLS handshake or certificate check failed
    kHttpStatus,   // an HTTP status that is not success, without the gateway's error body
    kNoLeader,     // the member has no leader or is unavailable
    kAuth,         // user or password refused, or permission denied
    kNotFound,     // the cluster does not know the lease
    kServer,       // another error the cluster reported (code and message in the detail)
    kMalformed,    // the answer is not the JSON expected
    kTransport,    // another failure of the HTTP layer
    kInterrupted,  // Options::interrupted said so; the request was abandoned
};
const char *cause_name(Cause cause);

// One endpoint's failure.
struct Attempt {
    std::string endpoint;  // empty when no endpoint was involved
    Cause cause;
    std::string detail;  // the words of libcurl, of the server or of the parser
};

// A failed call: the cause that ended it and each endpoint tried on the way.
struct Error {
    Cause cause = Cause::kTransport;
    std::vector<Attempt> attempts;
    // "http://127.0.0.1:2379: connection refused (...); https://...: timed out (...)"
    std::string message() const;
};

template <class T>
class Result {
  public:
    Result(T value) : value_(std::move(value)) {}      // NOLINT: implicit by design
    Result(Error error) : error_(std::move(error)) {}  // NOLINT
    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    // Only when ok().
    T &value() { return *value_; }
    const T &value() const { return *value_; }
    T &operator*() { return *value_; }
    const T &operator*() const { return *value_; }
    T *operator->() { return &*value_; }
    const T *operator->() const { return &*value_; }
    // Only when !ok().
    const Error &error() const { return error_; }

  private:
    std::optional<T> value_;
    Error error_;
};

struct Done {};
using Status = Result<Done>;

// A key as the cluster keeps it.
struct KeyValue {
    std::string key;
    std::string value;
    int64_t create_revision = 0;
    int64_t mod_revision = 0;
    int64_t lease = 0;  // 0 when the key has no lease
};

struct LeaseGrant {
    int64_t id = 0;
    int64_t ttl = 0;  // seconds the cluster granted
};

struct LeaseTimeToLive {
    int64_t ttl = -1;  // seconds left; -1 when the lease is gone
    int64_t granted_ttl = 0;
};

struct CreateResult {
    bool created = false;
    int64_t create_revision = 0;  // the key's, whoever created it
    // When not created: the key that was there (its value, lease, revisions).
    KeyValue holder;
    // With an owner prefix: the key under it with the lowest create
    // revision, as the transaction saw it.
    std::optional<KeyValue> owner;
};

struct RangeResult {
    std::vector<KeyValue> kvs;  // empty for a count-only range
    int64_t count = 0;          // keys in the range, whatever the limit
    bool more = false;          // the limit left some out
    int64_t revision = 0;       // the store's revision when it answered
};

struct MemberStatus {
    std::string version;
    uint64_t member_id = 0;
    uint64_t leader = 0;  // 0 when the member knows no leader
    int64_t raft_term = 0;
    int64_t revision = 0;
};

struct Options {
    // "http://HOST:PORT" or "https://HOST:PORT", tried in this order.
    std::vector<std::string> endpoints;
    // TLS, for https endpoints: the CA that signed the servers' certificates
    // (the system's store when empty) and an optional client certificate
    // with its key. Certificates and host names are always verified.
    std::string ca_file;
    std::string cert_file;
    std::string key_file;
    // With a user, the client authenticates with the password and sends the
    // token it gets with every request. Neither the password nor the token
    // appears in any message.
    std::string user;
    std::string password;
    std::chrono::milliseconds connect_timeout{1000};
    std::chrono::milliseconds request_timeout{2000};
    // A wait for a deletion reads the key again and opens a new watch this
    // often, so that a member that stopped answering in the middle of a
    // watch is left within this time plus request_timeout.
    std::chrono::milliseconds watch_slice{3000};
    // When wake_fd becomes readable during a request, interrupted() is
    // asked; true abandons the request with kInterrupted at once (a signal
    // that ends the caller's wait, say). interrupted() must leave wake_fd
    // unreadable when it says false.
    int wake_fd = -1;
    std::function<bool()> interrupted;
};

// Checks one endpoint URL: http or https, a host (a name, IPv4 address, or
// IPv6 address in brackets), a port from 1 to 65535, and at most a "/"
// after it. An empty result means it is fine; otherwise why not.
std::string check_endpoint(std::string_view url);

// The end of the range that holds every key starting with prefix.
std::string prefix_range_end(std::string_view prefix);

class Client {
  public:
    // Checks the options (kBadOption with the reason) and sets up a client.
    static Result<std::unique_ptr<Client>> create(Options options);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    Result<LeaseGrant> lease_grant(int64_t ttl_seconds);
    // One keep-alive round: the seconds the lease has left, 0 when it is gone.
    Result<int64_t> lease_keepalive(int64_t id);
    // kNotFound when the lease was already gone.
    Status lease_revoke(int64_t id);
    Result<LeaseTimeToLive> lease_time_to_live(int64_t id);

    // Puts key=value bound to lease (0 for none) only if the key does not
    // exist, in one transaction (compare create_revision == 0). With an
    // owner prefix, the same transaction reads the oldest key under it.
    Result<CreateResult> create(std::string_view key, std::string_view value, int64_t lease,
                                std::string_view owner_prefix = {});
    // The keys under prefix in ascending create revision, at most limit of
    // them (0: all); count_only leaves kvs empty and gives only the count.
    Result<RangeResult> range_prefix(std::string_view prefix, int64_t limit,
                                     bool count_only = false);
    // The key, or an empty optional when it does not exist.
    Result<std::optional<KeyValue>> get(std::string_view key);
    // The number of keys deleted (0 or 1).
    Result<int64_t> remove(std::string_view key);
    // Returns true once the key does not exist (at once when it does not
    // exist now), false when the deadline passes first. The key is read
    // once, then watched from the revision after that read, so that a
    // deletion in between is not missed; see Options::watch_slice.
    Result<bool> wait_deleted(std::string_view key, std::chrono::steady_clock::time_point deadline);
    // The status of one endpoint (not necessarily one of the options' list;
    // it uses the same TLS and time-out options), without failing over.
    Result<MemberStatus> status(const std::string &endpoint);

    // The endpoint that answered last, where the next request starts.
    const std::string &current_endpoint() const;

  private:
    struct Impl;
    explicit Client(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Parsers of the gateway's answers. Each takes the body as text and gives
// the value or an Error with cause kMalformed (the reply is not the JSON
// expected), or the cause an error body names (the gateway's
// {"error", "code", "message"}). Integers may come as JSON strings (the
// gateway's way with 64-bit numbers) or numbers; fields at their zero value
// are left out by the gateway and read as zero.
namespace reply {
// An error body, if the text is one: the cause its code and message name.
std::optional<Attempt> error_body(std::string_view text);
Result<LeaseGrant> lease_grant(std::string_view text);
Result<int64_t> lease_keepalive(std::string_view text);
Result<LeaseTimeToLive> lease_time_to_live(std::string_view text);
Status lease_revoke(std::string_view text);
Result<CreateResult> create(std::string_view text);
Result<RangeResult> range(std::string_view text);
Result<int64_t> remove(std::string_view text);
Result<MemberStatus> status(std::string_view text);
Result<std::string> authenticate(std::string_view text);

// One message of a watch stream.
struct WatchEvent {
    bool created = false;
    bool canceled = false;
    bool deleted = false;  // a DELETE event for the key arrived
    int64_t revision = 0;
    int64_t compact_revision = 0;
    std::string cancel_reason;
};
Result<WatchEvent> watch_message(std::string_view text);
}  // namespace reply

}  // namespace ovlockrun::etcd
