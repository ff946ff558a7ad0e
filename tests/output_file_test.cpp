// The promises every output file keeps, the save's and the capture's alike:
// an existing file is replaced only by a run that ends with 0; a new file is
// there afterwards only whole; a link stays a link; a temporary file left by
// a crash is never written into. Each is tried with a temporary file beside
// the target and with every temporary name taken (the text is then held and
// written over the target at the end), directly and through a link.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "adapter/exit_codes.h"
#include "capture/capture.h"
#include "frontend/frontend.h"
#include "platform/output_file.h"
#include "support/harness.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

namespace fs = std::filesystem;
using Effect = fcemu::FaultRule::Effect;

// Every adapter's region reads fail: the save ends with 4, the capture is
// incomplete (4).
fcemu::Fleet Unreadable() {
    fcemu::Fleet fleet = fcemu::DemoFleet();
    for (fcemu::DeviceConfig& d : fleet.devices) {
        fcemu::FaultRule rule;
        rule.match = "mailbox:23", rule.effect = Effect::MbxStatus, rule.value = 1;
        d.faults.push_back(rule);
    }
    return fleet;
}

int Save(const fcemu::Fleet& fleet, const std::string& path) {
    return fctest::RunUtility(fleet, {"/se", path}).exit_code;
}

int CaptureTo(const fcemu::Fleet& fleet, const std::string& path, std::string* said = nullptr) {
    std::FILE* err = std::tmpfile();
    fcemu::StartServer(fleet);
    testing::internal::CaptureStdout();
    const int exit = fccapture::RunCapture(path, err, "fcboot-capture");
    testing::internal::GetCapturedStdout();
    fcemu::StopServer();
    if (said != nullptr) {
        said->clear();
        std::rewind(err);
        for (int c; (c = std::fgetc(err)) != EOF;) said->push_back(static_cast<char>(c));
    }
    std::fclose(err);
    return exit;
}

struct Writer {
    const char* name;
    std::function<int(const fcemu::Fleet&, const std::string&)> run;
};

const Writer kWriters[] = {{"save", Save},
                           {"capture", [](const fcemu::Fleet& f, const std::string& p) {
                                return CaptureTo(f, p);
                            }}};

// How the target is reached and whether a temporary file fits beside it.
struct Way {
    const char* name;
    bool link;        // the path named is a relative link into another folder
    bool namesTaken;  // every temporary name beside the file is taken
};

std::vector<Way> Ways() {
    std::vector<Way> ways = {{"temporary file", false, false}, {"names taken", false, true}};
#ifndef _WIN32
    ways.push_back({"link", true, false});
    ways.push_back({"link, names taken", true, true});
#endif
    return ways;
}

// A folder laid out for one way: `named` is the path handed to the program,
// `real` the file it is to write.
struct Layout {
    std::string dir, named, real;
};

Layout Lay(const Way& way, const char* old) {
    Layout l;
    l.dir = fctest::TempDir();
    fs::create_directory(l.dir + "/golden");
    l.real = way.link ? l.dir + "/golden/host17.cfg" : l.dir + "/boot.cfg";
    l.named = l.dir + "/boot.cfg";
    if (way.link) fs::create_symlink("golden/host17.cfg", l.named);
    if (old != nullptr) fctest::WriteFileBytes(l.real, old);
    if (way.namesTaken)
        for (int k = 0; k < 100; ++k)
            fctest::WriteFileBytes(l.real + ".tmp" + (k > 0 ? std::to_string(k) : ""), "stale\n");
    return l;
}

// `path` below `dir`, as written (a link is not followed).
std::string Rel(const std::string& path, const std::string& dir) {
    return fs::path(path).lexically_relative(dir).generic_string();
}

// Every entry below `dir`, with its bytes for files and its target for links.
std::set<std::string> Listing(const std::string& dir) {
    std::set<std::string> all;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::string rel = Rel(e.path().string(), dir);
        if (e.is_symlink())
            all.insert(rel + " -> " + fs::read_symlink(e.path()).generic_string());
        else if (e.is_regular_file())
            all.insert(rel + " = " + fctest::ReadFileBytes(e.path().string()));
        else
            all.insert(rel + "/");
    }
    return all;
}

// What a clean run writes to a fresh file.
std::string Reference(const Writer& w, const fcemu::Fleet& fleet) {
    const std::string path = fctest::TempDir() + "/reference";
    EXPECT_EQ(w.run(fleet, path), 0);
    return fctest::ReadFileBytes(path);
}

// A run as a case of the tables below: a clean one, one whose adapters fail,
// one whose file cannot be written.
struct Outcome {
    const char* name;
    bool adaptersFail;
    bool writeFails;
    int exit;
};
const Outcome kOutcomes[] = {
    {"clean run", false, false, 0},
    {"adapters fail", true, false, 4},
    {"write fails", false, true, fcboot::kExitFile},
};

int RunAs(const Writer& w, const Outcome& o, const std::string& path) {
    if (o.writeFails) fcplat::InjectOutputFailure(fcplat::OutputStep::Write, 1);
    const int exit = w.run(o.adaptersFail ? Unreadable() : fcemu::DemoFleet(), path);
    EXPECT_EQ(fcplat::InjectedOutputFailureHappened(), o.writeFails);
    fcplat::InjectOutputFailure(fcplat::OutputStep::Write, 0);
    return exit;
}

// Over an existing file, only a clean run replaces it; where there was
// none, a run whose adapters fail still writes what it read (the save: what
// it could; the capture: the devices marked incomplete) and a file that
// could not be written is no file. Nothing else changes: the link is the
// same link, no file is added beside either, the taken names hold what they
// held.
TEST(OutputFilePromises, AnExistingFileIsReplacedOnlyByARunThatEndsWith0AndANewOneOnlyWhole) {
    const std::string old = "last night's good copy\n";
    for (const Writer& w : kWriters) {
        const std::string clean = Reference(w, fcemu::DemoFleet());
        for (const bool existed : {true, false}) {
            for (const Way& way : Ways()) {
                for (const Outcome& o : kOutcomes) {
                    SCOPED_TRACE(std::string(w.name) + ", " + way.name + ", " + o.name +
                                 (existed ? ", existing file" : ", new file"));
                    const Layout l = Lay(way, existed ? old.c_str() : nullptr);
                    std::set<std::string> before = Listing(l.dir);
                    EXPECT_EQ(RunAs(w, o, l.named), o.exit);
                    if (existed) {
                        EXPECT_EQ(fctest::ReadFileBytes(l.real), o.exit == 0 ? clean : old);
                        before.erase(Rel(l.real, l.dir) + " = " + old);
                    } else {
                        EXPECT_EQ(fctest::FileExists(l.real), !o.writeFails);
                        if (o.exit == 0) {
                            EXPECT_EQ(fctest::ReadFileBytes(l.real), clean);
                        }
                    }
                    std::set<std::string> after = Listing(l.dir);
                    if (fctest::FileExists(l.real))
                        after.erase(Rel(l.real, l.dir) + " = " + fctest::ReadFileBytes(l.real));
                    EXPECT_EQ(after, before);
                }
            }
        }
    }
}

// A crash leaves the temporary file behind, longer than the next text may
// be, or a link put there by someone else: neither is written into.
TEST(OutputFilePromises, AStaleTemporaryFileIsNeverWrittenInto) {
    for (const Writer& w : kWriters) {
        SCOPED_TRACE(w.name);
        const std::string clean = Reference(w, fcemu::DemoFleet());
        const std::string dir = fctest::TempDir(), path = dir + "/out", stale(64 * 1024, 'x');
        fctest::WriteFileBytes(path, "old\n");
        fctest::WriteFileBytes(path + ".tmp", stale);
        fctest::WriteFileBytes(dir + "/victim", "victim\n");
#ifndef _WIN32
        fs::create_symlink("victim", path + ".tmp1");
#endif
        EXPECT_EQ(w.run(fcemu::DemoFleet(), path), 0);
        EXPECT_EQ(fctest::ReadFileBytes(path), clean);
        EXPECT_EQ(fctest::ReadFileBytes(path + ".tmp"), stale);
        EXPECT_EQ(fctest::ReadFileBytes(dir + "/victim"), "victim\n");
    }
}

// With no temporary file the text waits for the end of the run. A write that
// fails before the end leaves an existing file as it was; one that fails
// over it at the end (the write, the flush, the close) can only end with 2;
// a file the run created is removed either way, also when its adapters
// failed too: the file's failure is the one said.
TEST(OutputFilePromises, HeldTextThatCannotBeWrittenEndsWith2) {
    using Step = fcplat::OutputStep;
    const struct {
        bool existed;
        fcemu::Fleet fleet;
    } cases[] = {{true, fcemu::DemoFleet()}, {false, fcemu::DemoFleet()}, {false, Unreadable()}};
    for (const auto& c : cases) {
        const bool existed = c.existed;
        for (const Step step : {Step::Write, Step::Flush, Step::Close}) {
            SCOPED_TRACE(std::string(existed ? "existing" : "new") + " file, step " +
                         std::to_string(static_cast<int>(step)) + ", devices with faults " +
                         std::to_string(c.fleet.devices[0].faults.size()));
            // One byte more than a whole number of read blocks: the old text
            // is read back to its last byte to be put back.
            const std::string old = std::string(8192, '#') + "\n";
            const Layout l = Lay({"", false, true}, existed ? old.c_str() : nullptr);
            std::vector<std::string> left;  // the file after each run, "-" for none
            for (unsigned nth = 1;; ++nth) {
                if (existed) fctest::WriteFileBytes(l.real, old);
                fcplat::InjectOutputFailure(step, nth);
                const int exit = Save(c.fleet, l.named);
                const bool failed = fcplat::InjectedOutputFailureHappened();
                fcplat::InjectOutputFailure(step, 0);
                if (!failed) break;
                EXPECT_EQ(exit, fcboot::kExitFile);
                left.push_back(fctest::FileExists(l.real) ? fctest::ReadFileBytes(l.real) : "-");
            }
            ASSERT_FALSE(left.empty());
            // The last run of the step is the one at the end of the save: a
            // write or flush failing there puts the old text back; a close
            // failing there comes after the whole new text is in the file.
            for (std::size_t k = 0; k < left.size(); ++k) {
                if (!existed) {
                    EXPECT_EQ(left[k], "-") << k;
                } else if (k + 1 < left.size() || step != Step::Close) {
                    EXPECT_EQ(left[k], old) << k;
                }
            }
        }
    }
}

// A capture whose file cannot be created says so and ends with 2, whatever
// the adapters: none at all, or ones that read.
TEST(OutputFilePromises, ACaptureTargetThatCannotBeCreatedEndsWith2) {
    const std::string dir = fctest::TempDir();
    fctest::WriteFileBytes(dir + "/plain", "x");
    const std::string targets[] = {dir + "/no-such-folder/twin.json", dir + "/plain/twin.json", dir};
    for (const fcemu::Fleet& fleet : {fcemu::Fleet(), fcemu::DemoFleet()}) {
        for (const std::string& target : targets) {
            SCOPED_TRACE(target + ", devices " + std::to_string(fleet.devices.size()));
            std::string said;
            EXPECT_EQ(CaptureTo(fleet, target, &said), fccapture::kCaptureFile);
            EXPECT_EQ(said, "fcboot-capture: cannot write " + target + "\n");
        }
    }
    // Without a device nothing is written and a file there is kept.
    fctest::WriteFileBytes(dir + "/twin.json", "{}\n");
    EXPECT_EQ(CaptureTo(fcemu::Fleet(), dir + "/twin.json"), fccapture::kCaptureNoDevice);
    EXPECT_EQ(fctest::ReadFileBytes(dir + "/twin.json"), "{}\n");
    EXPECT_EQ(CaptureTo(fcemu::Fleet(), dir + "/none.json"), fccapture::kCaptureNoDevice);
    EXPECT_FALSE(fctest::FileExists(dir + "/none.json"));
}

#ifdef _WIN32
// Windows replaces an existing file in a way that keeps what it carries
// beyond its bytes; a read-only file is kept, as Windows keeps it from any
// writer. (The access rules and streams kept are what only a Windows machine
// shows; Wine shows the attributes and the replace itself.)
TEST(OutputFilePromises, AReplacedFileKeepsItsAttributesAndAReadOnlyOneIsKept) {
    const std::string dir = fctest::TempDir(), path = dir + "\\boot.cfg";
    const std::string clean = Reference(kWriters[0], fcemu::DemoFleet());
    fctest::WriteFileBytes(path, "old\n");
    ASSERT_TRUE(::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(Save(fcemu::DemoFleet(), path), 0);
    EXPECT_EQ(fctest::ReadFileBytes(path), clean);
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_HIDDEN, 0u) << attributes;
    // A name relative to the current folder is replaced the same way.
    char here[MAX_PATH];
    ASSERT_NE(::GetCurrentDirectoryA(MAX_PATH, here), 0u);
    ASSERT_TRUE(::SetCurrentDirectoryA(dir.c_str()));
    fctest::WriteFileBytes(path, "old\n");
    EXPECT_EQ(Save(fcemu::DemoFleet(), "boot.cfg"), 0);
    ::SetCurrentDirectoryA(here);
    EXPECT_EQ(fctest::ReadFileBytes(path), clean);

    for (const bool namesTaken : {false, true}) {
        SCOPED_TRACE(namesTaken ? "names taken" : "temporary file");
        const Layout l = Lay({"", false, namesTaken}, "old\n");
        ASSERT_TRUE(::SetFileAttributesA(l.real.c_str(), FILE_ATTRIBUTE_READONLY));
        const std::set<std::string> before = Listing(l.dir);
        for (const Writer& w : kWriters) {
            SCOPED_TRACE(w.name);
            EXPECT_EQ(w.run(fcemu::DemoFleet(), l.named), fcboot::kExitFile);
            EXPECT_EQ(Listing(l.dir), before);
        }
        ::SetFileAttributesA(l.real.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}
#endif

}  // namespace
