// A second process for the tests: reads or creates what the test process
// shares through the data folder, with a runtime of its own.
//   notes_probe stat PATTERN      print the matching statistics
//   notes_probe mqcreate NAME     print the status of MQCreate
//   notes_probe task              run a server task that logs one line
//   nprobe (copied under that name) a server task "probe" serving its queue
//                                 MQ$PROBE until asked to quit
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "notes/notes_api.h"

using namespace notes;

static STATUS taskMain(HMODULE, int, char**) {
  AddInLogMessageText(notesApi(), "%s task ran", 0, "Probe:");
  return 7;
}

static STATUS serveMain(HMODULE, int, char**) {
  INotesApi& api = notesApi();
  STATUS s = api.MQCreate("MQ$PROBE", 0, 0);
  MQHANDLE hQueue = 0;
  if (s == NOERROR) s = api.MQOpen("MQ$PROBE", 0, &hQueue);
  if (s != NOERROR) {
    AddInLogErrorText(api, "%s Unable to load", s, "Probe:");
    return 0;
  }
  AddInLogMessageText(api, "%s started", 0, "Probe:");
  while (!api.AddInShouldTerminate()) {
    char aMsg[MQ_MAX_MSGSIZE + 1];
    WORD nLen = 0;
    while (api.MQGet(hQueue, aMsg, MQ_MAX_MSGSIZE, 0, 0, &nLen) == NOERROR) {
      aMsg[nLen] = '\0';
      AddInLogMessageText(api, "%s received %s", 0, "Probe:", aMsg);
    }
    usleep(20000);
  }
  api.MQClose(hQueue, 0);
  AddInLogMessageText(api, "%s stopped", 0, "Probe:");
  return 0;
}

int main(int argc, char** argv) {
  if (std::strstr(argv[0], "nprobe")) return runServerTask(argc, argv, "probe", serveMain);
  if (argc >= 2 && std::strcmp(argv[1], "task") == 0) return runServerTask(argc, argv, "probe", taskMain);
  if (argc < 3) return 2;
  INotesApi& api = notesApi();
  if (api.NotesInit() != NOERROR) return 3;
  if (std::strcmp(argv[1], "stat") == 0) {
    for (const std::string& s : listStatistics(argv[2])) std::printf("%s\n", s.c_str());
  } else if (std::strcmp(argv[1], "mqcreate") == 0) {
    std::printf("0x%04X\n", api.MQCreate(argv[2], 0, 0));
  }
  api.NotesTerm();
  return 0;
}
