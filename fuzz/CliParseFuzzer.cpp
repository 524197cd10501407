// Feeds the command-line tool's reference-file and argument parsers with
// arbitrary text. Malformed input must end in a UsageError, never a crash.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "ReferenceCsv.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    if (fdp.ConsumeBool()) {
        const std::string text = fdp.ConsumeRemainingBytesAsString();
        try {
            const auto colors = ColorCalCli::parseReferenceCsv(text);
            for (const auto& c : colors) {
                for (float v : c) {
                    if (!(v >= 0.0f && v <= 255.0f)) {
                        __builtin_trap();  // an accepted colour must be in range
                    }
                }
            }
        } catch (const ColorCalCli::UsageError&) {
        }
        return 0;
    }
    std::vector<std::string> args;
    while (fdp.remaining_bytes() > 0 && args.size() < 24) {
        args.push_back(fdp.ConsumeRandomLengthString(48));
    }
    try {
        (void)ColorCalCli::parseCommandLine(args);
    } catch (const ColorCalCli::UsageError&) {
    }
    return 0;
}
