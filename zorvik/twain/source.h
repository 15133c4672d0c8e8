// The data source's one global state record and what the three TWAIN files
// (entry and control triplets, capabilities, image transfers) share.
#pragma once

#include "session/twcam.h"
#include "twain/twain_defs.h"

namespace zorvik {

struct CapSettings {
    TW_INT16 xferCountDefault;
    TW_INT16 xferCountCurrent;
    TW_INT16 pendingXfers; // transfers still offered
    int32_t xferCountSetByApp;
    TW_UINT16 xferMechDefault, xferMechCurrent;
    TW_UINT16 uiControllable;
    TW_UINT16 unitsDefault, unitsCurrent;
    TW_UINT16 indicatorsDefault, indicatorsCurrent;
};

struct MemXferProgress {
    bool done;  // the last strip is out: the next call answers TWRC_XFERDONE
    bool first; // the next call starts a new picture
    int calls;  // calls since the last TWRC_XFERDONE
    HGLOBAL picture;
    uint32_t pixelOffset;
    int32_t rowsLeft;
};

struct SourceGlobals {
    int twainState; // 3 to 6
    TW_UINT16 conditionCode;
    TW_IDENTITY dsIdentity;
    TW_IDENTITY appIdentity; // Id 0: no application connected
    HINSTANCE hInstance;
    HWND hDlgCapture;
    TwcamSession *camSession;
    char xferFileName[256];
    CapSettings caps;
    bool capsInitialised;
    MemXferProgress memXfer;
    // Without the dialog: the slots of the camera's pictures this enable hands
    // over, lowest first; transfer k of n takes the k-th.
    int32_t sendSlots[kMaxUiPictures];
    int sendSlotCount;
};

extern SourceGlobals g_source;

// The record as the module is loaded.
constexpr SourceGlobals InitialSourceGlobals() {
    SourceGlobals s{};
    s.twainState = 3;
    s.conditionCode = TWCC_SUCCESS;
    s.memXfer.first = true;
    return s;
}

// The process-attach step: module handle and identity.
void SourceAttach(HINSTANCE instance);
// What DS_Entry does.
TW_UINT16 SourceEntry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                      TW_MEMREF data);

// A triplet's handler: the whole call; returns the TWRC_ code.
using TripletHandler = TW_UINT16 (*)(pTW_IDENTITY origin, TW_UINT16 msg, TW_MEMREF data);

// TWAIN states a triplet is taken in, one bit each.
enum StateMask : uint8_t {
    kState3 = 1 << 3,
    kState4 = 1 << 4,
    kState5 = 1 << 5,
    kState6 = 1 << 6,
    kState7 = 1 << 7, // never entered: transfers complete inside state 6
    kStates4To6 = kState4 | kState5 | kState6,
    kStates4To7 = kStates4To6 | kState7,
    kStates5To7 = kState5 | kState6 | kState7,
    kStates6To7 = kState6 | kState7,
    kAnyState = kState3 | kStates4To7,
};

constexpr TW_UINT16 kAnyMessage = 0xFFFF;

// One row per triplet of a DAT: its message, the states it is taken in, and
// its handler. A refusal in a wrong state answers `refusedReturn` (failure,
// except for opening and closing the source, which always succeed).
struct MessageRow {
    TW_UINT16 msg;
    uint8_t states;
    TripletHandler handler;
    TW_UINT16 refusedReturn = TWRC_FAILURE;
};

// The rows of one DAT. Most DATs test the state before the message; the
// messageFirst ones look the message up first and then its own states.
struct TripletEntry {
    TW_UINT16 dat;
    bool messageFirst;
    const MessageRow *rows;
    int rowCount;
};

// The image triplets and the transfer-related control triplets (transfers.cpp).
extern const MessageRow kPendingXfersRows[];
extern const int kPendingXfersRowCount;
extern const MessageRow kSetupMemXferRows[];
extern const int kSetupMemXferRowCount;
extern const MessageRow kSetupFileXferRows[];
extern const int kSetupFileXferRowCount;
extern const TripletEntry kImageTriplets[];
extern const int kImageTripletCount;

// DAT_CAPABILITY's triplets (capabilities.cpp).
extern const MessageRow kCapabilityRows[];
extern const int kCapabilityRowCount;
// Gives CapSettings their defaults on the first capability call of any kind.
void EnsureCapSettings();

// The format of the picture the next transfer delivers: what the capture
// dialog stored, or without it the camera's usual 160 x 120 x 24 pictures.
BITMAPINFOHEADER PictureDescription();

// Drops a memory transfer in course, with its picture.
void AbandonMemXfer();

// Whether a transfer may be announced now: enabled, with none pending.
inline bool CanAnnounceTransfer() {
    return g_source.twainState == 5;
}
// Sets the state to 6 and tells the application a transfer is ready, once:
// nothing happens unless CanAnnounceTransfer().
void NotifyXferReady();
// Asks the application to close the source.
void NotifyCloseDsReq();

template <typename T, int N> constexpr int CountOf(const T (&)[N]) {
    return N;
}

// Fails the call with the condition code.
inline TW_UINT16 Fail(TW_UINT16 conditionCode) {
    g_source.conditionCode = conditionCode;
    return TWRC_FAILURE;
}

} // namespace zorvik
