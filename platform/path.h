// File names as the engine sees them, on a case-sensitive file system.
//
// The engine keeps file names upper-cased: they identify open files, name
// index files and appear in messages ("File not found - /HOME/…/PYX.DBF").
// The disk, however, holds "Pyx.DBF". Every call here that touches the disk
// first resolves the name one component at a time: an exact match wins,
// otherwise the first directory entry equal to it without regard to letter
// case. A component that matches nothing is kept as spelled, so a file that
// is created takes the spelling its caller gave.
#pragma once

#include <string>
#include <string_view>

namespace plat {

// ASCII letters to upper case; other bytes (UTF-8 sequences of non-Latin
// names) are kept as they are, so the result is still a valid path.
std::string UpperName(std::string_view name);

// The path made absolute against the current directory, with "." and ".."
// components and repeated separators removed (lexically; links are kept).
std::string FullPath(std::string_view path);

// The path as spelled on disk (see above).
std::string ResolveCase(std::string_view path);

// True when a file or directory exists under the (case-resolved) name.
bool FileExists(std::string_view path);

// Each returns false and sets the last error on failure.
bool DeleteFile(std::string_view path);
bool RenameFile(std::string_view from, std::string_view to);
// Renames without replacing: a target that exists (in any letter case)
// fails with 183 and is left as it is. A target that names the file itself
// (another letter case of its name) renames nothing and succeeds.
bool RenameFileNoReplace(std::string_view from, std::string_view to);

// Directory part of a path including the trailing separator ("" when none).
std::string DirectoryOf(std::string_view path);

// The per-user configuration directory: $XDG_CONFIG_HOME, else ~/.config.
// It takes the place of the Windows directory for the engine's alias file.
std::string ConfigDirectory();

void SleepMilliseconds(int ms);

}  // namespace plat
