/* What the parts of vtl-net share. */
#ifndef VTL_NET_NET_INTERNAL_H
#define VTL_NET_NET_INTERNAL_H

#include <limits.h>
#include <stdio.h>
#include <sys/types.h>

#include "net_tool.h"

/* Lines of files and command output are read in pieces of at most 127 characters, as
 * the board's scripts and the daemon expect; a piece is what the tool calls a line. */
#define NET_LINE_PIECE 128

#ifndef PATH_MAX
#define PATH_MAX 4096
#endif

/* Prints message, ": ", the text of errno and a line end on the error stream. */
void netPerror(const NetTool *tool, const char *message);

/* A configuration file is never rewritten in place: the new text goes to a temporary
 * file beside the live one, which is flushed to the disk and renamed over it, so a power
 * cut leaves either the old file or the new one, never a torn one. Every step goes
 * through the tool's file calls. */
typedef struct Replacement {
  const NetFileCalls *calls;
  int fd;
  int failure; /* errno of the first write that failed, 0 while all went well */
  const char *livePath;
  char tempPath[PATH_MAX];
} Replacement;

/* Opens the temporary file; -1 with errno set on failure. */
int replacementBegin(Replacement *r, const NetTool *tool, const char *livePath, mode_t mode);
/* Appends to it; a failure is kept for replacementCommit. */
void replacementWrite(Replacement *r, const char *bytes, size_t size);
/* Appends a formatted text of at most two line pieces. */
void replacementPrint(Replacement *r, const char *format, ...);
/* Syncs it and renames it over the live file; -1 with errno set on failure (a write's
 * included), the live file then unchanged. */
int replacementCommit(Replacement *r);
/* Drops the temporary file, leaving the live file as it was. */
void replacementAbandon(Replacement *r);
/* Replaces livePath with a copy of sourcePath; -1 with errno set on failure. */
int replaceWithCopy(const NetTool *tool, const char *sourcePath, const char *livePath, mode_t mode);

#define NET_DHCP_CONF_MODE 0644
/* The supplicant file holds the Wi-Fi passphrase. */
#define NET_WPA_CONF_MODE 0600

/* dhcpcd.conf: the check before every action, and the settings. A file that cannot be
 * repaired is reported on the error stream only (the daemon reads the answers on the
 * output) and the action goes on: status questions need no configuration, and the
 * settings fail on their own when the file is unusable. The others return the exit
 * status and print their own messages. */
void dhcpCheckConfig(const NetTool *tool);
int dhcpGetConfig(const NetTool *tool, const char *interface, const char *param);
int dhcpSetConfig(const NetTool *tool, const char *interface, const char *param, const char *value);
/* Prints "Manual" or "Auto" for the interface's line holding key. */
int dhcpPrintType(const NetTool *tool, const char *interface, const char *key);

#endif
