#include "net/connection_alloc.h"

#include "platform/plat_memory.h"

// The record comes in pages of its own: they are zero when they arrive and
// take memory only where written, so the large buffers of the relay and of
// request collection cost nothing on a connection that does not use them.
ConnectionRecord *AllocConnectionRecord() {
  return static_cast<ConnectionRecord *>(PlatAllocPages(sizeof(ConnectionRecord)));
}

void FreeConnectionRecord(ConnectionRecord *pRec) { PlatFreePages(pRec, sizeof(ConnectionRecord)); }
