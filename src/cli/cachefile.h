// SPDX-License-Identifier: MIT
// The cache file's life cycle: read in place, replaced only whole.
//
// A new list goes to a file beside the cache ("<name>.new"), is flushed and
// fsync'ed, and is renamed over the cache, so a reader always finds the old
// or the new complete file. Committing (and removing) is serialised by an
// exclusive flock on a lock file beside the cache ("<name>.lock", mode 0600,
// so no other user can open it, let alone hold it), held only for that short
// step. A cached run never replaces a cache committed after it read its own;
// a refresh never replaces or removes a cache that another refresh committed
// (or removed) after it started, and replaces what cached runs rewrote
// meanwhile from an older list. The lock file counts the refreshes' changes.
//
// Only a directory that no one but this user and root can change holds the
// cache, and only regular files of this user or root with one link are its
// files: what another user could have put at their paths is refused, and
// nothing but such a file is ever replaced, removed or changed.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "diag/diag.h"

// The system calls of the commit step; tests replace single ones.
struct cachefile_sys {
  int (*openat)(int dirfd, const char *name, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void *buf, size_t count);
  int (*fsync)(int fd);
  int (*renameat)(int olddirfd, const char *oldname, int newdirfd, const char *newname);
  int (*flock)(int fd, int operation);
  void (*pause)();  // between two tries of a lock that another run holds
};

extern const cachefile_sys kCachefileSystem;

// How often the lock is tried before a commit gives up (with the system's
// pause of 10 ms, ten seconds, as -v says): a commit holds it for
// milliseconds, and a run that holds it must not stall others for ever.
inline constexpr int kLockTries = 1000;

enum class cache_open { ok, absent, failed };

// Returned by commit() when a newer cache was left in place.
inline constexpr int kCacheSuperseded = 1;

class cache_file {
 public:
  // path: the cache file; its directory is the part before the last "/".
  explicit cache_file(const char *path, const cachefile_sys &sys = kCachefileSystem);
  ~cache_file();
  cache_file(const cache_file &) = delete;
  cache_file &operator=(const cache_file &) = delete;

  // Cached run: opens the cache for reading, without following a symlink and
  // without opening anything but a regular file. ok sets *fd (owned by this
  // object, open until it is destroyed or prepare() is called); failed
  // leaves errno, and the cause recorded in why where the directory or the
  // file is refused.
  cache_open open_read(int *fd, cause *why);

  // Refresh run, before the scan: opens the directory, notes what is at the
  // path and how many refreshes changed it, and makes sure a new file can be
  // created there. 0, or -1 with errno and, where a path or the lock file is
  // refused or fails, the cause recorded in why.
  int prepare(cause *why);

  // Replaces the cache by what fill writes (0 from fill, else failure).
  // 0 replaced; kCacheSuperseded: another run committed since this one
  // noted the path, and its cache stays; -1 failed: a refresh's noted cache
  // is removed, so no stale list outlives a failed scan's write, and a
  // cached run's stays as it read it. A failure records its cause (file,
  // step, errno) in why.
  int commit(int (*fill)(FILE *stream, void *arg), void *arg, cause *why);

  // Removes the cache this run noted (and a stray new file), unless another
  // run committed since. 0 removed or nothing to remove, kCacheSuperseded,
  // -1 failed.
  int discard();

 private:
  int open_dir();
  // Records a failed step on the file of suffix: "<path><suffix>: <step>".
  bool io_failed(const char *suffix, const char *step, int err) const;
  int refuse_untrusted(const struct stat &st, const char *suffix) const;
  int check_at(const char *name, const char *suffix) const;
  int open_file(const char *name, const char *suffix, int flags, mode_t mode);
  int lock();
  void unlock();
  bool unchanged() const;
  bool may_replace();
  uint64_t refreshes() const;
  int note_path();
  int create_new();
  int write_new(int fd, int (*fill)(FILE *, void *), void *arg);

  const cachefile_sys &sys_;
  cause *why_ = nullptr;  // the running call's, where its steps record
  cause discarded_;
  const char *path_;
  char dir_[PATH_MAX];
  char name_[NAME_MAX + 1];
  char new_name_[NAME_MAX + 1];
  char lock_name_[NAME_MAX + 1];
  bool names_ok_ = false;
  int dir_fd_ = -1;
  int lock_fd_ = -1;  // flock held while open
  bool noted_ = false;
  bool refresh_ = false;  // noted by prepare(), else by open_read()
  bool refreshes_known_ = false;
  uint64_t refreshes_ = 0;  // the lock file's count when this refresh noted the path
  int seen_fd_ = -1;  // pins the inode that was at the path (the cache being read); -1: none was
};
