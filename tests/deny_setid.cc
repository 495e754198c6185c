// deny_setid UID GID PROGRAM [ARGS...]: runs PROGRAM as UID:GID (no
// supplementary groups) with the calls setresuid and setresgid refused
// (EPERM) by a seccomp filter, so that a set-user-id program cannot give
// back its borrowed rights. Must be started by root: the filter is installed
// with root's rights, before the ids are changed with setuid and setgid,
// which the filter lets through. A test helper only.
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace {

#if defined(__x86_64__)
constexpr unsigned kArch = AUDIT_ARCH_X86_64;
constexpr unsigned kSetresuid = __NR_setresuid;
constexpr unsigned kSetresgid = __NR_setresgid;
#elif defined(__i386__)
constexpr unsigned kArch = AUDIT_ARCH_I386;
constexpr unsigned kSetresuid = __NR_setresuid32;
constexpr unsigned kSetresgid = __NR_setresgid32;
#else
#error "deny_setid knows x86 only"
#endif

bool RefuseSetresid() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kSetresuid, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kSetresgid, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
  };
  sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: deny_setid UID GID PROGRAM [ARGS...]\n");
    return 2;
  }
  const uid_t uid = static_cast<uid_t>(strtoul(argv[1], nullptr, 10));
  const gid_t gid = static_cast<gid_t>(strtoul(argv[2], nullptr, 10));
  if (!RefuseSetresid()) {
    perror("deny_setid: seccomp");
    return 2;
  }
  if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
    perror("deny_setid: cannot become the user");
    return 2;
  }
  execv(argv[3], argv + 3);
  perror("deny_setid: exec");
  return 2;
}
