// Read failures the plug-ins cannot report: a plug-in that gets a null sector may take it for the
// end of its stream. Each thread remembers the last failed read of a reader until that reader
// reads successfully again (a plug-in's own retry got past it) or the host takes the failure.
#pragma once

#include <cstdint>
#include <string>

struct SectorReader;

namespace discwell {

void note_read_error(const SectorReader* reader, uint32_t disc, uint32_t lba, const std::string& cause);
void note_read_success(const SectorReader* reader);

}  // namespace discwell
