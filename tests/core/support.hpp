// Helpers shared by the core test files.
#pragma once

#include <cstdint>
#include <string>

#include "calendar/date.hpp"
#include "fault.hpp"

namespace sorvik::testing {

inline Date ymd(int32_t y, uint32_t m, uint32_t d) { return *make_date(y, m, d); }

/// The what() of the E that `f` throws, or "<nothing thrown>".
template <class E, class F>
std::string message_of(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

template <class F>
std::string fault_of(F&& f) {
    return message_of<Fault>(f);
}

}  // namespace sorvik::testing
