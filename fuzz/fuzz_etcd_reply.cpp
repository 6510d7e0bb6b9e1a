// fuzz_etcd_reply.cpp - libFuzzer target for the etcd client's reply parsers.
//
// The input is one reply body, given to every parser in a block of exactly
// its length, so that AddressSanitizer reports any byte read past it. No
// parser may crash or abort (the JSON library runs without exceptions, so a
// read of a field as the wrong type would abort), and each result must hold
// together:
//   - a failure names a cause, with one attempt that carries it, and that
//     cause is kMalformed unless the text is a gateway error body, whose
//     cause every parser then reports alike;
//   - a range never holds more keys than it counts;
//   - a keep-alive's time left is never negative;
//   - a create that won has a create revision above 0, one that lost names
//     a holder with that revision;
//   - a token holds no line break (it goes into a header line).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "etcd_client.h"

namespace {

using namespace ovlockrun::etcd;

void require(bool condition) {
    if (!condition) std::abort();
}

template <class T>
void check_failure(const Result<T> &r, const std::optional<Attempt> &error_body) {
    if (r.ok()) return;
    require(r.error().attempts.size() == 1);
    require(r.error().attempts[0].cause == r.error().cause);
    if (error_body)
        require(r.error().cause == error_body->cause);
    else
        require(r.error().cause == Cause::kMalformed);
    require(!r.error().message().empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::unique_ptr<char[]> block(new char[size]);
    if (size != 0) std::memcpy(block.get(), data, size);
    const std::string_view text(block.get(), size);
    const std::optional<Attempt> error = reply::error_body(text);

    const auto grant = reply::lease_grant(text);
    check_failure(grant, error);
    if (grant.ok()) require(grant->id != 0 && grant->ttl > 0);

    const auto left = reply::lease_keepalive(text);
    check_failure(left, error);
    if (left.ok()) require(*left >= 0);

    check_failure(reply::lease_time_to_live(text), error);
    check_failure(reply::lease_revoke(text), error);

    const auto created = reply::create(text);
    check_failure(created, error);
    if (created.ok()) {
        require(created->create_revision > 0);
        if (!created->created) require(created->holder.create_revision == created->create_revision);
    }

    const auto range = reply::range(text);
    check_failure(range, error);
    if (range.ok()) require(range->count >= static_cast<int64_t>(range->kvs.size()));

    const auto removed = reply::remove(text);
    check_failure(removed, error);
    if (removed.ok()) require(*removed >= 0);

    check_failure(reply::status(text), error);

    const auto token = reply::authenticate(text);
    check_failure(token, error);
    if (token.ok()) require(!token->empty() && token->find_first_of("\r\n") == std::string::npos);

    check_failure(reply::watch_message(text), error);
    return 0;
}
