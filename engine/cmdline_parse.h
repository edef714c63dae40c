// Internal to the command language (cmdline.cpp, commands.cpp): the name and
// list scanners that the exported helpers and the translation share. They
// work on string views and std::string, so they cannot overrun anything; the
// exported helpers copy their results into callers' buffers with bounds.
// std::bad_alloc may escape them; every exported caller catches it and
// answers 41.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace cmdline {

enum class Name_Result { Ok, None, Unclosed };

// Takes the next name of text from *pos on: blanks are skipped; a name that
// starts with a quotation mark runs to the closing one (the marks are not
// part of it); otherwise it runs to the next blank, or to the end of the text
// when rest_of_text is set. *pos ends behind the name. None when only blanks
// remain; Unclosed, with the rest of the text as the name, when the closing
// quotation mark is missing.
Name_Result Take_Name(std::string_view text, std::size_t* pos, std::string* name,
                      bool rest_of_text);

// The "::" list of the names in text (see Make_FileList in rox32.h); 0 or 37.
short Make_List(std::string_view text, unsigned char letter, std::string* list);

// The n-th name (1-based) of the list that follows the first blank of a
// basic command; names end at "::" or "##". Empty when there is none.
std::string Nth_Name(std::string_view command, unsigned n);

}  // namespace cmdline
