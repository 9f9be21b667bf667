// The acquisition cards behind the device driver, as a source.
#pragma once

#include "sources/source.h"

namespace kelmo::driver {

class DriverSource final : public Source {
public:
    int single_block(const SingleBlock& r) override;
    int multi_block(const MultiBlock& r) override;
    int start(const ContinuousStart& r) override;
    int fetch(const ContinuousFetch& r) override;
    void stop(uint32_t* handleWord, int32_t type) override;
    TriggerOutcome hardware_trigger(const HardwareTrigger& r) override;  // hardware_trigger.cpp
    int check(char* text, int* status) override;
};

Source& driver_source();

}  // namespace kelmo::driver
