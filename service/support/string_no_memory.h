// The exception the service raises when a string cannot get the memory it needs. Service code that
// builds strings turns the standard library's allocation failures into it, so that callers catch
// one type whatever container failed.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>
#include <utility>

namespace wexo::svc {

class STRING_NO_MEMORY : public std::exception {
  public:
    const char* what() const noexcept override { return "Not enough memory for a string"; }
};

// Runs `work` and raises STRING_NO_MEMORY in place of std::bad_alloc, and of std::length_error (a
// string longer than the library can hold cannot be allocated either).
template <typename Work>
decltype(auto) WithStringMemory(Work&& work) {
    try {
        return std::forward<Work>(work)();
    } catch (const std::bad_alloc&) {
        throw STRING_NO_MEMORY();
    } catch (const std::length_error&) {
        throw STRING_NO_MEMORY();
    }
}

}  // namespace wexo::svc
