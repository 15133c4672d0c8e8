#include "imaging/colour.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "imaging/plane_memory.h"
#include "imaging/reformat.h"
#include "link/state.h"
#include "tarnlink.h"

namespace tarnlink {

uint8_t g_blackOffsetSetting = 255;
int32_t g_defectCorrectionSetting = 1;

namespace {

// Rows: corrected red, green, blue; columns: sensor red, green, blue.
constexpr double kCompensation[3][3] = {
    {3.0, -1.0, -0.25},
    {-0.75, 3.0, -0.4},
    {-1.08, -1.5, 6.0},
};
// Rows: Y, Cb, Cr; columns: red, green, blue.
constexpr double kRgbToYcc[3][3] = {
    {0.2568, 0.5041, 0.09791},
    {-0.1482, -0.291, 0.4392},
    {0.4392, -0.3678, -0.0714},
};

constexpr int kGreenWidth = kFrameWidth - 2; // one green value per 2 x 2 cell
constexpr int kGreenHeight = kFrameHeight - 2;
constexpr uint32_t kFourCcPshu =
    'P' | ('S' << 8) | ('H' << 16) | (static_cast<uint32_t>('U') << 24);
constexpr int kBalanceDivisor = kPicturePixels / 8;

ColourState g_colour;
bool g_colourInitialised = false;
bool g_engineOpen = false;
uint8_t *g_greenPlane = nullptr;

// Sharpened sensor colours of every output pixel, top row first. They depend on
// the frame alone, so a series of passes over one frame computes them once.
struct SensorPlanes {
    uint8_t red[kPicturePixels];
    uint8_t green[kPicturePixels];
    uint8_t blue[kPicturePixels];
};
SensorPlanes g_sensor;

FrameFormat MakeFormat(int32_t width, int32_t height, uint16_t bits, uint32_t compression,
                       uint32_t imageBytes) {
    FrameFormat f{};
    f.size = sizeof(FrameFormat);
    f.width = width;
    f.height = height;
    f.planes = 1;
    f.bitCount = bits;
    f.compression = compression;
    f.sizeImage = imageBytes;
    f.xPelsPerMeter = 2000;
    f.yPelsPerMeter = 2000;
    return f;
}

void SetDefaults(ColourState &s) {
    s.gainRed = s.gainGreen = s.gainBlue = 1.0;
    s.balanceCb = s.balanceCr = 0;
    s.rawScale = 0.6;
    s.yAccThresh = 120;
    s.coringThreshold = 1;
    s.sharpenGain = 3;
    s.gammaExponent = 0.625;
    s.matrixValid = false;
    s.gammaTableValid = false;
}

bool FormatsMatch(const FrameFormat &in, const FrameFormat &out) {
    return in.compression == kFourCcPshu && out.compression == 0 && out.bitCount == 24 &&
           out.width == in.width - 4 && out.height == in.height - 4;
}

void BuildGammaTable(ColourState &s) {
    for (int i = 0; i < 256; ++i) {
        const int power = static_cast<int>(255.0 * std::pow(i / 255.0, s.gammaExponent));
        const int line = static_cast<int>(4.5 * i);
        s.gammaTable[i] = static_cast<uint8_t>(std::min({power, line, 255}));
    }
    s.gammaTableValid = true;
}

// rawScale x RGB_TO_YCC x diag(gains) x compensation.
void BuildColourMatrix(ColourState &s) {
    const double gain[3] = {s.gainRed, s.gainGreen, s.gainBlue};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double sum = 0.0;
            for (int k = 0; k < 3; ++k)
                sum += s.rawScale * gain[k] * kRgbToYcc[i][k] * kCompensation[k][j];
            s.colourMatrix[i][j] = sum;
        }
    s.matrixValid = true;
}

void PrepareTables(ColourState &s) {
    if (!s.gammaTableValid) BuildGammaTable(s);
    if (!s.matrixValid) BuildColourMatrix(s);
}

// Row halves (odd columns, then even columns) back into mosaic order.
void Deinterleave(uint8_t *frame) {
    uint8_t row[kFrameWidth];
    for (int y = 0; y < kFrameHeight; ++y) {
        uint8_t *f = frame + y * kFrameWidth;
        for (int k = 0; k < 82; ++k) {
            row[2 * k] = f[82 + k];
            row[2 * k + 1] = f[k];
        }
        std::memcpy(f, row, kFrameWidth);
    }
}

// The mean of the two green samples of every 2 x 2 cell of the mosaic.
void BuildGreenPlane(const uint8_t *mosaic, uint8_t *green) {
    for (int r = 0; r < kGreenHeight; ++r) {
        const uint8_t *top = mosaic + r * kFrameWidth;
        const uint8_t *bottom = top + kFrameWidth;
        uint8_t *out = green + r * kGreenWidth;
        for (int c = 0; c < kGreenWidth; ++c) {
            // Green sits where x + y is even.
            const int a = ((c + r) & 1) == 0 ? top[c] + bottom[c + 1] : top[c + 1] + bottom[c];
            out[c] = static_cast<uint8_t>(a >> 1);
        }
    }
}

// 9:3:3:1 blend of the four sites of one colour around a point: n are the
// nearer column and row, f the farther.
inline int Blend(const uint8_t *rowNear, const uint8_t *rowFar, int xNear, int xFar) {
    const int nearRow = 3 * rowNear[xNear] + rowNear[xFar];
    const int farRow = 3 * rowFar[xNear] + rowFar[xFar];
    return (3 * nearRow + farRow) >> 4;
}

inline uint8_t ClampByte(int v) {
    return static_cast<uint8_t>(std::clamp(v, 0, 255));
}

// Red and blue by interpolation, green by smoothing, all three sharpened by the
// same green detail; the steps of a pass that use integers only.
void Interpolate(const ColourState &s, const uint8_t *mosaic, const uint8_t *green,
                 SensorPlanes &out) {
    const int coring = s.coringThreshold;
    const int gain = s.sharpenGain;
    for (int y = 0; y < kPictureHeight; ++y) {
        const bool yOdd = (y & 1) != 0;
        // Red rows are even, blue rows odd: pick the nearer and farther one.
        const uint8_t *redNear = mosaic + (yOdd ? y + 1 : y + 2) * kFrameWidth;
        const uint8_t *redFar = mosaic + (yOdd ? y + 3 : y) * kFrameWidth;
        const uint8_t *blueNear = mosaic + (yOdd ? y + 2 : y + 1) * kFrameWidth;
        const uint8_t *blueFar = mosaic + (yOdd ? y : y + 3) * kFrameWidth;
        const uint8_t *g0 = green + y * kGreenWidth;
        const uint8_t *g1 = g0 + kGreenWidth;
        const uint8_t *g2 = g1 + kGreenWidth;
        uint8_t *red = out.red + y * kPictureWidth;
        uint8_t *grn = out.green + y * kPictureWidth;
        uint8_t *blue = out.blue + y * kPictureWidth;
        for (int x = 0; x < kPictureWidth; ++x) {
            const bool xOdd = (x & 1) != 0;
            const int r =
                xOdd ? Blend(redNear, redFar, x + 2, x) : Blend(redNear, redFar, x + 1, x + 3);
            const int b =
                xOdd ? Blend(blueNear, blueFar, x + 1, x + 3) : Blend(blueNear, blueFar, x + 2, x);

            const int centre = g1[x + 1];
            const int n4 = g1[x] + g1[x + 2] + g0[x + 1] + g2[x + 1];
            const int d4 = g0[x] + g0[x + 2] + g2[x] + g2[x + 2];
            const int smooth = (d4 + 2 * n4 + 4 * centre) >> 4;
            const int sharp = (8 * centre - d4) >> 2;
            int detail = sharp - smooth;
            if (detail > 0)
                detail = detail <= coring ? 0 : detail - coring;
            else
                detail = -detail <= coring ? 0 : detail + coring;
            const int edge = (detail * gain) >> 1;

            red[x] = ClampByte(r + edge);
            grn[x] = ClampByte(smooth + edge);
            blue[x] = ClampByte(b + edge);
        }
    }
}

// Double to integer toward zero; values no picture can produce are held
// within range instead of overflowing the conversion.
inline int32_t TruncInt(double v) {
    return static_cast<int32_t>(std::min(std::max(v, -1.0e9), 1.0e9));
}

inline uint8_t ClampTrunc(double v) {
    return static_cast<uint8_t>(std::min(std::max(v, 0.0), 255.0));
}

// Colour matrix, gamma and the colour cast of the bright pixels.
void Convert(ColourState &s, const SensorPlanes &in, uint8_t *picture) {
    const double(&m)[3][3] = s.colourMatrix;
    const uint8_t *gamma = s.gammaTable;
    const int threshold = s.yAccThresh;
    int64_t sumCb = 0, sumCr = 0;
    for (int y = 0; y < kPictureHeight; ++y) {
        const int base = y * kPictureWidth;
        uint8_t *out = picture + (kPictureHeight - 1 - y) * kPictureWidth * 3;
        for (int x = 0; x < kPictureWidth; ++x) {
            const double r = in.red[base + x], g = in.green[base + x], b = in.blue[base + x];
            const int32_t lum = TruncInt(m[0][0] * r + m[0][1] * g + m[0][2] * b);
            const int32_t cb = TruncInt(m[1][0] * r + m[1][1] * g + m[1][2] * b);
            const int32_t cr = TruncInt(m[2][0] * r + m[2][1] * g + m[2][2] * b);
            if (gamma[ClampByte(lum)] > threshold) {
                sumCb += cb;
                sumCr += cr;
            }
            const double luma = 1.1644 * lum;
            out[3 * x] = gamma[ClampTrunc(luma + 2.017 * cb)];
            out[3 * x + 1] = gamma[ClampTrunc(luma - 0.3942 * cb - 0.813 * cr)];
            out[3 * x + 2] = gamma[ClampTrunc(luma + 1.596 * cr)];
        }
    }
    const auto toInt32 = [](int64_t v) {
        return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
    };
    s.balanceCb = toInt32(sumCb / kBalanceDivisor);
    s.balanceCr = toInt32(sumCr / kBalanceDivisor);
}

// Steps the gains against the measured cast; 1 when there was none to speak of.
int BalanceStep(ColourState &s) {
    s.matrixValid = false;
    const int32_t cb = s.balanceCb, cr = s.balanceCr;
    if (cb >= -10 && cb <= 10 && cr >= -10 && cr <= 10) return 1;

    const auto limit = [](double d) { return std::clamp(d, -0.05, 0.05); };
    const bool sameSign = (cb > 0 && cr > 0) || (cb < 0 && cr < 0);
    s.gainRed += limit(-0.001 * cr);
    s.gainGreen += limit(sameSign ? 0.0005 * (static_cast<double>(cb) + cr) : 0.0);
    s.gainBlue += limit(-0.001 * cb);
    const double smallest = std::min({s.gainRed, s.gainGreen, s.gainBlue});
    s.gainRed = std::clamp(s.gainRed / smallest, 1.0, 5.0);
    s.gainGreen = std::clamp(s.gainGreen / smallest, 1.0, 5.0);
    s.gainBlue = std::clamp(s.gainBlue / smallest, 1.0, 5.0);
    return 0;
}

// Mosaic to sensor planes: the part of a pass that the gains do not affect.
void PrepareSensorPlanes(uint8_t *frame) {
    Deinterleave(frame);
    BuildGreenPlane(frame, g_greenPlane);
    Interpolate(g_colour, frame, g_greenPlane, g_sensor);
}

} // namespace

bool OpenColourEngine() {
    if (g_engineOpen) return true;
    const FrameFormat input =
        MakeFormat(kFrameWidth, kFrameHeight, 8, kFourCcPshu, kFrameWidth * kFrameHeight);
    const FrameFormat output = MakeFormat(kPictureWidth, kPictureHeight, 24, 0, kPictureBytes);
    if (!g_colourInitialised) {
        SetDefaults(g_colour);
        g_colourInitialised = true;
    }
    if (!FormatsMatch(input, output)) return false;
    g_greenPlane = AllocEnginePlane(static_cast<size_t>(input.width - 2) * (input.height - 2));
    if (g_greenPlane == nullptr) return false;
    g_colour.inputFormat = input;
    g_colour.outputFormat = output;
    g_colour.matrixValid = false;
    g_colour.gammaTableValid = false;
    PrepareTables(g_colour);
    g_engineOpen = true;
    return true;
}

void CloseColourEngine() {
    if (!g_engineOpen) return;
    FreeEnginePlane(g_greenPlane);
    g_greenPlane = nullptr;
    g_colourInitialised = false;
    g_engineOpen = false;
}

bool ColourEngineIsOpen() {
    return g_engineOpen;
}

const ColourState *CurrentColourState() {
    return g_colourInitialised ? &g_colour : nullptr;
}

int ColourPass(uint8_t *frame, uint8_t *picture) {
    PrepareTables(g_colour);
    PrepareSensorPlanes(frame);
    Convert(g_colour, g_sensor, picture);
    return BalanceStep(g_colour);
}

bool ColourizeLoop(const uint8_t *raw, uint8_t *picture, int32_t blackLevel) {
    // Every pass would reformat the same raw rows into the same frame and
    // interpolate it the same way; only the gains change from pass to pass.
    if (!ReformatFrame(raw, g_lib.workBuffer, blackLevel, g_defectCorrectionSetting)) return false;
    PrepareSensorPlanes(g_lib.workBuffer);
    for (int pass = 0; pass < kMaxColourPasses; ++pass) {
        PrepareTables(g_colour);
        Convert(g_colour, g_sensor, picture);
        if (BalanceStep(g_colour) == 1) break;
    }
    return true;
}

} // namespace tarnlink

using namespace tarnlink;

extern "C" SCI_API SciStatus SCICALL SciOpenColour(void) {
    if (g_lib.sessionOpen) return SCI_OK; // the session's engine is in use
    return OpenColourEngine() ? SCI_OK : SCI_FAILED;
}

extern "C" SCI_API SciStatus SCICALL SciCloseColour(void) {
    if (g_lib.sessionOpen) return SCI_FAILED;
    CloseColourEngine();
    return SCI_OK;
}

extern "C" SCI_API SciStatus SCICALL SciColourizeImage(const uint8_t *frame, uint8_t *picture) {
    if (frame == nullptr || picture == nullptr) return SCI_NULL_POINTER;
    if (!ColourEngineIsOpen() || g_lib.workBuffer == nullptr) return SCI_IMAGE_COLOUR_FAIL;
    const int32_t level = g_blackOffsetSetting == 255 ? g_lib.lineBlackLevel : g_blackOffsetSetting;
    return ColourizeLoop(frame, picture, level) ? SCI_OK : SCI_IMAGE_COLOUR_FAIL;
}

extern "C" SCI_API SciStatus SCICALL SciImageReformat(uint8_t *frame, uint8_t *picture) {
    if (frame == nullptr || picture == nullptr) return SCI_IMAGE_NULL;
    if (!ColourEngineIsOpen()) return SCI_IMAGE_COLOUR_FAIL;
    return ColourPass(frame, picture) == 1 ? SCI_OK : SCI_FAILED;
}

extern "C" SCI_API SciStatus SCICALL SciSetBlackOffset(int32_t level) {
    g_blackOffsetSetting = static_cast<uint8_t>(level & 0xFF);
    return SCI_OK;
}

extern "C" SCI_API SciStatus SCICALL SciSetDefectCorrection(int32_t flag) {
    g_defectCorrectionSetting = flag;
    return SCI_OK;
}

extern "C" SCI_API SciStatus SCICALL SciSetCompMatRawScale(double scale) {
    if (g_colourInitialised) g_colour.rawScale = scale;
    return SCI_OK;
}

extern "C" SCI_API SciStatus SCICALL SciSetYAccThresh(int32_t threshold) {
    if (g_colourInitialised) g_colour.yAccThresh = threshold;
    return SCI_OK;
}
