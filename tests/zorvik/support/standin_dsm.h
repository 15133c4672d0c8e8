// What the stand-in data source manager records of each notification.
#pragma once

#include "twain/twain_defs.h"

struct StandInNotification {
    TW_UINT32 originId;
    char originName[34];
    TW_UINT32 destId;
    TW_UINT32 dg;
    TW_UINT16 dat;
    TW_UINT16 msg;
    bool dataWasNull;
};

using StandInCountProc = int (*)();
using StandInLogProc = const StandInNotification *(*)();
using StandInClearProc = void (*)();
