// The endpoint record: a listening endpoint and the server behind it, copied
// by value into every thread that gets one.  Start-up fills the main one from
// the switches and settings (the listen list).  Types only; no behaviour.
#ifndef PROXY_CORE_ENDPOINT_RECORD_H_
#define PROXY_CORE_ENDPOINT_RECORD_H_

#include <cstdint>
#include <type_traits>

#include "base/limits.h"

struct EndpointRecord {
  int32_t nListenOnce;       // 0: listen for ever; >0: return after one client
  int32_t nSock;             // control/client socket the endpoint serves ("[%04d]")
  char mIP[kListenListSize]; // own address; main listener: NUL-separated list
  int32_t nPort;             // own port (main listener: default port)
  char mSvIP[1024];          // server-side address text
  int32_t nSvPort;           // server-side port
  char mAcceptIP[68];        // FTP data and BIND listeners: the one peer address taken
  // FTP data channel: the hand-off files of its control connection and the
  // cache instruction read from the request flag file.
  char mFlagFn[256];         // request flag file
  char mLockFn[256];         // status file
  int32_t nCacheUse;         // 1: deliver the cached copy
  char mCacheFn[512];        // cache file of a download, or ""
};

static_assert(std::is_trivially_copyable_v<EndpointRecord>);

#endif  // PROXY_CORE_ENDPOINT_RECORD_H_
