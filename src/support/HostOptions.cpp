#include "support/HostOptions.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "SiPassVormekGateway.h"
#include "support/SimpleLogger.h"

static_assert(options::kKnown == (GATEWAY_OPTION_UTC_TIMES | GATEWAY_OPTION_UNCHANGED_TEXTS),
              "every option of the header is known");

namespace options {
namespace {

std::atomic<uint32_t> g_options{0};

}  // namespace

bool Snapshot::utcTimes() const {
    return (bits & GATEWAY_OPTION_UTC_TIMES) != 0;
}

bool Snapshot::unchangedTexts() const {
    return (bits & GATEWAY_OPTION_UNCHANGED_TEXTS) != 0;
}

Snapshot snapshot() {
    return Snapshot{g_options.load(std::memory_order_relaxed)};
}

bool set(uint32_t requested) {
    SimpleLogger& logger = *SimpleLogger::GetInstance();
    if ((requested & ~kKnown) != 0) {
        char bits[11];
        std::snprintf(bits, sizeof bits, "0x%08X", static_cast<unsigned>(requested & ~kKnown));
        logger.errLog(std::string("gateway_setOptions: unknown option bits ") + bits +
                      "; the options stay as they were.");
        return false;
    }
    g_options.store(requested, std::memory_order_relaxed);
    std::string line = "gateway_setOptions: ";
    if (requested == 0) {
        line += "no options (local times, texts through the narrow form).";
    } else {
        line += (requested & GATEWAY_OPTION_UTC_TIMES) != 0 ? "UTC times" : "local times";
        line += (requested & GATEWAY_OPTION_UNCHANGED_TEXTS) != 0 ? ", unchanged texts." : ".";
    }
    logger.log(line);
    return true;
}

}  // namespace options
