/* vtl-net: reads and edits the board's network settings and answers status questions
 * about eth0 and wlan0. Everything that reaches the board (files, commands, waits) goes
 * through the paths and the system below, so tests and the fuzz target run the parsing
 * and editing on files in a temporary directory with recorded commands. */
#ifndef VTL_NET_NET_TOOL_H
#define VTL_NET_NET_TOOL_H

#include <stdio.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VTL_NET_VERSION "0.2.11"

/* The files the tool reads and replaces. */
typedef struct NetPaths {
  const char *dhcpConf;        /* live DHCP client configuration */
  const char *dhcpConfDefault; /* its factory default */
  const char *wpaConf;         /* live Wi-Fi supplicant configuration */
  const char *wpaConfDefault;  /* its factory default */
  const char *resolvConf;      /* resolver file, source of the DNS address */
} NetPaths;

/* How the tool reaches the board's tools. */
typedef struct NetSystem {
  void *context;
  /* Runs a shell command line and returns its exit status (non-zero when it could not
   * run or was killed). */
  int (*run)(void *context, const char *command);
  /* Runs a shell command line with its standard output readable from the returned
   * stream; NULL with errno set when it cannot be started. */
  FILE *(*openPipe)(void *context, const char *command);
  void (*closePipe)(void *context, FILE *pipe);
  void (*sleepMs)(void *context, unsigned milliseconds);
} NetSystem;

/* The calls through which the tool writes its files: the C library's on the board. A
 * test may put its own in, to make one fail or to stop at one as a power cut would. */
typedef struct NetFileCalls {
  int (*open)(const char *path, int flags, ...);
  int (*makeTemporary)(char *pattern); /* as mkstemp */
  int (*fchmod)(int fd, mode_t mode);
  ssize_t (*write)(int fd, const void *bytes, size_t size);
  int (*fsync)(int fd);
  int (*rename)(const char *from, const char *to);
  int (*close)(int fd);
} NetFileCalls;

extern const NetFileCalls kLibcFileCalls;

typedef struct NetTool {
  NetPaths paths;
  NetSystem system;
  NetFileCalls files;
  FILE *out; /* answers and messages */
  FILE *err; /* perror-style failures */
} NetTool;

/* The board's own paths. */
extern const NetPaths kBoardNetPaths;

/* Runs one command line (argv[0] is the program's name) and returns the exit status. */
int netToolMain(const NetTool *tool, int argc, char **argv);

/* Mask and prefix conversions of the netmask setting. netMaskToPrefix returns -1 for a
 * text that is not four numbers 0 to 255 separated by dots. netPrefixToMask writes the
 * dotted mask into mask (at least 16 bytes). */
int netMaskToPrefix(const char *mask);
void netPrefixToMask(long prefix, char *mask);

#ifdef __cplusplus
}
#endif

#endif
