// A temporary stand-in server for one test: its own folder with notes.ini
// and a data folder, NOTES_INI pointing at it, the runtime started.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "notes/notes_api.h"

namespace notes::testing {

inline std::string readFile(const std::string& sPath) {
  std::ifstream in(sPath, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class TempServer {
 public:
  TempServer() {
    char aTemplate[] = "/tmp/prl-notes-XXXXXX";
    m_sRoot = ::mkdtemp(aTemplate);
    std::filesystem::create_directories(m_sRoot + "/data");
    std::ofstream(m_sRoot + "/notes.ini", std::ios::binary)
        << "[Notes]\r\nDirectory=" << m_sRoot << "/data\r\nServername=CN=Test/O=Org\r\n";
    ::setenv("NOTES_INI", (m_sRoot + "/notes.ini").c_str(), 1);
  }
  ~TempServer() {
    std::error_code ec;
    std::filesystem::remove_all(m_sRoot, ec);
  }
  const std::string& root() const { return m_sRoot; }
  std::string data() const { return m_sRoot + "/data"; }
  std::string ini() const { return m_sRoot + "/notes.ini"; }

 private:
  std::string m_sRoot;
};

class NotesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(api.NotesInit(), NOERROR); }
  void TearDown() override {
    setReadEntriesLimit(64000);
    api.NotesTerm();
  }

  // A new database in the data folder, opened.
  DBHANDLE newDb(const std::string& sName, const std::string& sTitle = "Test") {
    EXPECT_EQ(api.NSFDbCreate(sName.c_str(), sTitle.c_str()), NOERROR);
    DBHANDLE h = 0;
    EXPECT_EQ(api.NSFDbOpen(sName.c_str(), &h), NOERROR);
    return h;
  }

  // A document with text items (and the Form), stored; returns its id.
  NOTEID addDoc(DBHANDLE hDb, const std::string& sForm,
                const std::vector<std::pair<std::string, std::string>>& vTexts,
                const std::vector<std::pair<std::string, std::vector<std::string>>>& vLists = {}) {
    NOTEHANDLE h = 0;
    EXPECT_EQ(api.NSFNoteCreate(hDb, &h), NOERROR);
    setText(api, h, "Form", sForm);
    for (auto& [k, v] : vTexts) setText(api, h, k, v);
    for (auto& [k, v] : vLists) setTextList(api, h, k, v);
    EXPECT_EQ(api.NSFNoteUpdate(h, 0), NOERROR);
    NOTEID id = 0;
    api.NSFNoteGetInfo(h, &id, nullptr);
    api.NSFNoteClose(h);
    return id;
  }

  TempServer server;
  INotesApi& api = notesApi();
};

}  // namespace notes::testing
