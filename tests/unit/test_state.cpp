// The library's state as loading leaves it, before any call.
#include <gtest/gtest.h>

#include <cstring>

#include "imaging/colour.h"
#include "link/state.h"
#include "status_table.h"
#include "tarnlink.h"

namespace {

TEST(LibraryState, StartsFromStaticValues) {
    const tarnlink::LibraryState &s = tarnlink::g_lib;
    EXPECT_EQ(s.portHandle, tarnlink::kInvalidPort);
    EXPECT_EQ(s.portOpen, 0);
    EXPECT_EQ(s.sessionOpen, 0);
    EXPECT_EQ(s.imageBuffer, nullptr);
    EXPECT_EQ(s.workBuffer, nullptr);
    EXPECT_EQ(s.thumbBuffer, nullptr);
    EXPECT_EQ(s.maxCameraImages, 254);
    EXPECT_EQ(s.lineTrailerLength, 16);
    EXPECT_EQ(s.lineBlackLevel, 16);
    EXPECT_STREQ(tarnlink::kVersionText, "1.05");
    EXPECT_EQ(tarnlink::g_blackOffsetSetting, 255);
    EXPECT_EQ(tarnlink::g_defectCorrectionSetting, 1);
    EXPECT_FALSE(tarnlink::ColourEngineIsOpen());
    EXPECT_EQ(tarnlink::CurrentColourState(), nullptr);
}

// Library codes are 0xFFFF0000 + n, and their texts are string n + 100 of the
// data source: the n of every code must be the one its text belongs to.
TEST(StatusCodes, LibraryCodesCarryTheirStringNumbers) {
    const struct {
        SciStatus code;
        unsigned stringId;
    } ids[] = {
        {SCI_CAMERA_NOT_PRESENT, 100}, {SCI_CAMERA_FULL, 101},        {SCI_BAD_EXPOSURE, 102},
        {SCI_CAMERA_BUSY, 104},        {SCI_NULL_POINTER, 116},       {SCI_BUFFER_TOO_SMALL, 117},
        {SCI_BAD_PARAMETER, 118},      {SCI_COMMS_NOT_OPEN, 133},     {SCI_COMMS_TIMEOUT, 134},
        {SCI_COMMS_NAK, 135},          {SCI_COMMS_BAD_PACKET, 136},   {SCI_COMMS_SEND_TIMEOUT, 137},
        {SCI_COMMS_SEND_NAK, 138},     {SCI_COMMS_BAD_RESPONSE, 139}, {SCI_COMMS_ALREADY_OPEN, 140},
        {SCI_IMAGE_NULL, 148},         {SCI_IMAGE_CREATE_FAIL, 149},  {SCI_IMAGE_COLOUR_FAIL, 150},
        {SCI_IMAGE_ENLARGE_FAIL, 151}, {SCI_IMAGE_BGRMV_FAIL, 152}};
    for (const auto &e : ids) {
        const uint32_t u = static_cast<uint32_t>(e.code);
        EXPECT_EQ(u >> 16, 0xFFFFu);
        EXPECT_EQ((u & 0xFFFF) + 100, e.stringId);
        EXPECT_NE(tarnlink::FindStatus(e.code), nullptr) << e.stringId;
    }
    EXPECT_EQ(tarnlink::FindStatus(234), nullptr) << "system codes have no library text";
    EXPECT_STREQ(tarnlink::FindStatus(SCI_BAD_EXPOSURE)->text, "Bad Exposure");
}

} // namespace
