// tarvix-test-isolate COMMAND [ARGS...]: runs a test in a network of its own
// (only a loopback interface, up) and a /tmp of its own (an empty tmpfs),
// with XDG_RUNTIME_DIR in it, so whole-program tests that each bind UDP
// 3776, take the instance guard's lock and publish ports under /tmp can run
// side by side. A project that itself lies under /tmp (a clone in
// /tmp/fresh) stays in sight: the folders of /tmp that the working folder
// and the command's path arguments lie in are mounted again in the new
// /tmp. Exits 125 with the reason when the machine refuses the
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
#include <fcntl.h>
#include <string>
#include <utility>
#include <vector>

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

// The folder of /tmp that path lies in ("/tmp/fresh" for
// "/tmp/fresh/build/bin/x"), or nothing (or "/tmp/") when it lies elsewhere.
std::string TmpFolderOf(const std::string& path) {
  if (path.rfind("/tmp/", 0) != 0) return {};
  const auto end = path.find('/', 5);
  return path.substr(0, end);
}

// Opens the folders of /tmp the test needs (its working folder, and those of
// its arguments that are paths, NAME=PATH included), before /tmp is hidden.
std::vector<std::pair<std::string, int>> OpenKept(int argc, char** argv) {
  std::vector<std::string> paths;
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) != nullptr) paths.emplace_back(cwd);
  for (int i = 1; i < argc; ++i) {
    const std::string arg(argv[i]);
    const auto equals = arg.find('=');
    paths.push_back(equals == std::string::npos ? arg : arg.substr(equals + 1));
  }
  std::vector<std::pair<std::string, int>> kept;
  for (const std::string& path : paths) {
    const std::string folder = TmpFolderOf(path);
    if (folder.size() <= 5) continue;  // none, or /tmp itself
    bool known = false;
    for (const auto& k : kept) known = known || k.first == folder;
    if (known) continue;
    const int fd = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd != -1) kept.emplace_back(folder, fd);
  }
  return kept;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: tarvix-test-isolate COMMAND [ARGS...]\n");
    return 2;
  }
  const auto kept = OpenKept(argc, argv);
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
  for (const auto& [folder, fd] : kept) {
    const std::string from = "/proc/self/fd/" + std::to_string(fd);
    if (mkdir(folder.c_str(), 0700) == -1 || mount(from.c_str(), folder.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == -1)
      return Fail(folder.c_str());
    close(fd);
  }

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
