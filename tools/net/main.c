/* vtl-net on the board: the real shell, pipes and clock behind the tool's seams. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

#include "net_tool.h"

static int runCommand(void *context, const char *command) {
  (void)context;
  const int status = system(command);
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

static FILE *openPipe(void *context, const char *command) {
  (void)context;
  return popen(command, "re");
}

static void closePipe(void *context, FILE *pipe) {
  (void)context;
  pclose(pipe);
}

static void sleepMs(void *context, unsigned milliseconds) {
  (void)context;
  struct timespec left = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

int main(int argc, char **argv) {
  const NetTool tool = {kBoardNetPaths, {NULL, runCommand, openPipe, closePipe, sleepMs},
                        kLibcFileCalls, stdout, stderr};
  const int status = netToolMain(&tool, argc, argv);
  fflush(stdout);
  return status;
}
