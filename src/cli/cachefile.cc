// SPDX-License-Identifier: MIT
// The cache file's life cycle: read in place, replaced only whole.
#include "cli/cachefile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <span>

#include "diag/diag.h"
#include "netlist/linefmt.h"

// Where ino_t were 32 bits, stat of a file with a larger inode number (XFS,
// btrfs, NFS) would fail (EOVERFLOW) and no commit could see the path.
static_assert(sizeof(ino_t) == 8, "built with _FILE_OFFSET_BITS=64");

namespace {

// openat itself takes its mode as a variable argument.
int system_openat(int dirfd, const char *name, int flags, mode_t mode) {
  return openat(dirfd, name, flags, mode);
}

void system_pause() {
  timespec pause = {0, 10L * 1000 * 1000};
  nanosleep(&pause, nullptr);
}

// A new cache file is readable by everyone and writable by its owner only,
// whatever the umask: a cached run of any user may read it, and no other
// user may plant a network in it.
constexpr mode_t kCacheMode = 0644;

constexpr char kNewSuffix[] = ".new";
constexpr char kLockSuffix[] = ".lock";

const char *kind(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      return "regular file";
    case S_IFDIR:
      return "directory";
    case S_IFLNK:
      return "symbolic link";
    case S_IFIFO:
      return "FIFO";
    case S_IFSOCK:
      return "socket";
    default:
      return "device";
  }
}

// Only this user and root may have made or changed what the cache trusts.
bool trusted_owner(uid_t uid) { return uid == 0 || uid == geteuid(); }

// Whether snprintf's result fitted its array.
template <std::size_t N>
bool fits(const char (&)[N], int written) {
  return written >= 0 && static_cast<std::size_t>(written) < N;
}

// The stream over the new file: every write goes through the commit step's
// system calls, and a short write that makes no progress is a failure.
// A list the reader would refuse (over kMaxCacheBytes) is never written
// whole: the write that would pass the bound fails with EFBIG.
struct sink {
  int fd;
  const cachefile_sys *sys;
  long written = 0;
  int error = 0;  // the first failure's errno; later writes fail alike
  bool over_bound = false;
};

ssize_t sink_write(void *cookie, const char *buf, size_t size) {
  auto *s = static_cast<sink *>(cookie);
  if (s->error == 0 && size > static_cast<size_t>(kMaxCacheBytes - s->written)) {
    s->error = EFBIG;
    s->over_bound = true;
  }
  std::span<const char> rest(buf, size);
  while (s->error == 0 && !rest.empty()) {
    ssize_t n = s->sys->write(s->fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      s->error = n == 0 ? EIO : errno;
      break;
    }
    s->written += n;
    rest = rest.subspan(static_cast<std::size_t>(n));
  }
  if (s->error == 0) return static_cast<ssize_t>(size);
  errno = s->error;
  return -1;
}

}  // namespace

const cachefile_sys kCachefileSystem = {system_openat, write, fsync, renameat, flock, system_pause};

cache_file::cache_file(const char *path, const cachefile_sys &sys) : sys_(sys), path_(path) {
  const char *slash = strrchr(path, '/');
  const char *name = slash != nullptr ? slash + 1 : path;
  const char *dir = slash == nullptr ? "." : slash == path ? "/" : path;
  const int dir_len = slash != nullptr && slash != path ? static_cast<int>(slash - path) : 1;
  names_ok_ = *name != '\0' && fits(dir_, snprintf(dir_, sizeof dir_, "%.*s", dir_len, dir)) &&
              fits(name_, snprintf(name_, sizeof name_, "%s", name)) &&
              fits(new_name_, snprintf(new_name_, sizeof new_name_, "%s%s", name, kNewSuffix)) &&
              fits(lock_name_, snprintf(lock_name_, sizeof lock_name_, "%s%s", name, kLockSuffix));
}

cache_file::~cache_file() {
  if (seen_fd_ >= 0) close(seen_fd_);
  if (lock_fd_ >= 0) close(lock_fd_);  // releases the lock as well
  if (dir_fd_ >= 0) close(dir_fd_);
}

cache_open cache_file::open_read(int *fd_out, cause *why) {
  why_ = why;
  if (open_dir() != 0) return cache_open::failed;
  int fd = open_file(name_, "", O_RDONLY, 0);
  if (fd < 0) return errno == ENOENT ? cache_open::absent : cache_open::failed;
  seen_fd_ = fd;  // kept open, so its inode cannot be reused for another file
  noted_ = true;
  *fd_out = fd;
  return cache_open::ok;
}

// The directory, only where no one but this user and root can change what
// is in it (a sticky bit still lets others make files there).
int cache_file::open_dir() {
  if (dir_fd_ >= 0) return 0;
  if (!names_ok_) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int fd = open(dir_, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (fd < 0) {
    int saved = errno;
    if ((saved == ENOTDIR || saved == ELOOP) && lstat(dir_, &st) == 0)
      cause_set(why_, "cache-unsafe", 0, "%s: not a directory (%s)", dir_, kind(st.st_mode));
    errno = saved;
    return -1;
  }
  if (fstat(fd, &st) != 0)
    cause_set(why_, "cache-io", errno, "%s: fstat", dir_);
  else if (!trusted_owner(st.st_uid))
    cause_set(why_, "cache-unsafe", 0, "%s: directory owned by uid %u (neither this user nor root)",
              dir_, static_cast<unsigned>(st.st_uid));
  else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    cause_set(why_, "cache-unsafe", 0, "%s: directory writable by group or others", dir_);
  else
    dir_fd_ = fd;
  if (dir_fd_ >= 0) return 0;
  close(fd);
  errno = EPERM;
  return -1;
}

// -1 with the reason recorded (errno EPERM) unless st is a regular file of
// this user or root with one link: a link to a file elsewhere, or a file
// another user made, is never written, read or removed.
bool cache_file::io_failed(const char *suffix, const char *step, int err) const {
  return cause_set(why_, "cache-io", err, "%s%s: %s", path_, suffix, step);
}

int cache_file::refuse_untrusted(const struct stat &st, const char *suffix) const {
  if (!S_ISREG(st.st_mode))
    cause_set(why_, "cache-unsafe", 0, "%s%s: not a regular file (%s)", path_, suffix,
              kind(st.st_mode));
  else if (!trusted_owner(st.st_uid))
    cause_set(why_, "cache-unsafe", 0, "%s%s: owned by uid %u (neither this user nor root)", path_,
              suffix, static_cast<unsigned>(st.st_uid));
  else if (st.st_nlink != 1)
    cause_set(why_, "cache-unsafe", 0, "%s%s: hard-linked (%lu links)", path_, suffix,
              static_cast<unsigned long>(st.st_nlink));
  else
    return 0;
  errno = EPERM;
  return -1;
}

// 0 when nothing is at name or a file that may be used, else -1 (recorded).
int cache_file::check_at(const char *name, const char *suffix) const {
  struct stat st;
  if (fstatat(dir_fd_, name, &st, AT_SYMLINK_NOFOLLOW) == 0) return refuse_untrusted(st, suffix);
  if (errno == ENOENT) return 0;
  io_failed(suffix, "stat", errno);
  return -1;
}

// Opens one of the cache's files; what was opened is checked, so a file
// swapped in after the first look is refused too. Nothing but a regular file
// is opened at all: opening a device or a FIFO may block or act on it.
// -1 with errno ENOENT and nothing recorded when there is none to read.
int cache_file::open_file(const char *name, const char *suffix, int flags, mode_t mode) {
  if (check_at(name, suffix) != 0) return -1;
  int fd = openat(dir_fd_, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd < 0) {
    if (errno != ENOENT || (flags & O_CREAT) != 0) io_failed(suffix, "open", errno);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    io_failed(suffix, "fstat", errno);
  } else if (refuse_untrusted(st, suffix) == 0) {
    // The umask may have left the owner of a new lock file without access;
    // an older one's mode may have been changed: nobody else gets any.
    if (suffix == kLockSuffix && st.st_uid == geteuid() && (st.st_mode & 07777) != 0600)
      fchmod(fd, S_IRUSR | S_IWUSR);
    return fd;
  }
  int saved = errno;
  close(fd);
  errno = saved;
  return -1;
}

// Notes what is at the path, pinned by a descriptor that opens nothing
// (O_PATH). 0, or -1 with the cause recorded (what may not be replaced).
int cache_file::note_path() {
  int fd = open_file(name_, "", O_PATH, 0);
  if (fd < 0 && errno != ENOENT) return -1;
  if (seen_fd_ >= 0) close(seen_fd_);
  seen_fd_ = fd;
  noted_ = true;
  return 0;
}

int cache_file::prepare(cause *why) {
  why_ = why;
  if (open_dir() != 0) return -1;
  refresh_ = true;
  // What may not be replaced is refused before anything is made.
  if (check_at(name_, "") != 0 || check_at(new_name_, kNewSuffix) != 0) return -1;
  // A new file must be possible now, not only after the scan. An unnamed
  // one leaves nothing behind; where the file system has none, the named
  // one is made and removed under the lock.
  int probe = sys_.openat(dir_fd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, kCacheMode);
  if (probe >= 0) close(probe);
  bool named = probe < 0;
  if (named && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
  // The path and the count of refreshes, noted together under the lock. A
  // lock the owner's other runs hold past the bound (they hold it for
  // milliseconds) costs only the refreshes' rule for this run.
  if (lock() != 0) {
    if (errno != EWOULDBLOCK) return -1;
    *why = cause();  // a lock the bound passed by costs this run nothing to tell
    if (named) errno = EWOULDBLOCK;
    return named ? -1 : note_path();
  }
  int rc = note_path();
  if (rc == 0) {
    refreshes_ = refreshes();
    refreshes_known_ = true;
  }
  if (rc == 0 && named) {
    probe = create_new();
    if (probe >= 0) {
      close(probe);
      unlinkat(dir_fd_, new_name_, 0);
    } else {
      rc = -1;
    }
  }
  int saved = errno;
  unlock();
  errno = saved;
  return rc;
}

// Opens the lock file (made if missing) and locks it, trying for a bounded
// time. Only the owner can open it: no other user can stall a commit.
int cache_file::lock() {
  if (lock_fd_ < 0) {
    lock_fd_ = open_file(lock_name_, kLockSuffix, O_RDWR | O_CREAT, S_IRUSR | S_IWUSR);
    if (lock_fd_ < 0) return -1;
  }
  for (int tries = 1;; ++tries) {
    if (sys_.flock(lock_fd_, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      io_failed(kLockSuffix, "flock", errno);
      break;
    }
    if (tries >= kLockTries) {
      cause_set(why_, "busy", 0, "%s%s: flock: still held by another run after %d s", path_,
                kLockSuffix, kLockTries / 100);
      errno = EWOULDBLOCK;
      break;
    }
    sys_.pause();
  }
  int saved = errno;
  close(lock_fd_);
  lock_fd_ = -1;
  errno = saved;
  return -1;
}

void cache_file::unlock() {
  if (lock_fd_ < 0) return;
  close(lock_fd_);  // releases the lock
  lock_fd_ = -1;
}

// Under the lock: how many times refreshes have changed the path, as the
// lock file counts them (0 for a new one).
uint64_t cache_file::refreshes() const {
  uint64_t n = 0;
  if (pread(lock_fd_, &n, sizeof n, 0) != static_cast<ssize_t>(sizeof n)) n = 0;
  return n;
}

// Under the lock: may this run replace or remove what is at the path? A
// refresh that is about to change the path counts that first.
bool cache_file::may_replace() {
  uint64_t now = refresh_ ? refreshes() : 0;
  // What a cached run rewrote from an older list is a refresh's to replace.
  bool ok = unchanged() || (refresh_ && refreshes_known_ && now == refreshes_);
  if (ok && refresh_) {
    ++now;
    // Lost only on a full disk: a refresh that started before this one
    // may then replace this one's list.
    (void)!pwrite(lock_fd_, &now, sizeof now, 0);
  }
  return ok;
}

// Under the lock: is the path still what this run noted?
bool cache_file::unchanged() const {
  if (!noted_) return false;
  struct stat now;
  if (fstatat(dir_fd_, name_, &now, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT && seen_fd_ < 0;
  struct stat seen;
  if (seen_fd_ < 0 || fstat(seen_fd_, &seen) != 0) return false;
  return seen.st_dev == now.st_dev && seen.st_ino == now.st_ino;
}

// Under the lock: a fresh new file, in place of a stray one that a killed
// run left; anything else there stays and fails the commit. O_EXCL after the
// removal: never a symlink or a FIFO put there since.
int cache_file::create_new() {
  if (check_at(new_name_, kNewSuffix) != 0) return -1;
  if (unlinkat(dir_fd_, new_name_, 0) != 0 && errno != ENOENT) {
    io_failed(kNewSuffix, "remove", errno);
    return -1;
  }
  int fd = sys_.openat(dir_fd_, new_name_, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       kCacheMode);
  if (fd < 0) {
    io_failed(kNewSuffix, "create", errno);
    return -1;
  }
  if (fchmod(fd, kCacheMode) != 0) {  // the umask took bits away
    int saved = errno;
    io_failed(kNewSuffix, "chmod", saved);
    close(fd);
    unlinkat(dir_fd_, new_name_, 0);
    errno = saved;
    return -1;
  }
  return fd;
}

// Fills the new file, flushes it to the disk and closes it; 0 or -1.
int cache_file::write_new(int fd, int (*fill)(FILE *, void *), void *arg) {
  sink s{fd, &sys_};
  cookie_io_functions_t io{};
  io.write = sink_write;
  FILE *f = fopencookie(&s, "w", io);
  if (f == nullptr) {
    io_failed(kNewSuffix, "write", errno);
    close(fd);
    return -1;
  }
  // The stream's buffer on the stack: the commit allocates only the stream.
  char buf[4096];
  setvbuf(f, buf, _IOFBF, sizeof buf);
  int rc = fill(f, arg) == 0 ? 0 : -1;
  if (fflush(f) != 0 || ferror(f) != 0) rc = -1;
  int saved = s.error != 0 ? s.error : errno;
  fclose(f);
  if (s.over_bound) {
    if (io_failed(kNewSuffix, "write", EFBIG))
      cause_append(why_, " (over the 16 MiB that the reader accepts)");
  } else if (s.error != 0) {
    io_failed(kNewSuffix, "write", s.error);
  } else if (rc != 0) {
    io_failed(kNewSuffix, "write: an entry the cache cannot hold", 0);
  }
  if (rc == 0 && sys_.fsync(fd) != 0) {
    rc = -1;
    saved = errno;
    io_failed(kNewSuffix, "fsync", saved);
  }
  if (close(fd) != 0 && rc == 0) {
    rc = -1;
    saved = errno;
    io_failed(kNewSuffix, "close", saved);
  }
  errno = saved;
  return rc;
}

int cache_file::commit(int (*fill)(FILE *, void *), void *arg, cause *why) {
  why_ = why;
  if (open_dir() != 0) {
    io_failed("", "open directory", errno);
    return -1;
  }
  if (lock() != 0) return -1;
  if (!may_replace()) {
    unlock();
    return kCacheSuperseded;
  }
  // What is at the path is renamed over or removed only when it may be.
  bool path_ok = check_at(name_, "") == 0;
  int fd = path_ok ? create_new() : -1;
  if (fd >= 0 && write_new(fd, fill, arg) == 0) {
    if (sys_.renameat(dir_fd_, new_name_, dir_fd_, name_) == 0) {
      // Makes the rename itself last through a power loss; the cache is
      // complete either way, so a failure here changes nothing.
      sys_.fsync(dir_fd_);
      unlock();
      return 0;
    }
    io_failed(kNewSuffix, "rename", errno);
  }
  int saved = errno;
  if (fd >= 0) unlinkat(dir_fd_, new_name_, 0);
  // A failed refresh leaves no cache: the list it noted is not the present
  // one. A cached run's failed rewrite leaves the cache it read as it was.
  if (refresh_ && path_ok) unlinkat(dir_fd_, name_, 0);
  unlock();
  errno = saved;
  return -1;
}

int cache_file::discard() {
  why_ = &discarded_;  // the run tells the cause of its own failure
  if (open_dir() != 0 || lock() != 0) return -1;
  if (check_at(new_name_, kNewSuffix) == 0) unlinkat(dir_fd_, new_name_, 0);  // a killed run's
  int rc = 0;
  if (!may_replace())
    rc = kCacheSuperseded;
  else if (check_at(name_, "") != 0 || (unlinkat(dir_fd_, name_, 0) != 0 && errno != ENOENT))
    rc = -1;
  unlock();
  return rc;
}
