/** @file ovplatform.hpp
 * @defgroup cxx C++ interface
 * ovplatform.hpp: owners, error codes and typed views over the C API, for
 * C++17 and C++20.
 *
 * The header needs nothing but the C library it wraps: include it, link
 * ovplatform, and every handle the C API gives out gets an owner that
 * destroys it exactly once. It throws nothing and compiles with
 * -fno-exceptions: a failure comes back as a std::error_code of
 * ov::platform_category(), or inside an ov::result. What can still throw is
 * the standard library's own allocation in the few calls that return a
 * std::string or std::vector (they say so); a program built without
 * exceptions aborts there, as it does anywhere else it runs out of memory.
 *
 * The owners:
 *
 *  - derive from ov::unique_handle: movable, not copyable; get() gives the C
 *    handle, handle() its address for the C calls that take one, release()
 *    gives up ownership without destroying, valid() and operator bool tell
 *    whether there is something to destroy, and the destructor destroys it
 *    with the C API's own call;
 *  - are made by static functions (ov::file::open_read, ov::hash_map::create,
 *    ...) that return ov::result<owner>, except ov::lockfile and
 *    ov::ipc_semaphore, which start empty and are opened by a member, so
 *    that what a failed attempt leaves (the lock's holder, a semaphore to
 *    remove) stays with the owner;
 *  - keep their C names in view: each comment says which C call it makes.
 *
 * Mutexes, condition records and semaphores that the C API initialises in
 * place (ov::mutex, ov::condition, ov::semaphore) can be neither copied nor
 * moved, for the system's object must stay where it was initialised; their
 * allocated kinds (ov::unique_mutex, ov::unique_semaphore) move like every
 * other owner.
 *
 * Text arguments: where the C API wants a NUL-terminated string the
 * parameter is an ov::zstring_view, made from a `const char *` or a
 * `std::string` and deliberately not from a std::string_view (which need not
 * be terminated); nothing is copied. Where the C API takes a pointer and a
 * length, the parameter is a std::string_view or an ov::byte_span /
 * ov::mutable_byte_span, which accept any contiguous range and, in C++20,
 * any std::span.
 *
 * Threads: an owner is used by one thread at a time, unless the C object it
 * owns says otherwise (mutexes, semaphores, read-write locks, the lock
 * file's lost flag).
 */
#ifndef OVPLATFORM_OVPLATFORM_HPP
#define OVPLATFORM_OVPLATFORM_HPP

#include <ovplatform/ov.h>

#include <signal.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#if __cplusplus >= 202002L && __has_include(<span>)
#include <span>
#endif

namespace ov {

/** @addtogroup cxx
 * @{ */

// ---- Error codes ---------------------------------------------------------------------------

/** @cond OV_INTERNAL */
namespace detail {

// The category of the library's codes. Its message is the library's own text
// (ov_error_string); host errno values (1 to 0x6FFF) map to the generic
// category's conditions, so that they compare equal to std::errc values.
class platform_error_category final : public std::error_category {
  public:
    const char *name() const noexcept override { return "ovplatform"; }
    std::string message(int code) const override {
        char text[256];
        if (ov_error_string(code, text, sizeof text) != 0) return "Unknown error";
        return text;
    }
    std::error_condition default_error_condition(int code) const noexcept override {
        if (code > 0 && code < OV_ERROR_BASE) return {code, std::generic_category()};
        return {code, *this};
    }
};

}  // namespace detail
/** @endcond */

/** The category of the library's error codes.
 *
 * name() is "ovplatform"; message() is ov_error_string's text for the code.
 * default_error_condition() maps the host's errno values (1 to 0x6FFF, which
 * the library passes through unchanged) to std::generic_category(), so that
 * `ov::make_error_code(ENOENT) == std::errc::no_such_file_or_directory`
 * holds; the library's own codes (0x7000 and up) and anything else stay in
 * this category. Two codes of the same number compare equal as error codes
 * only within one category: compare a code of this category with another
 * category's code through a std::errc condition, not directly.
 *
 * The one category object is shared by every shared object of the program
 * (the function is exported even where inline functions are hidden), so that
 * codes made in a plug-in compare equal to codes made in the program.
 *
 * @return the category object. */
__attribute__((visibility("default"))) inline const std::error_category &
platform_category() noexcept {
    static const detail::platform_error_category category;
    return category;
}

/** A std::error_code of platform_category() for a platform error code.
 * @param code  0 (no error), a host errno value or one of the library's
 *              codes (ELOCKED, EBUFFER, ...)
 * @return the error code; it is false for 0. */
inline std::error_code make_error_code(int32_t code) noexcept {
    return {static_cast<int>(code), platform_category()};
}

/** The symbolic name of a code (ov_error_name): "ELOCKED", "EWOULDBLOCK".
 * @param error  a code of platform_category(), or of another category whose
 *               numbers the library shares (the generic and the system
 *               category use the same errno values)
 * @return the name; static text, never freed. */
inline const char *error_name(const std::error_code &error) noexcept {
    return ov_error_name(static_cast<int32_t>(error.value()));
}

/** A value or the error code that kept it from being made.
 *
 * The library's calls give a value through an out argument and say how they
 * went by their result; this type carries both. It converts to true when it
 * holds a value. T is default-constructible (every owner is).
 * @tparam T  the value's type */
template <class T>
class [[nodiscard]] result {
  public:
    /** Holds value.
     * @param value  the value */
    result(T value) noexcept(std::is_nothrow_move_constructible_v<T>) : value_(std::move(value)) {}
    /** Holds an error.
     * @param error  the error; a value-initialised T is held beside it */
    result(std::error_code error) noexcept : error_(error) {}

    /** @return true when a value is held (no error). */
    bool has_value() const noexcept { return !error_; }
    /** @return has_value(). */
    explicit operator bool() const noexcept { return has_value(); }
    /** @return the error; a false error code when a value is held. */
    const std::error_code &error() const noexcept { return error_; }

    /** @return the value (a value-initialised T after an error). */
    T &value() &noexcept { return value_; }
    /** @return the value (a value-initialised T after an error). */
    const T &value() const &noexcept { return value_; }
    /** @return the value, moved out (a value-initialised T after an error). */
    T &&value() &&noexcept { return std::move(value_); }
    /** @return value(). */
    T &operator*() &noexcept { return value_; }
    /** @return value(). */
    const T &operator*() const &noexcept { return value_; }
    /** @return value(), moved out. */
    T &&operator*() &&noexcept { return std::move(value_); }
    /** @return the address of the value. */
    T *operator->() noexcept { return &value_; }
    /** @return the address of the value. */
    const T *operator->() const noexcept { return &value_; }

  private:
    T value_{};
    std::error_code error_;
};

/** @cond OV_INTERNAL */
namespace detail {
template <class T>
result<T> fail(int32_t code) noexcept {
    return result<T>(make_error_code(code));
}
}  // namespace detail
/** @endcond */

// ---- Text and byte arguments ----------------------------------------------------------------

/** A NUL-terminated string argument: a `const char *` (null where the call
 * allows it) or a `std::string`, passed on as it is, never copied.
 *
 * A std::string_view is refused at compile time, for it need not be
 * terminated: make a std::string of it when the call needs one. Use the type
 * for parameters only; it does not keep a std::string alive. */
class zstring_view {
  public:
    /** Refers to text.
     * @param text  a NUL-terminated string, or null */
    zstring_view(const char *text) noexcept : text_(text) {}
    /** Refers to text.c_str().
     * @param text  the string; it must outlive the call */
    zstring_view(const std::string &text) noexcept : text_(text.c_str()) {}
    /** Not from a view, which need not be terminated. */
    zstring_view(std::string_view) = delete;

    /** @return the text, or null. */
    const char *c_str() const noexcept { return text_; }

  private:
    const char *text_;
};

/** @cond OV_INTERNAL */
namespace detail {
template <class C, class = void>
struct contiguous : std::false_type {};
template <class C>
struct contiguous<C, std::void_t<decltype(std::data(std::declval<C &>())),
                                 decltype(std::size(std::declval<C &>()))>>
    : std::bool_constant<std::is_trivially_copyable_v<
          std::remove_pointer_t<decltype(std::data(std::declval<C &>()))>>> {};
template <class C>
using element_of = std::remove_pointer_t<decltype(std::data(std::declval<C &>()))>;
template <class C>
inline constexpr bool is_char_array_v =
    std::is_array_v<C> &&std::is_same_v<std::remove_cv_t<std::remove_extent_t<C>>, char>;
}  // namespace detail
/** @endcond */

/** Bytes to read from: a pointer and a length, for the calls that take
 * data and its length (ov_file_write, the encoders, ...).
 *
 * Made from (pointer, length), a std::string_view (the view's bytes, NUL
 * bytes included, nothing past its end), a NUL-terminated `const char *`
 * (its bytes without the NUL), or any contiguous range of trivially
 * copyable elements: std::string, std::vector, std::array, arrays other
 * than of char, and in C++20 std::span. The bytes must outlive the call. */
class byte_span {
  public:
    /** No bytes. */
    constexpr byte_span() noexcept = default;
    /** size bytes at data.
     * @param data  the first byte (may be null when size is 0)
     * @param size  the number of bytes */
    constexpr byte_span(const void *data, std::size_t size) noexcept : data_(data), size_(size) {}
    /** The bytes of a view.
     * @param text  the view; a NUL inside it is one of its bytes */
    constexpr byte_span(std::string_view text) noexcept : data_(text.data()), size_(text.size()) {}
    /** The bytes of a NUL-terminated string, the NUL left out.
     * @param text  the string; null gives no bytes */
    byte_span(const char *text) noexcept
        : data_(text), size_(text != nullptr ? std::strlen(text) : 0) {}
    /** The bytes of a contiguous range.
     * @tparam C  a range with std::data and std::size of trivially copyable
     *            elements, other than an array of char
     * @param range  the range */
    template <class C,
              std::enable_if_t<detail::contiguous<const C>::value && !detail::is_char_array_v<C>,
                               int> = 0>
    constexpr byte_span(const C &range) noexcept
        : data_(std::data(range)), size_(std::size(range) * sizeof(detail::element_of<const C>)) {}

    /** @return the first byte. */
    constexpr const void *data() const noexcept { return data_; }
    /** @return the number of bytes. */
    constexpr std::size_t size() const noexcept { return size_; }
    /** @return true for no bytes. */
    constexpr bool empty() const noexcept { return size_ == 0; }
    /** @return the bytes as a view. */
    std::string_view view() const noexcept { return {static_cast<const char *>(data_), size_}; }
#if __cplusplus >= 202002L && __has_include(<span>)
    /** @return the bytes as a std::span (C++20). */
    std::span<const std::byte> bytes() const noexcept {
        return {static_cast<const std::byte *>(data_), size_};
    }
#endif

  private:
    const void *data_ = nullptr;
    std::size_t size_ = 0;
};

/** Room to write into: a pointer and a size, for the calls that fill a
 * caller's buffer (ov_fileread, the decoders, ...).
 *
 * Made from (pointer, size) or any contiguous range of trivially copyable
 * elements that can be written: std::string (its current size), std::vector,
 * std::array, arrays (char arrays whole), and in C++20 std::span. */
class mutable_byte_span {
  public:
    /** No room. */
    constexpr mutable_byte_span() noexcept = default;
    /** size bytes at data.
     * @param data  the first byte (may be null when size is 0)
     * @param size  the number of bytes */
    constexpr mutable_byte_span(void *data, std::size_t size) noexcept : data_(data), size_(size) {}
    /** The bytes of a contiguous range.
     * @tparam C  a range with std::data and std::size of trivially copyable,
     *            writable elements
     * @param range  the range */
    template <class C,
              std::enable_if_t<
                  detail::contiguous<C>::value && !std::is_const_v<detail::element_of<C>>, int> = 0>
    constexpr mutable_byte_span(C &range) noexcept
        : data_(std::data(range)), size_(std::size(range) * sizeof(detail::element_of<C>)) {}
#if __cplusplus >= 202002L && __has_include(<span>)
    /** The bytes of a span (C++20); spans are passed by value.
     * @tparam T  a trivially copyable, writable element type
     * @tparam N  the span's extent
     * @param range  the span */
    template <class T, std::size_t N,
              std::enable_if_t<std::is_trivially_copyable_v<T> && !std::is_const_v<T>, int> = 0>
    constexpr mutable_byte_span(std::span<T, N> range) noexcept
        : data_(range.data()), size_(range.size_bytes()) {}
#endif

    /** @return the first byte. */
    constexpr void *data() const noexcept {
        return data_;
    }
    /** @return the number of bytes. */
    constexpr std::size_t size() const noexcept {
        return size_;
    }
    /** @return true for no room. */
    constexpr bool empty() const noexcept {
        return size_ == 0;
    }

  private:
    void *data_ = nullptr;
    std::size_t size_ = 0;
};

// ---- The owner template ---------------------------------------------------------------------

/** An owner of one C handle, the base of every owner in this header.
 *
 * Traits says what the handle is and how it is destroyed:
 * `handle_type`, `static handle_type empty()` (the value that owns
 * nothing), `static bool is_empty(const handle_type &)` and
 * `static void destroy(handle_type &)`. The destructor destroys a handle
 * that is not empty, once: a moved-from owner and one whose handle was
 * released hold the empty value.
 * @tparam Traits  the handle's traits */
template <class Traits>
class unique_handle {
  public:
    /** The C handle's type. */
    using handle_type = typename Traits::handle_type;

    /** Owns nothing. */
    unique_handle() noexcept : handle_(Traits::empty()) {}
    /** Takes ownership of handle, which the owner then destroys.
     * @param handle  a handle of the C API, or the empty value */
    explicit unique_handle(handle_type handle) noexcept : handle_(handle) {}
    /** Takes other's handle and leaves other empty.
     * @param other  the owner to move from */
    unique_handle(unique_handle &&other) noexcept : handle_(other.handle_) {
        other.handle_ = Traits::empty();
    }
    /** Destroys the handle held, then takes other's and leaves other empty.
     * @param other  the owner to move from
     * @return this owner */
    unique_handle &operator=(unique_handle &&other) noexcept {
        if (this != &other) {
            reset();
            handle_ = other.handle_;
            other.handle_ = Traits::empty();
        }
        return *this;
    }
    /** Not copyable: one handle, one owner. */
    unique_handle(const unique_handle &) = delete;
    /** Not copyable: one handle, one owner.
     * @return nothing; deleted */
    unique_handle &operator=(const unique_handle &) = delete;
    /** Destroys the handle unless it is empty. */
    ~unique_handle() { reset(); }

    /** @return the handle (the empty value when nothing is owned). */
    handle_type get() const noexcept { return handle_; }
    /** The handle's address, for C calls that take it (ov_file_close,
     * ov_dir_read, ov_mutex_free, ...). A C call that destroys the handle
     * through it leaves the empty value behind, and the owner then owns
     * nothing. A call that destroys the handle without clearing it (one
     * taking the handle by value) must follow release() instead.
     * @return the address of the handle held */
    handle_type *handle() noexcept { return &handle_; }
    /** Gives up ownership without destroying: the caller destroys the
     * handle with the C API from now on.
     * @return the handle; the owner is empty afterwards */
    handle_type release() noexcept {
        handle_type handle = handle_;
        handle_ = Traits::empty();
        return handle;
    }
    /** Destroys the handle held, if any, and takes handle instead.
     * @param handle  the new handle (by default the empty value) */
    void reset(handle_type handle = Traits::empty()) noexcept {
        handle_type old = handle_;
        handle_ = handle;
        if (!Traits::is_empty(old)) Traits::destroy(old);
    }
    /** @return true when a handle is owned. */
    bool valid() const noexcept { return !Traits::is_empty(handle_); }
    /** @return valid(). */
    explicit operator bool() const noexcept { return valid(); }

  protected:
    /** The handle owned; the empty value when none. */
    handle_type handle_;
};

/** @cond OV_INTERNAL */
namespace detail {
// Traits of handles that are pointers, null when empty; Destroy is the C call.
template <class T, void (*Destroy)(T *&) noexcept>
struct pointer_traits {
    using handle_type = T *;
    static handle_type empty() noexcept { return nullptr; }
    static bool is_empty(handle_type handle) noexcept { return handle == nullptr; }
    static void destroy(handle_type &handle) noexcept { Destroy(handle); }
};
}  // namespace detail
/** @endcond */

// ---- Heap memory of the library -------------------------------------------------------------

/** @cond OV_INTERNAL */
namespace detail {
template <class T>
inline void free_block(T *&block) noexcept {
    std::free(const_cast<std::remove_cv_t<T> *>(block));
    block = nullptr;
}
template <class T>
using malloc_traits = pointer_traits<T, &free_block<T>>;
}  // namespace detail
/** @endcond */

/** An owner of one block that the caller frees with free(): the results of
 * ov_hash_stats and the other calls whose comment says "free() it".
 * @tparam T  the block's type */
template <class T>
class malloc_ptr : public unique_handle<detail::malloc_traits<T>> {
  public:
    using unique_handle<detail::malloc_traits<T>>::unique_handle;
    /** @return the block's address. */
    T *operator->() const noexcept { return this->handle_; }
    /** @return the block. */
    T &operator*() const noexcept { return *this->handle_; }
};

/** An owner of a heap string that the caller frees with free(): the results
 * of ov_str_ndup, ov_str_tolower_dup, ov_str_toupper_dup and
 * ov_utf8_ellipsize (with a null destination). */
class unique_cstr : public unique_handle<detail::malloc_traits<char>> {
  public:
    using unique_handle::unique_handle;
    /** @return the string; null when none is owned. */
    const char *c_str() const noexcept { return handle_; }
    /** @return the string as a view; empty when none is owned. */
    std::string_view view() const noexcept {
        return handle_ != nullptr ? std::string_view(handle_) : std::string_view();
    }
};

/** A copy of the bytes of text up to its first NUL, on the heap
 * (ov_str_ndup with the view's length as the limit). The view need not be
 * terminated: no byte past its end is read.
 * @param text  the text
 * @return the copy; ENOMEM when it cannot be had */
inline result<unique_cstr> str_ndup(std::string_view text) noexcept {
    char *copy = ov_str_ndup(text.data() != nullptr ? text.data() : "", text.size());
    if (copy == nullptr) return detail::fail<unique_cstr>(ENOMEM);
    return unique_cstr(copy);
}

/** A lower-case copy of text on the heap (ov_str_tolower_dup).
 * @param text  a NUL-terminated string
 * @return the copy; EINVAL for a null text; ENOMEM */
inline result<unique_cstr> str_tolower_dup(zstring_view text) noexcept {
    if (text.c_str() == nullptr) return detail::fail<unique_cstr>(EINVAL);
    char *copy = ov_str_tolower_dup(text.c_str());
    if (copy == nullptr) return detail::fail<unique_cstr>(ENOMEM);
    return unique_cstr(copy);
}

/** An upper-case copy of text on the heap (ov_str_toupper_dup).
 * @param text  a NUL-terminated string
 * @return the copy; EINVAL for a null text; ENOMEM */
inline result<unique_cstr> str_toupper_dup(zstring_view text) noexcept {
    if (text.c_str() == nullptr) return detail::fail<unique_cstr>(EINVAL);
    char *copy = ov_str_toupper_dup(text.c_str());
    if (copy == nullptr) return detail::fail<unique_cstr>(ENOMEM);
    return unique_cstr(copy);
}

/** A shortened copy of well-formed UTF-8 text on the heap
 * (ov_utf8_ellipsize with a null destination): at most limit characters,
 * "..." standing for what was left out.
 * @param text   a NUL-terminated string
 * @param limit  characters of the result, more than 2
 * @param mode   < 0 keeps the end, > 0 the start, 0 both
 * @return the copy; EINVAL for a null or empty or malformed text or a limit
 *         of 2 or less, or when the memory cannot be had (the C call tells
 *         these apart by no code) */
inline result<unique_cstr> utf8_ellipsize(zstring_view text, std::size_t limit,
                                          int32_t mode) noexcept {
    char *copy = ov_utf8_ellipsize(text.c_str(), nullptr, limit, mode);
    if (copy == nullptr) return detail::fail<unique_cstr>(EINVAL);
    return unique_cstr(copy);
}

/** A growable heap string built by the _alloc calls (ov_str_to_alloc,
 * ov_strn_to_alloc, ov_str_cat_alloc, ov_str_vprintf_alloc), which keep the
 * buffer, its size and the write position in this object. The buffer is
 * freed with free(). */
class string_buffer : public unique_handle<detail::malloc_traits<char>> {
  public:
    /** An empty buffer; the first append allocates. */
    string_buffer() noexcept = default;
    /** Takes other's buffer and leaves other empty.
     * @param other  the buffer to move from */
    string_buffer(string_buffer &&other) noexcept
        : unique_handle(std::move(other)),
          size_(std::exchange(other.size_, 0)),
          pos_(std::exchange(other.pos_, 0)) {}
    /** Frees the buffer held, then takes other's and leaves other empty.
     * @param other  the buffer to move from
     * @return this buffer */
    string_buffer &operator=(string_buffer &&other) noexcept {
        if (this != &other) {
            unique_handle::operator=(std::move(other));
            size_ = std::exchange(other.size_, 0);
            pos_ = std::exchange(other.pos_, 0);
        }
        return *this;
    }

    /** Appends a NUL-terminated string (ov_str_to_alloc).
     * @param text  the string
     * @return no error; ENOMEM (the text so far stays); EINVAL for null */
    std::error_code append(zstring_view text) noexcept {
        return make_error_code(ov_str_to_alloc(&handle_, text.c_str(), &size_, &pos_));
    }
    /** Appends the bytes of a view up to its end or its first NUL
     * (ov_strn_to_alloc with the view's length as the limit); the view
     * need not be terminated.
     * @param text  the text
     * @return no error; ENOMEM (the text so far stays) */
    std::error_code append_view(std::string_view text) noexcept {
        return make_error_code(ov_strn_to_alloc(&handle_, text.data() != nullptr ? text.data() : "",
                                                text.size(), &size_, &pos_));
    }
    /** Appends a NUL-terminated string at the end of the text the buffer
     * holds, measured afresh (ov_str_cat_alloc): for a buffer that C calls
     * wrote into through handle().
     * @param text  the string
     * @return no error; ENOMEM (the text so far stays); EINVAL for null */
    std::error_code cat(zstring_view text) noexcept {
        const int32_t rc = ov_str_cat_alloc(&handle_, text.c_str(), &size_);
        pos_ = handle_ != nullptr ? ::strnlen(handle_, size_) : 0;
        return make_error_code(rc);
    }
    /** Appends printf-formatted text (ov_str_vprintf_alloc).
     * @param format  a printf format
     * @param ...     its arguments
     * @return no error; ENOMEM; EINVAL; the host's errno when formatting
     *         fails */
    __attribute__((format(printf, 2, 3))) std::error_code printf(const char *format, ...) noexcept {
        va_list args;
        va_start(args, format);
        const int32_t rc = ov_str_vprintf_alloc(&handle_, &size_, &pos_, format, args);
        va_end(args);
        return make_error_code(rc);
    }
    /** Frees the buffer; the next append starts a new one. */
    void reset() noexcept {
        unique_handle::reset();
        size_ = 0;
        pos_ = 0;
    }
    /** Empties the text and keeps the buffer. */
    void clear() noexcept {
        pos_ = 0;
        if (handle_ != nullptr) handle_[0] = '\0';
    }
    /** @return the text; "" when nothing was appended. */
    const char *c_str() const noexcept { return handle_ != nullptr ? handle_ : ""; }
    /** @return the text as a view. */
    std::string_view view() const noexcept { return {c_str(), pos_}; }
    /** @return the length of the text. */
    std::size_t length() const noexcept { return pos_; }
    /** @return the size of the buffer in bytes (0 before the first append). */
    std::size_t capacity() const noexcept { return size_; }
    /** Gives up the buffer; the caller frees it with free().
     * @return the buffer (null when nothing was appended) */
    char *release() noexcept {
        size_ = 0;
        pos_ = 0;
        return unique_handle::release();
    }

  private:
    std::size_t size_ = 0;
    std::size_t pos_ = 0;
};

/** @cond OV_INTERNAL */
namespace detail {
struct string_array {
    char **strings;
    int32_t count;
};
struct token_traits {
    using handle_type = string_array;
    static handle_type empty() noexcept { return {nullptr, 0}; }
    static bool is_empty(const handle_type &handle) noexcept { return handle.strings == nullptr; }
    static void destroy(handle_type &handle) noexcept {
        ov_str_array_free(handle.strings);
        handle = empty();
    }
};
struct split_args_traits {
    using handle_type = string_array;
    static handle_type empty() noexcept { return {nullptr, 0}; }
    static bool is_empty(const handle_type &handle) noexcept { return handle.strings == nullptr; }
    static void destroy(handle_type &handle) noexcept {
        ov_process_split_args_free(&handle.strings, &handle.count);
    }
};
// The read-only face of a list of heap strings.
template <class Traits>
class string_list : public unique_handle<Traits> {
  public:
    using unique_handle<Traits>::unique_handle;
    std::size_t size() const noexcept { return static_cast<std::size_t>(this->handle_.count); }
    bool empty() const noexcept { return this->handle_.count == 0; }
    const char *operator[](std::size_t index) const noexcept {
        return this->handle_.strings[index];
    }
    const char *const *begin() const noexcept { return this->handle_.strings; }
    const char *const *end() const noexcept { return this->handle_.strings + size(); }
};
}  // namespace detail
/** @endcond */

/** The tokens of a command line split by ov_str_tokenize, freed with
 * ov_str_array_free. Indexable and iterable as `const char *`. */
class token_array : public detail::string_list<detail::token_traits> {
  public:
    using string_list::string_list;
    /** Splits line (ov_str_tokenize).
     * @param line  the command line
     * @return the tokens (none for a line without one); ETOKENIZER for an
     *         open quote or a 1000th token; ENOMEM; EINVAL for null */
    static result<token_array> tokenize(zstring_view line) noexcept {
        detail::string_array tokens{nullptr, 0};
        const int32_t rc = ov_str_tokenize(line.c_str(), &tokens.strings, &tokens.count);
        if (rc != 0) return detail::fail<token_array>(rc);
        return token_array(tokens);
    }
};

/** The words of a command line split by ov_process_split_args, freed with
 * ov_process_split_args_free. Indexable and iterable as `const char *`. */
class arg_list : public detail::string_list<detail::split_args_traits> {
  public:
    using string_list::string_list;
    /** Splits text (ov_process_split_args).
     * @param text  the command line; null gives no words
     * @return the words; EINVAL for an unmatched quote; ENOMEM */
    static result<arg_list> split(zstring_view text) noexcept {
        detail::string_array words{nullptr, 0};
        const int32_t rc = ov_process_split_args(text.c_str(), &words.strings, &words.count);
        if (rc != 0) return detail::fail<arg_list>(rc);
        return arg_list(words);
    }
};

/** @cond OV_INTERNAL */
namespace detail {
inline void free_mounts(ov_mount_t *&list) noexcept {
    (void)ov_platform_mounts_free(&list);
}
inline void free_roots(ov_root_t *&list) noexcept {
    (void)ov_platform_root_list_free(&list);
}
// A forward iterator over a list linked by next pointers.
template <class Node>
class list_iterator {
  public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Node;
    using difference_type = std::ptrdiff_t;
    using pointer = const Node *;
    using reference = const Node &;
    explicit list_iterator(const Node *node = nullptr) noexcept : node_(node) {}
    reference operator*() const noexcept { return *node_; }
    pointer operator->() const noexcept { return node_; }
    list_iterator &operator++() noexcept {
        node_ = node_->next;
        return *this;
    }
    list_iterator operator++(int) noexcept {
        list_iterator before = *this;
        node_ = node_->next;
        return before;
    }
    bool operator==(const list_iterator &other) const noexcept { return node_ == other.node_; }
    bool operator!=(const list_iterator &other) const noexcept { return node_ != other.node_; }

  private:
    const Node *node_;
};
}  // namespace detail
/** @endcond */

/** The file systems of "/etc/fstab" (ov_platform_mounts), freed with
 * ov_platform_mounts_free. Iterable as `const ov_mount_t &`. */
class mount_list : public unique_handle<detail::pointer_traits<ov_mount_t, &detail::free_mounts>> {
  public:
    using unique_handle::unique_handle;
    /** Reads the list (ov_platform_mounts).
     * @return the list (empty when the file lists none); the errno of
     *         opening the file or of statvfs(2); ENOMEM */
    static result<mount_list> read() noexcept {
        ov_mount_t *list = nullptr;
        const int32_t rc = ov_platform_mounts(&list);
        if (rc != 0) return detail::fail<mount_list>(rc);
        return mount_list(list);
    }
    /** @return an iterator on the first record. */
    detail::list_iterator<ov_mount_t> begin() const noexcept {
        return detail::list_iterator<ov_mount_t>(handle_);
    }
    /** @return the iterator past the last record. */
    detail::list_iterator<ov_mount_t> end() const noexcept {
        return detail::list_iterator<ov_mount_t>();
    }
};

/** The roots of the file-system name space (ov_platform_root_list), freed
 * with ov_platform_root_list_free. Iterable as `const ov_root_t &`. */
class root_list : public unique_handle<detail::pointer_traits<ov_root_t, &detail::free_roots>> {
  public:
    using unique_handle::unique_handle;
    /** Makes the list (ov_platform_root_list).
     * @return the list; ENOMEM */
    static result<root_list> read() noexcept {
        ov_root_t *list = nullptr;
        const int32_t rc = ov_platform_root_list(&list);
        if (rc != 0) return detail::fail<root_list>(rc);
        return root_list(list);
    }
    /** @return an iterator on the first root. */
    detail::list_iterator<ov_root_t> begin() const noexcept {
        return detail::list_iterator<ov_root_t>(handle_);
    }
    /** @return the iterator past the last root. */
    detail::list_iterator<ov_root_t> end() const noexcept {
        return detail::list_iterator<ov_root_t>();
    }
};

/** @cond OV_INTERNAL */
namespace detail {
struct aligned_traits {
    struct handle_type {
        void *block;
        std::size_t size;
    };
    static handle_type empty() noexcept { return {nullptr, 0}; }
    static bool is_empty(const handle_type &handle) noexcept { return handle.block == nullptr; }
    static void destroy(handle_type &handle) noexcept {
        (void)ov_platform_aligned_free(handle.block);
        handle = empty();
    }
};
}  // namespace detail
/** @endcond */

/** A zero-filled aligned block (ov_platform_aligned_alloc), freed with
 * ov_platform_aligned_free. get() gives the block and the size asked for. */
class aligned_block : public unique_handle<detail::aligned_traits> {
  public:
    using unique_handle::unique_handle;
    /** Allocates a block (ov_platform_aligned_alloc).
     * @param size       bytes asked for (the block is rounded up to a
     *                   multiple of the alignment)
     * @param alignment  a power of two, at least the size of a pointer;
     *                   0 means 65536
     * @return the block; EINVAL for a bad alignment; ENOMEM */
    static result<aligned_block> allocate(std::size_t size, std::size_t alignment = 0) noexcept {
        void *block = nullptr;
        const int32_t rc = ov_platform_aligned_alloc(&block, alignment, size);
        if (rc != 0) return detail::fail<aligned_block>(rc);
        return aligned_block(handle_type{block, size});
    }
    /** @return the block; null when none is owned. */
    void *data() const noexcept { return handle_.block; }
    /** @return the size asked for. */
    std::size_t size() const noexcept { return handle_.size; }
    /** @return the block as room to write into. */
    mutable_byte_span bytes() const noexcept { return {handle_.block, handle_.size}; }
};

/** A table of call-site blocks (ov_platform_stack_get), each allocated on a
 * caller line's first request and handed out again to that line; the
 * destructor frees them all (ov_platform_stack_release with free_blocks
 * set). Not copyable; moving hands the blocks over.
 * @tparam N  the number of slots */
template <std::size_t N>
class stack_block_table {
  public:
    /** An empty table. */
    stack_block_table() noexcept = default;
    /** Takes other's blocks; other is left empty.
     * @param other  the table to move from */
    stack_block_table(stack_block_table &&other) noexcept { take(other); }
    /** Frees this table's blocks, then takes other's.
     * @param other  the table to move from
     * @return this table */
    stack_block_table &operator=(stack_block_table &&other) noexcept {
        if (this != &other) {
            free_all();
            take(other);
        }
        return *this;
    }
    /** Not copyable. */
    stack_block_table(const stack_block_table &) = delete;
    /** Not copyable.
     * @return nothing; deleted */
    stack_block_table &operator=(const stack_block_table &) = delete;
    /** Frees every block (ov_platform_stack_release). */
    ~stack_block_table() { free_all(); }

    /** The block of a call site (ov_platform_stack_get).
     * @param label  shown in the log line of a failure
     * @param site   shown in the log line of a failure
     * @param line   the caller's line, the key; not 0
     * @param size   bytes the block must hold
     * @return the block; null when the table has failed (logged) */
    void *get(const char *label, const char *site, int32_t line, std::size_t size) noexcept {
        return ov_platform_stack_get(label, site, line, size, slots_, N, &state_);
    }
    /** Frees every block and makes the table usable again (also after a
     * failure). */
    void free_all() noexcept {
        (void)ov_platform_stack_release(slots_, N, 1);
        state_ = OV_PLATFORM_STACK_UNUSED;
    }
    /** @return the slots, for the C calls. */
    ov_stack_slot_t *slots() noexcept { return slots_; }
    /** @return the state word (OV_PLATFORM_STACK_*). */
    uint32_t state() const noexcept { return state_; }

  private:
    void take(stack_block_table &other) noexcept {
        std::memcpy(slots_, other.slots_, sizeof slots_);
        state_ = other.state_;
        std::memset(other.slots_, 0, sizeof other.slots_);
        other.state_ = OV_PLATFORM_STACK_UNUSED;
    }
    ov_stack_slot_t slots_[N] = {};
    uint32_t state_ = OV_PLATFORM_STACK_UNUSED;
};

// ---- Strings and encodings with a length ----------------------------------------------------

/** Whether a view holds only well-formed UTF-8 (ov_utf8_valid_prefix over
 * the view's length). No byte past the view is read; a NUL byte ends the
 * text for the library, so a view holding one is not valid.
 * @param text  the text
 * @return true when every byte belongs to a complete well-formed character */
inline bool utf8_valid(std::string_view text) noexcept {
    if (text.empty()) return true;
    return ov_utf8_valid_prefix(text.data(), text.size()) == text.size();
}

/** Whether a view is a URL scheme (ov_str_is_scheme over its length).
 * @param text  the text
 * @return true when it is a letter followed by letters, digits, '+', '-'
 *         or '.' */
inline bool is_scheme(std::string_view text) noexcept {
    return text.size() > 0 && ov_str_is_scheme(text.data(), text.size()) == 1;
}

/** The number of leading bytes of a view that occur in set (ov_str_span).
 * @param text  the text; a NUL byte in it counts as occurring in set
 * @param set   the bytes to accept, NUL-terminated
 * @return the length of the accepted prefix */
inline std::size_t str_span(std::string_view text, zstring_view set) noexcept {
    return ov_str_span(text.data() != nullptr ? text.data() : "", text.size(), set.c_str());
}

/** Two upper-case hexadecimal digits per byte (ov_str_hex_encode).
 * Allocates the std::string.
 * @param data  the bytes
 * @return the digits */
inline std::string hex_encode(byte_span data) {
    std::string text(2 * data.size() + 1, '\0');
    if (ov_str_hex_encode(data.data(), data.size(), &text[0], text.size()) != 0) return {};
    text.resize(2 * data.size());
    return text;
}

/** Decodes pairs of hexadecimal digits into out (ov_str_hex_decode); the
 * text need not be terminated.
 * @param text  the digits, an even number
 * @param out   room for text.size() / 2 bytes
 * @return the number of bytes written; EINVAL for an odd length or a
 *         character that is not a digit; EBUFFER when out is too small */
inline result<std::size_t> hex_decode(std::string_view text, mutable_byte_span out) noexcept {
    std::size_t length = 0;
    const int32_t rc = ov_str_hex_decode(text.data() != nullptr ? text.data() : "", text.size(),
                                         out.data(), out.size(), &length);
    if (rc != 0) return detail::fail<std::size_t>(rc);
    return length;
}

/** Base64 text of data, standard alphabet with padding
 * (ov_str_base64_encode). Allocates the std::string.
 * @param data  the bytes
 * @return the text */
inline std::string base64_encode(byte_span data) {
    std::string text(4 * ((data.size() + 2) / 3) + 1, '\0');
    std::size_t length = 0;
    if (ov_str_base64_encode(data.data(), data.size(), &text[0], text.size(), &length) != 0) {
        return {};
    }
    text.resize(length);
    return text;
}

/** Decodes strict Base64 into out (ov_str_base64_to_buf); the text need not
 * be terminated. White space is dropped.
 * @param text  the text
 * @param out   room for more than 3 * (text length / 4) bytes: one byte more
 *              than the largest result
 * @return the number of bytes written; EINVAL for a character outside the
 *         alphabet or a bad length; EBUFFER when out is too small */
inline result<std::size_t> base64_decode(std::string_view text, mutable_byte_span out) noexcept {
    std::size_t length = 0;
    const int32_t rc = ov_str_base64_to_buf(text.data() != nullptr ? text.data() : "", text.size(),
                                            out.data(), out.size(), &length);
    if (rc != 0) return detail::fail<std::size_t>(rc);
    return length;
}

/** Base64url text of data, without padding (ov_str_base64url_encode).
 * Allocates the std::string.
 * @param data  the bytes
 * @return the text */
inline std::string base64url_encode(byte_span data) {
    std::string text(ov_str_base64url_size(data.size()), '\0');
    std::size_t length = 0;
    if (ov_str_base64url_encode(data.data(), data.size(), &text[0], text.size(), &length) != 0) {
        return {};
    }
    text.resize(length);
    return text;
}

/** Decodes Base64url without padding into out (ov_str_base64url_decode);
 * the text need not be terminated.
 * @param text  the text
 * @param out   room for 3 * ceil(text length / 4) bytes
 * @return the number of bytes written; EINVAL for length 1 or a character
 *         outside the alphabet; EBUFFER when out is too small */
inline result<std::size_t> base64url_decode(std::string_view text, mutable_byte_span out) noexcept {
    std::size_t length = 0;
    const int32_t rc = ov_str_base64url_decode(text.data() != nullptr ? text.data() : "",
                                               text.size(), out.data(), out.size(), &length);
    if (rc != 0) return detail::fail<std::size_t>(rc);
    return length;
}

// ---- Files ----------------------------------------------------------------------------------

/** @cond OV_INTERNAL */
namespace detail {
struct file_traits {
    using handle_type = ov_file_t;
    static handle_type empty() noexcept { return -1; }
    static bool is_empty(handle_type handle) noexcept { return handle == -1; }
    static void destroy(handle_type &handle) noexcept { (void)ov_file_close(&handle); }
};
}  // namespace detail
/** @endcond */

/** An open file descriptor (ov_file_t), closed with ov_file_close; -1 when
 * nothing is open. */
class file : public unique_handle<detail::file_traits> {
  public:
    using unique_handle::unique_handle;

    /** Opens path with OV_FILE_* flags (ov_file_open).
     * @param path   the file
     * @param flags  OV_FILE_READ, OV_FILE_WRITE, OV_FILE_CREATE, ...
     * @param mode   permission bits of a created file (less the umask)
     * @return the file; the errno of open(2) */
    static result<file> open(zstring_view path, uint32_t flags, uint32_t mode = 0644) noexcept {
        ov_file_t fd = -1;
        const int32_t rc = ov_file_open(path.c_str(), &fd, flags, mode);
        return opened(rc, fd);
    }
    /** Opens path read-only (ov_file_open_read).
     * @param path  the file
     * @return the file; the errno of open(2) */
    static result<file> open_read(zstring_view path) noexcept {
        ov_file_t fd = -1;
        const int32_t rc = ov_file_open_read(path.c_str(), &fd);
        return opened(rc, fd);
    }
    /** Opens path write-only, created when missing, truncated
     * (ov_file_create).
     * @param path  the file
     * @param mode  permission bits of a created file (less the umask)
     * @return the file; the errno of open(2) */
    static result<file> create(zstring_view path, uint32_t mode = 0644) noexcept {
        ov_file_t fd = -1;
        const int32_t rc = ov_file_create(path.c_str(), &fd, mode);
        return opened(rc, fd);
    }
    /** Opens path for appending, created when missing (ov_file_open_append).
     * @param path  the file
     * @param mode  permission bits of a created file (less the umask)
     * @return the file; the errno of open(2) */
    static result<file> open_append(zstring_view path, uint32_t mode = 0644) noexcept {
        ov_file_t fd = -1;
        const int32_t rc = ov_file_open_append(path.c_str(), &fd, mode);
        return opened(rc, fd);
    }
    /** Opens path read-write, created when missing unless mode is 7
     * (ov_file_open_rw).
     * @param path  the file
     * @param mode  permission bits of a created file; 7 opens only an
     *              existing file
     * @return the file; the errno of open(2) */
    static result<file> open_rw(zstring_view path, uint32_t mode = 0644) noexcept {
        ov_file_t fd = -1;
        const int32_t rc = ov_file_open_rw(path.c_str(), &fd, mode);
        return opened(rc, fd);
    }

    /** Closes the descriptor now (ov_file_close); the owner is empty
     * afterwards, also when close(2) fails.
     * @return no error; the errno of close(2) */
    std::error_code close() noexcept { return make_error_code(ov_file_close(&handle_)); }

    /** One read(2) (ov_fileread).
     * @param out  room for the bytes
     * @return the bytes read, 0 at the end of the file; errno */
    result<std::size_t> read(mutable_byte_span out) noexcept {
        uint64_t count = 0;
        const int32_t rc = ov_fileread(&handle_, out.data(), out.size(), &count);
        if (rc != 0) return detail::fail<std::size_t>(rc);
        return static_cast<std::size_t>(count);
    }
    /** One write(2) (ov_file_write); it may write less than given.
     * @param data  the bytes
     * @return the bytes written; errno */
    result<std::size_t> write(byte_span data) noexcept {
        uint64_t count = 0;
        const int32_t rc = ov_file_write(&handle_, data.data(), data.size(), &count);
        if (rc != 0) return detail::fail<std::size_t>(rc);
        return static_cast<std::size_t>(count);
    }
    /** Writes all of data with as many ov_file_write calls as it takes;
     * stops at the first failure (an interrupted write included).
     * @param data  the bytes
     * @return no error; the failing write's errno; EIO when a write
     *         stores nothing */
    std::error_code write_all(byte_span data) noexcept {
        const char *at = static_cast<const char *>(data.data());
        std::size_t left = data.size();
        while (left > 0) {
            uint64_t count = 0;
            const int32_t rc = ov_file_write(&handle_, at, left, &count);
            if (rc != 0) return make_error_code(rc);
            if (count == 0) return make_error_code(EIO);
            at += count;
            left -= static_cast<std::size_t>(count);
        }
        return {};
    }
    /** One pread(2) at offset (ov_file_pread).
     * @param out     room for the bytes
     * @param offset  the file position
     * @return the bytes read; errno */
    result<std::size_t> pread(mutable_byte_span out, int64_t offset) noexcept {
        uint64_t count = 0;
        const int32_t rc = ov_file_pread(&handle_, out.data(), out.size(), offset, &count);
        if (rc != 0) return detail::fail<std::size_t>(rc);
        return static_cast<std::size_t>(count);
    }
    /** One pwrite(2) at offset (ov_file_pwrite).
     * @param data    the bytes
     * @param offset  the file position
     * @return the bytes written; errno */
    result<std::size_t> pwrite(byte_span data, int64_t offset) noexcept {
        uint64_t count = 0;
        const int32_t rc = ov_file_pwrite(&handle_, data.data(), data.size(), offset, &count);
        if (rc != 0) return detail::fail<std::size_t>(rc);
        return static_cast<std::size_t>(count);
    }
    /** lseek(2) (ov_file_seek).
     * @param offset  the offset
     * @param whence  SEEK_SET, SEEK_CUR or SEEK_END
     * @return no error; errno */
    std::error_code seek(uint64_t offset, int whence = SEEK_SET) noexcept {
        return make_error_code(ov_file_seek(&handle_, offset, whence));
    }
    /** ftruncate(2) (ov_file_truncate).
     * @param length  the new length
     * @return no error; errno */
    std::error_code truncate(int64_t length) noexcept {
        return make_error_code(ov_file_truncate(&handle_, length));
    }
    /** fdatasync(2) (ov_file_sync).
     * @return no error; EINVAL when nothing is open; errno */
    std::error_code sync() noexcept { return make_error_code(ov_file_sync(&handle_)); }
    /** fstat(2) (ov_file_fstat).
     * @return the status; errno */
    result<ov_stat_t> stat() noexcept {
        ov_stat_t status{};
        const int32_t rc = ov_file_fstat(&handle_, &status);
        if (rc != 0) return detail::fail<ov_stat_t>(rc);
        return status;
    }

  private:
    static result<file> opened(int32_t rc, ov_file_t fd) noexcept {
        if (rc != 0) return detail::fail<file>(rc);
        return file(fd);
    }
};

/** @cond OV_INTERNAL */
namespace detail {
inline void close_stream(FILE *&stream) noexcept {
    (void)ov_file_fclose(&stream);
}
}  // namespace detail
/** @endcond */

/** A standard I/O stream opened by ov_file_fopen_read or
 * ov_file_fopen_write, closed with ov_file_fclose. */
class stream : public unique_handle<detail::pointer_traits<FILE, &detail::close_stream>> {
  public:
    using unique_handle::unique_handle;
    /** fopen(3) with "r" (ov_file_fopen_read).
     * @param path  the file
     * @return the stream; errno */
    static result<stream> open_read(zstring_view path) noexcept {
        FILE *f = nullptr;
        const int32_t rc = ov_file_fopen_read(path.c_str(), &f);
        if (rc != 0) return detail::fail<stream>(rc);
        return stream(f);
    }
    /** fopen(3) with "w" (ov_file_fopen_write).
     * @param path  the file
     * @return the stream; errno */
    static result<stream> open_write(zstring_view path) noexcept {
        FILE *f = nullptr;
        const int32_t rc = ov_file_fopen_write(path.c_str(), &f);
        if (rc != 0) return detail::fail<stream>(rc);
        return stream(f);
    }
    /** Closes the stream now (ov_file_fclose); the owner is empty
     * afterwards, also when fclose fails.
     * @return no error; EBADF when fclose fails or nothing is open */
    std::error_code close() noexcept { return make_error_code(ov_file_fclose(&handle_)); }
};

/** @cond OV_INTERNAL */
namespace detail {
inline void free_owner(ov_file_owner_t *&owner) noexcept {
    (void)ov_file_owner_free(&owner);
}
}  // namespace detail
/** @endcond */

/** An owner record for ov_file_chown (ov_file_owner_create), freed with
 * ov_file_owner_free. */
class file_owner
    : public unique_handle<detail::pointer_traits<ov_file_owner_t, &detail::free_owner>> {
  public:
    using unique_handle::unique_handle;
    /** Looks up user and group (ov_file_owner_create).
     * @param user   a user name, or null to leave the user unchanged
     * @param group  a group name, or null (or one beginning with '-') to
     *               leave the group unchanged
     * @return the record; EUNAME for an unknown user; ENOENT for an
     *         unknown group; ENOMEM; the look-up's error */
    static result<file_owner> create(zstring_view user, zstring_view group) noexcept {
        ov_file_owner_t *owner = nullptr;
        const int32_t rc = ov_file_owner_create(user.c_str(), group.c_str(), &owner);
        if (rc != 0) return detail::fail<file_owner>(rc);
        return file_owner(owner);
    }
    /** chown(2) of the file path leads to (ov_file_chown).
     * @param path  the file
     * @return no error; EINVAL when nothing is owned; errno */
    std::error_code chown(zstring_view path) const noexcept {
        return make_error_code(ov_file_chown(handle_, path.c_str()));
    }
    /** lchown(2) of path itself (ov_file_lchown).
     * @param path  the file
     * @return no error; EINVAL when nothing is owned; errno */
    std::error_code lchown(zstring_view path) const noexcept {
        return make_error_code(ov_file_lchown(handle_, path.c_str()));
    }
};

// ---- Directories ----------------------------------------------------------------------------

/** @cond OV_INTERNAL */
namespace detail {
struct dir_traits {
    using handle_type = ov_dir_t;
    static handle_type empty() noexcept { return ov_dir_t{nullptr}; }
    static bool is_empty(const handle_type &handle) noexcept { return handle.stream == nullptr; }
    static void destroy(handle_type &handle) noexcept { (void)ov_dir_close(&handle); }
};
inline void close_walk(ov_dir_walk_t *&walker) noexcept {
    if (walker != nullptr) (void)ov_dir_walk_close(&walker);
}
}  // namespace detail
/** @endcond */

/** An open directory stream (ov_dir_t), closed with ov_dir_close; its
 * stream is null when nothing is open. */
class dir : public unique_handle<detail::dir_traits> {
  public:
    using unique_handle::unique_handle;
    /** opendir(3) (ov_dir_open).
     * @param path  the directory
     * @return the stream; errno */
    static result<dir> open(zstring_view path) noexcept {
        ov_dir_t d{nullptr};
        const int32_t rc = ov_dir_open(path.c_str(), &d);
        if (rc != 0) return detail::fail<dir>(rc);
        return dir(d);
    }
    /** The next entry's name, "." and ".." included (ov_dir_read).
     * Allocates the std::string.
     * @param name  receives the name
     * @return no error; EDIREND at the end; EINVAL when nothing is open;
     *         errno */
    std::error_code read(std::string &name) {
        char buffer[OV_DIR_NAME_SIZE];
        const int32_t rc = ov_dir_read(&handle_, buffer);
        if (rc == 0) name.assign(buffer);
        return make_error_code(rc);
    }
    /** Closes the stream now (ov_dir_close); the owner is empty afterwards,
     * also when closedir fails.
     * @return no error; errno */
    std::error_code close() noexcept { return make_error_code(ov_dir_close(&handle_)); }
};

/** A depth-first walk (ov_dir_walk_open), ended with ov_dir_walk_close. */
class dir_walk : public unique_handle<detail::pointer_traits<ov_dir_walk_t, &detail::close_walk>> {
  public:
    using unique_handle::unique_handle;
    /** Starts a walk at a directory, or at a regular file walked as itself
     * (ov_dir_walk_open).
     * @param path  where to start
     * @return the walk; ENOTDIR; ENOMEM; errno */
    static result<dir_walk> open(zstring_view path) noexcept {
        ov_dir_walk_t *walker = nullptr;
        const int32_t rc = ov_dir_walk_open(&walker, path.c_str());
        if (rc != 0) return detail::fail<dir_walk>(rc);
        return dir_walk(walker);
    }
    /** The next entry as a full path (ov_dir_walk_next). Allocates the
     * std::string.
     *
     * An entry that cannot be looked at (a dangling symbolic link, a
     * directory that cannot be opened) ends the call with the error and its
     * path; the walk has passed it, and the next call goes on with the next
     * entry. An error with an empty path came from reading the directory.
     * @param path  receives the path; empty after an error not tied to an
     *              entry
     * @param type  receives the OV_DIR_WALK_* type; may be null
     * @return no error; EDIREND when the walk is over; errno */
    std::error_code next(std::string &path, int32_t *type = nullptr) {
        char buffer[OV_DIR_NAME_SIZE];
        buffer[0] = '\0';
        const int32_t rc = ov_dir_walk_next(handle_, buffer, sizeof buffer, type);
        buffer[sizeof buffer - 1] = '\0';
        if (rc != EDIREND) path.assign(rc == EBUFFER ? "" : buffer);
        return make_error_code(rc);
    }
    /** Leaves the innermost directory (ov_dir_walk_pop).
     * @return no error; EINVAL when no directory is left */
    std::error_code pop() noexcept { return make_error_code(ov_dir_walk_pop(handle_)); }
};

// ---- Processes ------------------------------------------------------------------------------

/** @cond OV_INTERNAL */
namespace detail {
// Stops a child and collects it: SIGTERM, a grace period, then SIGKILL.
inline void stop_child(pid_t &pid) noexcept {
    constexpr uint32_t kGraceMs = 3000;
    (void)ov_platform_process_terminate(pid);
    if (ov_platform_process_wait(pid, kGraceMs, nullptr) == ETIMEDOUT) {
        (void)::kill(pid, SIGKILL);
        (void)ov_platform_process_wait(pid, UINT32_MAX, nullptr);
    }
    pid = 0;
}
struct process_traits {
    using handle_type = pid_t;
    static handle_type empty() noexcept { return 0; }
    static bool is_empty(handle_type handle) noexcept { return handle <= 0; }
    static void destroy(handle_type &handle) noexcept { stop_child(handle); }
};
}  // namespace detail
/** @endcond */

/** What ov_process_spawn needs besides the program and its arguments. */
struct spawn_options {
    const char *dir = nullptr;   ///< working directory of the child; null keeps it
    char *const *env = nullptr;  ///< environment (null-terminated); null keeps it
    uint32_t flags = 0;          ///< OV_SPAWN_* flags
    ov_spawn_fn_t fn = nullptr;  ///< run in the child before the program; may be null
    void *data = nullptr;        ///< fn's argument
    const char *user = nullptr;  ///< run as this user (through "sudo"); null: as the caller
    bool pipe_in = false;        ///< make a pipe to the child's standard input
    bool pipe_out = false;       ///< make a pipe from the child's standard output
    bool pipe_err = false;       ///< make a pipe from the child's standard error
};

/** A child process started by ov_platform_process_start,
 * ov_platform_process_start_shell or ov_process_spawn, with the pipe ends
 * the caller keeps. get() is its process id.
 *
 * The destructor closes the pipe ends, then ends a child not yet collected:
 * SIGTERM (ov_platform_process_terminate), a wait of up to three seconds
 * (ov_platform_process_wait), then SIGKILL and a wait until it has ended.
 * release() leaves the child running and to the caller to collect. */
class child_process : public unique_handle<detail::process_traits> {
  public:
    using unique_handle::unique_handle;

    /** Starts program with the arguments (ov_platform_process_start).
     * @param program  searched in PATH
     * @param args     the arguments after the program's name
     * @param count    the number of arguments
     * @return the child; EINVAL; ERANGE for too many arguments; the errno
     *         of fork */
    static result<child_process> start(zstring_view program, const char *const *args,
                                       std::size_t count) noexcept {
        pid_t pid = 0;
        const int32_t rc = ov_platform_process_start(&pid, program.c_str(), args, count);
        if (rc != 0) return detail::fail<child_process>(rc);
        return child_process(pid);
    }
    /** Starts program with the arguments (ov_platform_process_start).
     * @param program  searched in PATH
     * @param args     the arguments after the program's name
     * @return as the other start */
    static result<child_process> start(zstring_view program,
                                       std::initializer_list<const char *> args) noexcept {
        return start(program, args.begin(), args.size());
    }
    /** Starts "/bin/sh -c command" (ov_platform_process_start_shell).
     * @param command  the shell command
     * @return the child; EINVAL; the errno of fork */
    static result<child_process> start_shell(zstring_view command) noexcept {
        pid_t pid = 0;
        const int32_t rc = ov_platform_process_start_shell(&pid, command.c_str());
        if (rc != 0) return detail::fail<child_process>(rc);
        return child_process(pid);
    }
    /** Starts program with pipes, a directory, an environment or a user
     * (ov_process_spawn); the pipe ends asked for are kept in in(), out()
     * and err().
     * @param program  the program; it is also its own argv[0]
     * @param args     the arguments after the program's name,
     *                 args[0..argc-1]
     * @param argc     the number of arguments
     * @param options  the rest; by default none
     * @return the child; EINVAL; ERANGE; ENOENT for an unknown user; the
     *         errno of a pipe or of the fork */
    static result<child_process> spawn(zstring_view program, char *const *args, int32_t argc,
                                       const spawn_options &options = {}) noexcept {
        pid_t pid = 0;
        ov_file_t in = -1, out = -1, err = -1;
        const int32_t rc = ov_process_spawn(
            &pid, program.c_str(), args, argc, options.dir, options.env, options.flags, options.fn,
            options.data, options.pipe_in ? &in : nullptr, options.pipe_out ? &out : nullptr,
            options.pipe_err ? &err : nullptr, options.user);
        if (rc != 0) return detail::fail<child_process>(rc);
        child_process child(pid);
        child.in_.reset(in);
        child.out_.reset(out);
        child.err_.reset(err);
        return child;
    }

    /** @return the process id; 0 when nothing is owned. */
    pid_t pid() const noexcept { return handle_; }
    /** @return the write end of the child's standard input pipe. */
    file &in() noexcept { return in_; }
    /** @return the read end of the child's standard output pipe. */
    file &out() noexcept { return out_; }
    /** @return the read end of the child's standard error pipe. */
    file &err() noexcept { return err_; }

    /** Sends SIGTERM (ov_platform_process_terminate).
     * @return no error; the errno of kill(2) */
    std::error_code terminate() noexcept {
        return make_error_code(ov_platform_process_terminate(handle_));
    }
    /** Waits for the child to end and collects it (ov_platform_process_wait);
     * the owner is empty afterwards.
     * @param timeout_ms  the longest wait
     * @return the exit status, or -1 when a signal killed it; ETIMEDOUT
     *         when it still runs (it stays owned); the errno of waitpid(2) */
    result<int32_t> wait(uint32_t timeout_ms = UINT32_MAX) noexcept {
        int32_t status = -1;
        const int32_t rc = ov_platform_process_wait(handle_, timeout_ms, &status);
        if (rc == ETIMEDOUT) return detail::fail<int32_t>(rc);
        // Collected, or (ECHILD) no longer this process's to collect.
        handle_ = 0;
        if (rc != 0) return detail::fail<int32_t>(rc);
        return status;
    }

  private:
    file in_, out_, err_;
};

/** @cond OV_INTERNAL */
namespace detail {
inline void remove_pidfile(char *&path) noexcept {
    (void)ov_pidfile_remove(&path);
}
}  // namespace detail
/** @endcond */

/** A pid file "<prefix>/var/run/orvane/<name>.pid" (ov_pidfile_create),
 * deleted and its path freed with ov_pidfile_remove. */
class pidfile : public unique_handle<detail::pointer_traits<char, &detail::remove_pidfile>> {
  public:
    using unique_handle::unique_handle;
    /** Writes the pid file (ov_pidfile_create).
     * @param prefix  the installation prefix
     * @param name    the daemon's name
     * @return the pid file; EINVAL; ENOMEM; the errno of the open or write */
    static result<pidfile> create(zstring_view prefix, zstring_view name) noexcept {
        char *path = nullptr;
        const int32_t rc = ov_pidfile_create(prefix.c_str(), name.c_str(), &path);
        if (rc != 0) return detail::fail<pidfile>(rc);
        return pidfile(path);
    }
    /** @return the pid file's path; null when none is owned. */
    const char *path() const noexcept { return handle_; }
    /** Deletes the file now and frees the path (ov_pidfile_remove); the
     * owner is empty afterwards, also when the delete fails.
     * @return no error; EINVAL when nothing is owned; the delete's errno */
    std::error_code remove() noexcept { return make_error_code(ov_pidfile_remove(&handle_)); }
};

// ---- Process-wide set-up --------------------------------------------------------------------

/** @cond OV_INTERNAL */
namespace detail {
struct platform_traits {
    using handle_type = bool;
    static handle_type empty() noexcept { return false; }
    static bool is_empty(handle_type handle) noexcept { return !handle; }
    static void destroy(handle_type &handle) noexcept {
        (void)ov_platform_fini();
        handle = false;
    }
};
struct log_traits {
    using handle_type = bool;
    static handle_type empty() noexcept { return false; }
    static bool is_empty(handle_type handle) noexcept { return !handle; }
    static void destroy(handle_type &handle) noexcept {
        (void)ov_log_close();
        handle = false;
    }
};
}  // namespace detail
/** @endcond */

/** One counted start-up of the library (ov_platform_init), counted down by
 * ov_platform_fini. */
class platform_session : public unique_handle<detail::platform_traits> {
  public:
    using unique_handle::unique_handle;
    /** Counts a start-up (ov_platform_init).
     * @return the session (the call does not fail) */
    static platform_session start() noexcept {
        (void)ov_platform_init();
        return platform_session(true);
    }
};

/** The logger's destination (ov_log_open, ov_log_open_syslog,
 * ov_log_set_callback), ended with ov_log_close.
 *
 * The logger is process-wide and takes one destination per set-up cycle;
 * the openers here refuse with EALREADY while one is set, so that this
 * owner never closes a destination that someone else chose. */
class log_session : public unique_handle<detail::log_traits> {
  public:
    using unique_handle::unique_handle;
    /** Chooses a destination (ov_log_open).
     * @param kind  OV_LOG_FILE or OV_LOG_SYSLOG
     * @param path  the log file ("-" for standard error alone); null for the
     *              system log
     * @return the session; EALREADY while a destination is set; the codes
     *         of ov_log_open */
    static result<log_session> open(int kind, zstring_view path) noexcept {
        if (ov_log_kind() != OV_LOG_NONE) return detail::fail<log_session>(EALREADY);
        return opened(ov_log_open(kind, path.c_str()));
    }
    /** Chooses the system log (ov_log_open_syslog).
     * @param identity  the identity, which must stay valid while the log is
     *                  open; null: the program's name
     * @return the session; EALREADY while a destination is set */
    static result<log_session> open_syslog(const char *identity) noexcept {
        if (ov_log_kind() != OV_LOG_NONE) return detail::fail<log_session>(EALREADY);
        return opened(ov_log_open_syslog(identity));
    }
    /** Chooses a callback (ov_log_set_callback).
     * @param callback  the destination
     * @return the session; EALREADY while a destination is set; ERANGE for
     *         a null callback */
    static result<log_session> open_callback(ov_log_callback_t callback) noexcept {
        if (ov_log_kind() != OV_LOG_NONE) return detail::fail<log_session>(EALREADY);
        return opened(ov_log_set_callback(callback));
    }
    /** Ends the destination now (ov_log_close).
     * @return no error; the error of ov_log_close */
    std::error_code close() noexcept {
        if (!release()) return {};
        return make_error_code(ov_log_close());
    }

  private:
    static result<log_session> opened(int32_t rc) noexcept {
        if (rc != 0) return detail::fail<log_session>(rc);
        return log_session(true);
    }
};

/** Logs text as one message (ov_log with "%.*s"); the view need not be
 * terminated and is never read as a format.
 * @param level   the level (0 and 1 errors, 2 and 3 notable, 4 and up
 *                debug)
 * @param source  the caller's source name, as ov_log takes it
 * @param line    the caller's line
 * @param text    the message
 * @return as ov_log: informative only */
inline int log_text(uint32_t level, const char *source, int line, std::string_view text) noexcept {
    const int length = text.size() > 0x7fffffff ? 0x7fffffff : static_cast<int>(text.size());
    return ov_log(level, source, line, "%.*s", length, text.data() != nullptr ? text.data() : "");
}

// ---- Threads --------------------------------------------------------------------------------

/** @cond OV_INTERNAL */
namespace detail {
struct thread_traits {
    using handle_type = ov_thread_t;
    static handle_type empty() noexcept { return 0; }
    static bool is_empty(handle_type handle) noexcept { return handle == 0; }
    static void destroy(handle_type &handle) noexcept { (void)ov_thread_join(&handle); }
};
template <class Fn>
void *run_callable(void *arg) {
    Fn *fn = static_cast<Fn *>(arg);
    (*fn)();
    delete fn;
    return nullptr;
}
}  // namespace detail
/** @endcond */

/** A joinable thread started by ov_thread_spawn and joined with
 * ov_thread_join. The destructor waits for the thread to end; release()
 * leaves the joining to the caller. */
class thread : public unique_handle<detail::thread_traits> {
  public:
    using unique_handle::unique_handle;
    /** Starts start(arg) (ov_thread_spawn).
     * @param start  the thread's function
     * @param arg    its argument
     * @return the thread; EINVAL for a null start; the pthread error */
    static result<thread> spawn(ov_thread_start_t start, void *arg) noexcept {
        ov_thread_t id = 0;
        const int32_t rc = ov_thread_spawn(&id, start, arg);
        if (rc != 0) return detail::fail<thread>(rc);
        return thread(id);
    }
    /** Starts a copy of a callable (ov_thread_spawn); the copy lives on the
     * heap until the thread is done with it.
     * @tparam F  a callable taking no arguments
     * @param fn  the callable
     * @return the thread; ENOMEM; the pthread error */
    template <class F, std::enable_if_t<std::is_invocable_v<std::decay_t<F> &>, int> = 0>
    static result<thread> spawn(F &&fn) noexcept {
        using Fn = std::decay_t<F>;
        Fn *copy = new (std::nothrow) Fn(std::forward<F>(fn));
        if (copy == nullptr) return detail::fail<thread>(ENOMEM);
        ov_thread_t id = 0;
        const int32_t rc = ov_thread_spawn(&id, &detail::run_callable<Fn>, copy);
        if (rc != 0) {
            delete copy;
            return detail::fail<thread>(rc);
        }
        return thread(id);
    }
    /** Waits for the thread to end (ov_thread_join); the owner is empty
     * afterwards.
     * @return no error; ESRCH when nothing is owned; the pthread error */
    std::error_code join() noexcept { return make_error_code(ov_thread_join(&handle_)); }
    /** @return whether the thread can still be signalled
     * (ov_thread_is_alive). */
    bool alive() const noexcept { return ov_thread_is_alive(&handle_) == 1; }
};

// ---- Synchronisation ------------------------------------------------------------------------

/** A mutex initialised in place (ov_mutex_init or ov_mutex_init_recursive)
 * and destroyed with ov_mutex_destroy. Neither copyable nor movable: the
 * system's mutex must stay where it was initialised (use unique_mutex for
 * one that moves). lock(), unlock() and try_lock() let std::lock_guard and
 * std::unique_lock use it. */
class mutex {
  public:
    /** The kinds of mutex. */
    enum class kind {
        error_checking,  ///< a second lock by the owner is fatal (ov_mutex_init)
        recursive        ///< the owner may lock it again (ov_mutex_init_recursive)
    };
    /** Initialises the mutex; this does not fail.
     * @param k  its kind */
    explicit mutex(kind k = kind::error_checking) noexcept {
        (void)(k == kind::recursive ? ov_mutex_init_recursive(&mutex_) : ov_mutex_init(&mutex_));
    }
    /** Not copyable. */
    mutex(const mutex &) = delete;
    /** Not copyable.
     * @return nothing; deleted */
    mutex &operator=(const mutex &) = delete;
    /** ov_mutex_destroy. */
    ~mutex() { (void)ov_mutex_destroy(&mutex_); }

    /** @return the mutex, for the C calls. */
    ov_mutex_t *get() noexcept { return &mutex_; }
    /** Blocking lock (ov_mutex_acquire): a second lock by the owner of an
     * error-checking mutex is fatal unless a reacquire hook is installed.
     * @return no error; the pthread error */
    std::error_code lock() noexcept { return make_error_code(ov_mutex_acquire(&mutex_)); }
    /** Non-blocking lock (ov_mutex_acquire_nb).
     * @return true when taken */
    bool try_lock() noexcept { return ov_mutex_acquire_nb(&mutex_) == 0; }
    /** Unlock (ov_mutex_release).
     * @return no error; EPERM when not the owner */
    std::error_code unlock() noexcept { return make_error_code(ov_mutex_release(&mutex_)); }

  private:
    ov_mutex_t mutex_;
};

/** @cond OV_INTERNAL */
namespace detail {
inline void free_mutex(ov_mutex_t *&m) noexcept {
    ov_mutex_free(&m);
}
inline void free_sem(ov_sem_t *&s) noexcept {
    ov_sem_free(&s);
}
inline void free_rwlock(ov_rwlock_t *&l) noexcept {
    ov_rwlock_free(&l);
}
}  // namespace detail
/** @endcond */

/** An error-checking mutex on the heap (ov_mutex_create), destroyed and
 * freed with ov_mutex_free. */
class unique_mutex : public unique_handle<detail::pointer_traits<ov_mutex_t, &detail::free_mutex>> {
  public:
    using unique_handle::unique_handle;
    /** Allocates the mutex (ov_mutex_create).
     * @return the mutex; ENOMEM */
    static result<unique_mutex> create() noexcept {
        ov_mutex_t *m = nullptr;
        const int32_t rc = ov_mutex_create(&m);
        if (rc != 0) return detail::fail<unique_mutex>(rc);
        return unique_mutex(m);
    }
    /** Blocking lock (ov_mutex_acquire).
     * @return no error; the pthread error */
    std::error_code lock() noexcept { return make_error_code(ov_mutex_acquire(handle_)); }
    /** Non-blocking lock (ov_mutex_acquire_nb).
     * @return true when taken */
    bool try_lock() noexcept { return ov_mutex_acquire_nb(handle_) == 0; }
    /** Unlock (ov_mutex_release).
     * @return no error; EPERM when not the owner */
    std::error_code unlock() noexcept { return make_error_code(ov_mutex_release(handle_)); }
};

/** Holds a mutex for its lifetime (ov_mutex_acquire, ov_mutex_release);
 * unlike std::lock_guard it reports a failed lock through error() instead
 * of assuming success. */
class mutex_lock {
  public:
    /** Locks m.
     * @param m  the mutex */
    explicit mutex_lock(ov_mutex_t *m) noexcept
        : mutex_(m), error_(make_error_code(ov_mutex_acquire(m))) {}
    /** Locks m.
     * @param m  the mutex */
    explicit mutex_lock(mutex &m) noexcept : mutex_lock(m.get()) {}
    /** Locks m.
     * @param m  the mutex */
    explicit mutex_lock(unique_mutex &m) noexcept : mutex_lock(m.get()) {}
    /** Not copyable. */
    mutex_lock(const mutex_lock &) = delete;
    /** Not copyable.
     * @return nothing; deleted */
    mutex_lock &operator=(const mutex_lock &) = delete;
    /** Unlocks the mutex if it was locked. */
    ~mutex_lock() {
        if (!error_) (void)ov_mutex_release(mutex_);
    }
    /** @return the lock's error; false when the mutex is held. */
    const std::error_code &error() const noexcept { return error_; }
    /** @return true when the mutex is held. */
    explicit operator bool() const noexcept { return !error_; }

  private:
    ov_mutex_t *mutex_;
    std::error_code error_;
};

/** A condition record (ov_cond_t) bound to a mutex, initialised in place by
 * init() (ov_cond_init) and destroyed with ov_cond_destroy. Neither
 * copyable nor movable. Destroy it before its mutex. */
class condition {
  public:
    /** Not initialised yet: call init(). */
    condition() noexcept = default;
    /** Not copyable. */
    condition(const condition &) = delete;
    /** Not copyable.
     * @return nothing; deleted */
    condition &operator=(const condition &) = delete;
    /** ov_cond_destroy, when initialised. */
    ~condition() {
        if (initialised_) (void)ov_cond_destroy(&cond_);
    }
    /** Binds the record to m (ov_cond_init); its waits run on the monotonic
     * clock.
     * @param m  the mutex every wait releases and takes again; it must
     *           outlive the record
     * @return no error; EINVAL when initialised already; the pthread error */
    std::error_code init(ov_mutex_t *m) noexcept {
        if (initialised_) return make_error_code(EINVAL);
        const int32_t rc = ov_cond_init(&cond_, m);
        initialised_ = rc == 0;
        return make_error_code(rc);
    }
    /** Binds the record to m (ov_cond_init).
     * @param m  the mutex
     * @return as the other init */
    std::error_code init(mutex &m) noexcept { return init(m.get()); }
    /** @return true once init() succeeded. */
    bool valid() const noexcept { return initialised_; }
    /** @return the record, for the C calls. */
    ov_cond_t *get() noexcept { return &cond_; }
    /** Waits without limit (ov_cond_wait); the caller holds the mutex. A
     * return without a signal is possible.
     * @return the pthread result */
    std::error_code wait() noexcept { return make_error_code(ov_cond_wait(&cond_)); }
    /** Waits at most ms milliseconds (ov_cond_wait_ms); negative waits
     * without limit.
     * @param ms  the timeout
     * @return no error when woken; ETIMEDOUT */
    std::error_code wait_ms(int32_t ms) noexcept {
        return make_error_code(ov_cond_wait_ms(&cond_, ms));
    }
    /** Wakes one waiter (ov_cond_signal).
     * @return the pthread result */
    std::error_code signal() noexcept { return make_error_code(ov_cond_signal(&cond_)); }
    /** Wakes every waiter (ov_cond_broadcast).
     * @return the pthread result */
    std::error_code broadcast() noexcept { return make_error_code(ov_cond_broadcast(&cond_)); }

  private:
    ov_cond_t cond_{};
    bool initialised_ = false;
};

/** A process-private counting semaphore initialised in place by init()
 * (ov_sem_init) and destroyed with ov_sem_destroy. Neither copyable nor
 * movable (use unique_semaphore for one that moves). */
class semaphore {
  public:
    /** Not initialised yet: call init(). */
    semaphore() noexcept = default;
    /** Not copyable. */
    semaphore(const semaphore &) = delete;
    /** Not copyable.
     * @return nothing; deleted */
    semaphore &operator=(const semaphore &) = delete;
    /** ov_sem_destroy, when initialised. */
    ~semaphore() {
        if (initialised_) (void)ov_sem_destroy(&sem_);
    }
    /** Initialises the semaphore with value (ov_sem_init).
     * @param value  the initial count
     * @return no error; EINVAL when initialised already; errno */
    std::error_code init(uint32_t value) noexcept {
        if (initialised_) return make_error_code(EINVAL);
        const int32_t rc = ov_sem_init(&sem_, value);
        initialised_ = rc == 0;
        return make_error_code(rc);
    }
    /** @return true once init() succeeded. */
    bool valid() const noexcept { return initialised_; }
    /** @return the semaphore, for the C calls. */
    ov_sem_t *get() noexcept { return &sem_; }
    /** Increment (ov_sem_post).
     * @return no error; errno */
    std::error_code post() noexcept { return make_error_code(ov_sem_post(&sem_)); }
    /** Blocking decrement (ov_sem_wait).
     * @return no error; errno */
    std::error_code wait() noexcept { return make_error_code(ov_sem_wait(&sem_)); }
    /** Decrement, polling every 500 ms up to timeout_ms (ov_sem_trywait).
     * @param timeout_ms  the timeout
     * @return no error; EAGAIN when it stayed at zero; errno */
    std::error_code try_wait(uint32_t timeout_ms) noexcept {
        return make_error_code(ov_sem_trywait(&sem_, timeout_ms));
    }

  private:
    ov_sem_t sem_{};
    bool initialised_ = false;
};

/** A process-private counting semaphore on the heap (ov_sem_create),
 * destroyed and freed with ov_sem_free. */
class unique_semaphore : public unique_handle<detail::pointer_traits<ov_sem_t, &detail::free_sem>> {
  public:
    using unique_handle::unique_handle;
    /** Allocates and initialises the semaphore (ov_sem_create).
     * @param value  the initial count
     * @return the semaphore; ENOMEM; the init error */
    static result<unique_semaphore> create(uint32_t value) noexcept {
        ov_sem_t *s = nullptr;
        const int32_t rc = ov_sem_create(&s, value);
        if (rc != 0) return detail::fail<unique_semaphore>(rc);
        return unique_semaphore(s);
    }
    /** Increment (ov_sem_post).
     * @return no error; errno */
    std::error_code post() noexcept { return make_error_code(ov_sem_post(handle_)); }
    /** Blocking decrement (ov_sem_wait).
     * @return no error; errno */
    std::error_code wait() noexcept { return make_error_code(ov_sem_wait(handle_)); }
    /** Decrement, polling every 500 ms up to timeout_ms (ov_sem_trywait).
     * @param timeout_ms  the timeout
     * @return no error; EAGAIN when it stayed at zero; errno */
    std::error_code try_wait(uint32_t timeout_ms) noexcept {
        return make_error_code(ov_sem_trywait(handle_, timeout_ms));
    }
};

/** A read-write lock on the heap (ov_rwlock_create), destroyed and freed
 * with ov_rwlock_free. lock()/unlock() and lock_shared()/unlock_shared()
 * let std::unique_lock and std::shared_lock use it; read_lock and
 * write_lock report failures. */
class rwlock : public unique_handle<detail::pointer_traits<ov_rwlock_t, &detail::free_rwlock>> {
  public:
    using unique_handle::unique_handle;
    /** Allocates the lock (ov_rwlock_create).
     * @return the lock; ENOMEM; the init error */
    static result<rwlock> create() noexcept {
        ov_rwlock_t *l = nullptr;
        const int32_t rc = ov_rwlock_create(&l);
        if (rc != 0) return detail::fail<rwlock>(rc);
        return rwlock(l);
    }
    /** Exclusive lock (ov_rwlock_wrlock).
     * @return the pthread result */
    std::error_code lock() noexcept { return make_error_code(ov_rwlock_wrlock(handle_)); }
    /** Ends the exclusive lock (ov_rwlock_wrunlock).
     * @return the pthread result */
    std::error_code unlock() noexcept { return make_error_code(ov_rwlock_wrunlock(handle_)); }
    /** Shared lock (ov_rwlock_rdlock).
     * @return the pthread result */
    std::error_code lock_shared() noexcept { return make_error_code(ov_rwlock_rdlock(handle_)); }
    /** Ends the shared lock (ov_rwlock_rdunlock).
     * @return the pthread result */
    std::error_code unlock_shared() noexcept {
        return make_error_code(ov_rwlock_rdunlock(handle_));
    }
};

/** @cond OV_INTERNAL */
namespace detail {
// A lock held for a scope: Lock and Unlock are the C calls.
template <int32_t (*Lock)(ov_rwlock_t *) noexcept, int32_t (*Unlock)(ov_rwlock_t *) noexcept>
class rwlock_guard {
  public:
    explicit rwlock_guard(ov_rwlock_t *l) noexcept : lock_(l), error_(make_error_code(Lock(l))) {}
    explicit rwlock_guard(rwlock &l) noexcept : rwlock_guard(l.get()) {}
    rwlock_guard(const rwlock_guard &) = delete;
    rwlock_guard &operator=(const rwlock_guard &) = delete;
    ~rwlock_guard() {
        if (!error_) (void)Unlock(lock_);
    }
    const std::error_code &error() const noexcept { return error_; }
    explicit operator bool() const noexcept { return !error_; }

  private:
    ov_rwlock_t *lock_;
    std::error_code error_;
};
}  // namespace detail
/** @endcond */

/** Holds a read-write lock shared for its lifetime (ov_rwlock_rdlock,
 * ov_rwlock_rdunlock); error() and operator bool tell whether it is held.
 * Made from an `ov_rwlock_t *` or an ov::rwlock. */
using read_lock = detail::rwlock_guard<&ov_rwlock_rdlock, &ov_rwlock_rdunlock>;
/** Holds a read-write lock exclusively for its lifetime (ov_rwlock_wrlock,
 * ov_rwlock_wrunlock); error() and operator bool tell whether it is held.
 * Made from an `ov_rwlock_t *` or an ov::rwlock. */
using write_lock = detail::rwlock_guard<&ov_rwlock_wrlock, &ov_rwlock_wrunlock>;

/** @cond OV_INTERNAL */
namespace detail {
struct ipc_sem_traits {
    using handle_type = int32_t;
    // System V identifiers are never negative; 0 is a valid one.
    static handle_type empty() noexcept { return -1; }
    static bool is_empty(handle_type handle) noexcept { return handle < 0; }
    static void destroy(handle_type &handle) noexcept {
        (void)ov_ipc_sem_close(handle);
        handle = -1;
    }
};
}  // namespace detail
/** @endcond */

/** The system-wide semaphore named by a path (ov_ipc_sem_open), closed with
 * ov_ipc_sem_close. Closing leaves the semaphore in the system; remove()
 * takes it out. get() is -1 when nothing is open (the system's identifiers
 * are never negative, while 0 is one of them). */
class ipc_semaphore : public unique_handle<detail::ipc_sem_traits> {
  public:
    using unique_handle::unique_handle;
    /** Opens the semaphore named by path (ov_ipc_sem_open), closing any
     * held first. On ETIMEDOUT (its creator never set it up) the semaphore
     * is held, so that the caller may remove() it.
     * @param path  the path naming it
     * @return no error; EINVAL; ETIMEDOUT; errno */
    std::error_code open(zstring_view path) noexcept {
        reset();
        int32_t id = 0;
        const int32_t rc = ov_ipc_sem_open(&id, path.c_str());
        if (rc == 0 || rc == ETIMEDOUT) handle_ = id;
        return make_error_code(rc);
    }
    /** Blocks while another holder has it (ov_ipc_sem_lock).
     * @return no error; errno (EINTR) */
    std::error_code lock() noexcept { return make_error_code(ov_ipc_sem_lock(handle_)); }
    /** Takes it when free (ov_ipc_sem_trylock).
     * @return true when taken */
    bool try_lock() noexcept { return ov_ipc_sem_trylock(handle_) == 0; }
    /** Gives it back (ov_ipc_sem_unlock).
     * @return no error; errno */
    std::error_code unlock() noexcept { return make_error_code(ov_ipc_sem_unlock(handle_)); }
    /** Removes the semaphore from the system (ov_ipc_sem_remove); the owner
     * is empty afterwards.
     * @return no error; errno */
    std::error_code remove() noexcept {
        if (!valid()) return make_error_code(EINVAL);
        return make_error_code(ov_ipc_sem_remove(release()));
    }
};

// ---- Time -----------------------------------------------------------------------------------

/** @cond OV_INTERNAL */
namespace detail {
struct stopwatch_traits {
    using handle_type = ov_stopwatch_t;
    static handle_type empty() noexcept { return ov_stopwatch_t{}; }
    static bool is_empty(const handle_type &handle) noexcept {
        return handle.state == OV_STOPWATCH_CLEARED;
    }
    static void destroy(handle_type &handle) noexcept { ov_stopwatch_clear(&handle); }
};
inline void free_conc(ov_conc_stopwatch_t *&set) noexcept {
    ov_conc_stopwatch_free(&set);
}
}  // namespace detail
/** @endcond */

/** A stopwatch (ov_stopwatch_t) made ready by ov_stopwatch_init and
 * cleared by ov_stopwatch_clear. It holds no resource of the system, so it
 * moves by copying its record. Times are microseconds of its time source. */
class stopwatch : public unique_handle<detail::stopwatch_traits> {
  public:
    using unique_handle::unique_handle;
    /** A ready stopwatch on the monotonic clock (ov_stopwatch_init_default).
     * @return the stopwatch (the call does not fail on a stopwatch) */
    static result<stopwatch> create() noexcept {
        ov_stopwatch_t sw{};
        const int32_t rc = ov_stopwatch_init_default(&sw);
        if (rc != 0) return detail::fail<stopwatch>(rc);
        return stopwatch(sw);
    }
    /** A ready stopwatch on a time source of the caller's (ov_stopwatch_init).
     * @param context  the time source's context
     * @param source   the time source; null: the monotonic clock
     * @return the stopwatch (the call does not fail on a stopwatch) */
    static result<stopwatch> create(uint64_t context, ov_time_source_t source) noexcept {
        ov_stopwatch_t sw{};
        const int32_t rc = ov_stopwatch_init(&sw, context, source);
        if (rc != 0) return detail::fail<stopwatch>(rc);
        return stopwatch(sw);
    }
    /** Starts a run (ov_stopwatch_start).
     * @return the run's start time; EINVAL unless ready or stopped */
    result<uint64_t> start() noexcept {
        uint64_t at = 0;
        const int32_t rc = ov_stopwatch_start(&handle_, &at);
        if (rc != 0) return detail::fail<uint64_t>(rc);
        return at;
    }
    /** Ends the run (ov_stopwatch_stop).
     * @return the total running time; EINVAL unless running; the time
     *         source's error */
    result<uint64_t> stop() noexcept {
        uint64_t elapsed = 0;
        const int32_t rc = ov_stopwatch_stop(&handle_, &elapsed, nullptr, nullptr);
        if (rc != 0) return detail::fail<uint64_t>(rc);
        return elapsed;
    }
    /** The total running time, the current run included
     * (ov_stopwatch_elapsed).
     * @return the time (0 for a stopwatch never started or cleared); the
     *         time source's error */
    result<uint64_t> elapsed() const noexcept {
        uint64_t total = 0;
        const int32_t rc = ov_stopwatch_elapsed(&handle_, &total, nullptr);
        if (rc != 0) return detail::fail<uint64_t>(rc);
        return total;
    }
    /** The number of starts (ov_stopwatch_count).
     * @return the count; EINVAL when cleared */
    result<uint64_t> count() const noexcept {
        uint64_t n = 0;
        const int32_t rc = ov_stopwatch_count(&handle_, &n);
        if (rc != 0) return detail::fail<uint64_t>(rc);
        return n;
    }
    /** Clears times and count, keeping the source (ov_stopwatch_reset).
     * @return no error; EINVAL when cleared */
    std::error_code reset_times() noexcept { return make_error_code(ov_stopwatch_reset(&handle_)); }
};

/** A stack of stopwatches shared by threads (ov_conc_stopwatch_create),
 * freed with ov_conc_stopwatch_free. */
class concurrent_stopwatch
    : public unique_handle<detail::pointer_traits<ov_conc_stopwatch_t, &detail::free_conc>> {
  public:
    using unique_handle::unique_handle;
    /** Makes levels stopwatches on the monotonic clock
     * (ov_conc_stopwatch_create_default).
     * @param levels  the number of levels, at least 1
     * @return the set; EINVAL for 0 levels; ENOMEM */
    static result<concurrent_stopwatch> create(uint32_t levels) noexcept {
        ov_conc_stopwatch_t *set = nullptr;
        const int32_t rc = ov_conc_stopwatch_create_default(&set, levels);
        if (rc != 0) return detail::fail<concurrent_stopwatch>(rc);
        return concurrent_stopwatch(set);
    }
    /** Makes levels stopwatches on a time source of the caller's
     * (ov_conc_stopwatch_create).
     * @param levels   the number of levels, at least 1
     * @param context  the time source's context
     * @param source   the time source; null: the monotonic clock
     * @return the set; EINVAL for 0 levels; ENOMEM */
    static result<concurrent_stopwatch> create(uint32_t levels, uint64_t context,
                                               ov_time_source_t source) noexcept {
        ov_conc_stopwatch_t *set = nullptr;
        const int32_t rc = ov_conc_stopwatch_create(&set, levels, context, source);
        if (rc != 0) return detail::fail<concurrent_stopwatch>(rc);
        return concurrent_stopwatch(set);
    }
    /** Starts the next level (ov_conc_stopwatch_start).
     * @return no error; EINVAL when every level runs */
    std::error_code start() noexcept { return make_error_code(ov_conc_stopwatch_start(handle_)); }
    /** Stops the innermost running level (ov_conc_stopwatch_stop).
     * @return no error; EINVAL when none runs */
    std::error_code stop() noexcept { return make_error_code(ov_conc_stopwatch_stop(handle_)); }
    /** @return the number of levels (ov_conc_stopwatch_levels). */
    uint32_t levels() const noexcept { return ov_conc_stopwatch_levels(handle_); }
    /** @return the number of running levels (ov_conc_stopwatch_depth). */
    uint32_t depth() const noexcept { return ov_conc_stopwatch_depth(handle_); }
    /** The statistics of every level (ov_conc_stopwatch_stats). Allocates
     * the std::vector.
     * @return one record per level; EINVAL when nothing is owned */
    result<std::vector<ov_stopwatch_stats_t>> stats() const {
        if (handle_ == nullptr) return detail::fail<std::vector<ov_stopwatch_stats_t>>(EINVAL);
        std::vector<ov_stopwatch_stats_t> records(levels());
        const int32_t rc = ov_conc_stopwatch_stats(handle_, records.data());
        if (rc != 0) return detail::fail<std::vector<ov_stopwatch_stats_t>>(rc);
        return records;
    }
};

// ---- Hash tables ----------------------------------------------------------------------------

/** @cond OV_INTERNAL */
namespace detail {
inline void free_hash(ov_hash_t *&table) noexcept {
    ov_hash_free(table);
    table = nullptr;
}
}  // namespace detail
/** @endcond */

/** A hash table (ov_hash_new, ov_hash_new_keys, ov_hash_create) freed with
 * ov_hash_free, which clears it first: every stored key and value goes to
 * the table's free functions. For typed access use ov::hash_map. */
class hash_table : public unique_handle<detail::pointer_traits<ov_hash_t, &detail::free_hash>> {
  public:
    using unique_handle::unique_handle;
    /** A table with the caller's functions (ov_hash_create).
     * @param size        the bucket count asked for
     * @param hash        the key hash
     * @param equal       the key equality (0 when equal)
     * @param key_copy    makes the stored key
     * @param value_copy  makes the stored value
     * @param key_free    releases a stored key
     * @param value_free  releases a stored value
     * @return the table; EINVAL for a null function; ENOMEM */
    static result<hash_table> create(uint64_t size, ov_hash_fn_t hash, ov_hash_equal_fn_t equal,
                                     ov_hash_copy_fn_t key_copy, ov_hash_copy_fn_t value_copy,
                                     ov_hash_free_fn_t key_free,
                                     ov_hash_free_fn_t value_free) noexcept {
        ov_hash_t *table = nullptr;
        const int32_t rc =
            ov_hash_create(&table, size, hash, equal, key_copy, value_copy, key_free, value_free);
        if (rc != 0) return detail::fail<hash_table>(rc);
        return hash_table(table);
    }
    /** A table of keys whose values are stored unchanged and never freed
     * (ov_hash_new_keys).
     * @param size      the bucket count asked for
     * @param hash      the key hash
     * @param equal     the key equality (0 when equal)
     * @param key_copy  makes the stored key
     * @param key_free  releases a stored key
     * @return the table; EINVAL for a null function; ENOMEM otherwise */
    static result<hash_table> create_keys(uint64_t size, ov_hash_fn_t hash,
                                          ov_hash_equal_fn_t equal, ov_hash_copy_fn_t key_copy,
                                          ov_hash_free_fn_t key_free) noexcept {
        if (hash == nullptr || equal == nullptr || key_copy == nullptr || key_free == nullptr) {
            return detail::fail<hash_table>(EINVAL);
        }
        ov_hash_t *table = ov_hash_new_keys(size, hash, equal, key_copy, key_free);
        if (table == nullptr) return detail::fail<hash_table>(ENOMEM);
        return hash_table(table);
    }
    /** @return the number of entries (ov_hash_count). */
    std::size_t size() const noexcept { return static_cast<std::size_t>(ov_hash_count(handle_)); }
    /** @return true without entries (ov_hash_is_empty). */
    bool empty() const noexcept { return ov_hash_is_empty(handle_) == 1; }
    /** @return the number of buckets (ov_hash_size). */
    std::size_t bucket_count() const noexcept {
        return static_cast<std::size_t>(ov_hash_size(handle_));
    }
    /** Frees every entry (ov_hash_clear); the bucket count stays. */
    void clear() noexcept { ov_hash_clear(handle_); }
    /** The load of the table (ov_hash_stats).
     * @return the record, freed with free() by its owner; ENOMEM also for
     *         an empty table, which has no statistics */
    result<malloc_ptr<ov_hash_stats_t>> stats() const noexcept {
        ov_hash_stats_t *record = ov_hash_stats(handle_);
        if (record == nullptr) return detail::fail<malloc_ptr<ov_hash_stats_t>>(ENOMEM);
        return malloc_ptr<ov_hash_stats_t>(record);
    }
};

/** @cond OV_INTERNAL */
namespace detail {
// The ready-made functions of the table for one key type.
template <class Key, class = void>
struct hash_key {
    static_assert(sizeof(Key) == 0,
                  "ov::hash_map keys are std::string, const char * or integers of "
                  "8, 16, 32 or 64 bits");
};
struct string_hash_key {
    using param_type = zstring_view;
    using stored_type = const char *;
    static const void *address(const param_type &key) noexcept { return key.c_str(); }
    static stored_type from_stored(const void *stored) noexcept {
        return static_cast<const char *>(stored);
    }
    static constexpr ov_hash_fn_t hash = &ov_hash_string;
    static constexpr ov_hash_equal_fn_t equal = &ov_hash_equal_string;
    static constexpr ov_hash_copy_fn_t copy = &ov_hash_copy_string;
};
template <>
struct hash_key<std::string> : string_hash_key {};
template <>
struct hash_key<const char *> : string_hash_key {};
template <class Int>
struct int_hash_key {
    using param_type = Int;
    using stored_type = Int;
    static const void *address(const Int &key) noexcept { return &key; }
    static stored_type from_stored(const void *stored) noexcept {
        Int key;
        std::memcpy(&key, stored, sizeof key);
        return key;
    }
};
template <std::size_t Size, bool Signed>
struct int_functions;
template <bool Signed>
struct int_functions<1, Signed> {
    static constexpr ov_hash_fn_t hash = &ov_hash_8;
    static constexpr ov_hash_equal_fn_t equal = Signed ? &ov_hash_equal_i8 : &ov_hash_equal_u8;
    static constexpr ov_hash_copy_fn_t copy = &ov_hash_copy_8;
};
template <bool Signed>
struct int_functions<2, Signed> {
    static constexpr ov_hash_fn_t hash = &ov_hash_16;
    static constexpr ov_hash_equal_fn_t equal = Signed ? &ov_hash_equal_i16 : &ov_hash_equal_u16;
    static constexpr ov_hash_copy_fn_t copy = &ov_hash_copy_16;
};
template <bool Signed>
struct int_functions<4, Signed> {
    static constexpr ov_hash_fn_t hash = &ov_hash_32;
    static constexpr ov_hash_equal_fn_t equal = &ov_hash_equal_32;
    static constexpr ov_hash_copy_fn_t copy = &ov_hash_copy_32;
};
template <bool Signed>
struct int_functions<8, Signed> {
    static constexpr ov_hash_fn_t hash = &ov_hash_64;
    static constexpr ov_hash_equal_fn_t equal = &ov_hash_equal_64;
    static constexpr ov_hash_copy_fn_t copy = &ov_hash_copy_64;
};
template <class Int>
struct hash_key<Int, std::enable_if_t<std::is_integral_v<Int> && !std::is_same_v<Int, bool> &&
                                      (sizeof(Int) == 1 || sizeof(Int) == 2 || sizeof(Int) == 4 ||
                                       sizeof(Int) == 8)>>
    : int_hash_key<Int>, int_functions<sizeof(Int), std::is_signed_v<Int>> {};
}  // namespace detail
/** @endcond */

/** A hash table from keys to pointers, with the library's ready-made
 * functions for the key type.
 *
 * Keys are std::string or `const char *` (NUL-terminated strings, compared
 * byte-wise) or integers of 8, 16, 32 or 64 bits. The table copies each key
 * (ov_hash_copy_string, ov_hash_copy_8 ... 64, kept inside its entry) and
 * frees the copy with the entry; the caller's key need not outlive the call.
 *
 * Values are the caller's pointers, stored unchanged (ov_hash_copy_identity).
 * By default the table never frees them (ov_free_nop): they must outlive
 * their entries. Give create() a value free function (free, or one of the
 * caller's) and the table owns them instead: it frees a value when its
 * entry is removed, replaced or cleared, and when the table goes. A null
 * value is stored as null, which get() does not tell from absence.
 *
 * Entries are visited in bucket order by range-for, as `entry` records.
 * Any change to the table ends a walk. One thread at a time.
 * @tparam Key  std::string, const char *, or an integer type of 8 to 64 bits
 * @tparam T    the type the values point to */
template <class Key, class T>
class hash_map : public hash_table {
    using traits = detail::hash_key<Key>;

  public:
    /** The key argument: ov::zstring_view for string keys, Key for integers. */
    using key_param = typename traits::param_type;
    /** The stored key as a walk shows it: `const char *` or Key. */
    using key_type = typename traits::stored_type;

    /** One entry of a walk. */
    struct entry {
        key_type key;  ///< the stored key
        T *value;      ///< the stored value
    };

    /** A forward iterator over the entries (ov_hash_iter_begin,
     * ov_hash_iter_next). */
    class iterator {
      public:
        using iterator_category = std::forward_iterator_tag;  ///< forward only
        using value_type = entry;                             ///< an entry
        using difference_type = std::ptrdiff_t;               ///< distances
        using pointer = void;                                 ///< no addresses
        using reference = entry;                              ///< entries by value

        /** An iterator of the table, at its end.
         * @param table  the table */
        explicit iterator(ov_hash_t *table = nullptr) noexcept { ov_hash_iter_end(&iter_, table); }
        /** @return the key and value of the entry under the iterator. */
        entry operator*() const noexcept {
            return {traits::from_stored(ov_hash_iter_key(&iter_)),
                    static_cast<T *>(ov_hash_iter_value(&iter_))};
        }
        /** Moves to the next entry.
         * @return this iterator */
        iterator &operator++() noexcept {
            ov_hash_iter_next(&iter_);
            return *this;
        }
        /** @param other  another iterator of the table
         * @return true when both stand on the same entry */
        bool operator==(const iterator &other) const noexcept {
            return iter_.entry == other.iter_.entry;
        }
        /** @param other  another iterator of the table
         * @return true when they stand on different entries */
        bool operator!=(const iterator &other) const noexcept {
            return iter_.entry != other.iter_.entry;
        }

      private:
        friend class hash_map;
        ov_hash_iter_t iter_;
    };

    /** An empty map that owns no table yet: use create(). */
    hash_map() noexcept = default;

    /** A map with the ready-made functions of Key (ov_hash_create).
     * @param size        the bucket count asked for (0: the smallest)
     * @param value_free  releases a stored value; ov_free_nop (the default)
     *                    leaves values to the caller
     * @return the map; EINVAL for a null value_free; ENOMEM */
    static result<hash_map> create(uint64_t size = 0,
                                   ov_hash_free_fn_t value_free = &ov_free_nop) noexcept {
        // free() as the key free lets the table keep each key's copy inside
        // its entry instead of in a heap block of its own.
        ov_hash_t *table = nullptr;
        const int32_t rc = ov_hash_create(&table, size, traits::hash, traits::equal, traits::copy,
                                          &ov_hash_copy_identity, &std::free, value_free);
        if (rc != 0) return detail::fail<hash_map>(rc);
        hash_map map;
        map.handle_ = table;
        return map;
    }

    /** The value of key (ov_hash_get).
     * @param key  the key
     * @return the value; null when key is absent (or its value is null) */
    T *get(key_param key) const noexcept {
        return static_cast<T *>(ov_hash_get(handle_, traits::address(key)));
    }
    /** Whether key is present (ov_hash_get_key), null value or not.
     * @param key  the key
     * @return true when present */
    bool contains(key_param key) const noexcept {
        return ov_hash_get_key(handle_, traits::address(key)) != nullptr;
    }
    /** Stores key with value, replacing a present key's value (ov_hash_put);
     * a replaced value goes to the value free function.
     * @param key    the key (copied)
     * @param value  the value (stored unchanged)
     * @return no error; EINVAL for a missing table or null key; ENOMEM
     *         when the entry cannot be made */
    std::error_code put(key_param key, T *value) noexcept {
        const void *k = traits::address(key);
        if (handle_ == nullptr || k == nullptr) return make_error_code(EINVAL);
        int32_t stored = 0;
        (void)ov_hash_put(handle_, k, value, &stored);
        return make_error_code(stored == 1 ? 0 : ENOMEM);
    }
    /** Stores key with value unless key is present with a non-null value
     * (ov_hash_insert).
     * @param key    the key (copied when stored)
     * @param value  the value (stored unchanged)
     * @return true when stored, false when a value was present (get() gives
     *         it); EINVAL for a missing table or null key; ENOMEM */
    result<bool> insert(key_param key, T *value) noexcept {
        const void *k = traits::address(key);
        if (handle_ == nullptr || k == nullptr) return detail::fail<bool>(EINVAL);
        int32_t inserted = 0;
        void *stored = ov_hash_insert(handle_, k, value, &inserted);
        if (inserted == 0 && stored == nullptr) return detail::fail<bool>(ENOMEM);
        return inserted == 1;
    }
    /** Removes key's entry (ov_hash_remove); its value goes to the value
     * free function.
     * @param key  the key
     * @return true when an entry was removed */
    bool erase(key_param key) noexcept {
        return ov_hash_remove(handle_, traits::address(key)) == 1;
    }

    /** @return an iterator on the first entry in bucket order. */
    iterator begin() const noexcept {
        iterator it(handle_);
        ov_hash_iter_begin(&it.iter_, handle_);
        return it;
    }
    /** @return the iterator past the last entry. */
    iterator end() const noexcept { return iterator(handle_); }
};

// ---- Lock files -----------------------------------------------------------------------------

/** @cond OV_INTERNAL */
namespace detail {
inline void release_lockfile(ov_lockfile_t *&handle) noexcept {
    // Stops the keep-alive worker and deletes the file when it still holds
    // this handle's record; a handle that holds nothing gives 0.
    (void)ov_lockfile_release(handle);
    std::free(handle);
    handle = nullptr;
}
}  // namespace detail
/** @endcond */

/** A lock file (ov_lockfile_t): acquired with ov_lockfile_acquire, kept
 * fresh by the keep-alive worker (ov_lockfile_start_worker), released with
 * ov_lockfile_release.
 *
 * The handle record lives on the heap, where the keep-alive worker finds it
 * whatever becomes of the owner; moving the owner moves the pointer. The
 * owner is empty until the first acquisition allocates the record; the
 * record then stays with the owner across releases and acquisitions, so
 * that last_seen() can tell who holds a lock that could not be had. The
 * destructor releases a held lock (stopping the worker first) and frees the
 * record. release() hands the record over: the caller then calls
 * ov_lockfile_release and frees it with free(). */
class lockfile
    : public unique_handle<detail::pointer_traits<ov_lockfile_t, &detail::release_lockfile>> {
  public:
    using unique_handle::unique_handle;

    /** Acquires the lock NAME.lck (ov_lockfile_acquire).
     * @param name                the protected name; ".lck" is appended
     * @param expiration_seconds  a lock unchanged for longer is stale;
     *                            at least 2
     * @return no error; ELOCKED (or EEXIST in a race) when another holder
     *         has it; EINVAL for bad arguments or while this owner holds a
     *         lock; ENOMEM; the other codes of ov_lockfile_acquire */
    std::error_code acquire(zstring_view name, int32_t expiration_seconds) noexcept {
        return acquire_with([&](ov_lockfile_t *h) {
            return ov_lockfile_acquire(h, name.c_str(), expiration_seconds);
        });
    }
    /** Acquires the lock and starts the keep-alive worker
     * (ov_lockfile_acquire_continuous).
     * @param name                the protected name; ".lck" is appended
     * @param expiration_seconds  a lock unchanged for longer is stale;
     *                            at least 2
     * @return as acquire(); the thread error of the worker's start (the
     *         lock file is then deleted) */
    std::error_code acquire_continuous(zstring_view name, int32_t expiration_seconds) noexcept {
        return acquire_with([&](ov_lockfile_t *h) {
            return ov_lockfile_acquire_continuous(h, name.c_str(), expiration_seconds);
        });
    }
    /** Acquires the lock NAME.lck, waiting for it while another process
     * holds it (ov_lockfile_acquire_wait).
     * @param name                the lock's name; the file is NAME.lck
     * @param expiration_seconds  age after which a lock is stale; at least 2
     * @param wait                how long to wait and what ends the wait
     *                            early; OV_LOCKFILE_WAIT_INIT tries once
     * @return no error; ELOCKED when the lock was still busy at the
     *         deadline; ECANCELED when the cancel descriptor ended the wait;
     *         the other codes of ov_lockfile_acquire_wait */
    std::error_code acquire_wait(zstring_view name, int32_t expiration_seconds,
                                 const ov_lockfile_wait_t &wait) noexcept {
        return acquire_with([&](ov_lockfile_t *h) {
            return ov_lockfile_acquire_wait(h, name.c_str(), expiration_seconds, &wait);
        });
    }
    /** Starts the keep-alive worker on the held lock
     * (ov_lockfile_start_worker).
     * @return no error; EINVAL when no lock is held or a worker runs; the
     *         thread error (the lock file is then deleted) */
    std::error_code start_worker() noexcept {
        return make_error_code(ov_lockfile_start_worker(handle_));
    }
    /** Stops the worker and deletes the lock file if it still holds this
     * handle's record (ov_lockfile_release). The record stays with the
     * owner.
     * @return no error (also when nothing is held); ELOCKED when another
     *         holder's record is in the file; ENOENT when the file is
     *         gone; errno */
    std::error_code unlock() noexcept {
        if (handle_ == nullptr) return {};
        return make_error_code(ov_lockfile_release(handle_));
    }

    /** @return true while this owner holds its lock (the locked flag). */
    bool held() const noexcept { return ov_lockfile_is_locked(handle_) != 0; }
    /** @return true once the keep-alive worker found the lock taken over
     * or could not refresh it (the lost flag, read with acquire ordering).
     * Any thread may ask. */
    bool lost() const noexcept { return ov_lockfile_is_lost(handle_) != 0; }
    /** @return the lock file's path; "" before the first acquisition. */
    const char *path() const noexcept { return handle_ != nullptr ? handle_->path : ""; }
    /** @return the record this owner wrote; "" when none. */
    const char *record() const noexcept { return handle_ != nullptr ? handle_->content : ""; }
    /** @return another holder's record as last read (by a refused
     * acquisition, or by the worker after a takeover); "" when none. */
    const char *last_seen() const noexcept { return handle_ != nullptr ? handle_->last_seen : ""; }

  private:
    // Every acquisition goes through here: it refuses while a lock is held
    // or a worker runs (acquisition clears the record, which would lose
    // both), allocates the record on first use, and runs the C call.
    template <class Acquire>
    std::error_code acquire_with(Acquire &&call) noexcept {
        if (ov_lockfile_is_locked(handle_) != 0 || ov_lockfile_is_worker_running(handle_) != 0) {
            return make_error_code(EINVAL);
        }
        if (handle_ == nullptr) {
            handle_ = static_cast<ov_lockfile_t *>(std::calloc(1, sizeof(ov_lockfile_t)));
            if (handle_ == nullptr) return make_error_code(ENOMEM);
        }
        return make_error_code(call(handle_));
    }
};

/** Looks at the lock NAME.lck without taking it (ov_lockfile_inspect).
 * @param name                the protected name; ".lck" is appended
 * @param expiration_seconds  the expiration to judge its age by; at least 2
 * @return the lock's state, age and record; the codes of ov_lockfile_inspect */
inline result<ov_lockfile_info_t> lockfile_inspect(zstring_view name,
                                                   int32_t expiration_seconds) noexcept {
    ov_lockfile_info_t info{};
    const int32_t rc = ov_lockfile_inspect(name.c_str(), expiration_seconds, &info);
    if (rc != 0) return detail::fail<ov_lockfile_info_t>(rc);
    return info;
}

/** The lock module's short English text for a code (ov_lockfile_strerror).
 * Allocates the std::string.
 * @param error  the code
 * @return the text */
inline std::string lockfile_message(const std::error_code &error) {
    char text[256];
    return ov_lockfile_strerror(static_cast<int32_t>(error.value()), text, sizeof text);
}

/** @} */

}  // namespace ov

#endif
