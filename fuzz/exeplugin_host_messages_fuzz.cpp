// Frames that the host reads (sent by a plugin process).
#include "fuzz/exeplugin_messages_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return Application::ExePlugin::FuzzOneFrame<true>(data, size);
}
