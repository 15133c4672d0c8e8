// Test double of the two camera-session calls capability negotiation makes,
// and the global state record the entry point defines in the data source.
#include "camera_double.h"

namespace zorvik {

SourceGlobals g_source{};

int twcamMaxPictures() {
    return test::g_capacity;
}

// As the session does: the pending format, or 87 without a session.
int32_t twcamGetFormat(TwcamSession *s, BITMAPINFOHEADER *format) {
    if (s == nullptr || format == nullptr) return kStatusNullArgument;
    *format = s->pendingFormat;
    return 0;
}

namespace test {
int g_capacity = 24;
} // namespace test

} // namespace zorvik
