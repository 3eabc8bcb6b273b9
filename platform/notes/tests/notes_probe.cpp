// A second process for the tests: reads or creates what the test process
// shares through the data folder, with a runtime of its own.
//   notes_probe stat PATTERN      print the matching statistics
//   notes_probe mqcreate NAME     print the status of MQCreate
//   notes_probe task              run a server task that logs one line
#include <cstdio>
#include <cstring>
#include <string>

#include "notes/notes_api.h"

using namespace notes;

static STATUS taskMain(HMODULE, int, char**) {
  AddInLogMessageText(notesApi(), "%s task ran", 0, "Probe:");
  return 7;
}

int main(int argc, char** argv) {
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
