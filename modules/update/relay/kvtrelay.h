#pragma once
/* The update relay library: mirrors security components from update sources into a local
 * repository. Statuses are 32-bit integers; above 0 is success. */

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KVTRELAY_API __attribute__((visibility("default")))
#else
#define KVTRELAY_API
#endif

typedef struct KVT_Version {
    uint64_t major;
    uint64_t minor;
    uint64_t build;
    uint64_t revision;
} KVT_Version;

typedef struct KVTRELAY_EntityItem {
    int32_t klass;
    int32_t type;
    int32_t language;
    int32_t platform;
    int32_t region;
    int32_t oem;
    KVT_Version version;
} KVTRELAY_EntityItem;

typedef struct KVTRELAY_Product {
    KVTRELAY_EntityItem entity;
    KVTRELAY_EntityItem* items;
    uint64_t itemCount;
} KVTRELAY_Product;

/* Owned by the library; release with KVTRELAY_DestroyData. */
typedef struct KVTRELAY_Information {
    KVTRELAY_Product* products;
    uint64_t count;
} KVTRELAY_Information;

typedef struct KVTRELAY_Proxy {
    int32_t type; /* 0 HTTP proxy, 1 SOCKS5 */
    wchar_t* host;
    uint16_t port;
    wchar_t* user;
    wchar_t* password;
} KVTRELAY_Proxy;

typedef struct KVTRELAY_Source {
    wchar_t* url;
    uint64_t reserved1;
    uint64_t reserved2;
    KVTRELAY_Proxy* proxy;
} KVTRELAY_Source;

typedef struct KVTRELAY_EventMessage {
    wchar_t* information;
    uint64_t total;
    uint64_t finished;
} KVTRELAY_EventMessage;

typedef struct KVTRELAY_Context KVTRELAY_Context;

typedef enum KVTRELAY_EventType {
    KVTRELAY_EVENT_DOWNLOAD = 0,
    KVTRELAY_EVENT_PROGRESS = 1,
    KVTRELAY_EVENT_REMOVEBEGIN = 2,
    KVTRELAY_EVENT_REMOVEFAILED = 3,
    KVTRELAY_EVENT_DOWNLOADBEGIN = 4,
    KVTRELAY_EVENT_DOWNLOADEND = 5
} KVTRELAY_EventType;

/* Returns 1 to go on, 0 to cancel the operation in progress. */
typedef int (*KVTRELAY_EventCallback)(KVTRELAY_EventType type, KVTRELAY_EventMessage* message, void* userData);

/* Option ids for KVTRELAY_SetOption. */
enum {
    KVTRELAY_OPTION_MAXBANDWIDTH = 0,
    KVTRELAY_OPTION_BUILDPATCH = 9,
    KVTRELAY_OPTION_MAXMERGE = 10,
    KVTRELAY_OPTION_DIFFCOUNT = 11,
    KVTRELAY_OPTION_KEEPCOUNT = 12,
    KVTRELAY_OPTION_HTTPSLEVEL = 15
};

/* Status codes. Messages are at most 63 characters. */
enum {
    KVTRELAY_S_OK = 1,
    KVTRELAY_E_INVALIDARG = -1,
    KVTRELAY_E_NOTSTARTED = -2,
    KVTRELAY_E_REPOSITORY = -3, /* the repository path cannot be a folder */
    KVTRELAY_E_NOMEMORY = -4,
    KVTRELAY_E_SOURCE = -5,    /* no source could be read */
    KVTRELAY_E_INDEX = -6,     /* a source index is malformed */
    KVTRELAY_E_DOWNLOAD = -7,  /* a transfer failed */
    KVTRELAY_E_DIGEST = -8,    /* size or SHA-256 mismatch */
    KVTRELAY_E_CANCELLED = -9, /* an event callback returned 0 */
    KVTRELAY_E_INSECURE = -10, /* plain http refused by httpslevel */
    KVTRELAY_E_BUSY = -11,     /* the repository lock could not be taken */
    KVTRELAY_E_NOTFOUND = -12, /* component not in the repository */
    KVTRELAY_E_EXPORT = -13,   /* unpacking a package failed */
    KVTRELAY_E_WRITE = -14,    /* writing to the repository failed */
    KVTRELAY_E_SCHEME = -15    /* unsupported url */
};

KVTRELAY_API int32_t KVTRELAY_Startup(void* reserved);
KVTRELAY_API int32_t KVTRELAY_Shutdown(void);
KVTRELAY_API int32_t KVTRELAY_GetVersion(KVT_Version* version);
/* Writes the message for status into buffer, which holds 64 wide characters. */
KVTRELAY_API int32_t KVTRELAY_GetStatusMessage(wchar_t* buffer, int32_t status);
KVTRELAY_API int32_t KVTRELAY_CreateContext(KVTRELAY_Context** context, const wchar_t* repository);
KVTRELAY_API int32_t KVTRELAY_DestroyContext(KVTRELAY_Context* context);
KVTRELAY_API void KVTRELAY_SetOption(KVTRELAY_Context* context, int32_t option, int64_t value);
KVTRELAY_API int32_t KVTRELAY_SubscribeEvent(KVTRELAY_Context* context, KVTRELAY_EventType type,
                                             KVTRELAY_EventCallback callback, void* userData);
KVTRELAY_API int32_t KVTRELAY_GetInformation(KVTRELAY_Context* context, const KVTRELAY_Product* products,
                                             uint64_t productCount, const KVTRELAY_Source* sources,
                                             uint64_t sourceCount, KVTRELAY_Information** information);
KVTRELAY_API int32_t KVTRELAY_Duplicate(KVTRELAY_Context* context, const KVTRELAY_Product* products,
                                        uint64_t productCount, const KVTRELAY_Source* sources, uint64_t sourceCount,
                                        KVTRELAY_Information** information);
KVTRELAY_API void KVTRELAY_DestroyData(KVTRELAY_Information* information);
KVTRELAY_API int32_t KVTRELAY_ExportComponent(KVTRELAY_Context* context, const wchar_t* destination,
                                              KVTRELAY_EntityItem entity);

#ifdef __cplusplus
}

static_assert(sizeof(KVT_Version) == 32, "KVT_Version layout");
static_assert(sizeof(KVTRELAY_EntityItem) == 56, "KVTRELAY_EntityItem layout");
static_assert(sizeof(KVTRELAY_Product) == 72, "KVTRELAY_Product layout");
static_assert(sizeof(KVTRELAY_Source) == 32, "KVTRELAY_Source layout");
static_assert(sizeof(KVTRELAY_Proxy) == 40, "KVTRELAY_Proxy layout");
static_assert(sizeof(wchar_t) == 4, "wide characters are 4 bytes");
#endif
