// A stand-in data source manager for the source's unit tests: it records the
// notifications the source sends through DSM_Entry and answers success.
#include <cstring>

#include "standin_dsm.h"

namespace {

StandInNotification g_log[256];
int g_count = 0;

} // namespace

extern "C" TW_UINT16 PASCAL DSM_Entry(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg,
                                      TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    if (g_count < static_cast<int>(sizeof g_log / sizeof g_log[0])) {
        StandInNotification &n = g_log[g_count++];
        std::memset(&n, 0, sizeof n);
        if (origin != nullptr) {
            n.originId = origin->Id;
            std::memcpy(n.originName, origin->ProductName, sizeof n.originName);
        }
        n.destId = dest != nullptr ? dest->Id : 0xFFFFFFFF;
        n.dg = dg;
        n.dat = dat;
        n.msg = msg;
        n.dataWasNull = data == nullptr;
    }
    return TWRC_SUCCESS;
}

extern "C" int StandInCount() {
    return g_count;
}

extern "C" const StandInNotification *StandInLog() {
    return g_log;
}

extern "C" void StandInClear() {
    g_count = 0;
}
