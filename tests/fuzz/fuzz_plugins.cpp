// One fuzz target per family of plug-ins (chosen by FUZZ_FAMILY at build time): a disc from the
// input, then the host's whole sequence with each plug-in of the family.
#include <cstdint>
#include <cstdlib>

#include "discwell/discwell.h"
#include "fuzz_disc.h"
#include "support/host_sequence.h"

#if FUZZ_FAMILY == 1
#include "plugins/str/corvane_plugin.h"
#include "plugins/str/single_stream_plugin.h"
#include "plugins/str/walcite_plugin.h"
#elif FUZZ_FAMILY == 2
#include "plugins/xa/xa_plugin.h"
#else
#include "plugins/archive/archive_plugin.h"
#endif

namespace {

template <class... Plugins>
void run_all(uint32_t disc, std::span<const uint8_t> sectors) {
    static const uint32_t seeks[] = {0, 700, 33, 0xFFFFFFFF, 5000};
    (
        [&] {
            const auto report = testing_support::run_host_sequence<Plugins>(disc, sectors, seeks, 400);
            if (report.broke_a_rule) std::abort();
            DwStats stats{};
            DwGetStats(disc, &stats);
            if (stats.buffers_locked != 0 || stats.readers_open != 0) std::abort();
        }(),
        ...);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> sectors = fuzzing::disc_from_input(data, size);
    uint32_t disc = 0;
    DwOpenMemory(sectors.data(), static_cast<uint32_t>(sectors.size() / fuzzing::kSector), nullptr, 0, &disc);
#if FUZZ_FAMILY == 1
    using namespace plugins::str;
    run_all<SingleStreamPlugin<Selvane>, SingleStreamPlugin<Grivet>, SingleStreamPlugin<Tamsel>, WalcitePlugin,
            CorvanePlugin>(disc, sectors);
#elif FUZZ_FAMILY == 2
    using namespace plugins::xa;
    run_all<XaPlugin<Ostrand>, XaPlugin<Drumvale>, XaPlugin<Velocet>>(disc, sectors);
#else
    using namespace plugins::archive;
    run_all<ArchivePlugin<NimbrelMusic>, ArchivePlugin<NimbrelVoice>>(disc, sectors);
#endif
    DwClose(disc);
    return 0;
}
