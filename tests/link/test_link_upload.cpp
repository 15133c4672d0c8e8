// Uploads of pictures and thumbnails: a known picture through the simulator
// compared with the reference processing, the trailer record, the line-by-line
// conversation, and replies the uploads must refuse.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/state.h"
#include "link_fixture.h"
#include "support/colour_reference.h"

using namespace linktest;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int kW = 164, kH = 124;

// The test picture: smooth ramps in each channel and a bright block, so that
// every channel and the white balance have something to do.
void PictureRgb(int x, int y, uint8_t rgb[3]) {
    rgb[0] = static_cast<uint8_t>(40 + x);
    rgb[1] = static_cast<uint8_t>(60 + y);
    rgb[2] = static_cast<uint8_t>(100 + (x + y) / 4);
    if (x >= 100 && x < 140 && y >= 30 && y < 70) rgb[0] = rgb[1] = rgb[2] = 230;
}

void Put16(Bytes &b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes &b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

// Writes a picture as a 24-bit bottom-up BMP of the sensor's size.
std::string WritePictureFile(void (*pixel)(int x, int y, uint8_t rgb[3]) = PictureRgb) {
    const std::string path = ScratchPath("picture.bmp");
    const uint32_t rowBytes = kW * 3; // 492, already a multiple of four
    Bytes b;
    b.push_back('B');
    b.push_back('M');
    Put32(b, 54 + rowBytes * kH);
    Put32(b, 0);
    Put32(b, 54);
    Put32(b, 40);
    Put32(b, kW);
    Put32(b, kH);
    Put16(b, 1);
    Put16(b, 24);
    for (int i = 0; i < 6; ++i) Put32(b, 0);
    for (int y = kH - 1; y >= 0; --y)
        for (int x = 0; x < kW; ++x) {
            uint8_t rgb[3];
            pixel(x, y, rgb);
            b.push_back(rgb[2]);
            b.push_back(rgb[1]);
            b.push_back(rgb[0]);
        }
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return "";
    std::fwrite(b.data(), 1, b.size(), f);
    std::fclose(f);
    return path;
}

int Luma(const uint8_t rgb[3]) {
    return (77 * rgb[0] + 150 * rgb[1] + 29 * rgb[2] + 128) / 256;
}

// A thumbnail reply's bytes as a control "raw" line: ACK, STX, 'm', a header
// announcing `size` bytes (40 x 31 + 16 for the usual one), payload, ETX.
std::string ThumbnailScript(const Bytes &payload, uint8_t h0, uint8_t h1, uint8_t h2, uint8_t h3) {
    std::string s = "06 02 6D";
    char hex[4];
    for (uint8_t h : {h0, h1, h2, h3}) {
        std::snprintf(hex, sizeof hex, " %02X", h);
        s += hex;
    }
    for (uint8_t v : payload) {
        std::snprintf(hex, sizeof hex, " %02X", v);
        s += hex;
    }
    return s + " 03";
}

Bytes UsualThumbnailPayload(const uint8_t trailer[16]) {
    Bytes p(1256);
    for (int i = 0; i < 1240; ++i) p[i] = static_cast<uint8_t>(i * 7 + i / 40);
    std::memcpy(p.data() + 1240, trailer, 16);
    return p;
}

// The reference processing of raw picture rows into a colour picture.
Bytes ReferenceColour(const uint8_t *raw, int black) {
    ref::ColourSettings st;
    Bytes frame(kW * kH), picture(SCI_PICTURE_BYTES);
    for (int pass = 0; pass < 50; ++pass) {
        ref::Reformat(raw, frame.data(), black, 1);
        if (ref::ColourPass(st, frame.data(), picture.data()) == 1) break;
    }
    return picture;
}

// The grey picture made by hand from reformatted rows (defect correction off).
Bytes ReferenceGrey(const uint8_t *raw, int black) {
    Bytes frame(kW * kH), grey(SCI_GREY_BYTES);
    ref::Reformat(raw, frame.data(), black, 0);
    for (int k = 0; k < 120; ++k)
        for (int i = 0; i < 80; ++i) {
            grey[160 * k + 2 * i] = frame[(121 - k) * kW + 83 + i];
            grey[160 * k + 2 * i + 1] = frame[(121 - k) * kW + 1 + i];
        }
    return grey;
}

struct LineUpload {
    SciStatus status = SCI_FAILED;
    Bytes raw; // the picture rows, end to end
    SciImageInfo info = {};
};

LineUpload UploadByLines() {
    LineUpload u;
    int32_t lines = 0, length = 0;
    u.status = SciBeginUploadImage(&lines, &length);
    if (u.status != SCI_OK) return u;
    EXPECT_EQ(lines, 124);
    EXPECT_EQ(length, 164);
    u.raw.resize(static_cast<size_t>(lines) * length);
    for (int i = 0; i < lines; ++i) {
        u.status = SciUploadImageLine(u.raw.data() + i * length, length);
        if (u.status != SCI_OK) return u;
    }
    u.status = SciUploadImageInfo(&u.info);
    return u;
}

} // namespace

class Upload : public Link {
  protected:
    void SetUp() override {
        Link::SetUp();
        SciSetBlackOffset(255);
    }
    void TearDown() override {
        SciSetBlackOffset(255);
        Link::TearDown();
    }
};

TEST_F(Upload, KnownPictureRoundTrip) {
    const std::string file = WritePictureFile();
    ASSERT_FALSE(file.empty());
    ControlOk("load 3 " + file);
    std::remove(file.c_str());

    // The raw rows by the line-by-line conversation.
    ControlOk("counter 3");
    const LineUpload lines = UploadByLines();
    ASSERT_EQ(lines.status, SCI_OK);
    EXPECT_EQ(lines.info.trailer0, 3u); // the simulator puts the slot there
    EXPECT_EQ(lines.info.blackLevel, 16u);

    // Colour: the library's result equals the reference on the same rows.
    ControlOk("counter 3");
    Bytes picture(SCI_PICTURE_BYTES, 0xCD);
    SciImageInfo info = {};
    ASSERT_EQ(SciUploadImage(picture.data(), &info), SCI_OK);
    EXPECT_EQ(LastPacket(), (Bytes{0x02, 0x55, 0x00, 0x03}));
    EXPECT_EQ(std::memcmp(tarnlink::g_lib.imageBuffer + 328, lines.raw.data(), lines.raw.size()), 0)
        << "the whole upload read other rows than the line-by-line one";
    EXPECT_EQ(info.trailer0, 3u);
    EXPECT_EQ(info.blackLevel, 16u);
    EXPECT_EQ(picture, ReferenceColour(lines.raw.data(), 16));

    // Grey: by hand from the reformatted rows.
    ControlOk("counter 3");
    Bytes grey(SCI_GREY_BYTES, 0xCD);
    ASSERT_EQ(SciUploadGreyImage(grey.data(), nullptr), SCI_OK);
    EXPECT_EQ(grey, ReferenceGrey(lines.raw.data(), 16));

    // A set black offset is used for reformatting; the record keeps the measured level.
    SciSetBlackOffset(10);
    ControlOk("counter 3");
    ASSERT_EQ(SciUploadGreyImage(grey.data(), &info), SCI_OK);
    EXPECT_EQ(grey, ReferenceGrey(lines.raw.data(), 10));
    EXPECT_EQ(info.blackLevel, 16u);
    SciSetBlackOffset(255);

    // Thumbnail: 4 x 4 blocks of the picture's luma as the camera shows it, bottom line
    // first. The lens softens the bright block's edges; elsewhere the luma is the file's.
    ControlOk("counter 3");
    Bytes thumb(SCI_THUMBNAIL_BYTES, 0xCD);
    ASSERT_EQ(SciUploadThumbnail(thumb.data(), &info), SCI_OK);
    EXPECT_EQ(LastPacket(), (Bytes{0x02, 0x4D, 0x00, 0x03}));
    EXPECT_EQ(info.blackLevel, 0u);
    int worst = 0, total = 0;
    for (int j = 0; j < 31; ++j)
        for (int i = 0; i < 40; ++i) {
            int sum = 0;
            for (int y = 4 * j; y < 4 * j + 4; ++y)
                for (int x = 4 * i + 2; x < 4 * i + 6; ++x) {
                    uint8_t rgb[3];
                    PictureRgb(x, y, rgb);
                    sum += Luma(rgb);
                }
            const int miss = std::abs(thumb[(30 - j) * 40 + i] - sum / 16);
            worst = std::max(worst, miss);
            total += miss;
        }
    EXPECT_LE(worst, 6);
    EXPECT_LE(total, 40 * 31) << "more than a level off on average";
}

// Grey with a red block at the top left and a blue one at the bottom right.
void TwoBlocksRgb(int x, int y, uint8_t rgb[3]) {
    rgb[0] = rgb[1] = rgb[2] = 60;
    if (x >= 10 && x < 50 && y >= 10 && y < 50) rgb[0] = 200, rgb[1] = rgb[2] = 30;
    if (x >= 110 && x < 150 && y >= 70 && y < 110) rgb[0] = rgb[1] = 30, rgb[2] = 200;
}

// The colour picture shows the file the right way round and in its colours:
// what the simulator makes of a file and what the library makes of the
// simulator's rows must undo each other, not just agree byte for byte.
TEST_F(Upload, ColourPictureKeepsPlaceAndColour) {
    const std::string file = WritePictureFile(TwoBlocksRgb);
    ASSERT_FALSE(file.empty());
    ControlOk("load 2 " + file);
    std::remove(file.c_str());
    ControlOk("counter 2");
    Bytes picture(SCI_PICTURE_BYTES);
    ASSERT_EQ(SciUploadImage(picture.data(), nullptr), SCI_OK);
    // Picture pixel (X, Y), Y from the top, shows sensor site (X + 1.5, Y + 1.5);
    // rows are stored bottom first, bytes blue, green, red.
    const auto at = [&](int x, int y, int c) {
        return static_cast<int>(picture[(119 - y) * 480 + 3 * x + c]);
    };
    // Red less blue: high in the red block, low in the blue one, and in
    // between (the grey, with the camera's own cast) where the blocks would
    // be if the picture came out mirrored or upside down.
    const auto redness = [&](int x, int y) { return at(x, y, 2) - at(x, y, 0); };
    const int red = redness(28, 28), blue = redness(128, 88);
    EXPECT_GT(red, blue + 200);
    for (const auto &p : {std::pair<int, int>{131, 28}, std::pair<int, int>{28, 91},
                          std::pair<int, int>{31, 88}, std::pair<int, int>{128, 31}}) {
        const int r = redness(p.first, p.second);
        EXPECT_LT(r, red - 60) << "at " << p.first << "," << p.second;
        EXPECT_GT(r, blue + 60) << "at " << p.first << "," << p.second;
    }
}

// A photograph comes back in its own colours and brightness: the simulator sends the sensor
// samples that the camera's colour correction and tone table turn into the file's colours,
// and the library applies them. Patches whose casts about cancel on a grey ground leave the
// balance little to do.
void PatchesRgb(int x, int y, uint8_t rgb[3]) {
    static const uint8_t kPatches[6][3] = {{224, 172, 140}, {96, 144, 208},  {72, 136, 56},
                                           {90, 60, 40},    {232, 232, 232}, {40, 40, 40}};
    rgb[0] = rgb[1] = rgb[2] = 128;
    const int i = (x - 10) / 25;
    if (x >= 10 && i < 6 && (x - 10) % 25 < 20 && y >= 50 && y < 70)
        for (int c = 0; c < 3; ++c) rgb[c] = kPatches[i][c];
}

TEST_F(Upload, PhotographComesBackInItsColours) {
    const std::string file = WritePictureFile(PatchesRgb);
    ASSERT_FALSE(file.empty());
    ControlOk("load 1 " + file);
    std::remove(file.c_str());
    ControlOk("counter 1");
    Bytes picture(SCI_PICTURE_BYTES);
    ASSERT_EQ(SciUploadImage(picture.data(), nullptr), SCI_OK);
    // Picture pixel (X, Y) stands for sensor site (X + 1.5, Y + 1.5).
    const auto at = [&](int x, int y, int c) {
        return static_cast<int>(picture[(119 - y) * 480 + 3 * x + 2 - c]); // c: 0 red
    };
    for (int i = 0; i < 6; ++i) {
        uint8_t want[3];
        PatchesRgb(20 + 25 * i, 60, want);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(at(18 + 25 * i, 58, c), want[c], 5) << "patch " << i << " channel " << c;
    }
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(at(80, 20, c), 128, 4) << "the grey ground";
}

TEST_F(Upload, ThumbnailRowsAndTrailer) {
    const uint8_t trailer[16] = {1, 2, 255, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};
    const Bytes payload = UsualThumbnailPayload(trailer);
    Script(ThumbnailScript(payload, 40, 31, 0, 16));
    Bytes thumb(SCI_THUMBNAIL_BYTES);
    SciImageInfo info;
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(SciUploadThumbnail(thumb.data(), &info), SCI_OK);
    EXPECT_TRUE(std::equal(thumb.begin(), thumb.begin() + 40, payload.begin() + 1200));
    EXPECT_TRUE(std::equal(thumb.end() - 40, thumb.end(), payload.begin()));
    for (int j = 0; j < 31; ++j)
        EXPECT_EQ(std::memcmp(&thumb[(30 - j) * 40], &payload[j * 40], 40), 0) << "line " << j;
    EXPECT_EQ(info.trailer0, 1u);
    EXPECT_EQ(info.trailer1, 2u);
    EXPECT_EQ(info.trailer2PlusOne, 256u);
    EXPECT_EQ(info.trailerFactor, 4u);
    EXPECT_EQ(info.trailer15, 9u);
    EXPECT_EQ(info.blackLevel, 0u);

    for (const int code : {0, 1, 3, 7}) {
        uint8_t t[16] = {};
        t[3] = static_cast<uint8_t>(code);
        Script(ThumbnailScript(UsualThumbnailPayload(t), 40, 31, 0, 16));
        ASSERT_EQ(SciUploadThumbnail(thumb.data(), &info), SCI_OK);
        const uint32_t factor[] = {1, 2, 0, 8, 0, 0, 0, 0};
        EXPECT_EQ(info.trailerFactor, factor[code]) << code;
    }
}

TEST_F(Upload, ShortRepliesAreRefused) {
    // A thumbnail reply of 1,000 bytes would leave 256 stale bytes in the rows.
    uint8_t trailer[16] = {};
    Bytes payload = UsualThumbnailPayload(trailer);
    payload.resize(1000);
    Script(ThumbnailScript(payload, 100, 10, 0, 0));
    Bytes thumb(SCI_THUMBNAIL_BYTES, 0xCD);
    EXPECT_EQ(SciUploadThumbnail(thumb.data(), nullptr), SCI_COMMS_BAD_PACKET);
    EXPECT_EQ(thumb, Bytes(SCI_THUMBNAIL_BYTES, 0xCD));

    // A picture reply of 20 bytes.
    Script("06 02 75 0A 01 01 00 00 01 02 03 04 05 06 07 08 09 10 11 12 13 14 15 16 17 18 19 03");
    Bytes picture(SCI_PICTURE_BYTES, 0xCD);
    EXPECT_EQ(SciUploadImage(picture.data(), nullptr), SCI_COMMS_BAD_PACKET);
    EXPECT_EQ(picture, Bytes(SCI_PICTURE_BYTES, 0xCD));
    Script("06 02 75 00 00 00 00 03"); // empty
    EXPECT_EQ(SciUploadGreyImage(picture.data(), nullptr), SCI_COMMS_BAD_PACKET);
    EXPECT_EQ(picture, Bytes(SCI_PICTURE_BYTES, 0xCD));
}

TEST_F(Upload, OversizeReplyIsRefusedBeforeItsPayload) {
    Script("06 02 75 A4 02 7C 11"); // 20,681 bytes announced
    Bytes picture(SCI_PICTURE_BYTES, 0xCD);
    EXPECT_EQ(SciUploadImage(picture.data(), nullptr), SCI_BUFFER_TOO_SMALL);
    Script("06 02 6D 28 1F 00 11"); // 1,257
    EXPECT_EQ(SciUploadThumbnail(picture.data(), nullptr), SCI_BUFFER_TOO_SMALL);
    EXPECT_EQ(picture, Bytes(SCI_PICTURE_BYTES, 0xCD));
}

TEST_F(Upload, BusyEmptyAndBrokenUploads) {
    ControlOk("counter 0");
    Bytes picture(SCI_PICTURE_BYTES, 0xCD);
    ControlOk("fault U busy");
    EXPECT_EQ(SciUploadImage(picture.data(), nullptr), SCI_CAMERA_BUSY);
    ControlOk("fault M busy");
    EXPECT_EQ(SciUploadThumbnail(picture.data(), nullptr), SCI_CAMERA_BUSY);
    ControlOk("fault U wrongtype");
    EXPECT_EQ(SciUploadGreyImage(picture.data(), nullptr), SCI_COMMS_BAD_RESPONSE);
    EXPECT_EQ(picture, Bytes(SCI_PICTURE_BYTES, 0xCD));

    ControlOk("erase 5");
    ControlOk("counter 5");
    EXPECT_EQ(SciUploadImage(picture.data(), nullptr), SCI_COMMS_SEND_NAK);

    // A camera that stops in the middle of the picture: 234, nothing delivered.
    ControlOk("counter 0");
    ControlOk("fault U stopmid");
    EXPECT_EQ(SciUploadImage(picture.data(), nullptr), 234);
    EXPECT_EQ(picture, Bytes(SCI_PICTURE_BYTES, 0xCD));
    EXPECT_EQ(SciSyncCamera(), SCI_OK);
}

TEST_F(Upload, LineByLineConversation) {
    ControlOk("counter 0");
    const LineUpload u = UploadByLines();
    EXPECT_EQ(u.status, SCI_OK);
    // The conversation left the link in step.
    uint8_t index = 0xEE;
    EXPECT_EQ(SciGetImageIndex(&index), SCI_OK);

    int32_t lines = -1, length = -1;
    Script("06 02 21 05 03");
    EXPECT_EQ(SciBeginUploadImage(&lines, &length), SCI_CAMERA_BUSY);
    Script("06 02 21 05 04");
    EXPECT_EQ(SciBeginUploadImage(&lines, &length), SCI_COMMS_BAD_PACKET);
    Script("06 02 69 05 03");
    EXPECT_EQ(SciBeginUploadImage(&lines, &length), SCI_COMMS_BAD_RESPONSE);
    EXPECT_EQ(SciSyncCamera(), SCI_OK); // the rest of the 'i' reply
    Script("06 02 55 05 03");
    EXPECT_EQ(SciBeginUploadImage(&lines, &length), SCI_COMMS_BAD_RESPONSE);
    EXPECT_EQ(SciSyncCamera(), SCI_OK);

    // Three leading lines do not fit.
    Script("06 02 75 A4 03 7C 10");
    EXPECT_EQ(SciBeginUploadImage(&lines, &length), SCI_BUFFER_TOO_SMALL);
    // Leading lines too short to hold the black reference.
    Script("06 02 75 64 02 7C 10");
    EXPECT_EQ(SciBeginUploadImage(&lines, &length), SCI_COMMS_BAD_PACKET);

    // A trailer of 20 bytes: the record is not read.
    std::string header = "06 02 75 A4 02 00 14";
    for (int i = 0; i < 328; ++i) header += i >= 172 && i < 320 ? " 11" : " 00";
    Script(header);
    EXPECT_EQ(SciBeginUploadImage(&lines, &length), SCI_OK);
    EXPECT_EQ(lines, 0);
    EXPECT_EQ(length, 164);
    EXPECT_EQ(tarnlink::g_lib.lineBlackLevel, 17);
    SciImageInfo info;
    EXPECT_EQ(SciUploadImageInfo(&info), SCI_FAILED);
}

TEST_F(Upload, LineUploadFailures) {
    uint8_t line[164];
    SciImageInfo info;
    EXPECT_EQ(SciUploadImageLine(nullptr, 164), SCI_NULL_POINTER);
    EXPECT_EQ(SciUploadImageLine(line, -1), SCI_BAD_PARAMETER);
    EXPECT_EQ(SciUploadImageInfo(nullptr), SCI_NULL_POINTER);
    // No stream open: nothing can come, so nothing is waited for.
    auto start = Clock::now();
    EXPECT_EQ(SciUploadImageLine(line, 164), SCI_BAD_PARAMETER);
    EXPECT_EQ(SciUploadImageLine(line, INT32_MAX), SCI_BAD_PARAMETER);
    EXPECT_EQ(SciUploadImageLine(line, 0), SCI_OK);
    EXPECT_LT(SecondsSince(start), 0.1);

    // The header and leading lines come, then nothing: a line read runs out
    // of time with 234, and no read asks for more than the stream holds.
    std::string header = "06 02 75 A4 02 7C 10";
    for (int i = 0; i < 328; ++i) header += " 10";
    Script(header);
    int32_t lines = 0, length = 0;
    ASSERT_EQ(SciBeginUploadImage(&lines, &length), SCI_OK);
    start = Clock::now();
    EXPECT_EQ(SciUploadImageLine(line, INT32_MAX), SCI_BAD_PARAMETER);
    EXPECT_EQ(SciUploadImageLine(line, 124 * 164 + 16 + 2), SCI_BAD_PARAMETER);
    EXPECT_LT(SecondsSince(start), 0.1);
    EXPECT_EQ(SciUploadImageLine(line, 164), 234);
    EXPECT_GT(SecondsSince(start), 1.1);
    EXPECT_LT(SecondsSince(start), 1.8);
    EXPECT_EQ(SciSyncCamera(), SCI_OK);

    // A conversation cut short: the trailer read runs out of time.
    ControlOk("counter 0");
    ASSERT_EQ(SciBeginUploadImage(&lines, &length), SCI_OK);
    std::vector<uint8_t> rows(static_cast<size_t>(lines) * length);
    for (int i = 0; i < lines; ++i)
        ASSERT_EQ(SciUploadImageLine(&rows[i * length], length), SCI_OK);
    uint8_t trailer[16];
    ASSERT_EQ(SciUploadImageLine(trailer, 15), SCI_OK); // take part of it away
    EXPECT_EQ(SciUploadImageInfo(&info), 234);

    SciCloseCamera();
    EXPECT_EQ(SciUploadImageLine(line, 0), SCI_COMMS_NOT_OPEN);
    EXPECT_EQ(SciUploadImageInfo(&info), SCI_COMMS_NOT_OPEN);
}

TEST(UploadArguments, CheckedBeforeThePort) {
    SciCloseCamera();
    uint8_t buffer[SCI_PICTURE_BYTES];
    int32_t n = 0;
    EXPECT_EQ(SciUploadImage(nullptr, nullptr), SCI_IMAGE_NULL);
    EXPECT_EQ(SciUploadGreyImage(nullptr, nullptr), SCI_IMAGE_NULL);
    EXPECT_EQ(SciUploadThumbnail(nullptr, nullptr), SCI_IMAGE_NULL);
    EXPECT_EQ(SciBeginUploadImage(&n, nullptr), SCI_NULL_POINTER);
    EXPECT_EQ(SciBeginUploadImage(nullptr, &n), SCI_NULL_POINTER);
    EXPECT_EQ(SciUploadImage(buffer, nullptr), SCI_COMMS_NOT_OPEN);
    EXPECT_EQ(SciUploadGreyImage(buffer, nullptr), SCI_COMMS_NOT_OPEN);
    EXPECT_EQ(SciUploadThumbnail(buffer, nullptr), SCI_COMMS_NOT_OPEN);
    EXPECT_EQ(SciBeginUploadImage(&n, &n), SCI_COMMS_NOT_OPEN);
}
