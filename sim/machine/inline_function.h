// SPDX-License-Identifier: MIT
// A move-only callable kept inside the object: no heap allocation, ever.  A
// callable larger than the storage does not compile (make its capture
// smaller, e.g. capture a pointer to what it needs) instead of silently
// allocating as std::function does past its small buffer.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace sim {

template <class Signature, std::size_t Capacity>
class InlineFunction;

template <class R, class... Args, std::size_t Capacity>
class InlineFunction<R(Args...), Capacity> {
public:
    InlineFunction() noexcept = default;

    template <class F, class Fn = std::decay_t<F>,
              class = std::enable_if_t<!std::is_same_v<Fn, InlineFunction> && std::is_invocable_r_v<R, Fn&, Args...>>>
    InlineFunction(F&& f) {  // NOLINT: converts from any callable, like std::function
        construct(std::forward<F>(f));
    }

    /// Holds @f from now on, made in place (no move of a temporary).
    template <class F>
    void emplace(F&& f) {
        if constexpr (std::is_same_v<std::decay_t<F>, InlineFunction>) {
            *this = std::move(f);
        } else {
            reset();
            construct(std::forward<F>(f));
        }
    }

    InlineFunction(InlineFunction&& o) noexcept { take(o); }
    InlineFunction& operator=(InlineFunction&& o) noexcept {
        if (this != &o) {
            reset();
            take(o);
        }
        return *this;
    }
    InlineFunction(const InlineFunction&) = delete;
    InlineFunction& operator=(const InlineFunction&) = delete;
    ~InlineFunction() { reset(); }

    explicit operator bool() const noexcept { return ops_ != nullptr; }

    /// Calls the callable; it must hold one.
    R operator()(Args... args) { return ops_->call(buf_, std::forward<Args>(args)...); }

    /// Destroys the callable held, if any.
    void reset() noexcept {
        if (ops_) {
            ops_->destroy(buf_);
            ops_ = nullptr;
        }
    }

private:
    template <class F, class Fn = std::decay_t<F>>
    void construct(F&& f) {
        static_assert(sizeof(Fn) <= Capacity, "the callable's capture is too big for the inline storage");
        static_assert(alignof(Fn) <= alignof(std::max_align_t), "the callable is over-aligned");
        static_assert(std::is_nothrow_move_constructible_v<Fn>, "the callable must move without throwing");
        ::new (static_cast<void*>(buf_)) Fn(std::forward<F>(f));
        ops_ = &kOps<Fn>;
    }

    struct Ops {
        R (*call)(void*, Args&&...);
        void (*move_to)(void* from, void* to) noexcept;  ///< moves, then destroys the source
        void (*destroy)(void*) noexcept;
    };

    template <class Fn>
    static constexpr Ops kOps{
        [](void* p, Args&&... args) -> R { return (*static_cast<Fn*>(p))(std::forward<Args>(args)...); },
        [](void* from, void* to) noexcept {
            Fn* f = static_cast<Fn*>(from);
            ::new (to) Fn(std::move(*f));
            f->~Fn();
        },
        [](void* p) noexcept { static_cast<Fn*>(p)->~Fn(); },
    };

    void take(InlineFunction& o) noexcept {
        if (o.ops_) {
            o.ops_->move_to(o.buf_, buf_);
            ops_ = o.ops_;
            o.ops_ = nullptr;
        }
    }

    alignas(std::max_align_t) unsigned char buf_[Capacity];
    const Ops* ops_ = nullptr;
};

}  // namespace sim
