/* A host written in C: includes the host header (whose layout checks must
 * hold in C as well), loads filewarden.so with dlopen, calls its exports by
 * name and scans one file. Exit status 0 means every check held; each
 * failed check prints one line. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "c_check.h"
#include "stdda_ft.h"


/* Number of entries in DIR, "." and ".." not counted. */
static int count_files(const char* dir) {
  DIR* d = opendir(dir);
  if (!d) return -1;
  int n = 0;
  struct dirent* e;
  while ((e = readdir(d)) != NULL)
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) ++n;
  closedir(d);
  return n;
}

int main(void) {
  char dir[] = "/tmp/prlftctest-XXXXXX";
  char upload[] = "/tmp/st.XXXXXX"; /* with its '/', the host's 15-character prefix */
  if (!mkdtemp(dir) || !mkdtemp(upload)) return 2;
  char machine[64], logs[64], files[64], reg[96], source[64], cmd[160];
  snprintf(machine, sizeof machine, "%s/machine", dir);
  snprintf(logs, sizeof logs, "%s/logs", dir);
  snprintf(files, sizeof files, "%s/files", dir);
  mkdir(machine, 0700);
  mkdir(logs, 0700);
  mkdir(files, 0700);
  snprintf(reg, sizeof reg, "%s/registry.reg", machine);
  FILE* f = fopen(reg, "wb");
  if (!f) return 2;
  fprintf(f,
          "Windows Registry Editor Version 5.00\r\n\r\n"
          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Parlantis\\Server]\r\n"
          "\"FileTransferEnabled\"=dword:00000001\r\n"
          "\"LogFileFolderPath\"=\"%s\"\r\n"
          "\"FileTransferFolderPath\"=\"%s\"\r\n\r\n",
          logs, files);
  fclose(f);
  snprintf(source, sizeof source, "%s/minutes.txt", upload);
  f = fopen(source, "wb");
  if (!f) return 2;
  fputs("minutes", f);
  fclose(f);
  setenv("MACHINE_DIR", machine, 1);
  setenv("DEBUG_OUTPUT", "/dev/null", 1);

  void* h = dlopen(FILEWARDEN_SO, RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    fprintf(stderr, "dlopen: %s\n", dlerror());
    return 1;
  }
  PFN_stDdaFtInit init;
  *(void**)(&init) = dlsym(h, "stDdaFtInit");
  PFN_stDdaFtScanFile scan;
  *(void**)(&scan) = dlsym(h, "stDdaFtScanFile");
  PFN_stDdaFtTerminate term;
  *(void**)(&term) = dlsym(h, "stDdaFtTerminate");
  CHECK(init && scan && term);
  if (g_failures) return 1;

  uint32_t version = 9;
  CHECK(init(&version) == 0);
  CHECK(version == ST_DDA_FT_SPI_VERSION);

  FtScanRequest request;
  memset(&request, 0, sizeof request);
  snprintf(request.path, sizeof request.path, "%s", source);
  snprintf(request.sender, sizeof request.sender, "CN=A/O=X");
  snprintf(request.receiver, sizeof request.receiver, "CN=B/O=X");
  request.size = 7;
  request.session = 1;
  CHECK(scan(&request) == ST_DDA_FT_SCAN_COPIED);
  CHECK(count_files(logs) == 1);
  CHECK(count_files(files) == 1);
  term();
  dlclose(h);

  snprintf(cmd, sizeof cmd, "rm -rf '%s' '%s'", dir, upload);
  if (system(cmd) != 0) fprintf(stderr, "could not remove %s\n", dir);
  if (g_failures == 0) printf("C host: all checks held\n");
  return g_failures == 0 ? 0 : 1;
}
