#pragma once
// What the repair needs to know of a stream that the check (-c, with its
// problems recorded) has scanned, beside the layout.

#include "repair/repair_plan.hpp"
#include "scan/scan_state.hpp"

namespace framelint {

repair_facts repair_facts_of(const scan_state& st);

}  // namespace framelint
