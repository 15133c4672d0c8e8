// fetch_pictures: an example client of the camera library. Fetches every
// picture stored in the camera as a 24-bit BMP file:
//   fetch_pictures PORT [--first SLOT] [--count N] [--out DIR]
// PORT is a device path such as /dev/ttyUSB0 on Linux, or COM1 on Windows.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "status_table.h"
#include "tarnlink.h"

namespace {

constexpr int kBusyRetries = 100;
constexpr int kDefaultMaxSlots = 24;

std::string StatusText(SciStatus status) {
    if (const tarnlink::StatusEntry *e = tarnlink::FindStatus(status)) return e->text;
    return "system error " + std::to_string(status);
}

// The library never retries; a busy camera is the caller's to wait for.
template <typename Call> SciStatus RetryBusy(Call call) {
    SciStatus status = call();
    for (int i = 0; i < kBusyRetries && status == SCI_CAMERA_BUSY; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        status = call();
    }
    return status;
}

void Put(std::vector<uint8_t> &out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The library's colour picture is already the pixel array of a bottom-up
// 24-bit bitmap (blue, green, red; 480 bytes a row, no padding needed).
bool WriteBmp(const std::string &path, const uint8_t *pixels) {
    std::vector<uint8_t> file;
    Put(file, 'B' | ('M' << 8), 2);
    Put(file, 54 + SCI_PICTURE_BYTES, 4); // file size
    Put(file, 0, 4);
    Put(file, 54, 4);  // offset of the pixels
    Put(file, 40, 4);  // BITMAPINFOHEADER
    Put(file, 160, 4); // width
    Put(file, 120, 4); // height, positive: bottom-up
    Put(file, 1, 2);
    Put(file, 24, 2);
    Put(file, 0, 4); // no compression
    Put(file, SCI_PICTURE_BYTES, 4);
    Put(file, 2835, 4); // 72 dpi
    Put(file, 2835, 4);
    Put(file, 0, 4);
    Put(file, 0, 4);
    file.insert(file.end(), pixels, pixels + SCI_PICTURE_BYTES);
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    return std::fclose(f) == 0 && ok;
}

int Usage() {
    std::fprintf(stderr, "usage: fetch_pictures PORT [--first SLOT] [--count N] [--out DIR]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) return Usage();
    const char *port = argv[1];
    int count = -1, first = 0;
    std::string outDir = ".";
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--count") == 0 && i + 1 < argc)
            count = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--first") == 0 && i + 1 < argc)
            first = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc)
            outDir = argv[++i];
        else
            return Usage();
    }

    SciStatus status = SciOpenCamera(port);
    if (status != SCI_OK) {
        std::fprintf(stderr, "%s: cannot open: %s\n", port, StatusText(status).c_str());
        return 1;
    }
    status = RetryBusy([] { return SciSyncCamera(); });
    if (status != SCI_OK) {
        std::fprintf(stderr, "%s: %s\n", port, StatusText(status).c_str());
        SciCloseCamera();
        return 1;
    }

    uint8_t counter = 0;
    status = RetryBusy([&] { return SciGetImageIndex(&counter); });
    std::printf("camera on %s, picture counter %d\n", port, status == SCI_OK ? counter : -1);

    if (count < 0) {
        int32_t max = kDefaultMaxSlots;
        SciGetMaxCameraImages(&max);
        count = (max < kDefaultMaxSlots ? max : kDefaultMaxSlots) - first;
    }

    std::error_code ignored;
    std::filesystem::create_directories(outDir, ignored);
    std::vector<uint8_t> picture(SCI_PICTURE_BYTES);
    int saved = 0;
    for (int slot = first; slot < first + count; ++slot) {
        status = RetryBusy([&] { return SciResetImageCounter(slot); });
        if (status == SCI_OK)
            status = RetryBusy([&] { return SciUploadImage(picture.data(), nullptr); });
        if (status != SCI_OK) {
            std::printf("slot %2d: skipped (%s)\n", slot, StatusText(status).c_str());
            // A failed exchange may leave the link out of step.
            if (status != SCI_COMMS_SEND_NAK) SciSyncCamera();
            continue;
        }
        char name[32];
        std::snprintf(name, sizeof name, "picture-%02d.bmp", slot);
        const std::string path = (std::filesystem::path(outDir) / name).string();
        if (!WriteBmp(path, picture.data())) {
            std::fprintf(stderr, "%s: cannot write\n", path.c_str());
            continue;
        }
        std::printf("slot %2d: %s\n", slot, path.c_str());
        ++saved;
    }

    // Leave the camera's counter where we found it.
    RetryBusy([&] { return SciResetImageCounter(counter); });
    SciCloseCamera();
    std::printf("%d picture(s) saved\n", saved);
    return 0;
}
