// Acquisition without user interface through zorvik.ds, against a camera on
// COM2 paced at 57,600 baud: the time of N transfers against N picture wire
// times, and the source's own time per transfer outside the upload, for each
// mechanism. Run by bench/run-ds-bench.sh (see bench/REPORT-acquire.md).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tarnlink.h"
#include "ds_bench.h"

using namespace dsbench;

namespace {

constexpr int kPictures = 3;
constexpr int kCapacity = 24;
// ACK, STX, type, four header bytes, 20,680 payload bytes, ETX at 5,760 bytes/s.
constexpr double kPictureWireSeconds = 20687.0 / 5760.0;

// The library's own upload of the same slots, at the same pace: what a
// transfer cannot do faster.
double LibraryUploadSeconds() {
    std::vector<uint8_t> picture(SCI_PICTURE_BYTES);
    if (SciOpenCamera("COM2") != SCI_OK || SciSyncCamera() != SCI_OK) return -1;
    double total = 0;
    for (int k = 0; k < kPictures; ++k) {
        SciResetImageCounter(kCapacity - kPictures + k);
        const double t0 = Now();
        if (SciUploadImage(picture.data(), nullptr) != SCI_OK) return -1;
        total += Now() - t0;
    }
    SciCloseCamera();
    return total / kPictures;
}

bool Transfer(TW_UINT16 mech, const char *file) {
    if (mech == TWSX_NATIVE) {
        HGLOBAL handle = nullptr;
        if (Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle) != TWRC_XFERDONE) return false;
        GlobalFree(handle);
        return true;
    }
    if (mech == TWSX_MEMORY) {
        static std::vector<uint8_t> buffer(57600);
        for (;;) {
            TW_IMAGEMEMXFER x{};
            x.Memory = {TWMF_APPOWNS | TWMF_POINTER, 57600, buffer.data()};
            const TW_UINT16 rc = Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x);
            if (rc == TWRC_XFERDONE) return true;
            if (rc != TWRC_SUCCESS) return false;
        }
    }
    TW_SETUPFILEXFER setup{};
    std::snprintf(setup.FileName, sizeof setup.FileName, "%s", file);
    return Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup) == TWRC_SUCCESS &&
           Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr) == TWRC_XFERDONE;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_acquire PATH\\zorvik.ds\n");
        return 2;
    }
    const double upload = LibraryUploadSeconds();
    if (upload < 0) {
        std::fprintf(stderr, "bench_acquire: no camera on COM2\n");
        return 1;
    }
    if (!LoadSource(argv[1], "bench_acquire")) return 1;

    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string file = std::string(temp) + "bench-acquire.bmp";
    std::printf("library upload alone: %.4f s a picture (wire %.4f s)\n", upload,
                kPictureWireSeconds);
    std::printf(
        "| mechanism | %d transfers | ratio to wire time | source's own time a transfer |\n",
        kPictures);
    std::printf("|---|---|---|---|\n");
    const struct {
        TW_UINT16 mech;
        const char *name;
    } mechs[] = {{TWSX_NATIVE, "native"}, {TWSX_MEMORY, "memory"}, {TWSX_FILE, "file"}};
    for (const auto &m : mechs) {
        if (Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &g_ds) != TWRC_SUCCESS) return 1;
        TW_CAPABILITY cap{CAP_XFERCOUNT, TWON_ONEVALUE, GlobalAlloc(GHND, sizeof(TW_ONEVALUE))};
        auto *one = static_cast<pTW_ONEVALUE>(GlobalLock(cap.hContainer));
        one->ItemType = TWTY_INT16;
        one->Item = kPictures;
        GlobalUnlock(cap.hContainer);
        Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap);
        GlobalFree(cap.hContainer);

        TW_USERINTERFACE ui{FALSE, FALSE, nullptr};
        const double t0 = Now();
        Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
        for (int k = 0; k < kPictures; ++k) {
            if (!Transfer(m.mech, file.c_str())) {
                std::fprintf(stderr, "bench_acquire: %s transfer failed\n", m.name);
                return 1;
            }
            TW_PENDINGXFERS pending{};
            Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
        }
        const double total = Now() - t0;
        Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
        Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr);
        std::printf("| %s | %.3f s | %.4f | %.1f ms |\n", m.name, total,
                    total / (kPictures * kPictureWireSeconds),
                    1000.0 * (total / kPictures - upload));
    }
    DeleteFileA(file.c_str());
    return 0;
}
