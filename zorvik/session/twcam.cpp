// The data source's camera session over the camera library.
#include "session/twcam.h"

#include <cstdio>
#include <cstring>

#include "resources/ids.h"

namespace zorvik {
namespace {

// Camera calls that are repeated while the camera answers busy.
enum BusyCall {
    kCallGetImageIndex,
    kCallResetImageCounter,
    kCallSyncCamera,
    kCallGetImagePos, // twcamGetImagePos as a whole, inside twcamGotoPos
    kCallUploadImage,
    kCallUploadThumbnail,
    kCallUploadGreyImage,
    kCallGrabImage,
    kCallGrabResult,
};

struct BusyRule {
    BusyCall call;
    int repeats;
    DWORD waitMs; // before each repeat; 0 repeats at once
};

// The grey upload waits longest: the camera needs the time to settle.
constexpr BusyRule kBusyRules[] = {
    {kCallGetImageIndex, 100, 0},     {kCallResetImageCounter, 100, 0},
    {kCallSyncCamera, 100, 0},        {kCallGetImagePos, 100, 0},
    {kCallUploadImage, 100, 5},       {kCallUploadThumbnail, 100, 5},
    {kCallUploadGreyImage, 100, 100}, {kCallGrabImage, 100, 5},
    {kCallGrabResult, 100, 8},
};

const BusyRule &RuleFor(BusyCall call) {
    for (const BusyRule &rule : kBusyRules)
        if (rule.call == call) return rule;
    return kBusyRules[0];
}

// Makes the call, then repeats it while it answers busy, as its rule says.
template <typename Call> int32_t WithBusyRetry(BusyCall which, Call call) {
    const BusyRule &rule = RuleFor(which);
    int32_t status = call();
    for (int repeat = 0; status == SCI_CAMERA_BUSY && repeat < rule.repeats; ++repeat) {
        if (rule.waitMs != 0) Sleep(rule.waitMs);
        status = call();
    }
    return status;
}

char g_msgCaption[256];

// Loads string id into text (size bytes with the terminator); empty when the
// table has no such string.
void LoadText(UINT id, char *text, int size) {
    text[0] = '\0';
    if (LoadStringA(CodeModule(), id, text, size) <= 0) text[0] = '\0';
}

void Record(TwcamSession *s, int32_t status) {
    s->lastStatus = status;
}

// Asks the user to retry or cancel; the answer is the button pressed.
int AskRetry(HWND owner, const char *text) {
    return MessageBoxA(owner, text, dsMsgCaption(),
                       MB_RETRYCANCEL | MB_ICONEXCLAMATION | MB_TASKMODAL | MB_SETFOREGROUND);
}

} // namespace

bool twcamMeansCameraGone(int32_t status) {
    return status == ERROR_MORE_DATA || status == SCI_COMMS_TIMEOUT ||
           status == SCI_COMMS_SEND_TIMEOUT || status == SCI_CAMERA_NOT_PRESENT;
}

namespace {

void DescribeStatus(int32_t status, char *text, int size) {
    text[0] = '\0';
    const uint32_t code = static_cast<uint32_t>(status);
    if ((code & 0xFFFF0000u) == 0xFFFF0000u) {
        LoadText((code & 0xFFFFu) + IDS_STATUS_BASE, text, size);
        return;
    }
    char *system = nullptr;
    // Inserts are ignored: no arguments exist to fill them.
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                   reinterpret_cast<LPSTR>(&system), 0, nullptr);
    if (n != 0 && system != nullptr) {
        char *cr = std::strchr(system, '\r');
        if (cr != nullptr) *cr = '\0';
        std::snprintf(text, static_cast<size_t>(size), "%s", system);
    }
    if (system != nullptr) LocalFree(system);
}

// Fetches one picture block: position, allocate, upload into the pixel area.
// The grey fetch leaves lastStatus as the positioning set it.
struct FetchKind {
    uint32_t blockBytes;
    uint32_t pixelOffset;
    int width, height, bitCount;
    BusyCall call;
    SciStatus(SCICALL *upload)(uint8_t *, SciImageInfo *);
    const char *traceText;
    bool records;
};

const FetchKind kColourFetch = {kColourBlockBytes,
                                kHeaderBytes,
                                160,
                                120,
                                24,
                                kCallUploadImage,
                                SciUploadImage,
                                "twcamGetImage : SciUploadImage",
                                true};
const FetchKind kThumbFetch = {
    kThumbBlockBytes,   kHeaderBytes + kPaletteBytes,         40,  31, 8, kCallUploadThumbnail,
    SciUploadThumbnail, "twcamGetImage : SciUploadThumbnail", true};
const FetchKind kGreyFetch = {
    kGreyBlockBytes,    kHeaderBytes + kPaletteBytes,         160,  120, 8, kCallUploadGreyImage,
    SciUploadGreyImage, "twcamGetGreyImage : SciUploadImage", false};

// A session whose camera went (closed with the dialog, or lost and not found
// by a RETRY) scans the ports again before it talks to the camera, so that a
// camera plugged back in is found by the next operation. When none answers,
// the call fails on the closed port as before.
void FindAgainIfLost(TwcamSession *s) {
    if (!s->located) twcamLocate(s);
}

uint8_t *Fetch(TwcamSession *s, int32_t index, const FetchKind &kind) {
    if (s == nullptr) return nullptr;
    FindAgainIfLost(s);
    if (twcamGotoPos(s, index) != SCI_OK) return nullptr;
    auto *block =
        static_cast<uint8_t *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kind.blockBytes));
    if (block == nullptr) {
        if (kind.records) Record(s, kStatusNoMemory);
        return nullptr;
    }
    uint8_t *pixels = block + kind.pixelOffset;
    const int32_t status = WithBusyRetry(kind.call, [&] { return kind.upload(pixels, nullptr); });
    if (status != SCI_OK) {
        twcamTrace(s->ownerWindow, kind.traceText, status);
        HeapFree(GetProcessHeap(), 0, block);
        if (kind.records) Record(s, status);
        return nullptr;
    }
    auto *header = reinterpret_cast<BITMAPINFOHEADER *>(block);
    FillBitmapHeader(*header, kind.width, kind.height, kind.bitCount);
    if (kind.bitCount == 8) FillGreyPalette(block + kHeaderBytes);
    if (kind.records) Record(s, SCI_OK);
    return block;
}

} // namespace

HINSTANCE CodeModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&CodeModule), &module);
    return module;
}

const char *dsMsgCaption() {
    if (g_msgCaption[0] == '\0') LoadText(IDS_CAPTION, g_msgCaption, sizeof g_msgCaption);
    return g_msgCaption;
}

void twcamTrace(HWND owner, const char *text, int32_t status) {
    (void)owner;
    if (text == nullptr) text = "";
    // One line each, whatever line end the caller's text brings.
    size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) --length;
    char line[512];
    std::snprintf(line, sizeof line, "zorvik: %.*s (0x%lx)\r\n", static_cast<int>(length), text,
                  static_cast<unsigned long>(static_cast<uint32_t>(status)));
    OutputDebugStringA(line);
}

int twcamLocate(TwcamSession *s) {
    if (s == nullptr) return 0;
    if (s->located == 1) return 1;
    HCURSOR previous = SetCursor(LoadCursor(nullptr, IDC_WAIT));
    int result = 0;
    int32_t status = SCI_OK;
    for (int port = 1; port <= 4 && s->located == 0; ++port) {
        char name[8];
        std::snprintf(name, sizeof name, "COM%d", port);
        status = SciOpenCamera(name);
        if (status != SCI_OK) continue; // a port that failed to open needs no close
        status = SciSyncCamera();
        if (status == SCI_OK) {
            s->located = 1;
            result = 1;
        } else {
            SciCloseCamera();
        }
    }
    Record(s, status);
    SetCursor(previous);
    return result;
}

TwcamSession *twcamOpen(HWND owner) {
    auto *s = static_cast<TwcamSession *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(TwcamSession)));
    if (s == nullptr) return nullptr;
    std::memcpy(s->signature, "WCAM", 4);
    s->ownerWindow = owner;
    s->located = 0;
    while (twcamLocate(s) == 0) {
        char text[255];
        LoadText(IDS_NO_CAMERA_FOUND, text, sizeof text);
        if (AskRetry(s->ownerWindow, text) != IDRETRY) {
            twcamTrace(s->ownerWindow, "Error opening camera", s->lastStatus);
            HeapFree(GetProcessHeap(), 0, s);
            return nullptr;
        }
    }
    return s;
}

void twcamRelease(TwcamSession *s) {
    if (s != nullptr) HeapFree(GetProcessHeap(), 0, s);
}

int twcamClose(TwcamSession *s) {
    if (s == nullptr) return 0;
    SciCloseCamera();
    s->located = 0;
    Record(s, SCI_OK);
    return 1;
}

int32_t twcamGetStatus(const TwcamSession *s) {
    return s == nullptr ? kStatusNullArgument : s->lastStatus;
}

int twcamSetFormat(TwcamSession *s, const BITMAPINFOHEADER *format) {
    if (s == nullptr || format == nullptr) return 0;
    s->pendingFormat = *format;
    Record(s, SCI_OK);
    return 1;
}

int32_t twcamGetFormat(TwcamSession *s, BITMAPINFOHEADER *format) {
    if (s == nullptr || format == nullptr) return kStatusNullArgument;
    *format = s->pendingFormat;
    Record(s, SCI_OK);
    return SCI_OK;
}

int32_t twcamGetImagePos(TwcamSession *s, uint8_t *index) {
    if (s == nullptr || index == nullptr) return kStatusNullArgument;
    *index = 255;
    FindAgainIfLost(s);
    const int32_t status =
        WithBusyRetry(kCallGetImageIndex, [&] { return SciGetImageIndex(index); });
    if (status != SCI_OK) twcamTrace(s->ownerWindow, "twcamGetImagePos : SciGetImageIndex", status);
    return status;
}

int32_t twcamGotoPos(TwcamSession *s, int32_t index) {
    if (s == nullptr) return kStatusNullArgument;
    int32_t slots = 0;
    SciGetMaxCameraImages(&slots);
    if (index < 0) {
        Record(s, SCI_OK);
        return SCI_OK;
    }
    if (index > slots) {
        twcamTrace(s->ownerWindow, "twcamGotoPos : camindex > max images", SCI_BAD_PARAMETER);
        Record(s, SCI_BAD_PARAMETER);
        return SCI_BAD_PARAMETER;
    }
    uint8_t counter = 255;
    int32_t status = WithBusyRetry(kCallGetImagePos, [&] { return twcamGetImagePos(s, &counter); });
    if (status != SCI_OK) {
        twcamTrace(s->ownerWindow, "twcamGotoPos : twcamGetImagePos", status);
        Record(s, status);
        return status;
    }
    if (counter == index) {
        Record(s, SCI_OK);
        return SCI_OK;
    }
    auto reset = [&] { return SciResetImageCounter(index); };
    auto sync = [] { return SciSyncCamera(); };
    status = WithBusyRetry(kCallResetImageCounter, reset);
    if (status != SCI_OK) {
        // One recovery: bring the exchange back into step and set it again.
        status = WithBusyRetry(kCallSyncCamera, sync);
        if (status == SCI_OK) status = WithBusyRetry(kCallResetImageCounter, reset);
        if (status == SCI_OK) status = WithBusyRetry(kCallSyncCamera, sync);
        if (status != SCI_OK)
            twcamTrace(s->ownerWindow, "twcamGotoPos : SciResetImageCounter", status);
    }
    Record(s, status);
    return status;
}

uint8_t *twcamGetImage(TwcamSession *s, int32_t index) {
    return Fetch(s, index, kColourFetch);
}

uint8_t *twcamGetThumbnail(TwcamSession *s, int32_t index) {
    return Fetch(s, index, kThumbFetch);
}

uint8_t *twcamGetGreyImage(TwcamSession *s, int32_t index) {
    return Fetch(s, index, kGreyFetch);
}

void twcamFreePicture(uint8_t *block) {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

int32_t twcamGrabImage(TwcamSession *s, int32_t index) {
    if (s == nullptr) return kStatusNullArgument;
    FindAgainIfLost(s);
    int32_t status = twcamGotoPos(s, index);
    if (status != SCI_OK) {
        Record(s, status);
        return status;
    }
    status = WithBusyRetry(kCallGrabImage, [] { return SciGrabImage(0, 0); });
    if (status != SCI_OK) {
        twcamTrace(s->ownerWindow, "twcamGrabImage : SciGrabImage", status);
    } else {
        status = WithBusyRetry(kCallGrabResult, [] { return SciGrabResult(); });
        if (status != SCI_OK) twcamTrace(s->ownerWindow, "twcamGrabImage : SciGrabResult", status);
    }
    Record(s, status);
    return status;
}

int twcamReportError(TwcamSession *s, HWND statusWindow, int32_t status, const char *prefix) {
    if (prefix == nullptr) prefix = "";
    const bool question = twcamMeansCameraGone(status);
    if (question) status = SCI_CAMERA_NOT_PRESENT;
    char description[255];
    DescribeStatus(status, description, sizeof description);
    const unsigned long shown = static_cast<uint32_t>(status);
    char text[1024];
    if (question) {
        char advice[254];
        LoadText(IDS_CAMERA_LOST, advice, sizeof advice);
        std::snprintf(text, sizeof text, "%s (0x%lx - %s)\n\n%s", prefix, shown, description,
                      advice);
    } else {
        std::snprintf(text, sizeof text, "%s : (0x%lx - %s)", prefix, shown, description);
    }
    if (statusWindow != nullptr) SetWindowTextA(statusWindow, text);
    if (!question) return 1;
    HWND owner = s != nullptr ? s->ownerWindow : nullptr;
    int answer = AskRetry(owner, text);
    // A camera that went away comes back as a new device: RETRY looks for it
    // on every port, and asks again while none answers.
    while (answer == IDRETRY && s != nullptr) {
        twcamClose(s);
        if (twcamLocate(s)) break;
        answer = AskRetry(owner, text);
    }
    if (owner != nullptr) SetForegroundWindow(owner);
    return answer;
}

int twcamMaxPictures() {
    int32_t slots = 0;
    SciGetMaxCameraImages(&slots);
    if (static_cast<uint32_t>(slots) > static_cast<uint32_t>(kMaxUiPictures)) return kMaxUiPictures;
    return slots;
}

HGLOBAL twcamFetchForTransfer(TwcamSession *s, HWND captureDialog, int32_t slot) {
    if (captureDialog != nullptr && IsWindow(captureDialog)) {
        HGLOBAL picture = nullptr;
        SendMessageA(captureDialog, CDM_GETPICTURE, 0, reinterpret_cast<LPARAM>(&picture));
        return picture;
    }
    uint8_t *block = twcamGetImage(s, slot);
    if (block == nullptr) return nullptr;
    HGLOBAL picture = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, kColourBlockBytes);
    if (picture != nullptr) {
        void *target = GlobalLock(picture);
        if (target != nullptr) {
            std::memcpy(target, block, kColourBlockBytes);
            GlobalUnlock(picture);
        } else {
            GlobalFree(picture);
            picture = nullptr;
        }
    }
    twcamFreePicture(block);
    return picture;
}

} // namespace zorvik
