// How the callbook words the engine's failures for its user. Installed as
// the engine's error handler by the program (not by the controller, which
// knows nothing of the engine):
//  - a file is named as it is spelled on disk: the engine keeps file names
//    upper-cased as their identity ("/HOME/ANNA/CALLBOOK/PYX.CDX"), which
//    on Linux names no file the user has;
//  - a file that another program holds open is said to be in use by it,
//    where the engine's list has "File access denied" for that too and so
//    sends the user to look at permissions.
#pragma once

#include <cstdint>
#include <string>

namespace pyx {

// The engine's error handler (tessera::EngineErrorProc): raises
// tessera::ETesseraError with the text above.
[[noreturn]] void CallbookEngineError(int32_t code, int32_t sub_code, const std::string& info);

// `info` with a leading absolute path (up to ": ", ", ", "->" or ">")
// spelled as on disk.
std::string WithPathAsOnDisk(const std::string& info);

}  // namespace pyx
