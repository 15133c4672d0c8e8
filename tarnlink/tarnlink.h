/* tarnlink: the camera library. Every export returns a signed 32-bit status:
 * 0 success, 0xFFFF0000 + n a library code (below), -1 a bare failure,
 * any other value an operating-system error code passed through unchanged. */
#ifndef TARNLINK_H
#define TARNLINK_H

#include <stdint.h>

#if defined(_WIN32)
#define SCICALL __stdcall
#if defined(TARNLINK_BUILD)
#define SCI_API __declspec(dllexport)
#elif defined(TARNLINK_STATIC)
#define SCI_API
#else
#define SCI_API __declspec(dllimport)
#endif
#else
#define SCICALL
#define SCI_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t SciStatus;

/* Library codes. The data source shows the text of code n (0xFFFF0000 + n)
 * as string n + 100 of its string table. */
enum {
    SCI_OK = 0,
    SCI_FAILED = -1,
    SCI_CAMERA_NOT_PRESENT = -65536, /* 0xFFFF0000 "Camera not present" */
    SCI_CAMERA_FULL = -65535,        /* 0xFFFF0001 "Camera full" */
    SCI_BAD_EXPOSURE = -65534,       /* 0xFFFF0002 "Bad Exposure" */
    SCI_CAMERA_BUSY = -65532,        /* 0xFFFF0004 "Camera busy" */
    SCI_NULL_POINTER = -65520,       /* 0xFFFF0010 "Null pointer" */
    SCI_BUFFER_TOO_SMALL = -65519,   /* 0xFFFF0011 "Buffer too small" */
    SCI_BAD_PARAMETER = -65518,      /* 0xFFFF0012 "Bad parameter" */
    SCI_COMMS_NOT_OPEN = -65503,     /* 0xFFFF0021 "Comms not open" */
    SCI_COMMS_TIMEOUT = -65502,      /* 0xFFFF0022 "Comms timeout" (reserved) */
    SCI_COMMS_NAK = -65501,          /* 0xFFFF0023 "Comms nak" (reserved) */
    SCI_COMMS_BAD_PACKET = -65500,   /* 0xFFFF0024 "Comms bad packet" */
    SCI_COMMS_SEND_TIMEOUT = -65499, /* 0xFFFF0025 "Comms send timeout" */
    SCI_COMMS_SEND_NAK = -65498,     /* 0xFFFF0026 "Comms send nak" */
    SCI_COMMS_BAD_RESPONSE = -65497, /* 0xFFFF0027 "Comms bad response" */
    SCI_COMMS_ALREADY_OPEN = -65496, /* 0xFFFF0028 "Comms already open" */
    SCI_IMAGE_NULL = -65488,         /* 0xFFFF0030 "Image null" */
    SCI_IMAGE_CREATE_FAIL = -65487,  /* 0xFFFF0031 "Image create fail" */
    SCI_IMAGE_COLOUR_FAIL = -65486,  /* 0xFFFF0032 "Image colour fail" */
    SCI_IMAGE_ENLARGE_FAIL = -65485, /* 0xFFFF0033 "Image enlarge fail" (reserved) */
    SCI_IMAGE_BGRMV_FAIL = -65484    /* 0xFFFF0034 "Image bgrmv fail" (reserved) */
};

/* Sizes of the buffers the caller passes. */
enum {
    SCI_RAW_FRAME_BYTES = 20336,   /* 124 rows of 164 raw bytes */
    SCI_PICTURE_BYTES = 57600,     /* 160 x 120 x 3, blue green red, bottom row first */
    SCI_GREY_BYTES = 19200,        /* 160 x 120, bottom row first */
    SCI_THUMBNAIL_BYTES = 1240,    /* 40 x 31, bottom row first */
    SCI_ENLARGED_BYTES = 230400,   /* 320 x 240 x 3 */
    SCI_FIRMWARE_TEXT_BYTES = 17   /* up to 16 characters and a zero */
};

/* Described by the 16-byte trailer of a picture or thumbnail reply. */
typedef struct SciImageInfo {
    uint32_t trailer0;
    uint32_t trailer1;
    uint32_t trailer2PlusOne;
    uint32_t trailerFactor; /* 1, 2, 4 or 8; 0 for an unknown code */
    uint32_t trailer15;
    uint32_t blackLevel; /* measured black level; 0 for a thumbnail */
} SciImageInfo;

/* Parameters of background removal; SciInitBgRmvParm fills the defaults. */
typedef struct BgRmvParm {
    int32_t sample1X, sample1Y, sample1Width, sample1Height;
    int32_t sample2X, sample2Y, sample2Width, sample2Height;
    int32_t minTolerance, maxTolerance, toleranceMargin;
    uint8_t keyColour[3];
    uint8_t fillColour[3];
    uint8_t keyTolerance[3];
    uint8_t autoKey; /* 1: estimate key colour and tolerance from the samples */
} BgRmvParm;

/* Time. Every export that talks to the camera returns within the bound given
 * beside it, whatever the camera sends or fails to send: each read waits at
 * most its own time-out (1,000 ms plus 1 ms per byte), the acknowledgement at
 * most 1,001 ms, and a reply must be complete within 2,000 ms plus 1 ms per
 * byte of the largest reply the call accepts, counted from the acknowledgement.
 *
 * After a call whose exchange failed (no acknowledgement, a refusal, a reply
 * missing, late, cut short, too large or of another command) the next call
 * that sends a command first waits for the line to fall quiet (no byte for
 * 1,256 ms, and 6.0 s at most), so that nothing sent for the failed exchange
 * is taken for its reply. That costs it 1.3 s on a quiet line and adds at most
 * 6.0 s to its bound. A line-by-line upload left unfinished counts as failed. */

/* Camera session */
SCI_API SciStatus SCICALL SciOpenCamera(const char *portName);
SCI_API SciStatus SCICALL SciCloseCamera(void);
/* At most 13.2 s: two queries and the wait for a quiet line between them. */
SCI_API SciStatus SCICALL SciSyncCamera(void);
SCI_API SciStatus SCICALL SciSyncCamera2(uint8_t *result);
SCI_API SciStatus SCICALL SciGetDLLVersion(char *buffer);
SCI_API SciStatus SCICALL SciGetMaxCameraImages(int32_t *count);

/* Camera controls: each at most 3.6 s. */
SCI_API SciStatus SCICALL SciResetImageCounter(int32_t value);
SCI_API SciStatus SCICALL SciSoundBuzzer(int32_t first, int32_t second);
SCI_API SciStatus SCICALL SciEchoByte(int32_t value, uint8_t *echo);
SCI_API SciStatus SCICALL SciGrabImage(int32_t mode, int32_t flags);
SCI_API SciStatus SCICALL SciGetImageIndex(uint8_t *index);
SCI_API SciStatus SCICALL SciIncrementCounter(int32_t value, uint8_t *result);
SCI_API SciStatus SCICALL SciWriteRAMByte(int32_t value);
SCI_API SciStatus SCICALL SciGoIdle(void);
SCI_API SciStatus SCICALL SciSetPort0(int32_t value, uint8_t *result);
SCI_API SciStatus SCICALL SciSetVideoMode(int32_t mode);
SCI_API SciStatus SCICALL SciReadCameraReg(int32_t reg, uint8_t *value);
SCI_API SciStatus SCICALL SciSetGrabRange(int32_t first, int32_t second);
SCI_API SciStatus SCICALL SciGetFirmwareVersion(char *text);
SCI_API SciStatus SCICALL SciWriteCameraReg(int32_t reg, int32_t value);
SCI_API SciStatus SCICALL SciGetGrabRange(uint8_t *first, uint8_t *second);
SCI_API SciStatus SCICALL SciGrabResult(void);
SCI_API SciStatus SCICALL SciTestResult(uint8_t *result);
SCI_API SciStatus SCICALL SciQuitSelfTest(void);

/* Uploads of the picture the camera's counter points at */
/* At most 24.2 s each (3.6 s of them on the wire at 57,600 baud). */
SCI_API SciStatus SCICALL SciUploadImage(uint8_t *picture, SciImageInfo *info);
SCI_API SciStatus SCICALL SciUploadGreyImage(uint8_t *picture, SciImageInfo *info);
/* At most 4.7 s. */
SCI_API SciStatus SCICALL SciUploadThumbnail(uint8_t *thumbnail, SciImageInfo *info);
/* At most 3.8 s. Opens the picture stream that the next two read. */
SCI_API SciStatus SCICALL SciBeginUploadImage(int32_t *lines, int32_t *lineLength);
/* At most 1,000 ms plus 1 ms per byte (1.2 s for a usual line). A length
 * beyond what the open stream still holds (its lines, trailer and ETX; nothing
 * when no stream is open) is refused with SCI_BAD_PARAMETER before any read. */
SCI_API SciStatus SCICALL SciUploadImageLine(uint8_t *line, int32_t length);
/* At most 1.1 s. */
SCI_API SciStatus SCICALL SciUploadImageInfo(SciImageInfo *info);

/* Colour reconstruction. Without an open colour engine (and, for
 * SciColourizeImage, without a camera session's work buffer) SciColourizeImage
 * and SciImageReformat return SCI_IMAGE_COLOUR_FAIL and touch nothing; a
 * client's loop on SCI_FAILED therefore ends at once. */
SCI_API SciStatus SCICALL SciOpenColour(void);
SCI_API SciStatus SCICALL SciCloseColour(void);
SCI_API SciStatus SCICALL SciColourizeImage(const uint8_t *frame, uint8_t *picture);
SCI_API SciStatus SCICALL SciImageReformat(uint8_t *frame, uint8_t *picture);
SCI_API SciStatus SCICALL SciSetBlackOffset(int32_t level);
SCI_API SciStatus SCICALL SciSetDefectCorrection(int32_t flag);
/* A scale that is NaN or infinite is refused with SCI_BAD_PARAMETER and the
 * old one kept. */
SCI_API SciStatus SCICALL SciSetCompMatRawScale(double scale);
SCI_API SciStatus SCICALL SciSetYAccThresh(int32_t threshold);

/* Reformatting of raw picture rows */
SCI_API SciStatus SCICALL SciReformat300(const uint8_t *raw, uint8_t *frame, int32_t blackLevel,
                                         int32_t defectCorrection);

/* Enlargement to 320 x 240 and background removal */
SCI_API SciStatus SCICALL SciEnlargeImage(const uint8_t *source, uint8_t *result);
SCI_API SciStatus SCICALL SciInitBgRmvParm(BgRmvParm *parm);
SCI_API SciStatus SCICALL SciRemoveImageBackground(const uint8_t *image, uint8_t *result,
                                                   const BgRmvParm *parm);

#ifdef __cplusplus
}
#endif

#endif
