// What the data source's tests share: the source's code in the program, driven
// through DS_Entry with a camera simulator on COM2 (COM1 absent) and a
// stand-in data source manager that records the notifications.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../support/box_watcher.h"
#include "../support/standin_dsm.h"
#include "support/sim_control.h"
#include "tarnlink.h"
#include "twain/source.h"

namespace sourcetest {

using zorvik::g_source;

constexpr int kCameraCom = 2;
constexpr int kCapacity = 24;
using Bytes = std::vector<uint8_t>;

inline TW_IDENTITY g_app;  // the application, as the manager passes it in pOrigin
inline TW_IDENTITY g_dsIn; // the source's identity with the Id the manager gave it
inline HMODULE g_manager = nullptr;
inline StandInCountProc g_count;
inline StandInLogProc g_log;
inline StandInClearProc g_clear;

// A manager from the program's folder. Wine has a TWAIN_32.DLL of its own;
// once this one is loaded, the source's load by name finds it.
inline HMODULE LoadStandIn(const char *name) {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path, n);
    dir.resize(dir.find_last_of('\\') + 1);
    return LoadLibraryA((dir + name).c_str());
}

inline TW_UINT16 Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void *data,
                      pTW_IDENTITY origin = &g_app) {
    return DS_Entry(origin, dg, dat, msg, data);
}

inline TW_UINT16 Condition() {
    TW_STATUS status{};
    Call(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
    return status.ConditionCode;
}

inline std::vector<StandInNotification> Notifications() {
    return std::vector<StandInNotification>(g_log(), g_log() + g_count());
}

// Fills the slots the generated scenes left empty.
inline void FillCamera() {
    for (int slot = 8; slot < kCapacity; ++slot)
        sessiontest::ControlOk(kCameraCom,
                               "scene " + std::to_string(slot) + " " + std::to_string(slot));
}

// What the library itself makes of these slots, fetched in this order in a
// session of their own (its white balance carries from picture to picture),
// through the same tarnlink.dll the source uses.
inline std::vector<Bytes> LibraryPictures(const std::vector<int> &slots) {
    std::vector<Bytes> pictures;
    EXPECT_EQ(SciOpenCamera("COM2"), SCI_OK);
    EXPECT_EQ(SciSyncCamera(), SCI_OK);
    for (int slot : slots) {
        EXPECT_EQ(SciResetImageCounter(slot), SCI_OK);
        pictures.emplace_back(SCI_PICTURE_BYTES);
        EXPECT_EQ(SciUploadImage(pictures.back().data(), nullptr), SCI_OK) << slot;
    }
    SciCloseCamera();
    return pictures;
}

class Source : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        g_manager = LoadStandIn("twain_32.dll");
        ASSERT_NE(g_manager, nullptr);
        g_count = reinterpret_cast<StandInCountProc>(
            reinterpret_cast<void *>(GetProcAddress(g_manager, "StandInCount")));
        g_log = reinterpret_cast<StandInLogProc>(
            reinterpret_cast<void *>(GetProcAddress(g_manager, "StandInLog")));
        g_clear = reinterpret_cast<StandInClearProc>(
            reinterpret_cast<void *>(GetProcAddress(g_manager, "StandInClear")));
        ASSERT_TRUE(g_count && g_log && g_clear) << "the stand-in manager, not Wine's";
        FillCamera();
        BoxWatcherStart(IDCANCEL);
    }
    static void TearDownTestSuite() { BoxWatcherStop(); }

    void SetUp() override {
        if (g_source.twainState > 3) Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr);
        g_source = zorvik::InitialSourceGlobals();
        zorvik::SourceAttach(GetModuleHandleA(nullptr));
        g_clear();
        BoxWatcherAnswer(IDCANCEL);
        BoxWatcherTake();
        std::memset(&g_app, 0, sizeof g_app);
        g_app.Id = 7;
        std::strcpy(g_app.ProductName, "entry test");
        g_dsIn = g_source.dsIdentity;
        g_dsIn.Id = 3;
    }

    void Open() {
        ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &g_dsIn), TWRC_SUCCESS);
        ASSERT_EQ(g_source.twainState, 4);
        ASSERT_NE(g_source.camSession, nullptr) << "the camera on COM2";
    }
    void EnableWithoutUi() {
        TW_USERINTERFACE ui{FALSE, FALSE, nullptr};
        ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
        ASSERT_EQ(g_source.twainState, 6);
    }
    static void SetXferCount(TW_INT16 count) {
        TW_CAPABILITY cap{CAP_XFERCOUNT, TWON_ONEVALUE, GlobalAlloc(GHND, sizeof(TW_ONEVALUE))};
        auto *one = static_cast<pTW_ONEVALUE>(GlobalLock(cap.hContainer));
        one->ItemType = TWTY_INT16;
        one->Item = static_cast<TW_UINT32>(count);
        GlobalUnlock(cap.hContainer);
        EXPECT_EQ(Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap), TWRC_SUCCESS);
        GlobalFree(cap.hContainer);
    }
    static TW_UINT16 EndXfer() {
        TW_PENDINGXFERS pending{0xEEEE, {0}};
        EXPECT_EQ(Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
        return pending.Count;
    }
};

// The picture block of a transfer: header of 160 x 120 x 24 and the pixels.
inline void ExpectPictureBlock(const uint8_t *block, size_t size, const Bytes &picture) {
    ASSERT_GE(size, 57640u);
    BITMAPINFOHEADER h;
    std::memcpy(&h, block, sizeof h);
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, 160);
    EXPECT_EQ(h.biHeight, 120);
    EXPECT_EQ(h.biBitCount, 24);
    EXPECT_EQ(h.biSizeImage, 57600u);
    EXPECT_EQ(Bytes(block + 40, block + 57640), picture);
}

// A native transfer that hands over this picture.
inline void ExpectNativeTransfer(const Bytes &picture) {
    HGLOBAL handle = nullptr;
    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle), TWRC_XFERDONE);
    ExpectPictureBlock(static_cast<const uint8_t *>(GlobalLock(handle)), GlobalSize(handle),
                       picture);
    GlobalUnlock(handle);
    GlobalFree(handle);
}

inline std::string ScratchFile(const char *name) {
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    return std::string(dir) + name;
}

inline Bytes ReadFileBytes(const std::string &path) {
    Bytes bytes;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE) return bytes;
    bytes.resize(GetFileSize(f, nullptr));
    DWORD got = 0;
    ReadFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
    CloseHandle(f);
    bytes.resize(got);
    return bytes;
}

} // namespace sourcetest
