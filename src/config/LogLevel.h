// Severity of a log line, shared by the runtime's log sink and the
// diagnostics layer (platform log, log ring).
#pragma once

namespace qb {

enum class LogLevel { debug, info, warn, error };

} // namespace qb
