// Views: selection, order, batched reading with the more-signal, summary
// values and text lists, and the view and database times.
#include <cstring>
#include <thread>

#include "notes_fixture.h"

namespace notes::testing {
namespace {

struct Entry {
  NOTEID id;
  std::string sName;
  WORD nFromType;
  std::vector<std::string> vFrom;
};

class ViewTest : public NotesTest {
 protected:
  void SetUp() override {
    NotesTest::SetUp();
    hDb = newDb("prlconfig.nsf");
    ASSERT_EQ(createView(api, hDb, {"Wall|$vwWall", {"Rule"}, {"rule.name"}, {"rule.name", "rule.from", "rule.to"}},
                         &viewId),
              NOERROR);
  }
  void TearDown() override {
    if (hColl) api.NIFCloseCollection(hColl);
    api.NSFDbClose(hDb);
    NotesTest::TearDown();
  }

  void open() {
    NOTEID found = 0;
    ASSERT_EQ(api.NIFFindDesignNoteExt(hDb, "$vwWall", NOTE_CLASS_VIEW, "-G40n^", &found), NOERROR);
    ASSERT_EQ(found, viewId);
    ASSERT_EQ(api.NIFOpenCollection(hDb, hDb, viewId, 0, &hColl), NOERROR);
  }

  // Reads the whole view the way the rule store does; counts the batches.
  std::vector<Entry> readAll(int* pBatches) {
    std::vector<Entry> v;
    COLLECTIONPOSITION pos{};
    pos.Tumbler[0] = 1;
    WORD nSignal = 0;
    *pBatches = 0;
    do {
      DHANDLE hBuf = 0;
      DWORD nReturned = 0;
      WORD nLen = 0;
      EXPECT_EQ(api.NIFReadEntries(hColl, &pos, NAVIGATE_NEXT, 0, NAVIGATE_NEXT, MAXDWORD,
                                   READ_MASK_NOTEID | READ_MASK_SUMMARY, &hBuf, &nLen, nullptr, &nReturned, &nSignal),
                NOERROR);
      if (!hBuf) break;
      ++*pBatches;
      const char* p = static_cast<const char*>(api.OSLockObject(hBuf));
      const char* pEnd = p + nLen;
      for (DWORD i = 0; i < nReturned; ++i) {
        Entry e{};
        std::memcpy(&e.id, p, 4);
        const char* pSummary = p + 4;
        WORD nTable = 0;
        std::memcpy(&nTable, pSummary, 2);
        const char* pValue = nullptr;
        WORD nValueLen = 0, nType = 0;
        if (api.NSFLocateSummaryValue(pSummary, "rule.name", &pValue, &nValueLen, &nType))
          e.sName.assign(pValue, nValueLen);
        if (api.NSFLocateSummaryValue(pSummary, "RULE.FROM", &pValue, &nValueLen, &nType)) {
          e.nFromType = nType;
          if (nType == TYPE_TEXT) {
            e.vFrom.emplace_back(pValue, nValueLen);
          } else {
            WORD nCount = api.ListGetNumEntries(pValue, false);
            for (WORD k = 0; k < nCount; ++k) {
              char* pText = nullptr;
              WORD nTextLen = 0;
              EXPECT_EQ(api.ListGetText(pValue, false, k, &pText, &nTextLen), NOERROR);
              e.vFrom.emplace_back(pText, nTextLen);
            }
            char* pText = nullptr;
            EXPECT_EQ(api.ListGetText(pValue, false, nCount, &pText, &nValueLen), ERR_LIST_INDEX);
          }
        }
        v.push_back(e);
        p = pSummary + nTable;
      }
      EXPECT_EQ(p, pEnd);  // entries fill the buffer exactly
      api.OSUnlockObject(hBuf);
      api.OSMemFree(hBuf);
    } while (nSignal & SIGNAL_MORE_TO_DO);
    return v;
  }

  TIMEDATE viewTime() {
    TIMEDATE td{};
    EXPECT_EQ(api.NIFGetLastModifiedTime(hColl, &td), NOERROR);
    return td;
  }
  TIMEDATE dataTime() {
    TIMEDATE td{};
    EXPECT_EQ(api.NSFDbModifiedTime(hDb, &td, nullptr), NOERROR);
    return td;
  }

  DBHANDLE hDb = 0;
  NOTEID viewId = 0;
  HCOLLECTION hColl = 0;
};

TEST_F(ViewTest, BatchesWithMoreSignalReturnEverySelectedEntryInOrder) {
  for (int i = 59; i >= 0; --i) {
    char aName[16];
    std::snprintf(aName, sizeof aName, "rule %02d", i);
    if (i % 2)
      addDoc(hDb, "Rule", {{"rule.name", aName}, {"rule.from", "CN=Single/O=Org"}, {"rule.to", "*"}});
    else
      addDoc(hDb, "Rule", {{"rule.name", aName}, {"rule.to", "*"}}, {{"rule.from", {"A*", "", "CN=B/O=Org"}}});
  }
  addDoc(hDb, "Disclaimer", {{"rule.name", "not shown"}});
  open();
  for (DWORD nLimit : {64000u, 700u, 1u}) {
    setReadEntriesLimit(nLimit);
    int nBatches = 0;
    std::vector<Entry> v = readAll(&nBatches);
    ASSERT_EQ(v.size(), 60u) << nLimit;
    if (nLimit == 64000u) {
      EXPECT_EQ(nBatches, 1);
    } else if (nLimit == 700u) {
      EXPECT_GT(nBatches, 3);
    } else {
      EXPECT_EQ(nBatches, 60);  // one entry even when it exceeds the limit
    }
    for (int i = 0; i < 60; ++i) {
      char aName[16];
      std::snprintf(aName, sizeof aName, "rule %02d", i);
      EXPECT_EQ(v[i].sName, aName);
      if (i % 2) {
        EXPECT_EQ(v[i].nFromType, TYPE_TEXT);
        EXPECT_EQ(v[i].vFrom, std::vector<std::string>{"CN=Single/O=Org"});
      } else {
        EXPECT_EQ(v[i].nFromType, TYPE_TEXT_LIST);
        EXPECT_EQ(v[i].vFrom, (std::vector<std::string>{"A*", "", "CN=B/O=Org"}));
      }
    }
  }
}

TEST_F(ViewTest, EmptyViewReturnsNoBufferAndNoMoreSignal) {
  addDoc(hDb, "Other", {{"rule.name", "x"}});
  open();
  COLLECTIONPOSITION pos{};
  DHANDLE hBuf = 123;
  DWORD nReturned = 9;
  WORD nSignal = 0xFF;
  ASSERT_EQ(api.NIFReadEntries(hColl, &pos, NAVIGATE_NEXT, 0, NAVIGATE_NEXT, MAXDWORD,
                               READ_MASK_NOTEID | READ_MASK_SUMMARY, &hBuf, nullptr, nullptr, &nReturned, &nSignal),
            NOERROR);
  EXPECT_EQ(hBuf, NULLHANDLE);
  EXPECT_EQ(nReturned, 0u);
  EXPECT_EQ(nSignal, 0);
}

TEST_F(ViewTest, ViewTimeMovesOnlyForNotesItShowsOrShowed) {
  NOTEID rule = addDoc(hDb, "Rule", {{"rule.name", "a"}});
  open();
  TIMEDATE v0 = viewTime(), d0 = dataTime();

  NOTEID other = addDoc(hDb, "Person", {{"FullName", "x"}});
  TIMEDATE v1 = viewTime(), d1 = dataTime();
  EXPECT_EQ(api.TimeDateCompare(&v1, &v0), 0) << "a document outside the view";
  EXPECT_EQ(api.TimeDateCompare(&d1, &d0), 1) << "the database's data time moves with any note";

  // Changing a document in the view, in the same hundredth as the last
  // change, still moves both times.
  NOTEHANDLE h = 0;
  ASSERT_EQ(api.NSFNoteOpen(hDb, rule, 0, &h), NOERROR);
  setText(api, h, "rule.name", "b");
  ASSERT_EQ(api.NSFNoteUpdate(h, 0), NOERROR);
  TIMEDATE v2 = viewTime(), d2 = dataTime();
  EXPECT_EQ(api.TimeDateCompare(&v2, &v1), 1);
  EXPECT_EQ(api.TimeDateCompare(&d2, &d1), 1);

  // Moving it out of the view is a change the view shows.
  setText(api, h, "Form", "Retired");
  ASSERT_EQ(api.NSFNoteUpdate(h, 0), NOERROR);
  api.NSFNoteClose(h);
  TIMEDATE v3 = viewTime();
  EXPECT_EQ(api.TimeDateCompare(&v3, &v2), 1);
  // ...and later changes to it are not.
  ASSERT_EQ(api.NSFNoteOpen(hDb, rule, 0, &h), NOERROR);
  setText(api, h, "rule.name", "c");
  api.NSFNoteUpdate(h, 0);
  api.NSFNoteClose(h);
  TIMEDATE v4 = viewTime();
  EXPECT_EQ(api.TimeDateCompare(&v4, &v3), 0);

  EXPECT_EQ(api.NSFNoteDelete(hDb, other, 0), NOERROR);
  TIMEDATE v5 = viewTime();
  EXPECT_EQ(api.TimeDateCompare(&v5, &v4), 0);
  NOTEID r2 = addDoc(hDb, "Rule", {{"rule.name", "d"}});
  TIMEDATE v6 = viewTime();
  EXPECT_EQ(api.TimeDateCompare(&v6, &v5), 1);
  EXPECT_EQ(api.NSFNoteDelete(hDb, r2, 0), NOERROR);
  TIMEDATE v7 = viewTime();
  EXPECT_EQ(api.TimeDateCompare(&v7, &v6), 1) << "deleting a shown document";
}

TEST_F(ViewTest, UpdateCollectionPicksUpChangesFromAnotherHandle) {
  addDoc(hDb, "Rule", {{"rule.name", "b"}});
  open();
  DBHANDLE hOther = 0;  // another connection, as another process would write
  ASSERT_EQ(api.NSFDbOpen("prlconfig.nsf", &hOther), NOERROR);
  addDoc(hOther, "Rule", {{"rule.name", "a"}});
  api.NSFDbClose(hOther);
  int nBatches = 0;
  EXPECT_EQ(readAll(&nBatches).size(), 1u) << "the index is as of the last update";
  ASSERT_EQ(api.NIFUpdateCollection(hColl), NOERROR);
  std::vector<Entry> v = readAll(&nBatches);
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[0].sName, "a");
}

TEST_F(ViewTest, OpenViewSurvivesADesignRefresh) {
  addDoc(hDb, "Rule", {{"rule.name", "a"}, {"rule.from", "x"}});
  open();
  TIMEDATE v0 = viewTime();
  DBHANDLE hTemplate = newDb("prlconfig.ntf");
  createView(api, hTemplate, {"Wall|$vwWall", {"Rule"}, {"rule.name"}, {"rule.name"}}, nullptr);  // fewer items
  createView(api, hTemplate, {"New", {}, {}, {}}, nullptr);
  ASSERT_EQ(api.DesignReplace(hTemplate, hDb, 1, 1, nullptr, nullptr), NOERROR);
  api.NSFDbClose(hTemplate);
  NOTEID found = 0;
  ASSERT_EQ(api.NIFFindDesignNoteExt(hDb, "$vwWall", NOTE_CLASS_VIEW, "-G40n^", &found), NOERROR);
  EXPECT_EQ(found, viewId) << "the view kept its note id";
  EXPECT_EQ(api.NIFFindDesignNoteExt(hDb, "New", NOTE_CLASS_VIEW, "-G40n^", &found), NOERROR);
  TIMEDATE v1 = viewTime();
  EXPECT_EQ(api.TimeDateCompare(&v1, &v0), 1) << "a design change is a change of the view";
  ASSERT_EQ(api.NIFUpdateCollection(hColl), NOERROR);
  int nBatches = 0;
  std::vector<Entry> v = readAll(&nBatches);
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].sName, "a");
  EXPECT_TRUE(v[0].vFrom.empty()) << "rule.from is no longer a summary item";
}

TEST_F(ViewTest, SortDescendingAndNumbersAndSkip) {
  NOTEID v2 = 0;
  ASSERT_EQ(createView(api, hDb, {"ByCount", {"Rule"}, {"-Count"}, {"Count"}}, &v2), NOERROR);
  for (double d : {3.0, 10.0, 1.0}) {
    NOTEHANDLE h = 0;
    api.NSFNoteCreate(hDb, &h);
    setText(api, h, "Form", "Rule");
    setNumber(api, h, "Count", d);
    api.NSFNoteUpdate(h, 0);
    api.NSFNoteClose(h);
  }
  ASSERT_EQ(api.NIFOpenCollection(hDb, hDb, v2, 0, &hColl), NOERROR);
  COLLECTIONPOSITION pos{};
  DHANDLE hBuf = 0;
  DWORD nReturned = 0, nSkipped = 0;
  ASSERT_EQ(api.NIFReadEntries(hColl, &pos, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, MAXDWORD, READ_MASK_SUMMARY, &hBuf,
                               nullptr, &nSkipped, &nReturned, nullptr),
            NOERROR);
  EXPECT_EQ(nSkipped, 1u);
  ASSERT_EQ(nReturned, 2u);
  const char* p = static_cast<const char*>(api.OSLockObject(hBuf));
  std::vector<double> v;
  for (int i = 0; i < 2; ++i) {
    const char* pValue = nullptr;
    WORD nLen = 0, nType = 0;
    ASSERT_TRUE(api.NSFLocateSummaryValue(p, "Count", &pValue, &nLen, &nType));
    EXPECT_EQ(nType, TYPE_NUMBER);
    double d;
    std::memcpy(&d, pValue, sizeof d);
    v.push_back(d);
    WORD nTable;
    std::memcpy(&nTable, p, 2);
    p += nTable;
  }
  api.OSMemFree(hBuf);
  EXPECT_EQ(v, (std::vector<double>{3.0, 1.0}));
}

TEST_F(NotesTest, TextListsMadeAndCopied) {
  DHANDLE hList = 0;
  WORD nSize = 0;
  ASSERT_EQ(api.ListFromText("CN=A/O=Org", 10, &hList, &nSize), NOERROR);
  void* pList = api.OSLockObject(hList);
  EXPECT_EQ(api.ListGetNumEntries(pList, false), 1);
  char* pText = nullptr;
  WORD nLen = 0;
  ASSERT_EQ(api.ListGetText(pList, false, 0, &pText, &nLen), NOERROR);
  EXPECT_EQ(std::string(pText, nLen), "CN=A/O=Org");

  std::string sList = encodeTextList({"x", "yy", ""});
  DHANDLE hCopy = 0;
  ASSERT_EQ(api.ListCopy(sList.data(), &hCopy, &nSize), NOERROR);
  EXPECT_EQ(nSize, sList.size());
  sList.assign(sList.size(), '\0');  // the copy does not depend on the source
  void* pCopy = api.OSLockObject(hCopy);
  EXPECT_EQ(api.ListGetNumEntries(pCopy, false), 3);
  ASSERT_EQ(api.ListGetText(pCopy, false, 1, &pText, &nLen), NOERROR);
  EXPECT_EQ(std::string(pText, nLen), "yy");
  ASSERT_EQ(api.ListGetText(pCopy, false, 2, &pText, &nLen), NOERROR);
  EXPECT_EQ(nLen, 0);
  // With the data type prefix.
  std::string sPrefixed = std::string("\x01\x05", 2) + encodeTextList({"p", "q"});
  EXPECT_EQ(api.ListGetNumEntries(sPrefixed.data(), true), 2);
  ASSERT_EQ(api.ListGetText(sPrefixed.data(), true, 1, &pText, &nLen), NOERROR);
  EXPECT_EQ(std::string(pText, nLen), "q");
  EXPECT_EQ(api.OSMemFree(hList), NOERROR);
  EXPECT_EQ(api.OSMemFree(hCopy), NOERROR);
  EXPECT_EQ(api.OSMemFree(hCopy), ERR_INVALID_HANDLE);
  EXPECT_EQ(api.OSLockObject(hCopy), nullptr);
}

}  // namespace
}  // namespace notes::testing
