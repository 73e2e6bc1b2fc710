// instrument/stock_option.hpp: the equity option that the library values.
#pragma once

#include <cstdint>

#include "calendar/date.hpp"

namespace sorvik {

enum class OptionType : uint8_t { Call = 0, Put = 1 };
enum class ExerciseStyle : uint8_t { American = 0, European = 1 };

struct StockOption {
    double strike = 0.0;
    UtcInstant expiry;
    OptionType option_type = OptionType::Call;
    ExerciseStyle exercise_style = ExerciseStyle::American;
};

}  // namespace sorvik
