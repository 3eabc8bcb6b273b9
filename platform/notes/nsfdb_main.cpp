// nsfdb: look into and maintain the stand-in's databases, so administrators
// can keep chat rules and disclaimers in prlconfig.nsf.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "notes/notes_api.h"

using namespace notes;

namespace {

constexpr const char* kUsage =
    "Usage: nsfdb COMMAND DB [ARGS]\n"
    "\n"
    "Commands (DB is a path; a relative one is in the data folder of notes.ini):\n"
    "  create TEMPLATE DB [--title T]   create DB from the template TEMPLATE\n"
    "  title DB [NEW]                   show or set the database title\n"
    "  replica DB                       show the replica ID\n"
    "  views DB                         list the views: title, forms, sort and summary items\n"
    "  entries DB VIEW                  list the view's entries in order with their summary items\n"
    "  docs DB [--form FORM]            list the documents with all their items\n"
    "  agents DB                        list the agents: name, trigger, enabled, implementation\n"
    "  add DB --form FORM ITEM...       add a document; prints its note id\n"
    "  set DB NOTEID ITEM...            change items of a document\n"
    "  unset DB NOTEID NAME...          remove items from a document\n"
    "  remove DB NOTEID                 delete a document\n"
    "\n"
    "ITEM is NAME=TEXT (text), NAME@=A|B|C (text list, entries separated by |) or NAME#=NUMBER.\n"
    "NOTEID is decimal or 0x-prefixed hexadecimal. notes.ini is found through NOTES_INI, else in\n"
    "the working directory.\n";

int usageError(const std::string& sMessage) {
  std::fprintf(stderr, "nsfdb: %s\n\n%s", sMessage.c_str(), kUsage);
  return 2;
}

INotesApi& api() { return notesApi(); }

int failed(const std::string& sWhat, STATUS s) {
  std::fprintf(stderr, "nsfdb: %s: %s (0x%04X)\n", sWhat.c_str(), statusText(api(), s).c_str(), s);
  return 1;
}

bool parseNoteId(const std::string& s, NOTEID* pId) {
  char* pEnd = nullptr;
  unsigned long n = std::strtoul(s.c_str(), &pEnd, 0);
  if (s.empty() || *pEnd || n == 0 || n > 0xFFFFFFFFul) return false;
  *pId = static_cast<NOTEID>(n);
  return true;
}

std::vector<std::string> split(const std::string& s, char c) {
  std::vector<std::string> v;
  std::size_t nStart = 0;
  while (true) {
    std::size_t n = s.find(c, nStart);
    v.push_back(s.substr(nStart, n == std::string::npos ? std::string::npos : n - nStart));
    if (n == std::string::npos) return v;
    nStart = n + 1;
  }
}

// Applies NAME=TEXT, NAME@=A|B, NAME#=N to an open note.
bool applyItem(NOTEHANDLE h, const std::string& sArg, std::string* pError) {
  std::size_t n = sArg.find('=');
  if (n == std::string::npos || n == 0) {
    *pError = "expected NAME=VALUE, got '" + sArg + "'";
    return false;
  }
  std::string sName = sArg.substr(0, n), sValue = sArg.substr(n + 1);
  STATUS s;
  if (sName.back() == '@') {
    s = setTextList(api(), h, sName.substr(0, sName.size() - 1), split(sValue, '|'));
  } else if (sName.back() == '#') {
    char* pEnd = nullptr;
    double d = std::strtod(sValue.c_str(), &pEnd);
    if (sValue.empty() || *pEnd) {
      *pError = "not a number: '" + sValue + "'";
      return false;
    }
    s = setNumber(api(), h, sName.substr(0, sName.size() - 1), d);
  } else {
    s = setText(api(), h, sName, sValue);
  }
  if (s != NOERROR) *pError = sArg + ": " + statusText(api(), s);
  return s == NOERROR;
}

const char* typeName(WORD nType) {
  switch (nType) {
    case TYPE_TEXT:
      return "text";
    case TYPE_TEXT_LIST:
      return "text list";
    case TYPE_NUMBER:
      return "number";
    case TYPE_TIME:
      return "time";
    default:
      return "other";
  }
}

void printItems(NOTEHANDLE h, const char* pIndent) {
  std::vector<std::string> vNames;
  api().NSFItemNames(h, &vNames);
  for (const std::string& sName : vNames) {
    WORD nType = 0;
    api().NSFItemGetValue(h, sName.c_str(), &nType, nullptr);
    std::string sValue;
    if (nType == TYPE_TEXT_LIST) {
      std::string sRaw;
      api().NSFItemGetValue(h, sName.c_str(), &nType, &sRaw);
      for (const std::string& e : decodeTextList(sRaw.data(), sRaw.size())) sValue += (sValue.empty() ? "" : " | ") + e;
    } else {
      sValue = itemAsText(api(), h, sName);
    }
    std::printf("%s%s (%s): %s\n", pIndent, sName.c_str(), typeName(nType), sValue.c_str());
  }
}

struct OpenDb {
  DBHANDLE h = 0;
  ~OpenDb() {
    if (h) api().NSFDbClose(h);
  }
};

int run(const std::vector<std::string>& v) {
  const std::string& sCommand = v[0];
  if (sCommand == "create") {
    if (v.size() != 3 && !(v.size() == 5 && v[3] == "--title")) return usageError("create TEMPLATE DB [--title T]");
    STATUS s = api().NSFDbCreateFromTemplate(v[1].c_str(), v[2].c_str(), true);
    if (s != NOERROR) return failed("cannot create " + v[2] + " from " + v[1], s);
    if (v.size() == 5) {
      OpenDb db;
      if ((s = api().NSFDbOpen(v[2].c_str(), &db.h)) == NOERROR) s = api().NSFDbTitleSet(db.h, v[4].c_str());
      if (s != NOERROR) return failed("cannot set the title of " + v[2], s);
    }
    std::printf("Created %s from %s\n", v[2].c_str(), v[1].c_str());
    return 0;
  }
  if (v.size() < 2) return usageError(sCommand + " needs a database");
  OpenDb db;
  STATUS s = api().NSFDbOpen(v[1].c_str(), &db.h);
  if (s != NOERROR) return failed("cannot open " + v[1], s);

  if (sCommand == "title") {
    if (v.size() == 3) {
      if ((s = api().NSFDbTitleSet(db.h, v[2].c_str())) != NOERROR) return failed("cannot set the title", s);
      return 0;
    }
    std::string sTitle;
    api().NSFDbTitleGet(db.h, &sTitle);
    std::printf("%s\n", sTitle.c_str());
    return 0;
  }
  if (sCommand == "replica") {
    DBREPLICAINFO info{};
    if ((s = api().NSFDbReplicaInfoGet(db.h, &info)) != NOERROR) return failed("cannot read the replica ID", s);
    std::printf("%08X:%08X\n", info.ID.Innards[1], info.ID.Innards[0]);
    return 0;
  }
  if (sCommand == "views" || sCommand == "agents") {
    std::vector<NOTEID> vIds;
    api().NSFDbGetNoteIds(db.h, sCommand == "views" ? NOTE_CLASS_VIEW : NOTE_CLASS_FILTER, &vIds);
    for (NOTEID id : vIds) {
      NOTEHANDLE h = 0;
      if (api().NSFNoteOpen(db.h, id, 0, &h) != NOERROR) continue;
      if (sCommand == "views") {
        std::printf("%s\n  forms: %s\n  sort: %s\n  summary: %s\n", itemAsText(api(), h, "$TITLE").c_str(),
                    itemAsText(api(), h, "$FormSelection").c_str(), itemAsText(api(), h, "$Sort").c_str(),
                    itemAsText(api(), h, "$Summary").c_str());
      } else {
        std::string sTrigger = itemAsText(api(), h, "$Trigger");
        std::printf("%s  trigger=%s enabled=%s implementation=%s\n", itemAsText(api(), h, "$TITLE").c_str(),
                    sTrigger == "1" ? "scheduled" : sTrigger.c_str(),
                    itemAsText(api(), h, "$Enabled") == "1" ? "yes" : "no",
                    itemAsText(api(), h, "$AgentImpl").c_str());
      }
      api().NSFNoteClose(h);
    }
    return 0;
  }
  if (sCommand == "entries") {
    if (v.size() != 3) return usageError("entries DB VIEW");
    NOTEID viewId = 0;
    if ((s = api().NIFFindDesignNoteExt(db.h, v[2].c_str(), NOTE_CLASS_VIEW, "-G40n^", &viewId)) != NOERROR)
      return failed("no view " + v[2], s);
    HCOLLECTION hColl = 0;
    if ((s = api().NIFOpenCollection(db.h, db.h, viewId, 0, &hColl)) != NOERROR) return failed("cannot open " + v[2], s);
    COLLECTIONPOSITION pos{};
    pos.Tumbler[0] = 1;
    WORD nSignal = 0;
    do {
      DHANDLE hBuf = 0;
      DWORD nReturned = 0;
      s = api().NIFReadEntries(hColl, &pos, NAVIGATE_NEXT, 0, NAVIGATE_NEXT, MAXDWORD,
                               READ_MASK_NOTEID | READ_MASK_SUMMARY, &hBuf, nullptr, nullptr, &nReturned, &nSignal);
      if (s != NOERROR) {
        api().NIFCloseCollection(hColl);
        return failed("cannot read " + v[2], s);
      }
      if (!hBuf) break;
      const char* p = static_cast<const char*>(api().OSLockObject(hBuf));
      for (DWORD i = 0; i < nReturned; ++i) {
        NOTEID id;
        std::memcpy(&id, p, 4);
        NOTEHANDLE h = 0;
        std::printf("0x%X\n", id);
        if (api().NSFNoteOpen(db.h, id, 0, &h) == NOERROR) {
          // The summary items, in the view's order.
          ITEM_TABLE table;
          std::memcpy(&table, p + 4, sizeof table);
          const char* pNames = p + 4 + sizeof table + table.Items * sizeof(ITEM);
          for (WORD k = 0; k < table.Items; ++k) {
            ITEM item;
            std::memcpy(&item, p + 4 + sizeof table + k * sizeof(ITEM), sizeof item);
            std::string sName(pNames, item.NameLength);
            std::printf("  %s: %s\n", sName.c_str(), itemAsText(api(), h, sName).c_str());
            pNames += item.NameLength + item.ValueLength;
          }
          api().NSFNoteClose(h);
        }
        WORD nTable;
        std::memcpy(&nTable, p + 4, 2);
        p += 4 + nTable;
      }
      api().OSMemFree(hBuf);
    } while (nSignal & SIGNAL_MORE_TO_DO);
    api().NIFCloseCollection(hColl);
    return 0;
  }
  if (sCommand == "docs") {
    std::string sForm;
    if (v.size() == 4 && v[2] == "--form") sForm = v[3];
    else if (v.size() != 2) return usageError("docs DB [--form FORM]");
    std::vector<NOTEID> vIds;
    api().NSFDbGetNoteIds(db.h, NOTE_CLASS_DOCUMENT, &vIds);
    for (NOTEID id : vIds) {
      NOTEHANDLE h = 0;
      if (api().NSFNoteOpen(db.h, id, 0, &h) != NOERROR) continue;
      std::string sDocForm = itemAsText(api(), h, "Form");
      if (sForm.empty() || wildcardMatch(sDocForm, sForm)) {
        std::printf("0x%X\n", id);
        printItems(h, "  ");
      }
      api().NSFNoteClose(h);
    }
    return 0;
  }
  if (sCommand == "add" || sCommand == "set" || sCommand == "unset") {
    NOTEHANDLE h = 0;
    std::size_t nFirst;
    if (sCommand == "add") {
      if (v.size() < 4 || v[2] != "--form") return usageError("add DB --form FORM ITEM...");
      api().NSFNoteCreate(db.h, &h);
      setText(api(), h, "Form", v[3]);
      nFirst = 4;
    } else {
      NOTEID id = 0;
      if (v.size() < 4 || !parseNoteId(v[2], &id)) return usageError(sCommand + " DB NOTEID ...");
      if ((s = api().NSFNoteOpen(db.h, id, 0, &h)) != NOERROR) return failed("no document " + v[2], s);
      nFirst = 3;
    }
    for (std::size_t i = nFirst; i < v.size(); ++i) {
      std::string sError;
      if (sCommand == "unset") {
        if (api().NSFItemDelete(h, v[i].c_str()) != NOERROR) std::fprintf(stderr, "nsfdb: no item %s\n", v[i].c_str());
      } else if (!applyItem(h, v[i], &sError)) {
        api().NSFNoteClose(h);
        return usageError(sError);
      }
    }
    s = api().NSFNoteUpdate(h, 0);
    NOTEID id = 0;
    api().NSFNoteGetInfo(h, &id, nullptr);
    api().NSFNoteClose(h);
    if (s != NOERROR) return failed("cannot save the document", s);
    if (sCommand == "add") std::printf("0x%X\n", id);
    return 0;
  }
  if (sCommand == "remove") {
    NOTEID id = 0;
    if (v.size() != 3 || !parseNoteId(v[2], &id)) return usageError("remove DB NOTEID");
    if ((s = api().NSFNoteDelete(db.h, id, 0)) != NOERROR) return failed("cannot remove " + v[2], s);
    return 0;
  }
  return usageError("unknown command " + sCommand);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> v(argv + 1, argv + argc);
  if (v.empty()) return usageError("missing command");
  if (v[0] == "--help" || v[0] == "-h" || v[0] == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  static const char* const kCommands[] = {"create", "title", "replica", "views", "entries", "docs",
                                          "agents", "add",   "set",     "unset", "remove"};
  bool bKnown = false;
  for (const char* p : kCommands) bKnown = bKnown || v[0] == p;
  if (!bKnown) return usageError("unknown command " + v[0]);
  STATUS s = api().NotesInit();
  if (s != NOERROR) {
    std::fprintf(stderr, "nsfdb: %s\n", statusText(api(), s).c_str());
    return 1;
  }
  int nRc = run(v);
  api().NotesTerm();
  return nRc;
}
