// The periodic waves in vectors of kLanes samples. A kernel's file includes
// this after it has defined, in kelmo::sim::detail's unnamed namespace, its
// vector V and mask M, kLanes, the operations on them (set, load, store,
// iota, add, sub, mul, div, floor, abs, neg, min, max, le, lt, eq, finite,
// both, all_lanes, select, quarter, power_of_two) and KELMO_SIM_TARGET /
// KELMO_SIM_LANES.
//
// Every lane does the scalar code's operations on its sample in the scalar
// code's order, with these exact shortcuts:
//  - the running time. The scalar code adds dt to the time sample by sample
//    (folding it into the period where the modulation folds). While a time T
//    and the times after it stay within one binade (same sign and exponent,
//    ulp u) and T + dt is not a tie (its rounding error is not u / 2), every
//    sum rounds by the same amount: the times are T + j inc exactly, with
//    inc = (T + dt) - T, and where the fold leaves them as they are, so are
//    the folded ones. Such runs go as vectors; the rest (a binade's edge,
//    a fold, a time of 0, a tie, a negative time of a two-sided sweep) step
//    by step, as the scalar code does;
//  - a divisor that is a power of two 2^k divides as the product with 2^-k:
//    both round the same real number;
//  - symmetry 0 (D = 1/2) warps a phase p in [2^-1021, 1] into itself
//    (halving and doubling are exact there, and so are p - 1/2 and its sum
//    with 1/2), and below 1 the fraction of the phase is p. Below 2^-1021,
//    where the warp may move p by a subnormal step, and at p = 0, which the
//    warp turns into 1, every wave gives the same sample for p as for the
//    warped phase: cos 2 pi p is 1 and the fraction is below 1/2 either way,
//    and fr - 1/2 rounds to -1/2.
// Branches are selects: both sides are formed and the lane keeps its own.
#include <algorithm>
#include <cstring>
#include <limits>

namespace kelmo::sim::detail {
namespace {

constexpr uint64_t kMantissa = (uint64_t{1} << 52) - 1;

uint64_t bits_of(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}
double from_bits(uint64_t b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

// A divisor fixed for a block: a normal power of two divides as a product.
struct Divisor {
    double d, r;
    bool byProduct;
};
Divisor divisor(double d) {
    const uint64_t e = (bits_of(d) >> 52) & 0x7FF;
    return {d, 1.0 / d, (bits_of(d) & kMantissa) == 0 && e != 0 && e != 0x7FF};
}
KELMO_SIM_LANES V divide(V x, const Divisor& d) { return d.byProduct ? mul(x, set(d.r)) : div(x, set(d.d)); }

// ---- the phase ------------------------------------------------------------------

struct WarpLanes {
    double offset, D, oneMinusD, rD, rOneMinusD;
    bool lowAllowed;  // D != 0
    bool byProduct;   // D and 1 - D are powers of two
    bool symmetric;   // D = 1/2

    explicit WarpLanes(const Warp& w)
        : offset(w.offset), D(w.D), oneMinusD(1.0 - w.D), rD(1.0 / w.D), rOneMinusD(1.0 / (1.0 - w.D)),
          lowAllowed(w.D != 0.0), byProduct(divisor(w.D).byProduct && divisor(1.0 - w.D).byProduct),
          symmetric(w.D == 0.5) {}
};

// Warp::operator().
KELMO_SIM_LANES V warp(const WarpLanes& w, V a, V b) {
    const V x = add(mul(a, b), set(w.offset));
    V p = sub(x, floor(x));
    p = select(le(p, set(0.0)), add(p, set(1.0)), p);
    const M low = both(le(p, set(w.D)), all_lanes(w.lowAllowed));
    const V num = mul(set(0.5), select(low, p, sub(p, set(w.D))));
    const V q = w.byProduct ? mul(num, select(low, set(w.rD), set(w.rOneMinusD)))
                            : div(num, select(low, set(w.D), set(w.oneMinusD)));
    return select(low, q, add(set(0.5), q));
}

// CosTurns::eval.
KELMO_SIM_LANES V cos_turns(V p) {
    using C = CosTurns;
    const V r = mul(set(4.0), p);
    const V big = add(r, set(C::kRound));
    const V q = sub(big, set(C::kRound));
    const V x = mul(sub(r, q), set(C::kHalfPi)), z = mul(x, x);
    V s = add(set(C::kS13), mul(z, set(C::kS15)));
    s = add(set(C::kS11), mul(z, s));
    s = add(set(C::kS9), mul(z, s));
    s = add(set(C::kS7), mul(z, s));
    s = add(set(C::kS5), mul(z, s));
    s = add(set(C::kS3), mul(z, s));
    s = add(x, mul(x, mul(z, s)));
    V c = add(set(C::kC14), mul(z, set(C::kC16)));
    c = add(set(C::kC12), mul(z, c));
    c = add(set(C::kC10), mul(z, c));
    c = add(set(C::kC8), mul(z, c));
    c = add(set(C::kC6), mul(z, c));
    c = add(set(C::kC4), mul(z, c));
    c = add(set(C::kC2), mul(z, c));
    c = add(set(1.0), mul(z, c));
    return quarter(big, s, c);
}

// Exp2::eval.
KELMO_SIM_LANES void exp2(V y, V& power, V& minusOne) {
    using E = Exp2;
    const M ok = le(abs(y), set(E::kLimit));
    const V yy = select(ok, y, set(0.0));
    const V k = floor(add(yy, set(0.5))), f = sub(yy, k);
    V p = add(set(E::kC13), mul(f, set(E::kC14)));
    p = add(set(E::kC12), mul(f, p));
    p = add(set(E::kC11), mul(f, p));
    p = add(set(E::kC10), mul(f, p));
    p = add(set(E::kC9), mul(f, p));
    p = add(set(E::kC8), mul(f, p));
    p = add(set(E::kC7), mul(f, p));
    p = add(set(E::kC6), mul(f, p));
    p = add(set(E::kC5), mul(f, p));
    p = add(set(E::kC4), mul(f, p));
    p = add(set(E::kC3), mul(f, p));
    p = add(set(E::kC2), mul(f, p));
    p = add(set(E::kC1), mul(f, p));
    p = mul(f, p);
    const V nan = set(std::numeric_limits<double>::quiet_NaN());
    const V pw = mul(add(set(1.0), p), power_of_two(k));
    power = select(ok, pw, nan);
    minusOne = select(ok, select(eq(k, set(0.0)), p, sub(pw, set(1.0))), nan);
}

// ---- a block's constants ----------------------------------------------------------

struct Lanes {
    WarpLanes warp;
    int32_t mod;
    bool square;
    double f1, A, gain, dF, dA, steps, burstLimit;  // dF = f2 - f1, dA = A2 - A
    Divisor Tp, twoTp, stepsLess;                    // stepsLess = steps - 1
    // Storing: values limited to +-limit; codes scaled and limited to their word.
    double limit, scale, lowest, highest;

    ExpSweep sweep;

    Lanes(const PeriodicPlan& p, const Output& o)
        : warp(p.warp), mod(p.mod), square(p.waveform == 4), f1(p.f1), A(p.A), gain(p.gain), dF(p.f2 - p.f1),
          dA(p.A2 - p.A), steps(p.steps), burstLimit(p.mod == 7 ? 1.0 : (p.mod == 8 ? 0.5 : p.extra)),
          Tp(divisor(p.Tp)), twoTp(divisor(p.twoTp)), stepsLess(divisor(p.steps - 1.0)), limit(o.limit),
          scale(o.scale()), lowest(o.lowest()), highest(o.highest()), sweep(p.sweep) {}
};

// Modulator::step from the folded times F: the time argument a, the phase
// rate b and the level gain * V.
KELMO_SIM_LANES void modulate(const Lanes& L, V F, V& a, V& b, V& level) {
    V env;
    switch (L.mod) {
        case 0:
            a = F, b = set(L.f1), env = set(L.A);
            break;
        case 1:
        case 3: {
            const V t = abs(F);
            a = F;
            b = add(set(L.f1), divide(mul(set(L.dF), t), L.twoTp));
            env = add(set(L.A), divide(mul(set(L.dA), t), L.Tp));
            break;
        }
        case 2:
        case 4: {  // ExpSweep::at
            const V t = abs(F);
            const ExpSweep& S = L.sweep;
            a = F;
            V power, minusOne;
            exp2(mul(divide(t, L.Tp), set(S.log2r)), power, minusOne);
            if (S.equal) {
                b = set(S.f1);
                env = mul(set(S.A), power);
                break;
            }
            b = select(eq(t, set(0.0)), set(S.f1), mul(set(S.f1Tp), div(minusOne, mul(set(S.lnr), t))));
            env = add(set(S.A), div(mul(set(S.dA), mul(set(S.f1), minusOne)), set(S.dF)));
            break;
        }
        case 5:
        case 6: {
            const V t = L.mod == 5 ? abs(F) : F;
            a = t;
            if (L.steps <= 1.0) {
                b = set(L.f1), env = set(L.A);
                break;
            }
            V k = floor(divide(mul(set(L.steps), t), L.Tp));
            if (L.mod == 5) k = select(eq(k, set(L.steps)), set(L.steps - 1.0), k);
            b = add(set(L.f1), divide(mul(set(L.dF), k), L.stepsLess));
            env = add(set(L.A), divide(mul(set(L.dA), k), L.stepsLess));
            break;
        }
        default: {  // bursts: 7, 8, 10
            const V x = mul(set(L.f1), F);
            M on = lt(x, set(L.burstLimit));
            if (L.square) on = both(on, lt(set(0.0), x));
            a = F, b = set(L.f1), env = select(on, set(L.A), set(0.0));
            break;
        }
    }
    level = mul(set(L.gain), env);
}

// ---- storing ----------------------------------------------------------------------

// Output::periodic, then the values' limit.
KELMO_SIM_LANES void put(const Lanes& L, V s, double* out) {
    store(out, select(finite(s), min(max(s, set(-L.limit)), set(L.limit)), set(0.0)));
}
template <class Code>
KELMO_SIM_LANES void put(const Lanes& L, V s, Code* out) {
    const V c = min(max(mul(s, set(L.scale)), set(L.lowest)), set(L.highest));
    store(out, select(finite(s), c, set(0.0)));
}

// Output::square, then the values' limit.
KELMO_SIM_LANES void put_square(const Lanes& L, V gv, M positive, M ok, double* out) {
    const V v = select(positive, gv, neg(gv));
    store(out, select(ok, min(max(v, set(-L.limit)), set(L.limit)), set(0.0)));
}
template <class Code>
KELMO_SIM_LANES void put_square(const Lanes& L, V gv, M positive, M ok, Code* out) {
    const V c = min(max(mul(gv, set(L.scale)), set(L.lowest)), set(L.highest));
    store(out, select(ok, select(positive, c, neg(c)), set(0.0)));
}

// The wave of phase P (fraction fr) at `level`.
template <int Wave, class Out>
KELMO_SIM_LANES void emit(const Lanes& L, V P, V fr, V level, Out* out) {
    if constexpr (Wave == 2) {
        put(L, mul(level, cos_turns(P)), out);
    } else if constexpr (Wave == 3) {
        put(L, mul(level, sub(mul(set(4.0), abs(sub(fr, set(0.5)))), set(1.0))), out);
    } else {
        put_square(L, level, lt(fr, set(0.5)), both(finite(P), finite(level)), out);
    }
}

// The samples of the folded times F.
template <int Wave, class Out>
KELMO_SIM_LANES void from_times(const Lanes& L, V F, Out* out) {
    V a, b, level;
    modulate(L, F, a, b, level);
    if (L.warp.symmetric) {
        const V x = add(mul(a, b), set(L.warp.offset));
        const V p = sub(x, floor(x));
        // Where x - floor(x) rounds up to 1 the fraction is 0, which only
        // the square's sign tells apart from 1.
        return emit<Wave>(L, p, Wave == 4 ? select(eq(p, set(1.0)), set(0.0), p) : p, level, out);
    }
    const V P = warp(L.warp, a, b);
    emit<Wave>(L, P, sub(P, floor(P)), level, out);
}

// ---- the running time -------------------------------------------------------------

enum class Fold { None, OneSided, TwoSided };
Fold fold_of(int32_t mod) {
    return mod == 0 ? Fold::None : (mod == 1 || mod == 2 || mod == 5) ? Fold::TwoSided : Fold::OneSided;
}
double fold(Fold f, const PeriodicPlan& p, double T) {
    return f == Fold::None ? T : f == Fold::OneSided ? fold_one_sided(T, p.Tp) : fold_two_sided(T, p.Tp, p.twoTp);
}

// Whether the len samples from time T have the times T + j inc, j < len,
// all left as they are by the fold, and T + len inc after them: Ok; Shorter
// when fewer might; Never when no run starts at T.
enum class Run { Ok, Shorter, Never };
Run progression(Fold f, const PeriodicPlan& p, double T, double dt, uint32_t len, double& inc) {
    const uint64_t tb = bits_of(T), e = (tb >> 52) & 0x7FF;
    // 0, subnormal or too small for u / 2 to be normal; infinite, NaN.
    if (e < 54 || e == 0x7FF) return Run::Never;
    inc = (T + dt) - T;
    if (!std::isfinite(inc)) return Run::Never;
    // Rounding is monotonic: if the exact T + len inc left the binade (or
    // reached its lower edge), so does the rounded one. Inside it every
    // T + j inc is a multiple of u below 2^53 u, formed exactly.
    const uint64_t eb = bits_of(T + static_cast<double>(len) * inc);
    if ((eb >> 52) != (tb >> 52) || (eb & kMantissa) == 0) return Run::Shorter;
    // dt - inc is the rounding error of T + dt, exactly.
    if (std::fabs(dt - inc) == from_bits((e - 53) << 52)) return Run::Never;
    if (f == Fold::None) return Run::Ok;
    // The fold leaves t as it is for 0 < t with t / Tp < 1 (one-sided), or
    // 0 < t <= Tp (two-sided).
    if (tb >> 63) return Run::Never;
    const double last = T + static_cast<double>(len - 1) * inc, top = last > T ? last : T;
    if (f == Fold::OneSided) return top < p.Tp ? Run::Ok : Run::Shorter;
    return top <= p.Tp ? Run::Ok : Run::Shorter;
}

template <int Wave, class Out>
KELMO_SIM_TARGET void run_typed(const PeriodicPlan& plan, double T, double dt, uint32_t N, const Output& o) {
    const Lanes L(plan, o);
    const Fold f = fold_of(plan.mod);
    Out* out = static_cast<Out*>(o.out);
    uint32_t i = 0;
    while (i < N) {
        const uint32_t left = N - i;
        uint32_t len = left - left % kLanes;
        double inc = 0.0;
        Run r = Run::Shorter;
        while (len >= kLanes && (r = progression(f, plan, T, dt, len, inc)) == Run::Shorter) {
            len = len / 2 - len / 2 % kLanes;
        }
        if (r == Run::Ok) {
            V H = add(set(T), mul(iota(), set(inc)));
            const V step = set(kLanes * inc);
            for (uint32_t k = 0; k < len; k += kLanes, H = add(H, step)) from_times<Wave>(L, H, out + i + k);
            T = T + static_cast<double>(len) * inc;
            i += len;
            continue;
        }
        // One vector (or the last few samples), time by time.
        double F[kLanes];
        const uint32_t m = std::min<uint32_t>(left, kLanes);
        for (uint32_t j = 0; j < m; ++j) {
            F[j] = fold(f, plan, T);
            T = F[j] + dt;
        }
        std::fill(F + m, F + kLanes, F[m - 1]);
        if (m == kLanes) {
            from_times<Wave>(L, load(F), out + i);
        } else {
            Out part[kLanes];
            from_times<Wave>(L, load(F), part);
            std::copy(part, part + m, out + i);
        }
        i += m;
    }
}

template <int Wave, class Out>
KELMO_SIM_TARGET void wave_typed(const PeriodicPlan& plan, const double* phase, const double* level, uint32_t n,
                                 const Output& o, std::size_t at) {
    const Lanes L(plan, o);
    Out* out = static_cast<Out*>(o.out) + at;
    uint32_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        const V P = load(phase + i);
        emit<Wave>(L, P, sub(P, floor(P)), load(level + i), out + i);
    }
    if (i == n) return;
    double P[kLanes] = {}, g[kLanes] = {};
    std::copy(phase + i, phase + n, P);
    std::copy(level + i, level + n, g);
    Out part[kLanes];
    const V Pv = load(P);
    emit<Wave>(L, Pv, sub(Pv, floor(Pv)), load(g), part);
    std::copy(part, part + (n - i), out + i);
}

// The instantiation for the block's waveform and output.
#define KELMO_SIM_DISPATCH(fn, plan, o, ...)                                                                     \
    do {                                                                                                       \
        const int wf_ = (plan).waveform;                                                                       \
        switch ((o).kind) {                                                                                    \
            case Store::Double:                                                                                \
                return wf_ == 2 ? fn<2, double>(__VA_ARGS__)                                                   \
                                : wf_ == 3 ? fn<3, double>(__VA_ARGS__) : fn<4, double>(__VA_ARGS__);          \
            case Store::W16:                                                                                   \
                return wf_ == 2 ? fn<2, int16_t>(__VA_ARGS__)                                                  \
                                : wf_ == 3 ? fn<3, int16_t>(__VA_ARGS__) : fn<4, int16_t>(__VA_ARGS__);        \
            case Store::W32:                                                                                   \
                return wf_ == 2 ? fn<2, int32_t>(__VA_ARGS__)                                                  \
                                : wf_ == 3 ? fn<3, int32_t>(__VA_ARGS__) : fn<4, int32_t>(__VA_ARGS__);        \
        }                                                                                                      \
    } while (0)

KELMO_SIM_TARGET void run_lanes(const PeriodicPlan& plan, double T0, double dt, uint32_t N, const Output& o) {
    KELMO_SIM_DISPATCH(run_typed, plan, o, plan, T0, dt, N, o);
}

KELMO_SIM_TARGET void wave_lanes(const PeriodicPlan& plan, const double* phase, const double* level, uint32_t n,
                                 const Output& o, std::size_t at) {
    KELMO_SIM_DISPATCH(wave_typed, plan, o, plan, phase, level, n, o, at);
}

#undef KELMO_SIM_DISPATCH

KELMO_SIM_TARGET void warp_lanes(const Warp& w, const double* a, double b, uint32_t n, double* out) {
    const WarpLanes L(w);
    uint32_t i = 0;
    for (; i + kLanes <= n; i += kLanes) store(out + i, warp(L, load(a + i), set(b)));
    for (; i < n; ++i) out[i] = w(a[i], b);
}

KELMO_SIM_TARGET void cos_turns_lanes(const double* p, uint32_t n, double* out) {
    uint32_t i = 0;
    for (; i + kLanes <= n; i += kLanes) store(out + i, cos_turns(load(p + i)));
    for (; i < n; ++i) out[i] = CosTurns::eval(p[i]);
}

}  // namespace
}  // namespace kelmo::sim::detail
