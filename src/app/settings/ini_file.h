// In-memory INI file: the syntax of "sorvik.ini".
//
// Reading: a UTF-8 byte-order mark at the very start is skipped. Lines end with
// CR LF, LF or CR alone. Each line is trimmed of surrounding blanks (space and
// the control bytes 0x00..0x1F); empty lines and lines whose first character is
// ';' are skipped; "[name]" opens section `name` (trimmed); any other line
// inside a section is an entry split at its first '=' into a trimmed key and a
// trimmed value (no '=' gives a key with an empty value); lines before the
// first section are ignored. A section whose name appeared before is ignored
// whole, up to the next section header: the first one counts, as it would
// when read by hand, and no section is ever a mix of two. Section and key
// names match without regard to ASCII letter case. Text is bytes, passed
// through unchanged.
//
// Writing: sections in first-written order, each as "[name]" followed by its
// "key=value" lines in first-written order and one empty line; CR LF line ends.
// Booleans are written as 1 and 0; integers in decimal.
//
// Thread contract: a TIniFile is used by one thread at a time (the UI thread at
// start-up and exit); it has no locks of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "net/exceptions.h"

namespace sorvik {

// A settings file could not be written. The message names the path and the
// system's reason; the previous file is left as it was.
SORVIK_DECLARE_ERROR(ESettingsSaveError, EIdException);

// Files larger than this are not read at all (every value takes its default):
// a settings file is a few kilobytes, and this keeps a stray huge file from
// exhausting memory.
inline constexpr std::size_t kMaxIniFileSize = 256u * 1024u * 1024u;

class TIniFile {
 public:
  TIniFile() = default;

  // What became of reading a file from disk.
  struct TReadOutcome {
    enum class TStatus {
      Read,        // read and parsed
      Missing,     // no file at that path (or a component of it is missing)
      Unreadable,  // something is there but could not be read: see Reason
    };
    TStatus Status = TStatus::Missing;
    // Unreadable: why, in words ("Permission denied", "it is not a regular file").
    std::string Reason;
  };

  // Replaces the contents with the file at `path`. A missing, unreadable,
  // non-regular or oversized file gives an empty file (every read yields its
  // default); the outcome says which it was.
  TReadOutcome ReadFile(const std::string& path);
  // ReadFile, answering only whether the file was read.
  bool LoadFromFile(const std::string& path) { return ReadFile(path).Status == TReadOutcome::TStatus::Read; }
  // Replaces the contents with the parsed `bytes`.
  void LoadFromBytes(std::string_view bytes);

  // Erases every section and key (and the lists of ignored sections and loose lines).
  void Clear();

  // A section header that repeated an earlier section's name, with what
  // followed it up to the next header, ignored by the last load.
  struct TIgnoredSection {
    std::string Name;  // as written in the later header
    std::size_t Line;  // 1-based line of that header
  };
  const std::vector<TIgnoredSection>& IgnoredSections() const { return ignored_; }

  // A line of the last load that this class never writes: a section header
  // without its closing bracket ("[Tunnel:1", read as a key of the section
  // before it), or a line inside a section without '=' (read as a key with an
  // empty value). A file cut off mid-save or mistyped shows them.
  struct TLooseLine {
    enum class TKind { UnclosedHeader, NoEquals };
    TKind Kind;
    std::size_t Line;     // 1-based
    std::string Text;     // the line, trimmed
    std::string Section;  // the section it falls in (empty: before the first)
  };
  const std::vector<TLooseLine>& LooseLines() const { return loose_; }

  // The names of the sections, in first-written order, as first written.
  std::vector<std::string> SectionNames() const;
  // The 1-based line of a section's header in the last load; 0 when the
  // section was written, not read, or does not exist.
  std::size_t SectionLine(std::string_view section) const;

  bool SectionExists(std::string_view section) const;
  bool ValueExists(std::string_view section, std::string_view key) const;

  // A missing key yields `def`. When a section lists a key more than once, the
  // first occurrence is the one read.
  std::string ReadString(std::string_view section, std::string_view key, const std::string& def) const;
  // Decimal ("-12", "+7") or hexadecimal after "0x"/"0X" (up to 32 bits, taken as
  // a signed 32-bit value); anything else, or a value out of range, yields `def`.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;
  // Read as an integer: non-zero is true; an invalid integer yields `def`.
  bool ReadBool(std::string_view section, std::string_view key, bool def) const;

  // Sets the value, adding the section and key at the end of their lists when new.
  // CR and LF in names and values are written as spaces, so that a value can
  // never break its line and smuggle in other sections or keys.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int32_t value);
  void WriteBool(std::string_view section, std::string_view key, bool value);

  // The file's text as it would be written: CR LF line ends, an empty line after
  // each section.
  std::string ToBytes() const;

  // Writes the file to `path` so that the previous file stays intact on any
  // failure: a temporary file in the same directory (mode 0600) is written,
  // flushed to disk and renamed over `path`. Creates the directory (mode 0700,
  // with missing parents) first. Raises ESettingsSaveError on failure.
  void SaveAtomically(const std::string& path) const;

  // Parses an integer value by the rules of ReadInteger; nullopt when invalid.
  static std::optional<int32_t> ParseInteger(std::string_view text);

 private:
  struct TEntry {
    std::string key;
    std::string value;
  };
  struct TSection {
    std::string name;
    std::size_t line = 0;                               // header line of the last load
    std::vector<TEntry> entries;                        // first-written order
    std::unordered_map<std::string, std::size_t> index;  // lower-cased key -> entries
  };

  const TSection* FindSection(std::string_view section) const;
  const TEntry* FindEntry(std::string_view section, std::string_view key) const;
  TSection& SectionForWrite(std::string_view section);
  // Adds `key` when the section does not hold it yet; keeps the first value otherwise.
  static void AddParsedEntry(TSection& s, std::string_view key, std::string_view value);

  std::vector<TSection> sections_;                    // first-written order
  std::vector<TIgnoredSection> ignored_;               // in file order
  std::vector<TLooseLine> loose_;                      // in file order
  std::unordered_map<std::string, std::size_t> index_;  // lower-cased name -> sections_
};

}  // namespace sorvik
