// rates/compounding.hpp: payment frequencies and compounding rules.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sorvik {

/// Compounding periods per year; the enumerator value is the count.
enum class Frequency : uint8_t { Annual = 1, SemiAnnual = 2, Quarterly = 4, Monthly = 12 };

constexpr std::string_view diagnostic(Frequency f) {
    switch (f) {
    case Frequency::Annual: return "Annual";
    case Frequency::SemiAnnual: return "SemiAnnual";
    case Frequency::Quarterly: return "Quarterly";
    case Frequency::Monthly: return "Monthly";
    }
    return "?";
}

constexpr double periods_per_year(Frequency f) { return static_cast<double>(static_cast<uint8_t>(f)); }

enum class CompoundingKind : uint8_t { Simple = 0, Compounded = 1, Continuous = 2, SimpleThenCompounded = 3 };

/// A compounding rule; `frequency` matters only for Compounded and SimpleThenCompounded.
struct Compounding {
    CompoundingKind kind = CompoundingKind::Continuous;
    Frequency frequency = Frequency::Annual;

    static constexpr Compounding simple() { return {CompoundingKind::Simple, Frequency::Annual}; }
    static constexpr Compounding continuous() { return {CompoundingKind::Continuous, Frequency::Annual}; }
    static constexpr Compounding compounded(Frequency f) { return {CompoundingKind::Compounded, f}; }
    static constexpr Compounding simple_then_compounded(Frequency f) {
        return {CompoundingKind::SimpleThenCompounded, f};
    }

    constexpr bool has_frequency() const {
        return kind == CompoundingKind::Compounded || kind == CompoundingKind::SimpleThenCompounded;
    }

    /// "Simple", "Continuous", "Compounded(<freq>)", "SimpleThenCompounded(<freq>)".
    std::string diagnostic() const {
        switch (kind) {
        case CompoundingKind::Simple: return "Simple";
        case CompoundingKind::Continuous: return "Continuous";
        case CompoundingKind::Compounded:
            return "Compounded(" + std::string(sorvik::diagnostic(frequency)) + ")";
        case CompoundingKind::SimpleThenCompounded:
            return "SimpleThenCompounded(" + std::string(sorvik::diagnostic(frequency)) + ")";
        }
        return "?";
    }
};

}  // namespace sorvik
