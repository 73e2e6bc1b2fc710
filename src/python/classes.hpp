// classes.hpp: the module's classes by native value type, for every file
// that checks, reads or creates instances of another file's classes.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>

#include "calendar/date.hpp"
#include "runtime/instance.hpp"
#include "runtime/ref.hpp"

namespace sorvik {
class DayCountConvention;
struct Tenor;
enum class Frequency : uint8_t;
struct Compounding;
struct InterestRate;
class RateCurve;
class VolSurface;
struct MarketData;
struct StockOption;
enum class OptionType : uint8_t;
enum class ExerciseStyle : uint8_t;
struct FdmSettings;
struct InstrumentPolicy;
class ConfigTable;
struct OptionResult;
struct Greeks;
}  // namespace sorvik

namespace sorvik::python {

/// OptionMarketFrame: one immutable market block, shared with every builder
/// and valuation that uses the frame.
struct MarketFrame {
    std::shared_ptr<const MarketData> data;
};

/// Config: the current table; add_policy swaps in a new block, so a running
/// valuation keeps the table it started with.
struct ConfigHolder {
    std::shared_ptr<const ConfigTable> table;
};

/// ValuationBuilder: references to the Python objects, not copies, so a
/// Config changed after handover takes effect at compute.
struct ValuationRequest {
    Ref instrument;    // StockOption, never empty
    Ref market_frame;  // OptionMarketFrame or empty
    Ref config;        // Config or empty
    std::optional<UtcInstant> valuation_time;
};

// calendar.cpp
template <> PyTypeObject* type_object<DayCountConvention>();
template <> PyTypeObject* type_object<Tenor>();
// rates.cpp
template <> PyTypeObject* type_object<Frequency>();
template <> PyTypeObject* type_object<Compounding>();
template <> PyTypeObject* type_object<InterestRate>();
template <> PyTypeObject* type_object<RateCurve>();
// market.cpp
template <> PyTypeObject* type_object<VolSurface>();
template <> PyTypeObject* type_object<MarketFrame>();
// instrument.cpp
template <> PyTypeObject* type_object<StockOption>();
template <> PyTypeObject* type_object<OptionType>();
template <> PyTypeObject* type_object<ExerciseStyle>();
// valuation.cpp
template <> PyTypeObject* type_object<FdmSettings>();
template <> PyTypeObject* type_object<InstrumentPolicy>();
template <> PyTypeObject* type_object<ConfigHolder>();
template <> PyTypeObject* type_object<ValuationRequest>();
template <> PyTypeObject* type_object<OptionResult>();
template <> PyTypeObject* type_object<Greeks>();

/// A new ValuationBuilder for `instrument` (a StockOption), nothing else set.
Ref new_valuation_builder(PyObject* instrument);

}  // namespace sorvik::python
