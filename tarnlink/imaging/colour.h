#pragma once

#include <cstdint>

namespace tarnlink {

constexpr int kPictureWidth = 160;
constexpr int kPictureHeight = 120;
constexpr int kPicturePixels = kPictureWidth * kPictureHeight;
constexpr int kPictureBytes = kPicturePixels * 3;
constexpr int kMaxColourPasses = 50;

// Laid out as a Windows BITMAPINFOHEADER.
struct FrameFormat {
    uint32_t size;
    int32_t width;
    int32_t height;
    uint16_t planes;
    uint16_t bitCount;
    uint32_t compression;
    uint32_t sizeImage;
    int32_t xPelsPerMeter;
    int32_t yPelsPerMeter;
    uint32_t clrUsed;
    uint32_t clrImportant;
};

struct ColourState {
    double gainRed, gainGreen, gainBlue; // white balance, kept within 1.0..5.0
    int32_t balanceCb, balanceCr;        // colour cast measured by the last pass
    int32_t yAccThresh;                  // luma above which a pixel is measured
    double colourMatrix[3][3];           // sensor RGB -> Y, Cb, Cr
    double rawScale;
    bool matrixValid;
    int32_t coringThreshold;
    int32_t sharpenGain; // in halves
    double gammaExponent;
    uint8_t gammaTable[256];
    bool gammaTableValid;
    FrameFormat inputFormat, outputFormat;
};

// Settings that outlive sessions and engine close/open.
extern uint8_t g_blackOffsetSetting;      // 255: use the measured black level
extern int32_t g_defectCorrectionSetting; // exactly 1 means on

bool OpenColourEngine();
void CloseColourEngine();
bool ColourEngineIsOpen();
// Null while the state is not initialised (before the first open, after a close).
const ColourState *CurrentColourState();

// One colour pass over a reformatted frame, which is de-interleaved in place.
// Returns 1 when the white balance has settled, 0 when the gains were stepped.
// The engine must be open.
int ColourPass(uint8_t *frame, uint8_t *picture);

// Reformats raw picture rows into workBuffer and colours them, up to 50 passes,
// until the balance settles. Returns false, touching nothing, when the black
// level is refused by reformatting. The engine and workBuffer must exist.
bool ColourizeLoop(const uint8_t *raw, uint8_t *picture, int32_t blackLevel);

} // namespace tarnlink
