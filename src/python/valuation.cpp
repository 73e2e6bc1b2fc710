// valuation.cpp: FdmConfig, InstrumentPolicy, Config, ValuationBuilder,
// OptionResult and Greeks.
#include <Python.h>

#include <cmath>
#include <cstdio>

#include "classes.hpp"
#include "fault.hpp"
#include "runtime/binding.hpp"
#include "runtime/conversions.hpp"
#include "runtime/entry.hpp"
#include "runtime/type_builder.hpp"
#include "valuation/valuation.hpp"

namespace sorvik::python {
namespace {

// ---------------------------------------------------------------- FdmConfig

constexpr ArgumentSpec<3> kFdmConfigNew{"FdmConfig", "__new__", {"time_steps", "nodes", "grid_std_devs"}, 0};

Ref fdm_config_new(const CallArgs& args) {
    const auto bound = bind_arguments(kFdmConfigNew, args);
    FdmSettings settings;
    if (PyObject* steps = given(bound[0])) settings.time_steps = convert_argument("time_steps", extract_u64, steps);
    // An odd node count puts the strike on the middle node.
    if (PyObject* nodes = given(bound[1])) settings.nodes = convert_argument("nodes", extract_u64, nodes) | 1u;
    if (PyObject* width = given(bound[2])) {
        settings.grid_std_devs = convert_argument("grid_std_devs", extract_float, width);
        check_grid_std_devs(settings.grid_std_devs);
    }
    return new_instance(settings);
}

// ---------------------------------------------------------------- InstrumentPolicy

constexpr ArgumentSpec<0> kPolicyNew{"InstrumentPolicy", "__new__", {}, 0};
constexpr ArgumentSpec<1> kPolicyFdm{"InstrumentPolicy", "fdm", {"fdm_config"}, 0};

Ref policy_new(const CallArgs& args) {
    bind_arguments(kPolicyNew, args);
    return new_instance(InstrumentPolicy{});
}

/// Applies `change` to a copy of the policy, stores it, returns the receiver.
template <class Change>
Ref update_policy(PyObject* self, Change&& change) {
    auto& policy = cast_instance<InstrumentPolicy>(self);
    ExclusiveBorrow borrow(policy.borrow);
    InstrumentPolicy next = policy.value;
    change(next);
    policy.value = std::move(next);
    return Ref::borrow(self);
}

template <OptionType Type>
Ref policy_add_type(PyObject* self) {
    return update_policy(self, [](InstrumentPolicy& p) { p.option_types.push_back(Type); });
}

template <ExerciseStyle Style>
Ref policy_add_style(PyObject* self) {
    return update_policy(self, [](InstrumentPolicy& p) { p.exercise_styles.push_back(Style); });
}

Ref policy_analytic(PyObject* self) {
    return update_policy(self, [](InstrumentPolicy& p) { p.method = PricingMethod{MethodTag::Analytic, {}}; });
}

Ref policy_fdm(PyObject* self, const CallArgs& args) {
    const auto bound = bind_arguments(kPolicyFdm, args);
    auto& policy = cast_instance<InstrumentPolicy>(self);
    ExclusiveBorrow borrow(policy.borrow);
    PricingMethod method{MethodTag::FdmDefault, {}};
    if (PyObject* config = given(bound[0]))
        method = {MethodTag::FdmWithSettings, convert_argument("fdm_config", extract_copy<FdmSettings>, config)};
    policy.value.method = method;
    return Ref::borrow(self);
}

// ---------------------------------------------------------------- Config

constexpr ArgumentSpec<0> kConfigNew{"Config", "__new__", {}, 0};
constexpr ArgumentSpec<1> kAddPolicy{"Config", "add_policy", {"policy"}, 1};

Ref config_new(const CallArgs& args) {
    bind_arguments(kConfigNew, args);
    return new_instance(ConfigHolder{std::make_shared<const ConfigTable>(ConfigTable::defaults())});
}

Ref config_add_policy(PyObject* self, const CallArgs& args) {
    const auto bound = bind_arguments(kAddPolicy, args);
    auto& config = cast_instance<ConfigHolder>(self);
    ExclusiveBorrow borrow(config.borrow);
    const auto policy = convert_argument("policy", extract_copy<InstrumentPolicy>, bound[0]);
    config.value.table = std::make_shared<const ConfigTable>(config.value.table->with_policy(policy));
    return Ref::borrow(self);
}

// ---------------------------------------------------------------- ValuationBuilder

constexpr const char* kNaiveTime = "Expiry must have a timezone specified (e.g. New York or UTC)";
constexpr const char* kInvalidTime = "Invalid timestamp";

constexpr ArgumentSpec<1> kBuilderNew{"ValuationBuilder", "__new__", {"instrument"}, 1};
constexpr ArgumentSpec<1> kBuilderMarket{"ValuationBuilder", "market", {"market_frame"}, 1};
constexpr ArgumentSpec<1> kBuilderConfig{"ValuationBuilder", "config", {"config"}, 0};
constexpr ArgumentSpec<1> kBuilderAt{"ValuationBuilder", "at", {"valuation_time"}, 0};

Ref builder_new(const CallArgs& args) {
    const auto bound = bind_arguments(kBuilderNew, args);
    convert_argument("instrument", cast_instance<StockOption>, bound[0]);
    return new_valuation_builder(bound[0]);
}

/// Runs a setter under the builder's exclusive borrow and returns the builder.
template <class Set>
Ref update_builder(PyObject* self, Set&& set) {
    auto& builder = cast_instance<ValuationRequest>(self);
    ExclusiveBorrow borrow(builder.borrow);
    set(builder.value);
    return Ref::borrow(self);
}

Ref builder_market(PyObject* self, const CallArgs& args) {
    const auto bound = bind_arguments(kBuilderMarket, args);
    return update_builder(self, [&](ValuationRequest& request) {
        convert_argument("market_frame", cast_instance<MarketFrame>, bound[0]);
        request.market_frame = Ref::borrow(bound[0]);
    });
}

Ref builder_config(PyObject* self, const CallArgs& args) {
    const auto bound = bind_arguments(kBuilderConfig, args);
    return update_builder(self, [&](ValuationRequest& request) {
        PyObject* config = given(bound[0]);
        if (config) convert_argument("config", cast_instance<ConfigHolder>, config);
        request.config = Ref::borrow(config);
    });
}

Ref builder_at(PyObject* self, const CallArgs& args) {
    const auto bound = bind_arguments(kBuilderAt, args);
    return update_builder(self, [&](ValuationRequest& request) {
        PyObject* when = given(bound[0]);
        std::optional<UtcInstant> time;
        if (when) time = extract_aware_instant("valuation_time", when, InstantMode::Flooring, kNaiveTime, kInvalidTime);
        request.valuation_time = time;
    });
}

/// A referenced object's value, read under a shared borrow; a writer holding
/// it would be a broken invariant of the valuation, hence a fault.
template <class T>
SharedRef<T> read_referenced(PyObject* obj) {
    try {
        return SharedRef<T>(cast_instance<T>(obj));
    } catch (const PyError& e) {
        throw Fault(e.message);
    }
}

/// Between time steps: stop a long run when a signal handler raised (Ctrl-C).
bool interrupted(void*) { return PyErr_CheckSignals() != 0; }

Ref builder_compute(PyObject* self) {
    const SharedRef<ValuationRequest> request(cast_instance<ValuationRequest>(self));
    const auto option = read_referenced<StockOption>(request->instrument.get());
    std::shared_ptr<const MarketData> market;
    if (request->market_frame) market = read_referenced<MarketFrame>(request->market_frame.get())->data;
    std::shared_ptr<const ConfigTable> table;
    if (request->config) table = read_referenced<ConfigHolder>(request->config.get())->table;
    return new_instance(value_option(*option, market.get(), table.get(), request->valuation_time,
                                     CancellationHook{&interrupted, nullptr}));
}

// ---------------------------------------------------------------- OptionResult, Greeks

// Results are complete when created and no call ever writes them, so no
// writer can exist and their readers skip the shared borrow: it could never
// fail, and the two atomic updates would be most of an attribute read's cost.
template <class T>
const T& result_value(PyObject* self) {
    return cast_instance<T>(self).value;
}

/// Four decimals, correctly rounded from the exact double (ties to even).
Ref result_repr(PyObject* self) {
    const double price = result_value<OptionResult>(self).price;
    char digits[400];
    if (std::isnan(price))
        std::snprintf(digits, sizeof digits, "NaN");
    else if (std::isinf(price))
        std::snprintf(digits, sizeof digits, price > 0 ? "inf" : "-inf");
    else
        std::snprintf(digits, sizeof digits, "%.4f", price);
    return check(PyUnicode_FromFormat("<OptionResult price=%s>", digits));
}

Ref result_price(PyObject* self) { return float_object(result_value<OptionResult>(self).price); }

Ref result_greeks(PyObject* self) { return new_instance(Greeks(result_value<OptionResult>(self).greeks)); }

template <double Greeks::*Field>
Ref greek(PyObject* self) {
    return float_object(result_value<Greeks>(self).*Field);
}

template <std::optional<double> Greeks::*Field>
Ref optional_greek(PyObject* self) {
    const std::optional<double>& value = result_value<Greeks>(self).*Field;
    return value ? float_object(*value) : Ref::borrow(Py_None);
}

}  // namespace

Ref new_valuation_builder(PyObject* instrument) {
    return new_instance(ValuationRequest{Ref::borrow(instrument), Ref(), Ref(), std::nullopt});
}

template <>
PyTypeObject* type_object<FdmSettings>() {
    static const ClassSpec spec{
        .qualified_name = "builtins.FdmConfig",
        .doc = "FdmConfig(time_steps=None, nodes=None, grid_std_devs=None)\n--\n\n",
        .constructor = &constructor_entry<fdm_config_new>,
    };
    return cached_type<FdmSettings>(spec);
}

template <>
PyTypeObject* type_object<InstrumentPolicy>() {
    static PyMethodDef methods[] = {
        noargs_method<policy_add_style<ExerciseStyle::American>>("american", "american($self)\n--\n\n"),
        noargs_method<policy_add_style<ExerciseStyle::European>>("european", "european($self)\n--\n\n"),
        noargs_method<policy_add_type<OptionType::Put>>("put", "put($self)\n--\n\n"),
        noargs_method<policy_add_type<OptionType::Call>>("call", "call($self)\n--\n\n"),
        noargs_method<policy_analytic>("analytic", "analytic($self)\n--\n\n"),
        method<policy_fdm>("fdm", "fdm($self, fdm_config=None)\n--\n\n"),
        end_of_methods(),
    };
    static const ClassSpec spec{
        .qualified_name = "builtins.InstrumentPolicy",
        .doc = "InstrumentPolicy()\n--\n\n",
        .constructor = &constructor_entry<policy_new>,
        .methods = methods,
    };
    return cached_type<InstrumentPolicy>(spec);
}

template <>
PyTypeObject* type_object<ConfigHolder>() {
    static PyMethodDef methods[] = {
        method<config_add_policy>("add_policy", "add_policy($self, policy)\n--\n\n"),
        end_of_methods(),
    };
    static const ClassSpec spec{
        .qualified_name = "builtins.Config",
        .doc = "Config()\n--\n\n",
        .constructor = &constructor_entry<config_new>,
        .methods = methods,
    };
    return cached_type<ConfigHolder>(spec);
}

template <>
PyTypeObject* type_object<ValuationRequest>() {
    static PyMethodDef methods[] = {
        method<builder_market>("market", "market($self, market_frame)\n--\n\n"),
        method<builder_at>("at", "at($self, valuation_time=None)\n--\n\n"),
        method<builder_config>("config", "config($self, config=None)\n--\n\n"),
        noargs_method<builder_compute>("compute", "compute($self)\n--\n\n"),
        end_of_methods(),
    };
    static const ClassSpec spec{
        .qualified_name = "builtins.ValuationBuilder",
        .doc = "ValuationBuilder(instrument)\n--\n\n",
        .constructor = &constructor_entry<builder_new>,
        .methods = methods,
    };
    return cached_type<ValuationRequest>(spec);
}

template <>
PyTypeObject* type_object<OptionResult>() {
    static PyGetSetDef attributes[] = {
        attribute<result_price>("price"),
        attribute<result_greeks>("greeks"),
        end_of_attributes(),
    };
    static const ClassSpec spec{
        .qualified_name = "builtins.OptionResult",
        .repr = &unary_entry<result_repr>,
        .attributes = attributes,
    };
    return cached_type<OptionResult>(spec);
}

template <>
PyTypeObject* type_object<Greeks>() {
    static PyGetSetDef attributes[] = {
        attribute<greek<&Greeks::delta>>("delta"),
        attribute<greek<&Greeks::gamma>>("gamma"),
        attribute<greek<&Greeks::theta>>("theta"),
        attribute<optional_greek<&Greeks::vega>>("vega"),
        attribute<optional_greek<&Greeks::rho>>("rho"),
        end_of_attributes(),
    };
    static const ClassSpec spec{
        .qualified_name = "builtins.Greeks",
        .attributes = attributes,
    };
    return cached_type<Greeks>(spec);
}

}  // namespace sorvik::python
