#define _POSIX_C_SOURCE 200809L

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net_internal.h"

/* mkstemp puts six letters or digits in place of "XXXXXX". */
#define TEMP_SUFFIX ".XXXXXX"
#define TEMP_LETTERS 6

/* Writes the directory part of path into dir (PATH_MAX bytes) and returns the name part;
 * NULL when the directory does not fit. */
static const char *splitPath(const char *path, char dir[PATH_MAX]) {
  const char *slash = strrchr(path, '/');
  if (slash == NULL) {
    strcpy(dir, ".");
    return path;
  }
  const size_t len = slash == path ? 1 : (size_t)(slash - path);
  if (len >= PATH_MAX) return NULL;
  memcpy(dir, path, len);
  dir[len] = '\0';
  return slash + 1;
}

static int isLeftoverOf(const char *name, const char *base) {
  const size_t n = strlen(base);
  if (strncmp(name, base, n) != 0 || name[n] != '.' || strlen(name + n + 1) != TEMP_LETTERS) {
    return 0;
  }
  for (const char *p = name + n + 1; *p != '\0'; ++p) {
    if (!isalnum((unsigned char)*p)) return 0;
  }
  return 1;
}

/* A new file that a power cut kept from being renamed into place would stay beside the
 * live one for ever, and each cut adds one. Another vtl-net writing the same file holds
 * a lock on its new file until the rename: that one is left alone. */
static void removeLeftovers(const char *livePath) {
  char dir[PATH_MAX];
  const char *base = splitPath(livePath, dir);
  DIR *d = base != NULL ? opendir(dir) : NULL;
  if (d == NULL) return;
  const struct dirent *entry;
  while ((entry = readdir(d)) != NULL) {
    char path[PATH_MAX];
    if (!isLeftoverOf(entry->d_name, base) ||
        snprintf(path, sizeof path, "%s/%s", dir, entry->d_name) >= (int)sizeof path) {
      continue;
    }
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    struct flock lock = {.l_type = F_RDLCK, .l_whence = SEEK_SET};
    if (fcntl(fd, F_SETLK, &lock) == 0) unlink(path);
    close(fd);
  }
  closedir(d);
}

int replacementBegin(Replacement *r, const NetTool *tool, const char *livePath, mode_t mode) {
  r->calls = &tool->files;
  r->fd = -1;
  r->failure = 0;
  r->livePath = livePath;
  removeLeftovers(livePath);
  const int n = snprintf(r->tempPath, sizeof r->tempPath, "%s" TEMP_SUFFIX, livePath);
  if (n < 0 || (size_t)n >= sizeof r->tempPath) {
    errno = ENAMETOOLONG;
    return -1;
  }
  r->fd = r->calls->makeTemporary(r->tempPath);
  if (r->fd < 0) return -1;
  /* Held until the new file has its final name (see removeLeftovers). */
  struct flock lock = {.l_type = F_WRLCK, .l_whence = SEEK_SET};
  fcntl(r->fd, F_SETLK, &lock);
  if (r->calls->fchmod(r->fd, mode) != 0) {
    const int saved = errno;
    replacementAbandon(r);
    errno = saved;
    return -1;
  }
  return 0;
}

void replacementWrite(Replacement *r, const char *bytes, size_t size) {
  while (size > 0 && r->failure == 0) {
    const ssize_t n = r->calls->write(r->fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      r->failure = n < 0 ? errno : EIO;
      return;
    }
    bytes += n;
    size -= (size_t)n;
  }
}

void replacementPrint(Replacement *r, const char *format, ...) {
  char text[NET_LINE_PIECE * 2];
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0 || (size_t)n >= sizeof text) {
    if (r->failure == 0) r->failure = EOVERFLOW;
    return;
  }
  replacementWrite(r, text, (size_t)n);
}

/* The rename is only durable once the directory that holds the name is on the disk. */
static void syncDirectoryOf(const NetFileCalls *calls, const char *path) {
  char dir[PATH_MAX];
  if (splitPath(path, dir) == NULL) return;
  const int fd = calls->open(dir, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  calls->fsync(fd);
  calls->close(fd);
}

int replacementCommit(Replacement *r) {
  const NetFileCalls *calls = r->calls;
  /* Renamed before it is closed: closing drops the lock that keeps another vtl-net from
   * taking it for a leftover. */
  int failure = r->failure;
  if (failure == 0 && (calls->fsync(r->fd) != 0 || calls->rename(r->tempPath, r->livePath) != 0)) {
    failure = errno;
  }
  calls->close(r->fd);
  r->fd = -1;
  if (failure != 0) {
    unlink(r->tempPath);
    errno = failure;
    return -1;
  }
  syncDirectoryOf(calls, r->livePath);
  return 0;
}

void replacementAbandon(Replacement *r) {
  if (r->fd >= 0) r->calls->close(r->fd);
  r->fd = -1;
  unlink(r->tempPath);
}

int replaceWithCopy(const NetTool *tool, const char *sourcePath, const char *livePath,
                    mode_t mode) {
  FILE *source = fopen(sourcePath, "re");
  if (source == NULL) return -1;
  Replacement r;
  if (replacementBegin(&r, tool, livePath, mode) != 0) {
    const int saved = errno;
    fclose(source);
    errno = saved;
    return -1;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, source)) > 0) replacementWrite(&r, buffer, n);
  if (ferror(source) && r.failure == 0) r.failure = errno != 0 ? errno : EIO;
  fclose(source);
  return replacementCommit(&r);
}

const NetFileCalls kLibcFileCalls = {open, mkstemp, fchmod, write, fsync, rename, close};
