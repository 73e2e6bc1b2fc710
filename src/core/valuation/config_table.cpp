// valuation/config_table.cpp: applying policies to the method table.
#include "valuation/config_table.hpp"

#include <algorithm>

namespace sorvik {
namespace {

template <class T>
bool covers(const std::vector<T>& values, T value) {
    return values.empty() || std::find(values.begin(), values.end(), value) != values.end();
}

}  // namespace

ConfigTable ConfigTable::defaults() {
    InstrumentPolicy american_puts{{MethodTag::FdmDefault, {}}, {ExerciseStyle::American}, {OptionType::Put}};
    return ConfigTable{}.with_policy(american_puts);
}

ConfigTable ConfigTable::with_policy(const InstrumentPolicy& policy) const {
    ConfigTable next = *this;
    for (const auto style : {ExerciseStyle::American, ExerciseStyle::European}) {
        if (!covers(policy.exercise_styles, style)) continue;
        for (const auto type : {OptionType::Call, OptionType::Put})
            if (covers(policy.option_types, type)) next.slots_[index(style, type)] = policy.method;
    }
    return next;
}

}  // namespace sorvik
