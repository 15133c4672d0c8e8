#include "exposure.h"

#include "image_files.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace camsim {

namespace {

// ---- the camera's published colour constants ----

// Corrected red, green, blue (rows) from sensor red, green, blue (columns).
constexpr double kCompensation[3][3] = {{3.0, -1.0, -0.25}, {-0.75, 3.0, -0.4}, {-1.08, -1.5, 6.0}};
constexpr double kRawScale = 0.6;
// Y, Cb, Cr (rows) from red, green, blue (columns).
constexpr double kToYcc[3][3] = {
    {0.2568, 0.5041, 0.09791}, {-0.1482, -0.291, 0.4392}, {0.4392, -0.3678, -0.0714}};
// Red, green, blue (rows) from Y, Cb, Cr (columns): the host's way back, no offsets.
constexpr double kFromYcc[3][3] = {
    {1.1644, 0.0, 1.596}, {1.1644, -0.3942, -0.813}, {1.1644, 2.017, 0.0}};
constexpr double kToneExponent = 0.625;
constexpr double kToneToeSlope = 4.5;

// The host's white balance: the mean cast of the bright pixels, stepped a little per pass.
constexpr int kBalanceLuma = 120;     // tone-mapped luma a pixel must exceed to be measured
constexpr int kBalanceDivisor = 2400; // the picture's 19,200 pixels / 8
constexpr int kBalanceSettled = 10;
constexpr double kBalanceStep = 0.001;
constexpr double kGreenStep = 0.0005;
constexpr double kGainStepLimit = 0.05;
constexpr double kGainMin = 1.0, kGainMax = 5.0;
constexpr int kBalancePasses = 50;

// The host's picture stands for the sites from (1.5, 1.5) on: 160 x 120 of them.
constexpr int kPictureLeft = 2, kPictureTop = 2, kPictureWidth = 160, kPictureHeight = 120;

// What the metering may do: the light it lets in, and how much more of the picture it lets
// blow out to white than the scene itself shows.
constexpr double kLeastLight = 1.0 / 64, kMostLight = 4.0;
constexpr double kExtraWhiteShare = 0.005;
constexpr int kMeteringSearchSteps = 24;
constexpr double kBalancedSearchAbove = 1.25;
constexpr int kLadderRungs = 24;  // 8 % apart over the factor of 6.25 searched
constexpr int kCrossingSteps = 6; // to 0.1 %

struct Matrix {
    double m[3][3];
};

Matrix product(const double a[3][3], const double b[3][3]) {
    Matrix p{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) p.m[i][j] += a[i][k] * b[k][j];
    return p;
}

Matrix inverse(const Matrix &a) {
    const double(*m)[3] = a.m;
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    Matrix r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            // Cofactor of (j, i), with the rows and columns taken cyclically for the sign.
            const int r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
            r.m[i][j] = (m[r0][c0] * m[r1][c1] - m[r0][c1] * m[r1][c0]) / det;
        }
    return r;
}

// The host's colour matrix: raw scale x to-YCbCr x diag(gains) x compensation.
Matrix colour_matrix(const double gains[3]) {
    double scaled[3][3];
    for (int k = 0; k < 3; ++k)
        for (int j = 0; j < 3; ++j) scaled[k][j] = kRawScale * gains[k] * kCompensation[k][j];
    return product(kToYcc, scaled);
}

struct Ycc {
    int y, cb, cr;
};

Ycc to_ycc(const Matrix &m, const uint8_t s[3]) {
    int v[3];
    for (int i = 0; i < 3; ++i)
        v[i] = static_cast<int>(m.m[i][0] * s[0] + m.m[i][1] * s[1] + m.m[i][2] * s[2]);
    return {v[0], v[1], v[2]};
}

int clamp_level(int v) {
    return v < 0 ? 0 : (v > 255 ? 255 : v);
}

void from_ycc(const Ycc &c, uint8_t out[3]) {
    const uint8_t *tone = camera_tone_table();
    for (int i = 0; i < 3; ++i)
        out[i] = tone[clamp_level(static_cast<int>(kFromYcc[i][0] * c.y + kFromYcc[i][1] * c.cb +
                                                   kFromYcc[i][2] * c.cr))];
}

struct Tables {
    uint8_t tone[256];
    double light[256];
    Matrix toYcc;      // the fixed part of the colour matrix, gains 1
    Matrix fromYcc;    // the back conversion
    Matrix ofYcc;      // YCbCr that the back conversion turns into a corrected colour
    Matrix ofResponse; // samples that the fixed colour matrix turns into a YCbCr
};

Tables build_tables() {
    Tables t{};
    for (int i = 0; i < 256; ++i) {
        const int curve = static_cast<int>(255.0 * std::pow(i / 255.0, kToneExponent));
        const int toe = static_cast<int>(kToneToeSlope * i);
        int e = curve < toe ? curve : toe;
        t.tone[i] = static_cast<uint8_t>(e > 255 ? 255 : e);
    }
    for (int level = 0; level < 256; ++level) {
        int lo = -1, hi = -1, nearest = 0;
        for (int i = 0; i < 256; ++i) {
            if (t.tone[i] == level) {
                if (lo < 0) lo = i;
                hi = i;
            }
            if (std::abs(t.tone[i] - level) <= std::abs(t.tone[nearest] - level)) nearest = i;
        }
        // The host truncates before the lookup, so aim at the middle of the indices' span. A
        // level the table skips goes to the nearest entry, the brighter one when two are as
        // near: in the shadows, where the table jumps from 0 to 4, detail stays visible.
        t.light[level] = lo >= 0 ? (lo + hi + 1) / 2.0 : nearest + 0.5;
    }
    const double ones[3] = {1.0, 1.0, 1.0};
    t.toYcc = colour_matrix(ones);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) t.fromYcc.m[i][j] = kFromYcc[i][j];
    t.ofYcc = inverse(t.fromYcc);
    t.ofResponse = inverse(t.toYcc);
    return t;
}

const Tables &tables() {
    static const Tables t = build_tables();
    return t;
}

double sign(double v) {
    return v > 0 ? 1.0 : (v < 0 ? -1.0 : 0.0);
}

// Samples per unit of light, before exposure: what the fixed colour correction maps to the
// photograph's colour. Y, Cb and Cr are aimed at the middle of the host's truncation steps.
void response_of(const uint8_t rgb[3], double out[3]) {
    const Tables &t = tables();
    double target[3], ycc[3];
    for (int i = 0; i < 3; ++i) target[i] = t.light[rgb[i]];
    for (int i = 0; i < 3; ++i) {
        ycc[i] = 0;
        for (int j = 0; j < 3; ++j) ycc[i] += t.ofYcc.m[i][j] * target[j];
        ycc[i] += 0.5 * sign(ycc[i]);
    }
    for (int i = 0; i < 3; ++i) {
        out[i] = 0;
        for (int j = 0; j < 3; ++j) out[i] += t.ofResponse.m[i][j] * ycc[j];
    }
}

// A sensor records what it can: nothing below black, nothing beyond its full level.
uint8_t record(double light) {
    const double v = std::floor(light + 0.5);
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// The lens and the sensor's low-pass filter spread each point over the neighbouring sites,
// (1 2 1) / 4 across and down: a mosaic that samples each colour at every other site would
// otherwise alias detail as fine as the sites, which the host's interpolation and sharpening
// then turn into false colour and dark rims. The light is linear here, so spreading it is
// what the optics do.
void spread_by_lens(std::vector<double> &response, int width, int height) {
    std::vector<double> across(response.size());
    const auto at = [width](int x, int y, int c) {
        return (static_cast<size_t>(y) * width + x) * 3 + c;
    };
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                const int left = x > 0 ? x - 1 : x, right = x + 1 < width ? x + 1 : x;
                across[at(x, y, c)] = (response[at(left, y, c)] + 2 * response[at(x, y, c)] +
                                       response[at(right, y, c)]) /
                                      4;
            }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                const int up = y > 0 ? y - 1 : y, down = y + 1 < height ? y + 1 : y;
                response[at(x, y, c)] =
                    (across[at(x, up, c)] + 2 * across[at(x, y, c)] + across[at(x, down, c)]) / 4;
            }
}

// The metering looks at every other site of the host's picture, across and down: a quarter
// of the work for each exposure it tries, with the same statistics at this scale.
constexpr int kMeteringStride = 2;
constexpr int kMeteringSites =
    (kPictureWidth / kMeteringStride) * (kPictureHeight / kMeteringStride);
constexpr int kPictureSites = kPictureWidth * kPictureHeight;

// The photograph's light on the sensor, unexposed, and what the metering aims at.
struct Scene {
    std::vector<double> response; // 3 per site
    std::vector<double> metered;  // 3 per metering site
    double meanLevel = 0;         // the photograph's mean level at the metering sites
    double whiteShare = 0;        // and its share of pure white there
};

void expose(const std::vector<double> &response, double light, uint8_t *samples) {
    for (size_t i = 0; i < response.size(); ++i) samples[i] = record(light * response[i]);
}

// Where the host's balance settles for these samples, from gains of 1, pass by pass as the
// host steps it.
void settle_balance(const std::vector<uint8_t> &samples, double gains[3]) {
    const uint8_t *tone = camera_tone_table();
    gains[0] = gains[1] = gains[2] = 1.0;
    for (int pass = 0; pass < kBalancePasses; ++pass) {
        const Matrix m = colour_matrix(gains);
        long long sumCb = 0, sumCr = 0;
        for (size_t i = 0; i < samples.size(); i += 3) {
            const Ycc c = to_ycc(m, &samples[i]);
            if (tone[clamp_level(c.y)] <= kBalanceLuma) continue;
            sumCb += c.cb;
            sumCr += c.cr;
        }
        const long long sites = static_cast<long long>(samples.size() / 3);
        const long long cb = sumCb * kPictureSites / sites / kBalanceDivisor;
        const long long cr = sumCr * kPictureSites / sites / kBalanceDivisor;
        if (std::llabs(cb) <= kBalanceSettled && std::llabs(cr) <= kBalanceSettled) return;
        const auto limit = [](double d) { return std::clamp(d, -kGainStepLimit, kGainStepLimit); };
        const bool sameSign = (cb > 0 && cr > 0) || (cb < 0 && cr < 0);
        gains[0] += limit(-kBalanceStep * static_cast<double>(cr));
        gains[1] += limit(sameSign ? kGreenStep * static_cast<double>(cb + cr) : 0.0);
        gains[2] += limit(-kBalanceStep * static_cast<double>(cb));
        const double least = std::min({gains[0], gains[1], gains[2]});
        for (int i = 0; i < 3; ++i) gains[i] = std::clamp(gains[i] / least, kGainMin, kGainMax);
    }
}

struct Rendered {
    double meanLevel = 0;
    double whiteShare = 0;
};

Rendered render_sites(const std::vector<uint8_t> &samples, const double gains[3]) {
    const Matrix m = colour_matrix(gains);
    long long sum = 0;
    int white = 0;
    for (size_t i = 0; i < samples.size(); i += 3) {
        uint8_t out[3];
        from_ycc(to_ycc(m, &samples[i]), out);
        sum += out[0] + out[1] + out[2];
        white += (out[0] & out[1] & out[2]) == 255;
    }
    const double sites = static_cast<double>(samples.size() / 3);
    return {static_cast<double>(sum) / (3 * sites), white / sites};
}

// The picture the host makes of the scene at an exposure: the gains its balance settles at
// and how bright the result is.
struct Shot {
    double light;
    double gains[3];
    Rendered rendered;
};

Shot take(const Scene &scene, double light, bool balanced) {
    Shot s{light, {1.0, 1.0, 1.0}, {}};
    std::vector<uint8_t> samples(scene.metered.size());
    expose(scene.metered, light, samples.data());
    if (balanced) settle_balance(samples, s.gains);
    s.rendered = render_sites(samples, s.gains);
    return s;
}

bool within(const Scene &scene, const Rendered &r) {
    return r.meanLevel <= scene.meanLevel && r.whiteShare <= scene.whiteShare + kExtraWhiteShare;
}

// How far a shot's mean level is from the scene's; one that blows out too much never fits.
double miss(const Scene &scene, const Shot &s) {
    if (s.rendered.whiteShare > scene.whiteShare + kExtraWhiteShare) return HUGE_VAL;
    return std::fabs(s.rendered.meanLevel - scene.meanLevel);
}

// The light at which the picture's mean level comes nearest the scene's, with no more of it
// blown out to white than the allowance.
//
// The balance's gains depend on the exposure, and not smoothly: more light makes more pixels
// bright enough to be measured, a larger cast to correct, and the host stops stepping after a
// fixed number of passes. So the mean level can jump as the light grows, and the search
// tries a ladder of exposures with the gains settled anew for each, then narrows down
// wherever the mean crosses the scene's. Without the balance the mean grows steadily with
// the light, and that light bounds the ladder: the gains only rise, which mostly brightens,
// so the balanced light lies below it, or a little above where a raised blue gain darkens
// dark yellows.
Shot meter(const Scene &scene) {
    double low = kLeastLight, high = kMostLight;
    for (int step = 0; step < kMeteringSearchSteps; ++step) {
        const double mid = std::sqrt(low * high);
        (within(scene, take(scene, mid, false).rendered) ? low : high) = mid;
    }
    const double top = std::min(kMostLight, low * kBalancedSearchAbove);
    const double bottom = std::max(kLeastLight, low / kGainMax);
    std::vector<Shot> ladder;
    for (int rung = 0; rung < kLadderRungs; ++rung)
        ladder.push_back(
            take(scene, bottom * std::pow(top / bottom, rung / (kLadderRungs - 1.0)), true));
    Shot best = ladder[0];
    for (const Shot &s : ladder)
        if (miss(scene, s) < miss(scene, best)) best = s;
    for (size_t rung = 0; rung + 1 < ladder.size(); ++rung) {
        Shot dim = ladder[rung], bright = ladder[rung + 1];
        if (within(scene, bright.rendered) || !within(scene, dim.rendered)) continue;
        for (int step = 0; step < kCrossingSteps; ++step) {
            const Shot s = take(scene, std::sqrt(dim.light * bright.light), true);
            if (miss(scene, s) < miss(scene, best)) best = s;
            (within(scene, s.rendered) ? dim : bright) = s;
        }
    }
    return best;
}

} // namespace

const uint8_t *camera_tone_table() {
    return tables().tone;
}

double light_for_level(int level) {
    return tables().light[clamp_level(level)];
}

Exposure expose_photograph(const RgbImage &picture) {
    const RgbImage photo = picture.width == kSensorWidth && picture.height == kSensorHeight
                               ? picture
                               : fit_to_sensor(picture);
    Exposure e;
    e.samples = make_image(photo.width, photo.height);
    e.shown = make_image(photo.width, photo.height);
    Scene scene;
    scene.response.resize(photo.rgb.size());
    for (size_t i = 0; i < photo.rgb.size(); i += 3) response_of(&photo.rgb[i], &scene.response[i]);
    spread_by_lens(scene.response, photo.width, photo.height);
    long long sum = 0;
    int white = 0;
    for (int y = kPictureTop; y < kPictureTop + kPictureHeight; y += kMeteringStride)
        for (int x = kPictureLeft; x < kPictureLeft + kPictureWidth; x += kMeteringStride) {
            const uint8_t *p = pixel_at(photo, x, y);
            sum += p[0] + p[1] + p[2];
            white += (p[0] & p[1] & p[2]) == 255;
            const size_t at = (static_cast<size_t>(y) * photo.width + x) * 3;
            scene.metered.insert(scene.metered.end(), &scene.response[at], &scene.response[at + 3]);
        }
    scene.meanLevel = static_cast<double>(sum) / (3.0 * kMeteringSites);
    scene.whiteShare = static_cast<double>(white) / kMeteringSites;

    const Shot s = meter(scene);
    e.light = s.light;
    for (int i = 0; i < 3; ++i) e.gains[i] = s.gains[i];
    expose(scene.response, e.light, e.samples.rgb.data());
    const Matrix m = colour_matrix(e.gains);
    for (size_t i = 0; i < e.samples.rgb.size(); i += 3)
        from_ycc(to_ycc(m, &e.samples.rgb[i]), &e.shown.rgb[i]);
    return e;
}

} // namespace camsim
