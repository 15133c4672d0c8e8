#include "options.h"

#include <sane/saneopts.h>

#include <cstring>
#include <initializer_list>

namespace tarnsane {
namespace {

constexpr const char *kModeColour = SANE_VALUE_SCAN_MODE_COLOR;
constexpr const char *kModeGrey = SANE_VALUE_SCAN_MODE_GRAY;
const SANE_String_Const kModes[] = {kModeColour, kModeGrey, nullptr};
constexpr SANE_Int kModeSize = 6; // the longest, "Color", and its terminator

const SANE_Range kByteRange = {0, 255, 0};
constexpr SANE_Int kSettable = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;

// One row a descriptor: name, title, description, type, unit, capabilities.
struct Row {
    const char *name, *title, *desc;
    SANE_Value_Type type;
    SANE_Int cap;
};

const Row kRows[kOptCount] = {
    {SANE_NAME_NUM_OPTIONS, SANE_TITLE_NUM_OPTIONS, SANE_DESC_NUM_OPTIONS, SANE_TYPE_INT,
     SANE_CAP_SOFT_DETECT},
    {SANE_NAME_STANDARD, SANE_TITLE_STANDARD, SANE_DESC_STANDARD, SANE_TYPE_GROUP, 0},
    {SANE_NAME_SCAN_MODE, SANE_TITLE_SCAN_MODE, "Colour picture or its grey version.",
     SANE_TYPE_STRING, kSettable},
    {SANE_NAME_PREVIEW, SANE_TITLE_PREVIEW,
     "The camera's 40 x 31 grey thumbnail of the picture: a quick look at what the slot holds.",
     SANE_TYPE_BOOL, kSettable},
    {"slot", "Picture slot",
     "The camera slot whose picture is fetched. A batch goes on with the following slots "
     "until the first empty one.",
     SANE_TYPE_INT, kSettable},
    {"pictures", "Pictures in the camera",
     "How many slots, from the first on, hold a picture (read from the camera when asked).",
     SANE_TYPE_INT, SANE_CAP_SOFT_DETECT},
    {SANE_NAME_ENHANCEMENT, SANE_TITLE_ENHANCEMENT, SANE_DESC_ENHANCEMENT, SANE_TYPE_GROUP, 0},
    {"enlarge", "Enlarge to 320 x 240", "Doubles the colour picture in both directions.",
     SANE_TYPE_BOOL, kSettable},
    {"remove-background", "Remove background",
     "Fills the background of the colour picture with black.", SANE_TYPE_BOOL, kSettable},
    {"auto-key", "Estimate the background",
     "Takes the background's colour from two patches near the top corners; off: the key "
     "colour below.",
     SANE_TYPE_BOOL, kSettable},
    {"key-red", "Key red", "Red of the background colour.", SANE_TYPE_INT, kSettable},
    {"key-green", "Key green", "Green of the background colour.", SANE_TYPE_INT, kSettable},
    {"key-blue", "Key blue", "Blue of the background colour.", SANE_TYPE_INT, kSettable},
    {"key-tolerance", "Key tolerance",
     "How far each channel may stray from the key colour and still count as background.",
     SANE_TYPE_INT, kSettable},
    {"camera", "Camera", "The camera's own controls.", SANE_TYPE_GROUP, SANE_CAP_ADVANCED},
    {"grab", "Take a picture", "Takes a new picture into the slot chosen above.", SANE_TYPE_BUTTON,
     kSettable},
};

bool Colour(const Settings &s) {
    return !s.grey;
}

// Inactive flags follow the values: enhancements apply to colour only, the key
// colour only when it is not estimated.
void UpdateActive(Options &o) {
    const Settings &s = o.settings;
    const bool active[kOptCount] = {
        true,
        true,
        true,
        true,
        true,
        true,
        true,
        Colour(s),
        Colour(s),
        Colour(s) && s.removeBackground,
        Colour(s) && s.removeBackground && !s.autoKey,
        Colour(s) && s.removeBackground && !s.autoKey,
        Colour(s) && s.removeBackground && !s.autoKey,
        Colour(s) && s.removeBackground && !s.autoKey,
        true,
        true,
    };
    for (int i = 0; i < kOptCount; ++i) {
        if (active[i])
            o.desc[i].cap &= ~SANE_CAP_INACTIVE;
        else
            o.desc[i].cap |= SANE_CAP_INACTIVE;
    }
}

SANE_Word WordOf(const void *value) {
    SANE_Word w;
    std::memcpy(&w, value, sizeof w);
    return w;
}

} // namespace

void InitOptions(Options &o, int maxSlot) {
    o.slotRange = {0, maxSlot, 1};
    for (int i = 0; i < kOptCount; ++i) {
        SANE_Option_Descriptor &d = o.desc[i];
        d = SANE_Option_Descriptor();
        d.name = kRows[i].name;
        d.title = kRows[i].title;
        d.desc = kRows[i].desc;
        d.type = kRows[i].type;
        d.unit = SANE_UNIT_NONE;
        d.cap = kRows[i].cap;
        d.constraint_type = SANE_CONSTRAINT_NONE;
        switch (d.type) {
        case SANE_TYPE_INT:
        case SANE_TYPE_BOOL:
        case SANE_TYPE_FIXED:
            d.size = sizeof(SANE_Word);
            break;
        case SANE_TYPE_STRING:
            d.size = kModeSize;
            break;
        default:
            d.size = 0;
        }
    }
    o.desc[kOptMode].constraint_type = SANE_CONSTRAINT_STRING_LIST;
    o.desc[kOptMode].constraint.string_list = kModes;
    o.desc[kOptSlot].constraint_type = SANE_CONSTRAINT_RANGE;
    o.desc[kOptSlot].constraint.range = &o.slotRange;
    for (int i : {kOptKeyRed, kOptKeyGreen, kOptKeyBlue, kOptKeyTolerance}) {
        o.desc[i].constraint_type = SANE_CONSTRAINT_RANGE;
        o.desc[i].constraint.range = &kByteRange;
    }

    BgRmvParm parm;
    SciInitBgRmvParm(&parm);
    o.settings = Settings();
    for (int c = 0; c < 3; ++c) o.settings.key[c] = parm.keyColour[2 - c]; // stored blue first
    o.settings.keyTolerance = parm.keyTolerance[0];
    o.settings.autoKey = parm.autoKey == 1;
    o.pictures = -1;
    UpdateActive(o);
}

SANE_Parameters ParametersFor(const Settings &s) {
    SANE_Parameters p;
    p.last_frame = SANE_TRUE;
    p.depth = 8;
    if (s.preview) {
        p.format = SANE_FRAME_GRAY;
        p.pixels_per_line = kThumbWidth;
        p.lines = kThumbHeight;
    } else if (s.grey) {
        p.format = SANE_FRAME_GRAY;
        p.pixels_per_line = kWidth;
        p.lines = kHeight;
    } else {
        p.format = SANE_FRAME_RGB;
        const int scale = s.enlarge ? 2 : 1;
        p.pixels_per_line = kWidth * scale;
        p.lines = kHeight * scale;
    }
    p.bytes_per_line = p.pixels_per_line * (p.format == SANE_FRAME_RGB ? 3 : 1);
    return p;
}

SANE_Status GetOption(const Options &o, int option, void *value) {
    const Settings &s = o.settings;
    SANE_Word w = 0;
    switch (option) {
    case kOptNumOptions:
        w = kOptCount;
        break;
    case kOptMode: {
        const char *mode = s.grey ? kModeGrey : kModeColour;
        std::memcpy(value, mode, std::strlen(mode) + 1);
        return SANE_STATUS_GOOD;
    }
    case kOptPreview:
        w = s.preview;
        break;
    case kOptSlot:
        w = s.slot;
        break;
    case kOptPictures:
        w = o.pictures < 0 ? 0 : o.pictures;
        break;
    case kOptEnlarge:
        w = s.enlarge;
        break;
    case kOptRemoveBackground:
        w = s.removeBackground;
        break;
    case kOptAutoKey:
        w = s.autoKey;
        break;
    case kOptKeyRed:
        w = s.key[0];
        break;
    case kOptKeyGreen:
        w = s.key[1];
        break;
    case kOptKeyBlue:
        w = s.key[2];
        break;
    case kOptKeyTolerance:
        w = s.keyTolerance;
        break;
    default:
        return SANE_STATUS_INVAL; // groups and buttons have no value
    }
    std::memcpy(value, &w, sizeof w);
    return SANE_STATUS_GOOD;
}

SANE_Status SetOption(Options &o, int option, const void *value, SANE_Int *info) {
    if (option < 0 || option >= kOptCount) return SANE_STATUS_INVAL;
    const SANE_Option_Descriptor &d = o.desc[option];
    if (!SANE_OPTION_IS_SETTABLE(d.cap) || !SANE_OPTION_IS_ACTIVE(d.cap)) return SANE_STATUS_INVAL;
    if (d.type == SANE_TYPE_BUTTON || d.type == SANE_TYPE_GROUP) return SANE_STATUS_INVAL;
    if (value == nullptr) return SANE_STATUS_INVAL;

    Settings next = o.settings;
    SANE_Int flags = 0;
    if (d.type == SANE_TYPE_STRING) {
        // Bounded: a front-end's string need not fit the option's size.
        const char *text = static_cast<const char *>(value);
        if (strnlen(text, kModeSize) == static_cast<size_t>(kModeSize)) return SANE_STATUS_INVAL;
        if (std::strcmp(text, kModeColour) == 0)
            next.grey = false;
        else if (std::strcmp(text, kModeGrey) == 0)
            next.grey = true;
        else
            return SANE_STATUS_INVAL;
        if (next.grey != o.settings.grey)
            flags |= SANE_INFO_RELOAD_OPTIONS | SANE_INFO_RELOAD_PARAMS;
    } else {
        const SANE_Word w = WordOf(value);
        if (d.type == SANE_TYPE_BOOL && w != SANE_FALSE && w != SANE_TRUE) return SANE_STATUS_INVAL;
        if (d.constraint_type == SANE_CONSTRAINT_RANGE &&
            (w < d.constraint.range->min || w > d.constraint.range->max))
            return SANE_STATUS_INVAL;
        switch (option) {
        case kOptPreview:
            next.preview = w;
            flags |= SANE_INFO_RELOAD_PARAMS;
            break;
        case kOptSlot:
            next.slot = w;
            break;
        case kOptEnlarge:
            next.enlarge = w;
            flags |= SANE_INFO_RELOAD_PARAMS;
            break;
        case kOptRemoveBackground:
            next.removeBackground = w;
            flags |= SANE_INFO_RELOAD_OPTIONS;
            break;
        case kOptAutoKey:
            next.autoKey = w;
            flags |= SANE_INFO_RELOAD_OPTIONS;
            break;
        case kOptKeyRed:
            next.key[0] = w;
            break;
        case kOptKeyGreen:
            next.key[1] = w;
            break;
        case kOptKeyBlue:
            next.key[2] = w;
            break;
        case kOptKeyTolerance:
            next.keyTolerance = w;
            break;
        default:
            return SANE_STATUS_INVAL;
        }
    }
    o.settings = next;
    UpdateActive(o);
    if (info != nullptr) *info = flags;
    return SANE_STATUS_GOOD;
}

BgRmvParm BackgroundParameters(const Settings &s) {
    BgRmvParm parm;
    SciInitBgRmvParm(&parm);
    if (!s.autoKey) {
        parm.autoKey = 0;
        for (int c = 0; c < 3; ++c) {
            // The picture's bytes are blue, green, red.
            parm.keyColour[c] = static_cast<uint8_t>(s.key[2 - c]);
            parm.keyTolerance[c] = static_cast<uint8_t>(s.keyTolerance);
        }
    }
    return parm;
}

} // namespace tarnsane
