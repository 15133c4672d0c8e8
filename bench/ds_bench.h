// What the data source's benchmarks share: a clock, and zorvik.ds loaded by
// path and called as an application's manager would call it.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "twain/twain_defs.h"

namespace dsbench {

constexpr double kBytesPerSecond = 5760.0; // 57,600 baud, ten bits a byte

inline double Now() {
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

using DsEntryProc = TW_UINT16(PASCAL *)(pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF);
inline DsEntryProc g_entry;
inline TW_IDENTITY g_app, g_ds;

inline TW_UINT16 Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void *data) {
    return g_entry(&g_app, dg, dat, msg, data);
}

// Loads the source and makes up the identities the manager would pass.
inline bool LoadSource(const char *path, const char *appName) {
    HMODULE ds = LoadLibraryA(path);
    g_entry =
        ds ? reinterpret_cast<DsEntryProc>(reinterpret_cast<void *>(GetProcAddress(ds, "DS_Entry")))
           : nullptr;
    if (g_entry == nullptr) {
        std::fprintf(stderr, "%s: cannot load %s\n", appName, path);
        return false;
    }
    g_app.Id = 1;
    std::snprintf(g_app.ProductName, sizeof g_app.ProductName, "%s", appName);
    Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &g_ds);
    g_ds.Id = 2;
    return true;
}

} // namespace dsbench
