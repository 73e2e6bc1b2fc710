// valuation/config_table.hpp: which pricing method values which kind of option.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "fdm/fdm_problem.hpp"
#include "instrument/stock_option.hpp"

namespace sorvik {

enum class MethodTag : uint8_t {
    FdmDefault = 0,       // finite differences, default settings
    FdmWithSettings = 1,  // finite differences, `settings`
    Analytic = 2,
    Unset = 3,
};

struct PricingMethod {
    MethodTag tag = MethodTag::Unset;
    FdmSettings settings;  // meaningful for FdmWithSettings only
};

/// A method and the option kinds it is for; an empty list means all values.
/// The lists only grow and may repeat values.
struct InstrumentPolicy {
    PricingMethod method;
    std::vector<ExerciseStyle> exercise_styles;
    std::vector<OptionType> option_types;
};

/// Four method slots: (American, Put), (American, Call), (European, Put), (European, Call).
class ConfigTable {
public:
    /// All slots unset, then American puts on finite differences with default settings.
    static ConfigTable defaults();

    /// A copy with the policy's method in every slot the policy covers,
    /// including an unset method, which clears those slots.
    ConfigTable with_policy(const InstrumentPolicy& policy) const;

    const PricingMethod& slot(ExerciseStyle style, OptionType type) const { return slots_[index(style, type)]; }

private:
    static std::size_t index(ExerciseStyle style, OptionType type) {
        return (style == ExerciseStyle::American ? 0 : 2) + (type == OptionType::Put ? 0 : 1);
    }

    std::array<PricingMethod, 4> slots_{};
};

}  // namespace sorvik
