// Capability negotiation through the data source's own entry point, in state 3
// (no application connected, so any origin is served): the dispatcher's rows
// reach the capability handlers and DAT_STATUS reports what they decided.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/process_use.h"
#include "twain/twain_defs.h"

namespace {

using DsEntry = TW_UINT16(WINAPI *)(pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF);

// Many applications load the source for every acquisition: each load and
// unload (of the source and the library it brings) gives back what it took.
// Runs before the suite below keeps the source loaded.
TEST(Unloading, GivesBackWhatLoadingTook) {
    for (const char *name : {"zorvik.ds", "tarnlink.dll"}) {
        for (int i = 0; i < 2; ++i) FreeLibrary(LoadLibraryA(name)); // the system's first use
        const SIZE_T before = processuse::BusyHeapBytes();
        for (int i = 0; i < 10; ++i) {
            HMODULE module = LoadLibraryA(name);
            ASSERT_NE(module, nullptr) << name;
            FreeLibrary(module);
        }
        const SIZE_T after = processuse::BusyHeapBytes();
        // The C++ runtime's pool alone was 19 KB (32-bit) and 73 KB (64-bit) a
        // cycle. 32-bit Wine's loader keeps about 350 bytes of its own for each
        // module a load brings in through an import (a DLL that does nothing
        // but import tarnlink.dll loses as much), hence a kilobyte, not zero.
        const SIZE_T lost = after > before ? (after - before) / 10 : 0;
        EXPECT_LE(lost, 1024u) << name << ": " << lost << " bytes lost per load and unload";
        EXPECT_EQ(GetModuleHandleA(name), nullptr) << name << " really unloaded";
    }
    // Nor do its window classes stay behind, their procedures pointing at
    // code that is gone.
    HMODULE source = LoadLibraryA("zorvik.ds");
    ASSERT_NE(source, nullptr);
    WNDCLASSA wc;
    EXPECT_TRUE(GetClassInfoA(source, "thmbPreview", &wc));
    FreeLibrary(source);
    for (const char *name : {"thmbPreview", "MeroImgPreview"})
        EXPECT_FALSE(GetClassInfoA(source, name, &wc)) << name;
}

class ThroughDsEntry : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        module_ = LoadLibraryA("zorvik.ds");
        ASSERT_NE(module_, nullptr) << "zorvik.ds or tarnlink.dll missing beside the test";
        entry_ = reinterpret_cast<DsEntry>(
            reinterpret_cast<void *>(GetProcAddress(module_, "DS_Entry")));
        ASSERT_NE(entry_, nullptr);
    }

    static TW_UINT16 Capability(TW_UINT16 msg, TW_CAPABILITY &cap) {
        return entry_(&app_, DG_CONTROL, DAT_CAPABILITY, msg, &cap);
    }

    static TW_UINT16 Status() {
        TW_STATUS status{0xBEEF, 0xBEEF};
        EXPECT_EQ(entry_(&app_, DG_CONTROL, DAT_STATUS, MSG_GET, &status), TWRC_SUCCESS);
        EXPECT_EQ(status.Reserved, 0);
        return status.ConditionCode;
    }

    static std::vector<uint8_t> Take(HGLOBAL h) {
        std::vector<uint8_t> bytes(GlobalSize(h));
        auto *p = static_cast<const uint8_t *>(GlobalLock(h));
        if (p != nullptr) std::memcpy(bytes.data(), p, bytes.size());
        GlobalUnlock(h);
        GlobalFree(h);
        return bytes;
    }

    static HMODULE module_;
    static DsEntry entry_;
    static TW_IDENTITY app_;
};

HMODULE ThroughDsEntry::module_ = nullptr;
DsEntry ThroughDsEntry::entry_ = nullptr;
TW_IDENTITY ThroughDsEntry::app_{};

TEST_F(ThroughDsEntry, RefusedAndUnknownCapabilitiesShowInTheStatus) {
    TW_CAPABILITY cap{CAP_XFERCOUNT, 0, nullptr};
    EXPECT_EQ(Capability(MSG_GETFIRST, cap), TWRC_FAILURE);
    EXPECT_EQ(Status(), TWCC_BADPROTOCOL);
    cap.Cap = ICAP_BRIGHTNESS;
    EXPECT_EQ(Capability(MSG_GET, cap), TWRC_FAILURE);
    EXPECT_EQ(Status(), TWCC_CAPUNSUPPORTED);
    EXPECT_EQ(cap.hContainer, nullptr);
    EXPECT_EQ(entry_(&app_, DG_CONTROL, DAT_CAPABILITY, MSG_SET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(Status(), TWCC_BADVALUE);
}

TEST_F(ThroughDsEntry, ASuccessfulNegotiationClearsTheConditionCode) {
    TW_CAPABILITY cap{ICAP_BRIGHTNESS, 0, nullptr};
    Capability(MSG_GET, cap);
    ASSERT_EQ(Status(), TWCC_CAPUNSUPPORTED);
    cap.Cap = CAP_SUPPORTEDCAPS;
    ASSERT_EQ(Capability(MSG_GET, cap), TWRC_SUCCESS);
    EXPECT_EQ(Status(), TWCC_SUCCESS);
    EXPECT_EQ(cap.ConType, TWON_ARRAY);
    std::vector<uint8_t> list = Take(cap.hContainer);
    ASSERT_EQ(list.size(), 45u);
    const std::vector<uint8_t> head{0x04, 0x00, 0x13, 0x00, 0x00, 0x00,
                                    0x00, 0x10, 0x0f, 0x10, 0x0e, 0x10};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), list.begin()));
}

TEST_F(ThroughDsEntry, TransferCountIsNegotiatedInStateThree) {
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, sizeof(TW_ONEVALUE));
    auto *one = static_cast<pTW_ONEVALUE>(GlobalLock(h));
    one->ItemType = TWTY_INT16;
    one->Item = 3;
    GlobalUnlock(h);
    TW_CAPABILITY cap{CAP_XFERCOUNT, TWON_ONEVALUE, h};
    EXPECT_EQ(Capability(MSG_SET, cap), TWRC_SUCCESS);
    GlobalFree(h);

    TW_CAPABILITY get{CAP_XFERCOUNT, 0, nullptr};
    ASSERT_EQ(Capability(MSG_GET, get), TWRC_SUCCESS);
    EXPECT_EQ(get.ConType, TWON_ONEVALUE);
    EXPECT_EQ(Take(get.hContainer), (std::vector<uint8_t>{0x01, 0x00, 0x03, 0x00, 0x00, 0x00}));

    // Without a camera session the width is that of the pictures sent.
    TW_CAPABILITY width{ICAP_PHYSICALWIDTH, 0, nullptr};
    ASSERT_EQ(Capability(MSG_GET, width), TWRC_SUCCESS);
    EXPECT_EQ(Take(width.hContainer), (std::vector<uint8_t>{0x04, 0x00, 0xA0, 0x00, 0x00, 0x00}));
}

// The query of what a capability supports belongs to an open source.
TEST_F(ThroughDsEntry, QuerySupportWaitsForTheSourceToBeOpen) {
    TW_CAPABILITY cap{CAP_XFERCOUNT, 0, nullptr};
    EXPECT_EQ(Capability(MSG_QUERYSUPPORT, cap), TWRC_FAILURE);
    EXPECT_EQ(Status(), TWCC_SEQERROR);
    EXPECT_EQ(cap.hContainer, nullptr);
}

} // namespace
