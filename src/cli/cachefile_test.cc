// SPDX-License-Identifier: MIT
#include "cli/cachefile.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <set>
#include <string>

#include "diag/diag.h"
#include "netlist/linefmt.h"
#include "program.h"

namespace {

// Which system call of the commit step fails, or kills the process.
enum class step { none, create_new, probe, write, fsync, rename, flock };

struct fault_plan {
  step fail = step::none;
  int error = 0;
  step kill_before = step::none;
  bool kill_after_rename = false;
  int named_error = 0;  // the named new file fails too (after the probe)
  int pauses = 0;
};
fault_plan plan;

void maybe_kill(step s) {
  if (plan.kill_before == s) raise(SIGKILL);
}

int fault_openat(int dirfd, const char *name, int flags, mode_t mode) {
  step s = (flags & O_TMPFILE) == O_TMPFILE ? step::probe : step::create_new;
  maybe_kill(s);
  if (plan.fail == s) {
    errno = plan.error;
    return -1;
  }
  if (s == step::create_new && plan.named_error != 0) {
    errno = plan.named_error;
    return -1;
  }
  return kCachefileSystem.openat(dirfd, name, flags, mode);
}

ssize_t fault_write(int fd, const void *buf, size_t count) {
  maybe_kill(step::write);
  if (plan.fail == step::write) {
    errno = plan.error;
    return -1;
  }
  return kCachefileSystem.write(fd, buf, count);
}

int fault_fsync(int fd) {
  maybe_kill(step::fsync);
  if (plan.fail == step::fsync) {
    errno = plan.error;
    return -1;
  }
  return kCachefileSystem.fsync(fd);
}

int fault_renameat(int a, const char *from, int b, const char *to) {
  maybe_kill(step::rename);
  if (plan.fail == step::rename) {
    errno = plan.error;
    return -1;
  }
  int rc = kCachefileSystem.renameat(a, from, b, to);
  if (plan.kill_after_rename) raise(SIGKILL);
  return rc;
}

int fault_flock(int fd, int op) {
  if (plan.fail == step::flock) {
    errno = plan.error;
    return -1;
  }
  return kCachefileSystem.flock(fd, op);
}

void counted_pause() { plan.pauses++; }

const cachefile_sys kFaulty = {fault_openat,   fault_write, fault_fsync,
                               fault_renameat, fault_flock, counted_pause};

// The content that a commit writes; big enough for several stream buffers.
const std::string kNew = [] {
  std::string s;
  for (int i = 0; i < 400; ++i)
    s += "ESSID:net" + std::to_string(i) + ",02:00:00:00:00:01,Master,off,1,5 %,";
  return s;
}();
const std::string kOld = "ESSID:old,0a:0b:0c:0d:0e:0f,Ad-Hoc,WEP,3,20 %,";

int fill_text(FILE *f, void *arg) {
  const auto *text = static_cast<const std::string *>(arg);
  return fwrite(text->data(), 1, text->size(), f) == text->size() ? 0 : -1;
}

int fill_fails(FILE *f, void * /*arg*/) {
  fputs("ESSID:partial", f);
  return -1;
}

class CacheFile : public ::testing::Test {
 protected:
  void SetUp() override {
    plan = fault_plan{};
    dir_ = scratch_.path();
    path_ = dir_ + "/lumra";
  }

  void clean() {
    for (const std::string &n : names()) unlink((dir_ + "/" + n).c_str());
  }

  // The files in the directory but the lock file, which stays once made.
  std::set<std::string> names() const {
    std::set<std::string> out;
    DIR *d = opendir(dir_.c_str());
    if (d == nullptr) return out;
    while (const dirent *e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != ".." && n != "lumra.lock") out.insert(n);
    }
    closedir(d);
    return out;
  }

  std::optional<std::string> cache() const { return testsupport::read_file(path_); }

  void put(const std::string &text) const { ASSERT_TRUE(testsupport::write_file(path_, text)); }

  testsupport::scratch_dir scratch_;
  std::string dir_;
  std::string path_;
};

TEST_F(CacheFile, CommitReplacesWholeWithMode0644WhateverTheUmask) {
  for (mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}, mode_t{0777}}) {
    SCOPED_TRACE(mask);
    put(kOld);
    mode_t saved = umask(mask);
    int rc;
    {
      cache_file c(path_.c_str(), kFaulty);
      ASSERT_EQ(c.prepare(), 0);
      std::string text = kNew;
      rc = c.commit(fill_text, &text);
    }
    umask(saved);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(cache(), kNew);
    struct stat st;
    ASSERT_EQ(lstat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(names(), std::set<std::string>{"lumra"});
  }
}

// Each failing call of the commit step: the cache this run noted is removed
// (a failed write leaves no cache), and no new file is left behind.
TEST_F(CacheFile, CommitFailures) {
  const struct {
    const char *name;
    step fail;
    int error;
    bool cached;        // the cache was opened for reading, else prepared for a refresh
    const char *cause;  // for -v, after the cache's path
  } cases[] = {
      {"write, refresh", step::write, ENOSPC, false, ".new: write: No space left on device"},
      {"write, cached", step::write, EIO, true, ".new: write: Input/output error"},
      {"fsync", step::fsync, EIO, false, ".new: fsync: Input/output error"},
      {"fsync, cached", step::fsync, EDQUOT, true, ".new: fsync: Disk quota exceeded"},
      {"rename", step::rename, EPERM, false, ".new: rename: Operation not permitted"},
      {"rename, cached", step::rename, EBUSY, true, ".new: rename: Device or resource busy"},
      {"create, cached run of a user who may not write", step::create_new, EACCES, true,
       ".new: create: Permission denied"},
      {"create, read-only file system", step::create_new, EROFS, true,
       ".new: create: Read-only file system"},
      {"lock", step::flock, ENOLCK, false, ".lock: flock: No locks available"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    plan = fault_plan{};
    put(kOld);
    cache_file f(path_.c_str(), kFaulty);
    if (c.cached) {
      int fd = -1;
      ASSERT_EQ(f.open_read(&fd), cache_open::ok);
    } else {
      ASSERT_EQ(f.prepare(), 0);
    }
    plan.fail = c.fail;
    plan.error = c.error;
    std::string text = kNew;
    errno = 0;
    diag_reset();
    EXPECT_EQ(f.commit(fill_text, &text), -1);
    EXPECT_EQ(errno, c.error);
    EXPECT_EQ(std::string(diag_failure()), path_ + c.cause);
    // Nothing is touched without the lock.
    EXPECT_EQ(cache(), c.fail == step::flock ? std::optional(kOld) : std::nullopt);
    EXPECT_TRUE(names().count("lumra.new") == 0);
  }
}

TEST_F(CacheFile, FillFailureLeavesNoCache) {
  put(kOld);
  cache_file c(path_.c_str(), kFaulty);
  ASSERT_EQ(c.prepare(), 0);
  EXPECT_EQ(c.commit(fill_fails, nullptr), -1);
  EXPECT_EQ(names(), std::set<std::string>{});
}

// A refresh fails before its scan when no new file can be made.
TEST_F(CacheFile, PrepareFailures) {
  const struct {
    const char *name;
    step fail;
    int error;
    int then_error;  // the named file's, where unnamed ones are not supported
    int expected;
  } cases[] = {
      {"not writable", step::probe, EACCES, 0, EACCES},
      {"read-only", step::probe, EROFS, 0, EROFS},
      {"no space for an inode", step::probe, ENOSPC, 0, ENOSPC},
      {"no unnamed files, named one refused", step::probe, EOPNOTSUPP, EACCES, EACCES},
      {"old kernel, named one refused", step::probe, EISDIR, EROFS, EROFS},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    plan = fault_plan{};
    put(kOld);
    plan.fail = c.fail;
    plan.error = c.error;
    plan.named_error = c.then_error;
    cache_file f(path_.c_str(), kFaulty);
    errno = 0;
    EXPECT_EQ(f.prepare(), -1);
    EXPECT_EQ(errno, c.expected);
    plan = fault_plan{};
    EXPECT_EQ(cache(), kOld);
    EXPECT_EQ(names(), std::set<std::string>{"lumra"});
  }
  // No unnamed files (or an old kernel's answers to the flag): the named
  // probe succeeding leaves nothing behind.
  for (int error : {EOPNOTSUPP, EISDIR, EINVAL}) {
    SCOPED_TRACE(error);
    put(kOld);
    plan.fail = step::probe;
    plan.error = error;
    cache_file h(path_.c_str(), kFaulty);
    EXPECT_EQ(h.prepare(), 0);
    EXPECT_EQ(names(), std::set<std::string>{"lumra"});
    std::string text = kNew;
    EXPECT_EQ(h.commit(fill_text, &text), 0);
    EXPECT_EQ(cache(), kNew);
  }
}

TEST_F(CacheFile, PrepareOnUnusablePaths) {
  {
    ASSERT_EQ(mkdir(path_.c_str(), 0755), 0);
    cache_file c(path_.c_str());
    errno = 0;
    EXPECT_EQ(c.prepare(), -1);
    EXPECT_EQ(errno, EISDIR);
    int fd = -1;
    EXPECT_EQ(c.open_read(&fd), cache_open::failed);
    EXPECT_EQ(errno, EISDIR);
    rmdir(path_.c_str());
  }
  cache_file missing((dir_ + "/none/lumra").c_str());
  errno = 0;
  EXPECT_EQ(missing.prepare(), -1);
  EXPECT_EQ(errno, ENOENT);
  int fd = -1;
  EXPECT_EQ(missing.open_read(&fd), cache_open::absent);
}

// Root may write any directory: the real refusal is seen by a child that
// has become an unprivileged user.
TEST_F(CacheFile, DirectoryNotWritableForTheUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to become an unprivileged user";
  put(kOld);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(90);
    cache_file c(path_.c_str());
    int fd = -1;
    if (c.open_read(&fd) != cache_open::ok) _exit(91);  // reading needs no more
    std::string text = kNew;
    if (c.commit(fill_text, &text) != -1) _exit(92);
    cache_file r(path_.c_str());
    errno = 0;
    _exit(r.prepare() == -1 && errno == EACCES ? 0 : 93);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(cache(), kOld);
  EXPECT_EQ(names(), std::set<std::string>{"lumra"});
}

// Another run committed after this one noted the path: its cache stays,
// whether this run read the old one, found none, or is a refresh.
TEST_F(CacheFile, NewerCacheIsNeverReplacedOrRemoved) {
  for (bool cached : {true, false}) {
    for (bool had_cache : {true, false}) {
      SCOPED_TRACE(std::string(cached ? "cached" : "refresh") + (had_cache ? ", cache" : ", none"));
      if (cached && !had_cache) continue;  // a cached run without a cache is a refresh
      for (bool fast_fails : {false, true}) {
        SCOPED_TRACE(fast_fails ? "the other refresh failed" : "the other refresh committed");
        clean();
        if (had_cache) put(kOld);
        cache_file slow(path_.c_str());
        int fd = -1;
        if (cached)
          ASSERT_EQ(slow.open_read(&fd), cache_open::ok);
        else
          ASSERT_EQ(slow.prepare(), 0);
        {
          cache_file fast(path_.c_str());
          ASSERT_EQ(fast.prepare(), 0);
          std::string text = "ESSID:fast,02:00:00:00:00:02,,,1,1 %,";
          ASSERT_EQ(fast_fails ? fast.discard() : fast.commit(fill_text, &text), 0);
        }
        std::string text = kNew;
        // A refresh that found no cache and meets none still commits.
        bool commits = fast_fails && !had_cache;
        EXPECT_EQ(slow.commit(fill_text, &text), commits ? 0 : kCacheSuperseded);
        if (!commits) {
          EXPECT_EQ(slow.discard(), kCacheSuperseded);
        }
        EXPECT_EQ(cache(), commits      ? std::optional(kNew)
                           : fast_fails ? std::nullopt
                                        : std::optional<std::string>(
                                              "ESSID:fast,02:00:00:00:00:02,,,1,1 %,"));
      }
    }
  }
}

// A refresh wins over cached runs that rewrote an older list while it
// scanned, and its failure removes what they wrote; a cached run's list
// over the reader's bound is not written and the cache it read stays.
TEST_F(CacheFile, RefreshReplacesACachedRunsRewrite) {
  for (bool refresh_fails : {false, true}) {
    SCOPED_TRACE(refresh_fails ? "refresh fails" : "refresh commits");
    put(kOld);
    cache_file refresh(path_.c_str());
    ASSERT_EQ(refresh.prepare(), 0);
    {
      cache_file cached(path_.c_str());
      int fd = -1;
      ASSERT_EQ(cached.open_read(&fd), cache_open::ok);
      std::string text = kOld + "ESSID:added,02:00:00:00:00:04,,,1,1 %,";
      ASSERT_EQ(cached.commit(fill_text, &text), 0);
    }
    std::string text = kNew;
    EXPECT_EQ(refresh_fails ? refresh.discard() : refresh.commit(fill_text, &text), 0);
    EXPECT_EQ(cache(), refresh_fails ? std::nullopt : std::optional(kNew));
  }
  put(kOld);
  cache_file big(path_.c_str());
  int fd = -1;
  ASSERT_EQ(big.open_read(&fd), cache_open::ok);
  std::string text(kMaxCacheBytes + 1, 'x');
  diag_reset();
  EXPECT_EQ(big.commit(fill_text, &text), -1);
  EXPECT_EQ(std::string(diag_failure()),
            path_ + ".new: write: File too large (over the 16 MiB that the reader accepts)");
  EXPECT_EQ(cache(), kOld);
  EXPECT_EQ(names(), std::set<std::string>{"lumra"});
}

TEST_F(CacheFile, DiscardRemovesTheNotedCacheAndAStray) {
  put(kOld);
  FILE *stray = fopen((dir_ + "/lumra.new").c_str(), "w");
  ASSERT_NE(stray, nullptr);
  fclose(stray);
  cache_file c(path_.c_str());
  ASSERT_EQ(c.prepare(), 0);
  EXPECT_EQ(c.discard(), 0);
  EXPECT_EQ(names(), std::set<std::string>{});
}

// Whatever a killed run left at the new file's name is replaced, never
// written through.
TEST_F(CacheFile, StrayNewFileIsReplaced) {
  const std::string outside = dir_ + "/outside";
  const std::string stray = dir_ + "/lumra.new";
  for (int kind = 0; kind < 3; ++kind) {
    SCOPED_TRACE(kind);
    clean();
    put(kOld);
    FILE *o = fopen(outside.c_str(), "w");
    ASSERT_NE(o, nullptr);
    fclose(o);
    if (kind == 0) {
      FILE *f = fopen(stray.c_str(), "w");
      ASSERT_NE(f, nullptr);
      fputs("ESSID:half", f);
      fclose(f);
    } else if (kind == 1) {
      ASSERT_EQ(symlink(outside.c_str(), stray.c_str()), 0);
    } else {
      ASSERT_EQ(mkfifo(stray.c_str(), 0644), 0);
    }
    cache_file c(path_.c_str());
    ASSERT_EQ(c.prepare(), 0);
    std::string text = kNew;
    EXPECT_EQ(c.commit(fill_text, &text), 0);
    EXPECT_EQ(cache(), kNew);
    struct stat st;
    ASSERT_EQ(stat(outside.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(names(), (std::set<std::string>{"lumra", "outside"}));
  }
  // A directory there is removed when empty, else named.
  std::string text = kNew;
  for (bool empty : {true, false}) {
    ASSERT_EQ(mkdir(stray.c_str(), 0755), 0);
    if (!empty) {
      ASSERT_EQ(mkdir((stray + "/x").c_str(), 0755), 0);
    }
    cache_file c(path_.c_str());
    ASSERT_EQ(c.prepare(), 0);
    diag_reset();
    EXPECT_EQ(c.commit(fill_text, &text), empty ? 0 : -1);
  }
  EXPECT_EQ(std::string(diag_failure()), stray + ": remove: Directory not empty");
}

// Only the lock file beside the cache is waited for, and boundedly; a lock
// on the directory (which any user who may read it can take) delays
// nothing, also where the file system has no unnamed files.
TEST_F(CacheFile, OnlyTheLockFileIsWaitedFor) {
  put(kOld);
  {
    cache_file first(path_.c_str());
    ASSERT_EQ(first.prepare(), 0);  // makes the lock file
  }
  struct stat st;
  ASSERT_EQ(stat((path_ + ".lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  for (bool lock_file : {false, true}) {
    SCOPED_TRACE(lock_file ? "lock file held" : "directory held");
    put(kOld);
    plan = fault_plan{};
    plan.fail = step::probe;
    plan.error = EOPNOTSUPP;
    int other = open((lock_file ? path_ + ".lock" : dir_).c_str(), O_RDONLY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX), 0);
    cache_file c(path_.c_str(), kFaulty);
    EXPECT_EQ(c.prepare(), lock_file ? -1 : 0);
    std::string text = kNew;
    diag_reset();
    EXPECT_EQ(c.commit(fill_text, &text), lock_file ? -1 : 0);
    EXPECT_EQ(plan.pauses, lock_file ? 2 * (kLockTries - 1) : 0);
    if (lock_file) {
      EXPECT_EQ(std::string(diag_failure()),
                path_ + ".lock: flock: still held by another run after 10 s");
    }
    EXPECT_EQ(cache(), lock_file ? kOld : kNew);
    close(other);
  }
}

// A process killed at any step of a commit leaves the old or the new
// complete cache and at most the one new file, which the next commit reuses.
TEST_F(CacheFile, KilledAtEachStep) {
  const struct {
    const char *name;
    step before;
    bool after_rename;
    bool new_expected;
  } cases[] = {
      {"before creating", step::create_new, false, false},
      {"before writing", step::write, false, false},
      {"before fsync", step::fsync, false, false},
      {"before rename", step::rename, false, false},
      {"after rename", step::none, true, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    clean();
    put(kOld);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      plan.kill_before = c.before;
      plan.kill_after_rename = c.after_rename;
      cache_file f(path_.c_str(), kFaulty);
      if (f.prepare() != 0) _exit(1);
      std::string text = kNew;
      f.commit(fill_text, &text);
      _exit(2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    EXPECT_EQ(cache(), c.new_expected ? kNew : kOld);
    std::set<std::string> left = names();
    left.erase("lumra");
    EXPECT_LE(left.size(), 1u);
    if (!left.empty()) {
      EXPECT_EQ(*left.begin(), "lumra.new");
    }

    cache_file next(path_.c_str());
    ASSERT_EQ(next.prepare(), 0);
    std::string text = "ESSID:next,02:00:00:00:00:03,,,1,1 %,";
    EXPECT_EQ(next.commit(fill_text, &text), 0);
    EXPECT_EQ(cache(), text);
    EXPECT_EQ(names(), std::set<std::string>{"lumra"});
  }
}

}  // namespace
