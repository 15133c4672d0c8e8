// The capture dialog against a camera on COM2 paced at 57,600 baud: Get
// Pictures of 24 stored pictures against the thumbnails' wire time, Preview
// against one picture's, and a transfer after Capture (from the preview's
// copy). Run by BENCH=bench_dialog bench/run-ds-bench.sh (see bench/REPORT-dialog.md).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ds_bench.h"

using namespace dsbench;

namespace {

// ACK, STX, type, four header bytes, payload, ETX.
constexpr double kThumbnailWireSeconds = (8 + 1256) / kBytesPerSecond;
constexpr double kPictureWireSeconds = (7 + 20680) / kBytesPerSecond;
// A positioning command: the camera's ACK and a four-byte reply.
constexpr double kCommandWireSeconds = 5 / kBytesPerSecond;

void Pump(DWORD ms) {
    const double end = Now() + ms / 1000.0;
    while (Now() < end) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TW_EVENT event{&msg, MSG_NULL};
            if (Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event) != TWRC_DSEVENT) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
        Sleep(2);
    }
}

BOOL CALLBACK TakeDialog(HWND w, LPARAM out) {
    if (GetDlgItem(w, 1001) == nullptr) return TRUE;
    *reinterpret_cast<HWND *>(out) = w;
    return FALSE;
}

HWND FindDialog() {
    HWND found = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), TakeDialog, reinterpret_cast<LPARAM>(&found));
    return found;
}

// A button's command runs inside the click: its time is the step's.
double TimeClick(HWND dialog, int id) {
    const double t0 = Now();
    SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
    return Now() - t0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_dialog PATH\\zorvik.ds\n");
        return 2;
    }
    if (!LoadSource(argv[1], "bench_dialog")) return 1;
    if (Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &g_ds) != TWRC_SUCCESS) return 1;
    TW_USERINTERFACE ui{TRUE, FALSE, nullptr};
    if (Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) != TWRC_SUCCESS) return 1;
    HWND dialog = FindDialog();
    if (dialog == nullptr) return 1;
    Pump(8000); // the first Get Pictures, posted at start

    const int kRuns = 3;
    double getPictures = 1e9, preview = 1e9, transfer = 1e9;
    for (int run = 0; run < kRuns; ++run) {
        getPictures = std::min(getPictures, TimeClick(dialog, 1053));
        Pump(50);
        preview = std::min(preview, TimeClick(dialog, 1000));
        Pump(50);
        SendMessageA(GetDlgItem(dialog, 1051), BM_CLICK, 0, 0);
        HGLOBAL handle = nullptr;
        const double t0 = Now();
        const TW_UINT16 rc = Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle);
        transfer = std::min(transfer, Now() - t0);
        if (rc != TWRC_XFERDONE || handle == nullptr) return 1;
        GlobalFree(handle);
        TW_PENDINGXFERS pending{};
        Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
        Pump(50);
    }
    // Get Pictures: a counter read, 'I' and 'A' to reach picture 0, 24
    // thumbnails, then 'I' and 'A' to put the counter back and position on the
    // selection. Preview: the picture and the positioning after it ('I', 'A').
    const double thumbsWire = 24 * kThumbnailWireSeconds + 6 * kCommandWireSeconds;
    const double previewWire = kPictureWireSeconds + 2 * kCommandWireSeconds;
    std::printf("| step | best of %d | wire time | ratio |\n|---|---|---|---|\n", kRuns);
    std::printf("| Get Pictures (24 thumbnails) | %.4f s | %.4f s | %.4f |\n", getPictures,
                thumbsWire, getPictures / thumbsWire);
    std::printf("| Preview | %.4f s | %.4f s | %.4f |\n", preview, previewWire,
                preview / previewWire);
    std::printf("| native transfer after Capture | %.3f ms | - | - |\n", transfer * 1000);
    Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr);
    return 0;
}
