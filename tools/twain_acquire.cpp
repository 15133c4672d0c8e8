// twain_acquire: acquires pictures from a TWAIN source from the command line,
// the way a user scripts a scanner. It talks to the data source manager only,
// as any TWAIN application does; see --help.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "twain/twain_defs.h"

namespace {

// Exit codes, one per way of failing.
enum Exit {
    kOk = 0,
    kUsage = 2,
    kNoManager = 3,
    kNoSource = 4,
    kNoCamera = 5,
    kTransferFailed = 6,
    kCannotWrite = 7,
};

const char kHelp[] =
    "usage: twain_acquire [options]\n"
    "Acquires pictures from a TWAIN data source and saves each as a BMP file.\n"
    "  --list            list the data sources and exit\n"
    "  --source NAME     the source's product name (default: the manager's default source)\n"
    "  --mech MECH       native, memory or file (default native)\n"
    "  --count N         pictures to transfer (CAP_XFERCOUNT; default: what the source offers)\n"
    "  --out DIR         folder for picture-01.bmp, picture-02.bmp, ... (default .)\n"
    "  --ui              enable the source with its user interface\n"
    "  --timeout SEC     give up when no transfer is announced within SEC seconds (default 120)\n"
    "Exit codes: 0 done, 2 usage, 3 no data source manager, 4 source not found,\n"
    "5 no camera (the source asked to be closed), 6 a transfer failed, 7 a file could not be\n"
    "written.\n";

struct Options {
    bool list = false;
    bool ui = false;
    std::string source;
    TW_UINT16 mech = TWSX_NATIVE;
    int count = 0; // 0: leave CAP_XFERCOUNT alone
    std::string out = ".";
    int timeoutSeconds = 120;
};

struct Manager {
    HMODULE module = nullptr;
    DSMENTRYPROC entry = nullptr;
    TW_IDENTITY app{};
    TW_IDENTITY source{};
    HWND window = nullptr;

    TW_UINT16 Call(pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
        return entry(&app, dest, dg, dat, msg, data);
    }
    TW_UINT16 Condition(pTW_IDENTITY dest) {
        TW_STATUS status{};
        Call(dest, DG_CONTROL, DAT_STATUS, MSG_GET, &status);
        return status.ConditionCode;
    }
};

int Fail(int code, const char *what, TW_UINT16 condition = TWCC_SUCCESS) {
    if (condition != TWCC_SUCCESS)
        std::fprintf(stderr, "twain_acquire: %s (condition code %u)\n", what, condition);
    else
        std::fprintf(stderr, "twain_acquire: %s\n", what);
    return code;
}

bool ParseOptions(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--list") {
            o.list = true;
        } else if (a == "--ui") {
            o.ui = true;
        } else if (a == "--source" && hasValue) {
            o.source = argv[++i];
        } else if (a == "--out" && hasValue) {
            o.out = argv[++i];
        } else if (a == "--count" && hasValue) {
            o.count = std::atoi(argv[++i]);
            if (o.count < 1 || o.count > 32767) return false;
        } else if (a == "--timeout" && hasValue) {
            o.timeoutSeconds = std::atoi(argv[++i]);
            if (o.timeoutSeconds < 1) return false;
        } else if (a == "--mech" && hasValue) {
            const std::string m = argv[++i];
            if (m == "native")
                o.mech = TWSX_NATIVE;
            else if (m == "memory")
                o.mech = TWSX_MEMORY;
            else if (m == "file")
                o.mech = TWSX_FILE;
            else
                return false;
        } else {
            return false;
        }
    }
    return true;
}

// The newer manager where it is installed, else the classic one.
bool LoadManager(Manager &m) {
    for (const char *name : {"TWAINDSM.DLL", "TWAIN_32.DLL"}) {
        m.module = LoadLibraryA(name);
        if (m.module == nullptr) continue;
        m.entry = reinterpret_cast<DSMENTRYPROC>(
            reinterpret_cast<void *>(GetProcAddress(m.module, "DSM_Entry")));
        if (m.entry != nullptr) return true;
        FreeLibrary(m.module);
        m.module = nullptr;
    }
    return false;
}

void FillAppIdentity(TW_IDENTITY &id) {
    std::memset(&id, 0, sizeof id);
    id.Version.MajorNum = 1;
    id.Version.Language = TWLG_USA;
    id.Version.Country = TWCY_USA;
    std::strcpy(id.Version.Info, "twain_acquire");
    id.ProtocolMajor = 1;
    id.ProtocolMinor = 6;
    id.SupportedGroups = DG_CONTROL | DG_IMAGE;
    std::strcpy(id.Manufacturer, "Tessaly Ltd");
    std::strcpy(id.ProductFamily, "Tools");
    std::strcpy(id.ProductName, "twain_acquire");
}

void Put(std::vector<uint8_t> &out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A packed DIB (header, colour table, rows bottom-up) as a BMP file.
bool WriteBmp(const std::string &path, const uint8_t *dib, size_t dibSize) {
    if (dibSize < sizeof(BITMAPINFOHEADER)) return false;
    BITMAPINFOHEADER h;
    std::memcpy(&h, dib, sizeof h);
    const uint32_t colours =
        h.biBitCount <= 8 ? (h.biClrUsed ? h.biClrUsed : 1u << h.biBitCount) : 0;
    std::vector<uint8_t> file;
    file.push_back('B');
    file.push_back('M');
    Put(file, static_cast<uint32_t>(14 + dibSize), 4);
    Put(file, 0, 4);
    Put(file, 14 + h.biSize + 4 * colours, 4);
    file.insert(file.end(), dib, dib + dibSize);
    // Written beside, then renamed: a failed write leaves no partial picture.
    const std::string part = path + ".part";
    FILE *f = std::fopen(part.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    if (std::fclose(f) != 0 || !ok) {
        std::remove(part.c_str());
        return false;
    }
    return MoveFileExA(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::string PicturePath(const Options &o, int n) {
    char name[32];
    std::snprintf(name, sizeof name, "picture-%02d.bmp", n);
    return o.out + "\\" + name;
}

// Sets a one-value capability; false when the source refused it.
bool SetCapability(Manager &m, TW_UINT16 cap, TW_UINT16 type, TW_UINT32 value) {
    TW_CAPABILITY c{};
    c.Cap = cap;
    c.ConType = TWON_ONEVALUE;
    c.hContainer = GlobalAlloc(GHND, sizeof(TW_ONEVALUE));
    if (c.hContainer == nullptr) return false;
    auto *one = static_cast<pTW_ONEVALUE>(GlobalLock(c.hContainer));
    one->ItemType = type;
    one->Item = value;
    GlobalUnlock(c.hContainer);
    const TW_UINT16 rc = m.Call(&m.source, DG_CONTROL, DAT_CAPABILITY, MSG_SET, &c);
    GlobalFree(c.hContainer);
    return rc == TWRC_SUCCESS;
}

int TransferNative(Manager &m, const std::string &path) {
    TW_UINT32 handle[2] = {0, 0}; // room for a 64-bit handle
    const TW_UINT16 rc = m.Call(&m.source, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, handle);
    HGLOBAL dib = nullptr;
    std::memcpy(&dib, handle, sizeof dib);
    if (rc != TWRC_XFERDONE || dib == nullptr) {
        if (dib != nullptr) GlobalFree(dib);
        return Fail(kTransferFailed, "native transfer failed", m.Condition(&m.source));
    }
    const auto *bytes = static_cast<const uint8_t *>(GlobalLock(dib));
    const bool ok = bytes != nullptr && WriteBmp(path, bytes, GlobalSize(dib));
    GlobalUnlock(dib);
    GlobalFree(dib);
    return ok ? kOk : Fail(kCannotWrite, ("cannot write " + path).c_str());
}

int TransferMemory(Manager &m, const std::string &path) {
    TW_SETUPMEMXFER setup{};
    if (m.Call(&m.source, DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup) != TWRC_SUCCESS)
        return Fail(kTransferFailed, "memory transfer setup failed", m.Condition(&m.source));
    TW_IMAGEINFO info{};
    m.Call(&m.source, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
    const uint32_t size = setup.Preferred ? setup.Preferred : setup.MinBufSize;
    std::vector<uint8_t> buffer(size), rows; // rows arrive top row first
    uint32_t bytesPerRow = 0;
    for (;;) {
        TW_IMAGEMEMXFER x{};
        x.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
        x.Memory.Length = size;
        x.Memory.TheMem = buffer.data();
        const TW_UINT16 rc = m.Call(&m.source, DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x);
        if (rc == TWRC_XFERDONE) break;
        if (rc != TWRC_SUCCESS)
            return Fail(kTransferFailed, "memory transfer failed", m.Condition(&m.source));
        bytesPerRow = x.BytesPerRow;
        rows.insert(rows.end(), buffer.begin(), buffer.begin() + x.BytesWritten);
    }
    if (bytesPerRow == 0 || info.ImageWidth <= 0 || rows.size() % bytesPerRow != 0)
        return Fail(kTransferFailed, "memory transfer gave no picture");
    const uint32_t height = static_cast<uint32_t>(rows.size() / bytesPerRow);
    std::vector<uint8_t> dib(sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER h{};
    h.biSize = sizeof h;
    h.biWidth = info.ImageWidth;
    h.biHeight = static_cast<LONG>(height);
    h.biPlanes = 1;
    h.biBitCount = static_cast<WORD>(info.BitsPerPixel);
    h.biSizeImage = static_cast<DWORD>(rows.size());
    std::memcpy(dib.data(), &h, sizeof h);
    for (uint32_t r = height; r-- > 0;) // bottom row first
        dib.insert(dib.end(), rows.begin() + r * bytesPerRow, rows.begin() + (r + 1) * bytesPerRow);
    return WriteBmp(path, dib.data(), dib.size())
               ? kOk
               : Fail(kCannotWrite, ("cannot write " + path).c_str());
}

int TransferFile(Manager &m, const std::string &path) {
    TW_SETUPFILEXFER setup{};
    std::snprintf(setup.FileName, sizeof setup.FileName, "%s", path.c_str());
    setup.Format = TWFF_BMP;
    if (m.Call(&m.source, DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup) != TWRC_SUCCESS)
        return Fail(kCannotWrite, ("the source cannot write " + path).c_str(),
                    m.Condition(&m.source));
    if (m.Call(&m.source, DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr) != TWRC_XFERDONE)
        return Fail(kTransferFailed, "file transfer failed", m.Condition(&m.source));
    return kOk;
}

// Every transfer the source announces, until it has none pending.
int TransferAll(Manager &m, const Options &o, int &saved) {
    TW_PENDINGXFERS pending{};
    do {
        const std::string path = PicturePath(o, saved + 1);
        int rc = kOk;
        if (o.mech == TWSX_NATIVE)
            rc = TransferNative(m, path);
        else if (o.mech == TWSX_MEMORY)
            rc = TransferMemory(m, path);
        else
            rc = TransferFile(m, path);
        if (rc != kOk) {
            m.Call(&m.source, DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
            return rc;
        }
        std::printf("%s\n", path.c_str());
        ++saved;
        pending = TW_PENDINGXFERS{};
        m.Call(&m.source, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
    } while (pending.Count != 0);
    return kOk;
}

// The application's message loop: every message, thread messages included,
// goes through the source first; the manager hands notifications back in it.
int RunLoop(Manager &m, const Options &o, int &saved) {
    const DWORD deadline = GetTickCount() + static_cast<DWORD>(o.timeoutSeconds) * 1000;
    SetTimer(nullptr, 0, 100, nullptr); // a message now and then, so notifications get through
    for (;;) {
        MSG msg;
        if (GetMessageA(&msg, nullptr, 0, 0) <= 0) return kTransferFailed;
        TW_EVENT event{&msg, MSG_NULL};
        const TW_UINT16 rc = m.Call(&m.source, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
        if (event.TWMessage == MSG_XFERREADY) {
            const int result = TransferAll(m, o, saved);
            if (result != kOk || !o.ui) return result;
        } else if (event.TWMessage == MSG_CLOSEDSREQ) {
            return saved > 0 || o.ui ? kOk
                                     : Fail(kNoCamera, "no camera: the source asked to be closed");
        }
        if (rc != TWRC_DSEVENT) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (static_cast<int>(GetTickCount() - deadline) > 0)
            return Fail(kTransferFailed, "no transfer was announced in time");
    }
}

bool FindSource(Manager &m, const Options &o) {
    TW_IDENTITY id{};
    TW_UINT16 rc = m.Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &id);
    if (o.list) {
        for (; rc == TWRC_SUCCESS; rc = m.Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &id))
            std::printf("%s (%s, %s)\n", id.ProductName, id.Manufacturer, id.ProductFamily);
        return true;
    }
    if (o.source.empty())
        return m.Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &m.source) == TWRC_SUCCESS;
    for (; rc == TWRC_SUCCESS; rc = m.Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &id))
        if (o.source == id.ProductName) {
            m.source = id;
            return true;
        }
    return false;
}

int Acquire(Manager &m, const Options &o) {
    if (!FindSource(m, o)) return Fail(kNoSource, ("no source named \"" + o.source + "\"").c_str());
    if (o.list) return kOk;
    // The manager writes the Id it gives the source into this copy.
    if (m.Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &m.source) != TWRC_SUCCESS)
        return Fail(kNoSource, "the source did not open", m.Condition(nullptr));
    int result = kOk, saved = 0;
    if (o.count > 0 &&
        !SetCapability(m, CAP_XFERCOUNT, TWTY_INT16, static_cast<TW_UINT32>(o.count)))
        result =
            Fail(kTransferFailed, "the source refused the transfer count", m.Condition(&m.source));
    if (result == kOk && !SetCapability(m, ICAP_XFERMECH, TWTY_UINT16, o.mech))
        result = Fail(kTransferFailed, "the source refused the transfer mechanism",
                      m.Condition(&m.source));
    TW_USERINTERFACE ui{};
    ui.ShowUI = o.ui ? TRUE : FALSE;
    ui.hParent = m.window;
    if (result == kOk) {
        if (m.Call(&m.source, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) != TWRC_SUCCESS)
            result =
                Fail(kTransferFailed, "the source could not be enabled", m.Condition(&m.source));
        else {
            result = RunLoop(m, o, saved);
            m.Call(&m.source, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
        }
    }
    // Through this manager the close goes without a destination.
    m.Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &m.source);
    if (result == kOk) std::printf("%d picture%s saved\n", saved, saved == 1 ? "" : "s");
    return result;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kHelp, stdout);
        return kOk;
    }
    if (!ParseOptions(argc, argv, o)) {
        std::fputs(kHelp, stderr);
        return kUsage;
    }
    CreateDirectoryA(o.out.c_str(), nullptr);
    Manager m;
    if (!LoadManager(m))
        return Fail(kNoManager, "no TWAIN data source manager (TWAINDSM.DLL or TWAIN_32.DLL)");
    FillAppIdentity(m.app);
    m.window = CreateWindowA("STATIC", "twain_acquire", 0, 0, 0, 0, 0, nullptr, nullptr,
                             GetModuleHandleA(nullptr), nullptr);
    HWND parent = m.window;
    int result = kOk;
    if (m.Call(nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &parent) != TWRC_SUCCESS)
        result = Fail(kNoManager, "the data source manager did not open");
    else {
        result = Acquire(m, o);
        m.Call(nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &parent);
    }
    if (m.window != nullptr) DestroyWindow(m.window);
    FreeLibrary(m.module);
    return result;
}
