#pragma once

namespace zelt {

// An overload set of lambdas, for std::visit over a Value's kinds: name every alternative, so
// that a new kind breaks the build where it is not handled.
template <class... F>
struct Overload : F... {
    using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

}  // namespace zelt
