// What a process holds, to show that a sequence gave back what it took.
#pragma once

#include <windows.h>

#include <tlhelp32.h>

#include <cstdint>

namespace processuse {

// The bytes in use on every heap of the process.
inline SIZE_T BusyHeapBytes() {
    HANDLE heaps[64];
    const DWORD n = GetProcessHeaps(64, heaps);
    SIZE_T total = 0;
    for (DWORD i = 0; i < n && i < 64; ++i) {
        PROCESS_HEAP_ENTRY entry{};
        HeapLock(heaps[i]);
        while (HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
        HeapUnlock(heaps[i]);
    }
    return total;
}

// The handle values that name an open object (GetProcessHandleCount answers
// 0 under Wine). Handles are multiples of 4; a process of ours holds far
// fewer than the range looked at.
inline DWORD HandleCount() {
    DWORD n = 0, flags;
    for (uintptr_t h = 4; h < 0x10000; h += 4)
        n += GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags) ? 1 : 0;
    return n;
}

inline int ThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int n = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++n;
    CloseHandle(snapshot);
    return n;
}

inline BOOL CALLBACK CountWindowOfThisProcess(HWND window, LPARAM counter) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId()) ++*reinterpret_cast<int *>(counter);
    return TRUE;
}

// Top-level windows of this process, hidden ones too (a dialog left behind).
inline int WindowCount() {
    int n = 0;
    EnumWindows(CountWindowOfThisProcess, reinterpret_cast<LPARAM>(&n));
    return n;
}

} // namespace processuse
