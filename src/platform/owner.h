// The one owner template for everything the system hands out and wants back: kernel handles,
// events, tokens, device handles, preparsed data, device information lists, service handles,
// local memory. A closer says how the value is given back and which values are empty:
//
//   struct Closer {
//       using Value = HANDLE;                       // what is owned
//       static Value Empty();                       // what an empty owner holds
//       static bool IsOpen(Value value);            // whether the value must be given back
//       void operator()(Value value) const;         // gives it back
//   };
//
// A closer may carry what it closes through (a platform interface); it is copied along with the
// value when the owner moves.
#pragma once

#include <concepts>
#include <utility>

namespace platform {

template <typename Closer>
class Owner {
public:
    using Value = typename Closer::Value;

    Owner() requires std::default_initializable<Closer> : _value(Closer::Empty()) {}
    explicit Owner(Value value) requires std::default_initializable<Closer> : _value(value) {}
    explicit Owner(Closer closer, Value value = Closer::Empty())
        : _closer(std::move(closer)), _value(value) {}
    Owner(Owner&& other) noexcept : _closer(other._closer), _value(other.release()) {}
    Owner& operator=(Owner&& other) noexcept {
        if (this != &other) {
            reset();
            _closer = other._closer;
            _value = other.release();
        }
        return *this;
    }
    ~Owner() { reset(); }

    explicit operator bool() const { return Closer::IsOpen(_value); }
    Value get() const { return _value; }
    // Where a Windows call stores a new value: whatever was held is given back first.
    Value* Receive() {
        reset();
        return &_value;
    }
    Value release() { return std::exchange(_value, Closer::Empty()); }
    void reset(Value value = Closer::Empty()) {
        const Value old = std::exchange(_value, value);
        if (Closer::IsOpen(old)) _closer(old);
    }

private:
    Closer _closer;
    Value _value;
};

// The closer of a value that is empty when null and is given back by one plain function.
template <typename T, auto Close>
struct NullCloser {
    using Value = T;
    static T Empty() { return nullptr; }
    static bool IsOpen(T value) { return value != nullptr; }
    void operator()(T value) const { Close(value); }
};

// The closer of a value that is empty when null and is given back through a member of the
// platform interface it came from (the kernel, the HID stack, the service control manager).
template <typename T, typename Interface, auto Close>
struct InterfaceCloser {
    using Value = T;
    static T Empty() { return nullptr; }
    static bool IsOpen(T value) { return value != nullptr; }
    void operator()(T value) const { (from->*Close)(value); }
    Interface* from;
};

}  // namespace platform
