#pragma once

#include <cstdio>
#include <utility>

// Owns one resource for a scope and frees it once: the family of move-only
// owners every handle, FILE* and library context of the program is held by.
// Traits names the resource and how it ends:
//   using Type = ...;                    // the raw value, cheap to copy
//   static Type Empty();                 // what an owner holds when it owns nothing
//   static bool IsEmpty(Type value);     // every "no resource" value Type has
//   static void Free(Type value);        // called once, only on a value that is not empty
template <typename Traits>
class UniqueResource {
 public:
  using Type = typename Traits::Type;

  UniqueResource() = default;
  explicit UniqueResource(Type value) : value_(value) {}
  ~UniqueResource() { Reset(); }

  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) Reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;

  Type get() const { return value_; }
  bool valid() const { return !Traits::IsEmpty(value_); }
  explicit operator bool() const { return valid(); }

  // Gives the resource up unfreed: for a caller that ends it itself and needs
  // the result (fclose after writing, say).
  Type release() { return std::exchange(value_, Traits::Empty()); }

  // Frees what is held, then holds value.
  void Reset(Type value = Traits::Empty()) {
    const Type old = std::exchange(value_, value);
    if (!Traits::IsEmpty(old)) Traits::Free(old);
  }

 private:
  Type value_ = Traits::Empty();
};

// Traits for the common case: a pointer-like value whose only empty value is null.
template <typename T, auto FreeFunction>
struct NullableTraits {
  using Type = T;
  static Type Empty() { return nullptr; }
  static bool IsEmpty(Type value) { return value == nullptr; }
  static void Free(Type value) { FreeFunction(value); }
};

// A C stream. Where a failed close must be seen (a file written), end it with
// CloseFile instead of letting the owner close it unchecked.
using UniqueFile = UniqueResource<NullableTraits<std::FILE*, &std::fclose>>;

// Closes file now; true when it held a stream and fclose succeeded (its
// buffered bytes reached the system).
inline bool CloseFile(UniqueFile& file) {
  std::FILE* stream = file.release();
  return stream != nullptr && std::fclose(stream) == 0;
}
