// File names and messages in any language. The programs handle text as
// UTF-8 throughout: their arguments arrive in UTF-8, files are opened by
// UTF-8 names, and messages are handed over in UTF-8 for the system to
// show. On Windows that means the wide command line, the wide file calls
// and the console's own way of writing, so that no name depends on the
// server's code page; elsewhere the bytes pass through as they are.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace fcplat {

// Runs a program's main with the process's arguments in UTF-8; every
// shipped program's main goes through it. On Windows the arguments are
// read from the wide command line, so argc and argv are used only where
// that cannot be read.
int RunMain(int argc, char** argv, int (*main)(int argc, char** argv));

// fopen and remove for a file named in UTF-8.
std::FILE* OpenFile(const char* path, const char* mode);
bool RemoveFile(const char* path);

// Writes UTF-8 text to stdout or stderr for its reader: to a Windows
// console as the characters themselves; to a pipe or file in the console's
// output code page (what a console shell decodes captured output with), or
// in UTF-8 where the process has no console. Text that is no valid UTF-8
// goes out as it is. False when the write fails.
bool WriteText(std::FILE* stream, const std::string& text);
// printf into WriteText.
bool PrintText(std::FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace fcplat
