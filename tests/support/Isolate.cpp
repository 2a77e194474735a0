// tarvix-test-isolate COMMAND [ARGS...]: runs a test in a network of its own
// (only a loopback interface, up) and a /tmp of its own (an empty tmpfs),
// with XDG_RUNTIME_DIR in it, so whole-program tests that each bind UDP
// 3776, take the instance guard's lock and publish ports under /tmp can run
// side by side. Exits 125 with the reason when the machine refuses the
// namespaces (the build only uses it where a check at configure time
// showed them allowed).
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Fail(const char* step) {
  std::fprintf(stderr, "tarvix-test-isolate: %s: %s\n", step, std::strerror(errno));
  return 125;
}

bool WriteFile(const char* path, const std::string& text) {
  FILE* file = std::fopen(path, "w");
  if (file == nullptr) return false;
  const bool whole = std::fputs(text.c_str(), file) >= 0;
  return std::fclose(file) == 0 && whole;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: tarvix-test-isolate COMMAND [ARGS...]\n");
    return 2;
  }
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  int flags = CLONE_NEWNET | CLONE_NEWNS;
  if (uid != 0) flags |= CLONE_NEWUSER;
  if (unshare(flags) == -1) return Fail("unshare");
  if (uid != 0 && !(WriteFile("/proc/self/setgroups", "deny") &&
                    WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
                    WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))) {
    return Fail("user namespace mapping");
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1) return Fail("private mounts");
  if (mount("tarvix-test", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == -1) return Fail("/tmp");

  const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  request.ifr_flags = IFF_UP;
  if (control == -1 || ioctl(control, SIOCSIFFLAGS, &request) == -1) return Fail("loopback up");
  close(control);

  if (mkdir("/tmp/run", 0700) == -1) return Fail("/tmp/run");
  setenv("XDG_RUNTIME_DIR", "/tmp/run", 1);
  execvp(argv[1], argv + 1);
  return Fail(argv[1]);
}
