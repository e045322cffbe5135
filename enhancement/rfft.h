// Real FFT of even length L = 2M through one complex radix-2 FFT of size M.
//
// analyze():    samples[0 .. L-1] -> spectrum[0 .. M], spectrum[k] = sum_n samples[n] E(-2 pi k n / L)
// synthesize(): spectrum[0 .. M] -> samples[0 .. L-1], the unnormalised inverse of the Hermitian
//               extension of the spectrum (L times the time signal); only the real parts of
//               spectrum[0] and spectrum[M] are used.
//
// The real signal is packed as M complex values (even samples real, odd samples imaginary),
// transformed, and untangled with a second twiddle table of length L. The complex FFT
// permutes its input in bit-reversed order and then runs log2(M) stages of butterflies
// (a + c, (a - c) w) where every block of a stage uses one twiddle, taken in bit-reversed
// block order; its output is in natural order and unnormalised. All arithmetic is in the
// sample type T (float), complex products written out as (ac - bd, ad + bc); the twiddle
// tables come from double-precision sine and cosine. M must be a power of two, at least 2.
// analyze() and synthesize() work in preallocated buffers and allocate nothing.
#pragma once

#include <cmath>
#include <complex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "enhancement/simd.h"

template <class T>
class rfft {
public:
    using Complex = std::complex<T>;

    // True when `complexSize` is a size the transform accepts: a power of two, at least 2.
    static bool validSize(int complexSize) {
        return complexSize >= 2 && (complexSize & (complexSize - 1)) == 0;
    }

    // Sizes the transform for a complex FFT of `complexSize` = M points (real length 2M)
    // and a spectrum of `spectrumLength` = M + 1 bins. Buffers keep their contents where
    // the size allows; the tables depend on M only, so setting up again with the same M
    // leaves them as they are.
    void setup(int complexSize, int spectrumLength) {
        if (!validSize(complexSize))
            throw std::invalid_argument("rfft: complex size must be a power of two >= 2, got " +
                                        std::to_string(complexSize));
        if (spectrumLength != complexSize + 1)
            throw std::invalid_argument("rfft: spectrum length must be complex size + 1, got " +
                                        std::to_string(spectrumLength) + " for complex size " +
                                        std::to_string(complexSize));
        if (complexSize == fftSize && int(twiddles.size()) == fftSize) return;
        fftSize = complexSize;
        fftSize2 = complexSize;
        length = 2 * complexSize;
        bins = complexSize + 1;
        twiddles.resize(size_t(fftSize));
        workA.resize(size_t(fftSize));
        workB.resize(size_t(fftSize2));
        fillTwiddles(twiddles);
        twiddles2.resize(size_t(length));
        samples.resize(size_t(length));
        spectrum.resize(size_t(bins));
        fillTwiddles(twiddles2);
        buildPermutations();
    }

    // Forward real transform: samples -> spectrum (unnormalised).
    void analyze() {
        const int h = length / 2, q = length / 4;
        for (int i = 0; i < h; ++i)
            workA[size_t(i)] = Complex(samples[size_t(2 * i)], samples[size_t(2 * i + 1)]);
        workB = workA;
        transform(workB.data(), false);
        const Complex* z = workB.data();
        for (int k = 1; k < q; ++k) {
            const Complex w = twiddles2[size_t(k)];
            const Complex a = z[k];
            const Complex bc = std::conj(z[h - k]);
            const Complex f(T(0.5) * (T(1) - w.imag()), T(0.5) * w.real());
            const Complex d(z[k].real() - z[h - k].real(), z[k].imag() + z[h - k].imag());
            const Complex t = mul(f, d);
            spectrum[size_t(k)] = Complex(a.real() - t.real(), a.imag() - t.imag());
            spectrum[size_t(h - k)] = Complex(bc.real() + t.real(), -(bc.imag() + t.imag()));
        }
        spectrum[0] = Complex(z[0].real() + z[0].imag(), T(0));
        spectrum[size_t(h)] = Complex(z[0].real() - z[0].imag(), T(0));
        spectrum[size_t(q)] = std::conj(z[q]);
    }

    // Inverse real transform: spectrum -> samples, L times the time signal.
    void synthesize() {
        const int h = length / 2, q = length / 4;
        const Complex* s = spectrum.data();
        Complex* z = workB.data();
        z[0] = Complex(T(0.5) * (s[0].real() + s[h].real()), T(0.5) * (s[0].real() - s[h].real()));
        z[q] = std::conj(s[q]);
        for (int k = 1; k < q; ++k) {
            const Complex w = twiddles2[size_t(k)];
            const Complex a = s[k];
            const Complex bc = std::conj(s[h - k]);
            const Complex f(T(0.5) * (T(1) + w.imag()), T(0.5) * w.real());
            const Complex d(s[k].real() - s[h - k].real(), s[h - k].imag() + s[k].imag());
            const Complex t = mul(f, d);
            z[k] = Complex(bc.real() + t.real(), bc.imag() + t.imag());
            z[h - k] = Complex(a.real() - t.real(), -(a.imag() - t.imag()));
        }
        workA = workB;
        transform(workA.data(), true);
        for (int i = 0; i < h; ++i) {
            samples[size_t(2 * i)] = T(2) * workA[size_t(i)].real();
            samples[size_t(2 * i + 1)] = T(2) * workA[size_t(i)].imag();
        }
    }

    int fftSize = 0;                 // M, size of the complex FFT
    int fftSize2 = 0;                // M again; size of workB
    std::vector<Complex> twiddles;   // entry k = E(-2 pi k / M)
    std::vector<Complex> workA;      // work buffer, M entries
    std::vector<Complex> workB;      // work buffer, M entries
    int length = 0;                  // L = 2M, real signal length
    int bins = 0;                    // M + 1, spectrum length
    std::vector<Complex> twiddles2;  // entry k = E(-2 pi k / L)
    std::vector<T> samples;          // real signal, L entries
    std::vector<Complex> spectrum;   // bins 0 .. M

private:
    static Complex mul(const Complex& a, const Complex& b) {
        return Complex(a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real());
    }

    // Entry k of a table of n: theta = (k * 2 pi) / n in double, one sincos, each part
    // rounded to T; stored as (cos, -sin).
    static void fillTwiddles(std::vector<Complex>& table) {
        const double twoPi = 6.283185307179586;
        const double n = double(table.size());
        for (size_t k = 0; k < table.size(); ++k) {
            const double theta = (double(k) * twoPi) / n;
            double s, c;
            ::sincos(theta, &s, &c);
            table[k] = Complex(T(c), -T(s));
        }
    }

    static int reverseBits(int value, int bits) {
        int r = 0;
        for (int b = 0; b < bits; ++b) r |= ((value >> b) & 1) << (bits - 1 - b);
        return r;
    }

    // The bit-reversal swaps of the input permutation and the twiddle index of every block.
    void buildPermutations() {
        int logN = 0;
        while ((1 << logN) < fftSize) ++logN;
        swaps_.clear();
        if (fftSize > 2) {
            for (int i = 1; i <= fftSize - 2; ++i) {
                const int j = reverseBits(i, logN);
                if (j > i) swaps_.push_back({i, j});
            }
        }
        blockTwiddle_.resize(size_t(fftSize / 2));
        for (int b = 0; b < fftSize / 2; ++b) blockTwiddle_[size_t(b)] = reverseBits(b, logN - 1);
    }

    // In-place complex FFT of fftSize points, unnormalised; the inverse uses conjugate twiddles.
    void transform(Complex* x, bool inverse) const {
        for (const Swap& s : swaps_) std::swap(x[s.i], x[s.j]);
        T* v = reinterpret_cast<T*>(x);
        const int n = fftSize;
        for (int m = 1; 2 * m <= n; m *= 2) {
            int b = 0;
            for (int s = 0; s < n; s += 2 * m, ++b) {
                const Complex w = twiddles[size_t(blockTwiddle_[size_t(b)])];
                const T wr = w.real();
                const T wi = inverse ? -w.imag() : w.imag();
                T* lo = v + 2 * s;
                T* hi = v + 2 * (s + m);
                int i = 0;
                if constexpr (std::is_same<T, float>::value) {
                    // Two butterflies at once: (re, im, re, im) lanes.
                    using enhancement::simd::f32x4;
                    using enhancement::simd::i32x4;
                    const f32x4 wRe = {wr, wr, wr, wr}, wIm = {wi, wi, wi, wi},
                                sign = {-1.0f, 1.0f, -1.0f, 1.0f};
                    const i32x4 swap = {1, 0, 3, 2};
                    for (; i + 2 <= m; i += 2) {
                        const f32x4 a = enhancement::simd::load(lo + 2 * i),
                                    c = enhancement::simd::load(hi + 2 * i);
                        const f32x4 d = a - c;
                        // (dr wr - di wi, dr wi + di wr): the products of one lane pair, the
                        // second negated on the real lanes, added.
                        const f32x4 cross = __builtin_shuffle(d, swap) * wIm;
                        enhancement::simd::store(lo + 2 * i, a + c);
                        enhancement::simd::store(hi + 2 * i, d * wRe + cross * sign);
                    }
                }
                for (; i < m; ++i) {
                    const T ar = lo[2 * i], ai = lo[2 * i + 1];
                    const T cr = hi[2 * i], ci = hi[2 * i + 1];
                    const T dr = ar - cr, di = ai - ci;
                    lo[2 * i] = ar + cr;
                    lo[2 * i + 1] = ai + ci;
                    hi[2 * i] = dr * wr - di * wi;
                    hi[2 * i + 1] = dr * wi + di * wr;
                }
            }
        }
    }

    struct Swap {
        int i, j;
    };
    std::vector<Swap> swaps_;        // (i, j) pairs of the bit-reversal permutation, j > i
    std::vector<int> blockTwiddle_;  // twiddle index of block b: b reversed over log2(M) - 1 bits
};
