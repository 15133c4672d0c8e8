// Names and texts of the library's status codes, for tools and tests. The
// library itself carries no texts; the data source has the same texts as
// strings (code & 0xFFFF) + 100 of its string table.
#pragma once

#include "tarnlink.h"

namespace tarnlink {

struct StatusEntry {
    SciStatus code;
    const char *name;
    const char *text;
};

inline constexpr StatusEntry kStatusTable[] = {
    {SCI_OK, "SCI_OK", "OK"},
    {SCI_FAILED, "SCI_FAILED", "Failed"},
    {SCI_CAMERA_NOT_PRESENT, "SCI_CAMERA_NOT_PRESENT", "Camera not present"},
    {SCI_CAMERA_FULL, "SCI_CAMERA_FULL", "Camera full"},
    {SCI_BAD_EXPOSURE, "SCI_BAD_EXPOSURE", "Bad Exposure"},
    {SCI_CAMERA_BUSY, "SCI_CAMERA_BUSY", "Camera busy"},
    {SCI_NULL_POINTER, "SCI_NULL_POINTER", "Null pointer"},
    {SCI_BUFFER_TOO_SMALL, "SCI_BUFFER_TOO_SMALL", "Buffer too small"},
    {SCI_BAD_PARAMETER, "SCI_BAD_PARAMETER", "Bad parameter"},
    {SCI_COMMS_NOT_OPEN, "SCI_COMMS_NOT_OPEN", "Comms not open"},
    {SCI_COMMS_TIMEOUT, "SCI_COMMS_TIMEOUT", "Comms timeout"},
    {SCI_COMMS_NAK, "SCI_COMMS_NAK", "Comms nak"},
    {SCI_COMMS_BAD_PACKET, "SCI_COMMS_BAD_PACKET", "Comms bad packet"},
    {SCI_COMMS_SEND_TIMEOUT, "SCI_COMMS_SEND_TIMEOUT", "Comms send timeout"},
    {SCI_COMMS_SEND_NAK, "SCI_COMMS_SEND_NAK", "Comms send nak"},
    {SCI_COMMS_BAD_RESPONSE, "SCI_COMMS_BAD_RESPONSE", "Comms bad response"},
    {SCI_COMMS_ALREADY_OPEN, "SCI_COMMS_ALREADY_OPEN", "Comms already open"},
    {SCI_IMAGE_NULL, "SCI_IMAGE_NULL", "Image null"},
    {SCI_IMAGE_CREATE_FAIL, "SCI_IMAGE_CREATE_FAIL", "Image create fail"},
    {SCI_IMAGE_COLOUR_FAIL, "SCI_IMAGE_COLOUR_FAIL", "Image colour fail"},
    {SCI_IMAGE_ENLARGE_FAIL, "SCI_IMAGE_ENLARGE_FAIL", "Image enlarge fail"},
    {SCI_IMAGE_BGRMV_FAIL, "SCI_IMAGE_BGRMV_FAIL", "Image bgrmv fail"},
};

// The entry of a library code, or null for an operating-system code.
inline const StatusEntry *FindStatus(SciStatus code) {
    for (const StatusEntry &e : kStatusTable)
        if (e.code == code) return &e;
    return nullptr;
}

} // namespace tarnlink
