// instrument.cpp: OptionType, ExerciseStyle and StockOption.
#include <Python.h>

#include "calendar/clock.hpp"
#include "calendar/day_count.hpp"
#include "classes.hpp"
#include "instrument/stock_option.hpp"
#include "runtime/binding.hpp"
#include "runtime/conversions.hpp"
#include "runtime/entry.hpp"
#include "runtime/type_builder.hpp"

namespace sorvik::python {
namespace {

// ---------------------------------------------------------------- OptionType, ExerciseStyle

constexpr const char* kOptionTypeReprs[] = {"OptionType.Call", "OptionType.Put"};
constexpr const char* kExerciseStyleReprs[] = {"ExerciseStyle.American", "ExerciseStyle.European"};

template <class Enum, const char* const* Reprs>
Ref enum_repr(PyObject* self) {
    return check(PyUnicode_FromString(Reprs[static_cast<int>(extract_copy<Enum>(self))]));
}

template <class Enum>
Ref enum_int(PyObject* self) {
    return int_object(static_cast<long>(extract_copy<Enum>(self)));
}

void add_option_type_members(PyTypeObject* type) {
    add_member(type, "Call", OptionType::Call);
    add_member(type, "Put", OptionType::Put);
}

void add_exercise_style_members(PyTypeObject* type) {
    add_member(type, "American", ExerciseStyle::American);
    add_member(type, "European", ExerciseStyle::European);
}

// ---------------------------------------------------------------- StockOption

constexpr const char* kNaiveExpiry = "Expiry must have a timezone specified (e.g. New York or UTC)";
constexpr const char* kInvalidExpiry = "Invalid timestamp";
constexpr const char* kNaiveValuationDate = "valuation_date must be timezone-aware (e.g., UTC or New York time)";
constexpr const char* kInvalidValuationDate = "Invalid valuation_date timestamp";

constexpr ArgumentSpec<4> kStockOptionNew{
    "StockOption", "__new__", {"strike", "expiry_time", "option_type", "exercise_style"}, 4};
constexpr ArgumentSpec<1> kYearsToExpiry{"StockOption", "years_to_expiry", {"valuation_date"}, 0};

Ref stock_option_new(const CallArgs& args) {
    const auto bound = bind_arguments(kStockOptionNew, args);
    const double strike = convert_argument("strike", extract_float, bound[0]);
    convert_argument("expiry_time", require_datetime, bound[1]);
    const auto option_type = convert_argument("option_type", extract_copy<OptionType>, bound[2]);
    const auto exercise_style = convert_argument("exercise_style", extract_copy<ExerciseStyle>, bound[3]);
    // The expiry's own methods run only once every argument has converted.
    const UtcInstant expiry = aware_instant(bound[1], InstantMode::Truncating, kNaiveExpiry, kInvalidExpiry);
    return new_instance(StockOption{strike, expiry, option_type, exercise_style});
}

Ref stock_option_strike(PyObject* self) {
    return float_object(SharedRef<StockOption>(cast_instance<StockOption>(self))->strike);
}

Ref years_to_expiry(PyObject* self, const CallArgs& args) {
    const auto bound = bind_arguments(kYearsToExpiry, args);
    const SharedRef<StockOption> option(cast_instance<StockOption>(self));
    const UtcInstant valuation =
        given(bound[0]) ? extract_aware_instant("valuation_date", bound[0], InstantMode::Flooring,
                                                kNaiveValuationDate, kInvalidValuationDate)
                        : wall_clock_now();
    return float_object(year_fraction(valuation, option->expiry, Actual365Fixed{}));
}

/// A builder that refers to this very option; its value is not read, only
/// checked to exist, so that no builder refers to an option never built.
Ref stock_option_valuation(PyObject* self) {
    cast_instance<StockOption>(self);
    return new_valuation_builder(self);
}

}  // namespace

template <>
PyTypeObject* type_object<OptionType>() {
    static const ClassSpec spec{
        .qualified_name = "builtins.OptionType",
        .repr = &unary_entry<enum_repr<OptionType, kOptionTypeReprs>>,
        .as_int = &unary_entry<enum_int<OptionType>>,
        .populate = &add_option_type_members,
    };
    return cached_type<OptionType>(spec);
}

template <>
PyTypeObject* type_object<ExerciseStyle>() {
    static const ClassSpec spec{
        .qualified_name = "builtins.ExerciseStyle",
        .repr = &unary_entry<enum_repr<ExerciseStyle, kExerciseStyleReprs>>,
        .as_int = &unary_entry<enum_int<ExerciseStyle>>,
        .populate = &add_exercise_style_members,
    };
    return cached_type<ExerciseStyle>(spec);
}

template <>
PyTypeObject* type_object<StockOption>() {
    static PyMethodDef methods[] = {
        method<years_to_expiry>("years_to_expiry", "years_to_expiry($self, valuation_date=None)\n--\n\n"),
        noargs_method<stock_option_valuation>("valuation", "valuation($self)\n--\n\n"),
        end_of_methods(),
    };
    static PyGetSetDef attributes[] = {attribute<stock_option_strike>("strike"), end_of_attributes()};
    static const ClassSpec spec{
        .qualified_name = "builtins.StockOption",
        .doc = "StockOption(strike, expiry_time, option_type, exercise_style)\n--\n\n",
        .constructor = &constructor_entry<stock_option_new>,
        .methods = methods,
        .attributes = attributes,
    };
    return cached_type<StockOption>(spec);
}

}  // namespace sorvik::python
