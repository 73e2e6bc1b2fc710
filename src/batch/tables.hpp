// tables.hpp: the words sorvik_batch accepts for option types, exercise styles and methods.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "runtime/ref.hpp"
#include "valuation/book.hpp"

namespace sorvik::batch {

/// Up to eight lower-case ASCII characters packed into one integer, so that
/// a word is matched by one comparison per spelling (words hold no NUL).
constexpr uint64_t pack_word(const char* text, std::size_t length) {
    uint64_t packed = 0;
    for (std::size_t i = 0; i < length; ++i) packed |= static_cast<uint64_t>(static_cast<unsigned char>(text[i])) << (8 * i);
    return packed;
}

/// One accepted spelling (lower case; matched in any case) and its code.
struct Spelling {
    const char* word;
    int8_t code;
    uint64_t packed;  ///< the word packed once, not on every lookup

    constexpr Spelling(const char* w, int8_t c) : word(w), code(c), packed(pack_word(w, std::char_traits<char>::length(w))) {}
};

/// The spellings of one argument's values and how messages list them.
struct KindTable {
    const char* argument;            ///< "option_type"
    std::span<const Spelling> words;
    const char* expected;            ///< "'call' or 'put'"
};

extern const KindTable kOptionTypes;     ///< codes as OptionType: call 0, put 1
extern const KindTable kExerciseStyles;  ///< codes as ExerciseStyle: american 0, european 1

/// The code of `text` (any case), or -1.
int8_t code_of(const KindTable& table, std::string_view text);

/// The code of UTF-32 text of at most `length` characters (NUL-padded, as
/// numpy stores 'U' strings), or -1.
int8_t code_of_utf32(const KindTable& table, const char* text, std::size_t length);

/// The method a name selects (None is the default); false when unknown.
bool method_of(PyObject* name, BookMethod& method);

/// "None, 'analytic', 'fdm' or 'spectral'", for messages.
extern const char* const kMethodsExpected;

/// The exercise-boundary engine's level a name selects; false when unknown.
bool precision_of(PyObject* name, SpectralPrecision& precision);
extern const char* const kPrecisionsExpected;

/// {"option_type": {word: code}, "exercise": {...}, "method": {name or None: code},
/// "precision": {name: code}}, for Python.
python::Ref tables_object();

/// {"option_type": "'call' or 'put'", "exercise": ..., "method": ...}: the values each accepts, for messages.
python::Ref expected_object();

}  // namespace sorvik::batch
