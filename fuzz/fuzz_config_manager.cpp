// config.toml as ConfigManager loads it: it reads only from a path, so each input is written to a
// scratch file first.
#include "fuzz_support.h"
#include "storage/config_manager.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ConfigManager manager;
    manager.load(FuzzSupport::writeInput(data, size, QStringLiteral("toml")));
    return 0;
}
