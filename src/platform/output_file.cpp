// Output files written whole, over the system's file backend.
#include "platform/output_file.h"

#include <cerrno>
#include <cstdio>

#include "platform/names.h"

namespace fcplat {
namespace {

// Names tried for the temporary file before the text is held instead. Each
// is created new: a temporary file left by a run that crashed is never
// written into, whatever it holds.
constexpr int kTempNames = 100;

OutputStep g_injectedStep = OutputStep::Write;
unsigned g_injectedNth = 0;
bool g_injectedHappened = false;

// Counts a run of `step` and says whether it is the one to fail.
bool Injected(OutputStep step) {
    if (g_injectedNth == 0 || step != g_injectedStep) return false;
    if (--g_injectedNth != 0) return false;
    g_injectedHappened = true;
    return true;
}

// The bytes of an existing file, to put back if writing over it fails.
bool ReadWhole(const char* path, std::string* bytes) {
    std::FILE* in = OpenFile(path, "rb");
    if (in == nullptr) return false;
    char block[8192];
    std::size_t n;
    while ((n = std::fread(block, 1, sizeof block, in)) > 0) bytes->append(block, n);
    const bool ok = std::ferror(in) == 0;
    std::fclose(in);
    return ok;
}

// Writes the held text over the target and ends the file there. Should the
// write fail, the old bytes are written back: they fitted before, so a full
// disk takes them again, and the file is never left cut or mixed by it.
bool WriteHeld(OutputFile* file) {
    std::string old;
    const bool haveOld = file->existed && ReadWhole(file->target.c_str(), &old);
    bool ok = !Injected(OutputStep::Write) &&
              std::fwrite(file->held.data(), 1, file->held.size(), file->stream) ==
                  file->held.size();
    ok = ok && std::fflush(file->stream) == 0 && files::CutFileHere(file->stream) &&
         files::SyncFile(file->stream);
    if (Injected(OutputStep::Flush)) ok = false;
    if (!ok && haveOld) {
        // Through a handle of their own, in binary: the held text's handle
        // may write in text mode, and Windows lets no second writer share
        // the file while it is open.
        std::fclose(file->stream);
        file->stream = files::OpenExistingFile(file->target.c_str(), false);
        if (file->stream != nullptr &&
            std::fwrite(old.data(), 1, old.size(), file->stream) == old.size() &&
            std::fflush(file->stream) == 0)
            files::CutFileHere(file->stream);
    }
    return ok;
}

// Where the disk could not take the temporary file whole, the held text goes
// over the target itself, if it fits in the space the target already has.
// True when the file is now held that way.
bool HoldInsteadOfTemp(OutputFile* file, bool text) {
    std::size_t size = 0;
    if (!file->noRoom || !file->existed || !files::FileSize(file->target.c_str(), &size) ||
        files::SizeOnDisk(file->held, text) > size)
        return false;
    RemoveFile(file->temp.c_str());
    file->temp.clear();
    file->stream = files::OpenExistingFile(file->target.c_str(), text);
    if (file->stream == nullptr) return false;
    file->holding = true;
    return true;
}

}  // namespace

void InjectOutputFailure(OutputStep step, unsigned nth) {
    g_injectedStep = step;
    g_injectedNth = nth;
    g_injectedHappened = false;
}

bool InjectedOutputFailureHappened() { return g_injectedHappened; }

bool IsOutputTarget(const char* target) {
    return files::ClassifyTarget(files::FollowLinks(target).c_str()) != files::TargetKind::Other;
}

bool OpenOutputFile(const char* target, bool text, OutputFile* file) {
    *file = OutputFile();
    file->textMode = text;
    file->target = files::FollowLinks(target);
    const char* path = file->target.c_str();
    const files::TargetKind kind = files::ClassifyTarget(path);
    // A device, a pipe, a socket or a folder: nothing to replace, and a pipe
    // with no reader would block the run.
    if (kind == files::TargetKind::Other) return false;
    file->existed = kind == files::TargetKind::Regular;
    const bool tempRefused = Injected(OutputStep::CreateTemp);
    for (int k = 0; k < kTempNames && !tempRefused; ++k) {
        std::string temp = file->target + ".tmp";
        if (k > 0) temp += std::to_string(k);
        file->stream = files::CreateNewFile(temp.c_str(), file->existed ? path : nullptr, text);
        if (file->stream != nullptr) {
            file->temp = temp;
            return true;
        }
    }
    // No temporary file: the target is opened now, so that a run that could
    // never write it fails before it starts, but written only at the end.
    file->holding = true;
    file->stream = file->existed ? files::OpenExistingFile(path, text)
                                 : files::CreateNewFile(path, nullptr, text);
    file->created = !file->existed && file->stream != nullptr;
    return file->stream != nullptr;
}

bool WriteOutputFile(OutputFile* file, const char* data, std::size_t size) {
    if (Injected(OutputStep::Write)) return false;
    file->held.append(data, size);
    if (file->holding || file->tempFailed) return true;
    errno = 0;
    if (std::fwrite(data, 1, size, file->stream) == size) return true;
    // A full disk may yet leave room for the text in the target's own space
    // (CloseOutputFile tells); any other write error ends the file here.
    file->tempFailed = true;
    file->noRoom = files::DiskWasFull();
    return file->noRoom;
}

bool CloseOutputFile(OutputFile* file) {
    if (file->holding) return true;
    // Lines sit in the stream's buffer until the flush, so a full disk often
    // shows only there. A temporary file's bytes go to the disk before it
    // takes the target's place.
    errno = 0;
    bool ok = !file->tempFailed && std::fflush(file->stream) == 0 && files::SyncFile(file->stream);
    if (!ok && !file->tempFailed) file->noRoom = files::DiskWasFull();
    if (Injected(OutputStep::Flush)) ok = false;
    errno = 0;
    if (std::fclose(file->stream) != 0) {
        if (ok) file->noRoom = files::DiskWasFull();
        ok = false;
    }
    if (Injected(OutputStep::Close)) ok = false;
    file->stream = nullptr;
    if (!ok && HoldInsteadOfTemp(file, file->textMode)) return true;
    file->held.clear();
    return ok;
}

bool PlaceOutputFile(OutputFile* file, bool keep) {
    bool ok = true;
    if (file->holding) {
        ok = !keep || WriteHeld(file);
        if (file->stream != nullptr && std::fclose(file->stream) != 0) ok = false;
        if (keep && Injected(OutputStep::Close)) ok = false;
        file->stream = nullptr;
        // A file this run created is no file until its whole text is in it.
        if (file->created && (!keep || !ok)) RemoveFile(file->target.c_str());
        file->held.clear();
        file->holding = false;
        return ok;
    }
    if (file->temp.empty()) return true;
    if (keep)
        ok = !Injected(OutputStep::Replace) &&
             files::MoveOver(file->temp.c_str(), file->target.c_str(), file->existed);
    if (!keep || !ok) RemoveFile(file->temp.c_str());
    file->temp.clear();
    return ok;
}

}  // namespace fcplat
