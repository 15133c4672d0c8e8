// The TWAIN structures the data source reads and writes, as the TWAIN 1.6
// standard lays them out with 2-byte packing. Handles and pointers are 4 bytes
// in the 32-bit build and 8 in the 64-bit one; the values below are worked out
// field by field, not taken from the compiler.
#include <gtest/gtest.h>

#include <cstddef>

#include "twain/twain_defs.h"

namespace {

#ifdef _WIN64
constexpr size_t kPtr = 8;
#else
constexpr size_t kPtr = 4;
#endif

TEST(TwainLayout, PointerSizedFieldsMatchTheBuild) {
    EXPECT_EQ(sizeof(TW_HANDLE), kPtr);
    EXPECT_EQ(sizeof(TW_MEMREF), kPtr);
    EXPECT_EQ(sizeof(TW_UINT32), 4u);
    EXPECT_EQ(sizeof(TW_INT32), 4u);
    EXPECT_EQ(sizeof(TW_BOOL), 2u);
}

TEST(TwainLayout, IdentityAndVersion) {
    EXPECT_EQ(sizeof(TW_FIX32), 4u);
    EXPECT_EQ(offsetof(TW_FIX32, Whole), 0u);
    EXPECT_EQ(offsetof(TW_FIX32, Frac), 2u);

    EXPECT_EQ(sizeof(TW_VERSION), 42u);
    EXPECT_EQ(offsetof(TW_VERSION, MajorNum), 0u);
    EXPECT_EQ(offsetof(TW_VERSION, MinorNum), 2u);
    EXPECT_EQ(offsetof(TW_VERSION, Language), 4u);
    EXPECT_EQ(offsetof(TW_VERSION, Country), 6u);
    EXPECT_EQ(offsetof(TW_VERSION, Info), 8u);

    EXPECT_EQ(sizeof(TW_IDENTITY), 156u);
    EXPECT_EQ(offsetof(TW_IDENTITY, Id), 0u);
    EXPECT_EQ(offsetof(TW_IDENTITY, Version), 4u);
    EXPECT_EQ(offsetof(TW_IDENTITY, ProtocolMajor), 46u);
    EXPECT_EQ(offsetof(TW_IDENTITY, ProtocolMinor), 48u);
    EXPECT_EQ(offsetof(TW_IDENTITY, SupportedGroups), 50u);
    EXPECT_EQ(offsetof(TW_IDENTITY, Manufacturer), 54u);
    EXPECT_EQ(offsetof(TW_IDENTITY, ProductFamily), 88u);
    EXPECT_EQ(offsetof(TW_IDENTITY, ProductName), 122u);
}

TEST(TwainLayout, CapabilityAndContainers) {
    EXPECT_EQ(sizeof(TW_CAPABILITY), 4 + kPtr);
    EXPECT_EQ(offsetof(TW_CAPABILITY, Cap), 0u);
    EXPECT_EQ(offsetof(TW_CAPABILITY, ConType), 2u);
    EXPECT_EQ(offsetof(TW_CAPABILITY, hContainer), 4u);

    EXPECT_EQ(sizeof(TW_ONEVALUE), 6u);
    EXPECT_EQ(offsetof(TW_ONEVALUE, ItemType), 0u);
    EXPECT_EQ(offsetof(TW_ONEVALUE, Item), 2u);

    // One placeholder byte of ItemList, padded to the 2-byte packing.
    EXPECT_EQ(sizeof(TW_ARRAY), 8u);
    EXPECT_EQ(offsetof(TW_ARRAY, ItemType), 0u);
    EXPECT_EQ(offsetof(TW_ARRAY, NumItems), 2u);
    EXPECT_EQ(offsetof(TW_ARRAY, ItemList), 6u);

    EXPECT_EQ(sizeof(TW_ENUMERATION), 16u);
    EXPECT_EQ(offsetof(TW_ENUMERATION, ItemType), 0u);
    EXPECT_EQ(offsetof(TW_ENUMERATION, NumItems), 2u);
    EXPECT_EQ(offsetof(TW_ENUMERATION, CurrentIndex), 6u);
    EXPECT_EQ(offsetof(TW_ENUMERATION, DefaultIndex), 10u);
    EXPECT_EQ(offsetof(TW_ENUMERATION, ItemList), 14u);
}

TEST(TwainLayout, ControlTriplets) {
    EXPECT_EQ(sizeof(TW_USERINTERFACE), 4 + kPtr);
    EXPECT_EQ(offsetof(TW_USERINTERFACE, ShowUI), 0u);
    EXPECT_EQ(offsetof(TW_USERINTERFACE, ModalUI), 2u);
    EXPECT_EQ(offsetof(TW_USERINTERFACE, hParent), 4u);

    EXPECT_EQ(sizeof(TW_EVENT), kPtr + 2);
    EXPECT_EQ(offsetof(TW_EVENT, pEvent), 0u);
    EXPECT_EQ(offsetof(TW_EVENT, TWMessage), kPtr);

    EXPECT_EQ(sizeof(TW_STATUS), 4u);
    EXPECT_EQ(offsetof(TW_STATUS, ConditionCode), 0u);
    EXPECT_EQ(offsetof(TW_STATUS, Reserved), 2u);

    EXPECT_EQ(sizeof(TW_PENDINGXFERS), 6u);
    EXPECT_EQ(offsetof(TW_PENDINGXFERS, Count), 0u);
    EXPECT_EQ(offsetof(TW_PENDINGXFERS, u), 2u);

    EXPECT_EQ(sizeof(TW_SETUPMEMXFER), 12u);
    EXPECT_EQ(offsetof(TW_SETUPMEMXFER, MinBufSize), 0u);
    EXPECT_EQ(offsetof(TW_SETUPMEMXFER, MaxBufSize), 4u);
    EXPECT_EQ(offsetof(TW_SETUPMEMXFER, Preferred), 8u);

    EXPECT_EQ(sizeof(TW_SETUPFILEXFER), 260u);
    EXPECT_EQ(offsetof(TW_SETUPFILEXFER, FileName), 0u);
    EXPECT_EQ(offsetof(TW_SETUPFILEXFER, Format), 256u);
    EXPECT_EQ(offsetof(TW_SETUPFILEXFER, VRefNum), 258u);
}

TEST(TwainLayout, ImageTriplets) {
    EXPECT_EQ(sizeof(TW_IMAGEINFO), 42u);
    EXPECT_EQ(offsetof(TW_IMAGEINFO, XResolution), 0u);
    EXPECT_EQ(offsetof(TW_IMAGEINFO, YResolution), 4u);
    EXPECT_EQ(offsetof(TW_IMAGEINFO, ImageWidth), 8u);
    EXPECT_EQ(offsetof(TW_IMAGEINFO, ImageLength), 12u);
    EXPECT_EQ(offsetof(TW_IMAGEINFO, SamplesPerPixel), 16u);
    EXPECT_EQ(offsetof(TW_IMAGEINFO, BitsPerSample), 18u);
    EXPECT_EQ(offsetof(TW_IMAGEINFO, BitsPerPixel), 34u);
    EXPECT_EQ(offsetof(TW_IMAGEINFO, Planar), 36u);
    EXPECT_EQ(offsetof(TW_IMAGEINFO, PixelType), 38u);
    EXPECT_EQ(offsetof(TW_IMAGEINFO, Compression), 40u);

    EXPECT_EQ(sizeof(TW_FRAME), 16u);
    EXPECT_EQ(offsetof(TW_FRAME, Left), 0u);
    EXPECT_EQ(offsetof(TW_FRAME, Top), 4u);
    EXPECT_EQ(offsetof(TW_FRAME, Right), 8u);
    EXPECT_EQ(offsetof(TW_FRAME, Bottom), 12u);

    EXPECT_EQ(sizeof(TW_IMAGELAYOUT), 28u);
    EXPECT_EQ(offsetof(TW_IMAGELAYOUT, Frame), 0u);
    EXPECT_EQ(offsetof(TW_IMAGELAYOUT, DocumentNumber), 16u);
    EXPECT_EQ(offsetof(TW_IMAGELAYOUT, PageNumber), 20u);
    EXPECT_EQ(offsetof(TW_IMAGELAYOUT, FrameNumber), 24u);

    EXPECT_EQ(sizeof(TW_MEMORY), 8 + kPtr);
    EXPECT_EQ(offsetof(TW_MEMORY, Flags), 0u);
    EXPECT_EQ(offsetof(TW_MEMORY, Length), 4u);
    EXPECT_EQ(offsetof(TW_MEMORY, TheMem), 8u);

    EXPECT_EQ(sizeof(TW_IMAGEMEMXFER), 26 + 8 + kPtr);
    EXPECT_EQ(offsetof(TW_IMAGEMEMXFER, Compression), 0u);
    EXPECT_EQ(offsetof(TW_IMAGEMEMXFER, BytesPerRow), 2u);
    EXPECT_EQ(offsetof(TW_IMAGEMEMXFER, Columns), 6u);
    EXPECT_EQ(offsetof(TW_IMAGEMEMXFER, Rows), 10u);
    EXPECT_EQ(offsetof(TW_IMAGEMEMXFER, XOffset), 14u);
    EXPECT_EQ(offsetof(TW_IMAGEMEMXFER, YOffset), 18u);
    EXPECT_EQ(offsetof(TW_IMAGEMEMXFER, BytesWritten), 22u);
    EXPECT_EQ(offsetof(TW_IMAGEMEMXFER, Memory), 26u);

    EXPECT_EQ(sizeof(TW_ELEMENT8), 4u);
    EXPECT_EQ(offsetof(TW_ELEMENT8, Index), 0u);
    EXPECT_EQ(offsetof(TW_ELEMENT8, Channel1), 1u);
    EXPECT_EQ(offsetof(TW_ELEMENT8, Channel2), 2u);
    EXPECT_EQ(offsetof(TW_ELEMENT8, Channel3), 3u);

    EXPECT_EQ(sizeof(TW_PALETTE8), 1028u);
    EXPECT_EQ(offsetof(TW_PALETTE8, NumColors), 0u);
    EXPECT_EQ(offsetof(TW_PALETTE8, PaletteType), 2u);
    EXPECT_EQ(offsetof(TW_PALETTE8, Colors), 4u);
}

} // namespace
