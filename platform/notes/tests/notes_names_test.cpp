// Names lists from names.nsf, and abbreviation.
#include <cstring>

#include "notes_fixture.h"

namespace notes::testing {
namespace {

class NamesTest : public NotesTest {
 protected:
  void SetUp() override {
    NotesTest::SetUp();
    hDb = newDb("names.nsf", "Directory");
    addDoc(hDb, "Person", {{"ShortName", "ada"}}, {{"FullName", {"CN=Ada Lovelace/OU=Sales/O=Acme", "Ada L"}}});
    addDoc(hDb, "Person", {}, {{"FullName", {"CN=Bob Byte/O=Acme"}}});
  }
  void TearDown() override {
    api.NSFDbClose(hDb);
    NotesTest::TearDown();
  }
  void group(const std::string& sName, const std::vector<std::string>& vMembers) {
    addDoc(hDb, "Group", {{"ListName", sName}}, {{"Members", vMembers}});
  }
  std::vector<std::string> names(const std::string& sUser, STATUS* pStatus = nullptr) {
    DHANDLE h = 0;
    STATUS s = api.NSFBuildNamesList(sUser.c_str(), 0, &h);
    if (pStatus) *pStatus = s;
    std::vector<std::string> v;
    if (s != NOERROR) return v;
    const char* p = static_cast<const char*>(api.OSLockObject(h));
    NAMES_LIST header;
    std::memcpy(&header, p, sizeof header);
    p += 14;
    for (WORD i = 0; i < header.NumNames; ++i) {
      v.emplace_back(p);
      p += v.back().size() + 1;
    }
    EXPECT_EQ(static_cast<DWORD>(p - static_cast<const char*>(api.OSLockObject(h))), api.OSMemGetSize(h));
    api.OSMemFree(h);
    return v;
  }
  DBHANDLE hDb = 0;
};

TEST_F(NamesTest, UserNameWildcardsAndNestedGroupsInOrder) {
  group("Sales", {"CN=Ada Lovelace/OU=Sales/O=Acme"});
  group("Europe", {"Sales", "CN=Nobody/O=Acme"});
  group("Everyone", {"Europe"});
  group("AcmeAll", {"*/O=Acme"});
  group("Unrelated", {"CN=Bob Byte/O=Acme"});
  std::vector<std::string> vExpected = {"CN=Ada Lovelace/OU=Sales/O=Acme",
                                        "Ada L",
                                        "*/OU=Sales/O=Acme",
                                        "*/O=Acme",
                                        "*",
                                        "Sales",
                                        "AcmeAll",
                                        "Europe",
                                        "Everyone"};
  // Canonical, abbreviated, case changed, short name: the same list.
  for (const char* pUser : {"CN=Ada Lovelace/OU=Sales/O=Acme", "Ada Lovelace/Sales/Acme",
                            "cn=ada lovelace/ou=sales/o=acme", "ada"})
    EXPECT_EQ(names(pUser), vExpected) << pUser;
}

TEST_F(NamesTest, UnknownUserGetsItsNameAndWildcards) {
  EXPECT_EQ(names("CN=Zed/O=Other"), (std::vector<std::string>{"CN=Zed/O=Other", "*/O=Other", "*"}));
  EXPECT_EQ(names("flatname"), (std::vector<std::string>{"flatname", "*"}));
}

TEST_F(NamesTest, CyclesEndAndEachGroupAppearsOnce) {
  group("A", {"CN=Bob Byte/O=Acme", "C"});
  group("B", {"A"});
  group("C", {"B"});
  EXPECT_EQ(names("CN=Bob Byte/O=Acme"),
            (std::vector<std::string>{"CN=Bob Byte/O=Acme", "*/O=Acme", "*", "A", "B", "C"}));
}

TEST_F(NamesTest, NestingBeyondTheLimitFailsWithStatus) {
  group("G1", {"CN=Bob Byte/O=Acme"});
  for (int i = 2; i <= kMaxGroupDepth; ++i) group("G" + std::to_string(i), {"G" + std::to_string(i - 1)});
  STATUS s = 0;
  EXPECT_EQ(names("CN=Bob Byte/O=Acme", &s).size(), 3u + kMaxGroupDepth);
  EXPECT_EQ(s, NOERROR);
  group("G" + std::to_string(kMaxGroupDepth + 1), {"G" + std::to_string(kMaxGroupDepth)});
  names("CN=Bob Byte/O=Acme", &s);
  EXPECT_EQ(s, ERR_NAMES_TOO_DEEP);
  EXPECT_FALSE(statusText(api, s).empty());
}

TEST_F(NamesTest, DirectoryChangesAreSeenByTheNextList) {
  EXPECT_EQ(names("CN=Bob Byte/O=Acme").size(), 3u);
  DBHANDLE hOther = 0;
  ASSERT_EQ(api.NSFDbOpen("names.nsf", &hOther), NOERROR);
  addDoc(hOther, "Group", {{"ListName", "Late"}}, {{"Members", {"CN=Bob Byte/O=Acme"}}});
  api.NSFDbClose(hOther);
  EXPECT_EQ(names("CN=Bob Byte/O=Acme").back(), "Late");
}

TEST_F(NamesTest, NamesNotesIniVariableChoosesTheDirectory) {
  api.NSFDbClose(newDb("other.nsf"));
  api.OSSetEnvironmentVariable("NAMES", "missing.nsf,names.nsf");
  STATUS s = 0;
  names("CN=Bob Byte/O=Acme", &s);
  EXPECT_EQ(s, ERR_NOEXIST);
  api.OSSetEnvironmentVariable("NAMES", "names.nsf,other.nsf");
  names("CN=Bob Byte/O=Acme", &s);
  EXPECT_EQ(s, NOERROR);
}

TEST_F(NotesTest, Abbreviate) {
  struct Case {
    const char* pIn;
    const char* pOut;
  } aCases[] = {
      {"CN=Ada Lovelace/OU=Sales/O=Acme", "Ada Lovelace/Sales/Acme"},
      {"cn=Bob/o=Acme/c=US", "Bob/Acme/US"},
      {"Ada Lovelace/Sales/Acme", "Ada Lovelace/Sales/Acme"},
      {"plain", "plain"},
      {"", ""},
  };
  for (const Case& c : aCases) {
    char aBuf[256];
    WORD n = 0;
    ASSERT_EQ(api.DNAbbreviate(0, nullptr, c.pIn, aBuf, sizeof aBuf, &n), NOERROR) << c.pIn;
    EXPECT_STREQ(aBuf, c.pOut);
    EXPECT_EQ(n, std::strlen(c.pOut));
  }
  char aSmall[4];
  EXPECT_EQ(api.DNAbbreviate(0, nullptr, "CN=Long/O=Org", aSmall, sizeof aSmall, nullptr), ERR_BUFFER_TOO_SMALL);
}

}  // namespace
}  // namespace notes::testing
