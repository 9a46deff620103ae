#include "variant.hpp"

#include <cstdlib>
#include <cstring>

extern "C" void variant_array_free(variant_array_t va_arr) noexcept {
    if (!va_arr.variants)
        return;
    for (size_t i = 0; i < va_arr.size; ++i) {
        variant_t &v = va_arr.variants[i];
        if (v.state == variant_state_is_str && v.variant.v_str)
            std::free(v.variant.v_str);
    }
    std::free(va_arr.variants);
}

extern "C" void allocate_variant_array(variant_array_t **va_arr, size_t size) noexcept {
    if (!va_arr || !*va_arr)
        return;
    // No block for zero elements: the record reads as not allocated, size 0.
    variant_t *block = nullptr;
    if (size > 0 && size <= SIZE_MAX / sizeof(variant_t))
        block = static_cast<variant_t *>(std::malloc(size * sizeof(variant_t)));
    if (block) {
        for (size_t i = 0; i < size; ++i) {
            block[i].variant.v_int = 0;
            block[i].state = variant_state_is_empty;
        }
    }
    (*va_arr)->variants = block;
    (*va_arr)->size = size;
}

extern "C" void variant_set_str(variant_t *variant, const char *val) noexcept {
    // A copy that cannot be made leaves a string element with a null text,
    // which consumers treat as holding no value.
    variant->variant.v_str = val ? strdup(val) : nullptr;
    variant->state = variant_state_is_str;
}

extern "C" void variant_set_int(variant_t *variant, int64_t val) noexcept {
    variant->variant.v_int = val;
    variant->state = variant_state_is_int;
}
