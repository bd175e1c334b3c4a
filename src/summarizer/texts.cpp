#include "texts.hpp"

#include <string_view>

namespace korbix::summarizer {

namespace str {
#define KORBIX_DEFINE_TEXT(identifier, text) PyObject* identifier = nullptr;
KORBIX_SUMMARIZER_TEXTS(KORBIX_DEFINE_TEXT)
#undef KORBIX_DEFINE_TEXT
}  // namespace str

namespace {

struct TextRow {
    PyObject** slot;
    std::string_view utf8;
};

#define KORBIX_TEXT_ROW(identifier, text) {&str::identifier, std::string_view(text)},
const TextRow kTexts[] = {KORBIX_SUMMARIZER_TEXTS(KORBIX_TEXT_ROW)};
#undef KORBIX_TEXT_ROW

}  // namespace

int make_texts() noexcept {
    for (const TextRow& row : kTexts) {
        if (*row.slot != nullptr) continue;
        PyObject* object = PyUnicode_DecodeUTF8(row.utf8.data(), static_cast<Py_ssize_t>(row.utf8.size()), nullptr);
        if (object == nullptr) return -1;
        PyUnicode_InternInPlace(&object);
        *row.slot = object;  // kept for the life of the process
    }
    return 0;
}

}  // namespace korbix::summarizer
