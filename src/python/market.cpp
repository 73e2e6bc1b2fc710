// market.cpp: the Python classes of the market data: VolSurface and OptionMarketFrame.
#include <Python.h>

#include <memory>

#include "calendar/day_count.hpp"
#include "classes.hpp"
#include "market/market_data.hpp"
#include "market/vol_surface.hpp"
#include "rates/rate_curve.hpp"
#include "runtime/binding.hpp"
#include "runtime/conversions.hpp"
#include "runtime/entry.hpp"
#include "runtime/type_builder.hpp"

namespace sorvik::python {
namespace {

// ---------------------------------------------------------------- VolSurface

constexpr ArgumentSpec<2> kSurfaceFlat{"VolSurface", "flat", {"vol", "day_count"}, 2};
constexpr ArgumentSpec<2> kSurfaceVolatility{"VolSurface", "volatility", {"strike", "t"}, 2};

Ref surface_flat(const CallArgs& args) {
    const auto bound = bind_arguments(kSurfaceFlat, args);
    const double vol = convert_argument("vol", extract_float, bound[0]);
    auto day_count = convert_argument("day_count", extract_copy<DayCountConvention>, bound[1]);
    return new_instance(VolSurface::flat(vol, std::move(day_count)));
}

Ref surface_volatility(PyObject* self, const CallArgs& args) {
    const auto bound = bind_arguments(kSurfaceVolatility, args);
    const SharedRef<VolSurface> surface(cast_instance<VolSurface>(self));
    const double strike = convert_argument("strike", extract_float, bound[0]);
    const double t = convert_argument("t", extract_float, bound[1]);
    return float_object(surface->volatility(strike, t));
}

// ---------------------------------------------------------------- OptionMarketFrame

constexpr ArgumentSpec<3> kFrameNew{"OptionMarketFrame", "__new__", {"spot", "rate_curve", "vol_surface"}, 3};

Ref frame_new(const CallArgs& args) {
    const auto bound = bind_arguments(kFrameNew, args);
    const double spot = convert_argument("spot", extract_float, bound[0]);
    auto& curve = convert_argument("rate_curve", cast_instance<RateCurve>, bound[1]);
    auto& surface = convert_argument("vol_surface", cast_instance<VolSurface>, bound[2]);
    // Copies, so that no later Python object reaches a frame's valuations.
    auto data = std::make_shared<const MarketData>(MarketData{spot, *SharedRef<RateCurve>(curve),
                                                              *SharedRef<VolSurface>(surface)});
    return new_instance(MarketFrame{std::move(data)});
}

}  // namespace

template <>
PyTypeObject* type_object<VolSurface>() {
    static PyMethodDef methods[] = {
        static_method<surface_flat>("flat", "flat(vol, day_count)\n--\n\n"),
        method<surface_volatility>("volatility", "volatility($self, strike, t)\n--\n\n"),
        end_of_methods(),
    };
    static const ClassSpec spec{
        .qualified_name = "builtins.VolSurface",
        .methods = methods,
    };
    return cached_type<VolSurface>(spec);
}

template <>
PyTypeObject* type_object<MarketFrame>() {
    static const ClassSpec spec{
        .qualified_name = "builtins.OptionMarketFrame",
        .doc = "OptionMarketFrame(spot, rate_curve, vol_surface)\n--\n\n",
        .constructor = &constructor_entry<frame_new>,
    };
    return cached_type<MarketFrame>(spec);
}

}  // namespace sorvik::python
