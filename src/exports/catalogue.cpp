// GetADParameter, GetADParameterEx, SetChannelOK, GetCardWordType and the
// fixed-answer exports.
#include <algorithm>
#include <span>

#include "core/card_type.h"
#include "core/catalogue.h"
#include "core/messages.h"
#include "core/share_block.h"
#include "exports/guard.h"
#include "kelmo.h"
#include "sources/source.h"

using namespace kelmo;

namespace {

template <class T, class U>
void copy_list(std::span<const T> list, U* out) {
    if (out) std::copy(list.begin(), list.end(), out);
}

}  // namespace

extern "C" {

KELMO_API void KELMO_CALL GetADParameter(int cardType, int* channels, double* gains, int* gainCount, int* freqs,
                                         int* freqCount, int* auxCode, double* highFreq, double* lowFreq,
                                         int* fullScale) {
    guarded_void("GetADParameter", [&] {
        const int32_t code = reduce_code(cardType);
        // The block is kept open for the rest of the process, as the host
        // expects it to persist once the catalogue has been asked.
        const auto block = keep_share_block(false);

        if (const catalogue::Row* row = catalogue::find_row(code)) {
            LiveRow live{row->channels, row->highFreq, row->fullScale};
            source_for(code).refine_row(live);
            const int32_t clockFlag = block ? block->word(kWordClockFlag) : 0;
            const std::span<const int32_t> list = catalogue::frequencies(row->freqs, clockFlag);

            if (channels) *channels = live.channels;
            copy_list(row->gains, gains);
            if (gainCount) *gainCount = static_cast<int>(row->gains.size());
            copy_list(list, freqs);
            if (freqCount) *freqCount = static_cast<int>(list.size());
            if (auxCode) *auxCode = row->auxCode;
            if (highFreq) *highFreq = live.highFreq;
            if (lowFreq) *lowFreq = row->lowFreq;
            if (fullScale) *fullScale = live.fullScale;
        } else if (channels) {
            *channels = 0;
        }
        // The alias codes always report 32 channels, catalogued or not.
        if (is_alias_code(cardType) && channels) *channels = 32;
    });
}

KELMO_API int KELMO_CALL GetADParameterEx(int cardType, AdParamRecord* record, double* gains, int* freqs) {
    return guarded("GetADParameterEx", 0, [&] {
        const int32_t code = reduce_code(cardType);
        keep_share_block(false);
        if (!require(record, "the record is a null pointer; pass an AdParamRecord")) return 0;

        // Defaults, written whatever the card type.
        record->flagA = 1;
        std::fill(std::begin(record->flagsB), std::end(record->flagsB), 0);
        record->bytesPerSample = 2;
        record->reservedZero = 0;

        // Only the sources with an extended entry (not the cards) answer.
        const std::optional<ExtendedRow> x = source_for(code).extended_row(code);
        if (!x) {
            because("card type %d has no extended parameter record (the simulated source and the sound card have "
                    "one); ask GetADParameter instead", static_cast<int>(cardType));
            return 0;
        }
        record->channelCount = x->channels;
        record->auxCode = x->auxCode;
        record->flagA = x->flagA;
        std::fill(std::begin(record->flagsB), std::end(record->flagsB), x->flagsB);
        record->bytesPerSample = x->bytesPerSample;
        record->highFreq = x->highFreq;
        record->lowFreq = x->lowFreq;
        record->fullScale = x->fullScale;
        record->gainCount = static_cast<int32_t>(x->gains.size());
        record->freqCount = static_cast<int32_t>(x->freqs.size());
        copy_list(x->gains, gains);
        copy_list(x->gains, record->gainsOut);
        copy_list(x->freqs, freqs);
        copy_list(x->freqs, record->freqsOut);
        return 1;
    });
}

KELMO_API int KELMO_CALL SetChannelOK(int cardType) {
    return answered("SetChannelOK", 1, [&] { return catalogue::channel_ok(cardType); });
}

KELMO_API void KELMO_CALL GetCardWordType(int cardType, int* wordBytes) {
    guarded_void("GetCardWordType", [&] {
        if (wordBytes) *wordBytes = catalogue::word_bytes(cardType);
    });
}

// One routine under four names: only the card type is read.
KELMO_API int KELMO_CALL SearchNumberOfChannel(int cardType, ...) {
    return answered("SearchNumberOfChannel", 0, [&] { return catalogue::box_answer(cardType); });
}
KELMO_API int KELMO_CALL SetBox(int cardType, ...) {
    return answered("SetBox", 0, [&] { return catalogue::box_answer(cardType); });
}
KELMO_API int KELMO_CALL ReadBoxChannel(int cardType, ...) {
    return answered("ReadBoxChannel", 0, [&] { return catalogue::box_answer(cardType); });
}
KELMO_API int KELMO_CALL SetBoxChannel(int cardType, ...) {
    return answered("SetBoxChannel", 0, [&] { return catalogue::box_answer(cardType); });
}

// Interface places kept for hosts that link them; they answer 0 and read
// no argument.
KELMO_API int KELMO_CALL OpenDeviceDA(void) { return answered("OpenDeviceDA", 0, [] { return 0; }); }
KELMO_API int KELMO_CALL CloseDeviceDA(void) { return answered("CloseDeviceDA", 0, [] { return 0; }); }
KELMO_API int KELMO_CALL DI_R_Line(void) { return answered("DI_R_Line", 0, [] { return 0; }); }
KELMO_API int KELMO_CALL DI_R_Port(void) { return answered("DI_R_Port", 0, [] { return 0; }); }
KELMO_API int KELMO_CALL DO_R_Line(void) { return answered("DO_R_Line", 0, [] { return 0; }); }
KELMO_API int KELMO_CALL DO_R_Port(void) { return answered("DO_R_Port", 0, [] { return 0; }); }
KELMO_API int KELMO_CALL DO_W_Line(void) { return answered("DO_W_Line", 0, [] { return 0; }); }
KELMO_API int KELMO_CALL DO_W_Port(void) { return answered("DO_W_Port", 0, [] { return 0; }); }
KELMO_API int KELMO_CALL GetROUND(void) { return answered("GetROUND", 0, [] { return 0; }); }
KELMO_API int KELMO_CALL StressSet(void) { return answered("StressSet", 0, [] { return 0; }); }
KELMO_API int KELMO_CALL BoxChannelAutoZero(void) { return answered("BoxChannelAutoZero", 0, [] { return 0; }); }
KELMO_API int KELMO_CALL TriMulChSamW(void) { return answered("TriMulChSamW", 0, [] { return 0; }); }

// These do nothing.
KELMO_API void KELMO_CALL RecoverDA(void) {
    guarded_void("RecoverDA", [] {});
}
KELMO_API void KELMO_CALL InitROUND(void) {
    guarded_void("InitROUND", [] {});
}
KELMO_API void KELMO_CALL InitROUND1(void) {
    guarded_void("InitROUND1", [] {});
}

}  // extern "C"
