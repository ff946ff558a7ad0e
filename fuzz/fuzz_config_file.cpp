// The boot configuration file reader and everything a load does with what it
// accepts: the input is the file, loaded with "/l" or "/le" (the low bit of
// its first byte) into three adapters, two of which run the staged boot image
// sequence when an image is selected. fcboot-diff then compares the input's
// two halves and the whole input with itself, which must find no difference
// of settings, and checks the input alone, which must find what the
// comparison found about it.
#include <cstddef>
#include <cstdint>

#include "diff/diff.h"
#include "fuzz_support.h"

namespace {

// Compares two files and writes the report in both forms; a file that was
// written can always be read.
fcdiff::Report Compare(const std::string& expected, const std::string& actual, bool exact) {
    fcdiff::Report report;
    std::string error;
    fcfuzz::Require(fcdiff::CompareFiles(expected, actual, exact, &report, &error), error);
    fcdiff::ReportText(report);
    fcdiff::ReportJson(report, expected, actual, exact);
    return report;
}

// A file compared with itself: only findings about the file, each once for
// either side, in the same order.
void RequireSameAsItself(const fcdiff::Report& r) {
    for (const fcdiff::Finding& x : r.differences)
        fcfuzz::Require(x.kind != fcdiff::FindingKind::Value &&
                            x.kind != fcdiff::FindingKind::Missing &&
                            x.kind != fcdiff::FindingKind::Extra,
                        "a file differs from itself: " + x.text);
    for (const auto* list : {&r.differences, &r.notes}) {
        const std::size_t half = list->size() / 2;
        bool mirrored = list->size() % 2 == 0;
        for (std::size_t i = 0; mirrored && i < half; ++i)
            mirrored = (*list)[i].text == (*list)[half + i].text;
        fcfuzz::Require(mirrored, "the two sides of a file compared with itself differ");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fcemu::Fleet fleet = fcfuzz::ThreeAdapterFleet();
    static const std::string path = fcfuzz::WorkPath("boot.cfg");
    static const std::string first = fcfuzz::WorkPath("first.cfg"),
                             second = fcfuzz::WorkPath("second.cfg");

    fcfuzz::Require(fcfuzz::WriteFile(path, data, size), "cannot write the input file");
    fcemu::StartServer(fleet);
    fcfuzz::RunUtility({size > 0 && (data[0] & 1) != 0 ? "/le" : "/l", path});
    fcfuzz::StopServerAndCheck();

    fcfuzz::Require(fcfuzz::WriteFile(first, data, size / 2) &&
                        fcfuzz::WriteFile(second, data + size / 2, size - size / 2),
                    "cannot write the halves");
    const bool exact = size > 0 && (data[0] & 2) != 0;
    Compare(first, second, exact);
    const fcdiff::Report self = Compare(path, path, exact);
    RequireSameAsItself(self);

    // The one-file check finds exactly the file's own half of that.
    fcdiff::Report lint;
    std::string error;
    fcfuzz::Require(fcdiff::LintFile(path, &lint, &error), error);
    fcdiff::LintJson(lint, path);
    fcfuzz::Require(lint.differences.size() * 2 == self.differences.size() &&
                        lint.notes.size() * 2 == self.notes.size(),
                    "--lint finds other than the file's half of a comparison with itself");
    for (std::size_t i = 0; i < lint.differences.size(); ++i)
        fcfuzz::Require(lint.differences[i].text == self.differences[i].text,
                        "--lint differs: " + lint.differences[i].text);
    return 0;
}
