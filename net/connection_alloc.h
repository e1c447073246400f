// Allocation of the per-client connection record.
#ifndef PROXY_NET_CONNECTION_ALLOC_H_
#define PROXY_NET_CONNECTION_ALLOC_H_

#include "net/connection_record.h"

// A zero-filled record from the heap, or nullptr.  Release with CloseClient
// (or FreeConnectionRecord when no socket was ever stored in it).
ConnectionRecord *AllocConnectionRecord();
void FreeConnectionRecord(ConnectionRecord *pRec);

#endif  // PROXY_NET_CONNECTION_ALLOC_H_
