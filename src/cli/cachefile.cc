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
struct sink {
  int fd;
  const cachefile_sys *sys;
};

ssize_t sink_write(void *cookie, const char *buf, size_t size) {
  const auto *s = static_cast<const sink *>(cookie);
  std::span<const char> rest(buf, size);
  while (!rest.empty()) {
    ssize_t n = s->sys->write(s->fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return -1;
    }
    rest = rest.subspan(static_cast<std::size_t>(n));
  }
  return static_cast<ssize_t>(size);
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
       len + sizeof kNewSuffix <= sizeof new_name_;
  if (ok) memcpy(std::span<char>(new_name_).subspan(len).data(), kNewSuffix, sizeof kNewSuffix);
  names_ok_ = ok;
}

cache_file::~cache_file() {
  if (seen_fd_ >= 0) close(seen_fd_);
  if (dir_fd_ >= 0) close(dir_fd_);  // releases the lock as well
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

int cache_file::prepare() {
  if (open_dir() != 0) return -1;
  // Note what is there, pinned by a descriptor that opens nothing (O_PATH),
  // whatever it is.
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

  // A new file must be possible now, not only after the scan. An unnamed
  // one leaves nothing behind; where the file system has none, the named
  // one is made and removed under the lock.
  int probe = sys_.openat(dir_fd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, kCacheMode);
  if (probe >= 0) {
    close(probe);
    return 0;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
  if (lock() != 0) return -1;
  probe = create_new();
  int saved = errno;
  if (probe >= 0) {
    close(probe);
    unlinkat(dir_fd_, new_name_, 0);
  }
  unlock();
  errno = saved;
  return probe >= 0 ? 0 : -1;
}

int cache_file::lock() {
  for (int tries = 1;; ++tries) {
    if (sys_.flock(dir_fd_, LOCK_EX | LOCK_NB) == 0) {
      locked_ = true;
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || tries >= kLockTries) return -1;
    sys_.pause();
  }
}

void cache_file::unlock() {
  if (!locked_) return;
  flock(dir_fd_, LOCK_UN);
  locked_ = false;
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
// run left. O_EXCL after the removal: never a symlink or a FIFO put there.
int cache_file::create_new() {
  if (unlinkat(dir_fd_, new_name_, 0) != 0 && errno != ENOENT) return -1;
  int fd = sys_.openat(dir_fd_, new_name_, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       kCacheMode);
  if (fd < 0) return -1;
  if (fchmod(fd, kCacheMode) != 0) {  // the umask took bits away
    int saved = errno;
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
    close(fd);
    return -1;
  }
  // The stream's buffer on the stack: the commit allocates only the stream.
  char buf[4096];
  setvbuf(f, buf, _IOFBF, sizeof buf);
  int rc = fill(f, arg) == 0 ? 0 : -1;
  if (fflush(f) != 0 || ferror(f) != 0) rc = -1;
  int saved = errno;
  fclose(f);
  if (rc == 0 && sys_.fsync(fd) != 0) {
    rc = -1;
    saved = errno;
  }
  if (close(fd) != 0 && rc == 0) {
    rc = -1;
    saved = errno;
  }
  errno = saved;
  return rc;
}

int cache_file::commit(int (*fill)(FILE *, void *), void *arg) {
  if (open_dir() != 0 || lock() != 0) return -1;
  if (!unchanged()) {
    unlock();
    return kCacheSuperseded;
  }
  int fd = create_new();
  if (fd >= 0 && write_new(fd, fill, arg) == 0 &&
      sys_.renameat(dir_fd_, new_name_, dir_fd_, name_) == 0) {
    // Makes the rename itself last through a power loss; the cache is
    // complete either way, so a failure here changes nothing.
    sys_.fsync(dir_fd_);
    unlock();
    return 0;
  }
  int saved = errno;
  unlinkat(dir_fd_, new_name_, 0);
  if (seen_fd_ >= 0) unlinkat(dir_fd_, name_, 0);
  unlock();
  errno = saved;
  return -1;
}

int cache_file::discard() {
  if (open_dir() != 0 || lock() != 0) return -1;
  unlinkat(dir_fd_, new_name_, 0);  // a stray of a killed run
  int rc = 0;
  if (!unchanged())
    rc = kCacheSuperseded;
  else if (seen_fd_ >= 0 && unlinkat(dir_fd_, name_, 0) != 0)
    rc = -1;
  unlock();
  return rc;
}
