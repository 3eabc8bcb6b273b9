// The Notes stand-in against plain SQLite, measured in the same run:
//  - reading a 10,000-document view through the batch interface (index
//    build included, and the batches alone) against a plain SELECT of the
//    same rows and items from a table in the same kind of file;
//  - building the names list of a user in 200 groups nested three deep
//    (absolute time; the goal is under 1 ms).
// Prints the ratios after Google Benchmark's own table.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "notes/notes_api.h"

using namespace notes;

namespace {

constexpr int kDocs = 10000;
std::string g_sRoot;
NOTEID g_viewId = 0;
DBHANDLE g_hDb = 0;
sqlite3* g_pPlain = nullptr;

std::string ruleName(int i) {
  char a[32];
  std::snprintf(a, sizeof a, "rule %05d", (i * 7919) % kDocs);  // inserted out of order
  return a;
}

void setUp() {
  char aTemplate[] = "/tmp/prl-notes-bench-XXXXXX";
  g_sRoot = ::mkdtemp(aTemplate);
  std::filesystem::create_directories(g_sRoot + "/data");
  std::ofstream(g_sRoot + "/notes.ini", std::ios::binary) << "[Notes]\r\nDirectory=" << g_sRoot << "/data\r\n";
  ::setenv("NOTES_INI", (g_sRoot + "/notes.ini").c_str(), 1);
  INotesApi& api = notesApi();
  api.NotesInit();
  api.NSFDbCreate("prlconfig.nsf", "Bench");
  api.NSFDbOpen("prlconfig.nsf", &g_hDb);
  createView(api, g_hDb,
             {"$vwWall", {"Rule"}, {"rule.name"}, {"rule.name", "rule.from", "rule.to", "rule.message", "rule.access"}},
             &g_viewId);
  sqlite3_open((g_sRoot + "/data/plain.db").c_str(), &g_pPlain);
  sqlite3_exec(g_pPlain,
               "PRAGMA journal_mode=WAL; CREATE TABLE rules(id INTEGER PRIMARY KEY, form TEXT, name TEXT, from_list "
               "BLOB, to_text TEXT, message TEXT, access TEXT); BEGIN",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* pInsert = nullptr;
  sqlite3_prepare_v2(g_pPlain, "INSERT INTO rules VALUES(?,?,?,?,?,?,?)", -1, &pInsert, nullptr);
  for (int i = 0; i < kDocs; ++i) {
    std::string sName = ruleName(i), sMessage = "Chats with %s have been prohibited by your administrator.";
    std::vector<std::string> vFrom = {"CN=User " + std::to_string(i) + "/O=Org", "*/OU=Sales/O=Org"};
    NOTEHANDLE h = 0;
    api.NSFNoteCreate(g_hDb, &h);
    setText(api, h, "Form", "Rule");
    setText(api, h, "rule.name", sName);
    setTextList(api, h, "rule.from", vFrom);
    setText(api, h, "rule.to", "*");
    setText(api, h, "rule.message", sMessage);
    setText(api, h, "rule.access", "0");
    api.NSFNoteUpdate(h, 0);
    api.NSFNoteClose(h);
    std::string sFrom = encodeTextList(vFrom);
    sqlite3_bind_int(pInsert, 1, i + 1);
    sqlite3_bind_text(pInsert, 2, "Rule", -1, SQLITE_STATIC);
    sqlite3_bind_text(pInsert, 3, sName.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(pInsert, 4, sFrom.data(), static_cast<int>(sFrom.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(pInsert, 5, "*", -1, SQLITE_STATIC);
    sqlite3_bind_text(pInsert, 6, sMessage.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(pInsert, 7, "0", -1, SQLITE_STATIC);
    sqlite3_step(pInsert);
    sqlite3_reset(pInsert);
  }
  sqlite3_finalize(pInsert);
  sqlite3_exec(g_pPlain, "COMMIT; CREATE INDEX rules_form ON rules(form)", nullptr, nullptr, nullptr);

  // The directory: a user in 100 groups directly, 70 more through them, 30
  // more through those (200 groups, nested three deep), among 1000 others.
  api.NSFDbCreate("names.nsf", "Directory");
  DBHANDLE hNames = 0;
  api.NSFDbOpen("names.nsf", &hNames);
  auto addDoc = [&](const std::string& sForm, const std::string& sNameItem, const std::string& sName,
                    const std::vector<std::string>& vMembers) {
    NOTEHANDLE h = 0;
    api.NSFNoteCreate(hNames, &h);
    setText(api, h, "Form", sForm);
    if (sForm == "Person") {
      setTextList(api, h, "FullName", {sName});
    } else {
      setText(api, h, sNameItem, sName);
      setTextList(api, h, "Members", vMembers);
    }
    api.NSFNoteUpdate(h, 0);
    api.NSFNoteClose(h);
  };
  addDoc("Person", "", "CN=Bench User/OU=Sales/O=Org", {});
  for (int i = 0; i < 100; ++i) addDoc("Group", "ListName", "L1-" + std::to_string(i), {"CN=Bench User/OU=Sales/O=Org"});
  for (int i = 0; i < 70; ++i) addDoc("Group", "ListName", "L2-" + std::to_string(i), {"L1-" + std::to_string(i)});
  for (int i = 0; i < 30; ++i) addDoc("Group", "ListName", "L3-" + std::to_string(i), {"L2-" + std::to_string(i)});
  for (int i = 0; i < 1000; ++i) addDoc("Group", "ListName", "Other-" + std::to_string(i), {"CN=Someone/O=Else"});
  api.NSFDbClose(hNames);
}

void tearDown() {
  sqlite3_close(g_pPlain);
  notesApi().NSFDbClose(g_hDb);
  notesApi().NotesTerm();
  std::error_code ec;
  std::filesystem::remove_all(g_sRoot, ec);
}

void BM_PlainSelect(benchmark::State& state) {
  sqlite3_stmt* p = nullptr;
  sqlite3_prepare_v2(g_pPlain,
                     "SELECT id, name, from_list, to_text, message, access FROM rules WHERE form='Rule' ORDER BY name",
                     -1, &p, nullptr);
  for (auto _ : state) {
    std::size_t nBytes = 0, nRows = 0;
    while (sqlite3_step(p) == SQLITE_ROW) {
      ++nRows;
      nBytes += static_cast<std::size_t>(sqlite3_column_int(p, 0));
      for (int c = 1; c <= 5; ++c) {
        const void* pv = sqlite3_column_blob(p, c);
        nBytes += static_cast<std::size_t>(sqlite3_column_bytes(p, c)) + (pv ? 1 : 0);
      }
    }
    sqlite3_reset(p);
    if (nRows != kDocs) state.SkipWithError("wrong row count");
    benchmark::DoNotOptimize(nBytes);
  }
  sqlite3_finalize(p);
}

// Reads every batch, locating the five summary values of every entry.
std::size_t readView(INotesApi& api, HCOLLECTION hColl) {
  static const char* const kItems[] = {"rule.name", "rule.from", "rule.to", "rule.message", "rule.access"};
  COLLECTIONPOSITION pos{};
  pos.Tumbler[0] = 1;
  WORD nSignal = 0;
  std::size_t nBytes = 0, nEntries = 0;
  do {
    DHANDLE hBuf = 0;
    DWORD nReturned = 0;
    api.NIFReadEntries(hColl, &pos, NAVIGATE_NEXT, 0, NAVIGATE_NEXT, MAXDWORD, READ_MASK_NOTEID | READ_MASK_SUMMARY,
                       &hBuf, nullptr, nullptr, &nReturned, &nSignal);
    if (!hBuf) break;
    const char* p = static_cast<const char*>(api.OSLockObject(hBuf));
    for (DWORD i = 0; i < nReturned; ++i) {
      NOTEID id;
      std::memcpy(&id, p, 4);
      nBytes += id;
      for (const char* pItem : kItems) {
        const char* pValue = nullptr;
        WORD nLen = 0, nType = 0;
        if (api.NSFLocateSummaryValue(p + 4, pItem, &pValue, &nLen, &nType)) nBytes += nLen + 1;
      }
      WORD nTable;
      std::memcpy(&nTable, p + 4, 2);
      p += 4 + nTable;
      ++nEntries;
    }
    api.OSUnlockObject(hBuf);
    api.OSMemFree(hBuf);
  } while (nSignal & SIGNAL_MORE_TO_DO);
  return nEntries == kDocs ? nBytes : 0;
}

void BM_ViewOpenAndRead(benchmark::State& state) {
  INotesApi& api = notesApi();
  for (auto _ : state) {
    HCOLLECTION hColl = 0;
    api.NIFOpenCollection(g_hDb, g_hDb, g_viewId, 0, &hColl);  // builds the index
    api.NIFUpdateCollection(hColl);
    std::size_t n = readView(api, hColl);
    api.NIFCloseCollection(hColl);
    if (!n) state.SkipWithError("wrong entry count");
    benchmark::DoNotOptimize(n);
  }
}

void BM_ViewReadBatches(benchmark::State& state) {
  INotesApi& api = notesApi();
  HCOLLECTION hColl = 0;
  api.NIFOpenCollection(g_hDb, g_hDb, g_viewId, 0, &hColl);
  for (auto _ : state) {
    api.NIFUpdateCollection(hColl);
    std::size_t n = readView(api, hColl);
    if (!n) state.SkipWithError("wrong entry count");
    benchmark::DoNotOptimize(n);
  }
  api.NIFCloseCollection(hColl);
}

void BM_NamesList200Groups(benchmark::State& state) {
  INotesApi& api = notesApi();
  for (auto _ : state) {
    DHANDLE h = 0;
    if (api.NSFBuildNamesList("CN=Bench User/OU=Sales/O=Org", 0, &h) != NOERROR) state.SkipWithError("failed");
    NAMES_LIST header;
    std::memcpy(&header, api.OSLockObject(h), sizeof header);
    if (header.NumNames != 4 + 200) state.SkipWithError("wrong names count");
    api.OSMemFree(h);
  }
}

BENCHMARK(BM_PlainSelect)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ViewOpenAndRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ViewReadBatches)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NamesList200Groups)->Unit(benchmark::kMicrosecond);

// Keeps each benchmark's time per iteration (nanoseconds) for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& vRuns) override {
    ConsoleReporter::ReportRuns(vRuns);
    for (const Run& r : vRuns)
      if (r.run_type == Run::RT_Iteration && !r.error_occurred)
        m_mNs[r.run_name.function_name] = r.GetAdjustedRealTime() * unitNs(r.time_unit);
  }
  double ns(const std::string& sName) const {
    auto it = m_mNs.find(sName);
    return it == m_mNs.end() ? 0 : it->second;
  }

 private:
  static double unitNs(benchmark::TimeUnit u) {
    switch (u) {
      case benchmark::kSecond:
        return 1e9;
      case benchmark::kMillisecond:
        return 1e6;
      case benchmark::kMicrosecond:
        return 1e3;
      default:
        return 1;
    }
  }
  std::map<std::string, double> m_mNs;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  setUp();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double dPlain = reporter.ns("BM_PlainSelect");
  if (dPlain > 0) {
    std::printf("\nView of %d documents against a plain SQLite select of the same rows and items (goal: within 2x):\n",
                kDocs);
    std::printf("  open (index build) + read, ratio %.2f\n", reporter.ns("BM_ViewOpenAndRead") / dPlain);
    std::printf("  read batches only,          ratio %.2f\n", reporter.ns("BM_ViewReadBatches") / dPlain);
  }
  std::printf("Names list, user in 200 groups nested three deep: %.1f us (goal: under 1000 us)\n",
              reporter.ns("BM_NamesList200Groups") / 1e3);
  tearDown();
  benchmark::Shutdown();
  return 0;
}
