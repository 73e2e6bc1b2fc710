// Helpers shared by the core test files.
#pragma once

#include <cstdint>
#include <string>

#include "calendar/date.hpp"
#include "fault.hpp"

namespace sorvik::testing {

inline Date ymd(int32_t y, uint32_t m, uint32_t d) { return *make_date(y, m, d); }

/// The message of the Fault that `f` throws, or "<no fault>".
template <class F>
std::string fault_of(F&& f) {
    try {
        f();
    } catch (const Fault& e) {
        return e.message();
    }
    return "<no fault>";
}

}  // namespace sorvik::testing
