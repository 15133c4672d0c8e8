// A slow, literal reference of reformatting and of one colour pass, written
// from the formulas step by step, to check the library's fast code against.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ref {

struct ColourSettings {
    double gain[3] = {1.0, 1.0, 1.0}; // red, green, blue
    int yAccThresh = 120;
    double rawScale = 0.6;
    int balanceCb = 0, balanceCr = 0;
};

inline int Clamp(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

inline void Reformat(const uint8_t *raw, uint8_t *frame, int black, int defect) {
    const double f = 255.0 / (255 - black);
    auto s = [&](int v) {
        int d = v - black;
        if (d < 0) d = 0;
        int r = static_cast<int>(d * f);
        return r > 255 ? 255 : r;
    };
    for (int y = 0; y < 124; ++y) {
        const uint8_t *in = raw + 164 * y;
        uint8_t *out = frame + 164 * y;
        for (int b = 1; b <= 81; ++b) out[b] = static_cast<uint8_t>(s(in[b - 1]));
        for (int b = 82; b <= 162; ++b) out[b] = static_cast<uint8_t>(s(in[b + 1]));
        out[163] = out[162];
        out[0] = out[1];
    }
    if (defect != 1) return;
    const int starts[4] = {0, 82, 164, 246};
    for (int start : starts) {
        auto at = [&](int r, int c) -> uint8_t & { return frame[start + 328 * r + c]; };
        for (int r = 0; r < 62; ++r)
            for (int c = 0; c < 82; ++c) {
                const int up = r == 0 ? 1 : r - 1, down = r == 61 ? 60 : r + 1;
                const int left = c == 0 ? 1 : c - 1, right = c == 81 ? 80 : c + 1;
                const int rows[3] = {up, r, down}, cols[3] = {left, c, right};
                uint8_t v[9];
                int n = 0;
                for (int rr : rows)
                    for (int cc : cols) v[n++] = at(rr, cc);
                // Insertion sort, ascending.
                for (int i = 1; i < 9; ++i)
                    for (int j = i; j > 0 && v[j - 1] > v[j]; --j) std::swap(v[j - 1], v[j]);
                uint8_t &sample = at(r, c);
                if (sample == v[8])
                    sample = v[7];
                else if (sample == v[0])
                    sample = v[1];
            }
    }
}

inline std::vector<uint8_t> GammaTable(double exponent = 0.625) {
    std::vector<uint8_t> t(256);
    for (int i = 0; i < 256; ++i) {
        int p = static_cast<int>(255 * std::pow(i / 255.0, exponent));
        int l = static_cast<int>(4.5 * i);
        t[i] = static_cast<uint8_t>(std::min(std::min(p, l), 255));
    }
    return t;
}

// One colour pass; returns 1 when settled. `frame` is de-interleaved in place.
inline int ColourPass(ColourSettings &st, uint8_t *frame, uint8_t *picture) {
    static const double comp[3][3] = {{3.0, -1.0, -0.25}, {-0.75, 3.0, -0.4}, {-1.08, -1.5, 6.0}};
    static const double ycc[3][3] = {
        {0.2568, 0.5041, 0.09791}, {-0.1482, -0.291, 0.4392}, {0.4392, -0.3678, -0.0714}};
    double m[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double sum = 0.0;
            for (int k = 0; k < 3; ++k) sum += st.rawScale * st.gain[k] * ycc[i][k] * comp[k][j];
            m[i][j] = sum;
        }
    const std::vector<uint8_t> gamma = GammaTable();

    for (int y = 0; y < 124; ++y) {
        uint8_t old[164];
        std::memcpy(old, frame + 164 * y, 164);
        for (int k = 0; k <= 81; ++k) {
            frame[164 * y + 2 * k] = old[82 + k];
            frame[164 * y + 2 * k + 1] = old[k];
        }
    }
    auto F = [&](int x, int y) -> int { return frame[164 * y + x]; };
    std::vector<int> green(162 * 122);
    auto G = [&](int c, int r) -> int & { return green[162 * r + c]; };
    for (int r = 0; r < 122; ++r)
        for (int c = 0; c < 162; ++c)
            G(c, r) = (c + r) % 2 == 0 ? (F(c, r) + F(c + 1, r + 1)) >> 1
                                       : (F(c + 1, r) + F(c, r + 1)) >> 1;

    long long sumCb = 0, sumCr = 0;
    for (int Y = 0; Y < 120; ++Y)
        for (int X = 0; X < 160; ++X) {
            const int k = X / 2, j = Y / 2;
            int a, b, c, d;
            // Red, from the table of nearest sites.
            if (X % 2 == 0 && Y % 2 == 0) {
                a = F(2 * k + 1, 2 * j + 2); b = F(2 * k + 3, 2 * j + 2);
                c = F(2 * k + 1, 2 * j);     d = F(2 * k + 3, 2 * j);
            } else if (X % 2 == 0) {
                a = F(2 * k + 1, 2 * j + 2); b = F(2 * k + 1, 2 * j + 4);
                c = F(2 * k + 3, 2 * j + 2); d = F(2 * k + 3, 2 * j + 4);
            } else if (Y % 2 == 1) {
                a = F(2 * k + 3, 2 * j + 2); b = F(2 * k + 3, 2 * j + 4);
                c = F(2 * k + 1, 2 * j + 2); d = F(2 * k + 1, 2 * j + 4);
            } else {
                a = F(2 * k + 3, 2 * j + 2); b = F(2 * k + 3, 2 * j);
                c = F(2 * k + 1, 2 * j + 2); d = F(2 * k + 1, 2 * j);
            }
            const int red = (9 * a + 3 * b + 3 * c + d) >> 4;
            // Blue; odd columns centred on the pixel's own point.
            if (X % 2 == 0 && Y % 2 == 0) {
                a = F(2 * k + 2, 2 * j + 1); b = F(2 * k + 2, 2 * j + 3);
                c = F(2 * k, 2 * j + 1);     d = F(2 * k, 2 * j + 3);
            } else if (X % 2 == 0) {
                a = F(2 * k + 2, 2 * j + 3); b = F(2 * k, 2 * j + 3);
                c = F(2 * k + 2, 2 * j + 1); d = F(2 * k, 2 * j + 1);
            } else if (Y % 2 == 1) {
                a = F(2 * k + 2, 2 * j + 3); b = F(2 * k + 4, 2 * j + 3);
                c = F(2 * k + 2, 2 * j + 1); d = F(2 * k + 4, 2 * j + 1);
            } else {
                a = F(2 * k + 2, 2 * j + 1); b = F(2 * k + 4, 2 * j + 1);
                c = F(2 * k + 2, 2 * j + 3); d = F(2 * k + 4, 2 * j + 3);
            }
            const int blue = (9 * a + 3 * b + 3 * c + d) >> 4;

            const int g0 = G(X + 1, Y + 1);
            const int n4 = G(X, Y + 1) + G(X + 2, Y + 1) + G(X + 1, Y) + G(X + 1, Y + 2);
            const int d4 = G(X, Y) + G(X + 2, Y) + G(X, Y + 2) + G(X + 2, Y + 2);
            const int S = (d4 + 2 * n4 + 4 * g0) >> 4;
            const int A = (8 * g0 - d4) >> 2;
            int dd = A - S;
            if (dd > 0)
                dd = dd <= 1 ? 0 : dd - 1;
            else
                dd = -dd <= 1 ? 0 : dd + 1;
            const int e = (dd * 3) >> 1;
            const double R = Clamp(red + e), Gr = Clamp(S + e), B = Clamp(blue + e);

            const int Yv = static_cast<int>(m[0][0] * R + m[0][1] * Gr + m[0][2] * B);
            const int Cb = static_cast<int>(m[1][0] * R + m[1][1] * Gr + m[1][2] * B);
            const int Cr = static_cast<int>(m[2][0] * R + m[2][1] * Gr + m[2][2] * B);
            if (gamma[Clamp(Yv)] > st.yAccThresh) {
                sumCb += Cb;
                sumCr += Cr;
            }
            uint8_t *px = picture + 480 * (119 - Y) + 3 * X;
            px[0] = gamma[Clamp(static_cast<int>(1.1644 * Yv + 2.017 * Cb))];
            px[1] = gamma[Clamp(static_cast<int>(1.1644 * Yv - 0.3942 * Cb - 0.813 * Cr))];
            px[2] = gamma[Clamp(static_cast<int>(1.1644 * Yv + 1.596 * Cr))];
        }
    st.balanceCb = static_cast<int>(sumCb / 2400);
    st.balanceCr = static_cast<int>(sumCr / 2400);
    if (std::abs(st.balanceCb) <= 10 && std::abs(st.balanceCr) <= 10) return 1;
    auto lim = [](double v) { return v < -0.05 ? -0.05 : v > 0.05 ? 0.05 : v; };
    const double dR = lim(-0.001 * st.balanceCr), dB = lim(-0.001 * st.balanceCb);
    const bool same = (st.balanceCb > 0 && st.balanceCr > 0) || (st.balanceCb < 0 && st.balanceCr < 0);
    const double dG = lim(same ? 0.0005 * (st.balanceCb + st.balanceCr) : 0.0);
    st.gain[0] += dR;
    st.gain[1] += dG;
    st.gain[2] += dB;
    const double lo = std::min(st.gain[0], std::min(st.gain[1], st.gain[2]));
    for (double &g : st.gain) g = std::min(std::max(g / lo, 1.0), 5.0);
    return 0;
}

} // namespace ref
