#pragma once

#include <string>

namespace tarvel {

// The folder of the running program's file, with a trailing "/"; empty when unknown.
std::string ProgramFolder();

}  // namespace tarvel
