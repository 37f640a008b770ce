// Text conversion and string helpers shared by the XML reader, the HTTP
// client and the updater. None of them keeps state.
#pragma once

#include <string>
#include <vector>

namespace _ServerEngine {

// Wide text to the system's ANSI code page; empty when it cannot convert.
std::string ToNarrow(const std::wstring& text);
// ANSI code page text to wide text; empty when it cannot convert.
std::wstring ToWide(const std::string& text);
// Wide text to UTF-8.
std::string ToUtf8(const std::wstring& text);

// Splits `text` at every `separator` that is outside quotes (an even number
// of apostrophes and of double quotes since the segment's start). Segments
// are trimmed (TrimString) and appended to `segments` when it is not null;
// quotes stay in them. Returns the number of segments: 0 for an empty text,
// else the separators outside quotes plus one.
int SplitString(std::vector<std::wstring>* segments, const std::wstring& text, const std::wstring& separator);

// 0 when the strings are equal ignoring case (towupper), otherwise not 0.
int CompareNoCase(const std::wstring& first, const std::wstring& second);

// Offset of the first occurrence of `pattern` in `data` at or after `from`,
// or -1. A `patternLength` of 0 takes the pattern up to its NUL byte.
int FindBytes(const char* data, unsigned size, const char* pattern, unsigned patternLength, unsigned from);

// Removes leading and trailing tab, line feed, carriage return and space.
void TrimString(std::wstring& text);

// Creates every missing directory on the way to the file `path` (not the
// file itself; a path ending in a backslash has its last directory created
// too). False when a directory on the way exists without read and write
// access, cannot be created, or the full path does not fit in MAX_PATH.
bool CreateParentDirectories(const wchar_t* path);

}  // namespace _ServerEngine
