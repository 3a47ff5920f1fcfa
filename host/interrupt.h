// The signals that end a run early (SIGINT, SIGTERM, SIGHUP, SIGXFSZ, and SIGPIPE when the reader
// of quorvex's output goes away; Ctrl-C on Windows). The
// first one only raises a flag: the work in progress checks it, stops, and removes what it staged,
// and the process then ends as the signal asked. Further signals meanwhile are ignored.
#pragma once

#include <string>

namespace quorvex {

void install_interrupt_handlers();
bool interrupted();
// "interrupted by SIGINT"
std::string interruption();
// Ends the process as the signal would have, once the run has cleaned up.
[[noreturn]] void end_as_interrupted();

}  // namespace quorvex
