// dominosrv: the stand-in Domino server.
//   dominosrv init DIR [--version V] [--server NAME]
//   dominosrv console "COMMAND"
//   dominosrv run
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "notes/notes_api.h"
#include "win/registry.h"

namespace fs = std::filesystem;
using namespace notes;

namespace {

constexpr const char* kUsage =
    "Usage: dominosrv init DIR [--version V] [--server NAME]\n"
    "       dominosrv console \"COMMAND\"\n"
    "       dominosrv run\n"
    "\n"
    "The stand-in Domino server.\n"
    "  init DIR       lay out a fresh server in DIR: machine folder DIR/machine (registry with the\n"
    "                 Sametime Path and Version, default version 8.5.2), Sametime folder DIR/sametime\n"
    "                 (sametime.ini, notes.ini, the Domino objects provider nlsxbe.so, regsvr32), data\n"
    "                 folder DIR/sametime/data (names.nsf, stconfig.nsf, prlconfig.ntf,\n"
    "                 prlchatlog5.ntf); prints the export lines that point at it\n"
    "  console CMD    send one console command to the server of NOTES_INI's data folder, e.g.\n"
    "                 \"tell parlantis pause\", \"show stat Velkora.Parlantis.*\", \"restart task parlantis\",\n"
    "                 \"show tasks\"\n"
    "  run            supervise the tasks of notes.ini ServerTasks until stopped (SIGTERM, Ctrl-C);\n"
    "                 a task T runs the program nT from the notes.ini folder or beside dominosrv\n"
    "\n"
    "notes.ini is found through NOTES_INI, else in the working directory.\n";

int usageError(const std::string& sMessage) {
  std::fprintf(stderr, "dominosrv: %s\n\n%s", sMessage.c_str(), kUsage);
  return 2;
}

std::string selfDir() {
  char aBuf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", aBuf, sizeof aBuf - 1);
  if (n <= 0) return ".";
  aBuf[n] = '\0';
  return fs::path(aBuf).parent_path().string();
}

bool writeText(const std::string& sPath, const std::string& sText) {
  std::ofstream out(sPath, std::ios::binary | std::ios::trunc);
  out << sText;
  return static_cast<bool>(out.flush());
}

// --- init ---

struct Doc {
  std::string sForm;
  std::vector<std::pair<std::string, std::string>> vTexts;
  std::vector<std::pair<std::string, std::vector<std::string>>> vLists;
};

STATUS addDoc(INotesApi& api, DBHANDLE hDb, const Doc& d) {
  NOTEHANDLE h = 0;
  STATUS s = api.NSFNoteCreate(hDb, &h);
  if (s != NOERROR) return s;
  setText(api, h, "Form", d.sForm);
  for (auto& [k, v] : d.vTexts) setText(api, h, k, v);
  for (auto& [k, v] : d.vLists) setTextList(api, h, k, v);
  s = api.NSFNoteUpdate(h, 0);
  api.NSFNoteClose(h);
  return s;
}

// Creates a database and fills it; reports the first failing status.
STATUS makeDb(INotesApi& api, const std::string& sPath, const std::string& sTitle, const std::vector<ViewDesign>& vViews,
              const std::vector<AgentDesign>& vAgents, const std::vector<Doc>& vDocs) {
  STATUS s = api.NSFDbCreate(sPath.c_str(), sTitle.c_str());
  if (s != NOERROR) return s;
  DBHANDLE h = 0;
  if ((s = api.NSFDbOpen(sPath.c_str(), &h)) != NOERROR) return s;
  for (const ViewDesign& v : vViews)
    if (s == NOERROR) s = createView(api, h, v, nullptr);
  for (const AgentDesign& a : vAgents)
    if (s == NOERROR) s = createAgent(api, h, a, nullptr);
  for (const Doc& d : vDocs)
    if (s == NOERROR) s = addDoc(api, h, d);
  if (s == NOERROR) s = api.NSFDbSign(h, NOTE_CLASS_ALL);
  api.NSFDbClose(h);
  return s;
}

int cmdInit(const std::vector<std::string>& vArgs) {
  std::string sDir, sVersion = "8.5.2", sServer = "CN=Domino1/O=Velkora";
  for (std::size_t i = 0; i < vArgs.size(); ++i) {
    if (vArgs[i] == "--version" && i + 1 < vArgs.size()) sVersion = vArgs[++i];
    else if (vArgs[i] == "--server" && i + 1 < vArgs.size()) sServer = vArgs[++i];
    else if (!vArgs[i].empty() && vArgs[i][0] == '-') return usageError("unknown option " + vArgs[i]);
    else if (sDir.empty()) sDir = vArgs[i];
    else return usageError("init takes one folder");
  }
  if (sDir.empty()) return usageError("init needs a folder");
  std::error_code ec;
  fs::create_directories(sDir, ec);
  sDir = fs::absolute(sDir, ec).lexically_normal().string();
  while (sDir.size() > 1 && sDir.back() == '/') sDir.pop_back();
  const std::string sMachine = sDir + "/machine", sSametime = sDir + "/sametime", sData = sSametime + "/data";
  const std::string sIni = sSametime + "/notes.ini";
  if (fs::exists(sIni)) {
    std::fprintf(stderr, "dominosrv: %s already holds a stand-in server (%s exists)\n", sDir.c_str(), sIni.c_str());
    return 1;
  }
  fs::create_directories(sMachine, ec);
  fs::create_directories(sData, ec);
  if (ec) {
    std::fprintf(stderr, "dominosrv: cannot create %s: %s\n", sData.c_str(), ec.message().c_str());
    return 1;
  }
  bool bOk = writeText(sIni, "[Notes]\r\nDirectory=" + sData + "\r\nServername=" + sServer +
                                 "\r\nServerTasks=Replica,Router,Update,AMgr\r\nNAMES=names.nsf\r\n") &&
             writeText(sSametime + "/sametime.ini",
                       "[Config]\r\nVPS_PORT=1533\r\n[Debug]\r\n[ST_BB_NAMES]\r\nST_CHAT_LOG=N/A\r\n") &&
             writeText(sSametime + "/regsvr32",
                       "#!/bin/sh\n"
                       "# Stand-in for registering a COM provider: succeeds when the library exists.\n"
                       "[ \"$1\" = /s ] && shift\n"
                       "if [ -z \"$1\" ] || [ ! -e \"$1\" ]; then echo \"regsvr32: cannot find '$1'\" >&2; exit 3; fi\n"
                       "exit 0\n");
  fs::permissions(sSametime + "/regsvr32", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                               fs::perms::others_read | fs::perms::others_exec, ec);
  // The Domino objects provider the installer registers.
  std::string sProvider = selfDir() + "/../lib/libdominoobjects.so";
  fs::copy_file(sProvider, sSametime + "/nlsxbe.so", fs::copy_options::overwrite_existing, ec);
  if (!bOk || ec) {
    std::fprintf(stderr, "dominosrv: cannot write the Sametime folder %s%s%s\n", sSametime.c_str(),
                 ec ? ": " : "", ec ? ec.message().c_str() : "");
    return 1;
  }

  ::setenv("MACHINE_DIR", sMachine.c_str(), 1);
  ::setenv("NOTES_INI", sIni.c_str(), 1);
  win::IRegistry& reg = win::machineRegistry();
  const char* pKey = "SOFTWARE\\Lotus\\Sametime\\Community Server";
  win::Registry::WriteStringValue(reg, win::RegRoot::LocalMachine, pKey, "Path", sSametime + "/");
  win::Registry::WriteStringValue(reg, win::RegRoot::LocalMachine, pKey, "Version", sVersion);
  if (win::Registry::ReadStringValue(reg, win::RegRoot::LocalMachine, pKey, "Version", "") != sVersion) {
    std::fprintf(stderr, "dominosrv: cannot write the registry in %s\n", sMachine.c_str());
    return 1;
  }

  INotesApi& api = notesApi();
  STATUS s = api.NotesInit();
  const std::vector<std::string> vRuleItems = {"rule.name", "rule.from", "rule.to", "rule.message", "rule.access"};
  const std::vector<std::string> vDisclaimerItems = {"rule.name", "rule.from", "rule.to", "rule.message", "rule.nway"};
  const std::string sOrg = sServer.substr(sServer.rfind('/') + 1);
  if (s == NOERROR)
    s = makeDb(api, "names.nsf", "Velkora Directory",
               {{"People|($Users)", {"Person"}, {"LastName", "FirstName"}, {"FullName", "ShortName"}},
                {"Groups|($VIMGroups)", {"Group"}, {"ListName"}, {"ListName", "Members"}}},
               {},
               {{"Person", {{"FirstName", "Ada"}, {"LastName", "Lovelace"}, {"ShortName", "alovelace"}},
                 {{"FullName", {"CN=Ada Lovelace/OU=Sales/O=Velkora", "Ada Lovelace"}}}},
                {"Person", {{"FirstName", "Bob"}, {"LastName", "Byte"}, {"ShortName", "bbyte"}},
                 {{"FullName", {"CN=Bob Byte/OU=Support/O=Velkora", "Bob Byte"}}}},
                {"Person", {{"FirstName", "Carol"}, {"LastName", "Chen"}, {"ShortName", "cchen"}},
                 {{"FullName", {"CN=Carol Chen/O=Velkora", "Carol Chen"}}}},
                {"Person", {{"FirstName", "Dan"}, {"LastName", "Dorn"}, {"ShortName", "ddorn"}},
                 {{"FullName", {"CN=Dan Dorn/O=Partner", "Dan Dorn"}}}},
                {"Group", {{"ListName", "Sales"}}, {{"Members", {"CN=Ada Lovelace/OU=Sales/O=Velkora"}}}},
                {"Group", {{"ListName", "Support"}}, {{"Members", {"CN=Bob Byte/OU=Support/O=Velkora"}}}},
                {"Group", {{"ListName", "Staff"}}, {{"Members", {"Sales", "Support", "CN=Carol Chen/O=Velkora"}}}},
                {"Group", {{"ListName", "Everyone"}}, {{"Members", {"Staff", "*/O=Partner"}}}},
                {"Group", {{"ListName", "LocalDomainServers"}}, {{"Members", {sServer}}}},
                {"Group", {{"ListName", "Auditors"}}, {{"Members", {"Compliance", "CN=Carol Chen/O=Velkora"}}}},
                {"Group", {{"ListName", "Compliance"}}, {{"Members", {"Auditors"}}}}});
  if (s == NOERROR)
    s = makeDb(api, "stconfig.nsf", "Sametime Configuration", {{"All_byForm_Uncategorized", {}, {"Form"}, {"Form"}}},
               {},
               {{"CommunityServices", {{"ChatLoggingFlag", "0"}, {"CaptureServiceType", ""}}, {}},
                {"CommunityClient", {{"Virus_Scan_Schedule", "1"}}, {}}});
  if (s == NOERROR)
    s = makeDb(api, "prlconfig.ntf", "Velkora Parlantis 5 Configuration Template",
               {{"Rules|$vwWall", {"Rule"}, {"rule.name"}, vRuleItems},
                {"Disclaimers|$vwDisclaimer", {"Disclaimer"}, {"rule.name"}, vDisclaimerItems}},
               {}, {});
  if (s == NOERROR)
    s = makeDb(api, "prlchatlog5.ntf", "Velkora Parlantis 5 Chat Logs Template",
               {{"Chats|$vwChats", {"Chat"}, {"-Started"}, {"Started", "Participants"}}},
               {{"agXMLImporter", AGENT_TRIGGER_SCHEDULED, true, kRecordRunImplementation}}, {});
  if (s != NOERROR) {
    std::fprintf(stderr, "dominosrv: cannot create the databases in %s: %s\n", sData.c_str(),
                 statusText(api, s).c_str());
    return 1;
  }
  api.NotesTerm();
  std::printf("export MACHINE_DIR=%s\nexport NOTES_INI=%s\n", sMachine.c_str(), sIni.c_str());
  return 0;
}

// --- console ---

int cmdConsole(const std::vector<std::string>& vArgs) {
  if (vArgs.empty()) return usageError("console needs a command");
  std::string sCommand;
  for (const std::string& s : vArgs) sCommand += (sCommand.empty() ? "" : " ") + s;
  INotesApi& api = notesApi();
  STATUS s = api.NotesInit();
  if (s != NOERROR) {
    std::fprintf(stderr, "dominosrv: %s\n", statusText(api, s).c_str());
    return 1;
  }
  char aServer[256];
  api.OSGetEnvironmentString("Servername", aServer, sizeof aServer);
  std::string sReply;
  s = api.NSFRemoteConsole(aServer, sCommand.c_str(), &sReply);
  api.NotesTerm();
  if (s != NOERROR) {
    std::fprintf(stderr, "dominosrv: %s\n", sReply.empty() ? statusText(api, s).c_str() : sReply.c_str());
    return 1;
  }
  std::fputs(sReply.c_str(), stdout);
  if (!sReply.empty() && sReply.back() != '\n') std::fputc('\n', stdout);
  return 0;
}

// --- run ---

volatile sig_atomic_t g_bStop = 0;
void onStop(int) { g_bStop = 1; }

struct Task {
  std::string sName;
  pid_t pid = 0;
  bool bRestart = false;  // start again when it has ended
  std::chrono::steady_clock::time_point tQuitAsked{};
};

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string taskProgram(const std::string& sTask) {
  std::string sExe = "n" + lower(sTask);
  for (const std::string& sDir : {fs::path(notesIniPath()).parent_path().string(), selfDir()}) {
    std::string sPath = sDir + "/" + sExe;
    if (::access(sPath.c_str(), X_OK) == 0) return sPath;
  }
  return {};
}

void startTask(INotesApi& api, Task& t) {
  std::string sProgram = taskProgram(t.sName);
  if (sProgram.empty()) {
    AddInLogMessageText(api, "Server: no program for task %s, not started", 0, t.sName.c_str());
    return;
  }
  std::string sIniArg = "=" + notesIniPath();
  pid_t pid = ::fork();
  if (pid == 0) {
    ::execl(sProgram.c_str(), sProgram.c_str(), sIniArg.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid < 0) {
    AddInLogErrorText(api, "Server: unable to start task %s: %s", 0, t.sName.c_str(), std::strerror(errno));
    return;
  }
  t.pid = pid;
  AddInLogMessageText(api, "Server: started task %s (%s, pid %d)", 0, t.sName.c_str(), sProgram.c_str(),
                      static_cast<int>(pid));
}

// Asks a running task to quit through its queue.
void askQuit(INotesApi& api, Task& t) {
  MQHANDLE h = 0;
  if (api.MQOpen(("MQ$" + t.sName).c_str(), 0, &h) == NOERROR) {
    api.MQPutQuitMsg(h);
    api.MQClose(h, 0);
  } else {
    ::kill(t.pid, SIGTERM);  // no queue (yet): the signal ends it as well
  }
  t.tQuitAsked = std::chrono::steady_clock::now();
}

int cmdRun() {
  INotesApi& api = notesApi();
  STATUS s = api.NotesInit();
  if (s != NOERROR) {
    std::fprintf(stderr, "dominosrv: %s\n", statusText(api, s).c_str());
    return 1;
  }
  std::string sLock = dataDirectory() + "/.server.lock";
  int nLock = ::open(sLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (nLock < 0 || ::flock(nLock, LOCK_EX | LOCK_NB) != 0) {
    std::fprintf(stderr, "dominosrv: a server is already running for %s\n", dataDirectory().c_str());
    api.NotesTerm();
    return 1;
  }
  struct sigaction sa{};
  sa.sa_handler = onStop;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  takeServerRequests();  // left over from an earlier server

  std::map<std::string, Task> mTasks;  // lower-case name
  char aTasks[1024];
  api.OSGetEnvironmentString("ServerTasks", aTasks, sizeof aTasks);
  AddInLogMessageText(api, "Server: started for %s, ServerTasks=%s", 0, dataDirectory().c_str(), aTasks);
  std::string sTasks = aTasks;
  for (std::size_t nStart = 0; nStart <= sTasks.size();) {
    std::size_t nEnd = sTasks.find(',', nStart);
    if (nEnd == std::string::npos) nEnd = sTasks.size();
    std::string sName = sTasks.substr(nStart, nEnd - nStart);
    while (!sName.empty() && sName.back() == ' ') sName.pop_back();
    while (!sName.empty() && sName[0] == ' ') sName.erase(0, 1);
    if (!sName.empty() && !mTasks.count(lower(sName))) {
      Task& t = mTasks[lower(sName)];
      t.sName = lower(sName);
      startTask(api, t);
    }
    nStart = nEnd + 1;
  }
  while (!g_bStop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (auto& [sKey, t] : mTasks) {
      int nStatus = 0;
      if (t.pid > 0 && ::waitpid(t.pid, &nStatus, WNOHANG) == t.pid) {
        AddInLogMessageText(api, "Server: task %s ended (%s %d)", 0, t.sName.c_str(),
                            WIFEXITED(nStatus) ? "exit code" : "signal",
                            WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : WTERMSIG(nStatus));
        t.pid = 0;
        if (t.bRestart) {
          t.bRestart = false;
          startTask(api, t);
        }
      } else if (t.pid > 0 && t.bRestart && std::chrono::steady_clock::now() - t.tQuitAsked > std::chrono::seconds(30)) {
        ::kill(t.pid, SIGKILL);  // did not quit when asked
      }
    }
    for (auto& [sCommand, sTask] : takeServerRequests()) {
      Task& t = mTasks[lower(sTask)];
      t.sName = lower(sTask);
      if (t.pid > 0 && sCommand == "restart") {
        t.bRestart = true;  // the console already asked it to quit
        t.tQuitAsked = std::chrono::steady_clock::now();
      } else if (t.pid == 0) {
        startTask(api, t);
      }
    }
  }
  AddInLogMessageText(api, "Server: shutting down", 0);
  for (auto& [sKey, t] : mTasks)
    if (t.pid > 0) askQuit(api, t);
  auto tDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (auto& [sKey, t] : mTasks) {
    while (t.pid > 0) {
      if (::waitpid(t.pid, nullptr, WNOHANG) == t.pid) break;
      if (std::chrono::steady_clock::now() > tDeadline) {
        ::kill(t.pid, SIGKILL);
        ::waitpid(t.pid, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  AddInLogMessageText(api, "Server: stopped", 0);
  api.NotesTerm();
  ::close(nLock);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> vArgs(argv + 1, argv + argc);
  if (vArgs.empty()) return usageError("missing command");
  if (vArgs[0] == "--help" || vArgs[0] == "-h" || vArgs[0] == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::string sCommand = vArgs[0];
  vArgs.erase(vArgs.begin());
  if (sCommand == "init") return cmdInit(vArgs);
  if (sCommand == "console") return cmdConsole(vArgs);
  if (sCommand == "run") return vArgs.empty() ? cmdRun() : usageError("run takes no arguments");
  return usageError("unknown command " + sCommand);
}
