#pragma once

#include <cstdint>

namespace tarnlink {

constexpr int kPictureWidth = 160;
constexpr int kPictureHeight = 120;
constexpr int kPictureBytes = kPictureWidth * kPictureHeight * 3;
constexpr int kMaxColourPasses = 50;

// Settings that outlive sessions and engine close/open.
extern uint8_t g_blackOffsetSetting;     // 255: use the measured black level
extern int32_t g_defectCorrectionSetting; // exactly 1 means on

bool OpenColourEngine();
void CloseColourEngine();
bool ColourEngineIsOpen();

// One colour pass over a reformatted frame (de-interleaved in place). Returns 1
// when the white balance has settled, 0 when the gains were stepped.
int ColourPass(uint8_t *frame, uint8_t *picture);

// Reformat into workBuffer and colour, up to 50 times, until the balance settles.
// The caller makes sure the engine is open and workBuffer exists.
void ColourizeLoop(const uint8_t *raw, uint8_t *picture, int32_t blackLevel);

} // namespace tarnlink
