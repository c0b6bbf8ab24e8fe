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

// Copies text into a fixed array; false when it does not fit.
template <std::size_t N>
bool copy_text(char (&dst)[N], const char *src, std::size_t len) {
  if (len >= N) return false;
  std::span<char> out(dst);
  if (len > 0) memcpy(out.data(), src, len);
  out[len] = '\0';
  return true;
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

// The system's calls, reached through functions of this program: a table of
// the library's own addresses would have the loader look up all four at
// start-up, while a cached run needs none of them.
ssize_t system_write(int fd, const void *buf, size_t count) { return write(fd, buf, count); }
int system_fsync(int fd) { return fsync(fd); }
int system_renameat(int olddirfd, const char *oldname, int newdirfd, const char *newname) {
  return renameat(olddirfd, oldname, newdirfd, newname);
}
int system_flock(int fd, int operation) { return flock(fd, operation); }

}  // namespace

const cachefile_sys kCachefileSystem = {system_openat,   system_write, system_fsync,
                                        system_renameat, system_flock, system_pause};

cache_file::cache_file(const char *path, const cachefile_sys &sys) : sys_(sys), path_(path) {
  dir_[0] = name_[0] = new_name_[0] = '\0';
  // The last "/" and the length, in one walk (no library calls for them).
  const char *slash = nullptr;
  const char *end = path;
  for (; *end != '\0'; ++end)
    if (*end == '/') slash = end;
  const char *name = slash != nullptr ? slash + 1 : path;
  bool ok = *name != '\0';
  if (slash == nullptr)
    ok = ok && copy_text(dir_, ".", 1);
  else if (slash == path)
    ok = ok && copy_text(dir_, "/", 1);
  else
    ok = ok && copy_text(dir_, path, static_cast<std::size_t>(slash - path));
  const auto len = static_cast<std::size_t>(end - name);
  ok = ok && copy_text(name_, name, len) && copy_text(new_name_, name, len) &&
       copy_text(lock_name_, name, len) && len + sizeof kLockSuffix <= sizeof lock_name_;
  if (ok) {
    memcpy(std::span<char>(new_name_).subspan(len).data(), kNewSuffix, sizeof kNewSuffix);
    memcpy(std::span<char>(lock_name_).subspan(len).data(), kLockSuffix, sizeof kLockSuffix);
  }
  names_ok_ = ok;
}

cache_file::~cache_file() {
  if (seen_fd_ >= 0) close(seen_fd_);
  if (lock_fd_ >= 0) close(lock_fd_);  // releases the lock as well
  if (dir_fd_ >= 0) close(dir_fd_);
}

cache_open cache_file::open_read(int *fd_out) {
  if (!names_ok_) {
    errno = ENAMETOOLONG;
    return cache_open::failed;
  }
  // Only a regular file is opened at all: opening a device or a FIFO may
  // block or act on it.
  struct stat st;
  if (lstat(path_, &st) != 0) return errno == ENOENT ? cache_open::absent : cache_open::failed;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return cache_open::failed;
  }
  if (!S_ISREG(st.st_mode)) return cache_open::not_regular;
  // Replaced since: O_NOFOLLOW and O_NONBLOCK keep this open harmless too,
  // and the reader checks the type of what it got.
  int fd = open(path_, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return cache_open::absent;
    return errno == ELOOP ? cache_open::not_regular : cache_open::failed;
  }
  seen_fd_ = fd;  // kept open, so its inode cannot be reused for another file
  noted_ = true;
  *fd_out = fd;
  return cache_open::ok;
}

int cache_file::open_dir() {
  if (dir_fd_ >= 0) return 0;
  if (!names_ok_) {
    errno = ENAMETOOLONG;
    return -1;
  }
  dir_fd_ = open(dir_, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return dir_fd_ >= 0 ? 0 : -1;
}

// Notes what is at the path, pinned by a descriptor that opens nothing
// (O_PATH), whatever it is. 0, or -1 with errno (EISDIR for a directory).
int cache_file::note_path() {
  int fd = openat(dir_fd_, name_, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno != ENOENT) return -1;
  if (fd >= 0) {
    struct stat st;
    int saved = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (saved != 0) {
      close(fd);
      errno = saved;
      return -1;
    }
  }
  if (seen_fd_ >= 0) close(seen_fd_);
  seen_fd_ = fd;
  noted_ = true;
  return 0;
}

int cache_file::prepare() {
  if (open_dir() != 0) return -1;
  refresh_ = true;
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
    diag_forget();
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
  diag_forget();  // prepare's failures are told by its errno
  unlock();
  errno = saved;
  return rc;
}

// Opens the lock file (made if missing) and locks it, trying for a bounded
// time. Only the owner can open it: no other user can stall a commit.
int cache_file::lock() {
  if (lock_fd_ < 0) {
    int fd = openat(dir_fd_, lock_name_, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                    S_IRUSR | S_IWUSR);
    if (fd < 0) {
      diag_fail(errno, "%s%s: open", path_, kLockSuffix);
      return -1;
    }
    // The umask may have left the owner without access; nobody else gets any.
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 0777) != 0600)
      fchmod(fd, S_IRUSR | S_IWUSR);
    lock_fd_ = fd;
  }
  for (int tries = 1;; ++tries) {
    if (sys_.flock(lock_fd_, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      diag_fail(errno, "%s%s: flock", path_, kLockSuffix);
      break;
    }
    if (tries >= kLockTries) {
      diag_fail(0, "%s%s: flock: still held by another run after %d s", path_, kLockSuffix,
                kLockTries / 100);
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
// run left (an empty directory too). O_EXCL after the removal: never a
// symlink or a FIFO put there.
int cache_file::create_new() {
  if (unlinkat(dir_fd_, new_name_, 0) != 0 && errno != ENOENT &&
      (errno != EISDIR || unlinkat(dir_fd_, new_name_, AT_REMOVEDIR) != 0)) {
    diag_fail(errno, "%s%s: remove", path_, kNewSuffix);
    return -1;
  }
  int fd = sys_.openat(dir_fd_, new_name_, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       kCacheMode);
  if (fd < 0) {
    diag_fail(errno, "%s%s: create", path_, kNewSuffix);
    return -1;
  }
  if (fchmod(fd, kCacheMode) != 0) {  // the umask took bits away
    int saved = errno;
    diag_fail(saved, "%s%s: chmod", path_, kNewSuffix);
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
    diag_fail(errno, "%s%s: write", path_, kNewSuffix);
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
  over_bound_ = s.over_bound;
  if (s.over_bound)
    diag_fail_hint(EFBIG, "over the 16 MiB that the reader accepts", "%s%s: write", path_,
                   kNewSuffix);
  else if (s.error != 0)
    diag_fail(s.error, "%s%s: write", path_, kNewSuffix);
  else if (rc != 0)
    diag_fail(0, "%s%s: write: an entry the cache cannot hold", path_, kNewSuffix);
  if (rc == 0 && sys_.fsync(fd) != 0) {
    rc = -1;
    saved = errno;
    diag_fail(saved, "%s%s: fsync", path_, kNewSuffix);
  }
  if (close(fd) != 0 && rc == 0) {
    rc = -1;
    saved = errno;
    diag_fail(saved, "%s%s: close", path_, kNewSuffix);
  }
  errno = saved;
  return rc;
}

int cache_file::commit(int (*fill)(FILE *, void *), void *arg) {
  if (open_dir() != 0) {
    diag_fail(errno, "%s: open directory", path_);
    return -1;
  }
  if (lock() != 0) return -1;
  if (!may_replace()) {
    unlock();
    return kCacheSuperseded;
  }
  int fd = create_new();
  if (fd >= 0 && write_new(fd, fill, arg) == 0) {
    if (sys_.renameat(dir_fd_, new_name_, dir_fd_, name_) == 0) {
      // Makes the rename itself last through a power loss; the cache is
      // complete either way, so a failure here changes nothing.
      sys_.fsync(dir_fd_);
      unlock();
      return 0;
    }
    diag_fail(errno, "%s%s: rename", path_, kNewSuffix);
  }
  int saved = errno;
  unlinkat(dir_fd_, new_name_, 0);
  // A cached run's list over the bound is the list it read and one more:
  // the list it read stays. Whatever else failed leaves no cache.
  if (refresh_ || !over_bound_) unlinkat(dir_fd_, name_, 0);
  unlock();
  errno = saved;
  return -1;
}

int cache_file::discard() {
  if (open_dir() != 0 || lock() != 0) return -1;
  unlinkat(dir_fd_, new_name_, 0);  // a stray of a killed run
  int rc = 0;
  if (!may_replace())
    rc = kCacheSuperseded;
  else if (unlinkat(dir_fd_, name_, 0) != 0 && errno != ENOENT)
    rc = -1;
  unlock();
  return rc;
}
