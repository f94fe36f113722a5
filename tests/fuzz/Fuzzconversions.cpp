// The number conversions agree with each other and never wrap.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Conversions.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto decimal = tarvik::ParseDecimal(text);
    const auto small = tarvik::ToInt16(text);
    const auto wide = tarvik::ToInt32(text);
    if (!decimal) {
        Check(!small && !wide);
    } else {
        const double rounded = std::nearbyint(*decimal);
        Check(!small || *small == rounded);
        Check(!wide || *wide == rounded);
        Check(small.has_value() == (rounded >= -32768 && rounded <= 32767));
    }
    if (small) Check(wide && *wide == *small);
    Check(tarvik::Hex2Dec(text) >= 0);
    return 0;
}
