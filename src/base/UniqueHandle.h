#pragma once

#include <cstdlib>
#include <memory>

// A C library handle freed by `Free` when it goes out of scope:
//   UniqueHandle<plist_t_private, plist_free> node{raw};
// `Free` may return a value (many libraries return an error code from their free calls); it is
// ignored.
template <auto Free> struct FreeWith {
    template <typename T> void operator()(T* handle) const {
        if (handle)
            (void)Free(handle);
    }
};

template <typename T, auto Free> using UniqueHandle = std::unique_ptr<T, FreeWith<Free>>;

inline void freeMemory(void* memory) {
    std::free(memory);
}

// Memory a C library handed over with malloc():  MallocPtr<char> name{raw};
template <typename T> using MallocPtr = UniqueHandle<T, freeMemory>;
