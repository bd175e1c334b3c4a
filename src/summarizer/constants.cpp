#include "constants.hpp"

#include <vector>

namespace korbix::summarizer {
namespace {

// Function-local so that texts in other files can register during static
// initialisation in any order.
std::vector<Text*>& registry() {
    static auto* texts = new std::vector<Text*>();
    return *texts;
}

}  // namespace

Text::Text(std::string_view utf8) noexcept : utf8_(utf8) {
    try {
        registry().push_back(this);
    } catch (...) {
        // Out of memory while the library loads: `make_constant_texts` reports it.
    }
}

bool make_constant_texts() noexcept {
    for (Text* text : registry()) {
        if (text->object_ != nullptr) continue;
        PyObject* object = PyUnicode_DecodeUTF8(text->utf8_.data(), static_cast<Py_ssize_t>(text->utf8_.size()),
                                                nullptr);
        if (object == nullptr) return false;
        PyUnicode_InternInPlace(&object);
        text->object_ = object;  // immortal for our purposes: never released
    }
    return true;
}

}  // namespace korbix::summarizer
