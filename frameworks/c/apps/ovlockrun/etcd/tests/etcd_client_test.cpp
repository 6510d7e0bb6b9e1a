// etcd_client_test.cpp - the etcd gateway client against a real cluster.
//
// Each test that needs etcd starts its own three-member cluster on loopback
// (ovsupport::EtcdCluster); a missing or broken etcd fails the test. Faults
// are real: members are killed with SIGKILL or stopped with SIGSTOP, and a
// small server on loopback answers with what no etcd would say. The reply
// parsers are also checked on their own, on replies as the gateway writes
// them and on the ways they can be wrong.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "etcd_client.h"
#include "ovsupport/etcd_cluster.h"
#include "test_util.h"

namespace {

using namespace std::chrono_literals;
using namespace ovlockrun::etcd;
using Clock = std::chrono::steady_clock;
using ovsupport::EtcdCluster;
using ovsupport::EtcdClusterOptions;
using ovtest::seconds_since;

std::unique_ptr<Client> make_client(Options opt) {
    auto c = Client::create(std::move(opt));
    EXPECT_TRUE(c.ok()) << c.error().message();
    return c.ok() ? std::move(c.value()) : nullptr;
}

Options options_for(std::vector<std::string> endpoints) {
    Options o;
    o.endpoints = std::move(endpoints);
    return o;
}

#define ASSERT_RESULT(r) ASSERT_TRUE((r).ok()) << (r).error().message()

class EtcdClientTest : public ::testing::Test {
  protected:
    void SetUp() override { start_cluster({}); }
    void TearDown() override {
        if (HasFailure() && cluster_) std::fprintf(stderr, "%s", cluster_->report().c_str());
    }
    void start_cluster(EtcdClusterOptions opt) {
        cluster_ = std::make_unique<EtcdCluster>(std::move(opt));
        std::string why;
        ASSERT_TRUE(cluster_->start(&why)) << why;
    }
    // The index of the member that leads, by asking each.
    size_t leader() {
        auto c = make_client(options_for(cluster_->client_urls()));
        for (size_t i = 0; i < cluster_->size(); ++i) {
            auto s = c->status(cluster_->client_url(i));
            if (s.ok() && s->leader == s->member_id) return i;
        }
        ADD_FAILURE() << "no member leads";
        return 0;
    }
    std::unique_ptr<EtcdCluster> cluster_;
};

// Leases -------------------------------------------------------------------

TEST_F(EtcdClientTest, LeaseGrantKeepAliveRevoke) {
    auto c = make_client(options_for(cluster_->client_urls()));
    auto grant = c->lease_grant(2);
    ASSERT_RESULT(grant);
    EXPECT_NE(grant->id, 0);
    EXPECT_EQ(grant->ttl, 2);

    auto left = c->lease_keepalive(grant->id);
    ASSERT_RESULT(left);
    EXPECT_EQ(*left, 2);
    auto ttl = c->lease_time_to_live(grant->id);
    ASSERT_RESULT(ttl);
    EXPECT_GE(ttl->ttl, 0);
    EXPECT_LE(ttl->ttl, 2);
    EXPECT_EQ(ttl->granted_ttl, 2);

    ASSERT_RESULT(c->lease_revoke(grant->id));
    left = c->lease_keepalive(grant->id);
    ASSERT_RESULT(left);
    EXPECT_EQ(*left, 0) << "a revoked lease must read as gone";
    ttl = c->lease_time_to_live(grant->id);
    ASSERT_RESULT(ttl);
    EXPECT_EQ(ttl->ttl, -1);
    auto again = c->lease_revoke(grant->id);
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().cause, Cause::kNotFound) << again.error().message();
    EXPECT_EQ(again.error().attempts.size(), 1u) << "a final answer must not fail over";
}

TEST_F(EtcdClientTest, LeaseKeepsItsKeyOnlyWhileKeptAlive) {
    auto c = make_client(options_for(cluster_->client_urls()));
    auto kept = c->lease_grant(2);
    auto dropped = c->lease_grant(2);
    ASSERT_RESULT(kept);
    ASSERT_RESULT(dropped);
    ASSERT_RESULT(c->create("lease/kept", "k", kept->id));
    ASSERT_RESULT(c->create("lease/dropped", "d", dropped->id));

    // Past twice the time to live, with a keep-alive every half second for one.
    const auto start = Clock::now();
    while (Clock::now() - start < 4500ms) {
        auto left = c->lease_keepalive(kept->id);
        ASSERT_RESULT(left);
        ASSERT_GT(*left, 0);
        std::this_thread::sleep_for(500ms);
    }
    auto k = c->get("lease/kept");
    ASSERT_RESULT(k);
    EXPECT_TRUE(k->has_value());
    auto d = c->get("lease/dropped");
    ASSERT_RESULT(d);
    EXPECT_FALSE(d->has_value()) << "the key of an expired lease must go";
    auto left = c->lease_keepalive(dropped->id);
    ASSERT_RESULT(left);
    EXPECT_EQ(*left, 0);
}

// Keys ---------------------------------------------------------------------

TEST_F(EtcdClientTest, CreateWinsOnceAndTheLoserSeesTheHolder) {
    auto a = make_client(options_for({cluster_->client_url(0)}));
    auto b = make_client(options_for({cluster_->client_url(1)}));
    auto lease = a->lease_grant(30);
    ASSERT_RESULT(lease);
    // Bytes that are not text survive the Base64 on the way.
    const std::string value("holder\0\xff\n", 9);
    auto first = a->create("lock/name", value, lease->id);
    ASSERT_RESULT(first);
    EXPECT_TRUE(first->created);
    EXPECT_GT(first->create_revision, 0);

    auto second = b->create("lock/name", "other", 0);
    ASSERT_RESULT(second);
    EXPECT_FALSE(second->created);
    EXPECT_EQ(second->create_revision, first->create_revision);
    EXPECT_EQ(second->holder.key, "lock/name");
    EXPECT_EQ(second->holder.value, value);
    EXPECT_EQ(second->holder.lease, lease->id);

    auto got = b->get("lock/name");
    ASSERT_RESULT(got);
    ASSERT_TRUE(got->has_value());
    EXPECT_EQ((*got)->value, value);
    EXPECT_EQ((*got)->lease, lease->id);

    // Deleted, the key can be created again, at a greater revision.
    auto removed = a->remove("lock/name");
    ASSERT_RESULT(removed);
    EXPECT_EQ(*removed, 1);
    removed = a->remove("lock/name");
    ASSERT_RESULT(removed);
    EXPECT_EQ(*removed, 0);
    got = b->get("lock/name");
    ASSERT_RESULT(got);
    EXPECT_FALSE(got->has_value());
    auto third = b->create("lock/name", "other", 0);
    ASSERT_RESULT(third);
    EXPECT_TRUE(third->created);
    EXPECT_GT(third->create_revision, first->create_revision);
}

TEST_F(EtcdClientTest, PrefixRangeIsInCreateOrder) {
    auto c = make_client(options_for(cluster_->client_urls()));
    // Created in an order that is not the keys' byte order; the neighbours
    // "q0" and "q" share bytes with the prefix "q/" but are outside it.
    for (const char *key : {"q/c", "q/a", "q0", "q/b", "q"}) ASSERT_RESULT(c->create(key, key, 0));

    auto all = c->range_prefix("q/", 0);
    ASSERT_RESULT(all);
    ASSERT_EQ(all->kvs.size(), 3u);
    EXPECT_EQ(all->kvs[0].key, "q/c");
    EXPECT_EQ(all->kvs[1].key, "q/a");
    EXPECT_EQ(all->kvs[2].key, "q/b");
    EXPECT_LT(all->kvs[0].create_revision, all->kvs[1].create_revision);
    EXPECT_LT(all->kvs[1].create_revision, all->kvs[2].create_revision);
    EXPECT_EQ(all->count, 3);
    EXPECT_FALSE(all->more);
    EXPECT_GE(all->revision, all->kvs[2].create_revision);

    auto first = c->range_prefix("q/", 1);
    ASSERT_RESULT(first);
    ASSERT_EQ(first->kvs.size(), 1u);
    EXPECT_EQ(first->kvs[0].key, "q/c");
    EXPECT_EQ(first->count, 3);
    EXPECT_TRUE(first->more);

    auto counted = c->range_prefix("q/", 0, true);
    ASSERT_RESULT(counted);
    EXPECT_TRUE(counted->kvs.empty());
    EXPECT_EQ(counted->count, 3);

    auto none = c->range_prefix("nothing/", 0);
    ASSERT_RESULT(none);
    EXPECT_TRUE(none->kvs.empty());
    EXPECT_EQ(none->count, 0);
}

// Waiting for a deletion ---------------------------------------------------

TEST_F(EtcdClientTest, WaitDeletedWakesOnDeleteAndEndsAtItsDeadline) {
    auto c = make_client(options_for(cluster_->client_urls()));
    auto absent = c->wait_deleted("w/none", Clock::now() + 5s);
    ASSERT_RESULT(absent);
    EXPECT_TRUE(*absent);

    ASSERT_RESULT(c->create("w/key", "v", 0));
    auto start = Clock::now();
    auto timed_out = c->wait_deleted("w/key", start + 400ms);
    ASSERT_RESULT(timed_out);
    EXPECT_FALSE(*timed_out);
    EXPECT_GE(seconds_since(start), 0.39);
    EXPECT_LT(seconds_since(start), 3.0);

    // Another client on another member deletes it while this one waits.
    std::atomic<bool> deleted{false};
    std::atomic<int64_t> deleted_at_ns{0};
    std::thread deleter([&] {
        auto other = make_client(options_for({cluster_->client_url(2)}));
        std::this_thread::sleep_for(500ms);
        auto r = other ? other->remove("w/key") : Result<int64_t>(Error{});
        deleted_at_ns = Clock::now().time_since_epoch().count();
        deleted = r.ok() && *r == 1;
    });
    start = Clock::now();
    auto woke = c->wait_deleted("w/key", start + 20s);
    const auto woke_at = Clock::now();
    deleter.join();
    ASSERT_TRUE(deleted);
    ASSERT_RESULT(woke);
    EXPECT_TRUE(*woke);
    const double after_delete = std::chrono::duration<double>(woke_at.time_since_epoch()).count() -
                                static_cast<double>(deleted_at_ns.load()) / 1e9;
    EXPECT_LT(after_delete, 1.0) << "the watch must wake the waiter";
}

TEST_F(EtcdClientTest, WaitDeletedLeavesAWatchMemberThatStopsAnswering) {
    Options opt = options_for(cluster_->client_urls());
    opt.request_timeout = 1000ms;
    opt.watch_slice = 1000ms;
    auto c = make_client(opt);
    ASSERT_RESULT(c->create("w/held", "v", 0));
    std::atomic<bool> waiting_done{false};
    Result<bool> woke = Error{};
    std::thread waiter([&] {
        woke = c->wait_deleted("w/held", Clock::now() + 30s);
        waiting_done = true;
    });
    // The waiter watches on the first member; stop that member, then delete
    // the key through another.
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(cluster_->pause_member(0));
    auto other = make_client(options_for({cluster_->client_url(1), cluster_->client_url(2)}));
    Result<int64_t> removed = Error{};
    for (int i = 0; i < 50 && !removed.ok(); ++i) {
        removed = other->remove("w/held");
        if (!removed.ok()) std::this_thread::sleep_for(100ms);
    }
    const auto deleted_at = Clock::now();
    waiter.join();
    cluster_->resume_member(0);
    ASSERT_RESULT(removed);
    ASSERT_RESULT(woke);
    EXPECT_TRUE(*woke);
    // A slice, a request time-out and a read elsewhere, with room to spare.
    EXPECT_LT(seconds_since(deleted_at), 8.0);
}

// Fail-over ----------------------------------------------------------------

TEST_F(EtcdClientTest, KilledLeaderFirstInTheListIsPassedOver) {
    const size_t lead = leader();
    std::vector<std::string> urls = {cluster_->client_url(lead)};
    for (size_t i = 0; i < cluster_->size(); ++i)
        if (i != lead) urls.push_back(cluster_->client_url(i));
    auto c = make_client(options_for(urls));
    auto lease = c->lease_grant(10);
    ASSERT_RESULT(lease);
    ASSERT_RESULT(c->create("f/key", "v", lease->id));

    ASSERT_TRUE(cluster_->kill_member(lead));
    // The others elect a new leader within about a second; until then they
    // may say they have none. Every try is bounded, and so is the loop.
    const auto start = Clock::now();
    Result<int64_t> left = Error{};
    for (int i = 0; i < 40 && !left.ok(); ++i) {
        left = c->lease_keepalive(lease->id);
        if (!left.ok()) {
            for (const Attempt &a : left.error().attempts)
                EXPECT_TRUE(a.cause == Cause::kConnect || a.cause == Cause::kNoLeader ||
                            a.cause == Cause::kTimeout)
                    << left.error().message();
            std::this_thread::sleep_for(200ms);
        }
    }
    ASSERT_RESULT(left);
    EXPECT_GT(*left, 0) << "the lease must survive its leader";
    EXPECT_LT(seconds_since(start), 10.0);
    EXPECT_NE(c->current_endpoint(), urls[0]);
    auto got = c->get("f/key");
    ASSERT_RESULT(got);
    EXPECT_TRUE(got->has_value());

    // Back on its data, the member answers again.
    std::string why;
    ASSERT_TRUE(cluster_->restart_member(lead, 20s, &why)) << why;
    auto direct = make_client(options_for({urls[0]}));
    got = direct->get("f/key");
    ASSERT_RESULT(got);
    EXPECT_TRUE(got->has_value());
}

TEST_F(EtcdClientTest, StoppedFollowerFirstInTheListCostsOneTimeout) {
    const size_t lead = leader();
    const size_t follower = (lead + 1) % cluster_->size();
    std::vector<std::string> urls = {cluster_->client_url(follower), cluster_->client_url(lead)};
    Options opt = options_for(urls);
    opt.request_timeout = 1000ms;
    auto c = make_client(opt);
    ASSERT_RESULT(c->create("s/key", "v", 0));
    ASSERT_TRUE(cluster_->pause_member(follower));

    auto start = Clock::now();
    auto got = c->get("s/key");
    const double first = seconds_since(start);
    cluster_->resume_member(follower);
    ASSERT_RESULT(got);
    EXPECT_TRUE(got->has_value());
    EXPECT_GE(first, 0.9) << "the stopped member should have been tried first";
    EXPECT_LT(first, 4.0);
    EXPECT_EQ(c->current_endpoint(), urls[1]);
    ASSERT_TRUE(cluster_->pause_member(follower));
    // The client stays with the member that answered: no second time-out.
    start = Clock::now();
    got = c->get("s/key");
    cluster_->resume_member(follower);
    ASSERT_RESULT(got);
    EXPECT_LT(seconds_since(start), 0.9);
}

// Transport and TLS --------------------------------------------------------

class EtcdTlsTest : public EtcdClientTest {
  protected:
    void SetUp() override {
        EtcdClusterOptions opt;
        opt.tls = true;
        opt.auth = true;
        start_cluster(opt);
    }
    Options tls_options() {
        Options o = options_for(cluster_->client_urls());
        o.ca_file = cluster_->ca_file();
        o.cert_file = cluster_->client_cert();
        o.key_file = cluster_->client_key();
        o.user = EtcdCluster::kUser;
        o.password = EtcdCluster::kUserPassword;
        return o;
    }
};

TEST_F(EtcdTlsTest, VerifiedCertificatesAndAUserWithAPassword) {
    auto c = make_client(tls_options());
    auto created = c->create("t/key", "v", 0);
    ASSERT_RESULT(created);
    EXPECT_TRUE(created->created);
    auto got = c->get("t/key");
    ASSERT_RESULT(got);
    EXPECT_TRUE(got->has_value());
    auto s = c->status(cluster_->client_url(1));
    ASSERT_RESULT(s);
    EXPECT_FALSE(s->version.empty());
}

TEST_F(EtcdTlsTest, WrongPasswordIsRefusedAtOnce) {
    Options o = tls_options();
    o.password = "wrong";
    auto c = make_client(o);
    auto got = c->get("t/key");
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().cause, Cause::kAuth) << got.error().message();
    EXPECT_EQ(got.error().attempts.size(), 1u);
    EXPECT_EQ(got.error().message().find("wrong"), std::string::npos)
        << "the password must not appear: " << got.error().message();
}

TEST_F(EtcdTlsTest, CertificateFromAnotherCaIsRefusedOnEveryEndpoint) {
    Options o = tls_options();
    o.ca_file.clear();  // the system's CAs, which never signed these servers
    auto c = make_client(o);
    const auto start = Clock::now();
    auto got = c->get("t/key");
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().cause, Cause::kTls) << got.error().message();
    ASSERT_EQ(got.error().attempts.size(), 3u) << got.error().message();
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(got.error().attempts[i].endpoint, cluster_->client_url(i));
        EXPECT_EQ(got.error().attempts[i].cause, Cause::kTls);
    }
    EXPECT_LT(seconds_since(start), 5.0);
}

// Without a cluster ----------------------------------------------------------

// A loopback server that answers every request with one canned reply, or
// takes connections and never answers.
class FakeServer {
  public:
    explicit FakeServer(std::string reply, bool silent = false)
        : reply_(std::move(reply)), silent_(silent) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            listen(fd_, 16) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            return;
        port_ = ntohs(addr.sin_port);
        if (!silent_) thread_ = std::thread([this] { serve(); });
    }
    ~FakeServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        close(fd_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  private:
    void serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const int conn = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0) continue;
            // Reads the request (enough of it), answers, and closes.
            char buf[4096];
            pollfd q{conn, POLLIN, 0};
            if (poll(&q, 1, 1000) > 0) (void)!recv(conn, buf, sizeof buf, 0);
            (void)!send(conn, reply_.data(), reply_.size(), MSG_NOSIGNAL);
            close(conn);
        }
    }
    std::string reply_;
    bool silent_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string http_reply(int status, const std::string &body) {
    return "HTTP/1.1 " + std::to_string(status) +
           " X\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

TEST(EtcdClientFaults, RepliesThatAreNotTheGatewaysAreErrors) {
    struct Case {
        const char *name;
        std::string reply;
        Cause cause;
    };
    const std::vector<Case> cases = {
        {"not JSON", http_reply(200, "<html>hello</html>"), Cause::kMalformed},
        {"JSON without a header", http_reply(200, R"({"ID":"5","TTL":"5"})"), Cause::kMalformed},
        {"ID of the wrong type", http_reply(200, R"({"header":{},"ID":[1],"TTL":"5"})"),
         Cause::kMalformed},
        {"truncated JSON", http_reply(200, R"({"header":{"revision":"1"},"ID":"5)"),
         Cause::kMalformed},
        {"not HTTP", std::string("\x01\x02 garbage\r\n\r\n", 15), Cause::kMalformed},
        {"server error page", http_reply(502, "bad gateway"), Cause::kHttpStatus},
        {"gateway error", http_reply(503, R"({"error":"etcdserver: no leader","code":14})"),
         Cause::kNoLeader},
        {"closed at once", "", Cause::kTransport},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakeServer server(c.reply);
        auto client = make_client(options_for({server.url()}));
        auto r = client->lease_grant(5);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().cause, c.cause) << r.error().message();
        ASSERT_EQ(r.error().attempts.size(), 1u);
        EXPECT_EQ(r.error().attempts[0].endpoint, server.url());
    }
}

TEST(EtcdClientFaults, UnreachableEndpointsEndInBoundedTimeEachNamed) {
    FakeServer silent("", /*silent=*/true);
    const std::vector<std::string> urls = {
        "http://127.0.0.1:" + std::to_string(ovsupport::free_loopback_port()),
        silent.url(),
        "http://127.0.0.1:" + std::to_string(ovsupport::free_loopback_port()),
    };
    Options opt = options_for(urls);
    opt.request_timeout = 1000ms;
    auto c = make_client(opt);
    const auto start = Clock::now();
    auto r = c->lease_grant(5);
    const double took = seconds_since(start);
    ASSERT_FALSE(r.ok());
    ASSERT_EQ(r.error().attempts.size(), 3u) << r.error().message();
    EXPECT_EQ(r.error().attempts[0].cause, Cause::kConnect);
    EXPECT_EQ(r.error().attempts[1].cause, Cause::kTimeout);
    EXPECT_EQ(r.error().attempts[2].cause, Cause::kConnect);
    for (const std::string &url : urls)
        EXPECT_NE(r.error().message().find(url), std::string::npos) << r.error().message();
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 3.0);

    // A wait for a deletion ends as soon as the read before it fails.
    const auto wait_start = Clock::now();
    auto w = c->wait_deleted("k", Clock::now() + 60s);
    ASSERT_FALSE(w.ok());
    EXPECT_LT(seconds_since(wait_start), 3.0);
}

TEST(EtcdClientFaults, OptionsAreCheckedBeforeAnythingIsSent) {
    for (const char *url :
         {"127.0.0.1:2379", "ftp://127.0.0.1:21", "http://", "http://host",
          "http://host:", "http://host:0", "http://host:65536", "http://host:12/v3",
          "http://ho st:1", "http://[::1:1", "http://:2379", "http://host:12x"}) {
        SCOPED_TRACE(url);
        auto c = Client::create(options_for({"http://127.0.0.1:2379", url}));
        ASSERT_FALSE(c.ok());
        EXPECT_EQ(c.error().cause, Cause::kBadOption);
        EXPECT_EQ(c.error().attempts[0].endpoint, url);
    }
    for (const char *url :
         {"http://127.0.0.1:2379", "https://[::1]:2379/", "http://etcd-1.example:65535"}) {
        SCOPED_TRACE(url);
        EXPECT_EQ(check_endpoint(url), "");
    }
    EXPECT_FALSE(Client::create(Options{}).ok());
    Options o = options_for({"https://127.0.0.1:2379"});
    o.cert_file = "/etc/hostname";
    EXPECT_FALSE(Client::create(o).ok()) << "a certificate without its key";
    o = options_for({"https://127.0.0.1:2379"});
    o.ca_file = "/nonexistent/ca.crt";
    EXPECT_FALSE(Client::create(o).ok());
    o = options_for({"http://127.0.0.1:2379"});
    o.user = "u";
    o.password = "\xff";
    EXPECT_FALSE(Client::create(o).ok());
}

TEST_F(EtcdClientTest, UnusableEndpointsBeforeAGoodOneArePassedOver) {
    // Nothing listens on a port that was free a moment ago, and the second
    // answers with a page from something that is not etcd.
    FakeServer html(http_reply(200, "<html>proxy</html>"));
    std::vector<std::string> urls = {
        "http://127.0.0.1:" + std::to_string(ovsupport::free_loopback_port()), html.url(),
        cluster_->client_url(0)};
    auto c = make_client(options_for(urls));
    auto lease = c->lease_grant(5);
    ASSERT_RESULT(lease);
    EXPECT_EQ(c->current_endpoint(), urls[2]);
}

// Reply parsers --------------------------------------------------------------

TEST(EtcdReply, GatewayErrorsNameTheirCause) {
    struct Case {
        const char *body;
        Cause cause;
    } cases[] = {
        {R"({"error":"etcdserver: requested lease not found","code":5})", Cause::kNotFound},
        {R"({"error":"etcdserver: no leader","message":"etcdserver: no leader","code":14})",
         Cause::kNoLeader},
        {R"({"error":"etcdserver: authentication failed, invalid user ID or password","code":3})",
         Cause::kAuth},
        {R"({"error":"etcdserver: invalid auth token","code":16})", Cause::kAuth},
        {R"({"error":{"grpc_code":14,"http_code":503,"message":"etcdserver: request timed out"}})",
         Cause::kNoLeader},
        {R"({"error":"etcdserver: too many requests","code":8})", Cause::kServer},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body);
        auto e = reply::error_body(c.body);
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->cause, c.cause);
        auto grant = reply::lease_grant(c.body);
        ASSERT_FALSE(grant.ok());
        EXPECT_EQ(grant.error().cause, c.cause);
    }
    EXPECT_FALSE(reply::error_body(R"({"header":{}})").has_value());
    EXPECT_FALSE(reply::error_body("not json").has_value());
}

TEST(EtcdReply, FieldsAreReadAsTheGatewayWritesThemAndCheckedOtherwise) {
    // 64-bit integers come as strings; zero values are left out.
    auto range = reply::range(
        R"({"header":{"revision":"9"},"kvs":[{"key":"YQ==","create_revision":"3",)"
        R"("mod_revision":"4","lease":"7587","value":"Yg=="},{"key":"Yw=="}],"count":"2"})");
    ASSERT_RESULT(range);
    EXPECT_EQ(range->revision, 9);
    ASSERT_EQ(range->kvs.size(), 2u);
    EXPECT_EQ(range->kvs[0].key, "a");
    EXPECT_EQ(range->kvs[0].value, "b");
    EXPECT_EQ(range->kvs[0].create_revision, 3);
    EXPECT_EQ(range->kvs[0].lease, 7587);
    EXPECT_EQ(range->kvs[1].value, "");
    EXPECT_EQ(range->kvs[1].lease, 0);
    EXPECT_EQ(range->count, 2);

    for (const char *bad : {
             R"({"header":{"revision":"9"},"kvs":[{"key":"!!"}],"count":"1"})",
             R"({"header":{"revision":"9"},"kvs":[{"key":"YQ=="}],"count":"0"})",
             R"({"header":{"revision":"9x"}})",
             R"({"header":{"revision":"99999999999999999999"}})",
             R"({"header":{"revision":"9"},"kvs":{"key":"YQ=="}})",
             R"({"header":{"revision":"9"},"count":-1.5})",
             R"({"header":[]})",
             R"([1,2,3])",
             "",
         }) {
        SCOPED_TRACE(bad);
        auto r = reply::range(bad);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().cause, Cause::kMalformed);
    }

    auto left = reply::lease_keepalive(R"({"result":{"header":{"revision":"1"},"ID":"5"}})");
    ASSERT_RESULT(left);
    EXPECT_EQ(*left, 0) << "no TTL means the lease is gone";
    EXPECT_FALSE(reply::lease_keepalive(R"({"header":{"revision":"1"},"TTL":"5"})").ok());

    auto won = reply::create(R"({"header":{"revision":"12"},"succeeded":true})");
    ASSERT_RESULT(won);
    EXPECT_TRUE(won->created);
    EXPECT_EQ(won->create_revision, 12);
    // A lost create must name its holder.
    EXPECT_FALSE(reply::create(R"({"header":{"revision":"12"},"responses":[{"response_range":)"
                               R"({"header":{}}}]})")
                     .ok());

    auto deleted = reply::watch_message(
        R"({"result":{"header":{"revision":"5"},"events":[{"kv":{"key":"YQ=="}},)"
        R"({"type":"DELETE","kv":{"key":"YQ=="}}]}})");
    ASSERT_RESULT(deleted);
    EXPECT_TRUE(deleted->deleted);
    auto put_only = reply::watch_message(
        R"({"result":{"header":{"revision":"5"},"events":[{"kv":{"key":"YQ=="}}]}})");
    ASSERT_RESULT(put_only);
    EXPECT_FALSE(put_only->deleted);
    EXPECT_FALSE(reply::watch_message(
                     R"({"result":{"header":{"revision":"5"},"events":[{"type":"EXPLODE"}]}})")
                     .ok());

    EXPECT_FALSE(reply::authenticate(R"({"header":{"revision":"1"},"token":"a\r\nX: y"})").ok());
}

TEST(EtcdReply, PrefixRangeEnd) {
    EXPECT_EQ(prefix_range_end("a/"), "a0");
    EXPECT_EQ(prefix_range_end(std::string("a\xff", 2)), "b");
    EXPECT_EQ(prefix_range_end(std::string("\xff\xff", 2)), std::string(1, '\0'));
    EXPECT_EQ(prefix_range_end(""), std::string(1, '\0'));
}

}  // namespace
