// The operations the installer binds by name (dlsym on libnotesapi.so), with
// C linkage. Each forwards to notesApi().
#pragma once

#include "notes/notes_api.h"

extern "C" {
notes::STATUS NotesInit(void);
void NotesTerm(void);
notes::WORD OSLoadString(notes::HMODULE hModule, notes::STATUS status, char* pBuffer, notes::WORD nLen);
notes::STATUS NSFDbOpen(const char* pPath, notes::DBHANDLE* phDb);
notes::STATUS NSFDbClose(notes::DBHANDLE hDb);
notes::STATUS NSFDbReplicaInfoGet(notes::DBHANDLE hDb, notes::DBREPLICAINFO* pInfo);
notes::STATUS NSFDbReplicaInfoSet(notes::DBHANDLE hDb, notes::DBREPLICAINFO* pInfo);
notes::STATUS NSFDbSign(notes::DBHANDLE hDb, notes::WORD nNoteClass);
notes::STATUS DesignReplace(notes::DBHANDLE hTemplateDb, notes::DBHANDLE hDb, notes::DWORD dwFlags,
                            notes::DWORD dwFlags2, void* pReserved1, void* pReserved2);
}
