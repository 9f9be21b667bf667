// How zebsim's card stores a reading in its raw words, per card type:
// written from the cards' data sheets on their own, not taken from the
// library, so that the library's decoding is checked against an encoder
// it does not share.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zebsim {

enum class Encoding {
    None,              // no raw format
    Signed16Of5000,    // v * 6.5536
    Offset16Of5000,    // v * 6.5536 + 32768
    Signed12Of5000,    // 12-bit two's complement of v * 0.4096
    Inverted12Of5000,  // 2048 - v * 0.4096
    Offset12Of5000,    // v * 0.4096 + 2048
    Signed16Of10000,   // v * 3.2768
    Signed16Of1000,    // v * 32.752
    Signed16Of2000,    // v * 16.384
    Signed16Sound,     // the sound card's words (not served by zebsim)
    Signed32Of5000,    // v * 429496.7296
    Signed24Of5000,    // v * 429496.7296, the top 24 bits of 32
    Signed32Of10000,   // v * 214748.3648
};

// The encoding of a card type (831 .. 859 store as the type 30 below).
Encoding encoding_of(int32_t cardType);
// Bytes of one raw word: 4 for the 32-bit encodings, else 2.
std::size_t word_bytes(Encoding e);
// Full scale in engineering units: 10000, 1000 or 2000 for those
// encodings, else 5000.
double full_scale_of(Encoding e);
// The raw word of value v (engineering units, inside the full scale): the
// product truncated toward zero, its low 16 or 32 bits.
uint32_t encode(Encoding e, double v);

}  // namespace zebsim
