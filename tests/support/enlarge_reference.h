// A slow, literal enlargement written straight from the formulas, sample by
// sample with whole-plane intermediates, to check the library's fast code.
#pragma once

#include <cstdint>
#include <vector>

namespace ref_enlarge {

// Rounds toward minus infinity, as an arithmetic right shift does, written as
// a division so that it does not lean on the shift itself.
inline int FloorShift(int v, int bits) {
    const int d = 1 << bits;
    return v >= 0 ? v / d : -((-v + d - 1) / d);
}

inline int Between(int v, int lo, int hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

struct Plane {
    int w = 0, h = 0;
    std::vector<int> s;
    Plane(int width, int height) : w(width), h(height), s(width * height, 0) {}
    int &at(int x, int y) { return s[y * w + x]; }
    int at(int x, int y) const { return s[y * w + x]; }
    // Outside the plane the nearest edge sample stands in.
    int edge(int x, int y) const { return at(Between(x, 0, w - 1), Between(y, 0, h - 1)); }
};

struct Ycc {
    Plane y{160, 120}, cb{80, 60}, cr{80, 60};
};

inline Ycc ToYcc420(const uint8_t *src) {
    Ycc out;
    Plane cbFull(160, 120), crFull(160, 120);
    for (int row = 0; row < 120; ++row) {
        const int r = (row % 2 == 1) ? 128 : 0;
        for (int x = 0; x < 160; ++x) {
            const int c0 = src[row * 480 + x * 3 + 0];
            const int c1 = src[row * 480 + x * 3 + 1];
            const int c2 = src[row * 480 + x * 3 + 2];
            out.y.at(x, row) = Between(FloorShift(65 * c0 + 129 * c1 + 25 * c2 + r, 8), -16, 239);
            cbFull.at(x, row) =
                Between(FloorShift(-45 * c0 - 88 * c1 + 134 * c2 + r, 8), -128, 127);
            crFull.at(x, row) =
                Between(FloorShift(134 * c0 - 112 * c1 - 21 * c2 + r, 8), -128, 127);
        }
    }
    for (int j = 0; j < 60; ++j) {
        for (int m = 0; m < 80; ++m) {
            int tb = 0, tr = 0;
            for (int dy = 0; dy < 2; ++dy) {
                for (int dx = 0; dx < 2; ++dx) {
                    tb += cbFull.at(2 * m + dx, 2 * j + dy) + 128;
                    tr += crFull.at(2 * m + dx, 2 * j + dy) + 128;
                }
            }
            const int add = (m % 2 == 1) ? 2 : 0;
            out.cb.at(m, j) = FloorShift(tb + add, 2) - 128;
            out.cr.at(m, j) = FloorShift(tr + add, 2) - 128;
        }
    }
    return out;
}

inline Plane Double(const Plane &s) {
    Plane t(2 * s.w, s.h);
    for (int j = 0; j < s.h; ++j) {
        for (int i = 0; i < s.w; ++i) {
            t.at(2 * i, j) = FloorShift(s.edge(i - 1, j) + 3 * s.at(i, j) + 2, 2);
            t.at(2 * i + 1, j) = FloorShift(3 * s.at(i, j) + s.edge(i + 1, j) + 2, 2);
        }
    }
    Plane u(2 * s.w, 2 * s.h);
    for (int j = 0; j < s.h; ++j) {
        for (int i = 0; i < t.w; ++i) {
            u.at(i, 2 * j) = FloorShift(t.edge(i, j - 1) + 3 * t.at(i, j) + 2, 2);
            u.at(i, 2 * j + 1) = FloorShift(3 * t.at(i, j) + t.edge(i, j + 1) + 2, 2);
        }
    }
    return u;
}

inline void FromYcc(const Plane &y, const Plane &cb, const Plane &cr, uint8_t *dst) {
    for (int Y = 0; Y < 240; ++Y) {
        for (int X = 0; X < 320; ++X) {
            const int l = y.at(X, Y), b = cb.at(X / 2, Y / 2), c = cr.at(X / 2, Y / 2);
            dst[Y * 960 + X * 3 + 0] =
                static_cast<uint8_t>(Between(FloorShift(299 * l + 410 * c + 128, 8), 0, 255));
            dst[Y * 960 + X * 3 + 1] = static_cast<uint8_t>(
                Between(FloorShift(299 * l - 101 * b - 209 * c + 128, 8), 0, 255));
            dst[Y * 960 + X * 3 + 2] =
                static_cast<uint8_t>(Between(FloorShift(299 * l + 518 * b + 128, 8), 0, 255));
        }
    }
}

// 160 x 120 x 3 bytes in, 320 x 240 x 3 bytes out.
inline void Enlarge(const uint8_t *src, uint8_t *dst) {
    const Ycc p = ToYcc420(src);
    FromYcc(Double(p.y), Double(p.cb), Double(p.cr), dst);
}

} // namespace ref_enlarge
