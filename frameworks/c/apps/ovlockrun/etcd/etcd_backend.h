// etcd_backend.h - ovlockrun's lock on an etcd cluster.
#pragma once

#include <memory>
#include <string>

#include "lock_backend.h"

namespace ovlockrun {

// The etcd options as given on the command line (null when not given).
struct EtcdSettings {
    const char *endpoints = nullptr;  // "URL[,URL...]"; null: OVLOCK_ETCD_ENDPOINTS or the default
    const char *cacert = nullptr;
    const char *cert = nullptr;
    const char *key = nullptr;
    const char *user = nullptr;
    const char *password_file = nullptr;  // else OVLOCK_ETCD_PASSWORD
};

// The backend for request on the cluster settings name. A setting that
// cannot be used leaves a usage message in *usage and gives null; a
// password file that cannot be read is said and gives null too.
std::unique_ptr<LockBackend> make_etcd_backend(const LockRequest &request,
                                               const EtcdSettings &settings,
                                               const ToolServices &tool, std::string *usage);

}  // namespace ovlockrun
