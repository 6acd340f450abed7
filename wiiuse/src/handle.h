// One way of owning a C library's handle: a unique_ptr that gives it back
// with the library's own function.
#ifndef WIIUSE_HANDLE_H
#define WIIUSE_HANDLE_H

#include <memory>

namespace wiiuse_linux {

template <auto release> struct Release {
	template <typename T> void operator()(T *handle) const { release(handle); }
};

template <typename T, auto release> using Handle = std::unique_ptr<T, Release<release>>;

} // namespace wiiuse_linux

#endif
