// The data source as an application drives it through DS_Entry: the triplet
// table state by state, condition codes, notifications and the three
// transfers, hostile data and a camera unplugged mid-transfer.
#include "source_fixture.h"
#include "support/process_use.h"

using namespace sourcetest;

namespace {

TEST_F(Source, IdentityAndStatusRightAfterLoading) {
    EXPECT_EQ(Condition(), TWCC_SUCCESS);
    TW_IDENTITY id;
    std::memset(&id, 0xCC, sizeof id);
    ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &id), TWRC_SUCCESS);
    EXPECT_EQ(id.Id, 0u);
    EXPECT_EQ(id.Version.MajorNum, 1);
    EXPECT_EQ(id.Version.MinorNum, 0);
    EXPECT_EQ(id.Version.Language, TWLG_USA);
    EXPECT_EQ(id.Version.Country, TWCY_USA);
    EXPECT_STREQ(id.Version.Info, "September, 1998");
    EXPECT_EQ(id.ProtocolMajor, 1);
    EXPECT_EQ(id.ProtocolMinor, 6);
    EXPECT_EQ(id.SupportedGroups, 3u);
    EXPECT_STREQ(id.Manufacturer, "Tessaly Ltd");
    EXPECT_STREQ(id.ProductFamily, "TWAIN");
    EXPECT_STREQ(id.ProductName, "Kelbrook Zorvik");
}

// Every triplet the table lists, refused in each state outside its column.
struct Triplet {
    TW_UINT32 dg;
    TW_UINT16 dat, msg;
    uint8_t states;
    TW_UINT16 refusedReturn;
};
const Triplet kTriplets[] = {
    {DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, zorvik::kState3, TWRC_SUCCESS},
    {DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, zorvik::kStates4To7, TWRC_SUCCESS},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, zorvik::kState4, TWRC_FAILURE},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, zorvik::kStates5To7, TWRC_FAILURE},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, zorvik::kStates4To7, TWRC_FAILURE},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, zorvik::kStates6To7, TWRC_FAILURE},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, zorvik::kStates6To7, TWRC_FAILURE},
    {DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, zorvik::kStates4To6, TWRC_FAILURE},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, zorvik::kStates4To6, TWRC_FAILURE},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, zorvik::kStates4To6, TWRC_FAILURE},
    {DG_CONTROL, DAT_XFERGROUP, MSG_GET, zorvik::kStates4To6, TWRC_FAILURE},
    {DG_CONTROL, DAT_XFERGROUP, MSG_SET, zorvik::kStates4To6, TWRC_FAILURE},
    {DG_IMAGE, DAT_IMAGEINFO, MSG_GET, zorvik::kState6, TWRC_FAILURE},
    {DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, zorvik::kStates4To6, TWRC_FAILURE},
    {DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, zorvik::kState4, TWRC_FAILURE},
    {DG_IMAGE, DAT_IMAGELAYOUT, MSG_RESET, zorvik::kState4, TWRC_FAILURE},
    {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, zorvik::kStates6To7, TWRC_FAILURE},
    {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, zorvik::kStates6To7, TWRC_FAILURE},
    {DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, zorvik::kStates6To7, TWRC_FAILURE},
    {DG_IMAGE, DAT_PALETTE8, MSG_GET, zorvik::kStates4To6, TWRC_FAILURE},
    {DG_IMAGE, DAT_PALETTE8, MSG_SET, zorvik::kStates4To6, TWRC_FAILURE},
};

TEST_F(Source, EveryTripletRefusedOutsideItsStates) {
    for (int state = 3; state <= 6; ++state) {
        SetUp();
        if (state >= 4) Open();
        if (state >= 5) EnableWithoutUi();
        if (state == 5) {
            TW_PENDINGXFERS pending{};
            ASSERT_EQ(Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
        }
        ASSERT_EQ(g_source.twainState, state);
        BoxWatcherTake();
        const long commands = sessiontest::StatusField(kCameraCom, "commands");
        for (const Triplet &t : kTriplets) {
            if ((t.states >> state) & 1) continue;
            uint8_t scratch[1024] = {};
            g_source.conditionCode = TWCC_BUMMER;
            EXPECT_EQ(Call(t.dg, t.dat, t.msg, scratch), t.refusedReturn)
                << "state " << state << " DAT " << t.dat << " MSG " << t.msg;
            EXPECT_EQ(Condition(), TWCC_SEQERROR)
                << "state " << state << " DAT " << t.dat << " MSG " << t.msg;
            EXPECT_EQ(g_source.twainState, state) << "a refusal changes nothing";
        }
        // Not a word to the camera, and no box an unattended application would hang on.
        EXPECT_EQ(sessiontest::StatusField(kCameraCom, "commands"), commands) << "state " << state;
        EXPECT_TRUE(BoxWatcherTake().empty()) << "state " << state;
    }
}

TEST_F(Source, UnknownTripletsAndConditionCodeRules) {
    uint8_t scratch[256] = {};
    EXPECT_EQ(Call(DG_CONTROL, DAT_PARENT, MSG_GET, scratch), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BADPROTOCOL);
    EXPECT_EQ(Call(0x4, DAT_IDENTITY, MSG_GET, scratch), TWRC_FAILURE); // DG_AUDIO
    EXPECT_EQ(Condition(), TWCC_BADPROTOCOL);
    EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, scratch), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BADPROTOCOL);
    EXPECT_EQ(Call(DG_CONTROL, DAT_STATUS, MSG_SET, scratch), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BADPROTOCOL);
    EXPECT_EQ(Call(DG_CONTROL, DAT_CAPABILITY, MSG_GETFIRST, scratch), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BADPROTOCOL);
    EXPECT_EQ(g_source.caps.pendingXfers, 1) << "the first capability call gives the defaults";

    // A failing control call's code survives a successful control call...
    EXPECT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, scratch), TWRC_FAILURE);
    TW_IDENTITY id;
    EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &id), TWRC_SUCCESS);
    EXPECT_EQ(Condition(), TWCC_SEQERROR);
    // ...and any image call clears it; the CIE colour refusal names no reason.
    EXPECT_EQ(Call(DG_IMAGE, DAT_CIECOLOR, MSG_GET, scratch), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_SUCCESS);
    EXPECT_EQ(Call(DG_IMAGE, DAT_GRAYRESPONSE, MSG_SET, scratch), TWRC_SUCCESS);
    EXPECT_EQ(Call(DG_IMAGE, DAT_JPEGCOMPRESSION, MSG_GET, scratch), TWRC_SUCCESS);
    // Without a dialog no event is the source's.
    MSG message{};
    TW_EVENT event{&message, 0x55};
    EXPECT_EQ(Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event), TWRC_NOTDSEVENT);
    EXPECT_EQ(event.TWMessage, 0x55);
}

TEST_F(Source, OpenTwiceAndAnotherApplication) {
    Open();
    TW_IDENTITY other = g_app;
    other.Id = 99;
    g_source.conditionCode = TWCC_SUCCESS;
    uint8_t scratch[256];
    std::memset(scratch, 0x5A, sizeof scratch);
    // Another application is not served at all, not even its status.
    EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, scratch, &other), TWRC_FAILURE);
    EXPECT_EQ(scratch[0], 0x5A);
    EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, scratch, nullptr), TWRC_FAILURE);
    // The same application opening again: success, nothing changes.
    EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &g_dsIn), TWRC_SUCCESS);
    EXPECT_EQ(Condition(), TWCC_SEQERROR);
    EXPECT_EQ(g_source.twainState, 4);
    EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr), TWRC_SUCCESS);
    EXPECT_EQ(g_source.twainState, 3);
    EXPECT_EQ(g_source.camSession, nullptr);
    EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr), TWRC_SUCCESS);
    EXPECT_EQ(Condition(), TWCC_SEQERROR);
}

TEST_F(Source, EnableWithoutUiAnnouncesFromInsideTheCall) {
    Open();
    EnableWithoutUi();
    const auto sent = Notifications();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].msg, MSG_XFERREADY);
    EXPECT_EQ(sent[0].dg, static_cast<TW_UINT32>(DG_CONTROL));
    EXPECT_EQ(sent[0].dat, DAT_NULL);
    EXPECT_EQ(sent[0].originId, 3u) << "the identity the manager passed at open";
    EXPECT_STREQ(sent[0].originName, "Kelbrook Zorvik");
    EXPECT_EQ(sent[0].destId, 7u);
    EXPECT_TRUE(sent[0].dataWasNull);
    TW_PENDINGXFERS pending{};
    ASSERT_EQ(Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, kCapacity) << "every picture the camera can hold";

    TW_USERINTERFACE ui{FALSE, FALSE, nullptr};
    EXPECT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(g_source.twainState, 4);
}

TEST_F(Source, NoCameraAsksToBeClosed) {
    sessiontest::ControlOk(kCameraCom, "fault * silent always");
    ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &g_dsIn), TWRC_SUCCESS);
    sessiontest::ControlOk(kCameraCom, "clear");
    EXPECT_EQ(g_source.camSession, nullptr);
    EXPECT_EQ(Condition(), TWCC_BUMMER);
    const auto boxes = BoxWatcherTake();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Kelbrook Zorvik");
    EXPECT_NE(boxes[0].text.find("Unable to locate a camera"), std::string::npos) << boxes[0].text;
    EXPECT_EQ(boxes[0].pressed, IDCANCEL);

    TW_USERINTERFACE ui{FALSE, FALSE, nullptr};
    ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(g_source.twainState, 5);
    const auto sent = Notifications();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].msg, MSG_CLOSEDSREQ);
}

// A camera with 8 pictures in its 24 slots: without the dialog the transfers
// are the camera's pictures, the last n that hold one, and no more than it
// holds are announced.
TEST_F(Source, WithoutTheDialogTheCamerasOwnPicturesGoOut) {
    for (int slot = 8; slot < kCapacity; ++slot)
        sessiontest::ControlOk(kCameraCom, "erase " + std::to_string(slot));
    const auto expected = LibraryPictures({5, 6, 7});
    Open();
    SetXferCount(3);
    EnableWithoutUi();
    for (int k = 0; k < 3; ++k) {
        HGLOBAL handle = nullptr;
        ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle), TWRC_XFERDONE) << k;
        ExpectPictureBlock(static_cast<const uint8_t *>(GlobalLock(handle)), GlobalSize(handle),
                           expected[k]);
        GlobalUnlock(handle);
        GlobalFree(handle);
        EXPECT_EQ(EndXfer(), 2 - k);
    }
    // Ten asked for, eight held: eight announced.
    TW_USERINTERFACE ui{FALSE, FALSE, nullptr};
    ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    SetXferCount(10);
    EnableWithoutUi();
    TW_PENDINGXFERS pending{};
    ASSERT_EQ(Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 8);
    sessiontest::ControlOk(kCameraCom, "clear");
    FillCamera();
}

// Nothing to send, or no camera to send it: the application is asked to close
// the source, and no transfer is announced.
TEST_F(Source, NoPictureNoAnnouncement) {
    Open();
    sessiontest::ControlOk(kCameraCom, "erase all");
    TW_USERINTERFACE ui{FALSE, FALSE, nullptr};
    ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(g_source.twainState, 5);
    auto sent = Notifications();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].msg, MSG_CLOSEDSREQ);
    sessiontest::ControlOk(kCameraCom, "clear");
    FillCamera();
    for (int slot = 0; slot < 8; ++slot)
        sessiontest::ControlOk(kCameraCom,
                               "scene " + std::to_string(slot) + " " + std::to_string(slot));

    g_clear();
    ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    sessiontest::ControlOk(kCameraCom, "fault * silent always");
    ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
    sessiontest::ControlOk(kCameraCom, "clear");
    sent = Notifications();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].msg, MSG_CLOSEDSREQ) << "not MSG_XFERREADY for a camera that went";
    EXPECT_TRUE(BoxWatcherTake().empty());
}

TEST_F(Source, NotificationsGoThroughTheNewerManagerWhenLoaded) {
    HMODULE newer = LoadStandIn("twaindsm.dll");
    ASSERT_NE(newer, nullptr);
    auto count = reinterpret_cast<StandInCountProc>(
        reinterpret_cast<void *>(GetProcAddress(newer, "StandInCount")));
    ASSERT_NE(count, nullptr);
    const int before = count();
    Open();
    EnableWithoutUi();
    EXPECT_EQ(count(), before + 1);
    EXPECT_EQ(g_count(), 0) << "nothing through TWAIN_32.DLL";
    FreeLibrary(newer);
}

// With three pending the pictures are the last three slots, in order.
TEST_F(Source, NativeTransfersOfTheLastSlotsInOrder) {
    const auto expected = LibraryPictures({kCapacity - 3, kCapacity - 2, kCapacity - 1});
    Open();
    SetXferCount(3);
    EnableWithoutUi();
    for (int k = 0; k < 3; ++k) {
        TW_IMAGEINFO info{};
        ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
        EXPECT_EQ(info.ImageWidth, 160);
        EXPECT_EQ(info.ImageLength, 120);
        EXPECT_EQ(info.BitsPerPixel, 24);
        HGLOBAL handle = nullptr;
        ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle), TWRC_XFERDONE);
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(GlobalSize(handle), 57640u);
        ExpectPictureBlock(static_cast<const uint8_t *>(GlobalLock(handle)), GlobalSize(handle),
                           expected[k]);
        GlobalUnlock(handle);
        GlobalFree(handle);
        EXPECT_EQ(EndXfer(), 2 - k);
    }
    EXPECT_EQ(g_source.twainState, 5);
    EXPECT_EQ(g_source.caps.pendingXfers, 3) << "ready for the next announcement";
}

// Strips top row first; the buffer sizes decide the rows per strip.
TEST_F(Source, MemoryTransferStrips) {
    const Bytes picture = LibraryPictures({kCapacity - 1})[0];
    Open();
    SetXferCount(1);
    EnableWithoutUi();
    TW_SETUPMEMXFER setup{};
    ASSERT_EQ(Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup), TWRC_SUCCESS);
    EXPECT_EQ(setup.MinBufSize, 32768u);
    EXPECT_EQ(setup.MaxBufSize, 57600u);
    EXPECT_EQ(setup.Preferred, 57600u);

    auto topDownRow = [&](int row) { // row 0 is the top of the picture
        const uint8_t *p = picture.data() + (119 - row) * 480;
        return Bytes(p, p + 480);
    };
    struct Case {
        uint32_t length;
        std::vector<uint32_t> rows;
    };
    for (const Case &c : {Case{57600, {120}}, Case{32768, {68, 52}}}) {
        Bytes buffer(c.length);
        uint32_t y = 0;
        for (uint32_t rows : c.rows) {
            TW_IMAGEMEMXFER x{};
            x.Memory = {TWMF_APPOWNS | TWMF_POINTER, c.length, buffer.data()};
            ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TWRC_SUCCESS);
            EXPECT_EQ(x.BytesPerRow, 480u);
            EXPECT_EQ(x.Columns, 160u);
            EXPECT_EQ(x.Rows, rows);
            EXPECT_EQ(x.YOffset, y);
            EXPECT_EQ(x.BytesWritten, rows * 480);
            for (uint32_t r = 0; r < rows; ++r)
                ASSERT_EQ(Bytes(buffer.begin() + r * 480, buffer.begin() + (r + 1) * 480),
                          topDownRow(static_cast<int>(y + r)))
                    << "buffer " << c.length << " row " << y + r;
            y += rows;
        }
        TW_IMAGEMEMXFER last{};
        last.Memory = {TWMF_APPOWNS | TWMF_POINTER, c.length, buffer.data()};
        last.BytesWritten = 99;
        EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &last), TWRC_XFERDONE);
        EXPECT_EQ(last.BytesWritten, 0u);
    }

    // 479 bytes hold no row: refused after the box, and the same picture goes on.
    Bytes small(479), big(57600);
    TW_IMAGEMEMXFER x{};
    x.Memory = {TWMF_APPOWNS | TWMF_POINTER, 479, small.data()};
    EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_LOWMEMORY);
    const auto boxes = BoxWatcherTake();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Buffer is too small for strip transfers");
    // A handle the application owns this time.
    HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE, 57600);
    x.Memory = {TWMF_APPOWNS | TWMF_HANDLE, 57600, handle};
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TWRC_SUCCESS);
    EXPECT_EQ(x.Rows, 120u);
    const auto *strip = static_cast<const uint8_t *>(GlobalLock(handle));
    EXPECT_EQ(Bytes(strip, strip + 480), topDownRow(0));
    GlobalUnlock(handle);
    GlobalFree(handle);
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TWRC_XFERDONE);
    EXPECT_EQ(EndXfer(), 0);
}

// Every TWRC_XFERDONE carries a whole picture, and no strip of no rows passes
// for one sent: a handle smaller than its stated length is refused, and a
// picture abandoned after 1,000 calls is a failed transfer.
TEST_F(Source, MemoryTransferNeverDoneWithoutThePicture) {
    Open();
    SetXferCount(1);
    EnableWithoutUi();
    HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE, 479);
    TW_IMAGEMEMXFER x{};
    x.Memory = {TWMF_APPOWNS | TWMF_HANDLE, 57600, handle};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TWRC_FAILURE);
        EXPECT_EQ(Condition(), TWCC_BADVALUE);
    }
    GlobalFree(handle);
    EXPECT_TRUE(g_source.memXfer.first) << "no picture fetched for it";

    Bytes buffer(480);
    x.Memory = {TWMF_APPOWNS | TWMF_POINTER, 480, buffer.data()};
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TWRC_SUCCESS);
    EXPECT_EQ(x.Rows, 1u);
    // Calls that send nothing, up to the thousandth since the picture began.
    while (g_source.memXfer.calls < 1000) Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_SET, &x);
    EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BUMMER);
    EXPECT_EQ(x.BytesWritten, 0u);
    const auto boxes = BoxWatcherTake();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "The source aborts a memory transfer");
    EXPECT_EQ(g_source.memXfer.picture, nullptr);
    // The next call starts the picture afresh.
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TWRC_SUCCESS);
    EXPECT_EQ(x.YOffset, 0u);
}

// An application that ends a memory transfer half-way: the next transfer is a
// whole new picture, never the rest of the old one.
TEST_F(Source, MemoryTransferLeftHalfDone) {
    const auto expected = LibraryPictures({kCapacity - 2, kCapacity - 1});
    Open();
    SetXferCount(2);
    EnableWithoutUi();
    Bytes buffer(32768);
    TW_IMAGEMEMXFER x{};
    x.Memory = {TWMF_APPOWNS | TWMF_POINTER, 32768, buffer.data()};
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TWRC_SUCCESS);
    EXPECT_EQ(x.Rows, 68u);
    EXPECT_EQ(EndXfer(), 1);
    x = TW_IMAGEMEMXFER{};
    x.Memory = {TWMF_APPOWNS | TWMF_POINTER, 32768, buffer.data()};
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TWRC_SUCCESS);
    EXPECT_EQ(x.YOffset, 0u) << "a new picture from its top row";
    EXPECT_EQ(x.Rows, 68u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 480),
              Bytes(expected[1].begin() + 119 * 480, expected[1].begin() + 120 * 480));
    // Disabled with a strip still to come, and enabled again: a whole new picture.
    TW_USERINTERFACE ui{FALSE, FALSE, nullptr};
    ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(g_source.memXfer.picture, nullptr);
    SetXferCount(1);
    EnableWithoutUi();
    x = TW_IMAGEMEMXFER{};
    x.Memory = {TWMF_APPOWNS | TWMF_POINTER, 32768, buffer.data()};
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TWRC_SUCCESS);
    EXPECT_EQ(x.YOffset, 0u) << "not the rest of the picture before the disable";
    EXPECT_EQ(x.Rows, 68u);
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TWRC_SUCCESS);
    EXPECT_EQ(x.YOffset, 68u);
    EXPECT_EQ(x.Rows, 52u);
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TWRC_XFERDONE);
    EXPECT_EQ(EndXfer(), 0);
    ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    EnableWithoutUi();
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TWRC_SUCCESS);
    // Closing with a strip still to come frees the picture and leaves no progress.
    EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr), TWRC_SUCCESS);
    EXPECT_EQ(g_source.memXfer.picture, nullptr);
    EXPECT_TRUE(g_source.memXfer.first);
}

TEST_F(Source, FileTransferWritesTheBitmap) {
    const Bytes picture = LibraryPictures({kCapacity - 1})[0];
    Open();
    TW_SETUPFILEXFER setup{};
    ASSERT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &setup), TWRC_SUCCESS);
    EXPECT_STREQ(setup.FileName, "");
    ASSERT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GETDEFAULT, &setup), TWRC_SUCCESS);
    EXPECT_STREQ(setup.FileName, ".\\twain.bmp");
    EXPECT_EQ(setup.Format, TWFF_BMP);

    const std::string path = ScratchFile("zorvik-entry.bmp");
    DeleteFileA(path.c_str());
    std::memset(&setup, 0, sizeof setup);
    std::strcpy(setup.FileName, path.c_str());
    ASSERT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
    EXPECT_EQ(ReadFileBytes(path).size(), 0u) << "created empty";
    SetXferCount(1);
    EnableWithoutUi();
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE);
    const Bytes file = ReadFileBytes(path);
    ASSERT_EQ(file.size(), 57654u);
    const Bytes head = {'B', 'M', 0x36, 0xE1, 0x00, 0x00, 0, 0, 0, 0, 54, 0, 0, 0};
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 14), head);
    ExpectPictureBlock(file.data() + 14, file.size() - 14, picture);
    DeleteFileA(path.c_str());

    // A folder that does not exist: refused at set-up.
    std::strcpy(setup.FileName, "C:\\no such folder\\x.bmp");
    EXPECT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BADVALUE);
    // The name of a folder is no file to write either: refused now, not at the transfer.
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    std::strcpy(setup.FileName, folder);
    EXPECT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BADVALUE);
    EXPECT_STREQ(g_source.xferFileName, folder) << "a refused name is still the one stored";
}

TEST_F(Source, FileTransferFailuresAreNeverDone) {
    Open();
    SetXferCount(2);
    EnableWithoutUi();
    // No name set since loading: nothing can be created.
    EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_LOWMEMORY);
    auto boxes = BoxWatcherTake();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Unable to open output file");

    // A disk that refuses the write: a failure, and the device is left alone.
    std::strcpy(g_source.xferFileName, "Z:\\dev\\full");
    EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BUMMER);
    boxes = BoxWatcherTake();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Unable to write output file");
    HANDLE device = CreateFileA("Z:\\dev\\full", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(device, INVALID_HANDLE_VALUE);
    CloseHandle(device);
    TW_PENDINGXFERS pending{};
    ASSERT_EQ(Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 2) << "no transfer was used up";
}

TEST_F(Source, ImageDescriptionLayoutAndPalette) {
    Open();
    TW_IMAGELAYOUT layout{};
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TWRC_SUCCESS);
    EXPECT_EQ(layout.Frame.Left.Whole, 0);
    EXPECT_EQ(layout.Frame.Top.Whole, 0);
    EXPECT_EQ(layout.Frame.Right.Whole, 159);
    EXPECT_EQ(layout.Frame.Bottom.Whole, 119);
    EXPECT_EQ(layout.DocumentNumber, 1u);
    EXPECT_EQ(layout.PageNumber, 1u);
    EXPECT_EQ(layout.FrameNumber, 1u);
    EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout), TWRC_SUCCESS);
    layout.Frame.Right.Whole = 319;
    layout.Frame.Bottom.Whole = 239;
    EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BADVALUE);
    EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GETFIRST, &layout), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BADPROTOCOL);

    TW_PALETTE8 palette{};
    ASSERT_EQ(Call(DG_IMAGE, DAT_PALETTE8, MSG_GET, &palette), TWRC_SUCCESS);
    EXPECT_EQ(palette.NumColors, 256);
    EXPECT_EQ(palette.PaletteType, TWPA_RGB);
    EXPECT_EQ(palette.Colors[128].Index, 128);
    EXPECT_EQ(palette.Colors[128].Channel1, 128);
    EXPECT_EQ(palette.Colors[128].Channel3, 128);
    EXPECT_EQ(Condition(), TWCC_SUCCESS);
    EXPECT_EQ(Call(DG_IMAGE, DAT_PALETTE8, MSG_GETCURRENT, &palette), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BADPROTOCOL);

    TW_UINT32 group = 0;
    EXPECT_EQ(Call(DG_CONTROL, DAT_XFERGROUP, MSG_GET, &group), TWRC_SUCCESS);
    EXPECT_EQ(group, static_cast<TW_UINT32>(DG_IMAGE));
}

TEST_F(Source, NullDataIsRefusedNotFollowed) {
    EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(Call(DG_CONTROL, DAT_STATUS, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, nullptr), TWRC_FAILURE);
    EXPECT_EQ(g_source.twainState, 3);
    Open();
    for (int msg : {MSG_ENABLEDS, MSG_DISABLEDS})
        EXPECT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, static_cast<TW_UINT16>(msg), nullptr),
                  TWRC_FAILURE);
    EXPECT_EQ(Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, nullptr), TWRC_FAILURE);
    EnableWithoutUi();
    EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BADVALUE);
    EXPECT_EQ(Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, nullptr), TWRC_SUCCESS);
    EXPECT_EQ(g_source.twainState, 6) << "23 still pending";
}

// The camera unplugged mid-acquisition: the transfer fails, the source stays
// usable, and closing and opening again finds the camera that is plugged in.
TEST_F(Source, CameraUnpluggedMidTransfer) {
    Open();
    SetXferCount(2);
    EnableWithoutUi();
    HGLOBAL handle = nullptr;
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle), TWRC_XFERDONE);
    GlobalFree(handle);
    EXPECT_EQ(EndXfer(), 1);
    sessiontest::Unplug(kCameraCom);
    handle = reinterpret_cast<HGLOBAL>(1);
    EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle), TWRC_FAILURE);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(Condition(), TWCC_BUMMER);
    EXPECT_EQ(g_source.twainState, 6);
    TW_PENDINGXFERS pending{};
    EXPECT_EQ(Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
    EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr), TWRC_SUCCESS);
    // The one transfer still pending is the last slot's.
    const Bytes picture = LibraryPictures({kCapacity - 1})[0];
    Open();
    EnableWithoutUi();
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle), TWRC_XFERDONE);
    ExpectPictureBlock(static_cast<const uint8_t *>(GlobalLock(handle)), GlobalSize(handle),
                       picture);
    GlobalUnlock(handle);
    GlobalFree(handle);
}

// Thousands of triplets, valid and not, in a seeded random order with
// well-formed and hostile data, first with the camera plugged in, then pulled
// out again and again, then plugged in for good: the source never crashes,
// stays in states 3 to 6, answers with standard codes, and never claims what
// it did not do. Every TWRC_XFERDONE carries a whole picture; a strip of no
// rows is never a success; a closed source neither drives the camera nor
// shows a box; MSG_XFERREADY comes only when a transfer can be made; and the
// last MSG_CLOSEDS leaves the windows, threads, handles and heap of the start.
struct Lcg {
    uint32_t state;
    uint32_t Below(uint32_t n) {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % n;
    }
};

struct RandomTriplet {
    TW_UINT32 dg;
    TW_UINT16 dat, msg;
};
const RandomTriplet kRandomTriplets[] = {
    {DG_CONTROL, DAT_IDENTITY, MSG_GET},
    {DG_CONTROL, DAT_IDENTITY, MSG_OPENDS},
    {DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS},
    {DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS},
    {DG_CONTROL, DAT_CAPABILITY, MSG_GET},
    {DG_CONTROL, DAT_CAPABILITY, MSG_SET},
    {DG_CONTROL, DAT_CAPABILITY, MSG_RESET},
    {DG_CONTROL, DAT_CAPABILITY, MSG_GETDEFAULT},
    {DG_CONTROL, DAT_CAPABILITY, MSG_QUERYSUPPORT},
    {DG_CONTROL, DAT_STATUS, MSG_GET},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_GET},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET},
    {DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_RESET},
    {DG_CONTROL, DAT_XFERGROUP, MSG_GET},
    {DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT},
    {DG_CONTROL, DAT_PARENT, MSG_OPENDSM},
    // An event message sent with other data: the data is no window message.
    {DG_CONTROL, DAT_CAPABILITY, MSG_PROCESSEVENT},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_PROCESSEVENT},
    {DG_CONTROL, DAT_IDENTITY, MSG_PROCESSEVENT},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_PROCESSEVENT},
    {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_PROCESSEVENT},
    {DG_IMAGE, DAT_IMAGEINFO, MSG_GET},
    {DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET},
    {DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET},
    {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET},
    {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET},
    {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_SET},
    {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET},
    {DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET},
    {DG_IMAGE, DAT_PALETTE8, MSG_GET},
    {DG_IMAGE, DAT_CIECOLOR, MSG_GET},
    {DG_IMAGE, DAT_RGBRESPONSE, MSG_SET},
    {0x4, DAT_IDENTITY, MSG_GET},
};

// A native transfer's block: a whole 160 x 120 x 24 picture, not a blank.
void ExpectWholePictureHandle(HGLOBAL handle, int call) {
    ASSERT_NE(handle, nullptr) << "call " << call;
    ASSERT_GE(GlobalSize(handle), 57640u) << "call " << call;
    const auto *block = static_cast<const uint8_t *>(GlobalLock(handle));
    BITMAPINFOHEADER h;
    std::memcpy(&h, block, sizeof h);
    bool blank = true;
    for (size_t k = 40; k < 57640 && blank; ++k) blank = block[k] == 0;
    GlobalUnlock(handle);
    EXPECT_EQ(h.biWidth, 160) << "call " << call;
    EXPECT_EQ(h.biHeight, 120) << "call " << call;
    EXPECT_EQ(h.biBitCount, 24) << "call " << call;
    EXPECT_FALSE(blank) << "call " << call << ": a transfer done with no picture in it";
}

int CountNotifications(TW_UINT16 msg) {
    int n = 0;
    for (const StandInNotification &note : Notifications()) n += note.msg == msg;
    return n;
}

// What the process holds between sequences.
struct ProcessUse {
    int windows, threads;
    DWORD handles;
    SIZE_T heap;
};
ProcessUse TakeProcessUse() {
    return {processuse::WindowCount(), processuse::ThreadCount(), processuse::HandleCount(),
            processuse::BusyHeapBytes()};
}

TEST_F(Source, RandomTripletsNeverClaimWhatTheSourceDidNotDo) {
    BoxWatcherAnswer(IDCANCEL);
    // Twelve pictures in twenty-four slots, as a camera half full.
    for (int slot = 12; slot < kCapacity; ++slot)
        sessiontest::ControlOk(kCameraCom, "erase " + std::to_string(slot));
    const std::string file = ScratchFile("zorvik-random.bmp");
    Bytes strip(57600);

    // A first acquisition with and without the dialog, so that what Wine
    // keeps after its first use is there before the count starts.
    Open();
    TW_USERINTERFACE withDialog{TRUE, FALSE, nullptr};
    const int windowsBefore = processuse::WindowCount();
    ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &withDialog), TWRC_SUCCESS);
    ASSERT_GT(processuse::WindowCount(), windowsBefore) << "the dialog counts as a window";
    ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &withDialog), TWRC_SUCCESS);
    EnableWithoutUi();
    // The source's first box (Wine keeps what its first message box loads).
    TW_IMAGEMEMXFER tooSmall{};
    tooSmall.Memory = {TWMF_APPOWNS | TWMF_POINTER, 16, strip.data()};
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &tooSmall), TWRC_FAILURE);
    HGLOBAL first = nullptr;
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &first), TWRC_XFERDONE);
    GlobalFree(first);
    ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr), TWRC_SUCCESS);
    Sleep(300);
    BoxWatcherTake();
    const ProcessUse start = TakeProcessUse();

    Lcg rng{20261209};
    alignas(8) uint8_t scratch[4096];
    int visited[7] = {}, transfers[3] = {}, announced = 0;
    uint32_t rowsSent = 0; // rows of the memory transfer's picture so far
    for (int i = 0; i < 3000; ++i) {
        const int phase = i / 1000; // plugged in, pulled out again and again, plugged in
        if ((phase == 1 && i % 150 == 0) || i == 2000) sessiontest::ControlOk(kCameraCom, "unplug");
        const RandomTriplet &t = kRandomTriplets[rng.Below(zorvik::CountOf(kRandomTriplets))];
        // Hostile buffers: zeros, noise, or nothing at all.
        const uint32_t kind = rng.Below(4);
        for (uint8_t &b : scratch) b = kind == 1 ? static_cast<uint8_t>(rng.Below(256)) : 0;
        void *data = kind == 3 ? nullptr : scratch;
        TW_CAPABILITY cap{};
        TW_IMAGEMEMXFER mem{};
        TW_SETUPFILEXFER setup{};
        TW_USERINTERFACE ui{};
        HGLOBAL memHandle = nullptr;
        TW_IDENTITY ds = g_dsIn;
        if (kind == 2) { // well formed for what it is
            if (t.dat == DAT_CAPABILITY) {
                cap.Cap = static_cast<TW_UINT16>(rng.Below(2) ? 0x1000 + rng.Below(0x30)
                                                              : 0x0100 + rng.Below(0x40));
                cap.ConType = static_cast<TW_UINT16>(TWON_ARRAY + rng.Below(5));
                if (rng.Below(3)) {
                    cap.hContainer = GlobalAlloc(GHND, 2 + rng.Below(40));
                    auto *one = static_cast<uint8_t *>(GlobalLock(cap.hContainer));
                    for (SIZE_T k = 0; k < GlobalSize(cap.hContainer); ++k)
                        one[k] = static_cast<uint8_t>(k < 2 ? rng.Below(14) : rng.Below(256));
                    GlobalUnlock(cap.hContainer);
                }
                data = &cap;
            } else if (t.dat == DAT_IMAGEMEMXFER) {
                const uint32_t length = rng.Below(57601);
                const uint32_t how = rng.Below(3);
                if (how == 0) {
                    mem.Memory = {TWMF_APPOWNS | TWMF_POINTER, length, strip.data()};
                } else { // a handle of its stated length, or smaller than it says
                    memHandle = GlobalAlloc(GMEM_MOVEABLE, how == 1 ? length + 1 : length / 2 + 1);
                    mem.Memory = {TWMF_APPOWNS | TWMF_HANDLE, length, memHandle};
                }
                data = &mem;
            } else if (t.dat == DAT_SETUPFILEXFER) {
                std::snprintf(setup.FileName, sizeof setup.FileName, "%s", file.c_str());
                data = &setup;
            } else if (t.dat == DAT_USERINTERFACE) {
                ui.ShowUI = static_cast<TW_BOOL>(rng.Below(2));
                data = &ui;
            } else if (t.dat == DAT_IDENTITY && t.msg == MSG_OPENDS) {
                data = &ds;
            }
        } else if (t.dat == DAT_SETUPFILEXFER && t.msg == MSG_SET && data != nullptr) {
            data = nullptr; // noise as a file name would litter the disk
        } else if (t.dat == DAT_CAPABILITY && data != nullptr) {
            data = &cap; // noise for a handle is no application's mistake to survive
        } else if (t.dat == DAT_IMAGEMEMXFER && data != nullptr) {
            mem.Memory = {TWMF_APPOWNS | TWMF_POINTER, 0, nullptr};
            data = &mem;
        } else if (t.msg == MSG_PROCESSEVENT && data != nullptr) {
            static MSG message{};
            auto *event = static_cast<pTW_EVENT>(data);
            event->pEvent = rng.Below(2) ? &message : nullptr;
        }
        pTW_IDENTITY origin = rng.Below(20) == 0 ? nullptr : &g_app;
        const int stateBefore = g_source.twainState;
        const bool quietCall = stateBefore == 3 && !(t.dat == DAT_IDENTITY && t.msg == MSG_OPENDS);
        const long commandsBefore =
            quietCall ? sessiontest::StatusField(kCameraCom, "commands") : 0;
        const int readyBefore = CountNotifications(MSG_XFERREADY);
        if (quietCall) BoxWatcherTake(); // the boxes of earlier calls

        const TW_UINT16 rc = Call(t.dg, t.dat, t.msg, data, origin);

        ASSERT_LE(rc, TWRC_ENDOFLIST) << "call " << i;
        ASSERT_GE(g_source.twainState, 3) << "call " << i;
        ASSERT_LE(g_source.twainState, 6) << "call " << i;
        ASSERT_LE(g_source.conditionCode, TWCC_DENIED) << "call " << i;
        ++visited[g_source.twainState];
        if (t.msg == MSG_PROCESSEVENT && t.dat != DAT_EVENT) {
            ASSERT_EQ(rc, TWRC_FAILURE) << "call " << i << ": an event with DAT " << t.dat;
        }
        if (quietCall) {
            EXPECT_EQ(sessiontest::StatusField(kCameraCom, "commands"), commandsBefore)
                << "call " << i << ": the closed source drove the camera";
            const std::vector<SeenBox> boxes = BoxWatcherTake();
            EXPECT_TRUE(boxes.empty())
                << "call " << i
                << ": a box from the closed source: " << (boxes.empty() ? "" : boxes[0].text);
        }
        // What the source handed over belongs to the application: free it.
        if (t.dat == DAT_IMAGENATIVEXFER && rc == TWRC_XFERDONE && data == scratch) {
            HGLOBAL handle = nullptr;
            std::memcpy(&handle, scratch, sizeof handle);
            ExpectWholePictureHandle(handle, i);
            GlobalFree(handle);
            ++transfers[phase];
        }
        if (t.dat == DAT_IMAGEMEMXFER && t.msg == MSG_GET && data == &mem &&
            (rc == TWRC_SUCCESS || rc == TWRC_XFERDONE)) {
            if (rc == TWRC_SUCCESS) {
                ASSERT_GT(mem.Rows, 0u) << "call " << i << ": a strip of no rows as a success";
                if (mem.YOffset == 0) rowsSent = 0;
                ASSERT_EQ(mem.YOffset, rowsSent) << "call " << i << ": strips out of order";
                rowsSent += mem.Rows;
                ASSERT_LE(rowsSent, 120u) << "call " << i;
            } else {
                ASSERT_EQ(rowsSent, 120u)
                    << "call " << i << ": done after " << rowsSent << " of 120 rows";
                rowsSent = 0;
                ++transfers[phase];
            }
        }
        if (t.dat == DAT_IMAGEFILEXFER && rc == TWRC_XFERDONE) {
            // Whatever name the sequence left set (a reset gives the default).
            const std::string written = g_source.xferFileName;
            EXPECT_EQ(ReadFileBytes(written).size(), 57654u) << "call " << i << ": " << written;
            DeleteFileA(written.c_str());
            ++transfers[phase];
        }
        if (memHandle != nullptr) GlobalFree(memHandle);
        if (t.dat == DAT_CAPABILITY && data == &cap) {
            if (rc == TWRC_SUCCESS && t.msg != MSG_SET && t.msg != MSG_RESET &&
                t.msg != MSG_PROCESSEVENT) {
                if (cap.Cap == CAP_AUTHOR) {
                    auto *one = static_cast<pTW_ONEVALUE>(GlobalLock(cap.hContainer));
                    GlobalFree(reinterpret_cast<HGLOBAL>(static_cast<uintptr_t>(one->Item)));
                    GlobalUnlock(cap.hContainer);
                }
            }
            if (cap.hContainer != nullptr) GlobalFree(cap.hContainer);
        }
        // An announced transfer can be made, there and then.
        if (CountNotifications(MSG_XFERREADY) > readyBefore) {
            ++announced;
            TW_PENDINGXFERS pending{};
            ASSERT_EQ(Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
            ASSERT_NE(pending.Count, 0) << "call " << i << ": announced with nothing pending";
            HGLOBAL handle = nullptr;
            ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle), TWRC_XFERDONE)
                << "call " << i << ": announced, then failed (condition " << Condition() << ")";
            ExpectWholePictureHandle(handle, i);
            GlobalFree(handle);
            ++transfers[phase];
        }
    }
    std::printf("random: transfers by phase %d %d %d, %d announced; calls in states 3-6: %d %d "
                "%d %d\n",
                transfers[0], transfers[1], transfers[2], announced, visited[3], visited[4],
                visited[5], visited[6]);
    EXPECT_GT(transfers[0], 0) << "the sequence reached the transfers";
    EXPECT_GT(transfers[2], 0) << "the camera plugged in again gives pictures";
    for (int state = 3; state <= 6; ++state) EXPECT_GT(visited[state], 0) << "state " << state;

    Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr);
    DeleteFileA(file.c_str());
    BoxWatcherTake();
    Sleep(300);
    const ProcessUse end = TakeProcessUse();
    std::printf("random: windows %d -> %d, threads %d -> %d, handles %lu -> %lu, heap %lu -> "
                "%lu\n",
                start.windows, end.windows, start.threads, end.threads,
                static_cast<unsigned long>(start.handles), static_cast<unsigned long>(end.handles),
                static_cast<unsigned long>(start.heap), static_cast<unsigned long>(end.heap));
    EXPECT_EQ(end.windows, start.windows) << "a dialog left behind";
    EXPECT_EQ(end.threads, start.threads) << "a worker left behind";
    EXPECT_LE(end.handles, start.handles);
    EXPECT_LE(end.heap, start.heap + 4096);
    FillCamera();
}

} // namespace
