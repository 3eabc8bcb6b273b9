/*
 * The host's view of the file-transfer scan interface: the scan request the
 * server passes for every file one user sends to another, the result values
 * and the three entry points of a file-transfer plug-in. C and C++ hosts
 * include this header.
 */
#ifndef PARLANTIS_STDDA_FT_H
#define PARLANTIS_STDDA_FT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Interface version the plug-in answers, whatever the host offered. */
#define ST_DDA_FT_SPI_VERSION 12

/* Results of stDdaFtScanFile. */
#define ST_DDA_FT_SCAN_COPIED 0   /* the file was copied to the file-transfer folder */
#define ST_DDA_FT_SCAN_FAILED 1   /* the copy could not be made */
#define ST_DDA_FT_SCAN_DISABLED 3 /* file-transfer logging is off; nothing was done */

/* Sizes of the text fields of the scan request (terminating NUL included). */
#define ST_DDA_FT_PATH_SIZE 256
#define ST_DDA_FT_USER_SIZE 256

/* One scan request. Only the fields named here are read by the plug-in; the
 * reserved ranges belong to the host. The byte offsets are part of the
 * interface and checked below. */
typedef struct FtScanRequest {
  uint32_t reserved0;                 /* offset 0 */
  char path[ST_DDA_FT_PATH_SIZE];     /* offset 4: the file to scan, NUL-terminated */
  uint32_t size;                      /* offset 260: its size in bytes */
  char reserved1[264];                /* offset 264 */
  char receiver[ST_DDA_FT_USER_SIZE]; /* offset 528: the receiving user, NUL-terminated */
  char sender[ST_DDA_FT_USER_SIZE];   /* offset 784: the sending user, NUL-terminated */
  uint32_t session;                   /* offset 1040: the transfer's session number */
} FtScanRequest;

#ifdef __cplusplus
#define ST_DDA_FT_STATIC_ASSERT static_assert
#else
#define ST_DDA_FT_STATIC_ASSERT _Static_assert
#endif
ST_DDA_FT_STATIC_ASSERT(offsetof(FtScanRequest, path) == 4, "path at byte 4");
ST_DDA_FT_STATIC_ASSERT(offsetof(FtScanRequest, size) == 260, "size at byte 260 (0x104)");
ST_DDA_FT_STATIC_ASSERT(offsetof(FtScanRequest, receiver) == 528, "receiver at byte 528 (0x210)");
ST_DDA_FT_STATIC_ASSERT(offsetof(FtScanRequest, sender) == 784, "sender at byte 784 (0x310)");
ST_DDA_FT_STATIC_ASSERT(offsetof(FtScanRequest, session) == 1040, "session at byte 1040 (0x410)");
ST_DDA_FT_STATIC_ASSERT(sizeof(FtScanRequest) == 1044, "no padding after the session number");
#undef ST_DDA_FT_STATIC_ASSERT

#if defined(__GNUC__)
#define ST_DDA_FT_EXPORT __attribute__((visibility("default")))
#else
#define ST_DDA_FT_EXPORT
#endif

/* Reads the plug-in's settings; overwrites *prVersion with
 * ST_DDA_FT_SPI_VERSION. Returns 0. Called once, before any scan. */
ST_DDA_FT_EXPORT int32_t stDdaFtInit(uint32_t* prVersion);
/* Logs one transferred file and keeps a copy of it: ST_DDA_FT_SCAN_*.
 * Scans may run side by side. */
ST_DDA_FT_EXPORT int32_t stDdaFtScanFile(const FtScanRequest* request);
/* Called once when the host stops using the plug-in. */
ST_DDA_FT_EXPORT void stDdaFtTerminate(void);

/* Function pointer types, for hosts that look the entry points up by name. */
typedef int32_t (*PFN_stDdaFtInit)(uint32_t*);
typedef int32_t (*PFN_stDdaFtScanFile)(const FtScanRequest*);
typedef void (*PFN_stDdaFtTerminate)(void);

#ifdef __cplusplus
}
#endif

#endif /* PARLANTIS_STDDA_FT_H */
