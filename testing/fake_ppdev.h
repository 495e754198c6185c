// A recording fake of the ppdev system calls (platform/ppdev.h's seam):
// installs itself as ppdevOps while it lives, logs every call, and sends
// the register ioctls on to a FakePort's port at 0x378, as parport_pc does
// with inb/outb. Like ppdev it refuses register ioctls (EINVAL) until the
// port is claimed.
//
//   FakePpdev ppdev(&port);
//   ppdev.Fail("PPCLAIM", EBUSY);
//   ... EXPECT_EQ(ppdev.Calls(), "open /dev/parport0|PPEXCL|PPCLAIM!|close");
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace lpx {

class FakePort;

class FakePpdev {
 public:
  explicit FakePpdev(FakePort* port);
  ~FakePpdev();

  // The call `name` ("open", "close" or an ioctl's name) fails with
  // `error` from its (after + 1)-th time on, `times` times.
  void Fail(const std::string& name, int error, int after = 0, int times = 1 << 30) {
    failures_.push_back({name, error, after, times});
  }
  // Also writes each call's line to `fd` (a death test reads it there).
  void EchoTo(int fd) { echo_fd_ = fd; }

  // The calls, "|"-separated: "open PATH", ioctls by name with the byte
  // written in hex ("PPWDATA 10"), "close"; a failed call ends in "!", and
  // a run of the same call folds into "NAME*count".
  std::string Calls() const;

 private:
  static int Ioctl(int fd, unsigned long request, void* arg);
  int Record(const std::string& name, const std::string& arg = "");

  struct Failure {
    std::string name;
    int error, after, times;
  };
  FakePort* port_;
  bool claimed_ = false;
  int echo_fd_ = -1;
  std::vector<Failure> failures_;
  std::map<std::string, int> counts_;               // calls made, by name
  std::vector<std::pair<std::string, int>> calls_;  // a call and its repetitions
};

}  // namespace lpx
