#pragma once

#include <string>
#include <string_view>

namespace korvelin {

// `text` as it may be shown to a person: every control character (C0, DEL,
// C1, line and paragraph separators), every format character (bidirectional
// overrides, zero-width marks) and every byte that is not part of valid UTF-8
// becomes "?". Text from files, processes or the command line then cannot
// move the cursor, retitle a terminal, reorder what is shown or forge a line.
// Everything the command-line host prints for people passes through this.
std::string printableText(std::string_view text);

}  // namespace korvelin
