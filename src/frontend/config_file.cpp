// The boot configuration file: the writer behind "/s" and "/se", and the load
// behind "/l" and "/le" on the section reader (config_reader.cpp).
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "bootcfg/bootcfg.h"
#include "frontend/frontend.h"
#include "platform/names.h"
#include "platform/output_file.h"

namespace fcboot {

namespace {

// Formats one line in full and writes it as one string; false when the
// formatting or the write fails.
bool PutLine(fcplat::OutputFile* file, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

bool PutLine(fcplat::OutputFile* file, const char* format, ...) {
    char line[128];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof line) return false;
    return fcplat::WriteOutputFile(file, line, static_cast<std::size_t>(n));
}

bool WriteSection(fcplat::OutputFile* file, std::uint32_t index, const BootParams& p) {
    const std::uint8_t* w = p.WWID;
    const std::uint8_t* d = p.BootDeviceWWID;
    return PutLine(file, "%s%u%s\n", "[HBA", static_cast<unsigned>(index), "]") &&
           PutLine(file, "%s%s%02x%02x%02x%02x%02x%02x%02x%02x\n", "WWID", "=", w[0], w[1], w[2],
                   w[3], w[4], w[5], w[6], w[7]) &&
           PutLine(file, "%s%s%u\n", "HostAdapterBiosEnable", "=",
                   static_cast<unsigned>(p.HostAdapterBiosEnable)) &&
           PutLine(file, "%s%s%u\n", "SelectBootEnable", "=",
                   static_cast<unsigned>(p.SelectBootEnable)) &&
           PutLine(file, "%s%s%02x%02x%02x%02x%02x%02x%02x%02x\n", "BootDeviceWWID", "=", d[0],
                   d[1], d[2], d[3], d[4], d[5], d[6], d[7]) &&
           PutLine(file, "%s%s%u\n", "BootDeviceLUN[0]", "=",
                   static_cast<unsigned>(p.BootDeviceLUN)) &&
           PutLine(file, "%s", "\n");
}

// Enable or clear the boot image selection first, then write the boot
// region of the chosen variant whatever the first step returned. Returns
// the section's status: the write's failure wins over the selection's.
std::uint32_t ApplySection(const BootParams& p, std::uint32_t mode) {
    std::uint32_t a = p.SelectBootEnable != 0 ? EnableBootSelection(&p, mode)
                                              : DisableBootSelection(&p);
    std::uint32_t b = (mode & kModeEfib) != 0 ? WriteBootParamsEfib(&p) : WriteBootParamsBios(&p);
    return b != 0 ? b : a;
}

}  // namespace

int SaveBootConfig(const char* fileName, std::uint32_t mode) {
    if (OpenAdapters() != 0) return kExitOpenFailed;
    if (GetAdapterCount() == 0) {
        CloseAdapters();
        return kExitNoAdapter;
    }
    // The sections go to a file beside the old one, which they replace only
    // once they are all on the disk (or, where there is no room beside it,
    // are written over it only then).
    fcplat::OutputFile file;
    if (!fcplat::OpenOutputFile(fileName, true, &file)) {
        CloseAdapters();
        return kExitFile;
    }

    int lastError = 0;
    std::uint32_t sectionsWritten = 0;
    bool fileFailed = false;
    const std::uint32_t count = GetAdapterCount();
    for (std::uint32_t n = 0; n < count; ++n) {
        BootParams p;
        std::memset(&p, 0, sizeof p);
        if (GetAdapterPortWWN(n, p.WWID) != 0) {
            lastError = kExitOpenFailed;
            continue;
        }
        std::uint32_t status = (mode & kModeEfib) != 0 ? ReadBootParamsEfib(&p) : ReadBootParamsBios(&p);
        if (status != 0) {
            lastError = static_cast<int>(status);
            continue;
        }
        if (!WriteSection(&file, n, p)) {
            fileFailed = true;
            break;
        }
        ++sectionsWritten;
    }
    if (!fcplat::CloseOutputFile(&file)) fileFailed = true;

    // An incomplete file is no copy of the adapters' settings, however many
    // sections made it into it: a script must not take it for one.
    int status = fileFailed ? kExitFile : sectionsWritten > 0 ? kExitOk : lastError;
    // A save that fails never replaces an existing file: it may be the last
    // good copy of the settings. Where there was none, the file is created
    // whatever the adapters said, but only whole: a file that could not be
    // written is no file.
    const bool keep = status == kExitOk || (!file.existed && !fileFailed);
    if (!fcplat::PlaceOutputFile(&file, keep) && keep) status = kExitFile;
    CloseAdapters();
    return status;
}

int LoadBootConfig(const char* fileName, std::uint32_t mode) {
    if (OpenAdapters() != 0) return kExitOpenFailed;
    if (GetAdapterCount() == 0) {
        CloseAdapters();
        return kExitNoAdapter;
    }
    // Binary: the reader does what text mode does, the same everywhere.
    std::FILE* file = fcplat::OpenFile(fileName, "rb");
    if (file == nullptr) {
        CloseAdapters();
        return kExitFile;
    }

    // A load takes every complete section in turn; a read error is no end
    // of file, so the sections after it were never seen and the load must
    // not look complete.
    const ConfigReaderHooks hooks{&mode, [](void* m, const BootParams& p) {
                                      return ApplySection(p, *static_cast<std::uint32_t*>(m));
                                  }};
    const ConfigReadResult read = ReadBootConfig(file, hooks);
    std::fclose(file);
    CloseAdapters();

    if (read.readFailed) return kExitFile;
    return read.sectionsApplied > 0 ? kExitOk : read.lastError;
}

}  // namespace fcboot
