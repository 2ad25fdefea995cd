// AscToBin on arbitrary text: the result buffer holds exactly the pairs the
// text can give, the input exactly its characters.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "modbus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return 0;
    std::vector<char> text(data, data + size);
    const int len = static_cast<int>(size);
    std::vector<char> result(len > 4 ? static_cast<size_t>((len - 3) / 2) : 1);
    const int n = AscToBin(result.data(), text.data(), len);
    if (n < -1 || (n >= 0 && n + 1 != (len - 3) / 2)) __builtin_trap();
    return 0;
}
