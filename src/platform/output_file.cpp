// Output files written whole, over the system's file backend.
#include "platform/output_file.h"

#include <cstdio>

#include "platform/names.h"

namespace fcplat {
namespace {

// Names tried for the temporary file before the target is written in place.
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

}  // namespace

void InjectOutputFailure(OutputStep step, unsigned nth) {
    g_injectedStep = step;
    g_injectedNth = nth;
    g_injectedHappened = false;
}

bool InjectedOutputFailureHappened() { return g_injectedHappened; }

bool OpenOutputFile(const char* target, bool text, OutputFile* file) {
    *file = OutputFile();
    file->target = target;
    const files::TargetKind kind = files::ClassifyTarget(target);
    if (kind != files::TargetKind::Other) {
        file->existed = kind == files::TargetKind::Regular;
        for (int k = 0; k < kTempNames && file->stream == nullptr; ++k) {
            if (Injected(OutputStep::CreateTemp)) break;
            std::string temp = file->target + ".tmp";
            if (k > 0) temp += std::to_string(k);
            file->stream =
                files::CreateNewFile(temp.c_str(), file->existed ? target : nullptr, text);
            if (file->stream != nullptr) file->temp = temp;
        }
        if (file->stream != nullptr) return true;
    }
    // No room for a temporary file, or a target that is not a file to
    // replace: written where it is, as any program would.
    file->stream = OpenFile(target, text ? "wt" : "wb");
    return file->stream != nullptr;
}

bool WriteOutputFile(OutputFile* file, const char* data, std::size_t size) {
    if (Injected(OutputStep::Write)) return false;
    return std::fwrite(data, 1, size, file->stream) == size;
}

bool CloseOutputFile(OutputFile* file) {
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
    if (file->temp.empty()) return true;
    bool ok = true;
    if (keep)
        ok = !Injected(OutputStep::Replace) &&
             files::MoveOver(file->temp.c_str(), file->target.c_str());
    if (!keep || !ok) RemoveFile(file->temp.c_str());
    file->temp.clear();
    return ok;
}

}  // namespace fcplat
