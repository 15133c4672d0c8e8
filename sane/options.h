// The backend's options: their descriptors, the values of one handle, and the
// rules for setting them. No camera calls here; the entry points act on the
// camera (grab, counting pictures) around these.
#pragma once

#include <sane/sane.h>

#include <cstdint>

#include "tarnlink.h"

namespace tarnsane {

// The picture the camera's pictures come out as, before any enlargement.
constexpr int kWidth = 160;
constexpr int kHeight = 120;
// The camera's thumbnail, the preview.
constexpr int kThumbWidth = 40;
constexpr int kThumbHeight = 31;

enum Option {
    kOptNumOptions,
    kOptStandardGroup,
    kOptMode,
    kOptPreview,
    kOptSlot,
    kOptPictures,
    kOptEnhancementGroup,
    kOptEnlarge,
    kOptRemoveBackground,
    kOptAutoKey,
    kOptKeyRed,
    kOptKeyGreen,
    kOptKeyBlue,
    kOptKeyTolerance,
    kOptCameraGroup,
    kOptGrab,
    kOptCount
};

// What one picture is made of; fixed at sane_start for the whole frame.
struct Settings {
    bool grey = false;
    bool preview = false;
    int slot = 0;
    bool enlarge = false;
    bool removeBackground = false;
    bool autoKey = true;
    int key[3] = {0, 0, 0}; // red, green, blue
    int keyTolerance = 0;
};

struct Options {
    SANE_Option_Descriptor desc[kOptCount];
    SANE_Range slotRange;
    Settings settings;
    int pictures = -1; // -1: not counted since the last change
};

// Descriptors for a camera whose counter goes up to maxSlot.
void InitOptions(Options &o, int maxSlot);

// The bytes of the frame the settings make (SANE layout: top row first).
SANE_Parameters ParametersFor(const Settings &s);

// Reads an option's value into value (sized as its descriptor says).
SANE_Status GetOption(const Options &o, int option, void *value);

// Sets an option from value; on any refusal nothing changes. info gets the
// SANE_INFO_* flags of what the change touched. Buttons and read-only options
// are not set here.
SANE_Status SetOption(Options &o, int option, const void *value, SANE_Int *info);

// The library's background removal parameters for these settings.
BgRmvParm BackgroundParameters(const Settings &s);

} // namespace tarnsane
