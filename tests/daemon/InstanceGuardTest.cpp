#include "daemon/InstanceGuard.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace tarvix {
namespace {

// Points XDG_RUNTIME_DIR at a private folder so the tests never meet a
// running relay.
class InstanceGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("XDG_RUNTIME_DIR")) saved_ = old;
    char pattern[] = "/tmp/tarvix-guard-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (saved_) {
      ::setenv("XDG_RUNTIME_DIR", saved_->c_str(), 1);
    } else {
      ::unsetenv("XDG_RUNTIME_DIR");
    }
    std::filesystem::remove_all(dir_);
  }

  // Runs Acquire in a child process; its exit code tells the result.
  static bool AcquireInChild() {
    const pid_t child = ::fork();
    if (child == 0) {
      TInstanceGuard guard;
      ::_exit(guard.Acquire() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  std::string dir_;
  std::optional<std::string> saved_;
};

TEST_F(InstanceGuardTest, SecondProcessIsRefusedWhileFirstHolds) {
  TInstanceGuard guard;
  ASSERT_TRUE(guard.Acquire());
  EXPECT_TRUE(guard.Acquire());
  EXPECT_FALSE(AcquireInChild());

  TInstanceGuard sameProcess;
  EXPECT_FALSE(sameProcess.Acquire());

  guard.Release();
  EXPECT_FALSE(guard.Held());
  EXPECT_TRUE(AcquireInChild());
  EXPECT_TRUE(sameProcess.Acquire());
}

TEST_F(InstanceGuardTest, KilledHolderFreesTheGuard) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    TInstanceGuard guard;
    const char held = guard.Acquire() ? 'y' : 'n';
    (void)!::write(ready[1], &held, 1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char held = 0;
  ASSERT_EQ(::read(ready[0], &held, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(held, 'y');

  TInstanceGuard guard;
  EXPECT_FALSE(guard.Acquire());
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_TRUE(guard.Acquire());
}

TEST_F(InstanceGuardTest, SymlinkInPlaceOfLockFileIsNotFollowed) {
  // A symlink in place of the lock file is not followed.
  const std::string target = dir_ + "/elsewhere";
  ASSERT_EQ(::symlink(target.c_str(), TInstanceGuard::LockPath().c_str()), 0);
  TInstanceGuard guard;
  EXPECT_FALSE(guard.Acquire());
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(InstanceGuardTest, LockPathFollowsRuntimeDirOrFallsBackToTmpPerUser) {
  EXPECT_EQ(TInstanceGuard::LockPath(), dir_ + "/TarvixServer.lock");
  const std::string perUser = "/tmp/TarvixServer-" + std::to_string(::getuid()) + ".lock";
  ::setenv("XDG_RUNTIME_DIR", "", 1);
  EXPECT_EQ(TInstanceGuard::LockPath(), perUser);
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(TInstanceGuard::LockPath(), perUser);
}

}  // namespace
}  // namespace tarvix
