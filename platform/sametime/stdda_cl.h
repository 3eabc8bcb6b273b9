/*
 * The host's view of the chat logging interface: the records the server
 * passes and receives, the result and status values, and the sixteen entry
 * points of a chat logging plug-in. C and C++ hosts include this header.
 */
#ifndef PARLANTIS_STDDA_CL_H
#define PARLANTIS_STDDA_CL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Interface version the host offers and the plug-in answers. */
#define ST_DDA_CL_SPI_VERSION 14

/* Results of the entry points. */
#define ST_DDA_API_OK 0
#define ST_DDA_API_UNSUPPORTED_VERSION 1
#define ST_DDA_API_INIT_FAILED 3
#define ST_DDA_API_SESSION_EXISTS 0x1002
#define ST_DDA_API_SESSION_NOT_FOUND 0x1003
#define ST_DDA_API_LOG_FILE_ERROR 0x1004
#define ST_DDA_API_CHAT_DENIED 0x1006
#define ST_DDA_API_SRV_MSGS 0x1008

/* Values the plug-in stores in the host's status indicator. */
#define PLUGIN_STATUS_RUNNING 1
#define PLUGIN_STATUS_ERROR 3
#define PLUGIN_STATUS_FATAL 4

/* Sizes of the text buffers the host passes to stDdaClInit. The plug-in
 * never writes more than these (terminating NUL included). */
#define ST_DDA_DIR_TYPE_SIZE 64
#define ST_DDA_LIB_VERSION_SIZE 64
#define ST_DDA_STATUS_MSG_SIZE 1024

/* Entity types. */
#define ST_DDA_ENTITY_USER 1
#define ST_DDA_ENTITY_SECTION 2
#define ST_DDA_ENTITY_ACTIVITY 3
#define ST_DDA_ENTITY_SESSION 4

#define ST_DDA_ENTITY_ID_SIZE 256

/* A user or a scope. */
typedef struct ChatEntity {
  char id[ST_DDA_ENTITY_ID_SIZE]; /* NUL-terminated */
  int32_t type;                   /* ST_DDA_ENTITY_* */
} ChatEntity;

/* One server message handed to the host. On this 64-bit platform the text
 * pointer makes the record 24 bytes. */
typedef struct SrvMsg {
  int32_t isStatic;  /* 0: text is released by stDdaClCleanSrvMsgs */
  int32_t recipient; /* 0: the sender of the event, 1: the receiver side */
  int32_t textLen;   /* bytes, without the terminating NUL */
  char* text;        /* NUL-terminated */
} SrvMsg;

#if defined(__GNUC__)
#define ST_DDA_EXPORT __attribute__((visibility("default")))
#else
#define ST_DDA_EXPORT
#endif

ST_DDA_EXPORT int32_t stDdaClInit(int32_t* prVersion, uint32_t flags, uint32_t* initFlags, char* dirType,
                                  char* libVersion, int32_t* statusIndicator, char* statusMessage);
ST_DDA_EXPORT void stDdaClTerminate(void);
ST_DDA_EXPORT void stDdaClTimerEvent(void);
ST_DDA_EXPORT int32_t stDdaClSessionPolicycheckFunc(const char* from, const char* to, SrvMsg** srvMessages,
                                                    int32_t* indicator);
ST_DDA_EXPORT int32_t stDdaClSessionStartedByOrgName(const char* sessID, const char* org);
ST_DDA_EXPORT int32_t stDdaClSessionStarted(const char* sessID);
ST_DDA_EXPORT int32_t stDdaClSessionEnded(const char* sessID);
ST_DDA_EXPORT int32_t stDdaClJoiningSessionWithSrvMsg(const char* sessID, const ChatEntity* entity,
                                                      const ChatEntity* scope, SrvMsg** srvMessages,
                                                      int32_t* indicator);
ST_DDA_EXPORT int32_t stDdaClJoiningSession(const char* sessID, const ChatEntity* entity, const ChatEntity* scope);
ST_DDA_EXPORT int32_t stDdaClLeavingSessionWithSrvMsg(const char* sessID, const ChatEntity* entity,
                                                      SrvMsg** srvMessages, int32_t* indicator);
ST_DDA_EXPORT int32_t stDdaClLeavingSession(const char* sessID, const ChatEntity* entity);
ST_DDA_EXPORT int32_t stDdaClSessionMsgWithSrvMsg(const char* sessID, const ChatEntity* sender, int32_t len,
                                                  const char* text, const ChatEntity* receiver,
                                                  SrvMsg** srvMessages, int32_t* indicator);
ST_DDA_EXPORT int32_t stDdaClSessionMsg(const char* sessID, const ChatEntity* sender, int32_t len, const char* text,
                                        const ChatEntity* receiver);
ST_DDA_EXPORT int32_t stDdaClSessionDataMsgWithSrvMsg(const char* sessID, const void* reserved1, uint32_t dataType,
                                                      uint32_t subType, uint32_t len, const unsigned char* data,
                                                      const void* reserved2, SrvMsg** srvMessages,
                                                      int32_t* indicator);
ST_DDA_EXPORT int32_t stDdaClSessionDataMsg(const char* sessID, const void* reserved1, uint32_t dataType,
                                            uint32_t subType, uint32_t len, const unsigned char* data,
                                            const void* reserved2);
ST_DDA_EXPORT int32_t stDdaClCleanSrvMsgs(SrvMsg* srvMessages, int32_t indicator);

/* Function pointer types, for hosts that look the entry points up by name. */
typedef int32_t (*PFN_stDdaClInit)(int32_t*, uint32_t, uint32_t*, char*, char*, int32_t*, char*);
typedef void (*PFN_stDdaClTerminate)(void);
typedef void (*PFN_stDdaClTimerEvent)(void);
typedef int32_t (*PFN_stDdaClSessionPolicycheckFunc)(const char*, const char*, SrvMsg**, int32_t*);
typedef int32_t (*PFN_stDdaClSessionStartedByOrgName)(const char*, const char*);
typedef int32_t (*PFN_stDdaClSessionStarted)(const char*);
typedef int32_t (*PFN_stDdaClSessionEnded)(const char*);
typedef int32_t (*PFN_stDdaClJoiningSessionWithSrvMsg)(const char*, const ChatEntity*, const ChatEntity*, SrvMsg**,
                                                       int32_t*);
typedef int32_t (*PFN_stDdaClJoiningSession)(const char*, const ChatEntity*, const ChatEntity*);
typedef int32_t (*PFN_stDdaClLeavingSessionWithSrvMsg)(const char*, const ChatEntity*, SrvMsg**, int32_t*);
typedef int32_t (*PFN_stDdaClLeavingSession)(const char*, const ChatEntity*);
typedef int32_t (*PFN_stDdaClSessionMsgWithSrvMsg)(const char*, const ChatEntity*, int32_t, const char*,
                                                   const ChatEntity*, SrvMsg**, int32_t*);
typedef int32_t (*PFN_stDdaClSessionMsg)(const char*, const ChatEntity*, int32_t, const char*, const ChatEntity*);
typedef int32_t (*PFN_stDdaClSessionDataMsgWithSrvMsg)(const char*, const void*, uint32_t, uint32_t, uint32_t,
                                                       const unsigned char*, const void*, SrvMsg**, int32_t*);
typedef int32_t (*PFN_stDdaClSessionDataMsg)(const char*, const void*, uint32_t, uint32_t, uint32_t,
                                             const unsigned char*, const void*);
typedef int32_t (*PFN_stDdaClCleanSrvMsgs)(SrvMsg*, int32_t);

#ifdef __cplusplus
}
#endif

#endif /* PARLANTIS_STDDA_CL_H */
