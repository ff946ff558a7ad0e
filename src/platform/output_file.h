// Files written whole: the text goes to a temporary file beside the target,
// which takes the target's place only once it is complete, so a write that
// fails part-way never costs the file that was there before. A symbolic
// link is followed: the file it names is replaced in its own folder and the
// link stays a link. Where no temporary file can be made beside the target
// (no right to create files in its folder, every temporary name taken, no
// room), the text is held until the run is done and written over the target
// only when it is to be kept. A disk too full for the temporary file's whole
// text does the same when the text fits in the space of the file it
// replaces. A target that is no regular file (a device such as NUL, a pipe,
// a socket, a folder) is refused: there is nothing to replace, and a pipe
// nobody reads would hold the run forever.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace fcplat {

struct OutputFile {
    std::FILE* stream = nullptr;  // the temporary file, a device, or the held text's target
    std::string target;    // the file written: where a link leads, not the link
    std::string temp;      // the temporary file; empty when there is none
    std::string held;      // the whole text, kept in case it must be written at the end
    bool holding = false;  // no temporary file: the text waits in `held`
    bool tempFailed = false;  // the temporary file could not take the whole text
    bool noRoom = false;      // ... because the disk is full
    bool textMode = false;
    bool created = false;  // holding, and the target was created by this run
    bool existed = false;  // a regular file stood at the target when it was opened
};

// Whether `target` can be written as an output file: missing, or a regular
// file (a link is followed). Checked before a run touches anything.
bool IsOutputTarget(const char* target);
// Opens an output file for `target`, in text mode (line feeds as the system
// writes them) or binary. False when the target can be neither replaced nor
// written, or is no regular file: nothing is changed then.
bool OpenOutputFile(const char* target, bool text, OutputFile* file);
// Writes size bytes; false when the write fails.
bool WriteOutputFile(OutputFile* file, const char* data, std::size_t size);
// Flushes the text through to the disk and closes the stream. False when the
// flush or the close fails; the stream is closed either way. Held text is
// only written by PlaceOutputFile. A temporary file the full disk could not
// take whole is given up for the held text when that is no longer than the
// existing target.
bool CloseOutputFile(OutputFile* file);
// After the close: with `keep` the text takes the target's place (or becomes
// it); without, the temporary file is removed, a target this run created is
// removed, and an existing target stays as it was. False when the text could
// not be put in place; an existing target then stays as it was, except where
// held text was cut by a write error over it, and a new one is removed.
bool PlaceOutputFile(OutputFile* file, bool keep);

// For tests: makes one step of output files fail the way the system would,
// so that every failure can be tried on a real file. `nth` counts the step's
// runs from this call on, from 1; 0 makes nothing fail. CreateTemp fails
// every temporary name of the open it hits.
enum class OutputStep { CreateTemp, Write, Flush, Close, Replace };
void InjectOutputFailure(OutputStep step, unsigned nth);
// Whether the failure injected last has happened.
bool InjectedOutputFailureHappened();

// The system's side, one backend per system.
namespace files {

// The file a chain of symbolic links leads to; the path itself when it is
// no link (or the chain cannot be followed: the open then says why).
std::string FollowLinks(const char* path);
enum class TargetKind { Missing, Regular, Other };
TargetKind ClassifyTarget(const char* path);
// Creates a file that did not exist and opens it for writing; nullptr when
// it exists or cannot be created. A replaced file's access mode carries
// over where the system keeps one.
std::FILE* CreateNewFile(const char* path, const char* modeOf, bool text);
// Opens an existing file for writing without cutting it; nullptr when it
// cannot be written.
std::FILE* OpenExistingFile(const char* path, bool text);
// Bytes `text` takes in a file written in text mode or binary.
std::size_t SizeOnDisk(const std::string& text, bool textMode);
// Bytes of the regular file at path; false when it cannot be told.
bool FileSize(const char* path, std::size_t* size);
// Whether the last failed write or flush found the disk full.
bool DiskWasFull();
// Ends the file at the stream's position (after fflush).
bool CutFileHere(std::FILE* stream);
// Hands the stream's bytes to the disk (after fflush).
bool SyncFile(std::FILE* stream);
// Puts `from` in the place of `to` in one step: over the file there when
// `replace`, where none was otherwise.
bool MoveOver(const char* from, const char* to, bool replace);

}  // namespace files

}  // namespace fcplat
