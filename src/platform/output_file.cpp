// Output files written whole, over the system's file backend.
#include "platform/output_file.h"

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

// Writes the held text over the target and ends the file there. Only a
// write error can cut the target now.
bool WriteHeld(OutputFile* file) {
    bool ok = !Injected(OutputStep::Write) &&
              std::fwrite(file->held.data(), 1, file->held.size(), file->stream) ==
                  file->held.size();
    ok = ok && std::fflush(file->stream) == 0 && files::CutFileHere(file->stream) &&
         files::SyncFile(file->stream);
    if (Injected(OutputStep::Flush)) ok = false;
    return ok;
}

}  // namespace

void InjectOutputFailure(OutputStep step, unsigned nth) {
    g_injectedStep = step;
    g_injectedNth = nth;
    g_injectedHappened = false;
}

bool InjectedOutputFailureHappened() { return g_injectedHappened; }

bool OpenOutputFile(const char* target, bool text, OutputFile* file) {
    *file = OutputFile();
    file->target = files::FollowLinks(target);
    const char* path = file->target.c_str();
    const files::TargetKind kind = files::ClassifyTarget(path);
    if (kind == files::TargetKind::Other) {
        // A device or a pipe: there is nothing to replace.
        file->stream = OpenFile(path, text ? "wt" : "wb");
        return file->stream != nullptr;
    }
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
    if (file->holding) {
        file->held.append(data, size);
        return true;
    }
    return std::fwrite(data, 1, size, file->stream) == size;
}

bool CloseOutputFile(OutputFile* file) {
    if (file->holding) return true;
    // Lines sit in the stream's buffer until the flush, so a full disk often
    // shows only there. A temporary file's bytes go to the disk before it
    // takes the target's place; devices and pipes take no such sync.
    bool ok =
        std::fflush(file->stream) == 0 && (file->temp.empty() || files::SyncFile(file->stream));
    if (Injected(OutputStep::Flush)) ok = false;
    if (std::fclose(file->stream) != 0) ok = false;
    if (Injected(OutputStep::Close)) ok = false;
    file->stream = nullptr;
    return ok;
}

bool PlaceOutputFile(OutputFile* file, bool keep) {
    bool ok = true;
    if (file->holding) {
        ok = !keep || WriteHeld(file);
        if (std::fclose(file->stream) != 0) ok = false;
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
