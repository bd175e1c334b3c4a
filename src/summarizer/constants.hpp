// Constant texts of the module.
//
// A `Text` is declared where it is used, as a namespace-scope constant:
//
//     const Text kRole{"role"};
//
// Every `Text` registers itself at load time; the exec step turns them all
// into interned Python strings once (`make_constant_texts`), and they live
// for the rest of the process. Calls only read them.
#pragma once

#include <Python.h>

#include <string_view>

namespace korbix::summarizer {

class Text {
public:
    explicit Text(std::string_view utf8) noexcept;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    // The interned string; valid once the exec step has made the constants.
    PyObject* get() const noexcept { return object_; }
    std::string_view utf8() const noexcept { return utf8_; }

private:
    friend bool make_constant_texts() noexcept;
    std::string_view utf8_;
    PyObject* object_ = nullptr;
};

// Makes every registered text (once; later calls do nothing). False with an
// exception set on failure.
bool make_constant_texts() noexcept;

}  // namespace korbix::summarizer
