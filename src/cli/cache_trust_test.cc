// SPDX-License-Identifier: MIT
// The built program as root beside what the user nobody may have planted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "program.h"

namespace {

using testsupport::read_file;
using testsupport::write_file;

// The exit status of fn in a child process.
int in_child(const std::function<int()> &fn) {
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class CacheTrust : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::program_options nobody{.uid = 65534};
    if (geteuid() != 0 || testsupport::run_program({"/bin/true"}, nobody).status != 0)
      GTEST_SKIP() << "needs root, and to become the user nobody";
    if (!testsupport::lumra_starts()) GTEST_SKIP() << LUMRA_BINARY << " cannot be started";
  }
  testsupport::scratch_dir scratch_;
  const std::string dir_ = scratch_.path() + "/shared";
  const std::string cache_ = dir_ + "/c";
};

// What another user could have put at the cache file, its lock file or its
// new file, in a world-writable directory or one closed to others since:
// every run names the directory or the file and leaves everything as it was.
TEST_F(CacheTrust, PlantedFilesAreRefusedAndLeftAlone) {
  const std::string outside = scratch_.path() + "/outside";  // root's, for links to aim at
  const struct {
    const char *why;
    bool by_nobody;
    const char *plant;  // a shell command on $0, the path
  } planted[] = {
      {"owned by uid 65534 (neither this user nor root)", true, "echo ESSID:FREE-WIFI-forged >$0"},
      {"not a regular file (symbolic link)", true, "ln -s $1 $0"},
      {"not a regular file (directory)", true, "mkdir $0 && touch $0/x"},
      {"not a regular file (FIFO)", true, "mkfifo $0"},
      {"not a regular file (socket)", true,
       "python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' $0"},
      {"hard-linked (2 links)", false, "ln $1 $0"},
      {"not a regular file (device)", false, "mknod $0 c 1 3"},
  };
  auto listing = [&] {
    return testsupport::run_program({"/bin/ls", "-lnAR", "--time-style=full-iso", dir_}).out;
  };
  for (const auto &p : planted) {
    for (const std::string &path : {cache_, cache_ + ".lock", cache_ + ".new"}) {
      SCOPED_TRACE(path + ": " + p.why);
      testsupport::run_program({"/bin/rm", "-rf", dir_});
      ASSERT_EQ(mkdir(dir_.c_str(), 0755) | chmod(dir_.c_str(), 01777), 0);
      ASSERT_TRUE(write_file(outside, "root's own"));
      testsupport::program_options as{.uid = p.by_nobody ? 65534 : -1};
      ASSERT_EQ(testsupport::run_program({"/bin/sh", "-c", p.plant, path, outside}, as).status, 0);
      const std::string before = listing();
      for (const char *args : {"-r", "-c"}) {
        for (mode_t mode : {01777, 0755}) {
          ASSERT_EQ(chmod(dir_.c_str(), mode), 0);
          testsupport::program_result r =
              testsupport::run_program({LUMRA_BINARY, "-f", cache_, "-i", "lumra-none0", args});
          EXPECT_EQ(r.status, 1);
          EXPECT_EQ(r.out, "");
          EXPECT_EQ(r.err, "no cache file: " +
                               (mode == 0755 ? path + ": " + p.why
                                             : dir_ + ": directory writable by group or others") +
                               "\n");
          EXPECT_EQ(listing(), before);
          EXPECT_EQ(read_file(outside), "root's own");
        }
      }
    }
  }
}

// A cached run whose rewrite meets a full file system (a small tmpfs in a
// mount namespace of a child's own) prints its list and keeps the cache.
TEST_F(CacheTrust, FullFileSystemKeepsTheCacheItRead) {
  const std::string work = scratch_.path() + "/";
  const std::string cache = "ESSID:home,02:00:00:00:00:02,Master,WPA2-PSK,6,85 %,";
  ASSERT_TRUE(write_file(work + "scn",
                         "interface wlan0\n  essid \"new\"\n  ap 02:00:00:00:00:06\n  freq 5745\n"
                         "cell 02:00:00:00:00:06\n  channel 149\n  essid \"new\"\n  mode 3\n"));
  std::vector<std::string> env =
      testsupport::environment_without({"LD_PRELOAD=", "FAKEWEXT_", "ASAN_OPTIONS="});
  env.insert(env.end(),
             {std::string("LD_PRELOAD=") + FAKEWEXT_PRELOAD, "FAKEWEXT_SCENARIO=" + work + "scn",
              "ASAN_OPTIONS=verify_asan_link_order=0"});
  ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
  int rc = in_child([&] {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0)
      return 77;
    int fill = open((dir_ + "/fill").c_str(), O_WRONLY | O_CREAT, 0600);
    static const char kBlock[4096] = {};
    for (bool ok = write_file(cache_, cache); ok;) ok = write(fill, kBlock, sizeof kBlock) > 0;
    testsupport::program_result r =
        testsupport::run_program({LUMRA_BINARY, "-f", cache_, "-v", "-c", "-i", "wlan0"}, &env);
    return write_file(work + "out", r.out + r.err) &&
                   write_file(work + "after", *read_file(cache_)) && !read_file(cache_ + ".new")
               ? r.status
               : 91;
  });
  if (rc == 77) GTEST_SKIP() << "no mount namespace or tmpfs here";
  EXPECT_EQ(rc, 0);
  EXPECT_NE(read_file(work + "out")
                ->find("; cache not rewritten: " + cache_ +
                       ".new: write: No space left on device\n"),
            std::string::npos)
      << *read_file(work + "out");
  EXPECT_EQ(read_file(work + "after"), cache);
}

}  // namespace
