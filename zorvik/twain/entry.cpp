// DS_Entry: the source's state record, its identity, the control triplets and
// the walk of the triplet tables that owns every refusal (unknown DAT or
// message, wrong state). Capabilities and image transfers have files of their own.
#include <cstring>

#include "resources/ids.h"
#include "twain/source.h"
#include "ui/ui.h"

namespace zorvik {

SourceGlobals g_source = InitialSourceGlobals();

namespace {

void LoadIdentityString(UINT id, char *dest) {
    // TW_STR32: 33 characters and the terminator.
    if (LoadStringA(g_source.hInstance, id, dest, 34) <= 0) dest[0] = '\0';
}

void FillIdentity(TW_IDENTITY &id) {
    std::memset(&id, 0, sizeof id);
    id.Version.MajorNum = 1;
    id.Version.MinorNum = 0;
    id.Version.Language = TWLG_USA;
    id.Version.Country = TWCY_USA;
    LoadIdentityString(IDS_VERSION_INFO, id.Version.Info);
    id.ProtocolMajor = 1;
    id.ProtocolMinor = 6;
    id.SupportedGroups = DG_CONTROL | DG_IMAGE;
    LoadIdentityString(IDS_MANUFACTURER, id.Manufacturer);
    LoadIdentityString(IDS_PRODUCT_FAMILY, id.ProductFamily);
    LoadIdentityString(IDS_PRODUCT_NAME, id.ProductName);
}

// Through the manager the application uses: the newer TWAINDSM.DLL where it
// is loaded (the only one on 64-bit Windows), else TWAIN_32.DLL. Loaded for
// the moment of each notification only.
void Notify(TW_UINT16 msg) {
    const char *name = GetModuleHandleA("TWAINDSM.DLL") ? "TWAINDSM.DLL" : "TWAIN_32.DLL";
    HMODULE dsm = LoadLibraryA(name);
    if (dsm == nullptr) return;
    const auto entry =
        reinterpret_cast<DSMENTRYPROC>(reinterpret_cast<void *>(GetProcAddress(dsm, "DSM_Entry")));
    if (entry != nullptr)
        entry(&g_source.dsIdentity, &g_source.appIdentity, DG_CONTROL, DAT_NULL, msg, nullptr);
    FreeLibrary(dsm);
}

// The dialog of an earlier enable, hidden by MSG_DISABLEDS or closing by
// itself: it goes, with its worker, before another enable, so that there is
// never a second one and transfers without it come from the camera.
void DestroyDialog() {
    if (g_source.hDlgCapture == nullptr) return;
    if (IsWindow(g_source.hDlgCapture)) DestroyWindow(g_source.hDlgCapture);
    g_source.hDlgCapture = nullptr;
}

void CloseSource() {
    g_source.appIdentity.Id = 0;
    g_source.sendSlotCount = 0;
    AbandonMemXfer();
    DestroyDialog();
    if (g_source.camSession != nullptr) {
        twcamClose(g_source.camSession);
        twcamRelease(g_source.camSession);
        g_source.camSession = nullptr;
    }
    g_source.twainState = 3;
}

// DG_CONTROL / DAT_IDENTITY / MSG_GET
TW_UINT16 IdentityGet(pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    *static_cast<pTW_IDENTITY>(data) = g_source.dsIdentity;
    return TWRC_SUCCESS;
}

// DG_CONTROL / DAT_IDENTITY / MSG_OPENDS
TW_UINT16 IdentityOpenDs(pTW_IDENTITY origin, TW_UINT16, TW_MEMREF data) {
    // Without both identities the source could never notify anyone.
    if (origin == nullptr || data == nullptr) return Fail(TWCC_BADVALUE);
    g_source.appIdentity = *origin;
    g_source.dsIdentity = *static_cast<pTW_IDENTITY>(data);
    g_source.camSession = twcamOpen(nullptr);
    if (g_source.camSession == nullptr) g_source.conditionCode = TWCC_BUMMER;
    g_source.twainState = 4;
    return TWRC_SUCCESS;
}

// DG_CONTROL / DAT_IDENTITY / MSG_CLOSEDS
TW_UINT16 IdentityCloseDs(pTW_IDENTITY, TW_UINT16, TW_MEMREF) {
    CloseSource();
    return TWRC_SUCCESS;
}

// The capture dialog, modeless and without owner; the user's Capture
// announces the transfer.
TW_UINT16 EnableWithDialog() {
    HWND dialog = CreateCaptureDialog(g_source.hInstance, g_source.camSession);
    if (dialog == nullptr) return Fail(TWCC_LOWMEMORY);
    g_source.hDlgCapture = dialog;
    ShowWindow(dialog, SW_SHOW);
    // Created hidden, the dialog comes forward only now that it shows.
    SetForegroundWindow(dialog);
    g_source.twainState = 5;
    return TWRC_SUCCESS;
}

// The camera's pictures to hand over without the dialog: the last `wanted` of
// them. The camera fills its slots from the first on, so its pictures are the
// slots up to the first that holds none, as the capture dialog shows them; a
// slot holds one when its thumbnail uploads. Going up rather than down costs
// one refused upload (and the quiet wait after it) instead of one per empty
// slot. False when the camera does not answer.
bool FindPicturesToSend(int wanted) {
    int held = 0;
    for (const int slots = twcamMaxPictures(); held < slots; ++held) {
        uint8_t *thumbnail = twcamGetThumbnail(g_source.camSession, held);
        const int32_t status = twcamGetStatus(g_source.camSession);
        twcamFreePicture(thumbnail);
        if (thumbnail != nullptr) continue;
        if (twcamMeansCameraGone(status)) return false;
        break;
    }
    const int first = held > wanted ? held - wanted : 0;
    g_source.sendSlotCount = held - first;
    for (int i = 0; i < g_source.sendSlotCount; ++i) g_source.sendSlots[i] = first + i;
    return true;
}

// Without the dialog the camera's pictures go out one by one, as many as the
// application asked for (all by default) and the camera holds. With none to
// send, or no camera, the application is asked to close the source instead.
TW_UINT16 EnableWithoutDialog() {
    g_source.twainState = 5;
    const CapSettings &caps = g_source.caps;
    const int wanted =
        caps.xferCountSetByApp && caps.pendingXfers > 0 ? caps.pendingXfers : kMaxUiPictures;
    if (g_source.camSession == nullptr || !FindPicturesToSend(wanted) ||
        g_source.sendSlotCount == 0) {
        NotifyCloseDsReq();
        return TWRC_SUCCESS;
    }
    g_source.caps.pendingXfers = static_cast<TW_INT16>(g_source.sendSlotCount);
    NotifyXferReady();
    return TWRC_SUCCESS;
}

// DG_CONTROL / DAT_USERINTERFACE / MSG_ENABLEDS
TW_UINT16 UserInterfaceEnableDs(pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    const auto *ui = static_cast<const TW_USERINTERFACE *>(data);
    DestroyDialog();
    g_source.sendSlotCount = 0;
    return ui->ShowUI ? EnableWithDialog() : EnableWithoutDialog();
}

// DG_CONTROL / DAT_USERINTERFACE / MSG_DISABLEDS
TW_UINT16 UserInterfaceDisableDs(pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    const auto *ui = static_cast<const TW_USERINTERFACE *>(data);
    if (!ui->ShowUI && g_source.hDlgCapture != nullptr) ShowWindow(g_source.hDlgCapture, SW_HIDE);
    // A picture half sent is not carried into the next enable.
    AbandonMemXfer();
    g_source.twainState = 4;
    return TWRC_SUCCESS;
}

// DG_CONTROL / DAT_STATUS / MSG_GET
TW_UINT16 StatusGet(pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    auto *status = static_cast<pTW_STATUS>(data);
    status->ConditionCode = g_source.conditionCode;
    status->Reserved = 0;
    return TWRC_SUCCESS;
}

// DG_CONTROL / DAT_XFERGROUP / MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT, MSG_RESET
TW_UINT16 XferGroupGet(pTW_IDENTITY, TW_UINT16, TW_MEMREF data) {
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    *static_cast<pTW_UINT32>(data) = DG_IMAGE;
    return TWRC_SUCCESS;
}

// DG_CONTROL / DAT_XFERGROUP / MSG_SET
TW_UINT16 XferGroupSet(pTW_IDENTITY, TW_UINT16, TW_MEMREF) {
    return TWRC_SUCCESS;
}

const MessageRow kIdentityRows[] = {
    {MSG_GET, kAnyState, IdentityGet},
    {MSG_OPENDS, kState3, IdentityOpenDs, TWRC_SUCCESS},
    {MSG_CLOSEDS, kStates4To7, IdentityCloseDs, TWRC_SUCCESS},
};
const MessageRow kUserInterfaceRows[] = {
    {MSG_ENABLEDS, kState4, UserInterfaceEnableDs},
    {MSG_DISABLEDS, kStates5To7, UserInterfaceDisableDs},
};
const MessageRow kStatusRows[] = {
    {MSG_GET, kAnyState, StatusGet},
};
const MessageRow kXferGroupRows[] = {
    {MSG_GET, kStates4To6, XferGroupGet},        {MSG_GETCURRENT, kStates4To6, XferGroupGet},
    {MSG_GETDEFAULT, kStates4To6, XferGroupGet}, {MSG_RESET, kStates4To6, XferGroupGet},
    {MSG_SET, kStates4To6, XferGroupSet},
};

const TripletEntry kControlTriplets[] = {
    {DAT_IDENTITY, true, kIdentityRows, CountOf(kIdentityRows)},
    {DAT_USERINTERFACE, true, kUserInterfaceRows, CountOf(kUserInterfaceRows)},
    {DAT_CAPABILITY, false, kCapabilityRows, kCapabilityRowCount},
    {DAT_STATUS, false, kStatusRows, CountOf(kStatusRows)},
    {DAT_PENDINGXFERS, true, kPendingXfersRows, kPendingXfersRowCount},
    {DAT_SETUPMEMXFER, false, kSetupMemXferRows, kSetupMemXferRowCount},
    {DAT_SETUPFILEXFER, false, kSetupFileXferRows, kSetupFileXferRowCount},
    {DAT_XFERGROUP, false, kXferGroupRows, CountOf(kXferGroupRows)},
};

bool InState(uint8_t states) {
    return (states >> g_source.twainState) & 1;
}

const MessageRow *FindMessage(const TripletEntry &entry, TW_UINT16 msg) {
    for (int i = 0; i < entry.rowCount; ++i)
        if (entry.rows[i].msg == msg || entry.rows[i].msg == kAnyMessage) return &entry.rows[i];
    return nullptr;
}

// The states in which any message of the DAT is taken.
uint8_t AnyRowStates(const TripletEntry &entry) {
    uint8_t states = 0;
    for (int i = 0; i < entry.rowCount; ++i) states |= entry.rows[i].states;
    return states;
}

TW_UINT16 Dispatch(const TripletEntry *table, int count, pTW_IDENTITY origin, TW_UINT16 dat,
                   TW_UINT16 msg, TW_MEMREF data) {
    for (int i = 0; i < count; ++i) {
        const TripletEntry &entry = table[i];
        if (entry.dat != dat) continue;
        // The first capability call of any kind, refused or not, sets the defaults.
        if (dat == DAT_CAPABILITY) EnsureCapSettings();
        if (!entry.messageFirst && !InState(AnyRowStates(entry))) return Fail(TWCC_SEQERROR);
        const MessageRow *row = FindMessage(entry, msg);
        if (row == nullptr) return Fail(TWCC_BADPROTOCOL);
        if (!InState(row->states)) {
            g_source.conditionCode = TWCC_SEQERROR;
            return row->refusedReturn;
        }
        return row->handler(origin, msg, data);
    }
    return Fail(TWCC_BADPROTOCOL);
}

// Messages of the application's own loop: the capture dialog's, or not ours.
TW_UINT16 ProcessEvent(TW_MEMREF data) {
    auto *event = static_cast<pTW_EVENT>(data);
    if (event == nullptr || g_source.hDlgCapture == nullptr) return TWRC_NOTDSEVENT;
    auto *message = static_cast<MSG *>(event->pEvent);
    if (message == nullptr || !IsDialogMessageA(g_source.hDlgCapture, message))
        return TWRC_NOTDSEVENT;
    event->TWMessage = MSG_NULL;
    return TWRC_DSEVENT;
}

} // namespace

void NotifyXferReady() {
    twcamTrace(nullptr, "function  NotifyXferReady\r\n", 0);
    // Once per transfer, and only while the source is enabled: a second
    // Capture before the application took the first, or one after MSG_DISABLEDS
    // left the dialog shown, announces nothing.
    if (!CanAnnounceTransfer()) return;
    g_source.twainState = 6;
    Notify(MSG_XFERREADY);
}

void NotifyCloseDsReq() {
    Notify(MSG_CLOSEDSREQ);
}

void SourceAttach(HINSTANCE instance) {
    g_source.hInstance = instance;
    g_source.appIdentity.Id = 0;
    FillIdentity(g_source.dsIdentity);
    g_source.dsIdentity.Id = 0;
    RegisterControlClasses(instance);
}

TW_UINT16 SourceEntry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                      TW_MEMREF data) {
    // Another application than the connected one: nothing happens for it.
    if (g_source.appIdentity.Id != 0 &&
        (origin == nullptr || origin->Id != g_source.appIdentity.Id))
        return TWRC_FAILURE;
    // Only a TW_EVENT carries a message for the dialog; other data is no MSG.
    if (msg == MSG_PROCESSEVENT)
        return dg == DG_CONTROL && dat == DAT_EVENT ? ProcessEvent(data) : Fail(TWCC_BADPROTOCOL);
    if (dg != DG_CONTROL && dat != DAT_STATUS) g_source.conditionCode = TWCC_SUCCESS;
    if (dg == DG_CONTROL)
        return Dispatch(kControlTriplets, CountOf(kControlTriplets), origin, dat, msg, data);
    if (dg == DG_IMAGE) return Dispatch(kImageTriplets, kImageTripletCount, origin, dat, msg, data);
    return Fail(TWCC_BADPROTOCOL);
}

} // namespace zorvik

extern "C" TW_UINT16 PASCAL DS_Entry(pTW_IDENTITY pOrigin, TW_UINT32 dg, TW_UINT16 dat,
                                     TW_UINT16 msg, TW_MEMREF pData) {
    return zorvik::SourceEntry(pOrigin, dg, dat, msg, pData);
}

namespace __gnu_cxx {
void __freeres() noexcept; // libstdc++'s own release of its pools
} // namespace __gnu_cxx

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) zorvik::SourceAttach(instance);
    // Applications that load the source for every acquisition would lose, at
    // each unload, its window classes and the exception-handling emergency
    // pool of the C++ runtime linked into it (allocated at load, never freed
    // by the runtime itself). At process exit (reserved set) nothing needs
    // giving back.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        zorvik::UnregisterControlClasses(instance);
        __gnu_cxx::__freeres();
    }
    return TRUE;
}
