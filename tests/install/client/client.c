/* A client of the installed library, built outside the project: opens the
 * camera on TARN_CAMERA_PORT, reads its firmware and picture counter, uploads
 * picture 0 and prints its POSIX cksum (the same numbers as cksum(1)). */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <tarnlink.h>

/* The library never retries; a busy camera is the caller's to wait for. */
#define RETRY_BUSY(status, call)                                                                   \
    do {                                                                                           \
        int tries_ = 0;                                                                            \
        (status) = (call);                                                                         \
        while ((status) == SCI_CAMERA_BUSY && ++tries_ < 100) (status) = (call);                   \
    } while (0)

static uint32_t crc_byte(uint32_t crc, uint8_t byte) {
    int bit;
    crc ^= (uint32_t)byte << 24;
    for (bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    return crc;
}

/* cksum(1): the CRC of the data followed by its length, least byte first. */
static uint32_t posix_cksum(const uint8_t *data, size_t length) {
    uint32_t crc = 0;
    size_t i, n;
    for (i = 0; i < length; ++i) crc = crc_byte(crc, data[i]);
    for (n = length; n != 0; n >>= 8) crc = crc_byte(crc, (uint8_t)(n & 0xFF));
    return ~crc;
}

static int fail(const char *what, SciStatus status) {
    fprintf(stderr, "client: %s: status %ld\n", what, (long)status);
    SciCloseCamera();
    return 1;
}

int main(void) {
    static uint8_t picture[SCI_PICTURE_BYTES];
    char version[8] = {0};
    char firmware[SCI_FIRMWARE_TEXT_BYTES] = {0};
    uint8_t counter = 0;
    SciImageInfo info;
    SciStatus status;
    const char *port = getenv("TARN_CAMERA_PORT");

    if (port == NULL) {
        fprintf(stderr, "client: TARN_CAMERA_PORT is not set\n");
        return 2;
    }
    if (SciGetDLLVersion(version) != SCI_OK) return fail("library version", -1);
    status = SciOpenCamera(port);
    if (status != SCI_OK) {
        fprintf(stderr, "client: cannot open %s: status %ld\n", port, (long)status);
        return 1;
    }
    RETRY_BUSY(status, SciSyncCamera());
    if (status != SCI_OK) return fail("sync", status);
    RETRY_BUSY(status, SciGetFirmwareVersion(firmware));
    if (status != SCI_OK) return fail("firmware version", status);
    RETRY_BUSY(status, SciGetImageIndex(&counter));
    if (status != SCI_OK) return fail("picture counter", status);
    RETRY_BUSY(status, SciResetImageCounter(0));
    if (status != SCI_OK) return fail("counter to 0", status);
    RETRY_BUSY(status, SciUploadImage(picture, &info));
    if (status != SCI_OK) return fail("upload", status);
    /* Leave the counter where we found it. */
    RETRY_BUSY(status, SciResetImageCounter(counter));
    SciCloseCamera();

    printf("library %s\n", version);
    printf("firmware %s\n", firmware);
    printf("picture counter %u\n", (unsigned)counter);
    printf("picture 0: %lu %u\n", (unsigned long)posix_cksum(picture, sizeof picture),
           (unsigned)sizeof picture);
    return 0;
}
