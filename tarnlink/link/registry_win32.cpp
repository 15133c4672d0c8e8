// MaxCameraImages under HKLM\SOFTWARE\Tessaly\Merovane, any value type, its
// first four bytes taken as an unsigned little-endian number.
#include "link/registry.h"

#include <windows.h>

#include "link/state.h"

namespace tarnlink {

int32_t ReadMaxCameraImages() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaly\\Merovane", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return kDefaultMaxCameraImages;
    BYTE data[4] = {0, 0, 0, 0};
    DWORD size = sizeof data;
    const LONG queried = RegQueryValueExA(key, "MaxCameraImages", nullptr, nullptr, data, &size);
    RegCloseKey(key);
    if (queried != ERROR_SUCCESS) return kDefaultMaxCameraImages;
    const uint32_t value =
        data[0] | (uint32_t{data[1]} << 8) | (uint32_t{data[2]} << 16) | (uint32_t{data[3]} << 24);
    return value >= kDefaultMaxCameraImages ? kDefaultMaxCameraImages : static_cast<int32_t>(value);
}

} // namespace tarnlink
