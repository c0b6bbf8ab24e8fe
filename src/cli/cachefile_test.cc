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

// Dies or fails at step s where the plan says so.
bool fails(step s, int error) {
  if (plan.kill_before == s) raise(SIGKILL);
  if (plan.fail == s) error = plan.error;
  if (error != 0) errno = error;
  return error != 0;
}

int fault_openat(int dirfd, const char *name, int flags, mode_t mode) {
  step s = (flags & O_TMPFILE) == O_TMPFILE ? step::probe : step::create_new;
  if (fails(s, s == step::create_new ? plan.named_error : 0)) return -1;
  return kCachefileSystem.openat(dirfd, name, flags, mode);
}
ssize_t fault_write(int fd, const void *buf, size_t count) {
  return fails(step::write, 0) ? -1 : kCachefileSystem.write(fd, buf, count);
}
int fault_fsync(int fd) { return fails(step::fsync, 0) ? -1 : kCachefileSystem.fsync(fd); }
int fault_renameat(int a, const char *from, int b, const char *to) {
  if (fails(step::rename, 0)) return -1;
  int rc = kCachefileSystem.renameat(a, from, b, to);
  if (plan.kill_after_rename) raise(SIGKILL);
  return rc;
}
int fault_flock(int fd, int op) {
  return fails(step::flock, 0) ? -1 : kCachefileSystem.flock(fd, op);
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

int commit(cache_file &c, std::string text = kNew, cause *why = nullptr) {
  cause unused;
  return c.commit(fill_text, &text, why != nullptr ? why : &unused);
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
  cause why_;
};

TEST_F(CacheFile, CommitReplacesWholeWithMode0644WhateverTheUmask) {
  for (mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}, mode_t{0777}}) {
    SCOPED_TRACE(mask);
    put(kOld);
    mode_t saved = umask(mask);
    int rc;
    {
      cache_file c(path_.c_str(), kFaulty);
      ASSERT_EQ(c.prepare(&why_), 0);
      rc = commit(c);
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

const char kOverBound[] = ".new: write: File too large (over the 16 MiB that the reader accepts)";

// Each failing call of the commit step (or a list the reader would refuse): the cache a refresh
// noted is removed (a failed write leaves no cache), the one a cached run read stays as it was, and
// no new file is left behind.
TEST_F(CacheFile, CommitFailures) {
  const struct {
    const char *name;
    step fail;
    int error;
    bool cached;        // the cache was opened for reading, else prepared for a refresh
    const char *cause;  // for -v, after the cache's path
    long size = 0;      // of the list written; 0: kNew
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
      {"over the reader's bound", step::none, EFBIG, false, kOverBound, kMaxCacheBytes + 1},
      {"over the reader's bound, cached", step::none, EFBIG, true, kOverBound, kMaxCacheBytes + 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    plan = fault_plan{};
    put(kOld);
    cache_file f(path_.c_str(), kFaulty);
    if (c.cached) {
      int fd = -1;
      ASSERT_EQ(f.open_read(&fd, &why_), cache_open::ok);
    } else {
      ASSERT_EQ(f.prepare(&why_), 0);
    }
    plan.fail = c.fail;
    plan.error = c.error;
    errno = 0;
    cause why;
    EXPECT_EQ(commit(f, c.size == 0 ? kNew : std::string(static_cast<size_t>(c.size), 'x'), &why),
              -1);
    EXPECT_EQ(errno, c.error);
    EXPECT_EQ(std::string(why.text), path_ + c.cause);
    EXPECT_STREQ(why.code, "cache-io");
    // Nothing is touched without the lock.
    EXPECT_EQ(cache(), c.cached || c.fail == step::flock ? std::optional(kOld) : std::nullopt);
    EXPECT_TRUE(names().count("lumra.new") == 0);
  }
}

TEST_F(CacheFile, FillFailureLeavesNoCache) {
  put(kOld);
  cache_file c(path_.c_str(), kFaulty);
  ASSERT_EQ(c.prepare(&why_), 0);
  EXPECT_EQ(c.commit(fill_fails, nullptr, &why_), -1);
  EXPECT_EQ(names(), std::set<std::string>{});
}

// A refresh fails before its scan when no new file can be made. Where there
// are no unnamed files (or an old kernel answers the flag so), a named probe
// is made instead, and leaves nothing behind.
TEST_F(CacheFile, PrepareFailures) {
  const struct {
    const char *name;
    int error;       // the probe's, for an unnamed file
    int then_error;  // the named file's
    int expected;    // 0: prepared
  } cases[] = {
      {"not writable", EACCES, 0, EACCES},
      {"read-only", EROFS, 0, EROFS},
      {"no space for an inode", ENOSPC, 0, ENOSPC},
      {"no unnamed files, named one refused", EOPNOTSUPP, EACCES, EACCES},
      {"old kernel, named one refused", EISDIR, EROFS, EROFS},
      {"no unnamed files", EOPNOTSUPP, 0, 0},
      {"old kernel", EISDIR, 0, 0},
      {"old kernel, invalid flag", EINVAL, 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    put(kOld);
    plan = fault_plan{.fail = step::probe, .error = c.error, .named_error = c.then_error};
    cache_file f(path_.c_str(), kFaulty);
    errno = 0;
    int rc = f.prepare(&why_);
    int error = errno;
    EXPECT_EQ(rc, c.expected == 0 ? 0 : -1);
    EXPECT_EQ(names(), std::set<std::string>{"lumra"});
    if (rc != 0) {
      EXPECT_EQ(error, c.expected);
    } else {
      EXPECT_EQ(commit(f), 0);  // unnamed files still refused
    }
    EXPECT_EQ(cache(), c.expected == 0 ? kNew : kOld);
  }
}

TEST_F(CacheFile, PrepareOnUnusablePaths) {
  cache_file missing((dir_ + "/none/lumra").c_str());
  errno = 0;
  EXPECT_EQ(missing.prepare(&why_), -1);
  EXPECT_EQ(errno, ENOENT);
  int fd = -1;
  EXPECT_EQ(missing.open_read(&fd, &why_), cache_open::failed);
  EXPECT_EQ(errno, ENOENT);
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
    if (c.open_read(&fd, &why_) != cache_open::ok) _exit(91);  // reading needs no more
    if (commit(c) != -1) _exit(92);
    cache_file r(path_.c_str());
    errno = 0;
    _exit(r.prepare(&why_) == -1 && errno == EACCES ? 0 : 93);
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
  const std::string fast_text = "ESSID:fast,02:00:00:00:00:02,,,1,1 %,";
  const struct {
    bool cached;      // else a refresh (a cached run without a cache is one)
    bool had_cache;   // when this run noted the path
    bool fast_fails;  // the other refresh failed, else it committed
    int commit;
    std::optional<std::string> after;
  } cases[] = {
      {true, true, false, kCacheSuperseded, fast_text},
      {true, true, true, kCacheSuperseded, std::nullopt},
      {false, true, false, kCacheSuperseded, fast_text},
      {false, true, true, kCacheSuperseded, std::nullopt},
      {false, false, false, kCacheSuperseded, fast_text},
      {false, false, true, 0, kNew},  // found no cache and meets none: commits
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.cached << c.had_cache << c.fast_fails);
    clean();
    if (c.had_cache) put(kOld);
    cache_file slow(path_.c_str());
    int fd = -1;
    ASSERT_TRUE(c.cached ? slow.open_read(&fd, &why_) == cache_open::ok : slow.prepare(&why_) == 0);
    {
      cache_file fast(path_.c_str());
      ASSERT_EQ(fast.prepare(&why_), 0);
      ASSERT_EQ(c.fast_fails ? fast.discard() : commit(fast, fast_text), 0);
    }
    EXPECT_EQ(commit(slow), c.commit);
    if (c.commit != 0) {
      EXPECT_EQ(slow.discard(), kCacheSuperseded);
    }
    EXPECT_EQ(cache(), c.after);
  }
}

// A refresh wins over cached runs that rewrote an older list while it
// scanned, and its failure removes what they wrote.
TEST_F(CacheFile, RefreshReplacesACachedRunsRewrite) {
  for (bool refresh_fails : {false, true}) {
    SCOPED_TRACE(refresh_fails ? "refresh fails" : "refresh commits");
    put(kOld);
    cache_file refresh(path_.c_str());
    ASSERT_EQ(refresh.prepare(&why_), 0);
    {
      cache_file cached(path_.c_str());
      int fd = -1;
      ASSERT_EQ(cached.open_read(&fd, &why_), cache_open::ok);
      ASSERT_EQ(commit(cached, kOld + "ESSID:added,02:00:00:00:00:04,,,1,1 %,"), 0);
    }
    EXPECT_EQ(refresh_fails ? refresh.discard() : commit(refresh), 0);
    EXPECT_EQ(cache(), refresh_fails ? std::nullopt : std::optional(kNew));
  }
}

TEST_F(CacheFile, ListOfTheReadersBoundIsWritten) {
  cache_file c(path_.c_str());
  ASSERT_EQ(c.prepare(&why_), 0);
  EXPECT_EQ(commit(c, std::string(static_cast<size_t>(kMaxCacheBytes), 'x')), 0);
  EXPECT_EQ(cache().value_or("").size(), static_cast<size_t>(kMaxCacheBytes));
}

TEST_F(CacheFile, DiscardRemovesTheNotedCacheAndAStray) {
  put(kOld);
  ASSERT_TRUE(testsupport::write_file(dir_ + "/lumra.new", ""));
  cache_file c(path_.c_str());
  ASSERT_EQ(c.prepare(&why_), 0);
  EXPECT_EQ(c.discard(), 0);
  EXPECT_EQ(names(), std::set<std::string>{});
}

// What appears at the new file's name while a refresh scans (before, it is
// refused at once) is neither removed nor written through.
TEST_F(CacheFile, NewFileNameTakenDuringTheScan) {
  const std::string stray = path_ + ".new";
  const char *const kinds[] = {"symbolic link", "FIFO", "directory"};
  for (const char *kind : kinds) {
    SCOPED_TRACE(kind);
    put(kOld);
    cache_file f(path_.c_str());
    ASSERT_EQ(f.prepare(&why_), 0);
    ASSERT_EQ(kind == kinds[0]   ? symlink(path_.c_str(), stray.c_str())
              : kind == kinds[1] ? mkfifo(stray.c_str(), 0644)
                                 : mkdir(stray.c_str(), 0755),
              0);
    cause why;
    EXPECT_EQ(commit(f, kNew, &why), -1);
    EXPECT_EQ(std::string(why.text), stray + ": not a regular file (" + kind + ")");
    EXPECT_STREQ(why.code, "cache-unsafe");
    struct stat st;
    EXPECT_EQ(lstat(stray.c_str(), &st), 0);
    EXPECT_EQ(cache(), std::nullopt);  // a failed refresh leaves none
    ASSERT_EQ(remove(stray.c_str()), 0);
  }
}

// Only the lock file beside the cache is waited for, and boundedly; a lock
// on the directory (which any user who may read it can take) delays
// nothing, also where the file system has no unnamed files.
TEST_F(CacheFile, OnlyTheLockFileIsWaitedFor) {
  put(kOld);
  {
    cache_file first(path_.c_str());
    ASSERT_EQ(first.prepare(&why_), 0);  // makes the lock file
  }
  // A lock file whose mode was changed gets 0600 back.
  struct stat st;
  for (bool changed : {false, true}) {
    if (changed) {
      ASSERT_EQ(chmod((path_ + ".lock").c_str(), 0666), 0);
      cache_file again(path_.c_str());
      ASSERT_EQ(again.prepare(&why_), 0);
    }
    ASSERT_EQ(stat((path_ + ".lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
  }
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
    EXPECT_EQ(c.prepare(&why_), lock_file ? -1 : 0);
    cause why;
    EXPECT_EQ(commit(c, kNew, &why), lock_file ? -1 : 0);
    EXPECT_EQ(plan.pauses, lock_file ? 2 * (kLockTries - 1) : 0);
    if (lock_file) {
      EXPECT_EQ(std::string(why.text),
                path_ + ".lock: flock: still held by another run after 10 s");
      EXPECT_STREQ(why.code, "busy");
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
    bool after_rename;  // the new cache is in place
  } cases[] = {
      {"before creating", step::create_new, false}, {"before writing", step::write, false},
      {"before fsync", step::fsync, false},         {"before rename", step::rename, false},
      {"after rename", step::none, true},
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
      if (f.prepare(&why_) != 0) _exit(1);
      commit(f);
      _exit(2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    EXPECT_EQ(cache(), c.after_rename ? kNew : kOld);
    std::set<std::string> left = names();
    left.erase("lumra");
    EXPECT_TRUE(left.empty() || left == std::set<std::string>{"lumra.new"});

    cache_file next(path_.c_str());
    ASSERT_EQ(next.prepare(&why_), 0);
    const std::string text = "ESSID:next,02:00:00:00:00:03,,,1,1 %,";
    EXPECT_EQ(commit(next, text), 0);
    EXPECT_EQ(cache(), text);
    EXPECT_EQ(names(), std::set<std::string>{"lumra"});
  }
}

}  // namespace
