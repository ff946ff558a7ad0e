// The boot configuration file reader and everything a load does with what it
// accepts: the input is the file, loaded with "/l" or "/le" (the low bit of
// its first byte) into three adapters, two of which run the staged boot image
// sequence when an image is selected. fcboot-diff then compares the input's
// two halves (its report in both forms must hold together) and the whole
// input with itself, which must find no difference of settings.
#include <cstddef>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "diff/diff.h"
#include "fuzz_support.h"

namespace {

// Compares two files in both forms; the JSON form must parse and carry the
// text form's lines.
fcdiff::Report Compare(const std::string& expected, const std::string& actual, bool exact) {
    fcdiff::Report report;
    std::string error;
    fcfuzz::Require(fcdiff::CompareFiles(expected, actual, exact, &report, &error), error);
    const nlohmann::json doc =
        nlohmann::json::parse(fcdiff::ReportJson(report, expected, actual, exact), nullptr, false);
    fcfuzz::Require(!doc.is_discarded(), "fcboot-diff --json wrote no JSON document");
    std::string lines;
    for (const char* list : {"differences", "notes"})
        for (const auto& x : doc[list]) lines += x["text"].get<std::string>() + "\n";
    fcfuzz::Require(lines == fcdiff::ReportText(report), "the JSON form differs from the text form");
    return report;
}

// A file compared with itself: only findings about the file, each once for
// either side, in the same order.
void RequireSameAsItself(const fcdiff::Report& r) {
    for (const fcdiff::Finding& x : r.differences)
        fcfuzz::Require(x.kind != fcdiff::FindingKind::Value && x.kind != fcdiff::FindingKind::Missing &&
                            x.kind != fcdiff::FindingKind::Extra,
                        "a file differs from itself: " + x.text);
    for (const auto* list : {&r.differences, &r.notes}) {
        const std::size_t half = list->size() / 2;
        bool mirrored = list->size() % 2 == 0;
        for (std::size_t i = 0; mirrored && i < half; ++i) mirrored = (*list)[i].text == (*list)[half + i].text;
        fcfuzz::Require(mirrored, "the two sides of a file compared with itself differ");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fcemu::Fleet fleet = fcfuzz::ThreeAdapterFleet();
    static const std::string path = fcfuzz::WorkPath("boot.cfg");
    static const std::string first = fcfuzz::WorkPath("first.cfg"), second = fcfuzz::WorkPath("second.cfg");

    fcfuzz::Require(fcfuzz::WriteFile(path, data, size), "cannot write the input file");
    fcemu::StartServer(fleet);
    fcfuzz::RunUtility({size > 0 && (data[0] & 1) != 0 ? "/le" : "/l", path});
    fcfuzz::StopServerAndCheck();

    fcfuzz::Require(fcfuzz::WriteFile(first, data, size / 2) &&
                        fcfuzz::WriteFile(second, data + size / 2, size - size / 2),
                    "cannot write the halves");
    const bool exact = size > 0 && (data[0] & 2) != 0;
    Compare(first, second, exact);
    RequireSameAsItself(Compare(path, path, exact));
    return 0;
}
