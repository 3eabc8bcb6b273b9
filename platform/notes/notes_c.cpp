#include "notes/notes_c.h"

using namespace notes;

extern "C" {
STATUS NotesInit(void) { return notesApi().NotesInit(); }
void NotesTerm(void) { notesApi().NotesTerm(); }
WORD OSLoadString(HMODULE hModule, STATUS status, char* pBuffer, WORD nLen) {
  return notesApi().OSLoadString(hModule, status, pBuffer, nLen);
}
STATUS NSFDbOpen(const char* pPath, DBHANDLE* phDb) { return notesApi().NSFDbOpen(pPath, phDb); }
STATUS NSFDbClose(DBHANDLE hDb) { return notesApi().NSFDbClose(hDb); }
STATUS NSFDbReplicaInfoGet(DBHANDLE hDb, DBREPLICAINFO* pInfo) { return notesApi().NSFDbReplicaInfoGet(hDb, pInfo); }
STATUS NSFDbReplicaInfoSet(DBHANDLE hDb, DBREPLICAINFO* pInfo) { return notesApi().NSFDbReplicaInfoSet(hDb, pInfo); }
STATUS NSFDbSign(DBHANDLE hDb, WORD nNoteClass) { return notesApi().NSFDbSign(hDb, nNoteClass); }
STATUS DesignReplace(DBHANDLE hTemplateDb, DBHANDLE hDb, DWORD dwFlags, DWORD dwFlags2, void* pReserved1,
                     void* pReserved2) {
  return notesApi().DesignReplace(hTemplateDb, hDb, dwFlags, dwFlags2, pReserved1, pReserved2);
}
}
