// libFuzzer target: any bytes into the request decoder. It must refuse with zelt::Error or
// return a value that encodes again; nothing else (a crash, a leak, another exception).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <zelt/codec.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const zelt::Value value = zelt::loads(reinterpret_cast<const char*>(data), size);
        // A decoded value encodes, and decodes again to the same encoding.
        const std::string again = zelt::dumps(value);
        if (zelt::dumps(zelt::loads(again)) != again) std::abort();
    } catch (const zelt::Error&) {
    }
    return 0;
}
