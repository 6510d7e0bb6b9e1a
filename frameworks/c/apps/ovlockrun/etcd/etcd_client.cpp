// etcd_client.cpp - the etcd v3 gateway client: replies, transport, calls.
//
// Three parts, in this order:
//   - reply parsing: text in, values or an Error out; every field is checked
//     before it is used, since a reply is untrusted input;
//   - transport: one libcurl easy handle per client (kept-alive connections
//     to the endpoint in use), time-outs, TLS, the token header, and the
//     mapping of libcurl's results to causes;
//   - calls: each operation's request, sent with fail-over along the
//     endpoints, and the watch behind wait_deleted.
//
// The project builds without exceptions, so the JSON library is used only
// in ways that cannot throw: parsing with exceptions off (a failure gives a
// discarded value), lookups with find(), and reads only after the type has
// been checked. Requests are built from Base64 text and numbers, and are
// dumped with invalid UTF-8 replaced, which the options check rules out for
// the only free text (user and password).
#include "etcd_client.h"

#include <ovplatform/ovstring.h>

#include <curl/curl.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <mutex>
#include <thread>

namespace ovlockrun::etcd {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// No reply the client asks for comes near this; more is not the gateway.
constexpr size_t kMaxReply = 4 << 20;

Error make_error(Cause cause, std::string detail, std::string endpoint = {}) {
    Error e;
    e.cause = cause;
    e.attempts.push_back({std::move(endpoint), cause, std::move(detail)});
    return e;
}

Error malformed(std::string detail) {
    return make_error(Cause::kMalformed, std::move(detail));
}

// Base64 --------------------------------------------------------------------

std::string b64_encode(std::string_view data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    size_t length = 0;
    if (ov_str_base64_encode(data.data(), data.size(), out.data(), out.size(), &length) != 0)
        return {};
    out.resize(length);
    return out;
}

std::optional<std::string> b64_decode(std::string_view text) {
    if (text.empty()) return std::string();
    std::string out(3 * (text.size() / 4) + 4, '\0');
    size_t length = 0;
    if (ov_str_base64_to_buf(text.data(), text.size(), out.data(), out.size(), &length) != 0)
        return std::nullopt;
    out.resize(length);
    return out;
}

// Reading replies -----------------------------------------------------------

json parse_json(std::string_view text) {
    return json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
}

// A 64-bit field, as a JSON string of digits or a JSON integer; an absent
// field is zero. False for any other type or text.
bool read_i64(const json &obj, const char *name, int64_t *out) {
    *out = 0;
    const auto it = obj.find(name);
    if (it == obj.end() || it->is_null()) return true;
    if (it->is_number_integer()) {
        if (it->is_number_unsigned() && it->get<uint64_t>() > INT64_MAX) return false;
        *out = it->get<int64_t>();
        return true;
    }
    if (!it->is_string()) return false;
    const std::string &s = it->get_ref<const std::string &>();
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
    return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

bool read_u64(const json &obj, const char *name, uint64_t *out) {
    *out = 0;
    const auto it = obj.find(name);
    if (it == obj.end() || it->is_null()) return true;
    if (it->is_number_unsigned()) {
        *out = it->get<uint64_t>();
        return true;
    }
    if (!it->is_string()) return false;
    const std::string &s = it->get_ref<const std::string &>();
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
    return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

bool read_bool(const json &obj, const char *name, bool *out) {
    *out = false;
    const auto it = obj.find(name);
    if (it == obj.end() || it->is_null()) return true;
    if (!it->is_boolean()) return false;
    *out = it->get<bool>();
    return true;
}

// A string field (absent: empty).
bool read_string(const json &obj, const char *name, std::string *out) {
    out->clear();
    const auto it = obj.find(name);
    if (it == obj.end() || it->is_null()) return true;
    if (!it->is_string()) return false;
    *out = it->get_ref<const std::string &>();
    return true;
}

// A Base64 field, decoded.
bool read_bytes(const json &obj, const char *name, std::string *out) {
    std::string text;
    if (!read_string(obj, name, &text)) return false;
    auto bytes = b64_decode(text);
    if (!bytes) return false;
    *out = std::move(*bytes);
    return true;
}

// An object member that must be there (or may be absent when optional).
const json *object_field(const json &obj, const char *name) {
    const auto it = obj.find(name);
    if (it == obj.end() || !it->is_object()) return nullptr;
    return &*it;
}

// The error of a call whose one attempt the server refused.
Error failed(const Attempt &attempt) {
    Error e;
    e.cause = attempt.cause;
    e.attempts.push_back(attempt);
    return e;
}

// The reply as an object with a header; the header's revision in *revision.
Result<json> open_reply(std::string_view text, int64_t *revision) {
    if (auto err = reply::error_body(text)) return failed(*err);
    json doc = parse_json(text);
    if (doc.is_discarded()) return malformed("the reply is not JSON");
    if (!doc.is_object()) return malformed("the reply is not a JSON object");
    const json *header = object_field(doc, "header");
    if (header == nullptr) return malformed("the reply has no header");
    if (!read_i64(*header, "revision", revision)) return malformed("bad revision in the header");
    return doc;
}

bool read_kv(const json &obj, KeyValue *kv) {
    return obj.is_object() && read_bytes(obj, "key", &kv->key) &&
           read_bytes(obj, "value", &kv->value) &&
           read_i64(obj, "create_revision", &kv->create_revision) &&
           read_i64(obj, "mod_revision", &kv->mod_revision) && read_i64(obj, "lease", &kv->lease);
}

bool read_kvs(const json &obj, std::vector<KeyValue> *kvs) {
    const auto it = obj.find("kvs");
    if (it == obj.end() || it->is_null()) return true;
    if (!it->is_array()) return false;
    for (const json &item : *it) {
        KeyValue kv;
        if (!read_kv(item, &kv)) return false;
        kvs->push_back(std::move(kv));
    }
    return true;
}

// The cause a gateway error names: its gRPC code first, its words second.
Cause cause_of(int64_t code, std::string_view message) {
    if (message.find("no leader") != std::string_view::npos) return Cause::kNoLeader;
    if (message.find("authentication failed") != std::string_view::npos ||
        message.find("invalid auth token") != std::string_view::npos ||
        message.find("permission denied") != std::string_view::npos)
        return Cause::kAuth;
    switch (code) {
        case 5:  // NotFound
            return Cause::kNotFound;
        case 7:   // PermissionDenied
        case 16:  // Unauthenticated
            return Cause::kAuth;
        case 4:   // DeadlineExceeded: the cluster could not commit in time
        case 14:  // Unavailable
            return Cause::kNoLeader;
        default:
            return Cause::kServer;
    }
}

}  // namespace

const char *cause_name(Cause cause) {
    switch (cause) {
        case Cause::kBadOption:
            return "bad option";
        case Cause::kConnect:
            return "cannot connect";
        case Cause::kTimeout:
            return "timed out";
        case Cause::kTls:
            return "TLS failure";
        case Cause::kHttpStatus:
            return "HTTP error";
        case Cause::kNoLeader:
            return "no leader";
        case Cause::kAuth:
            return "authentication refused";
        case Cause::kNotFound:
            return "not found";
        case Cause::kServer:
            return "server error";
        case Cause::kMalformed:
            return "malformed reply";
        case Cause::kTransport:
            return "transport failure";
        case Cause::kInterrupted:
            return "interrupted";
    }
    return "unknown";
}

std::string Error::message() const {
    std::string out;
    for (const Attempt &a : attempts) {
        if (!out.empty()) out += "; ";
        if (!a.endpoint.empty()) out += a.endpoint + ": ";
        out += cause_name(a.cause);
        if (!a.detail.empty()) out += " (" + a.detail + ")";
    }
    return out.empty() ? cause_name(cause) : out;
}

namespace reply {

std::optional<Attempt> error_body(std::string_view text) {
    const json doc = parse_json(text);
    if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
    const auto it = doc.find("error");
    if (it == doc.end()) return std::nullopt;
    int64_t code = 0;
    std::string message;
    if (it->is_string()) {
        // Unary calls: {"error": "...", "message": "...", "code": N}.
        if (!read_i64(doc, "code", &code)) code = -1;
        if (!read_string(doc, "message", &message) || message.empty())
            message = it->get_ref<const std::string &>();
    } else if (it->is_object()) {
        // Streaming calls: {"error": {"grpc_code": N, "message": "...", ...}}.
        if (!read_i64(*it, "grpc_code", &code)) code = -1;
        if (!read_string(*it, "message", &message)) message.clear();
    } else {
        return std::nullopt;
    }
    // The server's words are kept short; they end up in one line.
    if (message.size() > 200) message.resize(200);
    return Attempt{{}, cause_of(code, message), message + " (code " + std::to_string(code) + ")"};
}

Result<LeaseGrant> lease_grant(std::string_view text) {
    int64_t revision = 0;
    auto doc = open_reply(text, &revision);
    if (!doc) return doc.error();
    LeaseGrant g;
    if (!read_i64(*doc, "ID", &g.id) || !read_i64(*doc, "TTL", &g.ttl))
        return malformed("bad ID or TTL in the lease grant");
    std::string error;
    if (!read_string(*doc, "error", &error)) return malformed("bad error in the lease grant");
    if (!error.empty()) return make_error(Cause::kServer, error);
    if (g.id == 0 || g.ttl <= 0) return malformed("the lease grant has no ID or TTL");
    return g;
}

Result<int64_t> lease_keepalive(std::string_view text) {
    if (auto err = error_body(text)) return failed(*err);
    const json doc = parse_json(text);
    if (doc.is_discarded() || !doc.is_object()) return malformed("the reply is not a JSON object");
    const json *result = object_field(doc, "result");
    if (result == nullptr || object_field(*result, "header") == nullptr)
        return malformed("the keep-alive reply has no result");
    int64_t ttl = 0;
    if (!read_i64(*result, "TTL", &ttl)) return malformed("bad TTL in the keep-alive reply");
    return std::max<int64_t>(ttl, 0);
}

Result<LeaseTimeToLive> lease_time_to_live(std::string_view text) {
    int64_t revision = 0;
    auto doc = open_reply(text, &revision);
    if (!doc) return doc.error();
    LeaseTimeToLive t;
    if (!read_i64(*doc, "TTL", &t.ttl) || !read_i64(*doc, "grantedTTL", &t.granted_ttl))
        return malformed("bad TTL in the time-to-live reply");
    return t;
}

Status lease_revoke(std::string_view text) {
    int64_t revision = 0;
    auto doc = open_reply(text, &revision);
    if (!doc) return doc.error();
    return Done{};
}

Result<CreateResult> create(std::string_view text) {
    int64_t revision = 0;
    auto doc = open_reply(text, &revision);
    if (!doc) return doc.error();
    CreateResult c;
    if (!read_bool(*doc, "succeeded", &c.created)) return malformed("bad succeeded in the txn");
    // The gateway leaves out an empty list, as it leaves out every field at
    // its zero value.
    static const json kNone = json::array();
    auto found = doc->find("responses");
    const json &responses = found == doc->end() ? kNone : *found;
    if (!responses.is_array() || responses.size() > 2 || (!c.created && responses.empty()))
        return malformed("the txn reply has not the responses asked for");
    // The owner's range, when asked for, comes last in either branch.
    if (responses.size() == 2) {
        const json *owner = object_field(responses[1], "response_range");
        std::vector<KeyValue> kvs;
        if (owner == nullptr || !read_kvs(*owner, &kvs) || kvs.size() > 1)
            return malformed("bad owner range in the txn reply");
        if (!kvs.empty()) c.owner = std::move(kvs[0]);
    }
    if (c.created) {
        // The put is the transaction's only write: the key was created at
        // the revision the transaction made.
        if (revision <= 0) return malformed("the txn reply has no revision");
        c.create_revision = revision;
        if (responses.size() == 2 && !c.owner)
            return malformed("the key was created but its prefix is empty");
        return c;
    }
    const json *range = object_field(responses[0], "response_range");
    std::vector<KeyValue> kvs;
    if (range == nullptr || !read_kvs(*range, &kvs)) return malformed("bad range in the txn reply");
    // The compare and the range see the same revision: the key is there.
    if (kvs.size() != 1) return malformed("the txn failed but the key is not there");
    c.holder = std::move(kvs[0]);
    c.create_revision = c.holder.create_revision;
    if (c.create_revision <= 0) return malformed("the holder has no create revision");
    if (responses.size() == 2 && !c.owner)
        return malformed("the key is there but its prefix is empty");
    return c;
}

Result<RangeResult> range(std::string_view text) {
    RangeResult r;
    auto doc = open_reply(text, &r.revision);
    if (!doc) return doc.error();
    if (!read_kvs(*doc, &r.kvs)) return malformed("bad kvs in the range reply");
    if (!read_i64(*doc, "count", &r.count) || !read_bool(*doc, "more", &r.more))
        return malformed("bad count in the range reply");
    if (r.count < static_cast<int64_t>(r.kvs.size()))
        return malformed("the range reply counts fewer keys than it holds");
    return r;
}

Result<int64_t> remove(std::string_view text) {
    int64_t revision = 0;
    auto doc = open_reply(text, &revision);
    if (!doc) return doc.error();
    int64_t deleted = 0;
    if (!read_i64(*doc, "deleted", &deleted) || deleted < 0)
        return malformed("bad deleted in the delete reply");
    return deleted;
}

Result<MemberStatus> status(std::string_view text) {
    MemberStatus s;
    auto doc = open_reply(text, &s.revision);
    if (!doc) return doc.error();
    const json &header = *object_field(*doc, "header");
    if (!read_string(*doc, "version", &s.version) || !read_u64(*doc, "leader", &s.leader) ||
        !read_u64(header, "member_id", &s.member_id) || !read_i64(*doc, "raftTerm", &s.raft_term))
        return malformed("bad fields in the status reply");
    if (s.version.empty()) return malformed("the status reply has no version");
    return s;
}

Result<std::string> authenticate(std::string_view text) {
    int64_t revision = 0;
    auto doc = open_reply(text, &revision);
    if (!doc) return doc.error();
    std::string token;
    if (!read_string(*doc, "token", &token) || token.empty())
        return malformed("the authentication reply has no token");
    // The token goes into a header line: nothing that could end the line.
    if (token.find_first_of("\r\n") != std::string::npos)
        return malformed("the token holds a line break");
    return token;
}

Result<WatchEvent> watch_message(std::string_view text) {
    if (auto err = error_body(text)) return failed(*err);
    const json doc = parse_json(text);
    if (doc.is_discarded() || !doc.is_object()) return malformed("the watch message is not JSON");
    const json *result = object_field(doc, "result");
    if (result == nullptr) return malformed("the watch message has no result");
    const json *header = object_field(*result, "header");
    WatchEvent w;
    if (header == nullptr || !read_i64(*header, "revision", &w.revision) ||
        !read_bool(*result, "created", &w.created) ||
        !read_bool(*result, "canceled", &w.canceled) ||
        !read_i64(*result, "compact_revision", &w.compact_revision) ||
        !read_string(*result, "cancel_reason", &w.cancel_reason))
        return malformed("bad fields in the watch message");
    const auto events = result->find("events");
    if (events != result->end() && !events->is_null()) {
        if (!events->is_array()) return malformed("bad events in the watch message");
        for (const json &ev : *events) {
            std::string type;
            if (!ev.is_object() || !read_string(ev, "type", &type))
                return malformed("bad event in the watch message");
            // PUT is the zero value and is left out.
            if (type == "DELETE")
                w.deleted = true;
            else if (!type.empty() && type != "PUT")
                return malformed("unknown event type");
        }
    }
    return w;
}

}  // namespace reply

std::string check_endpoint(std::string_view url) {
    std::string_view rest;
    if (url.substr(0, 7) == "http://")
        rest = url.substr(7);
    else if (url.substr(0, 8) == "https://")
        rest = url.substr(8);
    else
        return "not an http:// or https:// URL";
    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    size_t host_end;
    if (!rest.empty() && rest[0] == '[') {
        host_end = rest.find(']');
        if (host_end == std::string_view::npos || host_end == 1) return "bad IPv6 address";
        for (char c : rest.substr(1, host_end - 1))
            if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.')
                return "bad IPv6 address";
        ++host_end;
    } else {
        host_end = rest.find(':');
        if (host_end == std::string_view::npos) return "no port";
        if (host_end == 0) return "no host";
        for (char c : rest.substr(0, host_end))
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-')
                return "bad character in the host";
    }
    if (host_end >= rest.size() || rest[host_end] != ':') return "no port";
    const std::string_view port = rest.substr(host_end + 1);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value == 0 ||
        value > 65535)
        return "bad port";
    return {};
}

std::string prefix_range_end(std::string_view prefix) {
    std::string end(prefix);
    while (!end.empty()) {
        if (static_cast<unsigned char>(end.back()) < 0xff) {
            end.back() = static_cast<char>(static_cast<unsigned char>(end.back()) + 1);
            return end;
        }
        end.pop_back();
    }
    // Every byte was 0xff (or there was none): the range goes to the end.
    return std::string(1, '\0');
}

// Transport -------------------------------------------------------------------

namespace {

std::once_flag curl_once;
bool curl_ready = false;

struct Reply {
    long status = 0;
    std::string body;
};

// A streaming reply's consumer: gets each chunk, false stops the transfer.
struct Stream {
    virtual ~Stream() = default;
    virtual bool chunk(std::string_view data) = 0;
    // Whether the stream has shown that the endpoint works (for the
    // no-answer limit below).
    virtual bool answered() const = 0;
};

struct Transfer {
    Reply *reply = nullptr;
    Stream *stream = nullptr;
    bool too_large = false;
    bool stopped = false;
    Clock::time_point start;
    milliseconds answer_limit{0};
    bool no_answer = false;
};

size_t on_write(char *data, size_t size, size_t count, void *user) {
    auto *t = static_cast<Transfer *>(user);
    const size_t n = size * count;
    if (t->stream != nullptr) {
        if (!t->stream->chunk(std::string_view(data, n))) {
            t->stopped = true;
            return 0;
        }
        return n;
    }
    if (t->reply->body.size() + n > kMaxReply) {
        t->too_large = true;
        return 0;
    }
    t->reply->body.append(data, n);
    return n;
}

// Ends a stream that has not answered within its limit; libcurl calls this
// at least about once a second.
int on_progress(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto *t = static_cast<Transfer *>(user);
    if (t->stream == nullptr || t->stream->answered()) return 0;
    if (Clock::now() - t->start < t->answer_limit) return 0;
    t->no_answer = true;
    return 1;
}

Cause cause_of(CURLcode rc) {
    switch (rc) {
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return Cause::kConnect;
        case CURLE_OPERATION_TIMEDOUT:
            return Cause::kTimeout;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_CLIENTCERT:
        case CURLE_USE_SSL_FAILED:
            return Cause::kTls;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return Cause::kMalformed;
        default:
            return Cause::kTransport;
    }
}

// Whether a failure of one endpoint sends the request on to the next.
bool moves_on(Cause cause) {
    switch (cause) {
        case Cause::kConnect:
        case Cause::kTimeout:
        case Cause::kTls:
        case Cause::kHttpStatus:
        case Cause::kNoLeader:
        case Cause::kMalformed:
        case Cause::kTransport:
            return true;
        default:
            return false;
    }
}

std::string id_text(int64_t id) {
    return std::to_string(id);
}

std::string dump(const json &doc) {
    return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Sockets are made close-on-exec, so that a program the caller starts
// while a request runs in another thread inherits none.
curl_socket_t open_socket(void *, curlsocktype, curl_sockaddr *address) {
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

}  // namespace

struct Client::Impl {
    Options opt;
    CURLM *multi = nullptr;
    CURL *curl = nullptr;
    size_t current = 0;
    std::string token;
    char error_buffer[CURL_ERROR_SIZE] = {};

    ~Impl() {
        if (curl != nullptr) curl_easy_cleanup(curl);
        if (multi != nullptr) curl_multi_cleanup(multi);
    }

    // Runs the prepared transfer to its end, or until interrupted() says
    // so while wake_fd is readable (then *interrupted is set).
    CURLcode perform(bool *interrupted) {
        *interrupted = false;
        if (curl_multi_add_handle(multi, curl) != CURLM_OK) return CURLE_FAILED_INIT;
        CURLcode rc = CURLE_OK;
        for (;;) {
            int running = 0;
            if (curl_multi_perform(multi, &running) != CURLM_OK) {
                rc = CURLE_FAILED_INIT;
                break;
            }
            if (running == 0) {
                int queued = 0;
                while (const CURLMsg *m = curl_multi_info_read(multi, &queued)) {
                    if (m->msg == CURLMSG_DONE) rc = m->data.result;
                }
                break;
            }
            curl_waitfd wake{opt.wake_fd, CURL_WAIT_POLLIN, 0};
            const unsigned extra = opt.wake_fd >= 0 ? 1 : 0;
            if (curl_multi_poll(multi, extra > 0 ? &wake : nullptr, extra, 1000, nullptr) !=
                CURLM_OK) {
                rc = CURLE_FAILED_INIT;
                break;
            }
            if (extra > 0 && wake.revents != 0 && opt.interrupted && opt.interrupted()) {
                *interrupted = true;
                break;
            }
        }
        curl_multi_remove_handle(multi, curl);
        return rc;
    }

    // One POST of body to endpoint+path; the reply in *out, or the failure.
    std::optional<Attempt> post(const std::string &endpoint, const char *path,
                                const std::string &body, Reply *out, milliseconds total,
                                bool with_token, Stream *stream = nullptr) {
        std::string url = endpoint;
        if (!url.empty() && url.back() == '/') url.pop_back();
        url += path;
        Transfer t;
        t.reply = out;
        t.stream = stream;
        t.start = Clock::now();
        t.answer_limit = opt.request_timeout;
        out->body.clear();
        out->status = 0;
        error_buffer[0] = '\0';
        curl_slist *headers = curl_slist_append(nullptr, "Content-Type: application/json");
        // No "Expect: 100-continue" round trip before a larger body.
        headers = curl_slist_append(headers, "Expect:");
        if (stream != nullptr)
            // A member that loses its leader then ends the watch instead of
            // staying silent.
            headers = curl_slist_append(headers, "Grpc-Metadata-hasleader: true");
        std::string auth;
        if (with_token && !token.empty()) {
            auth = "Authorization: " + token;
            headers = curl_slist_append(headers, auth.c_str());
        }
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_write);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, stream != nullptr ? 0L : 1L);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS,
                         static_cast<long>(std::max<int64_t>(total.count(), 1)));
        bool interrupted = false;
        const CURLcode rc = perform(&interrupted);
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &out->status);
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
        curl_slist_free_all(headers);
        // The token's header text is not kept past the call.
        std::fill(auth.begin(), auth.end(), '\0');
        if (interrupted) return Attempt{endpoint, Cause::kInterrupted, "interrupted"};
        if (t.no_answer)
            return Attempt{
                endpoint, Cause::kTimeout,
                "no answer within " + std::to_string(opt.request_timeout.count()) + " ms"};
        if (t.stopped) return std::nullopt;
        if (t.too_large) return Attempt{endpoint, Cause::kMalformed, "reply larger than 4 MiB"};
        if (rc != CURLE_OK) {
            std::string detail = error_buffer[0] != '\0' ? error_buffer : curl_easy_strerror(rc);
            return Attempt{endpoint, cause_of(rc), detail};
        }
        return std::nullopt;
    }

    // Gets a token from endpoint; an attempt when that fails.
    std::optional<Attempt> authenticate(const std::string &endpoint) {
        json req = {{"name", opt.user}, {"password", opt.password}};
        std::string body = dump(req);
        Reply r;
        auto failed = post(endpoint, "/v3/auth/authenticate", body, &r, opt.request_timeout, false);
        std::fill(body.begin(), body.end(), '\0');
        if (!failed) failed = check_status(endpoint, r);
        if (failed) {
            // A refused password comes back as the gateway's error, with
            // its own code; it is the user that was refused.
            if (failed->cause == Cause::kServer) failed->cause = Cause::kAuth;
            return failed;
        }
        auto token_result = reply::authenticate(r.body);
        if (!token_result) {
            Attempt a = token_result.error().attempts.front();
            a.endpoint = endpoint;
            if (a.cause == Cause::kServer) a.cause = Cause::kAuth;
            return a;
        }
        token = std::move(token_result.value());
        return std::nullopt;
    }

    // A reply's HTTP status, read: an error body's cause, or kHttpStatus.
    static std::optional<Attempt> check_status(const std::string &endpoint, const Reply &r) {
        if (r.status == 200) return std::nullopt;
        if (auto err = reply::error_body(r.body)) {
            err->endpoint = endpoint;
            return err;
        }
        return Attempt{endpoint, Cause::kHttpStatus, "HTTP status " + std::to_string(r.status)};
    }

    // Sends body to path along the endpoints, from the current one on, until
    // one gives an answer that parse accepts or that is final.
    template <class T, class Parse>
    Result<T> call(const char *path, const std::string &body, Parse parse) {
        Error error;
        const size_t n = opt.endpoints.size();
        for (size_t k = 0; k < n; ++k) {
            const size_t index = (current + k) % n;
            const std::string &endpoint = opt.endpoints[index];
            // One fresh authentication per endpoint when the token is refused.
            for (int round = 0; round < 2; ++round) {
                std::optional<Attempt> failed;
                if (!opt.user.empty() && token.empty()) failed = authenticate(endpoint);
                Reply r;
                if (!failed) failed = post(endpoint, path, body, &r, opt.request_timeout, true);
                if (!failed) failed = check_status(endpoint, r);
                if (!failed) {
                    Result<T> result = parse(std::string_view(r.body));
                    if (result) {
                        current = index;
                        return result;
                    }
                    failed = result.error().attempts.front();
                    failed->endpoint = endpoint;
                }
                const bool token_refused = failed->cause == Cause::kAuth && !token.empty() &&
                                           failed->detail.find("auth token") != std::string::npos;
                if (token_refused && round == 0) {
                    token.clear();
                    continue;
                }
                error.cause = failed->cause;
                error.attempts.push_back(std::move(*failed));
                if (!moves_on(error.cause)) return error;
                break;
            }
        }
        return error;
    }
};

Client::Client(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Client::~Client() = default;

Result<std::unique_ptr<Client>> Client::create(Options options) {
    if (options.endpoints.empty()) return make_error(Cause::kBadOption, "no endpoints");
    for (const std::string &url : options.endpoints) {
        const std::string why = check_endpoint(url);
        if (!why.empty()) return make_error(Cause::kBadOption, "bad URL: " + why, url);
    }
    if (options.cert_file.empty() != options.key_file.empty())
        return make_error(Cause::kBadOption,
                          "a client certificate needs its key and the other way round");
    for (const std::string *file : {&options.ca_file, &options.cert_file, &options.key_file})
        if (!file->empty() && access(file->c_str(), R_OK) != 0)
            return make_error(Cause::kBadOption, "cannot read " + *file);
    for (const std::string *text : {&options.user, &options.password})
        if (ov_utf8_valid_prefix(text->c_str(), text->size()) != text->size())
            return make_error(Cause::kBadOption, "user and password must be UTF-8 text");
    if (options.user.empty() != options.password.empty())
        return make_error(Cause::kBadOption, "a user needs a password");
    if (options.connect_timeout.count() <= 0 || options.request_timeout.count() <= 0 ||
        options.watch_slice.count() <= 0)
        return make_error(Cause::kBadOption, "time-outs must be positive");

    std::call_once(curl_once, [] { curl_ready = curl_global_init(CURL_GLOBAL_DEFAULT) == 0; });
    if (!curl_ready) return make_error(Cause::kTransport, "libcurl cannot be initialised");
    auto impl = std::make_unique<Impl>();
    impl->multi = curl_multi_init();
    impl->curl = curl_easy_init();
    if (impl->multi == nullptr || impl->curl == nullptr)
        return make_error(Cause::kTransport, "libcurl has no handle");
    impl->opt = std::move(options);
    CURL *c = impl->curl;
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, impl->error_buffer);
    // Several client threads may each have a client; no alarm signals.
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, open_socket);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    // The cluster is spoken to directly, whatever proxy the environment names.
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(impl->opt.connect_timeout.count()));
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!impl->opt.ca_file.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, impl->opt.ca_file.c_str());
    if (!impl->opt.cert_file.empty()) {
        curl_easy_setopt(c, CURLOPT_SSLCERT, impl->opt.cert_file.c_str());
        curl_easy_setopt(c, CURLOPT_SSLKEY, impl->opt.key_file.c_str());
    }
    return std::unique_ptr<Client>(new Client(std::move(impl)));
}

const std::string &Client::current_endpoint() const {
    return impl_->opt.endpoints[impl_->current];
}

Result<LeaseGrant> Client::lease_grant(int64_t ttl_seconds) {
    const json req = {{"TTL", ttl_seconds}};
    return impl_->call<LeaseGrant>("/v3/lease/grant", dump(req), reply::lease_grant);
}

Result<int64_t> Client::lease_keepalive(int64_t id) {
    const json req = {{"ID", id_text(id)}};
    return impl_->call<int64_t>("/v3/lease/keepalive", dump(req), reply::lease_keepalive);
}

Status Client::lease_revoke(int64_t id) {
    const json req = {{"ID", id_text(id)}};
    return impl_->call<Done>("/v3/lease/revoke", dump(req), reply::lease_revoke);
}

Result<LeaseTimeToLive> Client::lease_time_to_live(int64_t id) {
    const json req = {{"ID", id_text(id)}};
    return impl_->call<LeaseTimeToLive>("/v3/lease/timetolive", dump(req),
                                        reply::lease_time_to_live);
}

Result<CreateResult> Client::create(std::string_view key, std::string_view value, int64_t lease,
                                    std::string_view owner_prefix) {
    const std::string k = b64_encode(key);
    json put = {{"key", k}, {"value", b64_encode(value)}};
    if (lease != 0) put["lease"] = id_text(lease);
    json req = {
        {"compare",
         json::array(
             {{{"key", k}, {"target", "CREATE"}, {"result", "EQUAL"}, {"create_revision", "0"}}})},
        {"success", json::array({{{"request_put", put}}})},
        {"failure", json::array({{{"request_range", {{"key", k}}}}})},
    };
    if (!owner_prefix.empty()) {
        const json owner = {{"request_range",
                             {{"key", b64_encode(owner_prefix)},
                              {"range_end", b64_encode(prefix_range_end(owner_prefix))},
                              {"sort_order", "ASCEND"},
                              {"sort_target", "CREATE"},
                              {"limit", "1"}}}};
        req["success"].push_back(owner);
        req["failure"].push_back(owner);
    }
    return impl_->call<CreateResult>("/v3/kv/txn", dump(req), reply::create);
}

Result<RangeResult> Client::range_prefix(std::string_view prefix, int64_t limit, bool count_only) {
    // An empty prefix is every key: from "\0" to the end.
    const std::string from = prefix.empty() ? std::string(1, '\0') : std::string(prefix);
    json req = {{"key", b64_encode(from)},
                {"range_end", b64_encode(prefix_range_end(prefix))},
                {"sort_order", "ASCEND"},
                {"sort_target", "CREATE"}};
    if (limit > 0) req["limit"] = id_text(limit);
    if (count_only) req["count_only"] = true;
    return impl_->call<RangeResult>("/v3/kv/range", dump(req), reply::range);
}

Result<std::optional<KeyValue>> Client::get(std::string_view key) {
    const json req = {{"key", b64_encode(key)}};
    auto r = impl_->call<RangeResult>("/v3/kv/range", dump(req), reply::range);
    if (!r) return r.error();
    if (r->kvs.empty()) return std::optional<KeyValue>();
    if (r->kvs.size() != 1 || r->kvs[0].key != key)
        return make_error(Cause::kMalformed, "a get returned another key", current_endpoint());
    return std::optional<KeyValue>(std::move(r->kvs[0]));
}

Result<int64_t> Client::remove(std::string_view key) {
    const json req = {{"key", b64_encode(key)}};
    return impl_->call<int64_t>("/v3/kv/deleterange", dump(req), reply::remove);
}

Result<MemberStatus> Client::status(const std::string &endpoint) {
    const std::string why = check_endpoint(endpoint);
    if (!why.empty()) return make_error(Cause::kBadOption, "bad URL: " + why, endpoint);
    Impl &d = *impl_;
    std::optional<Attempt> failed;
    if (!d.opt.user.empty() && d.token.empty()) failed = d.authenticate(endpoint);
    Reply r;
    if (!failed)
        failed = d.post(endpoint, "/v3/maintenance/status", "{}", &r, d.opt.request_timeout, true);
    if (!failed) failed = Impl::check_status(endpoint, r);
    if (!failed) {
        auto s = reply::status(r.body);
        if (s) return s;
        failed = s.error().attempts.front();
        failed->endpoint = endpoint;
    }
    Error e;
    e.cause = failed->cause;
    e.attempts.push_back(std::move(*failed));
    return e;
}

// Waiting for a deletion ------------------------------------------------------

namespace {

// The watch stream's messages, one JSON object per line.
class DeleteWatch : public Stream {
  public:
    bool chunk(std::string_view data) override {
        buffer_.append(data);
        size_t start = 0;
        for (size_t end; (end = buffer_.find('\n', start)) != std::string::npos; start = end + 1) {
            const std::string_view line(buffer_.data() + start, end - start);
            if (line.find_first_not_of(" \r\t") == std::string_view::npos) continue;
            auto msg = reply::watch_message(line);
            if (!msg) {
                failure = msg.error().attempts.front();
                return false;
            }
            if (msg->created) created_ = true;
            if (msg->deleted) {
                deleted = true;
                return false;
            }
            if (msg->canceled) {
                canceled = true;
                return false;
            }
        }
        buffer_.erase(0, start);
        if (buffer_.size() > kMaxReply) {
            failure = Attempt{{}, Cause::kMalformed, "watch message larger than 4 MiB"};
            return false;
        }
        return true;
    }
    bool answered() const override { return created_; }

    bool deleted = false;
    bool canceled = false;
    std::optional<Attempt> failure;

  private:
    std::string buffer_;
    bool created_ = false;
};

}  // namespace

Result<bool> Client::wait_deleted(std::string_view key, Clock::time_point deadline) {
    Impl &d = *impl_;
    const json key_only = {{"key", b64_encode(key)}};
    // Each round reads the key and watches it for at most a slice; a round
    // takes at least a few milliseconds, so this bounds only a runaway.
    constexpr int kMaxRounds = 100000;
    for (int round = 0; round < kMaxRounds; ++round) {
        auto r = d.call<RangeResult>("/v3/kv/range", dump(key_only), reply::range);
        if (!r) return r.error();
        if (r->kvs.empty()) return true;
        const auto now = Clock::now();
        if (now >= deadline) return false;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - now);
        json watch = {{"create_request",
                       {{"key", b64_encode(key)}, {"start_revision", id_text(r->revision + 1)}}}};
        DeleteWatch stream;
        Reply reply;
        const std::string &endpoint = d.opt.endpoints[d.current];
        auto failed = d.post(endpoint, "/v3/watch", dump(watch), &reply,
                             std::min(left, d.opt.watch_slice), true, &stream);
        if (stream.deleted) return true;
        if (!failed && stream.failure) failed = stream.failure;
        if (failed && failed->cause == Cause::kInterrupted) {
            Error e;
            e.cause = Cause::kInterrupted;
            e.attempts.push_back(std::move(*failed));
            return e;
        }
        const bool slice_over = failed && failed->cause == Cause::kTimeout && stream.answered();
        if (failed && !slice_over) {
            // This member stopped answering or broke the stream: the next
            // round starts at the next one.
            d.current = (d.current + 1) % d.opt.endpoints.size();
            std::this_thread::sleep_for(milliseconds(20));
        }
        // A slice that ended, a cancelled watch (the revision was compacted
        // away) or a closed stream: read the key again.
    }
    return make_error(Cause::kTimeout, "too many watch rounds");
}

}  // namespace ovlockrun::etcd
