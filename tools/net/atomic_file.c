#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net_internal.h"

int replacementBegin(Replacement *r, const char *livePath, mode_t mode) {
  r->file = NULL;
  r->livePath = livePath;
  const int n = snprintf(r->tempPath, sizeof r->tempPath, "%s.XXXXXX", livePath);
  if (n < 0 || (size_t)n >= sizeof r->tempPath) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const int fd = mkstemp(r->tempPath);
  if (fd < 0) return -1;
  if (fchmod(fd, mode) != 0 || (r->file = fdopen(fd, "w")) == NULL) {
    const int saved = errno;
    close(fd);
    unlink(r->tempPath);
    errno = saved;
    return -1;
  }
  return 0;
}

/* The rename is only durable once the directory that holds the name is on the disk. */
static void syncDirectoryOf(const char *path) {
  char dir[PATH_MAX];
  const char *slash = strrchr(path, '/');
  if (slash == NULL) {
    strcpy(dir, ".");
  } else if (slash == path) {
    strcpy(dir, "/");
  } else {
    const size_t len = (size_t)(slash - path);
    if (len >= sizeof dir) return;
    memcpy(dir, path, len);
    dir[len] = '\0';
  }
  const int fd = open(dir, O_RDONLY);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

int replacementCommit(Replacement *r) {
  int ok = fflush(r->file) == 0 && !ferror(r->file) && fsync(fileno(r->file)) == 0;
  int saved = errno;
  if (fclose(r->file) != 0 && ok) {
    ok = 0;
    saved = errno;
  }
  r->file = NULL;
  if (ok && rename(r->tempPath, r->livePath) != 0) {
    ok = 0;
    saved = errno;
  }
  if (!ok) {
    unlink(r->tempPath);
    errno = saved;
    return -1;
  }
  syncDirectoryOf(r->livePath);
  return 0;
}

void replacementAbandon(Replacement *r) {
  if (r->file != NULL) fclose(r->file);
  r->file = NULL;
  unlink(r->tempPath);
}

int replaceWithCopy(const char *sourcePath, const char *livePath, mode_t mode) {
  FILE *source = fopen(sourcePath, "r");
  if (source == NULL) return -1;
  Replacement r;
  if (replacementBegin(&r, livePath, mode) != 0) {
    const int saved = errno;
    fclose(source);
    errno = saved;
    return -1;
  }
  char buffer[4096];
  size_t n;
  int ok = 1;
  while ((n = fread(buffer, 1, sizeof buffer, source)) > 0) {
    if (fwrite(buffer, 1, n, r.file) != n) {
      ok = 0;
      break;
    }
  }
  if (ferror(source)) ok = 0;
  const int saved = errno;
  fclose(source);
  if (!ok) {
    replacementAbandon(&r);
    errno = saved != 0 ? saved : EIO;
    return -1;
  }
  return replacementCommit(&r);
}
