#pragma once

#include <memory>

// A C library handle freed by `Free` when it goes out of scope:
//   UniqueHandle<plist_t_private, plist_free> node{raw};
template <auto Free>
struct FreeWith {
    template <typename T>
    void operator()(T* handle) const {
        if (handle)
            Free(handle);
    }
};

template <typename T, auto Free>
using UniqueHandle = std::unique_ptr<T, FreeWith<Free>>;
