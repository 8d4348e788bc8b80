// Finding the texts the program shows in its own sources, for the message
// catalogues (po/tessaly.pot).
//
// A message is every C/C++ string literal (adjacent literals joined, escapes
// decoded) whose bytes hold a GBK character written as \xNN escapes and are
// valid GBK throughout; its id is that text in UTF-8. Literals holding
// non-ASCII characters as themselves are UTF-8 texts and not messages. The terminal's own English texts are marked
// _("...") and found by xgettext instead.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One string literal, or a run of adjacent ones, as the compiler sees it.
struct SourceLiteral {
    std::string bytes; // the decoded bytes, adjacent literals joined
    int line = 0;      // the line the first literal starts on (1-based)
    bool rawNonAscii = false; // some non-ASCII byte stands in the source as itself (UTF-8 text, not GBK)
};

// The plain and u8 string literals of a C/C++ source text, in order. Comments,
// character literals and wide or UTF-16/32 literals are skipped; raw strings
// are taken as they stand.
std::vector<SourceLiteral> Messages_scanLiterals(std::string_view source);

// The message id of a literal's bytes: the UTF-8 text when the bytes hold at
// least one GBK character and are valid GBK throughout; "" otherwise.
std::string Messages_gbkId(std::string_view bytes);

// One entry of the catalogue template.
struct MessageEntry {
    std::string id;                       // UTF-8
    std::vector<std::string> references;  // "file:line", in the order found
};

// Adds the GBK messages of one source file (named `path` in the references)
// to entries, keeping the order of first appearance; an id seen before gains
// a reference.
void Messages_collect(std::string_view path, std::string_view source, std::vector<MessageEntry>* entries);

// The entries as a .pot text: a header, then each entry with its "#:"
// references and "#, c-format" when the id holds printf directives.
std::string Messages_writePot(const std::vector<MessageEntry>& entries);

// A text as a PO string literal (quotes, backslashes, control characters escaped).
std::string Messages_poQuote(std::string_view text);
