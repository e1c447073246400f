#include "net/connection_alloc.h"

#include <mutex>

#include "platform/plat_memory.h"

// The record comes in pages of its own: they are zero when they arrive and
// take memory only where written, so the large buffers of the relay and of
// request collection cost nothing on a connection that does not use them.
//
// Records of ended connections wait, zeroed again, for the next ones: giving
// the pages back to the system makes every processor drop its address
// translations, which on a busy machine costs more than the connection's
// own work.  Only a few wait, so the memory they hold stays small.
namespace {

constexpr int kRecordPool = 32;

std::mutex g_PoolLock;
ConnectionRecord *g_aPool[kRecordPool];
int g_nPool = 0;

}  // namespace

ConnectionRecord *AllocConnectionRecord() {
  {
    std::lock_guard<std::mutex> guard(g_PoolLock);
    if (g_nPool > 0) return g_aPool[--g_nPool];
  }
  return static_cast<ConnectionRecord *>(PlatAllocPages(sizeof(ConnectionRecord)));
}

void FreeConnectionRecord(ConnectionRecord *pRec) {
  if (pRec == nullptr) return;
  PlatZeroPages(pRec, sizeof(ConnectionRecord));
  {
    std::lock_guard<std::mutex> guard(g_PoolLock);
    if (g_nPool < kRecordPool) {
      g_aPool[g_nPool++] = pRec;
      return;
    }
  }
  PlatFreePages(pRec, sizeof(ConnectionRecord));
}
