// Reads each file with the utility's section reader and compares the
// settings a load would write, keyed by the adapters' WWID.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "diff/diff.h"
#include "frontend/frontend.h"
#include "platform/names.h"

namespace fcdiff {
namespace {

using fcboot::BootParams;
using fcboot::ConfigPiece;
using fcboot::ConfigPieceKind;

constexpr std::uint32_t kWwidBit = 2;
constexpr std::uint32_t kBootDeviceWwidBit = 16;

const char* KeyName(std::uint32_t bit) {
    for (const fcboot::ConfigKeyword& k : fcboot::ConfigKeywords)
        if (k.bit == bit) return k.keyword;
    return "?";
}

const char* AcceptedValues(std::uint32_t bit) {
    if (bit == kWwidBit || bit == kBootDeviceWwidBit) return "1 to 16 hex digits";
    return bit == 32 ? "a number from 0 to 255" : "0 or 1";
}

std::string WwnText(const std::uint8_t* w) {
    char s[17];
    std::snprintf(s, sizeof s, "%02x%02x%02x%02x%02x%02x%02x%02x", w[0], w[1], w[2], w[3], w[4],
                  w[5], w[6], w[7]);
    return s;
}

// A setting as a save writes it.
std::string ValueText(const BootParams& p, std::uint32_t bit) {
    switch (bit) {
    case kWwidBit: return WwnText(p.WWID);
    case kBootDeviceWwidBit: return WwnText(p.BootDeviceWWID);
    case 4: return std::to_string(p.HostAdapterBiosEnable);
    case 8: return std::to_string(p.SelectBootEnable);
    default: return std::to_string(p.BootDeviceLUN);
    }
}

// File text in a report line: in quotes, anything but printable ASCII as
// \xNN, so that a line of a UTF-16 file shows what it holds.
std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out + "\"";
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trim(const std::string& s) {
    std::size_t a = 0, b = s.size();
    while (a < b && IsBlank(s[a])) ++a;
    while (b > a && IsBlank(s[b - 1])) --b;
    return s.substr(a, b - a);
}

// What a load sees of a piece: up to its first NUL byte.
std::string Seen(const ConfigPiece& p) { return std::string(p.text, std::strlen(p.text)); }

// Lower case, without blanks: how a line reads to someone who wrote it.
std::string Squeezed(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == ' ' || c == '\t') continue;
        out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

// A line of nothing but the reader's delimiters.
bool IsBlankLine(const std::string& line) {
    return line.find_first_not_of(" \t\r\n;") == std::string::npos;
}

// A comment line: its first character other than a blank or a tab is "#",
// however far it is indented. A load passes over it unless its first word
// makes a header ("#[HBA2]"), which the reader itself tells.
bool IsCommentLine(const std::string& line) {
    const std::size_t at = line.find_first_not_of(" \t");
    return at != std::string::npos && line[at] == '#';
}

bool LooksLikeHeader(const std::string& line) {
    if (IsCommentLine(line)) return false;
    const std::string s = Squeezed(line);
    if (s.find("[hba") != std::string::npos) return true;
    const std::size_t at = s.find("hba");
    if (at == std::string::npos) return false;
    std::size_t end = at + 3;
    while (end < s.size() && s[end] >= '0' && s[end] <= '9') ++end;
    return end < s.size() && s[end] == ']';
}

// A line that names one of the keys: a word of its keyword part begins like
// one, and the line has a "=" or begins with that word.
bool LooksLikeKey(const std::string& line) {
    if (IsCommentLine(line)) return false;
    const std::size_t from = line.find_first_not_of(" \t;=");
    if (from == std::string::npos) return false;
    const std::size_t equals = line.find('=', from);
    std::string words;
    for (char c : line.substr(from, equals == std::string::npos ? std::string::npos : equals - from))
        words += (c == ' ' || c == '\t' || c == ';') ? ' ' : c;
    std::size_t at = 0;
    bool first = true;
    while ((at = words.find_first_not_of(' ', at)) != std::string::npos) {
        const std::size_t end = std::min(words.find(' ', at), words.size());
        const std::string word = Squeezed(words.substr(at, end - at));
        for (const char* stem : {"wwid", "hostadapter", "selectboot", "bootdevice"})
            if (word.compare(0, std::strlen(stem), stem) == 0 &&
                (first || equals != std::string::npos))
                return true;
        first = false;
        at = end;
    }
    return false;
}

// Why a load does not take a line that looks like a header.
const char* HeaderHint(const std::string& line) {
    if (line.find("[HBA") == std::string::npos) {
        if (line.find("HBA") != std::string::npos && line.find('[') == std::string::npos)
            return "a header begins with \"[\": \"[HBA\" n \"]\"";
        return "a header is written \"[HBA\" in capitals";
    }
    // Outside a section such a line opens one; inside, only a line that is
    // a key line with the header as its keyword does.
    std::string copy = line;
    if (fcboot::IsHbaSectionHeader(&copy[0]) != 0)
        return "inside a section a header must stand alone on its line";
    return "a header is one word, \"[HBA\" n \"]\", without blanks";
}

// Why a load ignores a line inside a section that is no blank, comment,
// header or key line it takes.
const char* KeyHint(const std::string& line) {
    const std::size_t equals = line.find('=');
    const std::string keyword = Trim(line.substr(0, equals));
    if (std::any_of(keyword.begin(), keyword.end(), [](char c) { return (c & 0x80) != 0; }))
        return "the keyword holds a character other than ASCII, such as a non-breaking space; "
               "only blanks and tabs may stand before it";
    if (equals == std::string::npos)
        return LooksLikeKey(line) ? "a key line is keyword=value"
                                  : "a load ignores a line that is no header, key line, comment or "
                                    "blank; a comment line starts with \"#\"";
    if (keyword.find_first_of(" \t;") != std::string::npos)
        return "the keyword is one word, and only \"#\" starts a comment";
    return "the keywords are WWID, HostAdapterBiosEnable, SelectBootEnable, BootDeviceWWID and "
           "BootDeviceLUN[0]";
}

struct Rejection {
    std::uint32_t line = 0;
    std::uint32_t bit = 0;
    std::string value;
};

struct Section {
    std::uint32_t line = 0;
    std::string header;
    BootParams record{};
    std::uint32_t seen = 0;
    bool complete = false;
    std::uint32_t endedBy = 0;  // the header that dropped it; 0: the end of the file
    std::vector<Rejection> rejections;
    std::map<std::uint32_t, std::pair<std::uint32_t, std::string>> taken;  // key: line, value as loaded
};

struct FileRead {
    std::string name;
    std::vector<Section> sections;
    std::vector<Finding> findings;  // the file's own: differences and notes
    bool anyText = false;
    bool utf16 = false;
    std::uint32_t nulLine = 0, nulLines = 0;
    std::uint32_t ctrlZLine = 0;  // of a Ctrl-Z with text after it
    // The line being read: where its next piece starts, whether a further
    // piece holds text, whether any piece is read as a header or key line,
    // whether the first is blank, the text and what each piece loads as.
    struct {
        std::uint32_t line = 0;
        std::size_t offset = 0;
        bool split = false, read = false, firstBlank = false;
        std::string text, pieces;
    } current;
    std::uint32_t headerNotTaken = 0;  // the last line that looks like a header but is not one
    // The first findings on a header and on a key line not taken: the likely
    // cause when nothing loads.
    std::string headerHint, keyHint;
};

Finding FileFinding(const FileRead& f, FindingKind kind, std::uint32_t line,
                    const std::string& what) {
    Finding x;
    x.kind = kind;
    x.file = f.name;
    x.line = line;
    x.text = (IsNote(kind) ? "note: " : "") + f.name + (line ? ":" + std::to_string(line) : "") +
             ": " + what;
    return x;
}

void NotTaken(FileRead* f, const ConfigPiece& p, const std::string& why,
              std::string* firstOfItsKind) {
    const std::string what = Quote(Trim(Seen(p))) + " is not taken by a load: " + why;
    if (firstOfItsKind != nullptr && firstOfItsKind->empty())
        *firstOfItsKind = "line " + std::to_string(p.line) + ": " + what;
    Finding x = FileFinding(*f, FindingKind::NotTaken, p.line, what);
    x.written = Trim(Seen(p));
    f->findings.push_back(x);
}

// Text after a value or header up to its end: none when it is a comment,
// which starts with ";" or "#".
std::string AfterWord(const ConfigPiece& p, std::size_t end) {
    const std::string s = Seen(p);
    const std::string rest = Trim(s.substr(std::min(s.size(), end)));
    return rest.empty() || rest[0] == ';' || rest[0] == '#' ? std::string() : rest;
}

std::string AfterValue(const ConfigPiece& p) { return AfterWord(p, p.valueAt + p.valueLength); }

const char kKeyPrefixRule[] =
    "a load passes over \";\" and \"=\" before a keyword; only \"#\" at the start of a line "
    "makes a comment a load ignores";

// A header or key line that a load takes although text stands before it on
// its line: a ";" meant as a comment.
void JudgePrefix(FileRead* f, const ConfigPiece& p, std::size_t startsAt, const std::string& as,
                 const char* rule) {
    // The further pieces of a long line: the line's own finding says what
    // each loads as.
    if (p.continued) return;
    const std::string seen = Seen(p);
    std::string before = Trim(seen.substr(0, std::min(seen.size(), startsAt)));
    // UTF-8's byte order mark, which Windows tools write, opens the file.
    if (p.line == 1 && before.compare(0, 3, "\xEF\xBB\xBF") == 0) before = Trim(before.substr(3));
    if (before.empty()) return;
    Finding x = FileFinding(*f, FindingKind::TakenWithPrefix, p.line,
                            Quote(Trim(seen)) + " is taken by a load as " + as + ": " + rule);
    x.written = Trim(seen), x.loadsAs = as;
    if (p.bit > 1) x.key = KeyName(p.bit);
    f->findings.push_back(x);
}

// A header as a load takes it: the word from "[HBA" to its last "]".
void JudgeHeader(FileRead* f, const ConfigPiece& p) {
    const std::string seen = Seen(p);
    if (p.wordAt == fcboot::kNoWord || p.wordAt >= seen.size()) return;
    const std::string word = seen.substr(p.wordAt, p.wordLength);
    const std::size_t open = std::min(word.find("[HBA"), word.size());
    const std::size_t close = word.rfind(']');
    JudgePrefix(f, p, p.wordAt + open, "a section header",
                "a word holding \"[HBA\" and then \"]\" starts a section whatever stands before "
                "it; a line a load ignores starts with \"#\" and a blank");
    const std::size_t end = close == std::string::npos ? word.size() : close + 1;
    const std::string rest = AfterWord(p, p.wordAt + end);
    if (rest.empty() || p.continued) return;
    Finding x = FileFinding(*f, FindingKind::TrailingText, p.line,
                            "text after the header " + Quote(word.substr(open, end - open)) +
                                " is ignored: " + Quote(rest));
    x.written = Trim(seen);
    f->findings.push_back(x);
}

// Returns the key line as a load takes it: KEY=value as a save writes it.
std::string OnAccepted(FileRead* f, const ConfigPiece& p) {
    const std::string key = KeyName(p.bit);
    const std::string value(p.text + p.valueAt, p.valueLength);
    BootParams loaded{};
    std::uint32_t number = 0;
    std::string loadsAs;
    if (p.bit == kWwidBit || p.bit == kBootDeviceWwidBit) {
        fcboot::ParseWWN(p.text + p.valueAt, loaded.WWID);
        loadsAs = WwnText(loaded.WWID);
        // Text after the value is reported below, with what the value loads as.
        if (value.size() < 16 && loadsAs != std::string(16, '0') && AfterValue(p).empty()) {
            Finding x = FileFinding(
                *f, FindingKind::ShortName, p.line,
                key + " " + value + " is shorter than 16 digits; a load pads it on the left to " +
                    loadsAs);
            x.key = key, x.written = value, x.loadsAs = loadsAs;
            f->findings.push_back(x);
        }
    } else {
        fcboot::ParseDecimal(p.text + p.valueAt, &number);
        loadsAs = std::to_string(number);
    }
    JudgePrefix(f, p, p.wordAt, key + "=" + value, kKeyPrefixRule);
    const std::string after = AfterValue(p);
    if (!after.empty() && !p.continued) {
        const std::string line = Seen(p);
        const std::string written =
            Trim(line.substr(p.valueAt, line.find_first_of(";#", p.valueAt) - p.valueAt));
        Finding x = FileFinding(
            *f, FindingKind::TrailingText, p.line,
            key + ": text after the value is ignored: " + Quote(written) + " loads as " + loadsAs);
        x.key = key, x.written = written, x.loadsAs = loadsAs;
        f->findings.push_back(x);
    }
    Section& s = f->sections.back();
    // The same key again with another value: the later wins.
    const auto earlier = s.taken.find(p.bit);
    if (earlier != s.taken.end() && earlier->second.second != loadsAs) {
        Finding x = FileFinding(*f, FindingKind::RepeatedKey, p.line,
                                key + " is given a second time (line " +
                                    std::to_string(earlier->second.first) + " gives " +
                                    earlier->second.second + "); a load takes the later, " +
                                    loadsAs);
        x.key = key, x.written = value, x.loadsAs = loadsAs;
        f->findings.push_back(x);
    }
    s.taken[p.bit] = {p.line, loadsAs};
    return key + "=" + loadsAs;
}

// A line longer than 255 characters that a load reads in pieces: a
// difference when any piece is read as a header or key line, for the line
// is then not taken as written; a note when all are blank or ignored text.
// So is one whose text, blank in the first piece, is no comment: a load
// ignores it as it ignores that text on a line of its own.
void EndLine(FileRead* f) {
    auto& c = f->current;
    const bool ignored = c.firstBlank && !IsBlankLine(c.text) && !IsCommentLine(c.text);
    if (c.split && (c.read || ignored)) {
        Finding x = FileFinding(*f, FindingKind::NotTaken, c.line,
                                "the line is longer than 255 characters, and a load reads it in "
                                "pieces, each as a line of its own: " + c.pieces);
        f->findings.push_back(x);
    } else if (c.split) {
        f->findings.push_back(FileFinding(*f, FindingKind::LongLine, c.line,
                                          "the line is longer than 255 characters; a load reads "
                                          "each further piece of 255 as a line of its own"));
    }
    c = {};
}

// Adds a piece to its line's account: where it stands and what it loads as.
void CountPiece(FileRead* f, const ConfigPiece& p, const std::string& as) {
    auto& c = f->current;
    const std::string seen = Seen(p);
    if (!p.continued) {
        EndLine(f);
        c.line = p.line;
        c.firstBlank = IsBlankLine(seen);
    }
    c.text += seen;
    // A further piece of nothing but blanks changes nothing: a line of
    // exactly 255 characters, or one padded with blanks, reads as if whole.
    if (p.continued && (!IsBlankLine(seen) || seen.size() != p.length)) c.split = true;
    const bool read = p.kind != ConfigPieceKind::Outside && p.kind != ConfigPieceKind::Ignored;
    c.read = c.read || read;
    std::size_t chars = p.length;
    if (chars > 0 && p.text[chars - 1] == '\n') --chars;
    if (chars > 0) {
        const std::string from = std::to_string(c.offset + 1), to = std::to_string(c.offset + chars);
        c.pieces += (c.pieces.empty() ? "" : "; ") +
                    (chars == 1 ? "character " + from : "characters " + from + " to " + to) +
                    " as " +
                    (read ? as : IsBlankLine(seen) ? "blank" : "ignored text " + Quote(Trim(seen)));
    }
    c.offset += p.length;
}

void OnPiece(void* context, const ConfigPiece& p) {
    FileRead* f = static_cast<FileRead*>(context);
    const std::string seen = Seen(p);
    if (!Trim(seen).empty()) f->anyText = true;
    if (p.line == 1 && !p.continued && p.length >= 2 &&
        ((p.text[0] == '\xff' && p.text[1] == '\xfe') ||
         (p.text[0] == '\xfe' && p.text[1] == '\xff')))
        f->utf16 = true;
    if (std::memchr(p.text, '\0', p.length) != nullptr) {
        if (f->nulLine == 0) f->nulLine = p.line;
        if (!p.continued) ++f->nulLines;
    }
    std::string as;
    switch (p.kind) {
    case ConfigPieceKind::Restart: f->sections.back().endedBy = p.line; [[fallthrough]];
    case ConfigPieceKind::Header: {
        Section s;
        s.line = p.line;
        s.header = std::string(p.text + p.wordAt, p.wordLength);
        f->sections.push_back(s);
        JudgeHeader(f, p);
        as = "the section header " + Quote(s.header);
        break;
    }
    case ConfigPieceKind::Accepted: as = OnAccepted(f, p); break;
    case ConfigPieceKind::Rejected:
        as = std::string(KeyName(p.bit)) + " with a value a load rejects";
        JudgePrefix(f, p, p.wordAt,
                    std::string(KeyName(p.bit)) + "=" +
                        (p.valueAt == fcboot::kNoWord ? "" : std::string(p.text + p.valueAt, p.valueLength)),
                    kKeyPrefixRule);
        f->sections.back().rejections.push_back(
            {p.line, p.bit,
             p.valueAt == fcboot::kNoWord ? "" : std::string(p.text + p.valueAt, p.valueLength)});
        break;
    case ConfigPieceKind::Outside:
    case ConfigPieceKind::Ignored: {
        // The further pieces of a long line: their line's account says it.
        // Otherwise a line is blank, a comment, or taken as written; the
        // reader ignoring it is the verdict, what it looks like only says why.
        if (p.continued || IsBlankLine(seen) || IsCommentLine(seen)) break;
        const bool inSection = p.kind == ConfigPieceKind::Ignored;
        if (LooksLikeHeader(seen)) {
            NotTaken(f, p, HeaderHint(seen), &f->headerHint);
            if (!inSection) f->headerNotTaken = p.line;
            break;
        }
        const std::uint32_t lastHeader = f->sections.empty() ? 0 : f->sections.back().line;
        std::string why =
            inSection ? KeyHint(seen)
            : f->sections.empty()
                ? "it comes before the first section header"
            : f->headerNotTaken > lastHeader
                ? "a load reads no key line after a section's fifth key up to the next "
                  "header, and the header at line " + std::to_string(f->headerNotTaken) +
                      " is not taken"
                : "its section already had all five keys; a load reads nothing more up to "
                  "the next header";
        if (!inSection && seen[seen.find_first_not_of(" \t")] == ';')
            why += " (to leave a line for a load to ignore, start it with \"#\")";
        NotTaken(f, p, why, LooksLikeKey(seen) ? &f->keyHint : nullptr);
        break;
    }
    }
    CountPiece(f, p, as);
}

std::uint32_t OnComplete(void* context, const BootParams& record) {
    Section& s = static_cast<FileRead*>(context)->sections.back();
    s.complete = true;
    s.record = record;
    s.seen = fcboot::kAllKeysSeen;
    return 0;
}

void OnDropped(void* context, const BootParams& record, std::uint32_t seen) {
    Section& s = static_cast<FileRead*>(context)->sections.back();
    s.record = record;
    s.seen = seen;
}

std::string SectionName(const Section& s) {
    std::string name = "section " + Quote(s.header);
    if ((s.seen & kWwidBit) != 0) name += " of " + WwnText(s.record.WWID);
    return name;
}

// The skipped sections, and the rejected values that a section took from
// another line.
void JudgeSections(FileRead* f) {
    for (const Section& s : f->sections) {
        std::string missing, rejected;
        for (std::uint32_t bit = kWwidBit; bit <= 32; bit <<= 1) {
            const Rejection* last = nullptr;
            for (const Rejection& r : s.rejections) {
                if (r.bit != bit) continue;
                last = &r;
                if ((s.seen & bit) == 0) continue;
                Finding x =
                    FileFinding(*f, FindingKind::NotTaken, r.line,
                                std::string(KeyName(bit)) + " " + Quote(r.value) + " is not " +
                                    AcceptedValues(bit) + "; the section takes the " +
                                    KeyName(bit) + " of another line");
                x.key = KeyName(bit);
                f->findings.push_back(x);
            }
            if ((s.seen & bit) != 0) continue;
            if (last == nullptr) {
                missing += (missing.empty() ? "no " : ", ") + std::string(KeyName(bit));
            } else {
                rejected += (rejected.empty() ? "" : "; ") + std::string(KeyName(bit)) + " " +
                            Quote(last->value) + " at line " + std::to_string(last->line) +
                            " is not " + AcceptedValues(bit);
            }
        }
        if (s.complete) continue;
        std::string why = rejected + (rejected.empty() || missing.empty() ? "" : "; ") + missing;
        if (s.endedBy != 0)
            why += "; the header at line " + std::to_string(s.endedBy) + " starts afresh";
        Finding x = FileFinding(
            *f, rejected.empty() ? FindingKind::IncompleteSection : FindingKind::RejectedSection,
            s.line,
            SectionName(s) + (rejected.empty() ? " is skipped" : " is rejected") +
                " by a load: " + why);
        if ((s.seen & kWwidBit) != 0) x.wwid = WwnText(s.record.WWID);
        f->findings.push_back(x);
    }
}

std::string NoSectionCause(const FileRead& f) {
    if (f.ctrlZLine != 0 && f.sections.empty())
        return "a Ctrl-Z (0x1A) at line " + std::to_string(f.ctrlZLine) +
               " ends the file for a load before any section";
    if (!f.anyText && f.nulLine == 0) return "the file holds no text";
    if (f.utf16)
        return "it is UTF-16 text (as Windows PowerShell 5.1 writes with >); save it as ASCII or "
               "UTF-8";
    if (f.nulLine != 0)
        return "line " + std::to_string(f.nulLine) +
               " holds NUL bytes (UTF-16 text without a byte order mark?)";
    // With sections read, a key line not taken is the likely cause; without,
    // a header not taken.
    if (!f.sections.empty())
        return f.keyHint.empty() ? "each section lacks a key or holds a rejected value" : f.keyHint;
    if (!f.headerHint.empty()) return f.headerHint;
    return "no line is a section header, \"[HBA\" n \"]\"";
}

// Text after the Ctrl-Z at line `line`, which a load never reads: a
// difference unless it is blank (a Ctrl-Z as the last byte, as old editors
// write it, is no difference).
void JudgeAfterCtrlZ(FileRead* f, std::uint32_t line, const std::string& rest) {
    std::uint32_t first = 0, lines = 0;
    std::string text;
    std::size_t from = 0;
    for (std::uint32_t at = line; from <= rest.size(); ++at) {
        std::size_t end = rest.find('\n', from);
        if (end == std::string::npos) end = rest.size();
        const std::string one = rest.substr(from, end - from);
        if (one.find_first_not_of(" \t\r\n;\x1a") != std::string::npos) {
            if (first == 0) first = at, text = Trim(one);
            ++lines;
        }
        from = end + 1;
    }
    if (first == 0) return;
    f->ctrlZLine = line;
    Finding x = FileFinding(*f, FindingKind::NotTaken, first,
                            Quote(text) + " is not taken by a load: a Ctrl-Z (0x1A) at line " +
                                std::to_string(line) +
                                " ends the file for a load, which reads nothing after it" +
                                (lines > 1 ? " (" + std::to_string(lines) + " lines in all)"
                                           : std::string()));
    x.written = text;
    f->findings.push_back(x);
}

// The repeated WWIDs of a file.
void JudgeDuplicates(FileRead* f) {
    std::map<std::string, std::uint32_t> first;
    for (const Section& s : f->sections) {
        if (!s.complete) continue;
        const std::string wwid = WwnText(s.record.WWID);
        const auto at = first.emplace(wwid, s.line);
        if (at.second) continue;
        Finding x = FileFinding(*f, FindingKind::Duplicate, s.line,
                                SectionName(s) + " repeats a WWID (first at line " +
                                    std::to_string(at.first->second) +
                                    "); a load applies both, the later last");
        x.wwid = wwid;
        f->findings.push_back(x);
    }
}

bool ReadFile(const std::string& name, FileRead* f, std::string* error) {
    f->name = name;
    std::FILE* file = fcplat::OpenFile(name.c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot read " + name + ": " + std::strerror(errno);
        return false;
    }
    fcboot::ConfigReaderHooks hooks;
    hooks.context = f;
    hooks.apply = OnComplete;
    hooks.piece = OnPiece;
    hooks.dropped = OnDropped;
    errno = 0;
    const fcboot::ConfigReadResult read = fcboot::ReadBootConfig(file, hooks);
    int readErrno = errno;
    EndLine(f);
    // What a load never reads: everything after the Ctrl-Z that ended it.
    std::string rest;
    if (read.ctrlZLine != 0 && !read.readFailed) {
        char block[4096];
        std::size_t n = 0;
        while ((n = std::fread(block, 1, sizeof block, file)) > 0) rest.append(block, n);
        if (std::ferror(file)) readErrno = errno;
    }
    const bool failed = read.readFailed || std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        *error = "cannot read " + name + " to its end: " + std::strerror(readErrno);
        return false;
    }
    JudgeAfterCtrlZ(f, read.ctrlZLine, rest);

    JudgeSections(f);
    JudgeDuplicates(f);
    if (f->nulLine != 0) {
        f->findings.push_back(
            FileFinding(*f, FindingKind::NotTaken, f->nulLine,
                        "the line holds NUL bytes" +
                            (f->nulLines > 1 ? " (" + std::to_string(f->nulLines) + " lines in all)"
                                             : std::string()) +
                            "; a load reads a line only up to the first"));
    }
    const bool anyComplete = std::any_of(f->sections.begin(), f->sections.end(),
                                         [](const Section& s) { return s.complete; });
    if (!anyComplete)
        f->findings.push_back(
            FileFinding(*f, FindingKind::NoSection, 0,
                        "no complete section, so a load changes nothing: " + NoSectionCause(*f)));
    return true;
}

// For each WWID, the complete section a load leaves in force: the last.
std::map<std::string, const Section*> InForce(const FileRead& f) {
    std::map<std::string, const Section*> last;
    for (const Section& s : f.sections)
        if (s.complete) last[WwnText(s.record.WWID)] = &s;
    return last;
}

// A comparison names the file and line of the section it stands for.
Finding Comparison(FindingKind kind, const std::string& wwid, const std::string& file,
                   std::uint32_t line, const std::string& what) {
    Finding x;
    x.kind = kind;
    x.file = file;
    x.line = line;
    x.wwid = wwid;
    x.text = wwid + what;
    return x;
}

void SortByLine(std::vector<Finding>* findings) {
    std::stable_sort(findings->begin(), findings->end(),
                     [](const Finding& a, const Finding& b) { return a.line < b.line; });
}

// EXPECTED's order for the differences and notes of one side.
void Collect(std::vector<Finding>* side, Report* report) {
    SortByLine(side);
    for (Finding& x : *side) (IsNote(x.kind) ? report->notes : report->differences).push_back(x);
}

}  // namespace

bool IsNote(FindingKind kind) { return kind == FindingKind::LongLine; }

const char* KindName(FindingKind kind) {
    switch (kind) {
    case FindingKind::NoSection: return "no-section";
    case FindingKind::IncompleteSection: return "incomplete-section";
    case FindingKind::RejectedSection: return "rejected-section";
    case FindingKind::Duplicate: return "duplicate";
    case FindingKind::TrailingText: return "trailing-text";
    case FindingKind::NotTaken: return "not-taken";
    case FindingKind::TakenWithPrefix: return "taken-with-prefix";
    case FindingKind::ShortName: return "short-name";
    case FindingKind::RepeatedKey: return "repeated-key";
    case FindingKind::Missing: return "missing";
    case FindingKind::Value: return "value";
    case FindingKind::Extra: return "extra";
    case FindingKind::LongLine: return "long-line";
    }
    return "?";
}

bool LintFile(const std::string& path, Report* report, std::string* error) {
    *report = Report{};
    FileRead f;
    if (!ReadFile(path, &f, error)) return false;
    Collect(&f.findings, report);
    return true;
}

bool CompareFiles(const std::string& expected, const std::string& actual, bool exact,
                  Report* report, std::string* error) {
    *report = Report{};
    FileRead want, have;
    if (!ReadFile(expected, &want, error) || !ReadFile(actual, &have, error)) return false;
    const std::map<std::string, const Section*> wanted = InForce(want), held = InForce(have);

    // Each adapter is compared where EXPECTED's section in force stands.
    std::vector<Finding> first = want.findings, second = have.findings;
    for (const Section& s : want.sections) {
        const std::string wwid = WwnText(s.record.WWID);
        if (!s.complete || wanted.at(wwid) != &s) continue;
        const auto found = held.find(wwid);
        if (found == held.end()) {
            Finding x = Comparison(FindingKind::Missing, wwid, expected, s.line,
                                   ": missing from " + actual);
            x.expected = wwid;
            first.push_back(x);
            continue;
        }
        for (std::uint32_t bit = 4; bit <= 32; bit <<= 1) {
            const std::string e = ValueText(s.record, bit),
                              a = ValueText(found->second->record, bit);
            if (e == a) continue;
            Finding x =
                Comparison(FindingKind::Value, wwid, expected, s.line,
                           std::string(" ") + KeyName(bit) + ": expected " + e + ", found " + a);
            x.key = KeyName(bit), x.expected = e, x.found = a;
            first.push_back(x);
        }
    }
    if (exact) {
        for (const Section& s : have.sections) {
            const std::string wwid = WwnText(s.record.WWID);
            if (!s.complete || held.at(wwid) != &s || wanted.count(wwid) != 0) continue;
            Finding x = Comparison(FindingKind::Extra, wwid, actual, s.line,
                                   ": only in " + actual + ", not in " + expected);
            x.found = wwid;
            second.push_back(x);
        }
    }
    Collect(&first, report);
    Collect(&second, report);
    return true;
}

}  // namespace fcdiff
