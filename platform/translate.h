// Translation of the texts the program shows, looked up just before they are
// shown (the message boxes, captions and lines of the window and the
// terminal). The logic keeps producing its texts in the original language;
// only the hosts call this.
//
// Catalogues are GNU gettext .mo files, read by this module itself (so the
// lookup works whether or not the system has the matching locale generated).
// Message ids are UTF-8: the original Chinese texts and the terminal's own
// English texts.
//
// A text is looked up by one rule, the same everywhere (Tr_text):
//   1. the whole text is an id: its translation;
//   2. else the text matches an id holding printf directives (a template such
//      as "%d devices found"): the template's translation with the values the
//      text carries put in place of the directives (kept in their order);
//   3. else the text is cut into the longest known ids, left to right, and
//      each is replaced by its translation; what lies between them (numbers,
//      Latin letters, punctuation, spaces, unknown words) stays as it is.
//      Where a translated piece would touch a letter or digit of its
//      neighbour, one space is put between them ("已更新61%" becomes
//      "Updated 61%"), since Chinese writes no spaces between words.
//   Nothing known in the text: it comes back unchanged.
// The window logic composes texts from pieces (a caption and a number, a word
// and a version); rule 3 translates those pieces where they stand.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The languages there are catalogues for, by the code `--lang` takes.
enum TrLanguage {
    TR_ORIGINAL = 0, // no catalogue: the texts as written (Chinese window, English terminal)
    TR_ZH,           // catalogue zh_CN: the terminal's English texts in Chinese
    TR_EN,           // catalogue en
    TR_ES,           // catalogue es
};

// `--lang` value to language: "zh", "en", "es" (also "C"/"original" for the
// original texts). False for anything else.
bool Tr_languageFromCode(std::string_view code, TrLanguage* language);

// The language chosen by the environment, as gettext chooses: the first of
// LC_ALL, LC_MESSAGES, LANG that is set and not empty names the locale; the
// locales "C" and "POSIX" (and C.<codeset>) mean the original texts whatever
// LANGUAGE says; otherwise LANGUAGE (a colon-separated list), when set, is
// tried entry by entry, and else the locale itself. An entry "ll_CC.codeset@mod"
// is tried as ll_CC, then ll. An entry that names no catalogue is skipped; none
// left gives the original texts. `getenv` is called with the variable names.
TrLanguage Tr_languageFromEnvironment(const std::function<const char*(const char*)>& getenv);

// The catalogue's name for the language ("zh_CN", "en", "es"; "" for the original).
const char* Tr_catalogueName(TrLanguage language);

// Applies the language choice: `code` is a `--lang` value, or "" to choose by
// the environment. Loads the catalogue from Tr_localeDirs(); a missing or
// unreadable catalogue leaves the original texts (and returns false). An
// unknown code returns false and changes nothing. Call it once at start-up,
// before any text is looked up and before other threads run.
bool Tr_init(std::string_view code);

// The language in use and its own name ("Español", "English", "中文", in UTF-8).
TrLanguage Tr_language();
const char* Tr_languageName(TrLanguage language);

// Folders searched for <dir>/<catalogue>/LC_MESSAGES/tessaly.mo, in order:
// $TESSALY_LOCALEDIR; when the program runs from a build tree (a folder above
// the executable holds CMakeCache.txt), that tree's locale/; the install's
// share/locale next to the executable's folder (../share/locale); the
// configured install prefix's locale folder.
std::vector<std::string> Tr_localeDirs();

// Looks a UTF-8 text up by the rule above. The result is UTF-8.
std::string Tr_text(std::string_view utf8);

// A GBK text of the logic: converted to UTF-8, then looked up. UTF-8 result.
std::string Tr_gbk(std::string_view gbk);

// The translation of one of the program's own literal texts (the terminal's
// English texts, marked _("...")), by exact id only. The pointer stays valid
// for the life of the process (it is the argument itself when there is no
// translation).
const char* Tr_literal(const char* id);

// The printf directives of a text, in order ("%d", "%-8s", "%%", "%1$s"...).
// Only well-formed directives are listed; a lone '%' is text.
std::vector<std::string> Tr_printfDirectives(std::string_view text);

// Reads a .mo file's bytes into id → translation (the first form of each;
// the header entry with the empty id is left out). The bytes are untrusted:
// every offset and length is checked, and false (with *catalogue untouched)
// means the file is not a well-formed catalogue.
bool Tr_parseMo(std::string_view bytes, std::map<std::string, std::string>* catalogue);

// Replaces the catalogue in use (tests; Tr_init does this after loading).
void Tr_setCatalogue(TrLanguage language, std::map<std::string, std::string> catalogue);
