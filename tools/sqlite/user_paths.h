// File names in the engine's messages, as a tool shows them. The engine
// names a file by its full upper-case path (the form it compares names in);
// a user reads best the path as it was given, or, for a file the user did
// not name (a memo or index file beside the table), the folder as given and
// the name as it is on disk. Used by the tessera tool and the SQL module.
#pragma once

#include <string>
#include <string_view>

namespace tessera_sql {

// Replaces every `from` in `text` by `to` (nothing when `from` is empty).
void ReplaceAll(std::string& text, const std::string& from, const std::string& to);

// Replaces every engine name of a file in folder `dir` (as the user gave
// it, with its trailing "/", or "" for the current folder) by `dir` and the
// file's name as on disk (as the engine wrote it when no such file is
// there). A name runs up to the first of `ends`; a name followed by "/"
// (a folder) is left alone.
void ShowFilesInFolder(std::string& message, const std::string& dir, std::string_view ends);

}  // namespace tessera_sql
