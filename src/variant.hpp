// Tagged integer or string values, and counted arrays of them: one element
// per position of a signature or of a returned tuple.  Strings are always
// copied in, so a value outlives the message or object it came from.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

typedef enum variant_state {
    variant_state_is_int = 0,
    variant_state_is_str = 1,
    variant_state_is_double = 2,
    variant_state_is_float = 3,
    variant_state_is_empty = 4,
} variant_state_t;

typedef union variant_union {
    int64_t v_int;
    char *v_str;
    float_t v_float;
    double_t v_double;
} variant_union_t;

typedef struct variant {
    variant_union_t variant;
    variant_state_t state;
} variant_t;

typedef struct variant_array {
    variant_t *variants;
    size_t size;
} variant_array_t;

extern "C" {
#pragma GCC visibility push(default)

void variant_array_free(variant_array_t va_arr) noexcept;
void allocate_variant_array(variant_array_t **va_arr, size_t size) noexcept;
void variant_set_str(variant_t *variant, const char *val) noexcept;
void variant_set_int(variant_t *variant, int64_t val) noexcept;

// The accessors are inline for the module's own units and also emitted as
// exported symbols (used, default visibility), so that native callers reach
// them by name.
[[gnu::used, gnu::visibility("default")]] inline variant_array_t init_variant_array(void) noexcept {
    return variant_array_t{nullptr, 0};
}
[[gnu::used, gnu::visibility("default")]] inline int variant_array_is_allocated(
    variant_array_t va_arr) noexcept {
    return va_arr.variants != nullptr;
}
[[gnu::used, gnu::visibility("default")]] inline size_t variant_array_get_size(
    variant_array_t va_arr) noexcept {
    return va_arr.size;
}
[[gnu::used, gnu::visibility("default")]] inline variant_state_t variant_get_state(
    variant_t variant) noexcept {
    return variant.state;
}
[[gnu::used, gnu::visibility("default")]] inline int64_t variant_get_int(
    variant_t variant) noexcept {
    return variant.variant.v_int;
}
[[gnu::used, gnu::visibility("default")]] inline int variant_is_int(variant_t variant) noexcept {
    return variant.state == variant_state_is_int;
}
[[gnu::used, gnu::visibility("default")]] inline int variant_is_str(variant_t variant) noexcept {
    return variant.state == variant_state_is_str;
}
[[gnu::used, gnu::visibility("default")]] inline const char *variant_get_str(
    variant_t variant) noexcept {
    return variant.variant.v_str;
}

#pragma GCC visibility pop
}  // extern "C"

namespace vq {

// Owns an array record for the scope that holds it: the block and every
// string it holds are freed on whatever path leaves the scope.
class variant_array_owner {
public:
    variant_array_owner() noexcept = default;
    ~variant_array_owner() {
        if (variant_array_is_allocated(record))
            variant_array_free(record);
    }
    variant_array_owner(const variant_array_owner &) = delete;
    variant_array_owner &operator=(const variant_array_owner &) = delete;

    variant_array_t record = init_variant_array();
};

}  // namespace vq
