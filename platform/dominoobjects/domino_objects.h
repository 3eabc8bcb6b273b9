// The Domino objects as the installer uses them: session, database, view,
// document and agent, over the Notes runtime (platform/notes) and the same
// databases and notes.ini.
//
// A failing call throws DominoError with the platform's text, except where
// an operation says it returns none (nullptr) or false. Objects handed out
// keep what they need open (a database stays open while any view, document
// or agent of it lives); they are used from one thread.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "notes/notes_api.h"

namespace domino {

class DominoError : public std::runtime_error {
 public:
  DominoError(int nCode, const std::string& sText) : std::runtime_error(sText), m_nCode(nCode) {}
  int code() const { return m_nCode; }

 private:
  int m_nCode;
};

class IAgent {
 public:
  virtual ~IAgent() = default;
  virtual std::string name() = 0;
  // 1 = scheduled (notes::AGENT_TRIGGER_SCHEDULED).
  virtual int trigger() = 0;
  virtual bool isEnabled() = 0;
  // Takes effect on save().
  virtual void setEnabled(bool bEnabled) = 0;
  virtual void save() = 0;
};

class IDocument {
 public:
  virtual ~IDocument() = default;
  // Sets NAME to the text VALUE (replacing any value and type).
  virtual void replaceItemValue(const std::string& sName, const std::string& sValue) = 0;
  // The item as text ("" when absent; list entries joined with ", ").
  virtual std::string getItemValueString(const std::string& sName) = 0;
  // Stores the document. True when saved, false when the store refused.
  virtual bool save(bool bForce, bool bMakeResponse, bool bMarkRead) = 0;
};

class IView {
 public:
  virtual ~IView() = default;
  // The first document, in view order, whose first sorted item equals KEY
  // (case ignored); with bExact false a leading match is enough. nullptr
  // when none.
  virtual std::shared_ptr<IDocument> getDocumentByKey(const std::string& sKey, bool bExact) = 0;
};

class IDatabase {
 public:
  virtual ~IDatabase() = default;
  // True for a public Domino Directory (a database with the view "($Users)").
  virtual bool isPublicAddressBook() = 0;
  virtual std::string title() = 0;
  virtual void setTitle(const std::string& sTitle) = 0;
  // The path as opened (relative to the data folder when given so); what
  // NSFDbOpen accepts.
  virtual std::string filePath() = 0;
  // Sixteen upper-case hexadecimal digits.
  virtual std::string replicaId() = 0;
  // Agents in note order, possibly none.
  virtual std::vector<std::shared_ptr<IAgent>> agents() = 0;
  // Creates PATH from this database as a template. nullptr when it cannot
  // be created (it exists, or the folder is not writable).
  virtual std::shared_ptr<IDatabase> createFromTemplate(const std::string& sServer, const std::string& sPath,
                                                        bool bInherit, int nMaxSize) = 0;
  // The view of that title or alias, or nullptr.
  virtual std::shared_ptr<IView> getView(const std::string& sName) = 0;
};

class ISession {
 public:
  virtual ~ISession() = default;
  // Starts the Notes runtime (the server's own ID; the password is unused).
  virtual void initialize(const std::string& sPassword) = 0;
  // notes.ini: with bSystem the name is used as given, otherwise "$" is put
  // in front, as the Domino objects do. "" when unset.
  virtual std::string getEnvironmentString(const std::string& sName, bool bSystem) = 0;
  virtual void setEnvironmentVar(const std::string& sName, const std::string& sValue, bool bSystem) = 0;
  // Carries out a console command on the stand-in server; returns the reply.
  virtual std::string sendConsoleCommand(const std::string& sServer, const std::string& sCommand) = 0;
  // Opens a database of the local server (SERVER must be empty). nullptr when
  // it does not exist; with bCreateOnFail a missing one is created.
  virtual std::shared_ptr<IDatabase> getDatabase(const std::string& sServer, const std::string& sPath,
                                                 bool bCreateOnFail) = 0;
  // The directories named by notes.ini "names" (default names.nsf) that
  // exist, in that order.
  virtual std::vector<std::shared_ptr<IDatabase>> addressBooks() = 0;
};

// Creates a session for the ProgID "Lotus.NotesSession" (case ignored); another ProgID
// throws DominoError. API is the Notes runtime it works over.
std::unique_ptr<ISession> createSession(const std::string& sProgId, notes::INotesApi& api = notes::notesApi());

}  // namespace domino
