#include "platform/rights.h"

#include <unistd.h>

namespace lpx {

IdentityOps identity;

void ResetIdentityOps() {
  identity = IdentityOps{::getuid, ::geteuid,   ::getresuid, ::setresuid,
                         ::getgid, ::getresgid, ::setresgid};
}

namespace {

struct IdentityInit {
  IdentityInit() { ResetIdentityOps(); }
} identityInit;

// Real, effective and saved group ids all become the real group.
bool DropGroup() {
  const gid_t gid = identity.getgid();
  gid_t r = 0, e = 0, s = 0;
  if (identity.getresgid(&r, &e, &s) != 0) return false;
  if (r == gid && e == gid && s == gid) return true;
  if (identity.setresgid(gid, gid, gid) != 0) return false;
  if (identity.getresgid(&r, &e, &s) != 0) return false;
  return r == gid && e == gid && s == gid;
}

}  // namespace

bool DropRights() {
  if (!DropGroup()) return false;
  const uid_t uid = identity.getuid();
  uid_t r = 0, e = 0, s = 0;
  if (identity.getresuid(&r, &e, &s) != 0) return false;
  if (r == uid && e == uid && s == uid) return true;
  if (identity.setresuid(uid, uid, uid) != 0) return false;
  if (identity.getresuid(&r, &e, &s) != 0) return false;
  return r == uid && e == uid && s == uid;
}

}  // namespace lpx
