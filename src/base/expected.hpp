// A value or an error value: the return type of fallible core operations.
#pragma once

#include <utility>
#include <variant>

namespace vx {

template <class E>
struct Unexpected {
    E error;
};

template <class E>
Unexpected<E> fail(E e) { return {e}; }

template <class T, class E>
class Expected {
public:
    using value_type = T;
    using error_type = E;

    Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Expected(Unexpected<E> e) : v_(std::in_place_index<1>, e.error) {}

    bool has_value() const { return v_.index() == 0; }
    explicit operator bool() const { return has_value(); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const T& value() const& { return std::get<0>(v_); }
    E error() const { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

}  // namespace vx
