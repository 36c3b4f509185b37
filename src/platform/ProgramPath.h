// How the user runs this program, for the commands hints name: "quillbright"
// when that name on $PATH is this very program, else the path it was started
// by ("build/src/quillbright" after `make run`), so a hint can be pasted.
#pragma once

#include <string>
#include <string_view>

namespace qb {

std::string invocationName(std::string_view argv0);

} // namespace qb
