// The simulated source behind the acquisition exports: blocks and
// continuous acquisitions synthesised from the published parameter block.
#pragma once

#include "sources/source.h"

namespace kelmo::sim {

class SimulatedSource final : public Source {
public:
    // blocks.cpp
    int single_block(const SingleBlock& r) override;
    int multi_block(const MultiBlock& r) override;

    // continuous.cpp
    int start(const ContinuousStart& r) override;
    int fetch(const ContinuousFetch& r) override;
    void stop(uint32_t* handleWord, int32_t type) override;
    void forget(const uint32_t* handleWord, bool secondUnit) override;
    bool fetches_any_length() const override { return true; }

    // simulated.cpp
    bool chooses_divider() const override { return true; }
    Divider choose_divider(double frequency) override;
    int check(char* text, int* status) override;
    std::optional<ExtendedRow> extended_row(int32_t type) override;
    Divider offered_divider(const Offer& offer, double rate) override;
};

Source& simulated_source();

// Entry k of the simulated source for the i-th requested channel.
inline int entry_of(int32_t first, int32_t i) { return static_cast<int>(((int64_t{first} + i) % 32 + 32) % 32); }

}  // namespace kelmo::sim
