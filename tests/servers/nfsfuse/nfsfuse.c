/* A small NFSv3 client as a FUSE file system, for the tests only: the test kernel has no
 * NFS client, so the tests' mount helper runs this on the mount point instead.
 *
 *   nfsfuse [-p PORT] HOST /export/dir MOUNTPOINT [FUSE options]
 *
 * HOST:/export/dir is mounted on MOUNTPOINT. The directory may lie below the export: the
 * longest leading part of the path that the server exports is mounted and the rest is
 * put in front of every path. PORT is the server's NFS port (the portmapper is asked
 * for it otherwise, and always for the MOUNT port). The server is reached before FUSE
 * goes to the background, so a missing export or directory makes the command fail.
 * libnfs's synchronous calls share one context, so FUSE runs single-threaded. */
#define _GNU_SOURCE /* st_atim, UTIME_NOW, struct timeval under -std=c11 */
#define FUSE_USE_VERSION 31
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <nfsc/libnfs.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>

static struct nfs_context *nfs;
static char prefix[4096]; /* the mounted directory below the export, "" or "/a/b" */

/* The server path of a FUSE path; FUSE paths always start with '/'. */
static const char *rpath(const char *path, char *buf, size_t size) {
  if (prefix[0] == '\0') return path;
  if (snprintf(buf, size, "%s%s", prefix, strcmp(path, "/") == 0 ? "" : path) >= (int)size) return NULL;
  return buf;
}
#define RPATH(var, path)                                 \
  char var##_buf[8192];                                  \
  const char *var = rpath(path, var##_buf, sizeof var##_buf); \
  if (var == NULL) return -ENAMETOOLONG

static void to_stat(const struct nfs_stat_64 *n, struct stat *st) {
  memset(st, 0, sizeof *st);
  st->st_ino = n->nfs_ino;
  st->st_mode = n->nfs_mode;
  st->st_nlink = n->nfs_nlink;
  st->st_uid = n->nfs_uid;
  st->st_gid = n->nfs_gid;
  st->st_size = n->nfs_size;
  /* As the kernel's NFS client does: the server's write size is the preferred I/O size
   * (NFSv3 has no block size; libnfs reports 4 KiB), so cp moves 1 MiB at a time. */
  st->st_blksize = (blksize_t)nfs_get_writemax(nfs);
  st->st_blocks = n->nfs_blocks;
  st->st_atim.tv_sec = n->nfs_atime;
  st->st_atim.tv_nsec = n->nfs_atime_nsec;
  st->st_mtim.tv_sec = n->nfs_mtime;
  st->st_mtim.tv_nsec = n->nfs_mtime_nsec;
  st->st_ctim.tv_sec = n->nfs_ctime;
  st->st_ctim.tv_nsec = n->nfs_ctime_nsec;
}

static void *op_init(struct fuse_conn_info *conn, struct fuse_config *cfg) {
  /* Files change on the server behind our back: cache no attributes or names. */
  cfg->attr_timeout = 0;
  cfg->entry_timeout = 0;
  cfg->negative_timeout = 0;
  conn->max_write = 1 << 20;
  conn->max_readahead = 1 << 20;
  return NULL;
}

static int op_getattr(const char *path, struct stat *st, struct fuse_file_info *fi) {
  (void)fi;
  RPATH(p, path);
  struct nfs_stat_64 n;
  int r = nfs_lstat64(nfs, p, &n); /* a link is shown as a link, as the kernel's client does */
  if (r == 0) to_stat(&n, st);
  return r;
}

static int op_readlink(const char *path, char *buf, size_t size) {
  RPATH(p, path);
  return nfs_readlink(nfs, p, buf, (int)size);
}

static int op_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t off,
                      struct fuse_file_info *fi, enum fuse_readdir_flags flags) {
  (void)off, (void)fi, (void)flags;
  RPATH(p, path);
  struct nfsdir *dir;
  int r = nfs_opendir(nfs, p, &dir);
  if (r != 0) return r;
  for (struct nfsdirent *e; (e = nfs_readdir(nfs, dir)) != NULL;) {
    struct stat st = {.st_ino = e->inode, .st_mode = e->mode};
    if (fill(buf, e->name, &st, 0, 0) != 0) break;
  }
  nfs_closedir(nfs, dir);
  return 0;
}

static int op_open(const char *path, struct fuse_file_info *fi) {
  RPATH(p, path);
  struct nfsfh *fh;
  int r = nfs_open(nfs, p, fi->flags & (O_ACCMODE | O_APPEND | O_TRUNC | O_SYNC), &fh);
  if (r == 0) fi->fh = (uint64_t)(uintptr_t)fh;
  return r;
}

static int op_create(const char *path, mode_t mode, struct fuse_file_info *fi) {
  RPATH(p, path);
  struct nfsfh *fh;
  int r = nfs_create(nfs, p, fi->flags & (O_EXCL | O_TRUNC | O_APPEND | O_SYNC), (int)(mode & 07777), &fh);
  if (r == 0) fi->fh = (uint64_t)(uintptr_t)fh;
  return r;
}

#define FH(fi) ((struct nfsfh *)(uintptr_t)(fi)->fh)

static int op_read(const char *path, char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
  (void)path;
  return nfs_pread(nfs, FH(fi), (uint64_t)off, size, buf);
}

static int op_write(const char *path, const char *buf, size_t size, off_t off,
                    struct fuse_file_info *fi) {
  (void)path;
  /* libnfs may write less than asked for; FUSE wants all of it or an error. */
  size_t done = 0;
  while (done < size) {
    int r = nfs_pwrite(nfs, FH(fi), (uint64_t)off + done, size - done, buf + done);
    if (r < 0) return r;
    if (r == 0) return -EIO;
    done += (size_t)r;
  }
  return (int)done;
}

static int op_truncate(const char *path, off_t size, struct fuse_file_info *fi) {
  if (fi != NULL) return nfs_ftruncate(nfs, FH(fi), (uint64_t)size);
  RPATH(p, path);
  return nfs_truncate(nfs, p, (uint64_t)size);
}

static int op_release(const char *path, struct fuse_file_info *fi) {
  (void)path;
  return nfs_close(nfs, FH(fi));
}

static int op_fsync(const char *path, int datasync, struct fuse_file_info *fi) {
  (void)path, (void)datasync;
  return nfs_fsync(nfs, FH(fi));
}

static int op_unlink(const char *path) {
  RPATH(p, path);
  return nfs_unlink(nfs, p);
}

static int op_mkdir(const char *path, mode_t mode) {
  RPATH(p, path);
  return nfs_mkdir2(nfs, p, (int)(mode & 07777));
}

static int op_rmdir(const char *path) {
  RPATH(p, path);
  return nfs_rmdir(nfs, p);
}

static int op_rename(const char *from, const char *to, unsigned int flags) {
  if (flags != 0) return -EINVAL; /* no RENAME_NOREPLACE / RENAME_EXCHANGE over NFSv3 */
  RPATH(f, from);
  RPATH(t, to);
  return nfs_rename(nfs, f, t);
}

static int op_chmod(const char *path, mode_t mode, struct fuse_file_info *fi) {
  (void)fi;
  RPATH(p, path);
  return nfs_chmod(nfs, p, (int)(mode & 07777));
}

static int op_utimens(const char *path, const struct timespec tv[2], struct fuse_file_info *fi) {
  (void)fi;
  RPATH(p, path);
  struct nfs_stat_64 n;
  int r = nfs_stat64(nfs, p, &n);
  if (r != 0) return r;
  struct timeval now, t[2];
  gettimeofday(&now, NULL);
  const uint64_t old[2] = {n.nfs_atime, n.nfs_mtime};
  const uint64_t old_ns[2] = {n.nfs_atime_nsec, n.nfs_mtime_nsec};
  for (int i = 0; i < 2; i++) {
    if (tv[i].tv_nsec == UTIME_NOW) t[i] = now;
    else if (tv[i].tv_nsec == UTIME_OMIT) t[i] = (struct timeval){(time_t)old[i], (suseconds_t)(old_ns[i] / 1000)};
    else t[i] = (struct timeval){tv[i].tv_sec, tv[i].tv_nsec / 1000};
  }
  return nfs_utimes(nfs, p, t);
}

static int op_statfs(const char *path, struct statvfs *sv) {
  RPATH(p, path);
  return nfs_statvfs(nfs, p, sv);
}

static const struct fuse_operations ops = {
    .init = op_init, .getattr = op_getattr, .readlink = op_readlink, .readdir = op_readdir, .open = op_open,
    .create = op_create, .read = op_read, .write = op_write, .truncate = op_truncate,
    .release = op_release, .fsync = op_fsync, .unlink = op_unlink, .mkdir = op_mkdir,
    .rmdir = op_rmdir, .rename = op_rename, .chmod = op_chmod, .utimens = op_utimens,
    .statfs = op_statfs,
};

static struct nfs_context *new_context(const char *port) {
  struct nfs_context *c = nfs_init_context();
  if (c == NULL) return NULL;
  nfs_set_dircache(c, 0);
  if (port != NULL) {
    /* libnfs 4 sets the NFS port only through its URL options; the URL's own host and
     * path are not used. */
    char url[64];
    snprintf(url, sizeof url, "nfs://127.0.0.1/?nfsport=%s", port);
    struct nfs_url *u = nfs_parse_url_incomplete(c, url);
    if (u == NULL) {
      nfs_destroy_context(c);
      return NULL;
    }
    nfs_destroy_url(u);
  }
  return c;
}

/* Mounts the longest exported leading part of dir and sets prefix to the rest. */
static int mount_dir(const char *host, const char *dir, const char *port) {
  char exp[4096];
  if (dir[0] != '/' || snprintf(exp, sizeof exp, "%s", dir) >= (int)sizeof exp) return -EINVAL;
  size_t len = strlen(exp);
  while (len > 1 && exp[len - 1] == '/') exp[--len] = '\0';
  for (;;) {
    if ((nfs = new_context(port)) == NULL) return -ENOMEM;
    int r = nfs_mount(nfs, host, exp);
    if (r == 0) {
      snprintf(prefix, sizeof prefix, "%s", dir + len);
      size_t n = strlen(prefix);
      while (n > 0 && prefix[n - 1] == '/') prefix[--n] = '\0';
      return 0;
    }
    fprintf(stderr, "nfsfuse: mount %s:%s: %s\n", host, exp, nfs_get_error(nfs));
    nfs_destroy_context(nfs);
    nfs = NULL;
    char *slash = strrchr(exp, '/');
    if (slash == NULL || len <= 1) return r;
    len = slash == exp ? 1 : (size_t)(slash - exp);
    exp[len] = '\0';
  }
}

int main(int argc, char **argv) {
  const char *port = NULL;
  if (argc > 2 && strcmp(argv[1], "-p") == 0) {
    port = argv[2];
    if (strspn(port, "0123456789") != strlen(port) || strlen(port) == 0 || strlen(port) > 5) {
      fprintf(stderr, "nfsfuse: bad port: %s\n", port);
      return 2;
    }
    argv += 2, argc -= 2;
  }
  if (argc < 4) {
    fprintf(stderr, "usage: nfsfuse [-p PORT] HOST /export/dir MOUNTPOINT [FUSE options]\n");
    return 2;
  }
  if (mount_dir(argv[1], argv[2], port) != 0) return 1;
  struct nfs_stat_64 st;
  if (nfs_stat64(nfs, prefix[0] ? prefix : "/", &st) != 0 || !S_ISDIR(st.nfs_mode)) {
    fprintf(stderr, "nfsfuse: %s:%s is not a directory on the server\n", argv[1], argv[2]);
    return 1;
  }
  /* FUSE gets argv[0], the mount point and the caller's options, plus single-threaded
   * operation and a source name that shows where the mount comes from. */
  char fsname[8192];
  if (snprintf(fsname, sizeof fsname, "-ofsname=%s:%s,subtype=nfsfuse", argv[1], argv[2]) >= (int)sizeof fsname)
    return 2;
  char *end = strrchr(fsname, ',');
  for (char *c = fsname + 9; c < end; c++)
    if (*c == ',' || *c == '\\') *c = '_'; /* they would split or escape the options */
  char **fargv = calloc((size_t)argc + 2, sizeof *fargv);
  if (fargv == NULL) return 1;
  int fargc = 0;
  fargv[fargc++] = argv[0];
  fargv[fargc++] = "-s";
  fargv[fargc++] = fsname;
  for (int i = 3; i < argc; i++) fargv[fargc++] = argv[i];
  int r = fuse_main(fargc, fargv, &ops, NULL);
  nfs_destroy_context(nfs);
  free(fargv);
  return r;
}
