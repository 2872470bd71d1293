/* Faults of the disk under the network folder, for tests of the real
 * executable, preloaded with LD_PRELOAD. BRELVINT_FAULTS names a folder of
 * switches, each on while its file exists there:
 *   "enospc"  mkstemp of a temporary file in a "brelvint-server" folder fails
 *             with ENOSPC, as on a full disk;
 *   "stall"   fsync of a file in a "brelvint-server" folder waits until the
 *             switch is off, as on a disk that hangs; the shim makes
 *             "stalled" beside it when a sync starts waiting.
 * Everything else goes to the C library untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static const char kNetworkFolder[] = "/brelvint-server/";

static int SwitchOn(const char* name) {
  const char* folder = getenv("BRELVINT_FAULTS");
  if (folder == NULL) return 0;
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", folder, name);
  return access(path, F_OK) == 0;
}

static void Mark(const char* name) {
  const char* folder = getenv("BRELVINT_FAULTS");
  if (folder == NULL) return;
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", folder, name);
  int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
}

static int InNetworkFolder(int fd) {
  char link[64];
  char path[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t length = readlink(link, path, sizeof path - 1);
  if (length <= 0) return 0;
  path[length] = '\0';
  return strstr(path, kNetworkFolder) != NULL;
}

int mkstemp(char* pattern) {
  static int (*real)(char*) = NULL;
  if (real == NULL) real = (int (*)(char*))dlsym(RTLD_NEXT, "mkstemp");
  if (strstr(pattern, kNetworkFolder) != NULL && SwitchOn("enospc")) {
    errno = ENOSPC;
    return -1;
  }
  return real(pattern);
}

int mkstemp64(char* pattern) { return mkstemp(pattern); }

int fsync(int fd) {
  static int (*real)(int) = NULL;
  if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  if (SwitchOn("stall") && InNetworkFolder(fd)) {
    Mark("stalled");
    struct timespec pause = {0, 10 * 1000 * 1000};
    while (SwitchOn("stall")) nanosleep(&pause, NULL);
  }
  return real(fd);
}
