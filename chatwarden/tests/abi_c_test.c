/* A host written in C: includes the host header, loads chatwarden.so with
 * dlopen and calls its exports by name. Exit status 0 means every check
 * held; each failed check prints one line. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "c_check.h"
#include "stdda_cl.h"


static int ends_with(const char* s, const char* tail) {
  size_t n = strlen(s), m = strlen(tail);
  return n >= m && strcmp(s + n - m, tail) == 0;
}

int main(void) {
  char dir[] = "/tmp/prlctest-XXXXXX";
  if (!mkdtemp(dir)) return 2;
  char machine[256], logs[256], reg[300], cmd[400];
  snprintf(machine, sizeof machine, "%s/machine", dir);
  snprintf(logs, sizeof logs, "%s/logs", dir);
  mkdir(machine, 0700);
  mkdir(logs, 0700);
  snprintf(reg, sizeof reg, "%s/registry.reg", machine);
  FILE* f = fopen(reg, "wb");
  if (!f) return 2;
  fprintf(f,
          "Windows Registry Editor Version 5.00\r\n\r\n"
          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Parlantis\\Server]\r\n"
          "\"LogFileEnabled\"=dword:00000001\r\n"
          "\"LogFileFormat\"=dword:00000002\r\n"
          "\"LogFileFolderPath\"=\"%s\"\r\n\r\n",
          logs);
  fclose(f);
  setenv("MACHINE_DIR", machine, 1);
  setenv("DEBUG_OUTPUT", "/dev/null", 1);

  void* h = dlopen(CHATWARDEN_SO, RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    fprintf(stderr, "dlopen: %s\n", dlerror());
    return 1;
  }
  PFN_stDdaClInit init;
  *(void**)(&init) = dlsym(h, "stDdaClInit");
  PFN_stDdaClTerminate term;
  *(void**)(&term) = dlsym(h, "stDdaClTerminate");
  PFN_stDdaClTimerEvent timer;
  *(void**)(&timer) = dlsym(h, "stDdaClTimerEvent");
  PFN_stDdaClSessionPolicycheckFunc policy;
  *(void**)(&policy) = dlsym(h, "stDdaClSessionPolicycheckFunc");
  PFN_stDdaClCleanSrvMsgs clean;
  *(void**)(&clean) = dlsym(h, "stDdaClCleanSrvMsgs");
  CHECK(init && term && timer && policy && clean);
  if (g_failures) return 1;

  int32_t version = ST_DDA_CL_SPI_VERSION, indicator = 0;
  uint32_t initFlags = 0;
  char dirType[ST_DDA_DIR_TYPE_SIZE] = "", libVersion[ST_DDA_LIB_VERSION_SIZE] = "", msg[ST_DDA_STATUS_MSG_SIZE] = "";
  CHECK(init(&version, 0, &initFlags, dirType, libVersion, &indicator, msg) == ST_DDA_API_OK);
  CHECK(version == 14);
  CHECK(indicator == PLUGIN_STATUS_RUNNING);
  CHECK(strcmp(dirType, "Lotus Domino") == 0);
  CHECK(strcmp(libVersion, "9.5.6.5") == 0);
  CHECK(ends_with(msg, "loaded and initialized."));

  SrvMsg* list = NULL;
  int32_t count = 0;
  CHECK(policy("CN=A/O=X", "CN=B/O=X", &list, &count) == ST_DDA_API_OK);
  timer();

  /* A record the host built itself: static, so its text stays. */
  SrvMsg* own = (SrvMsg*)malloc(sizeof(SrvMsg));
  static char text[] = "kept";
  own->isStatic = 1;
  own->recipient = 0;
  own->textLen = 4;
  own->text = text;
  CHECK(clean(own, 1) == ST_DDA_API_OK);
  CHECK(strcmp(text, "kept") == 0);

  term();
  CHECK(indicator == PLUGIN_STATUS_RUNNING);
  CHECK(ends_with(msg, "unloaded."));
  dlclose(h);

  snprintf(cmd, sizeof cmd, "rm -rf '%s'", dir);
  if (system(cmd) != 0) fprintf(stderr, "could not remove %s\n", dir);
  if (g_failures == 0) printf("C host: all checks held\n");
  return g_failures == 0 ? 0 : 1;
}
