// tables.cpp: the words sorvik_batch accepts for option types, exercise styles and methods.
#include "tables.hpp"

#include <array>
#include <cstring>

#include "book_inputs.hpp"
#include "python_types.hpp"
#include "runtime/errors.hpp"

namespace sorvik::batch {

namespace {

constexpr Spelling kTypeWords[] = {{"call", 0}, {"put", 1}, {"c", 0}, {"p", 1}};
constexpr Spelling kStyleWords[] = {{"american", 0}, {"european", 1}};

struct MethodName {
    const char* name;  // null: None
    BookMethod method;
};
constexpr MethodName kMethods[] = {{nullptr, BookMethod::Auto}, {"analytic", BookMethod::Analytic},
                                   {"fdm", BookMethod::Fdm}, {"spectral", BookMethod::Spectral}};

struct PrecisionName {
    const char* name;
    SpectralPrecision precision;
};
constexpr PrecisionName kPrecisions[] = {{"standard", SpectralPrecision::Standard}, {"high", SpectralPrecision::High}};

/// The longest spelling; longer text is no spelling.
constexpr std::size_t kLongestWord = 8;

char lower_ascii(uint32_t c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c); }

int8_t lookup(const KindTable& table, uint64_t packed) {
    for (const Spelling& s : table.words)
        if (s.packed == packed) return s.code;
    return -1;
}

}  // namespace

const KindTable kOptionTypes{"option_type", kTypeWords, "'call', 'put', 'c' or 'p'"};
const KindTable kExerciseStyles{"exercise", kStyleWords, "'american' or 'european'"};
const char* const kMethodsExpected = "None, 'analytic', 'fdm' or 'spectral'";
const char* const kPrecisionsExpected = "'standard' or 'high'";

int8_t code_of(const KindTable& table, std::string_view text) {
    if (text.size() > kLongestWord) return -1;
    char lowered[kLongestWord];
    for (std::size_t i = 0; i < text.size(); ++i) {
        lowered[i] = lower_ascii(static_cast<unsigned char>(text[i]));
        if (lowered[i] == '\0') return -1;
    }
    return lookup(table, pack_word(lowered, text.size()));
}

int8_t code_of_utf32(const KindTable& table, const char* text, std::size_t length) {
    uint64_t packed = 0;
    for (std::size_t n = 0; n < length; ++n) {
        uint32_t c;
        std::memcpy(&c, text + 4 * n, 4);
        // numpy pads with NULs, so text after the first NUL is padding too.
        if (c == 0) break;
        if (c > 0x7f || n == kLongestWord) return -1;
        packed |= static_cast<uint64_t>(static_cast<unsigned char>(lower_ascii(c))) << (8 * n);
    }
    return lookup(table, packed);
}

bool method_of(PyObject* name, BookMethod& method) {
    if (name == Py_None) {
        method = BookMethod::Auto;
        return true;
    }
    if (!PyUnicode_Check(name)) return false;
    for (const MethodName& m : kMethods) {
        if (m.name && PyUnicode_CompareWithASCIIString(name, m.name) == 0) {
            method = m.method;
            return true;
        }
    }
    return false;
}

PyObject* kind_codes(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return python::call_frame([&]() -> python::Ref {
        require_arguments(nargs, 2, "kind_codes");
        const KindTable* table = PyUnicode_Check(args[0]) && PyUnicode_CompareWithASCIIString(args[0], "exercise") == 0
                                     ? &kExerciseStyles
                                     : &kOptionTypes;
        PyTypeObject* members = table == &kOptionTypes ? option_type_class() : exercise_style_class();
        const python::Ref items = python::check(PySequence_Fast(args[1], "items must be a sequence"));
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
        python::Ref codes = python::check(PyBytes_FromStringAndSize(nullptr, n));
        char* out = PyBytes_AS_STRING(codes.get());
        PyObject** item = PySequence_Fast_ITEMS(items.get());
        for (Py_ssize_t i = 0; i < n; ++i)
            out[i] = PyUnicode_Check(item[i]) || Py_IS_TYPE(item[i], members) ? scalar_code(*table, item[i]) : -1;
        return codes;
    });
}

bool precision_of(PyObject* name, SpectralPrecision& precision) {
    if (!PyUnicode_Check(name)) return false;
    for (const PrecisionName& p : kPrecisions) {
        if (PyUnicode_CompareWithASCIIString(name, p.name) == 0) {
            precision = p.precision;
            return true;
        }
    }
    return false;
}

python::Ref tables_object() {
    using python::check;
    using python::Ref;
    auto words = [](const KindTable& table) {
        Ref dict = check(PyDict_New());
        for (const Spelling& s : table.words) {
            Ref code = check(PyLong_FromLong(s.code));
            if (PyDict_SetItemString(dict.get(), s.word, code.get()) < 0) python::throw_python_error();
        }
        return dict;
    };
    Ref methods = check(PyDict_New());
    for (const MethodName& m : kMethods) {
        Ref key = m.name ? check(PyUnicode_FromString(m.name)) : Ref::borrow(Py_None);
        Ref code = check(PyLong_FromLong(static_cast<long>(m.method)));
        if (PyDict_SetItem(methods.get(), key.get(), code.get()) < 0) python::throw_python_error();
    }
    Ref precisions = check(PyDict_New());
    for (const PrecisionName& p : kPrecisions) {
        Ref code = check(PyLong_FromLong(static_cast<long>(p.precision)));
        if (PyDict_SetItemString(precisions.get(), p.name, code.get()) < 0) python::throw_python_error();
    }
    Ref types = words(kOptionTypes), styles = words(kExerciseStyles);
    return check(Py_BuildValue("{sOsOsOsO}", kOptionTypes.argument, types.get(), kExerciseStyles.argument,
                               styles.get(), "method", methods.get(), "precision", precisions.get()));
}

python::Ref expected_object() {
    return python::check(Py_BuildValue("{ssssssss}", kOptionTypes.argument, kOptionTypes.expected,
                                       kExerciseStyles.argument, kExerciseStyles.expected, "method", kMethodsExpected,
                                       "precision", kPrecisionsExpected));
}

}  // namespace sorvik::batch
