#define _POSIX_C_SOURCE 200809L

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
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

int replacementBegin(Replacement *r, const char *livePath, mode_t mode) {
  r->file = NULL;
  r->livePath = livePath;
  removeLeftovers(livePath);
  const int n = snprintf(r->tempPath, sizeof r->tempPath, "%s" TEMP_SUFFIX, livePath);
  if (n < 0 || (size_t)n >= sizeof r->tempPath) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const int fd = mkstemp(r->tempPath);
  if (fd < 0) return -1;
  /* Held until the new file has its final name (see removeLeftovers). */
  struct flock lock = {.l_type = F_WRLCK, .l_whence = SEEK_SET};
  fcntl(fd, F_SETLK, &lock);
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
  if (splitPath(path, dir) == NULL) return;
  const int fd = open(dir, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

int replacementCommit(Replacement *r) {
  /* Renamed before it is closed: closing drops the lock that keeps another vtl-net from
   * taking it for a leftover. */
  const int ok = fflush(r->file) == 0 && !ferror(r->file) && fsync(fileno(r->file)) == 0 &&
                 rename(r->tempPath, r->livePath) == 0;
  const int saved = errno;
  fclose(r->file);
  r->file = NULL;
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
