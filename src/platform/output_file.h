// Files written whole: the text goes to a temporary file beside the target,
// which takes the target's place only once it is complete, so a write that
// fails part-way never costs the file that was there before. A target that
// is no regular file (a device such as NUL, a pipe), or one beside which no
// file can be created, is written in place instead.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace fcplat {

struct OutputFile {
    std::FILE* stream = nullptr;  // where the text goes
    std::string target;
    std::string temp;      // empty: the target is written in place
    bool existed = false;  // a regular file stood at the target when it was opened
};

// Opens an output file for `target`, in text mode (line feeds as the system
// writes them) or binary. False when not even the target itself can be
// opened for writing.
bool OpenOutputFile(const char* target, bool text, OutputFile* file);
// Writes size bytes; false when the write fails.
bool WriteOutputFile(OutputFile* file, const char* data, std::size_t size);
// Flushes the text through to the disk and closes the stream. False when the
// flush or the close fails; the stream is closed either way.
bool CloseOutputFile(OutputFile* file);
// After the close: with `keep` the temporary file replaces the target (or
// becomes it); without, it is removed and the target stays as it was. A
// file written in place has nothing left to do. False when the replacement
// fails; the target then stays as it was too.
bool PlaceOutputFile(OutputFile* file, bool keep);

// For tests: makes one step of output files fail the way the system would,
// so that every failure can be tried on a real file. `nth` counts the step's
// runs from this call on, from 1; 0 makes nothing fail.
enum class OutputStep { CreateTemp, Write, Flush, Close, Replace };
void InjectOutputFailure(OutputStep step, unsigned nth);
// Whether the failure injected last has happened.
bool InjectedOutputFailureHappened();

// The system's side, one backend per system.
namespace files {

enum class TargetKind { Missing, Regular, Other };
TargetKind ClassifyTarget(const char* path);
// Creates a file that did not exist and opens it for writing; nullptr when
// it exists or cannot be created. A replaced file's access mode carries
// over where the system keeps one.
std::FILE* CreateNewFile(const char* path, const char* modeOf, bool text);
// Hands the stream's bytes to the disk (after fflush).
bool SyncFile(std::FILE* stream);
// Moves `from` over `to` in one step, replacing it.
bool MoveOver(const char* from, const char* to);

}  // namespace files

}  // namespace fcplat
