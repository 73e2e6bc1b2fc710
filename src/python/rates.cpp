// rates.cpp: the Python classes of the rates: Frequency, Compounding,
// InterestRate and RateCurve.
#include <Python.h>

#include <string>

#include "calendar/day_count.hpp"
#include "calendar/tenor.hpp"
#include "classes.hpp"
#include "fault.hpp"
#include "rates/compounding.hpp"
#include "rates/interest_rate.hpp"
#include "rates/rate_curve.hpp"
#include "runtime/binding.hpp"
#include "runtime/conversions.hpp"
#include "runtime/entry.hpp"
#include "runtime/type_builder.hpp"

namespace sorvik::python {
namespace {

// ---------------------------------------------------------------- Frequency

// Python members by code; the core value is the number of periods per year.
constexpr Frequency kFrequencies[] = {Frequency::Annual, Frequency::SemiAnnual, Frequency::Quarterly,
                                      Frequency::Monthly};

long frequency_code(Frequency f) {
    for (long code = 0; code < 4; ++code)
        if (kFrequencies[code] == f) return code;
    throw Fault("unknown frequency");
}

Ref frequency_repr(PyObject* self) {
    const std::string_view name = diagnostic(extract_copy<Frequency>(self));
    return check(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

Ref frequency_int(PyObject* self) { return int_object(frequency_code(extract_copy<Frequency>(self))); }

Ref frequency_value(PyObject* self) { return int_object(static_cast<long>(extract_copy<Frequency>(self))); }

void add_frequency_members(PyTypeObject* type) {
    for (Frequency f : kFrequencies) add_member(type, std::string(diagnostic(f)).c_str(), f);
}

// ---------------------------------------------------------------- Compounding

constexpr ArgumentSpec<1> kCompounded{"Compounding", "compounded", {"freq"}, 1};
constexpr ArgumentSpec<1> kSimpleThenCompounded{"Compounding", "simple_then_compounded", {"freq"}, 1};

Ref compounding_simple(PyObject*) { return new_instance(Compounding::simple()); }
Ref compounding_continuous(PyObject*) { return new_instance(Compounding::continuous()); }

template <const ArgumentSpec<1>& Spec, Compounding (*Make)(Frequency)>
Ref compounding_with_frequency(const CallArgs& args) {
    const auto bound = bind_arguments(Spec, args);
    return new_instance(Make(convert_argument("freq", extract_copy<Frequency>, bound[0])));
}

Ref compounding_repr(PyObject* self) {
    return check(PyUnicode_FromString(("Compounding." + extract_copy<Compounding>(self).diagnostic()).c_str()));
}

// ---------------------------------------------------------------- InterestRate

constexpr ArgumentSpec<3> kInterestRateNew{"InterestRate", "__new__", {"rate", "compounding", "dcc"}, 3};
constexpr ArgumentSpec<1> kInterestRateDiscount{"InterestRate", "discount_factor", {"t"}, 1};

Ref interest_rate_new(const CallArgs& args) {
    const auto bound = bind_arguments(kInterestRateNew, args);
    const double rate = convert_argument("rate", extract_float, bound[0]);
    const auto compounding = convert_argument("compounding", extract_copy<Compounding>, bound[1]);
    auto dcc = convert_argument("dcc", extract_copy<DayCountConvention>, bound[2]);
    return new_instance(InterestRate{rate, compounding, std::move(dcc)});
}

Ref interest_rate_discount_factor(PyObject* self, const CallArgs& args) {
    const auto bound = bind_arguments(kInterestRateDiscount, args);
    const SharedRef<InterestRate> rate(cast_instance<InterestRate>(self));
    return float_object(rate->discount_factor(convert_argument("t", extract_float, bound[0])));
}

// ---------------------------------------------------------------- RateCurve

constexpr ArgumentSpec<1> kCurveFlat{"RateCurve", "flat", {"rate"}, 1};
constexpr ArgumentSpec<2> kCurveContinuous{"RateCurve", "continuous", {"rate", "day_count_convention"}, 2};
constexpr ArgumentSpec<3> kCurveInterpolated{"RateCurve", "interpolated", {"reference_date", "tenors", "rates"}, 3};
constexpr ArgumentSpec<1> kCurveZeroRate{"RateCurve", "zero_rate", {"t"}, 1};
constexpr ArgumentSpec<1> kCurveDiscount{"RateCurve", "discount_factor", {"t"}, 1};

Ref curve_flat(const CallArgs& args) {
    const auto bound = bind_arguments(kCurveFlat, args);
    return new_instance(RateCurve::flat(convert_argument("rate", extract_copy<InterestRate>, bound[0])));
}

Ref curve_continuous(const CallArgs& args) {
    const auto bound = bind_arguments(kCurveContinuous, args);
    const double rate = convert_argument("rate", extract_float, bound[0]);
    auto dcc = convert_argument("day_count_convention", extract_copy<DayCountConvention>, bound[1]);
    return new_instance(RateCurve::continuous(rate, std::move(dcc)));
}

Ref curve_interpolated(const CallArgs& args) {
    const auto bound = bind_arguments(kCurveInterpolated, args);
    const Date reference_date = convert_argument("reference_date", extract_date, bound[0]);
    auto tenors = convert_argument(
        "tenors", [](PyObject* obj) { return extract_sequence<Tenor>(obj, &extract_copy<Tenor>); }, bound[1]);
    auto rates = convert_argument(
        "rates", [](PyObject* obj) { return extract_sequence<InterestRate>(obj, &extract_copy<InterestRate>); },
        bound[2]);
    return new_instance(RateCurve::interpolated(reference_date, std::move(tenors), std::move(rates)));
}

template <const ArgumentSpec<1>& Spec, double (RateCurve::*Read)(double) const>
Ref curve_read(PyObject* self, const CallArgs& args) {
    const auto bound = bind_arguments(Spec, args);
    const SharedRef<RateCurve> curve(cast_instance<RateCurve>(self));
    return float_object(((*curve).*Read)(convert_argument("t", extract_float, bound[0])));
}

}  // namespace

template <>
PyTypeObject* type_object<Frequency>() {
    static PyGetSetDef attributes[] = {attribute<frequency_value>("value"), end_of_attributes()};
    static const ClassSpec spec{
        .qualified_name = "builtins.Frequency",
        .repr = &unary_entry<frequency_repr>,
        .as_int = &unary_entry<frequency_int>,
        .attributes = attributes,
        .populate = &add_frequency_members,
    };
    return cached_type<Frequency>(spec);
}

template <>
PyTypeObject* type_object<Compounding>() {
    static PyMethodDef methods[] = {
        noargs_static_method<compounding_simple>("simple", "simple()\n--\n\n"),
        static_method<compounding_with_frequency<kCompounded, &Compounding::compounded>>("compounded",
                                                                                          "compounded(freq)\n--\n\n"),
        noargs_static_method<compounding_continuous>("continuous", "continuous()\n--\n\n"),
        static_method<compounding_with_frequency<kSimpleThenCompounded, &Compounding::simple_then_compounded>>(
            "simple_then_compounded", "simple_then_compounded(freq)\n--\n\n"),
        end_of_methods(),
    };
    static const ClassSpec spec{
        .qualified_name = "builtins.Compounding",
        .repr = &unary_entry<compounding_repr>,
        .methods = methods,
    };
    return cached_type<Compounding>(spec);
}

template <>
PyTypeObject* type_object<InterestRate>() {
    static PyMethodDef methods[] = {
        method<interest_rate_discount_factor>("discount_factor", "discount_factor($self, t)\n--\n\n"),
        end_of_methods(),
    };
    static const ClassSpec spec{
        .qualified_name = "builtins.InterestRate",
        .doc = "InterestRate(rate, compounding, dcc)\n--\n\n",
        .constructor = &constructor_entry<interest_rate_new>,
        .methods = methods,
    };
    return cached_type<InterestRate>(spec);
}

template <>
PyTypeObject* type_object<RateCurve>() {
    static PyMethodDef methods[] = {
        static_method<curve_flat>("flat", "flat(rate)\n--\n\n"),
        static_method<curve_continuous>("continuous", "continuous(rate, day_count_convention)\n--\n\n"),
        static_method<curve_interpolated>("interpolated", "interpolated(reference_date, tenors, rates)\n--\n\n"),
        method<curve_read<kCurveZeroRate, &RateCurve::zero_rate>>("zero_rate", "zero_rate($self, t)\n--\n\n"),
        method<curve_read<kCurveDiscount, &RateCurve::discount_factor>>("discount_factor",
                                                                         "discount_factor($self, t)\n--\n\n"),
        end_of_methods(),
    };
    static const ClassSpec spec{
        .qualified_name = "builtins.RateCurve",
        .methods = methods,
    };
    return cached_type<RateCurve>(spec);
}

}  // namespace sorvik::python
