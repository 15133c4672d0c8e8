// DAT_CAPABILITY as the dispatcher calls it: every capability's five messages,
// the exact bytes of every container, the negotiated values and the hostile
// containers an application may send.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "camera_double.h"

namespace zorvik {
namespace {

using Bytes = std::vector<uint8_t>;

TW_IDENTITY g_app{};

// A container the source handed out: its bytes, its size, and whether it is a
// movable block (a fixed block locks to its own handle). The block is freed.
struct Taken {
    SIZE_T size = 0;
    Bytes bytes;
    bool movable = false;
};

Taken Take(HGLOBAL h) {
    Taken t;
    if (h == nullptr) return t;
    t.size = GlobalSize(h);
    auto *p = static_cast<const uint8_t *>(GlobalLock(h));
    if (p != nullptr) {
        t.movable = p != static_cast<const void *>(h);
        t.bytes.assign(p, p + t.size);
        GlobalUnlock(h);
    }
    GlobalFree(h);
    return t;
}

HGLOBAL NewBlock(const Bytes &bytes, UINT flags = GMEM_MOVEABLE) {
    HGLOBAL h = GlobalAlloc(flags, bytes.size());
    auto *p = static_cast<uint8_t *>(GlobalLock(h));
    std::memcpy(p, bytes.data(), bytes.size());
    GlobalUnlock(h);
    return h;
}

Bytes OneValue(TW_UINT16 type, TW_UINT32 item) {
    return {static_cast<uint8_t>(type),       static_cast<uint8_t>(type >> 8),
            static_cast<uint8_t>(item),       static_cast<uint8_t>(item >> 8),
            static_cast<uint8_t>(item >> 16), static_cast<uint8_t>(item >> 24)};
}

// The dispatcher's way in: the row of the message.
TW_UINT16 Call(TW_UINT16 msg, TW_MEMREF data) {
    for (int i = 0; i < kCapabilityRowCount; ++i) {
        if (kCapabilityRows[i].msg == msg) return kCapabilityRows[i].handler(&g_app, msg, data);
    }
    ADD_FAILURE() << "no row for message " << msg;
    return 0xFFFF;
}

// One call; the return code must agree with the condition code it leaves.
TW_UINT16 Negotiate(TW_UINT16 msg, TW_CAPABILITY &cap) {
    TW_UINT16 rc = Call(msg, &cap);
    EXPECT_EQ(rc, g_source.conditionCode == TWCC_SUCCESS ? TWRC_SUCCESS : TWRC_FAILURE);
    return g_source.conditionCode;
}

// A GET that must succeed with the given container type.
Taken Get(TW_UINT16 capId, TW_UINT16 msg, TW_UINT16 conType = TWON_ONEVALUE) {
    TW_CAPABILITY cap{capId, 0, nullptr};
    EXPECT_EQ(Negotiate(msg, cap), TWCC_SUCCESS) << "cap " << capId << " msg " << msg;
    EXPECT_EQ(cap.ConType, conType);
    Taken t = Take(cap.hContainer);
    EXPECT_TRUE(t.movable) << "cap " << capId;
    return t;
}

// A MSG_SET with the application's container; the source reads it and leaves
// it to the application, intact.
TW_UINT16 SetContainer(TW_UINT16 capId, TW_UINT16 conType, const Bytes &bytes) {
    HGLOBAL h = NewBlock(bytes);
    TW_CAPABILITY cap{capId, conType, h};
    TW_UINT16 cc = Negotiate(MSG_SET, cap);
    EXPECT_EQ(cap.hContainer, h);
    Taken after = Take(h);
    EXPECT_EQ(after.bytes, bytes);
    return cc;
}

TW_UINT16 Set(TW_UINT16 capId, TW_UINT16 type, TW_UINT32 item) {
    return SetContainer(capId, TWON_ONEVALUE, OneValue(type, item));
}

// MSG_RESET or a refused message: nothing is handed out.
TW_UINT16 NoContainer(TW_UINT16 capId, TW_UINT16 msg) {
    HGLOBAL mine = NewBlock(OneValue(TWTY_UINT16, 7));
    TW_CAPABILITY cap{capId, TWON_ONEVALUE, mine};
    TW_UINT16 cc = Negotiate(msg, cap);
    EXPECT_EQ(cap.hContainer, mine);
    EXPECT_EQ(cap.ConType, TWON_ONEVALUE);
    Take(mine);
    return cc;
}

const TW_UINT16 kGets[] = {MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT};

class Capabilities : public ::testing::Test {
  protected:
    void SetUp() override {
        g_source = SourceGlobals{}; // as the module is loaded
        test::g_capacity = 24;
        EnsureCapSettings();
    }
    void TearDown() override { g_source.camSession = nullptr; }
};

// --- the dispatcher's rows and the first call -------------------------------

TEST(CapabilityRows, FiveMessagesInEveryStateAndTheQueryOnceOpen) {
    ASSERT_EQ(kCapabilityRowCount, 6);
    const TW_UINT16 expected[] = {MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT,
                                  MSG_SET, MSG_RESET,      MSG_QUERYSUPPORT};
    for (int i = 0; i < kCapabilityRowCount; ++i) {
        EXPECT_EQ(kCapabilityRows[i].msg, expected[i]);
        EXPECT_EQ(kCapabilityRows[i].states, i < 5 ? kAnyState : kStates4To7);
        EXPECT_NE(kCapabilityRows[i].handler, nullptr);
        EXPECT_EQ(kCapabilityRows[i].refusedReturn, TWRC_FAILURE);
    }
}

TEST(FirstCall, EvenAFailingOneGivesTheDefaults) {
    g_source = SourceGlobals{};
    EXPECT_EQ(g_source.caps.pendingXfers, 0);
    TW_CAPABILITY cap{ICAP_BRIGHTNESS, 0, nullptr};
    EXPECT_EQ(Call(MSG_GET, &cap), TWRC_FAILURE);
    EXPECT_EQ(g_source.conditionCode, TWCC_CAPUNSUPPORTED);
    EXPECT_EQ(cap.hContainer, nullptr);
    EXPECT_TRUE(g_source.capsInitialised);
    const CapSettings &c = g_source.caps;
    EXPECT_EQ(c.pendingXfers, 1);
    EXPECT_EQ(c.xferCountDefault, 1);
    EXPECT_EQ(c.xferCountCurrent, 1);
    EXPECT_EQ(c.xferCountSetByApp, 0);
    EXPECT_EQ(c.xferMechDefault, TWSX_NATIVE);
    EXPECT_EQ(c.xferMechCurrent, TWSX_NATIVE);
    EXPECT_EQ(c.uiControllable, 1);
    EXPECT_EQ(c.unitsDefault, TWUN_PIXELS);
    EXPECT_EQ(c.unitsCurrent, TWUN_PIXELS);
    EXPECT_EQ(c.indicatorsDefault, 1);
    EXPECT_EQ(c.indicatorsCurrent, 1);
}

TEST(FirstCall, ANullCapabilityInitialisesAndFailsCleanly) {
    g_source = SourceGlobals{};
    EXPECT_EQ(Call(MSG_SET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(g_source.conditionCode, TWCC_BADVALUE);
    EXPECT_EQ(g_source.caps.pendingXfers, 1);
}

TEST(FirstCall, RefusedMessagesInitialiseThroughEnsureCapSettings) {
    g_source = SourceGlobals{};
    EnsureCapSettings();
    EXPECT_TRUE(g_source.capsInitialised);
    EXPECT_EQ(g_source.caps.pendingXfers, 1);
    // Later calls keep what was negotiated: the defaults come once per process.
    g_source.caps.xferCountCurrent = 5;
    g_source.caps.pendingXfers = 4;
    EnsureCapSettings();
    TW_CAPABILITY cap{ICAP_BRIGHTNESS, 0, nullptr};
    Call(MSG_GET, &cap);
    EXPECT_EQ(g_source.caps.xferCountCurrent, 5);
    EXPECT_EQ(g_source.caps.pendingXfers, 4);
}

TEST_F(Capabilities, ConditionCodeIsSetOnEveryCall) {
    g_source.conditionCode = TWCC_SEQERROR; // left by an earlier DG_CONTROL failure
    Get(CAP_DEVICEONLINE, MSG_GET);
    EXPECT_EQ(g_source.conditionCode, TWCC_SUCCESS);

    TW_CAPABILITY cap{ICAP_BRIGHTNESS, 0, nullptr};
    EXPECT_EQ(Call(MSG_GET, &cap), TWRC_FAILURE);
    EXPECT_EQ(g_source.conditionCode, TWCC_CAPUNSUPPORTED);
    EXPECT_EQ(NoContainer(ICAP_BRIGHTNESS, MSG_RESET), TWCC_CAPUNSUPPORTED);
}

TEST_F(Capabilities, OtherMessagesReachingTheHandlerAreRefused) {
    TW_CAPABILITY cap{CAP_XFERCOUNT, 0, nullptr};
    for (TW_UINT16 msg : {TW_UINT16{MSG_GETFIRST}, TW_UINT16{MSG_GETNEXT}, TW_UINT16{0}}) {
        EXPECT_EQ(kCapabilityRows[0].handler(&g_app, msg, &cap), TWRC_FAILURE);
        EXPECT_EQ(g_source.conditionCode, TWCC_BADPROTOCOL);
        EXPECT_EQ(cap.hContainer, nullptr);
    }
}

// --- one capability at a time ------------------------------------------------

TEST_F(Capabilities, AuthorIsATextBlockBehindTheItem) {
    for (TW_UINT16 msg : kGets) {
        TW_CAPABILITY cap{CAP_AUTHOR, 0, nullptr};
        ASSERT_EQ(Negotiate(msg, cap), TWCC_SUCCESS);
        EXPECT_EQ(cap.ConType, TWON_ONEVALUE);
        Taken outer = Take(cap.hContainer);
        ASSERT_EQ(outer.size, 6u);
        EXPECT_TRUE(outer.movable);
        EXPECT_EQ(outer.bytes[0], TWTY_STR128);
        EXPECT_EQ(outer.bytes[1], 0);
        TW_UINT32 item = 0;
        std::memcpy(&item, &outer.bytes[2], 4);
        Taken text = Take(reinterpret_cast<HGLOBAL>(static_cast<uintptr_t>(item)));
        ASSERT_EQ(text.size, 130u);
        EXPECT_TRUE(text.movable);
        Bytes expected(130, 0);
        const char author[] = "Tessaly Ltd, Kelbrook Zorvik camera source";
        std::memcpy(expected.data(), author, sizeof author);
        EXPECT_EQ(text.bytes, expected);
    }
    EXPECT_EQ(NoContainer(CAP_AUTHOR, MSG_SET), TWCC_BADVALUE);
    EXPECT_EQ(NoContainer(CAP_AUTHOR, MSG_RESET), TWCC_BADVALUE);
}

TEST_F(Capabilities, DeviceOnlineIsAlwaysTrue) {
    for (TW_UINT16 msg : kGets) {
        Taken t = Get(CAP_DEVICEONLINE, msg);
        EXPECT_EQ(t.size, 6u);
        EXPECT_EQ(t.bytes, (Bytes{0x06, 0x00, 0x01, 0x00, 0x00, 0x00}));
    }
    EXPECT_EQ(NoContainer(CAP_DEVICEONLINE, MSG_SET), TWCC_BADVALUE);
    EXPECT_EQ(NoContainer(CAP_DEVICEONLINE, MSG_RESET), TWCC_BADVALUE);
}

TEST_F(Capabilities, UiControllableIsReportedOnly) {
    for (TW_UINT16 msg : kGets) {
        EXPECT_EQ(Get(CAP_UICONTROLLABLE, msg).bytes, (Bytes{0x06, 0x00, 0x01, 0x00, 0x00, 0x00}));
    }
    EXPECT_EQ(Set(CAP_UICONTROLLABLE, TWTY_BOOL, 0), TWCC_CAPBADOPERATION);
    EXPECT_EQ(NoContainer(CAP_UICONTROLLABLE, MSG_RESET), TWCC_CAPBADOPERATION);
    EXPECT_EQ(g_source.caps.uiControllable, 1);
}

TEST_F(Capabilities, XferCountWithinTheCameraCapacity) {
    for (TW_UINT16 msg : kGets) {
        Taken t = Get(CAP_XFERCOUNT, msg);
        EXPECT_EQ(t.size, 6u);
        EXPECT_EQ(t.bytes, (Bytes{0x01, 0x00, 0x01, 0x00, 0x00, 0x00}));
    }

    EXPECT_EQ(Set(CAP_XFERCOUNT, TWTY_INT16, 3), TWCC_SUCCESS);
    EXPECT_EQ(g_source.caps.pendingXfers, 3);
    EXPECT_EQ(g_source.caps.xferCountCurrent, 3);
    EXPECT_NE(g_source.caps.xferCountSetByApp, 0);
    EXPECT_EQ(Get(CAP_XFERCOUNT, MSG_GET).bytes, (Bytes{0x01, 0x00, 0x03, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Get(CAP_XFERCOUNT, MSG_GETCURRENT).bytes,
              (Bytes{0x01, 0x00, 0x03, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Get(CAP_XFERCOUNT, MSG_GETDEFAULT).bytes,
              (Bytes{0x01, 0x00, 0x01, 0x00, 0x00, 0x00}));

    // -1 (all the transfers an application wants) and 25 lie outside 1..24:
    // accepted, and nothing changes.
    EXPECT_EQ(Set(CAP_XFERCOUNT, TWTY_INT16, 0xFFFFFFFFu), TWCC_SUCCESS);
    EXPECT_EQ(Set(CAP_XFERCOUNT, TWTY_INT32, 25), TWCC_SUCCESS);
    EXPECT_EQ(g_source.caps.pendingXfers, 3);
    EXPECT_EQ(g_source.caps.xferCountCurrent, 3);
    EXPECT_EQ(Get(CAP_XFERCOUNT, MSG_GET).bytes, (Bytes{0x01, 0x00, 0x03, 0x00, 0x00, 0x00}));

    EXPECT_EQ(Set(CAP_XFERCOUNT, TWTY_UINT16, 24), TWCC_SUCCESS);
    EXPECT_EQ(g_source.caps.pendingXfers, 24);
    // No transfer at all is no count: refused, and nothing changes.
    EXPECT_EQ(Set(CAP_XFERCOUNT, TWTY_UINT32, 0), TWCC_BADVALUE);
    EXPECT_EQ(g_source.caps.pendingXfers, 24);
    EXPECT_EQ(g_source.caps.xferCountCurrent, 24);

    // MSG_RESET: back to the default; the application's choice is remembered.
    EXPECT_EQ(NoContainer(CAP_XFERCOUNT, MSG_RESET), TWCC_SUCCESS);
    EXPECT_EQ(g_source.caps.pendingXfers, 1);
    EXPECT_EQ(g_source.caps.xferCountCurrent, 1);
    EXPECT_NE(g_source.caps.xferCountSetByApp, 0);
}

TEST_F(Capabilities, XferCountFollowsASmallerCamera) {
    test::g_capacity = 12;
    EXPECT_EQ(Set(CAP_XFERCOUNT, TWTY_INT16, 13), TWCC_SUCCESS);
    EXPECT_EQ(g_source.caps.pendingXfers, 1);
    EXPECT_EQ(g_source.caps.xferCountSetByApp, 0);
    EXPECT_EQ(Set(CAP_XFERCOUNT, TWTY_INT16, 12), TWCC_SUCCESS);
    EXPECT_EQ(g_source.caps.pendingXfers, 12);
}

TEST_F(Capabilities, XferCountRefusesWrongItemsAndContainers) {
    EXPECT_EQ(Set(CAP_XFERCOUNT, TWTY_BOOL, 3), TWCC_CAPBADOPERATION);
    EXPECT_EQ(Set(CAP_XFERCOUNT, TWTY_UINT8, 3), TWCC_CAPBADOPERATION);
    // A TW_ENUMERATION of one TWTY_INT16 item 3.
    const Bytes enumeration{0x01, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0};
    EXPECT_EQ(SetContainer(CAP_XFERCOUNT, TWON_ENUMERATION, enumeration), TWCC_BADVALUE);
    EXPECT_EQ(g_source.caps.pendingXfers, 1);
    EXPECT_EQ(g_source.caps.xferCountSetByApp, 0);
}

TEST_F(Capabilities, XferCountSignExtendsIntoTheItem) {
    g_source.caps.xferCountCurrent = -1;
    EXPECT_EQ(Get(CAP_XFERCOUNT, MSG_GET).bytes, (Bytes{0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(Capabilities, SupportedCapsListsTheNineteen) {
    const Bytes expected{
        0x04, 0x00,             // TWTY_UINT16
        0x13, 0x00, 0x00, 0x00, // 19 items
        0x00, 0x10,             // CAP_AUTHOR
        0x0f, 0x10,             // CAP_DEVICEONLINE
        0x0e, 0x10,             // CAP_UICONTROLLABLE
        0x01, 0x00,             // CAP_XFERCOUNT
        0x05, 0x10,             // CAP_SUPPORTEDCAPS
        0x0b, 0x10,             // CAP_INDICATORS
        0x2b, 0x11,             // ICAP_BITDEPTH
        0x1c, 0x11,             // ICAP_BITORDER
        0x00, 0x01,             // ICAP_COMPRESSION
        0x1a, 0x11,             // ICAP_MAXFRAMES
        0x12, 0x11,             // ICAP_PHYSICALHEIGHT
        0x11, 0x11,             // ICAP_PHYSICALWIDTH
        0x1f, 0x11,             // ICAP_PIXELFLAVOR
        0x01, 0x01,             // ICAP_PIXELTYPE
        0x20, 0x11,             // ICAP_PLANARCHUNKY
        0x02, 0x01,             // ICAP_UNITS
        0x03, 0x01,             // ICAP_XFERMECH
        0x18, 0x11,             // ICAP_XRESOLUTION
        0x19, 0x11,             // ICAP_YRESOLUTION
        0x00,                   // the block's spare byte
    };
    ASSERT_EQ(expected.size(), 45u);
    for (TW_UINT16 msg : kGets) {
        Taken t = Get(CAP_SUPPORTEDCAPS, msg, TWON_ARRAY);
        EXPECT_EQ(t.size, 45u);
        EXPECT_EQ(t.bytes, expected);
    }
    EXPECT_EQ(NoContainer(CAP_SUPPORTEDCAPS, MSG_SET), TWCC_BADVALUE);
    EXPECT_EQ(NoContainer(CAP_SUPPORTEDCAPS, MSG_RESET), TWCC_BADVALUE);
}

TEST_F(Capabilities, EveryListedCapabilityAnswersAGet) {
    Taken list = Get(CAP_SUPPORTEDCAPS, MSG_GET, TWON_ARRAY);
    ASSERT_EQ(list.size, 45u);
    for (int i = 0; i < 19; ++i) {
        const auto capId =
            static_cast<TW_UINT16>(list.bytes[6 + 2 * i] | list.bytes[7 + 2 * i] << 8);
        TW_CAPABILITY cap{capId, 0, nullptr};
        EXPECT_EQ(Negotiate(MSG_GET, cap), TWCC_SUCCESS) << "cap " << capId;
        if (capId == CAP_AUTHOR) {
            Taken outer = Take(cap.hContainer);
            TW_UINT32 item = 0;
            std::memcpy(&item, &outer.bytes[2], 4);
            Take(reinterpret_cast<HGLOBAL>(static_cast<uintptr_t>(item)));
        } else {
            Take(cap.hContainer);
        }
    }
}

TEST_F(Capabilities, IndicatorsTakeABool) {
    for (TW_UINT16 msg : kGets) {
        EXPECT_EQ(Get(CAP_INDICATORS, msg).bytes, (Bytes{0x06, 0x00, 0x01, 0x00, 0x00, 0x00}));
    }
    EXPECT_EQ(Set(CAP_INDICATORS, TWTY_BOOL, 0), TWCC_SUCCESS);
    EXPECT_EQ(g_source.caps.indicatorsCurrent, 0);
    EXPECT_EQ(Get(CAP_INDICATORS, MSG_GET).bytes, (Bytes{0x06, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Get(CAP_INDICATORS, MSG_GETCURRENT).bytes,
              (Bytes{0x06, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Get(CAP_INDICATORS, MSG_GETDEFAULT).bytes,
              (Bytes{0x06, 0x00, 0x01, 0x00, 0x00, 0x00}));

    EXPECT_EQ(Set(CAP_INDICATORS, TWTY_UINT16, 1), TWCC_BADVALUE);
    EXPECT_EQ(Set(CAP_INDICATORS, TWTY_INT32, 1), TWCC_BADVALUE);
    EXPECT_EQ(g_source.caps.indicatorsCurrent, 0);

    EXPECT_EQ(NoContainer(CAP_INDICATORS, MSG_RESET), TWCC_SUCCESS);
    EXPECT_EQ(g_source.caps.indicatorsCurrent, 1);
}

TEST_F(Capabilities, UnitsArePixelsOnly) {
    for (TW_UINT16 msg : kGets) {
        EXPECT_EQ(Get(ICAP_UNITS, msg).bytes, (Bytes{0x04, 0x00, 0x05, 0x00, 0x00, 0x00}));
    }
    EXPECT_EQ(Set(ICAP_UNITS, TWTY_UINT16, TWUN_PIXELS), TWCC_SUCCESS);
    EXPECT_EQ(Set(ICAP_UNITS, TWTY_UINT16, TWUN_INCHES), TWCC_CAPBADOPERATION);
    EXPECT_EQ(Set(ICAP_UNITS, TWTY_BOOL, TWUN_PIXELS), TWCC_CAPBADOPERATION);
    EXPECT_EQ(g_source.caps.unitsCurrent, TWUN_PIXELS);
    EXPECT_EQ(NoContainer(ICAP_UNITS, MSG_RESET), TWCC_SUCCESS);
    EXPECT_EQ(g_source.caps.unitsCurrent, TWUN_PIXELS);
}

TEST_F(Capabilities, XferMechIsStoredAndReported) {
    for (TW_UINT16 msg : kGets) {
        EXPECT_EQ(Get(ICAP_XFERMECH, msg).bytes, (Bytes{0x04, 0x00, 0x00, 0x00, 0x00, 0x00}));
    }
    EXPECT_EQ(Set(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TWCC_SUCCESS);
    EXPECT_EQ(Get(ICAP_XFERMECH, MSG_GET).bytes, (Bytes{0x04, 0x00, 0x02, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Get(ICAP_XFERMECH, MSG_GETCURRENT).bytes,
              (Bytes{0x04, 0x00, 0x02, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Get(ICAP_XFERMECH, MSG_GETDEFAULT).bytes,
              (Bytes{0x04, 0x00, 0x00, 0x00, 0x00, 0x00}));

    EXPECT_EQ(Set(ICAP_XFERMECH, TWTY_UINT16, 3), TWCC_CAPBADOPERATION);
    EXPECT_EQ(g_source.caps.xferMechCurrent, TWSX_MEMORY);

    EXPECT_EQ(NoContainer(ICAP_XFERMECH, MSG_RESET), TWCC_SUCCESS);
    EXPECT_EQ(Get(ICAP_XFERMECH, MSG_GET).bytes, (Bytes{0x04, 0x00, 0x00, 0x00, 0x00, 0x00}));

    EXPECT_EQ(Set(ICAP_XFERMECH, TWTY_UINT32, TWSX_FILE), TWCC_SUCCESS);
    EXPECT_EQ(g_source.caps.xferMechCurrent, TWSX_FILE);
    EXPECT_EQ(Set(ICAP_XFERMECH, TWTY_UINT16, TWSX_NATIVE), TWCC_SUCCESS);
    EXPECT_EQ(g_source.caps.xferMechCurrent, TWSX_NATIVE);
}

// The capabilities whose value never changes: what GET reports, the values a
// MSG_SET may carry, and one it must refuse.
struct FixedCase {
    TW_UINT16 cap;
    TW_UINT16 reported;
    std::vector<TW_UINT32> accepted;
    TW_UINT32 refused;
};

TEST_F(Capabilities, FixedValuesAcceptOnlyThemselves) {
    const FixedCase cases[] = {
        {ICAP_PIXELFLAVOR, 0, {0}, 1}, {ICAP_COMPRESSION, 0, {0}, 1},
        {ICAP_PIXELTYPE, 2, {2}, 0},   {ICAP_BITDEPTH, 24, {24, 8}, 16},
        {ICAP_BITORDER, 1, {1}, 0},    {ICAP_MAXFRAMES, 1, {1}, 2},
    };
    for (const FixedCase &c : cases) {
        SCOPED_TRACE(c.cap);
        const Bytes reported{0x04, 0x00, static_cast<uint8_t>(c.reported), 0x00, 0x00, 0x00};
        for (TW_UINT16 msg : kGets) {
            Taken t = Get(c.cap, msg);
            EXPECT_EQ(t.size, 6u);
            EXPECT_EQ(t.bytes, reported);
        }
        for (TW_UINT32 v : c.accepted) {
            EXPECT_EQ(Set(c.cap, TWTY_UINT16, v), TWCC_SUCCESS);
            // Only the low 16 bits of the item count.
            EXPECT_EQ(Set(c.cap, TWTY_INT32, v | 0x00010000u), TWCC_SUCCESS);
        }
        EXPECT_EQ(Get(c.cap, MSG_GET).bytes, reported);
        EXPECT_EQ(Set(c.cap, TWTY_UINT16, c.refused), TWCC_CAPBADOPERATION);
        EXPECT_EQ(Set(c.cap, TWTY_FIX32, c.reported), TWCC_CAPBADOPERATION);
        EXPECT_EQ(Set(c.cap, TWTY_INT8, c.reported), TWCC_CAPBADOPERATION);
        const Bytes range(26, 0);
        EXPECT_EQ(SetContainer(c.cap, TWON_RANGE, range), TWCC_BADVALUE);
        EXPECT_EQ(NoContainer(c.cap, MSG_RESET), TWCC_SUCCESS);
    }
}

TEST_F(Capabilities, BitDepthEightIsAcceptedButTwentyFourReported) {
    EXPECT_EQ(Set(ICAP_BITDEPTH, TWTY_UINT16, 8), TWCC_SUCCESS);
    EXPECT_EQ(Get(ICAP_BITDEPTH, MSG_GET).bytes, (Bytes{0x04, 0x00, 0x18, 0x00, 0x00, 0x00}));
}

TEST_F(Capabilities, PlanarChunkyIsReportedOnly) {
    for (TW_UINT16 msg : kGets) {
        EXPECT_EQ(Get(ICAP_PLANARCHUNKY, msg).bytes, (Bytes{0x04, 0x00, 0x00, 0x00, 0x00, 0x00}));
    }
    EXPECT_EQ(Set(ICAP_PLANARCHUNKY, TWTY_UINT16, TWPC_CHUNKY), TWCC_BADVALUE);
    EXPECT_EQ(NoContainer(ICAP_PLANARCHUNKY, MSG_RESET), TWCC_BADVALUE);
}

TEST_F(Capabilities, PhysicalSizeIsThePictureDescription) {
    // Without the dialog nothing describes the picture; the one sent is 160 x 120,
    // as DAT_IMAGEINFO says, with or without a camera session.
    TwcamSession session{};
    for (TwcamSession *s : {static_cast<TwcamSession *>(nullptr), &session}) {
        g_source.camSession = s;
        for (TW_UINT16 msg : kGets) {
            EXPECT_EQ(Get(ICAP_PHYSICALWIDTH, msg).bytes,
                      (Bytes{0x04, 0x00, 0xA0, 0x00, 0x00, 0x00}));
            EXPECT_EQ(Get(ICAP_PHYSICALHEIGHT, msg).bytes,
                      (Bytes{0x04, 0x00, 0x78, 0x00, 0x00, 0x00}));
        }
    }
    // The capture dialog's large capture: 320 x 240.
    session.pendingFormat.biSize = 40;
    session.pendingFormat.biWidth = 320;
    session.pendingFormat.biHeight = 240;
    session.pendingFormat.biPlanes = 1;
    session.pendingFormat.biBitCount = 24;
    for (TW_UINT16 msg : kGets) {
        EXPECT_EQ(Get(ICAP_PHYSICALWIDTH, msg).bytes, (Bytes{0x04, 0x00, 0x40, 0x01, 0x00, 0x00}));
        EXPECT_EQ(Get(ICAP_PHYSICALHEIGHT, msg).bytes, (Bytes{0x04, 0x00, 0xF0, 0x00, 0x00, 0x00}));
    }
    for (TW_UINT16 capId : {TW_UINT16{ICAP_PHYSICALWIDTH}, TW_UINT16{ICAP_PHYSICALHEIGHT}}) {
        EXPECT_EQ(Set(capId, TWTY_UINT16, 160), TWCC_CAPBADOPERATION);
        EXPECT_EQ(NoContainer(capId, MSG_RESET), TWCC_CAPBADOPERATION);
    }
}

// --- MSG_QUERYSUPPORT ----------------------------------------------------------

// What a capability's handler really accepts, tried: MSG_SET with the value
// its own MSG_GET reports, and MSG_RESET.
TW_INT32 OperationsTried(TW_UINT16 capId) {
    TW_INT32 accepted = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT;
    TW_CAPABILITY current{capId, 0, nullptr};
    EXPECT_EQ(Negotiate(MSG_GET, current), TWCC_SUCCESS) << capId;
    const Taken got = Take(current.hContainer);
    if (current.ConType == TWON_ONEVALUE) {
        // The author's text block rides in the item; it is the application's to free.
        if (capId == CAP_AUTHOR) {
            TW_UINT32 item = 0;
            std::memcpy(&item, got.bytes.data() + 2, sizeof item);
            GlobalFree(reinterpret_cast<HGLOBAL>(static_cast<uintptr_t>(item)));
        }
        if (SetContainer(capId, TWON_ONEVALUE, got.bytes) == TWCC_SUCCESS) accepted |= TWQC_SET;
    }
    if (NoContainer(capId, MSG_RESET) == TWCC_SUCCESS) accepted |= TWQC_RESET;
    return accepted;
}

TEST_F(Capabilities, QuerySupportReportsWhatEachCapabilityAccepts) {
    const TW_UINT16 all[] = {
        CAP_AUTHOR,         CAP_DEVICEONLINE, CAP_UICONTROLLABLE, CAP_XFERCOUNT,
        CAP_SUPPORTEDCAPS,  CAP_INDICATORS,   ICAP_UNITS,         ICAP_PIXELFLAVOR,
        ICAP_XFERMECH,      ICAP_COMPRESSION, ICAP_PLANARCHUNKY,  ICAP_PIXELTYPE,
        ICAP_BITDEPTH,      ICAP_BITORDER,    ICAP_MAXFRAMES,     ICAP_PHYSICALHEIGHT,
        ICAP_PHYSICALWIDTH, ICAP_XRESOLUTION, ICAP_YRESOLUTION,
    };
    int negotiable = 0;
    for (TW_UINT16 capId : all) {
        const Taken t = Get(capId, MSG_QUERYSUPPORT);
        ASSERT_EQ(t.size, 6u) << capId;
        EXPECT_EQ(t.bytes[0] | t.bytes[1] << 8, TWTY_INT32) << capId;
        TW_INT32 flags = 0;
        std::memcpy(&flags, t.bytes.data() + 2, sizeof flags);
        EXPECT_EQ(flags, OperationsTried(capId)) << "capability " << capId;
        negotiable += (flags & TWQC_SET) != 0;
    }
    EXPECT_EQ(negotiable, 10) << "the count, units, indicators and the fixed image values";
    // Asking changes nothing, and an unknown capability keeps its refusal.
    EXPECT_EQ(g_source.caps.xferCountCurrent, 1);
    TW_CAPABILITY unknown{ICAP_BRIGHTNESS, 0, nullptr};
    EXPECT_EQ(Negotiate(MSG_QUERYSUPPORT, unknown), TWCC_CAPUNSUPPORTED);
    EXPECT_EQ(unknown.hContainer, nullptr);
}

TEST_F(Capabilities, ResolutionsAreOneItemEnumerations) {
    const Bytes x{0x07, 0x00,             // TWTY_FIX32
                  0x01, 0x00, 0x00, 0x00, // one item
                  0x00, 0x00, 0x00, 0x00, // CurrentIndex
                  0x00, 0x00, 0x00, 0x00, // DefaultIndex
                  0xA0, 0x00, 0x00, 0x00, // 160.0
                  0x00};
    Bytes y = x;
    y[14] = 0x78; // 120.0
    for (TW_UINT16 msg : kGets) {
        Taken tx = Get(ICAP_XRESOLUTION, msg, TWON_ENUMERATION);
        EXPECT_EQ(tx.size, 19u);
        EXPECT_EQ(tx.bytes, x);
        Taken ty = Get(ICAP_YRESOLUTION, msg, TWON_ENUMERATION);
        EXPECT_EQ(ty.size, 19u);
        EXPECT_EQ(ty.bytes, y);
    }
    for (TW_UINT16 capId : {TW_UINT16{ICAP_XRESOLUTION}, TW_UINT16{ICAP_YRESOLUTION}}) {
        EXPECT_EQ(Set(capId, TWTY_FIX32, 160), TWCC_CAPBADOPERATION);
        EXPECT_EQ(NoContainer(capId, MSG_RESET), TWCC_CAPBADOPERATION);
    }
}

TEST_F(Capabilities, UnknownCapabilitiesAreUnsupported) {
    for (TW_UINT16 capId : {TW_UINT16{ICAP_BRIGHTNESS}, TW_UINT16{0}, TW_UINT16{0xFFFF}}) {
        for (TW_UINT16 msg : {TW_UINT16{MSG_GET}, TW_UINT16{MSG_SET}, TW_UINT16{MSG_RESET}}) {
            EXPECT_EQ(NoContainer(capId, msg), TWCC_CAPUNSUPPORTED);
        }
    }
}

TEST_F(Capabilities, GetLeavesTheApplicationsOldContainerAlone) {
    HGLOBAL old = NewBlock(OneValue(TWTY_UINT16, 99));
    TW_CAPABILITY cap{ICAP_XFERMECH, TWON_ONEVALUE, old};
    ASSERT_EQ(Negotiate(MSG_GET, cap), TWCC_SUCCESS);
    EXPECT_NE(cap.hContainer, old);
    EXPECT_EQ(Take(cap.hContainer).bytes, (Bytes{0x04, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Take(old).bytes, OneValue(TWTY_UINT16, 99));
}

// --- hostile input -----------------------------------------------------------

const TW_UINT16 kSettable[] = {CAP_XFERCOUNT, CAP_INDICATORS,   ICAP_UNITS,     ICAP_PIXELFLAVOR,
                               ICAP_XFERMECH, ICAP_COMPRESSION, ICAP_PIXELTYPE, ICAP_BITDEPTH,
                               ICAP_BITORDER, ICAP_MAXFRAMES};

TEST_F(Capabilities, NullCapabilityIsABadValue) {
    for (int i = 0; i < kCapabilityRowCount; ++i) {
        g_source.conditionCode = TWCC_SUCCESS;
        EXPECT_EQ(Call(kCapabilityRows[i].msg, nullptr), TWRC_FAILURE);
        EXPECT_EQ(g_source.conditionCode, TWCC_BADVALUE);
    }
}

TEST_F(Capabilities, SetWithoutAContainerIsABadValue) {
    const CapSettings before = g_source.caps;
    for (TW_UINT16 capId : kSettable) {
        SCOPED_TRACE(capId);
        TW_CAPABILITY cap{capId, TWON_ONEVALUE, nullptr};
        EXPECT_EQ(Negotiate(MSG_SET, cap), TWCC_BADVALUE);
        EXPECT_EQ(cap.hContainer, nullptr);
    }
    EXPECT_EQ(std::memcmp(&before, &g_source.caps, sizeof before), 0);
}

TEST_F(Capabilities, SetWithAShortContainerIsNotReadPastItsEnd) {
    const CapSettings before = g_source.caps;
    for (TW_UINT16 capId : kSettable) {
        SCOPED_TRACE(capId);
        // ItemType TWTY_INT16 (or TWTY_BOOL) and half an item: 4 of 6 bytes.
        const uint8_t type = capId == CAP_INDICATORS ? TWTY_BOOL : TWTY_INT16;
        EXPECT_EQ(SetContainer(capId, TWON_ONEVALUE, Bytes{type, 0x00, 0x03, 0x00}), TWCC_BADVALUE);
        EXPECT_EQ(SetContainer(capId, TWON_ONEVALUE, Bytes{type}), TWCC_BADVALUE);
    }
    EXPECT_EQ(std::memcmp(&before, &g_source.caps, sizeof before), 0);
}

TEST_F(Capabilities, SetReadsAFixedBlockToo) {
    HGLOBAL h = NewBlock(OneValue(TWTY_INT16, 5), GMEM_FIXED);
    TW_CAPABILITY cap{CAP_XFERCOUNT, TWON_ONEVALUE, h};
    EXPECT_EQ(Negotiate(MSG_SET, cap), TWCC_SUCCESS);
    EXPECT_EQ(g_source.caps.pendingXfers, 5);
    EXPECT_EQ(Take(h).bytes, OneValue(TWTY_INT16, 5));
}

TEST_F(Capabilities, LongerContainersAreReadForTheirFirstSixBytes) {
    Bytes longer = OneValue(TWTY_INT16, 4);
    longer.resize(64, 0xEE);
    EXPECT_EQ(SetContainer(CAP_XFERCOUNT, TWON_ONEVALUE, longer), TWCC_SUCCESS);
    EXPECT_EQ(g_source.caps.pendingXfers, 4);
}

} // namespace
} // namespace zorvik
