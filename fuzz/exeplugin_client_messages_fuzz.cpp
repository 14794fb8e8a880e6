// Frames that a plugin process reads (sent by the host).
#include "fuzz/exeplugin_messages_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return Application::ExePlugin::FuzzOneFrame<false>(data, size);
}
