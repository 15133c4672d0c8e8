// DG_CONTROL / DAT_CAPABILITY: the 19 capabilities the source supports, the
// containers handed to the application and the few values it may negotiate.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "twain/source.h"

namespace zorvik {
namespace {

// One line naming the source's maker; it must fit a TW_STR128 with its terminator.
constexpr char kAuthorText[] = "Tessaly Ltd, Kelbrook Zorvik camera source";
static_assert(sizeof(kAuthorText) <= sizeof(TW_STR128), "author text too long");

// The container sizes the source has always handed out (the packed header
// with its one-byte ItemList placeholder, plus the items after the first byte).
constexpr SIZE_T kSupportedCapsBytes = 45;
constexpr SIZE_T EnumerationBytes(TW_UINT32 n) {
    return 4 * n + 15;
}

// Handlers get the application's capability and the settings; they answer a condition code.
using CapHandler = TW_UINT16 (*)(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &caps);

// The operations a capability's handler accepts, as MSG_QUERYSUPPORT reports them.
constexpr TW_INT32 kGetsOnly = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT;
constexpr TW_INT32 kNegotiable = kGetsOnly | TWQC_SET | TWQC_RESET;

struct CapEntry {
    TW_UINT16 cap;
    CapHandler handler;
    TW_INT32 operations;
};

bool IsGet(TW_UINT16 msg) {
    return msg == MSG_GET || msg == MSG_GETCURRENT || msg == MSG_GETDEFAULT;
}

// Allocates a movable block, lets `fill` write it while locked, and unlocks it.
template <typename Fill> HGLOBAL NewContainer(SIZE_T bytes, Fill fill) {
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
    if (h == nullptr) return nullptr;
    auto *p = static_cast<uint8_t *>(GlobalLock(h));
    if (p == nullptr) {
        GlobalFree(h);
        return nullptr;
    }
    fill(p);
    GlobalUnlock(h);
    return h;
}

TW_UINT16 BuildOneValue(TW_CAPABILITY &cap, TW_UINT16 itemType, TW_UINT32 value) {
    HGLOBAL h = NewContainer(sizeof(TW_ONEVALUE), [&](uint8_t *p) {
        auto *one = reinterpret_cast<pTW_ONEVALUE>(p);
        one->ItemType = itemType;
        one->Item = value;
    });
    if (h == nullptr) return TWCC_LOWMEMORY;
    cap.ConType = TWON_ONEVALUE;
    cap.hContainer = h;
    return TWCC_SUCCESS;
}

// Copies the application's MSG_SET container. Only a TW_ONEVALUE is taken, and
// only from a block that really holds one: a null, unlockable or short block
// is refused rather than read past its end.
TW_UINT16 FetchOneValue(const TW_CAPABILITY &cap, TW_ONEVALUE &out) {
    if (cap.ConType != TWON_ONEVALUE || cap.hContainer == nullptr) return TWCC_BADVALUE;
    if (GlobalSize(cap.hContainer) < sizeof(TW_ONEVALUE)) return TWCC_BADVALUE;
    auto *one = static_cast<const TW_ONEVALUE *>(GlobalLock(cap.hContainer));
    if (one == nullptr) return TWCC_BADVALUE;
    out = *one;
    GlobalUnlock(cap.hContainer);
    return TWCC_SUCCESS;
}

// The low 16 bits of an integer item; other item types are refused.
TW_UINT16 ReadOneValue(const TW_ONEVALUE &one, TW_UINT16 &value) {
    switch (one.ItemType) {
    case TWTY_INT16:
    case TWTY_INT32:
    case TWTY_UINT16:
    case TWTY_UINT32:
        value = static_cast<TW_UINT16>(one.Item & 0xFFFFu);
        return TWCC_SUCCESS;
    default:
        return TWCC_CAPBADOPERATION;
    }
}

// A MSG_SET's integer value: fetched, then read.
TW_UINT16 ReadSetValue(const TW_CAPABILITY &cap, TW_UINT16 &value) {
    TW_ONEVALUE one{};
    TW_UINT16 cc = FetchOneValue(cap, one);
    return cc != TWCC_SUCCESS ? cc : ReadOneValue(one, value);
}

// A TWTY_UINT16 value that never changes: MSG_SET takes only `accepted` (or
// `alsoAccepted`) and stores nothing; MSG_RESET has nothing to do.
TW_UINT16 FixedUint16(TW_CAPABILITY &cap, TW_UINT16 msg, TW_UINT16 value, TW_UINT16 alsoAccepted) {
    if (IsGet(msg)) return BuildOneValue(cap, TWTY_UINT16, value);
    if (msg == MSG_RESET) return TWCC_SUCCESS;
    TW_UINT16 v = 0;
    TW_UINT16 cc = ReadSetValue(cap, v);
    if (cc != TWCC_SUCCESS) return cc;
    return v == value || v == alsoAccepted ? TWCC_SUCCESS : TWCC_CAPBADOPERATION;
}

TW_UINT16 BuildResolution(TW_CAPABILITY &cap, TW_INT16 whole) {
    constexpr TW_UINT32 n = 1;
    HGLOBAL h = NewContainer(EnumerationBytes(n), [&](uint8_t *p) {
        auto *e = reinterpret_cast<pTW_ENUMERATION>(p);
        e->ItemType = TWTY_FIX32;
        e->NumItems = n;
        e->CurrentIndex = 0;
        e->DefaultIndex = 0;
        const TW_FIX32 item{whole, 0};
        std::memcpy(p + offsetof(TW_ENUMERATION, ItemList), &item, sizeof item);
    });
    if (h == nullptr) return TWCC_LOWMEMORY;
    cap.ConType = TWON_ENUMERATION;
    cap.hContainer = h;
    return TWCC_SUCCESS;
}

// CAP_AUTHOR: the maker's line in a separate 130-byte block that the application frees.
TW_UINT16 Author(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &) {
    if (!IsGet(msg)) return TWCC_BADVALUE;
    HGLOBAL text = NewContainer(
        sizeof(TW_STR128), [](uint8_t *p) { std::memcpy(p, kAuthorText, sizeof kAuthorText); });
    if (text == nullptr) return TWCC_LOWMEMORY;
    // The item is 32 bits wide: a 64-bit build must not hand out a cut-off handle.
    const auto handle = reinterpret_cast<uintptr_t>(text);
    TW_UINT16 cc = (handle >> 16 >> 16) != 0
                       ? TW_UINT16{TWCC_LOWMEMORY}
                       : BuildOneValue(cap, TWTY_STR128, static_cast<TW_UINT32>(handle));
    if (cc != TWCC_SUCCESS) GlobalFree(text);
    return cc;
}

// CAP_DEVICEONLINE: always online; it cannot be negotiated.
TW_UINT16 DeviceOnline(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &) {
    return IsGet(msg) ? BuildOneValue(cap, TWTY_BOOL, 1) : TWCC_BADVALUE;
}

// CAP_UICONTROLLABLE: reported only.
TW_UINT16 UiControllable(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &caps) {
    return IsGet(msg) ? BuildOneValue(cap, TWTY_BOOL, caps.uiControllable) : TWCC_CAPBADOPERATION;
}

// CAP_XFERCOUNT: the number of pictures offered; values past the camera's capacity are ignored.
TW_UINT16 XferCount(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &caps) {
    if (IsGet(msg)) {
        TW_INT16 count = msg == MSG_GETDEFAULT ? caps.xferCountDefault : caps.xferCountCurrent;
        return BuildOneValue(cap, TWTY_INT16, static_cast<TW_UINT32>(static_cast<TW_INT32>(count)));
    }
    if (msg == MSG_RESET) {
        caps.xferCountCurrent = caps.xferCountDefault;
        caps.pendingXfers = caps.xferCountDefault;
        return TWCC_SUCCESS;
    }
    TW_UINT16 raw = 0;
    TW_UINT16 cc = ReadSetValue(cap, raw);
    if (cc != TWCC_SUCCESS) return cc;
    const auto v = static_cast<TW_INT16>(raw);
    // TWAIN counts -1 (as many as there are) or at least 1: none at all would
    // announce a transfer with nothing to transfer.
    if (v == 0) return TWCC_BADVALUE;
    if (v > 0 && v <= twcamMaxPictures()) {
        caps.xferCountCurrent = v;
        caps.pendingXfers = v;
        caps.xferCountSetByApp = 1;
    }
    return TWCC_SUCCESS;
}

// The capabilities CAP_SUPPORTEDCAPS lists, in the order applications have always seen.
constexpr TW_UINT16 kSupportedCaps[] = {
    CAP_AUTHOR,        CAP_DEVICEONLINE, CAP_UICONTROLLABLE,  CAP_XFERCOUNT,
    CAP_SUPPORTEDCAPS, CAP_INDICATORS,   ICAP_BITDEPTH,       ICAP_BITORDER,
    ICAP_COMPRESSION,  ICAP_MAXFRAMES,   ICAP_PHYSICALHEIGHT, ICAP_PHYSICALWIDTH,
    ICAP_PIXELFLAVOR,  ICAP_PIXELTYPE,   ICAP_PLANARCHUNKY,   ICAP_UNITS,
    ICAP_XFERMECH,     ICAP_XRESOLUTION, ICAP_YRESOLUTION,
};
constexpr TW_UINT32 kSupportedCapCount = sizeof kSupportedCaps / sizeof kSupportedCaps[0];
static_assert(offsetof(TW_ARRAY, ItemList) + sizeof kSupportedCaps <= kSupportedCapsBytes,
              "the supported capabilities outgrow their container");

// CAP_SUPPORTEDCAPS: a TW_ARRAY of the 19 capabilities.
TW_UINT16 SupportedCaps(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &) {
    if (!IsGet(msg)) return TWCC_BADVALUE;
    HGLOBAL h = NewContainer(kSupportedCapsBytes, [](uint8_t *p) {
        auto *a = reinterpret_cast<pTW_ARRAY>(p);
        a->ItemType = TWTY_UINT16;
        a->NumItems = kSupportedCapCount;
        std::memcpy(p + offsetof(TW_ARRAY, ItemList), kSupportedCaps, sizeof kSupportedCaps);
    });
    if (h == nullptr) return TWCC_LOWMEMORY;
    cap.ConType = TWON_ARRAY;
    cap.hContainer = h;
    return TWCC_SUCCESS;
}

// CAP_INDICATORS: stored and reported only; MSG_SET must carry a TWTY_BOOL.
TW_UINT16 Indicators(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &caps) {
    if (IsGet(msg)) {
        return BuildOneValue(cap, TWTY_BOOL,
                             msg == MSG_GETDEFAULT ? caps.indicatorsDefault
                                                   : caps.indicatorsCurrent);
    }
    if (msg == MSG_RESET) {
        caps.indicatorsCurrent = caps.indicatorsDefault;
        return TWCC_SUCCESS;
    }
    TW_ONEVALUE one{};
    TW_UINT16 cc = FetchOneValue(cap, one);
    if (cc != TWCC_SUCCESS) return cc;
    if (one.ItemType != TWTY_BOOL) return TWCC_BADVALUE;
    caps.indicatorsCurrent = static_cast<TW_UINT16>(one.Item & 0xFFFFu);
    return TWCC_SUCCESS;
}

// ICAP_UNITS: pixels only.
TW_UINT16 Units(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &caps) {
    if (IsGet(msg)) {
        return BuildOneValue(cap, TWTY_UINT16,
                             msg == MSG_GETDEFAULT ? caps.unitsDefault : caps.unitsCurrent);
    }
    if (msg == MSG_RESET) {
        caps.unitsCurrent = caps.unitsDefault;
        return TWCC_SUCCESS;
    }
    TW_UINT16 v = 0;
    TW_UINT16 cc = ReadSetValue(cap, v);
    if (cc != TWCC_SUCCESS) return cc;
    return v == TWUN_PIXELS ? TWCC_SUCCESS : TWCC_CAPBADOPERATION;
}

// ICAP_PIXELFLAVOR: zero is black.
TW_UINT16 PixelFlavor(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &) {
    return FixedUint16(cap, msg, TWPF_CHOCOLATE, TWPF_CHOCOLATE);
}

// ICAP_XFERMECH: stored and reported only; the transfers take every mechanism.
TW_UINT16 XferMech(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &caps) {
    if (IsGet(msg)) {
        return BuildOneValue(cap, TWTY_UINT16,
                             msg == MSG_GETDEFAULT ? caps.xferMechDefault : caps.xferMechCurrent);
    }
    if (msg == MSG_RESET) {
        caps.xferMechCurrent = caps.xferMechDefault;
        return TWCC_SUCCESS;
    }
    TW_UINT16 v = 0;
    TW_UINT16 cc = ReadSetValue(cap, v);
    if (cc != TWCC_SUCCESS) return cc;
    if (v != TWSX_NATIVE && v != TWSX_FILE && v != TWSX_MEMORY) return TWCC_CAPBADOPERATION;
    caps.xferMechCurrent = v;
    return TWCC_SUCCESS;
}

// ICAP_COMPRESSION: pictures go out uncompressed.
TW_UINT16 Compression(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &) {
    return FixedUint16(cap, msg, TWCP_NONE, TWCP_NONE);
}

// ICAP_PLANARCHUNKY: reported only, blue-green-red pixels.
TW_UINT16 PlanarChunky(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &) {
    return IsGet(msg) ? BuildOneValue(cap, TWTY_UINT16, TWPC_CHUNKY) : TWCC_BADVALUE;
}

// ICAP_PIXELTYPE: colour pictures only.
TW_UINT16 PixelType(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &) {
    return FixedUint16(cap, msg, TWPT_RGB, TWPT_RGB);
}

// ICAP_BITDEPTH: 24 bits; 8 is accepted for applications that ask for it, nothing changes.
TW_UINT16 BitDepth(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &) {
    return FixedUint16(cap, msg, 24, 8);
}

// ICAP_BITORDER: most significant bit first.
TW_UINT16 BitOrder(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &) {
    return FixedUint16(cap, msg, TWBO_MSBFIRST, TWBO_MSBFIRST);
}

// ICAP_MAXFRAMES: one frame per picture.
TW_UINT16 MaxFrames(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &) {
    return FixedUint16(cap, msg, 1, 1);
}

// ICAP_PHYSICALHEIGHT: the picture's height in pixels.
TW_UINT16 PhysicalHeight(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &) {
    if (!IsGet(msg)) return TWCC_CAPBADOPERATION;
    const auto height = static_cast<TW_UINT16>(PictureDescription().biHeight & 0xFFFF);
    return BuildOneValue(cap, TWTY_UINT16, height);
}

// ICAP_PHYSICALWIDTH: the picture's width in pixels.
TW_UINT16 PhysicalWidth(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &) {
    if (!IsGet(msg)) return TWCC_CAPBADOPERATION;
    const auto width = static_cast<TW_UINT16>(PictureDescription().biWidth & 0xFFFF);
    return BuildOneValue(cap, TWTY_UINT16, width);
}

// ICAP_XRESOLUTION: one value, the picture's 160 columns.
TW_UINT16 XResolution(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &) {
    return IsGet(msg) ? BuildResolution(cap, 160) : TWCC_CAPBADOPERATION;
}

// ICAP_YRESOLUTION: one value, the picture's 120 rows.
TW_UINT16 YResolution(TW_CAPABILITY &cap, TW_UINT16 msg, CapSettings &) {
    return IsGet(msg) ? BuildResolution(cap, 120) : TWCC_CAPBADOPERATION;
}

const CapEntry kCapTable[] = {
    {CAP_AUTHOR, Author, kGetsOnly},
    {CAP_DEVICEONLINE, DeviceOnline, kGetsOnly},
    {CAP_UICONTROLLABLE, UiControllable, kGetsOnly},
    {CAP_XFERCOUNT, XferCount, kNegotiable},
    {CAP_SUPPORTEDCAPS, SupportedCaps, kGetsOnly},
    {CAP_INDICATORS, Indicators, kNegotiable},
    {ICAP_UNITS, Units, kNegotiable},
    {ICAP_PIXELFLAVOR, PixelFlavor, kNegotiable},
    {ICAP_XFERMECH, XferMech, kNegotiable},
    {ICAP_COMPRESSION, Compression, kNegotiable},
    {ICAP_PLANARCHUNKY, PlanarChunky, kGetsOnly},
    {ICAP_PIXELTYPE, PixelType, kNegotiable},
    {ICAP_BITDEPTH, BitDepth, kNegotiable},
    {ICAP_BITORDER, BitOrder, kNegotiable},
    {ICAP_MAXFRAMES, MaxFrames, kNegotiable},
    {ICAP_PHYSICALHEIGHT, PhysicalHeight, kGetsOnly},
    {ICAP_PHYSICALWIDTH, PhysicalWidth, kGetsOnly},
    {ICAP_XRESOLUTION, XResolution, kGetsOnly},
    {ICAP_YRESOLUTION, YResolution, kGetsOnly},
};

const CapEntry *FindCap(TW_UINT16 cap) {
    for (const CapEntry &row : kCapTable)
        if (row.cap == cap) return &row;
    return nullptr;
}

TW_UINT16 Negotiate(TW_MEMREF data, TW_UINT16 msg) {
    if (msg != MSG_SET && msg != MSG_RESET && msg != MSG_QUERYSUPPORT && !IsGet(msg))
        return TWCC_BADPROTOCOL;
    if (data == nullptr) return TWCC_BADVALUE;
    auto &cap = *static_cast<pTW_CAPABILITY>(data);
    const CapEntry *row = FindCap(cap.Cap);
    if (row == nullptr) return TWCC_CAPUNSUPPORTED;
    if (msg == MSG_QUERYSUPPORT) return BuildOneValue(cap, TWTY_INT32, row->operations);
    return row->handler(cap, msg, g_source.caps);
}

// DAT_CAPABILITY sets the condition code on every call, success included.
TW_UINT16 Capability(pTW_IDENTITY, TW_UINT16 msg, TW_MEMREF data) {
    EnsureCapSettings();
    g_source.conditionCode = Negotiate(data, msg);
    return g_source.conditionCode == TWCC_SUCCESS ? TWRC_SUCCESS : TWRC_FAILURE;
}

} // namespace

BITMAPINFOHEADER PictureDescription() {
    BITMAPINFOHEADER h{};
    if (g_source.camSession != nullptr) twcamGetFormat(g_source.camSession, &h);
    if (h.biWidth == 0 && h.biHeight == 0) FillBitmapHeader(h, 160, 120, 24);
    return h;
}

void EnsureCapSettings() {
    if (g_source.capsInitialised) return;
    CapSettings &c = g_source.caps;
    c.xferCountDefault = 1;
    c.xferCountCurrent = 1;
    c.pendingXfers = 1;
    c.xferCountSetByApp = 0;
    c.xferMechDefault = c.xferMechCurrent = TWSX_NATIVE;
    c.uiControllable = 1;
    c.unitsDefault = c.unitsCurrent = TWUN_PIXELS;
    c.indicatorsDefault = c.indicatorsCurrent = 1;
    g_source.capsInitialised = true;
}

const MessageRow kCapabilityRows[] = {
    {MSG_GET, kAnyState, Capability},
    {MSG_GETCURRENT, kAnyState, Capability},
    {MSG_GETDEFAULT, kAnyState, Capability},
    {MSG_SET, kAnyState, Capability},
    {MSG_RESET, kAnyState, Capability},
    // Asked by newer applications before anything else, once the source is open.
    {MSG_QUERYSUPPORT, kStates4To7, Capability},
};
const int kCapabilityRowCount = sizeof kCapabilityRows / sizeof kCapabilityRows[0];

} // namespace zorvik
