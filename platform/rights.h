// Root's rights, borrowed by a set-user-id install to open a port, and
// given back for good. One implementation for the server and the client.
#pragma once

#include <sys/types.h>

namespace lpx {

// The identity calls, replaceable by tests.
struct IdentityOps {
  uid_t (*getuid)();
  uid_t (*geteuid)();
  int (*getresuid)(uid_t* ruid, uid_t* euid, uid_t* suid);
  int (*setresuid)(uid_t ruid, uid_t euid, uid_t suid);
  gid_t (*getgid)();
  int (*getresgid)(gid_t* rgid, gid_t* egid, gid_t* sgid);
  int (*setresgid)(gid_t rgid, gid_t egid, gid_t sgid);
};
extern IdentityOps identity;
void ResetIdentityOps();

// Gives back root's rights for good: the borrowed group first ("chmod +s"
// sets the set-group-id bit too, and a copy installed by root belongs to
// root's group), then real, effective and saved user ids all become the
// real user's. Access to port registers already granted stays with the
// process. Returns false when that could not be done or verified.
bool DropRights();

}  // namespace lpx
