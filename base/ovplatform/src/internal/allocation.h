// internal/allocation.h - the library's records on the heap, without the C++ runtime.
//
// A C program linked to the static library gets no C++ runtime library from
// its compiler driver, so the library calls nothing that lives there:
// operator new and delete among them. Records are therefore made with malloc
// and constructed in place, and destroyed in place and given to free. No
// exception can come out of either: a failed allocation is a null pointer,
// and only constructors that cannot throw are accepted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace ov::detail {

// Allocates a T followed by tail bytes (a name or a text stored with its
// record) and constructs the T. Without arguments the T is default
// initialised, as a new-expression without an initialiser would leave it.
// @return the record, or null when the memory cannot be had.
template <class T, class... Args>
T *create_with_tail(size_t tail, Args &&...args) noexcept {
    static_assert(std::is_nothrow_constructible_v<T, Args...>);
    static_assert(alignof(T) <= alignof(std::max_align_t), "malloc aligns no further");
    if (tail > SIZE_MAX - sizeof(T)) return nullptr;
    void *memory = std::malloc(sizeof(T) + tail);
    if (memory == nullptr) return nullptr;
    if constexpr (sizeof...(Args) == 0) {
        return ::new (memory) T;
    } else {
        return ::new (memory) T(std::forward<Args>(args)...);
    }
}

// A T alone; see create_with_tail.
template <class T, class... Args>
T *create(Args &&...args) noexcept {
    return create_with_tail<T>(0, std::forward<Args>(args)...);
}

// The bytes behind a record made by create_with_tail.
template <class T>
char *tail_of(T *object) noexcept {
    return reinterpret_cast<char *>(object + 1);
}

// Destroys a record made by create or create_with_tail and frees its memory;
// null is ignored.
template <class T>
void destroy(T *object) noexcept {
    if (object == nullptr) return;
    object->~T();
    std::free(object);
}

// The deleter of a std::unique_ptr that owns a record made by create.
template <class T>
struct Destroyer {
    void operator()(T *object) const noexcept { destroy(object); }
};

template <class T>
using Created = std::unique_ptr<T, Destroyer<T>>;

}  // namespace ov::detail
