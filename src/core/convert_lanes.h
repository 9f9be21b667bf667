// The formulas of the conversion groups on vectors of doubles, written once
// for the vector kernels. A kernel's file includes this inside its unnamed
// namespace in kelmo::conv after it has defined its vector V, the
// attribute KELMO_CONV_LANES of its instruction set, and set (a constant
// in every lane), mul, add, sub and div. Each formula does the scalar
// formula's operations in its order (convert.h's eng_fp and raw_fp), so
// that every kernel gives the same bits.

// Engineering values from the integer stage d (as doubles) of a group.
template <ConvGroup G>
KELMO_CONV_LANES V v_eng_fp(V d, V gain) {
    using enum ConvGroup;
    if constexpr (G == Signed16) return mul(d, set(kEng16Bit));
    if constexpr (G == Offset16) return sub(mul(d, set(kEng16Bit)), set(5000.0));
    if constexpr (G == Signed12 || G == Offset12) return sub(mul(d, set(kEng12Bit)), set(5000.0));
    if constexpr (G == Offset12Inverted) return sub(set(5000.0), mul(d, set(kEng12Bit)));
    if constexpr (G == Signed16Range10k || G == Signed16Range2k) return mul(d, set(kEngFraction16));
    if constexpr (G == Signed16Per1000) return mul(d, set(kEngSigned16Per1000));
    if constexpr (G == Sound) return mul(mul(d, gain), set(kEngSound));
    if constexpr (G == Signed32 || G == Signed24In32) return mul(d, set(kEng32Bit));
    if constexpr (G == Signed32Range10k) return mul(d, set(kEngSigned32Range10k));
}

// What engineering values v become before their truncation to raw words;
// `divisor` is the sound group's gain x kSoundFullScale.
template <ConvGroup G>
KELMO_CONV_LANES V v_raw_fp(V v, V divisor) {
    using enum ConvGroup;
    if constexpr (G == Signed16) return mul(v, set(kRaw16Bit));
    if constexpr (G == Offset16) return add(mul(v, set(kRaw16Bit)), set(32768.0));
    if constexpr (G == Signed12 || G == Offset12) return add(mul(v, set(kRaw12Bit)), set(2048.0));
    if constexpr (G == Offset12Inverted) return sub(set(2048.0), mul(v, set(kRaw12Bit)));
    if constexpr (G == Signed16Range10k) return mul(v, set(kRawSigned16Range10k));
    if constexpr (G == Signed16Per1000) return mul(v, set(kRawSigned16Per1000));
    if constexpr (G == Signed16Range2k) return mul(v, set(kRawSigned16Range2k));
    if constexpr (G == Sound) return div(mul(v, set(32768.0)), divisor);
    if constexpr (G == Signed32 || G == Signed24In32) return mul(v, set(kRaw32Bit));
    if constexpr (G == Signed32Range10k) return mul(v, set(kRawSigned32Range10k));
}
