#pragma once
// A value, or the reason there is none: what every fallible function of a
// layer returns. Each layer names its reason type once (the logic layer a
// Message, imaging a Fault); only the edge turns a reason into a message
// box, a report line or an exit status.

#include <utility>
#include <variant>

namespace pv {

// The reason of a failed Result, as `return failure(why);`.
template <class Reason>
struct Failure {
    Reason reason;
};
template <class Reason>
[[nodiscard]] Failure<std::decay_t<Reason>> failure(Reason &&reason)
{
    return {std::forward<Reason>(reason)};
}

template <class T, class Reason>
class [[nodiscard]] Result {
public:
    Result(T value) : m_held(std::in_place_index<0>, std::move(value)) {}
    Result(Failure<Reason> f) : m_held(std::in_place_index<1>, std::move(f.reason)) {}

    [[nodiscard]] bool ok() const { return m_held.index() == 0; }
    explicit operator bool() const { return ok(); }
    // Only when ok().
    [[nodiscard]] const T &value() const & { return std::get<0>(m_held); }
    [[nodiscard]] T &value() & { return std::get<0>(m_held); }
    [[nodiscard]] T &&value() && { return std::get<0>(std::move(m_held)); }
    const T &operator*() const & { return value(); }
    const T *operator->() const { return &value(); }
    T *operator->() { return &value(); }
    // Only when !ok().
    [[nodiscard]] const Reason &reason() const { return std::get<1>(m_held); }

private:
    std::variant<T, Reason> m_held;
};

// Success without a value.
template <class Reason>
class [[nodiscard]] Result<void, Reason> {
public:
    Result() = default;
    Result(Failure<Reason> f) : m_reason(std::move(f.reason)), m_failed(true) {}

    [[nodiscard]] bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    [[nodiscard]] const Reason &reason() const { return m_reason; }

private:
    Reason m_reason{};
    bool m_failed = false;
};

} // namespace pv
