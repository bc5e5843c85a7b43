#define _POSIX_C_SOURCE 200809L

#include "net_tool.h"

#include <errno.h>
#include <stdarg.h>
#include <string.h>

#include "net_internal.h"

const NetPaths kBoardNetPaths = {
    "/config/dhcpcd.conf",
    "/opt/vtl/sys/dhcpcd.conf",
    "/config/wpa_supplicant.conf",
    "/opt/vtl/sys/wpa_supplicant.conf",
    "/tmp/resolv.conf",
};

/* A host on the public internet that answers pings and needs no name lookup. */
#define INTERNET_HOST "8.8.8.8"
#define WPA_CONTROL_DIR "/tmp/wpa_supplicant"
#define WIFI_JOIN_ATTEMPTS 30
#define SSID_MAX_BYTES 32
#define PASSPHRASE_MIN 8
#define PASSPHRASE_MAX 63
#define PSK_HEX_DIGITS 64

/* Every command line the tool builds fits here; the interfaces and gateways that go into
 * them are checked first, so nothing is ever cut short. */
#define COMMAND_SIZE 256

void netPerror(const NetTool *tool, const char *message) {
  fprintf(tool->err, "%s: %s\n", message, strerror(errno));
}

/* Commands run after what the tool printed so far has gone out, so that their own output
 * follows it. */
static int netRun(const NetTool *tool, const char *command) {
  fflush(tool->out);
  return tool->system.run(tool->system.context, command);
}

static FILE *netOpenPipe(const NetTool *tool, const char *command) {
  fflush(tool->out);
  return tool->system.openPipe(tool->system.context, command);
}

static void closePipe(const NetTool *tool, FILE *pipe) {
  tool->system.closePipe(tool->system.context, pipe);
}

static void sleepMs(const NetTool *tool, unsigned ms) {
  tool->system.sleepMs(tool->system.context, ms);
}

/* Only the board's two interfaces: the name goes into shell command lines. */
static int isInterface(const char *name) {
  return strcmp(name, "eth0") == 0 || strcmp(name, "wlan0") == 0;
}

/* Fills a command line; 0 when it would not fit, so that nothing is ever run cut short. */
static int command(char *buffer, const char *format, ...) {
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(buffer, COMMAND_SIZE, format, args);
  va_end(args);
  return n >= 0 && n < COMMAND_SIZE;
}

/* Reads a command's output up to the first line holding pattern; 1 when found, 0 when
 * not, -1 when the pipe could not be started. */
static int firstLineWith(const NetTool *tool, const char *commandLine, const char *pattern,
                         char line[NET_LINE_PIECE]) {
  FILE *pipe = netOpenPipe(tool, commandLine);
  if (pipe == NULL) {
    netPerror(tool, "Error opening process");
    return -1;
  }
  int found = 0;
  while (!found && fgets(line, NET_LINE_PIECE, pipe) != NULL) {
    found = strstr(line, pattern) != NULL;
  }
  closePipe(tool, pipe);
  return found;
}

static int isBlank(char c) { return c == ' ' || c == '\t'; }

/* The n-th (from 0) blank-separated word of line, without its line end. */
static int wordOf(const char *line, int n, char word[NET_LINE_PIECE]) {
  const char *p = line;
  for (int i = 0;; ++i) {
    while (isBlank(*p)) ++p;
    if (*p == '\0' || *p == '\n') return 0;
    size_t len = 0;
    while (p[len] != '\0' && p[len] != '\n' && !isBlank(p[len])) ++len;
    if (i == n) {
      memcpy(word, p, len);
      word[len] = '\0';
      return 1;
    }
    p += len;
  }
}

/* A gateway taken from the routing table goes into command lines: it must look like an
 * address, nothing a shell would read as more. */
static int isAddressWord(const char *word) {
  if (word[0] == '\0') return 0;
  for (const char *p = word; *p != '\0'; ++p) {
    const int ok = (*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f') ||
                   (*p >= 'A' && *p <= 'F') || *p == '.' || *p == ':';
    if (!ok) return 0;
  }
  return 1;
}

/* The gateway of the interface's default route: 1 found, 0 none, -1 pipe failure. */
static int routeGateway(const NetTool *tool, const char *interface, char gateway[NET_LINE_PIECE]) {
  char commandLine[COMMAND_SIZE];
  char line[NET_LINE_PIECE];
  command(commandLine, "route -n | grep %s", interface);
  const int found = firstLineWith(tool, commandLine, "UG", line);
  if (found <= 0) return found;
  return wordOf(line, 1, gateway);
}

static int internetCheck(const NetTool *tool, const char *interface) {
  char commandLine[COMMAND_SIZE];
  command(commandLine, "timeout 1 ping -I %s -q -c 1 %s > /dev/null", interface, INTERNET_HOST);
  return netRun(tool, commandLine) == 0 ? 0 : 1;
}

/* Connected: a default route whose gateway is there. The internet answering proves it at
 * once; otherwise the gateway must answer a ping and appear in the ARP table. */
static int connectedCheck(const NetTool *tool, const char *interface) {
  char gateway[NET_LINE_PIECE];
  if (routeGateway(tool, interface, gateway) != 1 || !isAddressWord(gateway)) return 1;
  if (internetCheck(tool, interface) == 0) return 0;
  char commandLine[COMMAND_SIZE];
  if (!command(commandLine, "timeout 1 ping -I %s -q -c 1 %s > /dev/null", interface, gateway)) {
    return 1;
  }
  if (netRun(tool, commandLine) != 0) return 1;
  if (!command(commandLine, "arp | grep %s | grep %s > /dev/null", interface, gateway)) return 1;
  return netRun(tool, commandLine) == 0 ? 0 : 1;
}

static int printAddress(const NetTool *tool, const char *interface) {
  char commandLine[COMMAND_SIZE];
  char line[NET_LINE_PIECE];
  command(commandLine, "ifconfig %s", interface);
  if (firstLineWith(tool, commandLine, "inet addr:", line) != 1) return 1;
  const char *start = strchr(line, ':') + 1;
  size_t len = 0;
  while (start[len] != '\0' && start[len] != '\n' && !isBlank(start[len])) ++len;
  fwrite(start, 1, len, tool->out);
  return 0;
}

static int printNetmask(const NetTool *tool, const char *interface) {
  char commandLine[COMMAND_SIZE];
  char line[NET_LINE_PIECE];
  command(commandLine, "ifconfig %s", interface);
  if (firstLineWith(tool, commandLine, "Mask:", line) != 1) return 1;
  const char *start = strchr(strchr(line, 'M'), ':') + 1;
  fwrite(start, 1, strcspn(start, "\n"), tool->out);
  return 0;
}

static int printGateway(const NetTool *tool, const char *interface) {
  char gateway[NET_LINE_PIECE];
  if (routeGateway(tool, interface, gateway) != 1) return 1;
  fputs(gateway, tool->out);
  return 0;
}

static int printDnsAddress(const NetTool *tool) {
  FILE *file = fopen(tool->paths.resolvConf, "re");
  if (file == NULL) {
    netPerror(tool, "Error opening file");
    return 1;
  }
  char line[NET_LINE_PIECE];
  int found = 0;
  while (!found && fgets(line, sizeof line, file) != NULL) {
    found = strstr(line, "nameserver") != NULL;
  }
  fclose(file);
  if (!found) {
    fputs("Pattern not found in file", tool->out);
    return 1;
  }
  const char *blank = strpbrk(line, " \t");
  if (blank != NULL) fwrite(blank + 1, 1, strcspn(blank + 1, "\n"), tool->out);
  return 0;
}

static int getStatus(const NetTool *tool, int argc, char **argv) {
  if (argc < 4) return 1;
  const char *interface = argv[2];
  const char *param = argv[3];
  if (!isInterface(interface)) {
    fprintf(tool->out, "Error: invalid interface '%s'\n", interface);
    return 1;
  }
  if (strcmp(param, "connected") == 0) return connectedCheck(tool, interface);
  if (strcmp(param, "internet") == 0) return internetCheck(tool, interface);
  if (strcmp(param, "type") == 0) return dhcpPrintType(tool, interface, "ip_address");
  if (strcmp(param, "dns-type") == 0) return dhcpPrintType(tool, interface, "domain_name_servers");
  if (strcmp(param, "address") == 0) return printAddress(tool, interface);
  if (strcmp(param, "netmask") == 0) return printNetmask(tool, interface);
  if (strcmp(param, "gateway") == 0) return printGateway(tool, interface);
  if (strcmp(param, "dns-addr") == 0) return printDnsAddress(tool);
  fprintf(tool->out, "Error: invalid status param '%s'\n", param);
  return 1;
}

static int reset(const NetTool *tool, int argc, char **argv) {
  if (argc < 3) return 1;
  const char *interface = argv[2];
  if (!isInterface(interface)) {
    fprintf(tool->out, "Error: invalid interface '%s'\n", interface);
    return 1;
  }
  char commandLine[COMMAND_SIZE];
  command(commandLine, "ifconfig %s down", interface);
  netRun(tool, commandLine);
  /* The driver needs a moment between down and up, and the link a while to come back. */
  sleepMs(tool, 20);
  command(commandLine, "ifconfig %s up", interface);
  netRun(tool, commandLine);
  sleepMs(tool, 2000);
  return 0;
}

/* The network that wlan0 is associated with: the text between the first two double
 * quotes of iwconfig's first line. 1 found, 0 none, -1 pipe failure. */
static int readEssid(const NetTool *tool, char essid[NET_LINE_PIECE]) {
  FILE *pipe = netOpenPipe(tool, "iwconfig wlan0");
  if (pipe == NULL) {
    netPerror(tool, "Error opening iwconfig");
    return -1;
  }
  char line[NET_LINE_PIECE];
  const int got = fgets(line, sizeof line, pipe) != NULL;
  closePipe(tool, pipe);
  if (!got) return 0;
  const char *open = strchr(line, '"');
  const char *close = open != NULL ? strchr(open + 1, '"') : NULL;
  if (close == NULL || close == open + 1) return 0;
  memcpy(essid, open + 1, (size_t)(close - open - 1));
  essid[close - open - 1] = '\0';
  return 1;
}

static int getWifi(const NetTool *tool) {
  char essid[NET_LINE_PIECE];
  if (readEssid(tool, essid) != 1) return 1;
  fputs(essid, tool->out);
  return 0;
}

/* Whether iwconfig names ssid as wlan0's network. The name is looked for whole, quotes
 * and all, in everything iwconfig prints: a name may hold a double quote or a line end,
 * which the first quoted text of the first line would cut short. */
static int associatedWith(const NetTool *tool, const char *ssid) {
  FILE *pipe = netOpenPipe(tool, "iwconfig wlan0");
  if (pipe == NULL) {
    netPerror(tool, "Error opening iwconfig");
    return 0;
  }
  char output[1024];
  const size_t n = fread(output, 1, sizeof output - 1, pipe);
  closePipe(tool, pipe);
  output[n] = '\0';
  char wanted[8 + SSID_MAX_BYTES + 2];
  snprintf(wanted, sizeof wanted, "ESSID:\"%s\"", ssid);
  return strstr(output, wanted) != NULL;
}

static int wifiJoined(const NetTool *tool, const char *ssid) {
  return associatedWith(tool, ssid) && connectedCheck(tool, "wlan0") == 0;
}

static int isPrintableAscii(const char *text) {
  for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; ++p) {
    if (*p < 0x20 || *p > 0x7E) return 0;
  }
  return 1;
}

/* A network name written between quotes: printable ASCII without quotes or backslashes,
 * which any reader of the file takes as it stands. */
static int isQuotable(const char *text) {
  return isPrintableAscii(text) && strpbrk(text, "\"\\") == NULL;
}

static int isHexText(const char *text) {
  for (const char *p = text; *p != '\0'; ++p) {
    const int hex =
        (*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f') || (*p >= 'A' && *p <= 'F');
    if (!hex) return 0;
  }
  return 1;
}

/* A WPA passphrase is 8 to 63 printable ASCII characters, quotes and backslashes
 * included: the supplicant reads a quoted value up to the last quote of its line, without
 * escapes. 64 hex digits are the key itself, written without quotes. */
static int isValidPassphrase(const char *psk) {
  const size_t len = strlen(psk);
  if (len == PSK_HEX_DIGITS) return isHexText(psk);
  return len >= PASSPHRASE_MIN && len <= PASSPHRASE_MAX && isPrintableAscii(psk);
}

/* Writes the supplicant configuration for one network. Any other network name (a quote,
 * a backslash, a line end, UTF-8) goes in wpa_supplicant's hex form, so every real name
 * works and none can add a line. */
static int writeWifiConfig(const NetTool *tool, const char *ssid, const char *psk) {
  Replacement r;
  if (replacementBegin(&r, tool, tool->paths.wpaConf, NET_WPA_CONF_MODE) != 0) {
    netPerror(tool, "Error opening file");
    return 1;
  }
  replacementPrint(&r, "ctrl_interface=%s\nupdate_config=0\nnetwork={\n", WPA_CONTROL_DIR);
  if (isQuotable(ssid)) {
    replacementPrint(&r, "    ssid=\"%s\"\n", ssid);
  } else {
    replacementPrint(&r, "    ssid=");
    for (const unsigned char *p = (const unsigned char *)ssid; *p != '\0'; ++p) {
      replacementPrint(&r, "%02x", *p);
    }
    replacementPrint(&r, "\n");
  }
  if (psk == NULL) {
    replacementPrint(&r, "    key_mgmt=NONE\n");
  } else if (strlen(psk) == PSK_HEX_DIGITS) {
    replacementPrint(&r, "    psk=%s\n", psk);
  } else {
    replacementPrint(&r, "    psk=\"%s\"\n", psk);
  }
  replacementPrint(&r, "}\n");
  if (replacementCommit(&r) != 0) {
    netPerror(tool, "Error writing to file");
    return 1;
  }
  return 0;
}

static void usage(const NetTool *tool) {
  fputs("Usage: vtl-net <action> [param1] [param2] [param3]...\n", tool->out);
}

static int setWifi(const NetTool *tool, int argc, char **argv) {
  if (argc < 3) {
    usage(tool);
    return 1;
  }
  const char *ssid = argv[2];
  const char *psk = argc >= 4 ? argv[3] : NULL;
  const size_t ssidLen = strlen(ssid);
  if (ssidLen < 1 || ssidLen > SSID_MAX_BYTES) {
    fputs("Error: invalid ssid", tool->out);
    return 1;
  }
  if (psk != NULL && !isValidPassphrase(psk)) {
    fputs("Error: invalid passphrase", tool->out);
    return 1;
  }
  if (wifiJoined(tool, ssid)) return 0;
  if (writeWifiConfig(tool, ssid, psk) != 0) return 1;
  netRun(tool, "wpa_cli -p " WPA_CONTROL_DIR "/ reconfigure");
  for (int i = 0; i < WIFI_JOIN_ATTEMPTS; ++i) {
    fprintf(tool->out, "i = %d\n", i);
    if (wifiJoined(tool, ssid)) return 0;
    sleepMs(tool, 1000);
  }
  /* The network never came up: go back to the factory setting, so the board is not left
   * trying a network that does not work. */
  if (replaceWithCopy(tool, tool->paths.wpaConfDefault, tool->paths.wpaConf, NET_WPA_CONF_MODE) != 0) {
    netPerror(tool, "Error opening file");
  }
  netRun(tool, "wpa_cli -p " WPA_CONTROL_DIR "/ reconfigure");
  return 1;
}

int netToolMain(const NetTool *tool, int argc, char **argv) {
  if (argc < 2) {
    fputs("Error: not enough arguements\n", tool->out);
    usage(tool);
    return 1;
  }
  dhcpCheckConfig(tool);
  const char *action = argv[1];
  if (strcmp(action, "Version") == 0) {
    fputs(VTL_NET_VERSION "\n", tool->out);
    return 0;
  }
  if (strcmp(action, "Reset") == 0) return reset(tool, argc, argv);
  if (strcmp(action, "GetStatus") == 0) return getStatus(tool, argc, argv);
  if (strcmp(action, "GetConfig") == 0) {
    return argc < 4 ? 1 : dhcpGetConfig(tool, argv[2], argv[3]);
  }
  if (strcmp(action, "SetConfig") == 0) {
    return argc < 4 ? 1 : dhcpSetConfig(tool, argv[2], argv[3], argc >= 5 ? argv[4] : NULL);
  }
  if (strcmp(action, "GetWifi") == 0) return getWifi(tool);
  if (strcmp(action, "SetWifi") == 0) return setWifi(tool, argc, argv);
  fprintf(tool->out, "Error: invalid action '%s'\n", action);
  return 1;
}
