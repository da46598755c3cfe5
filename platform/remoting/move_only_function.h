// A type-erased callable that may own move-only state (kj::Own, unique_ptr, HeldInterface):
// what std::move_only_function gives in C++23.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace platform::remoting {

template <class Signature>
class MoveOnlyFunction;

template <class Result, class... Args>
class MoveOnlyFunction<Result(Args...)> {
 public:
  MoveOnlyFunction() = default;
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, MoveOnlyFunction>>>
  MoveOnlyFunction(F&& f) : callable_(std::make_unique<Holder<std::decay_t<F>>>(std::forward<F>(f))) {}

  MoveOnlyFunction(MoveOnlyFunction&&) noexcept = default;
  MoveOnlyFunction& operator=(MoveOnlyFunction&&) noexcept = default;

  explicit operator bool() const noexcept { return callable_ != nullptr; }
  Result operator()(Args... args) { return callable_->Call(std::forward<Args>(args)...); }

 private:
  struct Callable {
    virtual ~Callable() = default;
    virtual Result Call(Args... args) = 0;
  };
  template <class F>
  struct Holder final : Callable {
    explicit Holder(F&& f) : function(std::move(f)) {}
    explicit Holder(const F& f) : function(f) {}
    // KJ's handles may declare throwing destructors; none throws in practice, and a task that
    // did could not be handled anyway.
    ~Holder() noexcept override {}
    Result Call(Args... args) override { return function(std::forward<Args>(args)...); }
    F function;
  };

  std::unique_ptr<Callable> callable_;
};

using Task = MoveOnlyFunction<void()>;

}  // namespace platform::remoting
