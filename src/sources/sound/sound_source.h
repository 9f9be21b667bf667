// The PC sound card's waveform input (card type 800), as a source.
#pragma once

#include "sources/source.h"

namespace kelmo::sound {

class SoundSource final : public Source {
public:
    int single_block(const SingleBlock& r) override;
    int multi_block(const MultiBlock& r) override;
    int start(const ContinuousStart& r) override;
    int fetch(const ContinuousFetch& r) override;
    void stop(uint32_t* handleWord, int32_t type) override;
    bool chooses_divider() const override { return true; }
    Divider choose_divider(double frequency) override;
    int check(char* text, int* status) override;
    void refine_row(LiveRow& row) override;
    std::optional<ExtendedRow> extended_row(int32_t type) override;
    bool refine_offer(Offer& offer) override;
    Divider offered_divider(const Offer& offer, double rate) override;
    int32_t most_block_samples() const override;
    double conversion_gain() const override;
};

Source& sound_source();

}  // namespace kelmo::sound
