// libFuzzer target: arbitrary byte blocks through the receive path of a station
// client (Receive, RaspakReceiveBufferAPDU and the service pass).
#include <cstddef>
#include <cstdint>

#include "ReceiveHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    telegate::fuzzing::RunReceiveInput(data, size);
    return 0;
}
