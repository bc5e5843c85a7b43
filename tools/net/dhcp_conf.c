#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "net_internal.h"

/* How a setting's value sits in its line: between an opening and a closing delimiter,
 * where '\n' stands for the line end. */
typedef enum { KIND_TYPE, KIND_ADDRESS, KIND_NETMASK, KIND_TEXT } SettingKind;

typedef struct Setting {
  const char *param;
  const char *key;
  SettingKind kind;
  char open;
  char close;
} Setting;

static const Setting kSettings[] = {
    {"type", "ip_address", KIND_TYPE, 0, 0},
    {"address", "ip_address", KIND_ADDRESS, '=', '/'},
    {"netmask", "ip_address", KIND_NETMASK, '/', '\n'},
    {"gateway", "routers", KIND_TEXT, '=', '\n'},
    {"dns-type", "domain_name_servers", KIND_TYPE, 0, 0},
    {"dns-addr", "domain_name_servers", KIND_TEXT, '=', '\n'},
};

/* Switching the address between manual and automatic also switches the gateway: dhcpcd
 * would otherwise keep a static router for a leased address, or the other way round. */
static const char *const kTypeKeys[] = {"ip_address", "routers"};
static const char *const kDnsTypeKeys[] = {"domain_name_servers"};

static const Setting *findSettingByParam(const char *param) {
  for (size_t i = 0; i < sizeof kSettings / sizeof kSettings[0]; ++i) {
    if (strcmp(kSettings[i].param, param) == 0) return &kSettings[i];
  }
  return NULL;
}

int netMaskToPrefix(const char *mask) {
  int prefix = 0;
  const char *p = mask;
  for (int octet = 0; octet < 4; ++octet) {
    if (octet > 0 && *p++ != '.') return -1;
    if (*p < '0' || *p > '9') return -1;
    long value = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
      value = value * 10 + (*p++ - '0');
      if (++digits > 3) return -1;
    }
    if (value > 255) return -1;
    /* Only the leading ones of each octet count: a mask with gaps loses what follows. */
    for (int bit = 7; bit >= 0 && (value & (1L << bit)) != 0; --bit) ++prefix;
  }
  return *p == '\0' ? prefix : -1;
}

void netPrefixToMask(long prefix, char *mask) {
  int octets[4] = {0, 0, 0, 0};
  if (prefix >= 0 && prefix / 8 <= 4) {
    const long q = prefix / 8;
    const int r = (int)(prefix % 8);
    const int m = (0xFF << (8 - r)) & 0xFF;
    for (long i = 0; i < q; ++i) octets[i] = 255;
    if (q < 4) octets[q] = m;
  }
  snprintf(mask, 16, "%d.%d.%d.%d", octets[0], octets[1], octets[2], octets[3]);
}

void dhcpCheckConfig(const NetTool *tool) {
  const NetPaths *paths = &tool->paths;
  if (access(paths->dhcpConf, F_OK) != 0 &&
      replaceWithCopy(tool, paths->dhcpConfDefault, paths->dhcpConf, NET_DHCP_CONF_MODE) != 0) {
    netPerror(tool, "Error opening file");
    return;
  }
  FILE *file = fopen(paths->dhcpConf, "re");
  if (file == NULL) {
    netPerror(tool, "Error opening file");
    return;
  }
  char line[NET_LINE_PIECE];
  int hasWlan = 0;
  int hasEth = 0;
  while (fgets(line, sizeof line, file) != NULL) {
    if (strstr(line, "wlan0") != NULL) hasWlan = 1;
    if (strstr(line, "eth0") != NULL) hasEth = 1;
  }
  fclose(file);
  /* A file without a block for each interface would leave one of them unconfigured:
   * start again from the factory default. */
  if ((!hasWlan || !hasEth) &&
      replaceWithCopy(tool, paths->dhcpConfDefault, paths->dhcpConf, NET_DHCP_CONF_MODE) != 0) {
    netPerror(tool, "Error opening file");
  }
}

/* Reads the first line holding key after the first line holding the interface. */
static int findKeyLine(const NetTool *tool, const char *interface, const char *key,
                       char line[NET_LINE_PIECE]) {
  FILE *file = fopen(tool->paths.dhcpConf, "re");
  if (file == NULL) {
    netPerror(tool, "Error opening file");
    return 1;
  }
  int found = 0;
  while (!found && fgets(line, NET_LINE_PIECE, file) != NULL) {
    found = strstr(line, interface) != NULL;
  }
  if (!found) {
    fclose(file);
    fprintf(tool->out, "%s interface not found in file\n", interface);
    return 1;
  }
  found = 0;
  while (!found && fgets(line, NET_LINE_PIECE, file) != NULL) {
    found = strstr(line, key) != NULL;
  }
  fclose(file);
  if (!found) {
    fprintf(tool->out, "%s parameter not found in file\n", key);
    return 1;
  }
  return 0;
}

int dhcpPrintType(const NetTool *tool, const char *interface, const char *key) {
  char line[NET_LINE_PIECE];
  if (findKeyLine(tool, interface, key, line) != 0) return 1;
  fputs(line[0] == '#' ? "Auto" : "Manual", tool->out);
  return 0;
}

/* Where the value of a setting lies in its line: [*start, *end). Reading accepts a line
 * cut short before its line end; editing does not, since it keeps the line end. */
static int locateValue(const NetTool *tool, const Setting *s, const char *line, int needLineEnd,
                       const char **start, const char **end) {
  const char *open = strchr(line, s->open);
  if (open == NULL) {
    fputs("Error: false delim1", tool->out);
    return 1;
  }
  *start = open + 1;
  const char *lineEnd = strchr(*start, '\n');
  if (s->close == '\n') {
    *end = lineEnd != NULL ? lineEnd : *start + strlen(*start);
  } else {
    *end = strchr(*start, s->close);
  }
  if (*end == NULL || (needLineEnd && lineEnd == NULL)) {
    fputs("Error: false delim2", tool->out);
    return 1;
  }
  return 0;
}

int dhcpGetConfig(const NetTool *tool, const char *interface, const char *param) {
  const Setting *s = findSettingByParam(param);
  if (s == NULL) {
    fprintf(tool->out, "Error: invalid config param '%s'\n", param);
    return 1;
  }
  if (s->kind == KIND_TYPE) return dhcpPrintType(tool, interface, s->key);
  char line[NET_LINE_PIECE];
  if (findKeyLine(tool, interface, s->key, line) != 0) return 1;
  const char *start;
  const char *end;
  if (locateValue(tool, s, line, 0, &start, &end) != 0) return 1;
  if (s->kind == KIND_NETMASK) {
    char *after;
    errno = 0;
    long prefix = strtol(start, &after, 10);
    if (after == start || errno == ERANGE) prefix = -1;
    char mask[16];
    netPrefixToMask(prefix, mask);
    fputs(mask, tool->out);
  } else {
    fwrite(start, 1, (size_t)(end - start), tool->out);
  }
  return 0;
}

/* "manual" makes a commented setting active again, "auto" comments an active one out so
 * that dhcpcd asks the network instead. Only the "#" changes (with the blanks after it,
 * when it goes): the rest of the line stays as it is, several DNS servers included. */
static void rewriteType(const char *line, int manual, char *out, size_t outSize) {
  const char *rest = line;
  if (manual && *rest == '#') {
    ++rest;
    while (*rest == ' ' || *rest == '\t') ++rest;
  }
  snprintf(out, outSize, "%s%s", !manual && line[0] != '#' ? "#" : "", rest);
}

static int hasControlByte(const char *text) {
  for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; ++p) {
    if (*p < 0x20 || *p == 0x7F) return 1;
  }
  return 0;
}

/* Checks a SetConfig value and turns it into the text that goes into the line. */
static int prepareValue(const NetTool *tool, const Setting *s, const char *value, int *manual,
                        char *text, size_t textSize) {
  if (s->kind == KIND_TYPE) {
    if (strcmp(value, "manual") == 0) {
      *manual = 1;
    } else if (strcmp(value, "auto") == 0) {
      *manual = 0;
    } else {
      fputs("Error: invalid type", tool->out);
      return 1;
    }
    return 0;
  }
  /* A line end or another control byte would start a line of its own in dhcpcd.conf. */
  if (hasControlByte(value)) {
    fputs("Error: invalid value", tool->out);
    return 1;
  }
  if (s->kind == KIND_NETMASK) {
    const int prefix = netMaskToPrefix(value);
    if (prefix < 0) {
      fputs("Error: invalid value", tool->out);
      return 1;
    }
    snprintf(text, textSize, "%d", prefix);
    return 0;
  }
  if (strlen(value) >= textSize) {
    fputs("Error: argument too long", tool->out);
    return 1;
  }
  strcpy(text, value);
  return 0;
}

/* Builds the edited key line into out; a line that would no longer be read as one piece
 * is refused rather than written. */
static int editLine(const NetTool *tool, const Setting *s, const char *line, int manual,
                    const char *text, char *out, size_t outSize) {
  if (s->kind == KIND_TYPE) {
    rewriteType(line, manual, out, outSize);
    return 0;
  }
  const char *start;
  const char *end;
  if (locateValue(tool, s, line, 1, &start, &end) != 0) return 1;
  const char *lineEnd = strchr(start, '\n');
  const int keep = s->close == '/' ? (int)(lineEnd - end) : 0;
  const int n = snprintf(out, outSize, "%.*s%s%.*s\n", (int)(start - line), line, text, keep, end);
  if (n < 0 || n >= NET_LINE_PIECE) {
    fputs("Error: argument too long", tool->out);
    return 1;
  }
  return 0;
}

int dhcpSetConfig(const NetTool *tool, const char *interface, const char *param,
                  const char *value) {
  const Setting *s = findSettingByParam(param);
  if (s == NULL) {
    fprintf(tool->out, "Error: invalid config param '%s'\n", param);
    return 1;
  }
  if (value == NULL || value[0] == '\0') {
    fputs("Error: no value specified", tool->out);
    return 1;
  }
  int manual = 0;
  char text[NET_LINE_PIECE];
  if (prepareValue(tool, s, value, &manual, text, sizeof text) != 0) return 1;

  const char *const *keys = &s->key;
  size_t keyCount = 1;
  if (s->kind == KIND_TYPE) {
    const int dns = strcmp(s->param, "dns-type") == 0;
    keys = dns ? kDnsTypeKeys : kTypeKeys;
    keyCount = dns ? 1 : 2;
  }

  FILE *in = fopen(tool->paths.dhcpConf, "re");
  if (in == NULL) {
    netPerror(tool, "Error opening dhcp file");
    return 1;
  }
  Replacement r;
  if (replacementBegin(&r, tool, tool->paths.dhcpConf, NET_DHCP_CONF_MODE) != 0) {
    netPerror(tool, "Error opening dhcp file");
    fclose(in);
    return 1;
  }

  char line[NET_LINE_PIECE];
  /* A rewritten type line may grow by the "#" in front. */
  char edited[NET_LINE_PIECE + 1];
  int status = 0;
  int inBlock = 0;
  int done[2] = {0, 0};
  while (status == 0 && fgets(line, sizeof line, in) != NULL) {
    const char *outLine = line;
    if (!inBlock) {
      if (strstr(line, interface) != NULL) {
        inBlock = 1;
        /* Switching a block's settings makes the block itself active. */
        if (s->kind == KIND_TYPE && line[0] == '#') outLine = line + 1;
      }
    } else {
      for (size_t k = 0; k < keyCount; ++k) {
        if (!done[k] && strstr(line, keys[k]) != NULL) {
          done[k] = 1;
          status = editLine(tool, s, line, manual, text, edited, sizeof edited);
          outLine = edited;
          break;
        }
      }
    }
    if (status == 0) replacementWrite(&r, outLine, strlen(outLine));
  }
  const int readFailed = ferror(in);
  fclose(in);
  if (status == 0 && !inBlock) {
    fprintf(tool->out, "%s interface not found in file\n", interface);
    status = 1;
  }
  for (size_t k = 0; status == 0 && k < keyCount; ++k) {
    if (!done[k]) {
      fprintf(tool->out, "%s parameter not found in file\n", keys[k]);
      status = 1;
    }
  }
  if (status == 0 && readFailed) {
    netPerror(tool, "Error writing to file");
    status = 1;
  }
  if (status != 0) {
    replacementAbandon(&r);
    return status;
  }
  if (replacementCommit(&r) != 0) {
    netPerror(tool, "Error writing to file");
    return 1;
  }
  return 0;
}
