// Passes every call to another INotesApi. A test derives from it and
// overrides only the calls it needs to change or break.
#pragma once

#include "notes/notes_api.h"

namespace notes {

class ForwardingNotesApi : public INotesApi {
 public:
  explicit ForwardingNotesApi(INotesApi& inner) : m_rInner(inner) {}

  STATUS NotesInitExtended(int argc, char** argv) override { return m_rInner.NotesInitExtended(argc, argv); }
  STATUS NotesInit() override { return m_rInner.NotesInit(); }
  void NotesTerm() override { m_rInner.NotesTerm(); }
  WORD OSLoadString(HMODULE hModule, STATUS status, char* pBuffer, WORD nLen) override {
    return m_rInner.OSLoadString(hModule, status, pBuffer, nLen);
  }
  STATUS NSFDbOpen(const char* pPath, DBHANDLE* phDb) override { return m_rInner.NSFDbOpen(pPath, phDb); }
  STATUS NSFDbClose(DBHANDLE hDb) override { return m_rInner.NSFDbClose(hDb); }
  STATUS NSFDbCreate(const char* pPath, const char* pTitle) override { return m_rInner.NSFDbCreate(pPath, pTitle); }
  STATUS NSFDbCreateFromTemplate(const char* pTemplatePath, const char* pPath, bool bInherit) override {
    return m_rInner.NSFDbCreateFromTemplate(pTemplatePath, pPath, bInherit);
  }
  STATUS NSFDbTitleGet(DBHANDLE hDb, std::string* pTitle) override { return m_rInner.NSFDbTitleGet(hDb, pTitle); }
  STATUS NSFDbTitleSet(DBHANDLE hDb, const char* pTitle) override { return m_rInner.NSFDbTitleSet(hDb, pTitle); }
  STATUS NSFDbPathGet(DBHANDLE hDb, std::string* pCanonical, std::string* pExpanded) override {
    return m_rInner.NSFDbPathGet(hDb, pCanonical, pExpanded);
  }
  STATUS NSFDbModifiedTime(DBHANDLE hDb, TIMEDATE* pDataModified, TIMEDATE* pNonDataModified) override {
    return m_rInner.NSFDbModifiedTime(hDb, pDataModified, pNonDataModified);
  }
  STATUS NSFDbReplicaInfoGet(DBHANDLE hDb, DBREPLICAINFO* pInfo) override {
    return m_rInner.NSFDbReplicaInfoGet(hDb, pInfo);
  }
  STATUS NSFDbReplicaInfoSet(DBHANDLE hDb, const DBREPLICAINFO* pInfo) override {
    return m_rInner.NSFDbReplicaInfoSet(hDb, pInfo);
  }
  STATUS NSFDbSign(DBHANDLE hDb, WORD nNoteClassMask) override { return m_rInner.NSFDbSign(hDb, nNoteClassMask); }
  STATUS DesignReplace(DBHANDLE hTemplateDb, DBHANDLE hDb, DWORD dwFlags, DWORD dwFlags2, void* pReserved1,
                       void* pReserved2) override {
    return m_rInner.DesignReplace(hTemplateDb, hDb, dwFlags, dwFlags2, pReserved1, pReserved2);
  }
  STATUS NSFDbGetNoteIds(DBHANDLE hDb, WORD nNoteClassMask, std::vector<NOTEID>* pIds) override {
    return m_rInner.NSFDbGetNoteIds(hDb, nNoteClassMask, pIds);
  }
  STATUS NSFNoteCreate(DBHANDLE hDb, NOTEHANDLE* phNote) override { return m_rInner.NSFNoteCreate(hDb, phNote); }
  STATUS NSFNoteOpen(DBHANDLE hDb, NOTEID noteId, WORD nFlags, NOTEHANDLE* phNote) override {
    return m_rInner.NSFNoteOpen(hDb, noteId, nFlags, phNote);
  }
  STATUS NSFNoteUpdate(NOTEHANDLE hNote, WORD nFlags) override { return m_rInner.NSFNoteUpdate(hNote, nFlags); }
  STATUS NSFNoteClose(NOTEHANDLE hNote) override { return m_rInner.NSFNoteClose(hNote); }
  STATUS NSFNoteDelete(DBHANDLE hDb, NOTEID noteId, WORD nFlags) override {
    return m_rInner.NSFNoteDelete(hDb, noteId, nFlags);
  }
  STATUS NSFNoteGetInfo(NOTEHANDLE hNote, NOTEID* pNoteId, WORD* pNoteClass) override {
    return m_rInner.NSFNoteGetInfo(hNote, pNoteId, pNoteClass);
  }
  STATUS NSFNoteSetClass(NOTEHANDLE hNote, WORD nNoteClass) override {
    return m_rInner.NSFNoteSetClass(hNote, nNoteClass);
  }
  STATUS NSFItemSetValue(NOTEHANDLE hNote, const char* pName, WORD nType, const void* pValue, DWORD nLen) override {
    return m_rInner.NSFItemSetValue(hNote, pName, nType, pValue, nLen);
  }
  STATUS NSFItemGetValue(NOTEHANDLE hNote, const char* pName, WORD* pType, std::string* pValue) override {
    return m_rInner.NSFItemGetValue(hNote, pName, pType, pValue);
  }
  STATUS NSFItemDelete(NOTEHANDLE hNote, const char* pName) override { return m_rInner.NSFItemDelete(hNote, pName); }
  STATUS NSFItemNames(NOTEHANDLE hNote, std::vector<std::string>* pNames) override {
    return m_rInner.NSFItemNames(hNote, pNames);
  }
  STATUS NIFFindDesignNoteExt(DBHANDLE hDb, const char* pName, WORD nNoteClass, const char* pFlagsPattern,
                              NOTEID* pNoteId) override {
    return m_rInner.NIFFindDesignNoteExt(hDb, pName, nNoteClass, pFlagsPattern, pNoteId);
  }
  STATUS NIFOpenCollection(DBHANDLE hViewDb, DBHANDLE hDataDb, NOTEID viewNoteId, WORD nFlags,
                           HCOLLECTION* phCollection) override {
    return m_rInner.NIFOpenCollection(hViewDb, hDataDb, viewNoteId, nFlags, phCollection);
  }
  STATUS NIFUpdateCollection(HCOLLECTION hCollection) override { return m_rInner.NIFUpdateCollection(hCollection); }
  STATUS NIFCloseCollection(HCOLLECTION hCollection) override { return m_rInner.NIFCloseCollection(hCollection); }
  STATUS NIFReadEntries(HCOLLECTION hCollection, COLLECTIONPOSITION* pPos, WORD nSkipNavigator, DWORD nSkipCount,
                        WORD nReturnNavigator, DWORD nReturnCount, DWORD nReturnMask, DHANDLE* phBuffer,
                        WORD* pBufferLength, DWORD* pSkipped, DWORD* pReturned, WORD* pSignalFlags) override {
    return m_rInner.NIFReadEntries(hCollection, pPos, nSkipNavigator, nSkipCount, nReturnNavigator, nReturnCount,
                                   nReturnMask, phBuffer, pBufferLength, pSkipped, pReturned, pSignalFlags);
  }
  STATUS NIFGetLastModifiedTime(HCOLLECTION hCollection, TIMEDATE* pTime) override {
    return m_rInner.NIFGetLastModifiedTime(hCollection, pTime);
  }
  bool NSFLocateSummaryValue(const void* pSummary, const char* pName, const char** ppValue, WORD* pLen,
                             WORD* pType) override {
    return m_rInner.NSFLocateSummaryValue(pSummary, pName, ppValue, pLen, pType);
  }
  STATUS OSMemAlloc(DWORD nSize, DHANDLE* phMem) override { return m_rInner.OSMemAlloc(nSize, phMem); }
  void* OSLockObject(DHANDLE hMem) override { return m_rInner.OSLockObject(hMem); }
  void OSUnlockObject(DHANDLE hMem) override { m_rInner.OSUnlockObject(hMem); }
  STATUS OSMemFree(DHANDLE hMem) override { return m_rInner.OSMemFree(hMem); }
  DWORD OSMemGetSize(DHANDLE hMem) override { return m_rInner.OSMemGetSize(hMem); }
  STATUS ListFromText(const char* pText, WORD nLen, DHANDLE* phList, WORD* pListSize) override {
    return m_rInner.ListFromText(pText, nLen, phList, pListSize);
  }
  STATUS ListCopy(const void* pList, DHANDLE* phList, WORD* pListSize) override {
    return m_rInner.ListCopy(pList, phList, pListSize);
  }
  WORD ListGetNumEntries(const void* pList, bool bPrefixDataType) override {
    return m_rInner.ListGetNumEntries(pList, bPrefixDataType);
  }
  STATUS ListGetText(const void* pList, bool bPrefixDataType, WORD nEntry, char** ppText, WORD* pLen) override {
    return m_rInner.ListGetText(pList, bPrefixDataType, nEntry, ppText, pLen);
  }
  STATUS NSFBuildNamesList(const char* pUserName, DWORD nFlags, DHANDLE* phNamesList) override {
    return m_rInner.NSFBuildNamesList(pUserName, nFlags, phNamesList);
  }
  STATUS DNAbbreviate(DWORD nFlags, const char* pTemplate, const char* pName, char* pBuffer, WORD nBufLen,
                      WORD* pRetLen) override {
    return m_rInner.DNAbbreviate(nFlags, pTemplate, pName, pBuffer, nBufLen, pRetLen);
  }
  void OSCurrentTIMEDATE(TIMEDATE* pTime) override { m_rInner.OSCurrentTIMEDATE(pTime); }
  int TimeDateCompare(const TIMEDATE* pT1, const TIMEDATE* pT2) override { return m_rInner.TimeDateCompare(pT1, pT2); }
  std::int32_t TimeDateDifference(const TIMEDATE* pT1, const TIMEDATE* pT2) override {
    return m_rInner.TimeDateDifference(pT1, pT2);
  }
  STATUS ConvertTIMEDATEToText(const TIMEDATE* pTime, char* pBuffer, WORD nBufLen, WORD* pRetLen) override {
    return m_rInner.ConvertTIMEDATEToText(pTime, pBuffer, nBufLen, pRetLen);
  }
  void AddInQueryDefaults(HMODULE* phModule, DHANDLE* phStatusLine) override {
    m_rInner.AddInQueryDefaults(phModule, phStatusLine);
  }
  DHANDLE AddInCreateStatusLine(const char* pTaskName) override { return m_rInner.AddInCreateStatusLine(pTaskName); }
  void AddInDeleteStatusLine(DHANDLE hStatusLine) override { m_rInner.AddInDeleteStatusLine(hStatusLine); }
  void AddInSetDefaults(HMODULE hModule, DHANDLE hStatusLine) override {
    m_rInner.AddInSetDefaults(hModule, hStatusLine);
  }
  void AddInSetStatusText(const char* pText) override { m_rInner.AddInSetStatusText(pText); }
  void AddInLogMessageTextV(const char* pPattern, STATUS status, va_list args) override {
    m_rInner.AddInLogMessageTextV(pPattern, status, args);
  }
  void AddInLogErrorTextV(const char* pPattern, STATUS status, va_list args) override {
    m_rInner.AddInLogErrorTextV(pPattern, status, args);
  }
  bool AddInShouldTerminate() override { return m_rInner.AddInShouldTerminate(); }
  bool AddInSecondsHaveElapsed(DWORD nSeconds) override { return m_rInner.AddInSecondsHaveElapsed(nSeconds); }
  STATUS MQCreate(const char* pName, WORD nQuota, DWORD nOptions) override {
    return m_rInner.MQCreate(pName, nQuota, nOptions);
  }
  STATUS MQOpen(const char* pName, DWORD nOptions, MQHANDLE* phQueue) override {
    return m_rInner.MQOpen(pName, nOptions, phQueue);
  }
  STATUS MQClose(MQHANDLE hQueue, DWORD nOptions) override { return m_rInner.MQClose(hQueue, nOptions); }
  bool MQIsQuitPending(MQHANDLE hQueue) override { return m_rInner.MQIsQuitPending(hQueue); }
  STATUS MQPutQuitMsg(MQHANDLE hQueue) override { return m_rInner.MQPutQuitMsg(hQueue); }
  STATUS MQPut(MQHANDLE hQueue, WORD nPriority, const char* pBuffer, WORD nLen, DWORD nOptions) override {
    return m_rInner.MQPut(hQueue, nPriority, pBuffer, nLen, nOptions);
  }
  STATUS MQGet(MQHANDLE hQueue, char* pBuffer, WORD nBufLen, DWORD nOptions, DWORD nTimeout, WORD* pRetLen) override {
    return m_rInner.MQGet(hQueue, pBuffer, nBufLen, nOptions, nTimeout, pRetLen);
  }
  long OSGetEnvironmentLong(const char* pName) override { return m_rInner.OSGetEnvironmentLong(pName); }
  bool OSGetEnvironmentString(const char* pName, char* pBuffer, WORD nBufLen) override {
    return m_rInner.OSGetEnvironmentString(pName, pBuffer, nBufLen);
  }
  void OSSetEnvironmentInt(const char* pName, int nValue) override { m_rInner.OSSetEnvironmentInt(pName, nValue); }
  void OSSetEnvironmentVariable(const char* pName, const char* pValue) override {
    m_rInner.OSSetEnvironmentVariable(pName, pValue);
  }
  STATUS StatUpdate(const char* pFacility, const char* pStatName, WORD nFlags, WORD nValueType,
                    const void* pValue) override {
    return m_rInner.StatUpdate(pFacility, pStatName, nFlags, nValueType, pValue);
  }
  void StatDelete(const char* pFacility, const char* pStatName) override { m_rInner.StatDelete(pFacility, pStatName); }
  STATUS AgentOpen(DBHANDLE hDb, NOTEID agentNoteId, HAGENT* phAgent) override {
    return m_rInner.AgentOpen(hDb, agentNoteId, phAgent);
  }
  STATUS AgentCreateRunContext(HAGENT hAgent, void* pSelection, DWORD nFlags, HAGENTCTX* phContext) override {
    return m_rInner.AgentCreateRunContext(hAgent, pSelection, nFlags, phContext);
  }
  STATUS AgentRun(HAGENT hAgent, HAGENTCTX hContext, DHANDLE hSelection, DWORD nFlags) override {
    return m_rInner.AgentRun(hAgent, hContext, hSelection, nFlags);
  }
  void AgentDestroyRunContext(HAGENTCTX hContext) override { m_rInner.AgentDestroyRunContext(hContext); }
  void AgentClose(HAGENT hAgent) override { m_rInner.AgentClose(hAgent); }
  STATUS NSFRemoteConsole(const char* pServer, const char* pCommand, std::string* pReply) override {
    return m_rInner.NSFRemoteConsole(pServer, pCommand, pReply);
  }

 protected:
  INotesApi& m_rInner;
};

}  // namespace notes
